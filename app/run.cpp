#include "app/run.hpp"

#include <iterator>
#include <string>

#include "app/exe_dir.hpp"
#include "message/message.hpp"
#include "reader/reader.hpp"

namespace vellicor {

namespace {

// "无法找到" (cannot find) in GBK, followed directly by the path.
constexpr char text_cannot_find[] = "\xCE\xDE\xB7\xA8\xD5\xD2\xB5\xBD";

}  // namespace

int run(std::FILE* out) {
    const int exit_status = 0;

    native_string FileName = exe_dir();
    // Without the executable's own directory (a path longer than the system
    // can report) we cannot tell whether the library is there, only that we
    // cannot read: a failed read, not a library reported missing.
    if (FileName.empty()) {
        write_result_message(out, std::string());
        return exit_status;
    }
    // Widens on platforms whose paths are wide.
    FileName.append(std::begin(reader_library_name), std::end(reader_library_name) - 1);

    if (!entry_exists(FileName)) {
        // Left unflushed: the runtime flushes it when the process ends.
        const std::string report = text_cannot_find + narrow_for_report(FileName);
        std::fwrite(report.data(), 1, report.size(), out);
        return exit_status;
    }

    const std::string result = read_card(FileName);
    write_result_message(out, result);
    return exit_status;
}

}  // namespace vellicor
