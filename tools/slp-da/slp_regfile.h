#pragma once

// Static registrations in the slp.reg format: registrations separated by blank lines, each
//   url,language-tag,lifetime[,service-type]
//   [scopes=scope-list]
//   [tag=value[,value...]]   one attribute per line
//   [keyword]
// Lines starting with '#' or ';' are comments. Lifetime 1..65535 (65535: permanent). The service
// type is the URL's (the text before "://"); a fourth field is ignored. Without a scopes line
// the DA's scopes apply. Pure function; any thread.

#include <string>
#include <vector>

#include "slp_store.h"

namespace slpda {

// Parses the whole text. On the first malformed registration returns false with *error naming
// the line ("line 7: lifetime must be 1..65535") and leaves *out empty: a file is loaded whole or
// not at all. Every registration's scopes must be served by the DA (daScopes).
bool parseRegFile(const std::string& text, const std::vector<std::string>& daScopes,
                  std::vector<Registration>* out, std::string* error);

}  // namespace slpda
