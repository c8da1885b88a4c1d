#pragma once

// The daemon's settings file as its systemd unit reads it (EnvironmentFile=), so that
// esm-synth --explain uses the Directory Agents and the configuration directory the daemon uses.

#include <map>
#include <string>

namespace esmsynth {

// Where the daemon's unit takes its settings from; --explain reads it when present.
inline constexpr const char* kDaemonSettingsFile = "/etc/default/esm-synthd";

// Reads KEY=value lines into *out (the last assignment of a key wins): blank lines and lines
// starting with '#' or ';' are skipped, blanks around the key and the value are dropped, a
// value in double or single quotes is taken without them (\" and \\ unescaped inside double
// quotes), and a line ending with a backslash goes on on the next line. False when the file
// cannot be read, with *error saying why.
bool readSettingsFile(const std::string& path, std::map<std::string, std::string>* out,
                      std::string* error);

}  // namespace esmsynth
