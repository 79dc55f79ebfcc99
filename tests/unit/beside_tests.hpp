// The build puts the reader libraries the unit tests load beside the test
// program, or in folders next to it; this finds them wherever the build is.
#pragma once

#include "app/exe_dir.hpp"
#include "reader/library.hpp"

namespace vellicor::testing {

// `relative` (ASCII, '/'-separated) taken from the test program's folder.
inline native_string beside_tests(const char* relative) {
    native_string path = exe_dir();
    for (const char* c = relative; *c != '\0'; ++c) {
        path.push_back(static_cast<native_string::value_type>(*c));
    }
    return path;
}

}  // namespace vellicor::testing
