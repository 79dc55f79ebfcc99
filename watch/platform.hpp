// The watch host's dealings with the platform: the browser's two pipes, kept
// apart from the standard streams that reader libraries write to, and the
// process's end. One implementation per platform, chosen by the build.
#pragma once

#include <cstddef>

namespace vellicor::watch {

// Run first, before any other thread: keeps private copies of standard input
// and output for the frames, then points the standard streams themselves at
// the null device for good, so that nothing a reader library writes reaches
// the browser and nothing it reads takes the browser's requests. On Windows
// also the program's error mode and DLL search, as for the one-shot program.
void take_standard_streams() noexcept;

// Reads up to `size` bytes the browser sent; 0 once its input has ended.
std::size_t read_input(char* into, std::size_t size) noexcept;

// Writes all of `bytes` to the browser in one write where the pipe takes it
// whole; false when the browser is gone.
bool write_output(const char* bytes, std::size_t size) noexcept;

// Ends the process at once with exit status 0, without exit handlers or any
// library's clean-up: a read may still be inside a reader library, which
// such clean-up would wait for or free memory under. Nothing of ours is
// buffered: every frame was written whole.
[[noreturn]] void end_process() noexcept;

}  // namespace vellicor::watch
