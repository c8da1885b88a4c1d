#pragma once

// esm-synth --explain: runs the daemon's own locator for each endpoint and zone of the options and
// tells what it did, without launching, configuring or notifying anything.

#include "options.h"

namespace esmsynth {

// Prints the report of every entry as text or JSON. Returns kOk when every endpoint and zone has
// a proxy, kRefused otherwise.
int explain(const Options& o);

}  // namespace esmsynth
