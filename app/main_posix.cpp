#include <csignal>
#include <cstdio>

#include "app/run.hpp"

// Arguments and environment are accepted and ignored.
int main() {
    // A parent that stops reading must not kill us: the write fails quietly
    // and the run still ends with status 0.
    std::signal(SIGPIPE, SIG_IGN);
    return vellicor::run(stdout);
}
