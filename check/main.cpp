// vellicor-check [--json]: see check.hpp.
#include <cstdio>
#include <cstring>

#include "check/check.hpp"

int main(int argc, char** argv) {
    const bool json = argc == 2 && std::strcmp(argv[1], "--json") == 0;
    if (argc > 2 || (argc == 2 && !json)) {
        std::fputs("usage: vellicor-check [--json]\n", stderr);
        return 1;
    }
    return vellicor::check::run_check(json);
}
