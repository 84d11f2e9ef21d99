// lumenaview: the command line, the refresh loop and the exit codes.
//
// Exit codes (also in --help):
//   0   everything was shown
//   1   shown, but something was wrong: a corrupt area, an unstable statistics
//       record, or a broker that could not be read while others could
//   2   no broker found on this machine: no key file "/tmp/<UUID>.zovcshme",
//       or only key files without a segment (no broker running)
//   3   no broker could be read: permission denied, a foreign or truncated
//       segment, or another system error
//   4   the --output file could not be written, or the exporter cannot serve
//       (an address in use, an unusable --web.config.file)
//   64  wrong usage
// With --watch, the code is that of the last refresh. --locks and
// --release-stale have codes of their own (lumenaview_locks.h, --help).
#pragma once

#include <iostream>
#include <istream>
#include <ostream>
#include <string>

namespace lumenaview {

enum ExitCode {
    kExitOk = 0,
    kExitPartial = 1,
    kExitNoBroker = 2,
    kExitUnreadable = 3,
    kExitOutput = 4,
    kExitUsage = 64,
};

// Runs the viewer with a command line as main receives it. `interactive`
// clears the screen between the refreshes of a watch; `in` answers the
// question of --release-stale.
int runLumenaview(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
                  bool interactive = false, std::istream& in = std::cin);

// The metrics of every broker on this machine, read afresh: what a scrape of
// `lumenaview --listen` returns (OpenMetrics or the text format 0.0.4).
std::string scrapeMetrics(bool openMetrics);

}  // namespace lumenaview
