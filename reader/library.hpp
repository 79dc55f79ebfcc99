// A reader library loaded at run time from a full path, unloaded when the
// handle goes away. One implementation per platform, chosen by the build.
#pragma once

#include <filesystem>

namespace vellicor {

// Paths in the platform's own form: bytes on POSIX, UTF-16 on Windows.
using native_string = std::filesystem::path::string_type;

// The reader library's one entry point: fills the serial buffer (its first 5
// bytes count; see serial_buffer) and returns the reader status in its low 8
// bits.
using reader_entry = int (*)(unsigned char* idserial);

class library {
  public:
    // Loads from exactly this path, never through a search path. An empty
    // handle when the file cannot be loaded.
    static library load(const native_string& path) noexcept;

    library() noexcept = default;
    library(library&& other) noexcept;
    library& operator=(library&& other) noexcept;
    library(const library&) = delete;
    library& operator=(const library&) = delete;
    ~library();

    explicit operator bool() const noexcept { return handle_ != nullptr; }

    // The named export as a reader entry point, or nullptr when it is missing.
    reader_entry find_entry(const char* name) const noexcept;

    // Unloads now; the handle is empty afterwards.
    void unload() noexcept;

  private:
    explicit library(void* handle) noexcept : handle_(handle) {}

    void* handle_ = nullptr;
};

// Calls the entry point once. Kept apart from the call site because on some
// targets the library's calling convention is not known in advance.
int call_reader_entry(reader_entry entry, unsigned char* idserial) noexcept;

}  // namespace vellicor
