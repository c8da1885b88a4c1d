#include "slp_text.h"

#include <string.h>

#include <cstdlib>

namespace slpda {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

char lowerChar(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

const char kServicePrefix[] = "service:";

std::string stripServicePrefix(const std::string& type) {
    const size_t n = sizeof kServicePrefix - 1;
    if (type.size() >= n && lowerAscii(type.substr(0, n)) == kServicePrefix) return type.substr(n);
    return type;
}

}  // namespace

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string fold(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    bool pendingBlank = false;
    for (char c : s) {
        if (isBlank(c)) {
            pendingBlank = !out.empty();
            continue;
        }
        if (pendingBlank) out.push_back(' ');
        pendingBlank = false;
        out.push_back(lowerChar(c));
    }
    return out;
}

std::string lowerAscii(const std::string& s) {
    std::string out(s);
    for (char& c : out) c = lowerChar(c);
    return out;
}

bool unescape(const std::string& in, std::string* out) {
    out->clear();
    out->reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '\\') {
            out->push_back(in[i]);
            continue;
        }
        if (in.size() - i < 3) return false;
        int hi = hexValue(in[i + 1]);
        int lo = hexValue(in[i + 2]);
        if (hi < 0 || lo < 0) return false;
        out->push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
    }
    return true;
}

bool validScopeList(const std::string& list, std::string* bad) {
    size_t start = 0;
    for (;;) {
        size_t comma = list.find(',', start);
        std::string item = trim(
            list.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        std::string ignored;
        bool ok = !item.empty() && unescape(item, &ignored);
        for (char c : item) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f ||
                std::string("()!<=>~;*+").find(c) != std::string::npos) {
                ok = false;
            }
        }
        if (!ok) {
            *bad = item;
            return false;
        }
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

bool scopesIntersect(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    for (const std::string& x : a) {
        for (const std::string& y : b) {
            if (fold(x) == fold(y)) return true;
        }
    }
    return false;
}

bool scopesCovered(const std::vector<std::string>& part, const std::vector<std::string>& all) {
    for (const std::string& x : part) {
        if (!scopesIntersect({x}, all)) return false;
    }
    return true;
}

bool scopesEqual(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    return scopesCovered(a, b) && scopesCovered(b, a);
}

std::string urlServiceType(const std::string& url) {
    size_t sep = url.find("://");
    return sep == std::string::npos ? std::string() : url.substr(0, sep);
}

std::string urlPortProblem(const std::string& url, const std::string& type) {
    const size_t sep = url.find("://");
    if (sep == std::string::npos) return "";
    // The site is [user@]host[:port], up to the path, the attributes or the query.
    std::string site = url.substr(sep + 3, url.find_first_of("/;?", sep + 3) - (sep + 3));
    site.erase(0, site.find('@') + 1);
    const size_t bracket = site.rfind(']');  // an IPv6 literal holds colons of its own
    const size_t colon = site.find(':', bracket == std::string::npos ? 0 : bracket);
    const std::string port = colon == std::string::npos ? "" : site.substr(colon + 1);
    if (port.empty()) return typeKey(type) == "esmproxy" ? "an ESMProxy URL needs a port" : "";
    if (port.find_first_not_of("0123456789") != std::string::npos) {
        return "port \"" + port + "\" is not a number";
    }
    const size_t lead = port.find_first_not_of('0');
    const std::string digits = lead == std::string::npos ? "0" : port.substr(lead);
    const long value = digits.size() > 5 ? 0 : strtol(digits.c_str(), nullptr, 10);
    if (value < 1 || value > 65535) {
        return "port " + port + " is not in 1..65535";
    }
    return "";
}

std::string typeKey(const std::string& type) {
    return lowerAscii(stripServicePrefix(trim(type)));
}

bool typeMatches(const std::string& requested, const std::string& registered) {
    std::string req = typeKey(requested);
    std::string reg = typeKey(registered);
    if (req.empty()) return false;
    if (req.find(':') != std::string::npos) return req == reg;
    return req == reg || req == reg.substr(0, reg.find(':'));
}

bool matchPieces(const std::string& v, const std::vector<std::string>& pieces) {
    if (pieces.empty()) return false;
    if (pieces.size() == 1) return v == pieces[0];
    const std::string& first = pieces.front();
    const std::string& last = pieces.back();
    if (v.size() < first.size() + last.size()) return false;
    if (v.compare(0, first.size(), first) != 0) return false;
    if (v.compare(v.size() - last.size(), last.size(), last) != 0) return false;
    size_t pos = first.size();
    const size_t end = v.size() - last.size();
    for (size_t i = 1; i + 1 < pieces.size(); ++i) {
        // memmem searches in linear time, where a naive search of a long value for a long
        // piece could take their product.
        const std::string& p = pieces[i];
        const void* f = memmem(v.data() + pos, end - pos, p.data(), p.size());
        if (f == nullptr) return false;
        pos = static_cast<size_t>(static_cast<const char*>(f) - v.data()) + p.size();
    }
    return true;
}

std::string logSafe(const std::string& s) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(s.size());
    for (char ch : s) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c == '"' || c < 0x20 || c > 0x7e) {
            out.push_back('\\');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        } else {
            out.push_back(ch);
        }
    }
    return out;
}

}  // namespace slpda
