#include <windows.h>

#include <vector>

#include "check/platform.hpp"

namespace vellicor::check {

std::string utf8_path(const native_string& path) {
    if (path.empty()) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, path.data(), static_cast<int>(path.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), text.data(), size,
                        nullptr, nullptr);
    return text;
}

std::string utf8_text(const std::string& text) {
    if (text.empty()) return {};
    const int size =
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
    return utf8_path(wide);
}

library_kind identify_library(const native_string& path) {
    // Read from the file, not loaded: the same mark the installer goes by.
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) return library_kind::other;
    std::vector<unsigned char> block(size);
    if (GetFileVersionInfoW(path.c_str(), 0, size, block.data()) == 0) return library_kind::other;
    void* value = nullptr;
    UINT length = 0;
    if (VerQueryValueW(block.data(), L"\\StringFileInfo\\040904B0\\ProductName", &value, &length) ==
            0 ||
        value == nullptr) {
        return library_kind::other;
    }
    return std::wstring(static_cast<const wchar_t*>(value)) == L"Vellicor" ? library_kind::ours
                                                                           : library_kind::other;
}

// In a console, UTF-16 through WriteConsoleW, which shows every character
// whatever the console's code page; redirected to a file or a pipe, the UTF-8
// bytes as they are, for scripts.
// Only the zip carries the guides; the setup and the MSI install the
// programs alone.
std::string guide_path(const char* file) {
    return std::string("docs\\") + file + " in the Vellicor zip";
}

void write_report(const std::string& utf8) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE || utf8.empty()) return;
    DWORD mode = 0;
    if (GetConsoleMode(out, &mode) != 0) {
        const int size =
            MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
        std::wstring text(static_cast<std::size_t>(size), L'\0');
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text.data(),
                            size);
        DWORD written = 0;
        WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    for (std::size_t at = 0; at < utf8.size();) {
        DWORD written = 0;
        if (WriteFile(out, utf8.data() + at, static_cast<DWORD>(utf8.size() - at), &written,
                      nullptr) == 0 ||
            written == 0) {
            return;
        }
        at += written;
    }
}

// ExitProcess would end the given-up thread wherever it is, then wait in
// winscard's detach for the lock that thread holds, for ever.
void end_process(int status) noexcept {
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
    // Not reached: TerminateProcess does not return for the calling process.
    for (;;) Sleep(INFINITE);
}

}  // namespace vellicor::check
