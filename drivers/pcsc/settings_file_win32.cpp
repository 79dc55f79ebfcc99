#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>

#include "drivers/pcsc/settings_file.hpp"

namespace vellicor::pcsc {

namespace {

struct free_memory {
    void operator()(void* memory) const noexcept { std::free(memory); }
};
template <typename T>
using memory = std::unique_ptr<T, free_memory>;

class file_handle {
  public:
    explicit file_handle(HANDLE handle) noexcept : handle_(handle) {}
    file_handle(const file_handle&) = delete;
    file_handle& operator=(const file_handle&) = delete;
    ~file_handle() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }
    [[nodiscard]] HANDLE get() const noexcept { return handle_; }

  private:
    HANDLE handle_;
};

// Reads and parses the file at `path`. A folder of that name fails to open;
// anything but a disk file (a pipe, a device) is refused, not waited on.
void read_settings_file(const wchar_t* path, settings_lookup& into) noexcept {
    // Shared every way: an editor holding the file open must not make it
    // unreadable.
    const file_handle file(CreateFileW(path, GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return;
        into.source = settings_source::beside_library;
        into.error = {settings_problem::unreadable, 0};
        return;
    }
    into.source = settings_source::beside_library;
    if (GetFileType(file.get()) != FILE_TYPE_DISK) {
        into.error = {settings_problem::unreadable, 0};
        return;
    }
    // One byte more than allowed tells a file that is too large.
    const memory<char> text(static_cast<char*>(std::malloc(max_settings_file + 1)));
    if (!text) {
        into.error = {settings_problem::unreadable, 0};
        return;
    }
    std::size_t size = 0;
    while (size <= max_settings_file) {
        DWORD got = 0;
        if (ReadFile(file.get(), text.get() + size,
                     static_cast<DWORD>(max_settings_file + 1 - size), &got, nullptr) == 0) {
            into.error = {settings_problem::unreadable, 0};
            return;
        }
        if (got == 0) break;
        size += got;
    }
    into.error = parse_settings(text.get(), size, into.values);
}

}  // namespace

const wchar_t* system_settings_path() noexcept { return nullptr; }

void find_settings(const wchar_t* library_path, settings_lookup& into) noexcept {
    into = settings_lookup{};
    std::size_t folder = 0;
    for (std::size_t i = 0; library_path[i] != L'\0'; ++i) {
        if (library_path[i] == L'\\' || library_path[i] == L'/') folder = i + 1;
    }
    constexpr std::size_t name_size = sizeof settings_file_name;
    const memory<wchar_t> beside(
        static_cast<wchar_t*>(std::malloc((folder + name_size) * sizeof(wchar_t))));
    if (!beside) {
        into.source = settings_source::beside_library;
        into.error = {settings_problem::unreadable, 0};
        return;
    }
    std::wmemcpy(beside.get(), library_path, folder);
    for (std::size_t i = 0; i < name_size; ++i) {
        beside.get()[folder + i] = static_cast<wchar_t>(settings_file_name[i]);
    }
    read_settings_file(beside.get(), into);
}

}  // namespace vellicor::pcsc
