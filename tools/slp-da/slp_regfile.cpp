#include "slp_regfile.h"

#include <cstdlib>

#include "slp_attr.h"
#include "slp_text.h"

namespace slpda {

namespace {

struct Pending {
    bool open = false;
    int line = 0;
    Registration reg;
    bool haveScopes = false;
    std::vector<std::string> items;  // attribute list items
};

bool fail(std::string* error, int line, const std::string& why) {
    *error = "line " + std::to_string(line) + ": " + why;
    return false;
}

bool startRegistration(const std::string& line, int lineNo, Pending* p, std::string* error) {
    std::vector<std::string> fields;
    size_t start = 0;
    while (start <= line.size()) {
        size_t comma = line.find(',', start);
        if (comma == std::string::npos) comma = line.size();
        fields.push_back(trim(line.substr(start, comma - start)));
        start = comma + 1;
    }
    if (fields.size() < 3 || fields.size() > 4) {
        return fail(error, lineNo, "expected url,language-tag,lifetime[,service-type]");
    }
    const std::string& url = fields[0];
    std::string type = urlServiceType(url);
    if (type.empty()) return fail(error, lineNo, "the URL has no \"://\"");
    if (fields[1].empty()) return fail(error, lineNo, "the language tag is empty");
    const std::string& life = fields[2];
    long lifetime = 0;
    if (life.empty() || life.size() > 5 ||
        life.find_first_not_of("0123456789") != std::string::npos ||
        (lifetime = strtol(life.c_str(), nullptr, 10)) < 1 || lifetime > 65535) {
        return fail(error, lineNo, "lifetime must be 1..65535");
    }
    p->open = true;
    p->line = lineNo;
    p->reg = Registration();
    p->reg.url = url;
    p->reg.lang = fields[1];
    p->reg.type = type;
    p->reg.lifetime = static_cast<uint16_t>(lifetime);
    p->haveScopes = false;
    p->items.clear();
    return true;
}

bool finish(Pending* p, const std::vector<std::string>& daScopes, std::vector<Registration>* out,
            std::string* error) {
    if (!p->open) return true;
    p->open = false;
    std::string attrs;
    for (const std::string& item : p->items) {
        if (!attrs.empty()) attrs += ',';
        attrs += item;
    }
    switch (parseAttrList(attrs, &p->reg.attrs)) {
        case AttrParse::kOk:
            break;
        case AttrParse::kTypeError:
            return fail(error, p->line, "an attribute mixes value types");
        case AttrParse::kParseError:
            return fail(error, p->line, "malformed attribute");
    }
    if (!p->haveScopes) p->reg.scopes = daScopes;
    if (!scopesCovered(p->reg.scopes, daScopes)) {
        return fail(error, p->line, "a scope that this DA does not serve");
    }
    out->push_back(std::move(p->reg));
    return true;
}

}  // namespace

bool parseRegFile(const std::string& text, const std::vector<std::string>& daScopes,
                  std::vector<Registration>* out, std::string* error) {
    out->clear();
    Pending p;
    int lineNo = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) nl = text.size();
        std::string line = trim(text.substr(start, nl - start));
        start = nl + 1;
        ++lineNo;
        if (line.empty()) {
            if (!finish(&p, daScopes, out, error)) {
                out->clear();
                return false;
            }
            continue;
        }
        if (line[0] == '#' || line[0] == ';') continue;
        bool ok;
        if (!p.open) {
            ok = startRegistration(line, lineNo, &p, error);
        } else if (line.size() >= 7 && lowerAscii(line.substr(0, 7)) == "scopes=") {
            if (p.haveScopes) {
                ok = fail(error, lineNo, "a second scopes line");
            } else {
                p.reg.scopes = splitList(line.substr(7));
                p.haveScopes = true;
                ok = !p.reg.scopes.empty() || fail(error, lineNo, "an empty scope list");
            }
        } else {
            p.items.push_back(line.find('=') != std::string::npos ? "(" + line + ")" : line);
            ok = true;
        }
        if (!ok) {
            out->clear();
            return false;
        }
    }
    if (!finish(&p, daScopes, out, error)) {
        out->clear();
        return false;
    }
    return true;
}

}  // namespace slpda
