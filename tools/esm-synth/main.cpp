// esm-synth: the command-line client of the synthesis service. Builds a SynthESMReq from its
// arguments (or takes any request message from a file), posts it with the project's client and
// prints the answer as a table or as JSON; or prints the request it would send; or explains, for
// each endpoint and zone, what the daemon's locator would find, without changing anything.

#include <libxml/parser.h>

#include "diag.h"
#include "exchange.h"
#include "explain.h"
#include "options.h"

using namespace esmsynth;

int main(int argc, char** argv) {
    Options o;
    const int status = parseArgs(argc, argv, &o);
    if (status >= 0) return status;
    // The libraries' own progress and failure lines (the codec logs every zone, the transport
    // every failure, the coordinates every lookup) are no part of this program's output: it
    // reports each failure itself, once.
    setDiagSink(discardDiag);
    xmlInitParser();
    if (o.explain) return explain(o);
    if (!o.sendFile.empty()) return sendFile(o);
    return synthesize(o);
}
