// Calls a reader library's idr_read many times in one process and prints one
// line per call: the status and the five buffer bytes in hex; then the number
// of open file descriptors before the first call and after the last. A PC/SC
// context that a call fails to release keeps its connection to the service
// open, so the second number grows.
//
//   repeat_read LIBRARY COUNT
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>

#include "reader/library.hpp"
#include "reader/reader.hpp"

namespace {

long open_descriptors() {
    const std::filesystem::directory_iterator fds("/proc/self/fd");
    return static_cast<long>(std::distance(begin(fds), end(fds)));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: repeat_read LIBRARY COUNT\n");
        return 2;
    }
    const int count = std::atoi(argv[2]);
    const long descriptors_before = open_descriptors();
    for (int i = 0; i < count; ++i) {
        // Loaded and unloaded around every call, just as the program does.
        vellicor::library reader = vellicor::library::load(argv[1]);
        const vellicor::reader_entry entry = reader.find_entry(vellicor::reader_entry_name);
        if (entry == nullptr) {
            std::fprintf(stderr, "no %s in %s\n", vellicor::reader_entry_name, argv[1]);
            return 2;
        }
        unsigned char idserial[5] = {};
        const int status = vellicor::call_reader_entry(entry, idserial);
        std::printf("%d %02x%02x%02x%02x%02x\n", status, idserial[0], idserial[1], idserial[2],
                    idserial[3], idserial[4]);
    }
    std::printf("open descriptors: %ld before, %ld after\n", descriptors_before,
                open_descriptors());
    return 0;
}
