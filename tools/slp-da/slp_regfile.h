#pragma once

// Static registrations in the slp.reg format: registrations separated by blank lines, each
//   url,language-tag,lifetime[,service-type]
//   [scopes=scope-list]
//   [tag=value[,value...]]   one attribute per line
//   [keyword]
// Lines starting with '#' or ';' are comments. The URL is a "service:" URL whose port, if any, is
// 1..65535 (an ESMProxy URL needs one); lifetime 1..65535 (65535: permanent). The service type is
// the URL's (the text before "://"); a fourth field is ignored. Without a scopes line the DA's
// scopes apply. Pure function; any thread.

#include <cstddef>
#include <string>
#include <vector>

#include "slp_store.h"

namespace slpda {

struct RegFileLimits {
    size_t maxAttrs = 128;            // attribute values and keywords of one registration
    size_t maxRegistrations = 10000;  // registrations in the file
};

// Where and why a file was refused.
struct RegFileError {
    int line = 0;  // 1-based
    std::string reason;
};

// The longest line read, as other SLP agents read these files.
constexpr size_t kMaxRegFileLine = 4095;

// Parses the whole text. On the first fault returns false with *error naming its line and
// leaves *out empty: a file is loaded whole or not at all. Every registration's scopes must be
// served by the DA (daScopes).
bool parseRegFile(const std::string& text, const std::vector<std::string>& daScopes,
                  const RegFileLimits& limits, std::vector<Registration>* out, RegFileError* error);

// The largest registrations file read.
constexpr size_t kMaxRegFile = 16 << 20;

// Reads the whole file at path into *text; false with *why "PATH: REASON" (the system's reason,
// or "File too large" beyond kMaxRegFile).
bool readRegFile(const std::string& path, std::string* text, std::string* why);

}  // namespace slpda
