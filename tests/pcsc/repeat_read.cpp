// Calls a reader library's idr_read many times in one process and prints one
// line per call as it returns: the status and the five buffer bytes in hex;
// then the number of open file descriptors (on Windows, handles) before the
// first call and after the last. A PC/SC context that a call fails to release keeps its connection
// to the service open, so the second number grows.
//
// With PAUSE_MS it waits that long after each call, the library unloaded, so
// that a call given up at its deadline can wake meanwhile. Every call's
// buffer stays allocated to the end and must not change after its call
// returned; if one did, it says so on standard error and exits with 1.
//
//   repeat_read LIBRARY COUNT [PAUSE_MS]
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "open_handles.hpp"
#include "reader/library.hpp"
#include "reader/reader.hpp"

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: repeat_read LIBRARY COUNT [PAUSE_MS]\n");
        return 2;
    }
    const auto count = static_cast<std::size_t>(std::atoi(argv[2]));
    const std::chrono::milliseconds pause(argc == 4 ? std::atoi(argv[3]) : 0);
    using serial = std::array<unsigned char, 5>;
    std::vector<serial> buffers(count);
    std::vector<serial> returned(count);
    // Wide on Windows; the tests give ASCII names.
    const std::string name = argv[1];
    const vellicor::native_string library_path(name.begin(), name.end());
    const long descriptors_before = open_handles();
    for (std::size_t i = 0; i < count; ++i) {
        {
            // Loaded and unloaded around every call, just as the program does.
            vellicor::library reader = vellicor::library::load(library_path);
            const vellicor::reader_entry entry = reader.find_entry(vellicor::reader_entry_name);
            if (entry == nullptr) {
                std::fprintf(stderr, "no %s in %s\n", vellicor::reader_entry_name, argv[1]);
                return 2;
            }
            const int status = vellicor::call_reader_entry(entry, buffers[i].data());
            returned[i] = buffers[i];
            const serial& b = buffers[i];
            std::printf("%d %02x%02x%02x%02x%02x\n", status, b[0], b[1], b[2], b[3], b[4]);
            std::fflush(stdout);
        }
        std::this_thread::sleep_for(pause);
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (buffers[i] != returned[i]) {
            std::fprintf(stderr, "call %zu's buffer was written after the call returned\n", i + 1);
            return 1;
        }
    }
    std::printf("open descriptors: %ld before, %ld after\n", descriptors_before, open_handles());
    return 0;
}
