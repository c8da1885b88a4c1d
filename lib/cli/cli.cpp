#include "cli.h"

#include <arpa/inet.h>
#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "EndPoint.h"
#include "esm_version.h"

namespace cli {

int usageError(const char* prog, const std::string& message) {
    fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", prog, message.c_str(), prog);
    return kUsageStatus;
}

void printVersion(const char* prog) {
    printf("%s %s\n", prog, ESM_VERSION);
}

bool parseNumber(const char* text, long min, long max, long* out) {
    if (text == nullptr || *text == '\0') return false;
    const bool signOk = min < 0 && *text == '-';
    if (!signOk && (*text < '0' || *text > '9')) return false;
    char* end = nullptr;
    errno = 0;
    const long v = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < min || v > max) return false;
    *out = v;
    return true;
}

std::string optionError(int ret, char* const* argv) {
    // A long option is named by the argument itself (up to any "=value"); a short one by optopt,
    // since inside a cluster like -qx optind has not moved past the argument yet.
    const char* arg = optind > 0 ? argv[optind - 1] : nullptr;
    const bool isLong = arg != nullptr && strncmp(arg, "--", 2) == 0;
    std::string name;
    if (isLong) {
        const char* eq = strchr(arg, '=');
        name = eq != nullptr ? std::string(arg, static_cast<size_t>(eq - arg)) : std::string(arg);
    } else {
        name = std::string("-") + static_cast<char>(optopt);
    }
    if (ret == ':') return "option '" + name + "' needs a value";
    if (isLong && optopt != 0 && strchr(arg, '=') != nullptr)
        return "option '" + name + "' takes no value";
    return "unknown option '" + name + "'";
}

std::string numberArg(const char* name, const char* text, long min, long max, long* out) {
    if (parseNumber(text, min, max, out)) return "";
    return std::string(name) + " " + text + ": not in " + std::to_string(min) + ".." +
           std::to_string(max);
}

bool parseAddrMask(const std::string& text, uint32_t* addrNet, uint32_t* maskNet) {
    const size_t slash = text.find('/');
    if (slash == std::string::npos) return false;
    in_addr a{};
    if (inet_pton(AF_INET, text.substr(0, slash).c_str(), &a) != 1) return false;
    const std::string maskText = text.substr(slash + 1);
    in_addr m{};
    long bits = 0;
    if (inet_pton(AF_INET, maskText.c_str(), &m) != 1) {
        if (!parseNumber(maskText.c_str(), 0, 32, &bits)) return false;
        m.s_addr = htonl(bits == 0 ? 0u : ~0u << (32 - bits));
    }
    *addrNet = a.s_addr;
    *maskNet = m.s_addr;
    return true;
}

std::string zoneProblem(uint32_t addrNet, uint32_t maskNet) {
    const EndZone z(addrNet, maskNet);
    const uint32_t inverse = ~ntohl(maskNet);
    if ((inverse & (inverse + 1)) != 0) return "mask " + z.getMaskStr() + " is not contiguous";
    if ((addrNet & ~maskNet) != 0) {
        return z.getAddrStr() + " has host bits set for mask " + z.getMaskStr() + " (the zone is " +
               EndZone(addrNet & maskNet, maskNet).getStr() + ")";
    }
    return "";
}

std::string jsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

}  // namespace cli
