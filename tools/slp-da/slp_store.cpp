#include "slp_store.h"

#include <algorithm>
#include <set>

#include "slp_text.h"

namespace slpda {

namespace {

bool sameEntry(const Registration& r, const std::string& url, const std::string& lang) {
    return r.url == url && fold(r.lang) == fold(lang);
}

// Splits a tag pattern at its stars into folded pieces.
std::vector<std::string> tagPattern(const std::string& pattern) {
    std::vector<std::string> pieces;
    std::string f = fold(pattern);
    size_t from = 0;
    for (;;) {
        size_t star = f.find('*', from);
        pieces.push_back(trim(f.substr(from, star == std::string::npos ? star : star - from)));
        if (star == std::string::npos) break;
        from = star + 1;
    }
    return pieces;
}

}  // namespace

void Store::expire(int64_t nowMs) {
    mEntries.erase(std::remove_if(mEntries.begin(), mEntries.end(),
                                  [nowMs](const Registration& r) {
                                      return r.lifetime != kPermanent && r.expiresMs <= nowMs;
                                  }),
                   mEntries.end());
}

uint16_t Store::add(Registration reg, bool fresh, int64_t nowMs) {
    expire(nowMs);
    if (reg.lifetime == 0 || reg.url.empty() || reg.lang.empty()) {
        return slpwire::kInvalidRegistration;
    }
    reg.expiresMs = nowMs + int64_t{reg.lifetime} * 1000;
    auto it = std::find_if(mEntries.begin(), mEntries.end(),
                           [&](const Registration& r) { return sameEntry(r, reg.url, reg.lang); });
    if (fresh) {
        if (it != mEntries.end()) mEntries.erase(it);
        mEntries.push_back(std::move(reg));
        return slpwire::kOk;
    }
    if (it == mEntries.end() || lowerAscii(it->type) != lowerAscii(reg.type)) {
        return slpwire::kInvalidUpdate;
    }
    if (!scopesEqual(it->scopes, reg.scopes)) return slpwire::kScopeNotSupported;
    for (Attribute& a : reg.attrs) {
        auto old = std::find_if(it->attrs.begin(), it->attrs.end(),
                                [&](const Attribute& x) { return x.tag == a.tag; });
        if (old != it->attrs.end()) {
            *old = std::move(a);
        } else {
            it->attrs.push_back(std::move(a));
        }
    }
    it->lifetime = reg.lifetime;
    it->expiresMs = reg.expiresMs;
    return slpwire::kOk;
}

uint16_t Store::remove(const std::string& url, const std::vector<std::string>& scopes,
                       const std::string& tags, int64_t nowMs) {
    expire(nowMs);
    for (const Registration& r : mEntries) {
        if (r.url == url && !scopesEqual(r.scopes, scopes)) return slpwire::kScopeNotSupported;
    }
    std::vector<std::string> patterns = splitList(tags);
    if (patterns.empty()) {
        mEntries.erase(std::remove_if(mEntries.begin(), mEntries.end(),
                                      [&](const Registration& r) { return r.url == url; }),
                       mEntries.end());
        return slpwire::kOk;
    }
    std::vector<std::vector<std::string>> pieces;
    for (const std::string& p : patterns) pieces.push_back(tagPattern(p));
    for (Registration& r : mEntries) {
        if (r.url != url) continue;
        r.attrs.erase(std::remove_if(r.attrs.begin(), r.attrs.end(),
                                     [&](const Attribute& a) {
                                         for (const auto& p : pieces) {
                                             if (matchPieces(a.tag, p)) return true;
                                         }
                                         return false;
                                     }),
                      r.attrs.end());
    }
    return slpwire::kOk;
}

std::vector<slpwire::UrlEntry> Store::find(const std::string& type,
                                           const std::vector<std::string>& scopes,
                                           const Filter& filter, int64_t nowMs) {
    expire(nowMs);
    std::vector<slpwire::UrlEntry> out;
    std::set<std::string> seen;
    for (const Registration& r : mEntries) {
        if (!typeMatches(type, r.type) || !scopesIntersect(scopes, r.scopes) ||
            !filter.matches(r.attrs) || !seen.insert(r.url).second) {
            continue;
        }
        slpwire::UrlEntry e;
        e.url = r.url;
        if (r.lifetime == kPermanent) {
            e.lifetime = kPermanent;
        } else {
            int64_t left = (r.expiresMs - nowMs + 999) / 1000;
            e.lifetime =
                static_cast<uint16_t>(std::min<int64_t>(std::max<int64_t>(left, 1), 65534));
        }
        out.push_back(std::move(e));
    }
    return out;
}

size_t Store::size(int64_t nowMs) {
    expire(nowMs);
    return mEntries.size();
}

}  // namespace slpda
