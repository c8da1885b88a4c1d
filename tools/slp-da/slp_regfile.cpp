#include "slp_regfile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "slp_attr.h"
#include "slp_text.h"

namespace slpda {

namespace {

struct Pending {
    bool open = false;
    Registration reg;
    bool haveScopes = false;
    std::string attrText;  // the attribute lines so far, as one attribute list
};

bool fail(RegFileError* error, int line, const std::string& why) {
    error->line = line;
    error->reason = why;
    return false;
}

bool startRegistration(const std::string& line, int lineNo, Pending* p, RegFileError* error) {
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
    if (lowerAscii(url.substr(0, 8)) != "service:") {
        return fail(error, lineNo, "the URL does not start with \"service:\"");
    }
    std::string type = urlServiceType(url);
    if (type.empty()) return fail(error, lineNo, "the URL has no \"://\"");
    const std::string portProblem = urlPortProblem(url, type);
    if (!portProblem.empty()) return fail(error, lineNo, portProblem);
    if (fields[1].empty()) return fail(error, lineNo, "the language tag is empty");
    const std::string& life = fields[2];
    long lifetime = 0;
    if (life.empty() || life.size() > 5 ||
        life.find_first_not_of("0123456789") != std::string::npos ||
        (lifetime = strtol(life.c_str(), nullptr, 10)) < 1 || lifetime > 65535) {
        return fail(error, lineNo, "lifetime must be 1..65535");
    }
    p->open = true;
    p->reg = Registration();
    p->reg.url = url;
    p->reg.lang = fields[1];
    p->reg.type = type;
    p->reg.lifetime = static_cast<uint16_t>(lifetime);
    p->haveScopes = false;
    p->attrText.clear();
    return true;
}

// One attribute line, checked against the lines before it, so that a fault names its own line.
bool addAttributeLine(const std::string& line, int lineNo, const RegFileLimits& limits, Pending* p,
                      RegFileError* error) {
    const bool hasValue = line.find('=') != std::string::npos;
    if (!hasValue && line.find_first_of(" \t") != std::string::npos) {
        return fail(error, lineNo, "\"" + line + "\" is neither tag=value nor a keyword");
    }
    std::string text = p->attrText;
    if (!text.empty()) text += ',';
    text += hasValue ? "(" + line + ")" : line;
    switch (parseAttrList(text, &p->reg.attrs)) {
        case AttrParse::kOk:
            break;
        case AttrParse::kTypeError:
            return fail(error, lineNo, "values of different types for one attribute");
        case AttrParse::kParseError:
            return fail(error, lineNo, "malformed attribute");
    }
    if (attributeCount(p->reg.attrs) > limits.maxAttrs) {
        return fail(error, lineNo,
                    "more than " + std::to_string(limits.maxAttrs) +
                        " attribute values and keywords in one registration (--max-attrs)");
    }
    p->attrText = std::move(text);
    return true;
}

bool readLine(const std::string& line, int lineNo, const std::vector<std::string>& daScopes,
              const RegFileLimits& limits, Pending* p, RegFileError* error) {
    if (!p->open) return startRegistration(line, lineNo, p, error);
    if (line.size() >= 7 && lowerAscii(line.substr(0, 7)) == "scopes=") {
        if (p->haveScopes) return fail(error, lineNo, "a second scopes line");
        std::string bad;
        if (!validScopeList(line.substr(7), &bad)) {
            return fail(error, lineNo, "bad scope \"" + bad + "\" in the scope list");
        }
        p->reg.scopes = splitList(line.substr(7));
        p->haveScopes = true;
        if (!scopesCovered(p->reg.scopes, daScopes)) {
            return fail(error, lineNo, "a scope that this DA does not serve");
        }
        return true;
    }
    return addAttributeLine(line, lineNo, limits, p, error);
}

void finish(Pending* p, const std::vector<std::string>& daScopes, std::vector<Registration>* out) {
    if (!p->open) return;
    p->open = false;
    if (!p->haveScopes) p->reg.scopes = daScopes;
    out->push_back(std::move(p->reg));
}

}  // namespace

bool parseRegFile(const std::string& text, const std::vector<std::string>& daScopes,
                  const RegFileLimits& limits, std::vector<Registration>* out,
                  RegFileError* error) {
    out->clear();
    Pending p;
    int lineNo = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) nl = text.size();
        ++lineNo;
        bool ok = true;
        if (nl - start > kMaxRegFileLine) {
            ok = fail(error, lineNo,
                      "longer than " + std::to_string(kMaxRegFileLine) + " characters");
        }
        std::string line = ok ? trim(text.substr(start, nl - start)) : std::string();
        start = nl + 1;
        if (ok && line.empty()) {
            finish(&p, daScopes, out);
            continue;
        }
        if (ok && (line[0] == '#' || line[0] == ';')) continue;
        if (ok && !p.open) {
            if (out->size() >= limits.maxRegistrations) {
                ok = fail(error, lineNo,
                          "more than " + std::to_string(limits.maxRegistrations) +
                              " registrations (--max-registrations)");
            }
        }
        if (!ok || !readLine(line, lineNo, daScopes, limits, &p, error)) {
            out->clear();
            return false;
        }
    }
    finish(&p, daScopes, out);
    return true;
}

bool readRegFile(const std::string& path, std::string* text, std::string* why) {
    FILE* f = fopen(path.c_str(), "rbe");
    int err = f == nullptr ? errno : 0;
    if (f != nullptr) {
        char buf[8192];
        size_t n;
        while (err == 0 && (n = fread(buf, 1, sizeof buf, f)) > 0) {
            text->append(buf, n);
            if (text->size() > kMaxRegFile) err = EFBIG;
        }
        // The reason is taken before fclose, which may change errno even when it succeeds.
        if (err == 0 && ferror(f)) err = errno;
        fclose(f);
    }
    if (err != 0) *why = path + ": " + strerror(err);
    return err == 0;
}

}  // namespace slpda
