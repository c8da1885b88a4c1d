#include "cli.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

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

}  // namespace cli
