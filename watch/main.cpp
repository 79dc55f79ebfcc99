// vellicor-watch: see protocol.hpp. Arguments (browsers pass the caller's
// origin, a window or the manifest's path) are accepted and ignored.
#include "watch/host.hpp"
#include "watch/platform.hpp"

int main() {
    vellicor::watch::take_standard_streams();
    vellicor::watch::run_host();
}
