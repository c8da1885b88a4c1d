// The daemon's settings file, read with the rules of systemd's EnvironmentFile=.
#include "settings_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>

namespace esmsynth {

namespace {

std::string trimmed(const std::string& s) {
    const size_t from = s.find_first_not_of(" \t");
    if (from == std::string::npos) return "";
    return s.substr(from, s.find_last_not_of(" \t") - from + 1);
}

// A value as the unit gets it: quotes around it removed, escapes inside double quotes undone.
std::string unquoted(const std::string& v) {
    if (v.size() < 2 || (v[0] != '"' && v[0] != '\'') || v.back() != v[0]) return v;
    const std::string inner = v.substr(1, v.size() - 2);
    if (v[0] == '\'') return inner;
    std::string out;
    for (size_t i = 0; i < inner.size(); ++i) {
        if (inner[i] == '\\' && i + 1 < inner.size()) ++i;
        out += inner[i];
    }
    return out;
}

}  // namespace

bool readSettingsFile(const std::string& path, std::map<std::string, std::string>* out,
                      std::string* error) {
    std::ifstream in(path);
    if (!in) {
        *error = std::string("cannot read ") + path + ": " + strerror(errno);
        return false;
    }
    std::string line;
    std::string pending;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\\') {
            pending += line.substr(0, line.size() - 1);
            continue;
        }
        const std::string whole = trimmed(pending + line);
        pending.clear();
        if (whole.empty() || whole[0] == '#' || whole[0] == ';') continue;
        const size_t eq = whole.find('=');
        if (eq == std::string::npos) continue;  // not an assignment: systemd skips it too
        (*out)[trimmed(whole.substr(0, eq))] = unquoted(trimmed(whole.substr(eq + 1)));
    }
    if (in.bad()) {
        *error = std::string("cannot read ") + path + ": " + strerror(errno);
        return false;
    }
    return true;
}

}  // namespace esmsynth
