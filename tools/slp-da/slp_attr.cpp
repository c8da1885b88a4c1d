#include "slp_attr.h"

#include <algorithm>
#include <unordered_map>

#include "slp_text.h"

namespace slpda {

namespace {

// Characters that end or break an item when they appear unescaped in a tag.
bool badInTag(char c) {
    switch (c) {
        case '(':
        case ')':
        case ',':
        case '=':
        case '!':
        case '<':
        case '>':
        case '~':
        case '*':
            return true;
        default:
            return static_cast<unsigned char>(c) < 0x20 && !isBlank(c);
    }
}

bool readTag(const std::string& raw, std::string* folded) {
    for (char c : raw) {
        if (badInTag(c)) return false;
    }
    std::string text;
    if (!unescape(raw, &text)) return false;
    *folded = fold(text);
    return !folded->empty();
}

// Classifies and stores one value of an attribute; false on a bad escape.
bool addValue(const std::string& raw, Attribute* a, ValueType* type) {
    std::string bytes;
    int64_t n;
    if (raw.size() >= 3 && raw[0] == '\\' && (raw[1] == 'f' || raw[1] == 'F') &&
        (raw[2] == 'f' || raw[2] == 'F')) {
        if (!parseOpaque(raw, &bytes)) return false;
        *type = ValueType::kOpaque;
        a->values.push_back(bytes);
        return true;
    }
    if (!unescape(raw, &bytes)) return false;
    std::string f = fold(bytes);
    if (parseSlpInteger(bytes, &n)) {
        *type = ValueType::kInteger;
        a->ints.push_back(n);
        a->values.push_back(std::to_string(n));
    } else if (f == "true" || f == "false") {
        *type = ValueType::kBoolean;
        a->values.push_back(f);
    } else {
        *type = ValueType::kString;
        a->values.push_back(f);
    }
    return true;
}

// Finds a tag among the attributes parsed so far through an index by tag, so that a long list
// costs linear time.
Attribute* findOrAdd(std::vector<Attribute>* attrs, std::unordered_map<std::string, size_t>* byTag,
                     const std::string& tag) {
    auto [it, added] = byTag->emplace(tag, attrs->size());
    if (added) {
        attrs->emplace_back();
        attrs->back().tag = tag;
    }
    return &(*attrs)[it->second];
}

}  // namespace

bool parseSlpInteger(const std::string& text, int64_t* out) {
    std::string t = trim(text);
    size_t i = 0;
    bool neg = false;
    if (i < t.size() && t[i] == '-') {
        neg = true;
        ++i;
    }
    if (i == t.size() || t.size() - i > 10) return false;
    int64_t v = 0;
    for (; i < t.size(); ++i) {
        if (t[i] < '0' || t[i] > '9') return false;
        v = v * 10 + (t[i] - '0');
    }
    if (neg) v = -v;
    if (v < -2147483648LL || v > 2147483647LL) return false;
    *out = v;
    return true;
}

bool parseOpaque(const std::string& raw, std::string* bytes) {
    std::string t = trim(raw);
    if (t.size() < 3 || t.size() % 3 != 0) return false;
    for (size_t i = 0; i < t.size(); i += 3) {
        if (t[i] != '\\') return false;
    }
    std::string all;
    if (!unescape(t, &all) || all.empty() || static_cast<unsigned char>(all[0]) != 0xff) {
        return false;
    }
    *bytes = all.substr(1);
    return true;
}

AttrParse parseAttrList(const std::string& text, std::vector<Attribute>* out) {
    out->clear();
    std::unordered_map<std::string, size_t> byTag;
    size_t i = 0;
    const size_t n = text.size();
    for (;;) {
        while (i < n && isBlank(text[i])) ++i;
        if (i == n) break;
        if (text[i] == '(') {
            size_t close = text.find(')', i + 1);
            if (close == std::string::npos) return AttrParse::kParseError;
            std::string inner = text.substr(i + 1, close - i - 1);
            size_t eq = inner.find('=');
            if (eq == std::string::npos) return AttrParse::kParseError;
            std::string tag;
            if (inner.find('(') != std::string::npos || !readTag(inner.substr(0, eq), &tag)) {
                return AttrParse::kParseError;
            }
            Attribute* a = findOrAdd(out, &byTag, tag);
            bool hadValues = !a->keyword;
            ValueType first = a->type;
            a->keyword = false;
            std::string vals = inner.substr(eq + 1);
            size_t start = 0;
            while (start <= vals.size()) {
                size_t comma = vals.find(',', start);
                if (comma == std::string::npos) comma = vals.size();
                ValueType t;
                if (!addValue(vals.substr(start, comma - start), a, &t)) {
                    return AttrParse::kParseError;
                }
                if (!hadValues) {
                    first = t;
                    hadValues = true;
                } else if (t != first) {
                    return AttrParse::kTypeError;
                }
                start = comma + 1;
            }
            a->type = first;
            i = close + 1;
        } else {
            size_t comma = text.find(',', i);
            if (comma == std::string::npos) comma = n;
            std::string tag;
            if (!readTag(text.substr(i, comma - i), &tag)) return AttrParse::kParseError;
            findOrAdd(out, &byTag, tag);
            i = comma;
        }
        while (i < n && isBlank(text[i])) ++i;
        if (i == n) break;
        if (text[i] != ',') return AttrParse::kParseError;
        ++i;
    }
    sortAttributes(out);
    return AttrParse::kOk;
}

void sortAttributes(std::vector<Attribute>* attrs) {
    std::sort(attrs->begin(), attrs->end(),
              [](const Attribute& a, const Attribute& b) { return a.tag < b.tag; });
}

size_t attributeCount(const std::vector<Attribute>& attrs) {
    size_t n = 0;
    for (const Attribute& a : attrs) n += a.keyword ? 1 : a.values.size();
    return n;
}

size_t attributeBytes(const std::vector<Attribute>& attrs) {
    size_t n = 0;
    for (const Attribute& a : attrs) {
        n += a.tag.size() + 1;
        for (const std::string& v : a.values) n += v.size() + 1;
    }
    return n;
}

const Attribute* findAttribute(const std::vector<Attribute>& attrs, const std::string& foldedTag) {
    auto it =
        std::lower_bound(attrs.begin(), attrs.end(), foldedTag,
                         [](const Attribute& a, const std::string& tag) { return a.tag < tag; });
    return it != attrs.end() && it->tag == foldedTag ? &*it : nullptr;
}

std::string indexKey(const std::string& foldedTag, ValueType type, const std::string& value) {
    // The tag's length first: an escaped tag may hold any byte, so no separator is safe.
    std::string key = std::to_string(foldedTag.size());
    key.reserve(key.size() + foldedTag.size() + value.size() + 2);
    key += ':';
    key += foldedTag;
    key += static_cast<char>('0' + static_cast<int>(type));
    key += value;
    return key;
}

}  // namespace slpda
