// For bench/pcsc_read.sh: the PC/SC reader library without its deadline. The
// read runs on the caller's thread and takes as long as it takes.
#include "drivers/pcsc/bounded_thread.hpp"

namespace vellicor::pcsc {

run_result run_bounded(task& work, unsigned /*timeout_ms*/) noexcept {
    work.run(&work);
    return run_result::finished;
}

void outlive_abandoned_thread() noexcept {}

}  // namespace vellicor::pcsc
