// Keeps whatever a reader library prints out of our output. While a guard
// lives, standard output and standard error lead to the null device; when it
// ends, both lead where they led before. One implementation per platform.
#pragma once

#include <array>

namespace vellicor {

class output_guard {
  public:
    // Flushes what we have written so far, then points both streams at the
    // null device. When that cannot be done, the streams are left as they
    // are: a read must never fail for the guard's sake.
    output_guard() noexcept;
    // Discards what is left buffered for the streams and puts them back.
    ~output_guard();

    output_guard(const output_guard&) = delete;
    output_guard& operator=(const output_guard&) = delete;
    output_guard(output_guard&&) = delete;
    output_guard& operator=(output_guard&&) = delete;

  private:
    // What one stream led to before, as each platform needs it to put it back.
    struct saved_stream {
        // A duplicate of the stream's descriptor; -1 when it had none.
        int copy = -1;
        // Windows: the standard handle, and whether it was the very handle
        // behind the descriptor (which redirecting the descriptor closes).
        void* handle = nullptr;
        bool handle_was_descriptors = false;
    };

    // Standard output, then standard error.
    std::array<saved_stream, 2> saved_{};
    bool redirected_ = false;
};

}  // namespace vellicor
