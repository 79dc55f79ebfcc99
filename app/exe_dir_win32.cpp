// windows.h first: the other Windows headers build on it.
#include <windows.h>

#include <shlwapi.h>

#include <cwchar>

#include "app/exe_dir.hpp"

namespace vellicor {

native_string exe_dir() {
    // MAX_PATH is only where the buffer starts: a longer path would come back
    // truncated (the call then returns the buffer's size), so the buffer grows
    // until the whole path fits. Windows paths end at 32767 characters.
    constexpr DWORD longest_path = 32767;
    native_string szFilePath(MAX_PATH, L'\0');
    for (;;) {
        const auto size = static_cast<DWORD>(szFilePath.size());
        const DWORD length = GetModuleFileNameW(nullptr, szFilePath.data(), size);
        if (length == 0) return {};
        if (length < size) {
            szFilePath.resize(length);
            break;
        }
        if (size > longest_path) return {};
        szFilePath.resize(szFilePath.size() * 2);
    }
    // End the text right after the last backslash: the directory, separator
    // included.
    const wchar_t* last_backslash = std::wcsrchr(szFilePath.c_str(), L'\\');
    if (last_backslash == nullptr) return {};
    szFilePath.resize(static_cast<std::size_t>(last_backslash - szFilePath.c_str()) + 1);
    return szFilePath;
}

bool entry_exists(const native_string& path) { return PathFileExistsW(path.c_str()) != FALSE; }

// In GBK (code page 936) whatever code page the machine uses, as the text in
// front of the path is GBK: one report, one encoding. Characters GBK lacks
// become "?", never a look-alike that names another file.
std::string narrow_for_report(const native_string& path) {
    if (path.empty()) return {};
    constexpr UINT gbk = 936;
    constexpr DWORD flags = WC_NO_BEST_FIT_CHARS;
    const auto wide_length = static_cast<int>(path.size());
    const int length =
        WideCharToMultiByte(gbk, flags, path.data(), wide_length, nullptr, 0, "?", nullptr);
    if (length <= 0) return {};
    std::string narrow(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(gbk, flags, path.data(), wide_length, narrow.data(), length, "?", nullptr);
    return narrow;
}

}  // namespace vellicor
