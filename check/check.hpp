// vellicor-check: what a desk's reader set-up comes to, for whoever sets it up
// or answers its support calls. It changes nothing, and each of its two
// questions (the PC/SC service's readers and cards; the program's own read)
// is bounded by the read's deadline.
#pragma once

#include "check/findings.hpp"

namespace vellicor::check {

// Everything the report says: the library beside the program, its settings,
// the service and each reader, and what the program would answer now. When
// the service timed out, the thread that asked it is left running inside the
// PC/SC library, and the process must not exit normally (see end_process).
findings gather_findings();

// Gathers, writes the report (JSON when asked) to standard output, and
// returns the exit status: 0 when the program would report a card number.
// With the service timed out it ends the process itself, with that status.
int run_check(bool json);

}  // namespace vellicor::check
