#include "slp_store.h"

#include <algorithm>
#include <string_view>
#include <unordered_set>

#include "slp_text.h"

namespace slpda {

namespace {

std::string urlLangKey(const std::string& url, const std::string& lang) {
    return fold(lang) + ' ' + url;  // a folded language tag holds no blank
}

// A registered type is found under its whole type and, for an abstract type, its abstract
// part ("printer" for "service:printer:lpr").
std::vector<std::string> registeredTypeKeys(const std::string& type) {
    std::string k = typeKey(type);
    std::vector<std::string> keys = {"F" + k};
    size_t colon = k.find(':');
    if (colon != std::string::npos) keys.push_back("A" + k.substr(0, colon));
    return keys;
}

// A requested type with a ':' names a whole type; one without names a whole or abstract type.
std::vector<std::string> requestedTypeKeys(const std::string& type) {
    std::string k = typeKey(type);
    if (k.empty()) return {};
    if (k.find(':') != std::string::npos) return {"F" + k};
    return {"F" + k, "A" + k};
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

void Store::index(Seq seq, const Registration& r, bool add) {
    auto update = [&](std::unordered_map<std::string, Posting>* map, const std::string& key) {
        if (add) {
            (*map)[key].insert(seq);
            return;
        }
        auto it = map->find(key);
        if (it == map->end()) return;
        it->second.erase(seq);
        if (it->second.empty()) map->erase(it);
    };
    for (const std::string& k : registeredTypeKeys(r.type)) update(&mByType, k);
    for (const Attribute& a : r.attrs) {
        if (a.keyword) continue;
        for (const std::string& v : a.values) update(&mByValue, indexKey(a.tag, a.type, v));
    }
}

void Store::insert(Seq seq, Registration reg) {
    index(seq, reg, true);
    mByUrlLang[urlLangKey(reg.url, reg.lang)] = seq;
    ++mUrlCount[reg.url];
    if (reg.lifetime != kPermanent) mExpiry.emplace(reg.expiresMs, seq);
    Entry e;
    e.typeKey = typeKey(reg.type);
    for (const std::string& scope : reg.scopes) e.scopeKeys.push_back(fold(scope));
    e.reg = std::move(reg);
    mEntries.emplace(seq, std::move(e));
}

void Store::erase(Seq seq) {
    auto it = mEntries.find(seq);
    if (it == mEntries.end()) return;
    const Registration& r = it->second.reg;
    index(seq, r, false);
    mByUrlLang.erase(urlLangKey(r.url, r.lang));
    auto count = mUrlCount.find(r.url);
    if (count != mUrlCount.end() && --count->second == 0) mUrlCount.erase(count);
    mExpiry.erase({r.expiresMs, seq});
    mEntries.erase(it);
}

void Store::expire(int64_t nowMs) {
    while (!mExpiry.empty() && mExpiry.begin()->first <= nowMs) erase(mExpiry.begin()->second);
}

uint16_t Store::checkAttrs(const std::vector<Attribute>& attrs, const char** limit) const {
    const char* over = attributeCount(attrs) > mMaxAttrs       ? "max-attrs"
                       : attributeBytes(attrs) > mMaxAttrBytes ? "max-message"
                                                               : nullptr;
    if (over == nullptr) return slpwire::kOk;
    if (limit != nullptr) *limit = over;
    return slpwire::kInvalidRegistration;
}

uint16_t Store::add(Registration reg, bool fresh, int64_t nowMs, const char** limit) {
    expire(nowMs);
    if (reg.lifetime == 0 || reg.url.empty() || reg.lang.empty()) {
        return slpwire::kInvalidRegistration;
    }
    sortAttributes(&reg.attrs);
    reg.expiresMs = nowMs + int64_t{reg.lifetime} * 1000;
    reg.fromFile = false;
    auto found = mByUrlLang.find(urlLangKey(reg.url, reg.lang));
    if (fresh) {
        if (const uint16_t err = checkAttrs(reg.attrs, limit)) return err;
        if (found != mByUrlLang.end()) {
            erase(found->second);
        } else if (mEntries.size() >= mMaxEntries) {
            if (limit != nullptr) *limit = "max-registrations";
            return slpwire::kDaBusyNow;
        }
        insert(mNextNetSeq++, std::move(reg));
        return slpwire::kOk;
    }
    if (found == mByUrlLang.end()) return slpwire::kInvalidUpdate;
    const Seq seq = found->second;
    const Registration& old = mEntries.at(seq).reg;
    if (typeKey(old.type) != typeKey(reg.type)) return slpwire::kInvalidUpdate;
    if (!scopesEqual(old.scopes, reg.scopes)) return slpwire::kScopeNotSupported;
    // An update keeps the entry's place in store order.
    Registration merged = old;
    for (Attribute& a : reg.attrs) {
        auto same = std::find_if(merged.attrs.begin(), merged.attrs.end(),
                                 [&](const Attribute& x) { return x.tag == a.tag; });
        if (same != merged.attrs.end()) {
            *same = std::move(a);
        } else {
            merged.attrs.push_back(std::move(a));
        }
    }
    if (const uint16_t err = checkAttrs(merged.attrs, limit)) return err;
    sortAttributes(&merged.attrs);
    merged.lifetime = reg.lifetime;
    merged.expiresMs = reg.expiresMs;
    erase(seq);
    insert(seq, std::move(merged));
    return slpwire::kOk;
}

uint16_t Store::remove(const std::string& url, const std::vector<std::string>& scopes,
                       const std::string& tags, int64_t nowMs) {
    expire(nowMs);
    std::vector<Seq> matching;
    for (const auto& [key, seq] : mByUrlLang) {
        const Registration& r = mEntries.at(seq).reg;
        if (r.url != url) continue;
        if (!scopesEqual(r.scopes, scopes)) return slpwire::kScopeNotSupported;
        matching.push_back(seq);
    }
    std::vector<std::string> patterns = splitList(tags);
    if (patterns.empty()) {
        for (Seq seq : matching) erase(seq);
        return slpwire::kOk;
    }
    std::vector<std::vector<std::string>> pieces;
    for (const std::string& p : patterns) pieces.push_back(tagPattern(p));
    for (Seq seq : matching) {
        Registration r = mEntries.at(seq).reg;
        r.attrs.erase(std::remove_if(r.attrs.begin(), r.attrs.end(),
                                     [&](const Attribute& a) {
                                         for (const auto& p : pieces) {
                                             if (matchPieces(a.tag, p)) return true;
                                         }
                                         return false;
                                     }),
                      r.attrs.end());
        erase(seq);
        insert(seq, std::move(r));
    }
    return slpwire::kOk;
}

size_t Store::replaceFileEntries(std::vector<Registration> regs, int64_t nowMs) {
    expire(nowMs);
    std::vector<Seq> old;
    for (const auto& [seq, e] : mEntries) {
        if (e.reg.fromFile) old.push_back(seq);
    }
    for (Seq seq : old) erase(seq);
    mNextFileSeq = 1;
    size_t held = 0;
    for (Registration& r : regs) {
        const std::string key = urlLangKey(r.url, r.lang);
        auto found = mByUrlLang.find(key);
        if (found != mByUrlLang.end()) {
            if (!mEntries.at(found->second).reg.fromFile) continue;  // registered over the network
            erase(found->second);  // a later line of the file repeats the URL: it wins
            --held;
        }
        sortAttributes(&r.attrs);
        r.expiresMs = nowMs + int64_t{r.lifetime} * 1000;
        r.fromFile = true;
        insert(mNextFileSeq++, std::move(r));
        ++held;
    }
    return held;
}

void Store::postings(const std::vector<std::string>& keys, std::vector<const Posting*>* out) const {
    for (const std::string& k : keys) {
        auto it = mByValue.find(k);
        if (it != mByValue.end()) out->push_back(&it->second);
    }
}

std::vector<slpwire::UrlEntry> Store::find(const std::string& type,
                                           const std::vector<std::string>& scopes,
                                           const Filter& filter, int64_t nowMs, size_t maxWork,
                                           bool* overWork, size_t maxBytes) {
    expire(nowMs);
    if (overWork != nullptr) *overWork = false;
    std::vector<slpwire::UrlEntry> out;
    // Candidates: the entries of the requested type or, when cheaper, those holding a value
    // the filter's equalities need. Each is then checked in full.
    std::vector<const Posting*> lists;
    size_t typeCount = 0;
    for (const std::string& k : requestedTypeKeys(type)) {
        auto it = mByType.find(k);
        if (it == mByType.end()) continue;
        lists.push_back(&it->second);
        typeCount += it->second.size();
    }
    std::vector<std::string> keys;
    auto postingSize = [this](const std::string& k) {
        auto it = mByValue.find(k);
        return it == mByValue.end() ? size_t{0} : it->second.size();
    };
    if (filter.indexKeys(postingSize, &keys)) {
        std::vector<const Posting*> byValue;
        postings(keys, &byValue);
        size_t valueCount = 0;
        for (const Posting* p : byValue) valueCount += p->size();
        if (valueCount < typeCount) lists = std::move(byValue);
    }
    std::vector<Seq> candidates;
    for (const Posting* p : lists) candidates.insert(candidates.end(), p->begin(), p->end());
    if (lists.size() > 1) {
        std::sort(candidates.begin(), candidates.end());
        candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
    }
    // The request's comparison forms, made once.
    const std::string wantType = typeKey(type);
    const bool wholeType = wantType.find(':') != std::string::npos;
    std::vector<std::string> wantScopes;
    for (const std::string& scope : scopes) wantScopes.push_back(fold(scope));
    auto typeOk = [&](const std::string& k) {
        if (wantType.empty()) return false;
        if (wantType == k) return true;
        // A request without ':' names the abstract part too.
        const size_t colon = k.find(':');
        return !wholeType && colon == wantType.size() && k.compare(0, colon, wantType) == 0;
    };
    auto scopeOk = [&](const std::vector<std::string>& have) {
        for (const std::string& a : wantScopes) {
            if (std::find(have.begin(), have.end(), a) != have.end()) return true;
        }
        return false;
    };
    std::unordered_set<std::string_view> seen;
    size_t bytes = 0;
    WorkBudget work;
    work.left = maxWork;
    for (Seq seq : candidates) {
        const Entry& entry = mEntries.at(seq);
        const Registration& r = entry.reg;
        const bool match = work.take(kEntryWork) && typeOk(entry.typeKey) &&
                           scopeOk(entry.scopeKeys) && filter.matches(r.attrs, &work);
        if (work.over) {
            if (overWork != nullptr) *overWork = true;
            return {};
        }
        if (!match) continue;
        // A URL held in several languages is answered once.
        if (mUrlCount.at(r.url) > 1 && !seen.insert(r.url).second) continue;
        slpwire::UrlEntry e;
        e.url = r.url;
        if (r.lifetime == kPermanent) {
            e.lifetime = kPermanent;
        } else {
            int64_t secs = (r.expiresMs - nowMs + 999) / 1000;
            e.lifetime =
                static_cast<uint16_t>(std::min<int64_t>(std::max<int64_t>(secs, 1), 65534));
        }
        bytes += 6 + e.url.size();  // an entry's size on the wire, without auth blocks
        out.push_back(std::move(e));
        if (bytes > maxBytes) break;
    }
    return out;
}

size_t Store::size(int64_t nowMs) {
    expire(nowMs);
    return mEntries.size();
}

}  // namespace slpda
