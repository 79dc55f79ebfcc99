// For bench/pcsc_read.sh: the PC/SC reader library without its deadline. No
// thread is ever started, so idr_read reads on the caller's thread, as it
// does when starting one fails, and waits for as long as the read takes.
#include "drivers/pcsc/bounded_thread.hpp"

namespace vellicor::pcsc {

run_result run_bounded(task& /*work*/, unsigned /*timeout_ms*/) noexcept {
    return run_result::not_started;
}

void outlive_abandoned_thread() noexcept {}

}  // namespace vellicor::pcsc
