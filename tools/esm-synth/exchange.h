#pragma once

// esm-synth's exchanges with the service: posting a request and printing the answer.

#include "options.h"

namespace esmsynth {

// --send FILE: posts the request message in the file (or standard input) and prints the decoded
// answer, whatever its type. Returns the exit status.
int sendFile(const Options& o);

// Builds the SynthESMReq of the options; prints it (--print-request), or posts it and prints the
// transport of every endpoint and zone as a table or as JSON. Returns the exit status.
int synthesize(const Options& o);

}  // namespace esmsynth
