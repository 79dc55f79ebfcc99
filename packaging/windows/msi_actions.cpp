// The MSI package's custom actions (packaging/windows/msi.py), run by Windows
// Installer in every install, repair, upgrade and uninstall.
//
// Windows Installer knows our OUR_IDR.dll by its registration alone: were a
// reader vendor's OUR_IDR.dll put in its place, the installer would remove or
// overwrite it as ours. So, around the installer's own file actions, a
// library in the folder that is not ours (by its version resource, as the
// setup tells them apart) is set aside under another name and put back
// afterwards, byte for byte: the installer never sees it.
//
// Each is a deferred action, run as LocalSystem, whose CustomActionData is the
// folder ([INSTALLDIR]); each is also the other's rollback.
//
// ReadPolicyOptions, run at once before the components are chosen, checks the
// administrator's policy options and writes ALLOWED_ORIGINS as the browsers'
// policies take it: a mistyped option fails the install, naming it, rather
// than give the browsers a policy they would ignore.

#include <windows.h>
// After windows.h, whose types they use.
#include <msi.h>
#include <msiquery.h>

#include <algorithm>
#include <cstdlib>
#include <cwchar>
#include <iterator>
#include <memory>
#include <string_view>

namespace {

constexpr wchar_t library_name[] = L"OUR_IDR.dll";
// Where a vendor's library waits while the installer works. Named as every
// file of ours is, and in the same folder: a rename, which neither copies
// nor changes the file.
constexpr wchar_t aside_name[] = L"vellicor-kept-OUR_IDR.dll";
// What our library's version resource names (drivers/pcsc/version.rc.in).
constexpr wchar_t our_product[] = L"Vellicor";

struct free_memory {
    void operator()(void* memory) const noexcept { std::free(memory); }
};
using text = std::unique_ptr<wchar_t, free_memory>;

class msi_record {
  public:
    explicit msi_record(unsigned int fields) noexcept : handle_(MsiCreateRecord(fields)) {}
    msi_record(const msi_record&) = delete;
    msi_record& operator=(const msi_record&) = delete;
    ~msi_record() {
        if (handle_ != 0) MsiCloseHandle(handle_);
    }
    [[nodiscard]] MSIHANDLE get() const noexcept { return handle_; }

  private:
    MSIHANDLE handle_;
};

// A line in the installer's log (msiexec /l*v), with Windows' error code when
// there is one.
void log_line(MSIHANDLE install, const wchar_t* what, const wchar_t* path,
              DWORD error = 0) noexcept {
    const msi_record record(3);
    if (record.get() == 0) return;
    MsiRecordSetStringW(record.get(), 0,
                        error == 0 ? L"Vellicor: [1] [2]" : L"Vellicor: [1] [2] (error [3])");
    MsiRecordSetStringW(record.get(), 1, what);
    MsiRecordSetStringW(record.get(), 2, path);
    MsiRecordSetInteger(record.get(), 3, static_cast<int>(error));
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record.get());
}

// The folder and the name joined, with one backslash between them.
text joined(const wchar_t* folder, const wchar_t* name) noexcept {
    std::size_t folder_length = std::wcslen(folder);
    while (folder_length > 0 && folder[folder_length - 1] == L'\\') --folder_length;
    const std::size_t name_length = std::wcslen(name);
    text path(static_cast<wchar_t*>(
        std::malloc((folder_length + 1 + name_length + 1) * sizeof(wchar_t))));
    if (path) {
        std::copy_n(folder, folder_length, path.get());
        path.get()[folder_length] = L'\\';
        // With the name's terminating null.
        std::copy_n(name, name_length + 1, path.get() + folder_length + 1);
    }
    return path;
}

// The paths of the library and of its place aside, from the folder that the
// action was given.
struct paths {
    text library;
    text aside;
};

bool action_paths(MSIHANDLE install, paths& into) noexcept {
    // The length first, without the terminating null.
    DWORD length = 0;
    wchar_t none[1] = {L'\0'};
    text folder;
    if (MsiGetPropertyW(install, L"CustomActionData", none, &length) == ERROR_MORE_DATA) {
        ++length;
        folder.reset(static_cast<wchar_t*>(std::malloc(length * sizeof(wchar_t))));
    }
    // Empty, it would name the current drive's root instead.
    if (!folder ||
        MsiGetPropertyW(install, L"CustomActionData", folder.get(), &length) != ERROR_SUCCESS ||
        folder.get()[0] == L'\0') {
        log_line(install, L"no folder given to look for a reader library in", L"");
        return false;
    }
    into.library = joined(folder.get(), library_name);
    into.aside = joined(folder.get(), aside_name);
    return into.library && into.aside;
}

bool exists(const wchar_t* path) noexcept {
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

// Ours when its version resource names our product, as the setup decides.
// A file without one, or one that cannot be read, is not ours.
bool is_ours(const wchar_t* path) noexcept {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    if (size == 0) return false;
    const std::unique_ptr<void, free_memory> info(std::malloc(size));
    if (!info || GetFileVersionInfoW(path, 0, size, info.get()) == 0) return false;
    void* name = nullptr;
    UINT name_length = 0;
    if (VerQueryValueW(info.get(), L"\\StringFileInfo\\040904B0\\ProductName", &name,
                       &name_length) == 0 ||
        name == nullptr) {
        return false;
    }
    // Up to its null, within the length given: a vendor's resource may lack one.
    const auto* value = static_cast<const wchar_t*>(name);
    std::size_t length = 0;
    while (length < name_length && value[length] != L'\0') ++length;
    return std::wstring_view(value, length) == our_product;
}

bool moved(MSIHANDLE install, const wchar_t* from, const wchar_t* to) noexcept {
    if (MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING) != 0) return true;
    log_line(install, L"cannot move the reader library that is not ours:", from, GetLastError());
    return false;
}

// A property's value; null when it cannot be read.
text property(MSIHANDLE install, const wchar_t* name) noexcept {
    DWORD length = 0;
    wchar_t none[1] = {L'\0'};
    const UINT sized = MsiGetPropertyW(install, name, none, &length);
    if (sized != ERROR_MORE_DATA && sized != ERROR_SUCCESS) return nullptr;
    ++length;
    text value(static_cast<wchar_t*>(std::malloc(length * sizeof(wchar_t))));
    if (value && MsiGetPropertyW(install, name, value.get(), &length) != ERROR_SUCCESS) {
        value.reset();
    }
    return value;
}

bool starts_with(std::wstring_view whole, std::wstring_view prefix) noexcept {
    return whole.substr(0, prefix.size()) == prefix;
}

// An http, https (or, for Firefox, file) URL without spaces, quotes or the
// ";" that ends an ExtensionInstallForcelist entry's ID.
bool acceptable_url(std::wstring_view url, bool file_too) noexcept {
    std::wstring_view rest;
    for (const std::wstring_view scheme : {L"https://", L"http://", L"file:///"}) {
        if (starts_with(url, scheme) && (file_too || scheme != L"file:///")) {
            rest = url.substr(scheme.size());
        }
    }
    if (rest.empty()) return false;
    return std::none_of(rest.begin(), rest.end(), [](wchar_t c) {
        return c <= L' ' || c == L'"' || c == L';' || c == L'\\' || c >= 0x7F;
    });
}

bool host_character(wchar_t c) noexcept {
    return (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') || c == L'-' || c == L'_';
}

// An origin the extension can allow at all, as its options page takes them:
// https://host[:port], or http on this machine, with an optional "/".
bool acceptable_origin(std::wstring_view origin) noexcept {
    if (!origin.empty() && origin.back() == L'/') origin.remove_suffix(1);
    const std::size_t colon = origin.rfind(L':');
    if (colon != std::wstring_view::npos && colon > 7 && origin[colon - 1] != L':') {
        const std::wstring_view port = origin.substr(colon + 1);
        if (port.empty() || port.size() > 5 ||
            !std::all_of(port.begin(), port.end(),
                         [](wchar_t c) { return c >= L'0' && c <= L'9'; })) {
            return false;
        }
        origin = origin.substr(0, colon);
    }
    if (starts_with(origin, L"http://")) {
        const std::wstring_view host = origin.substr(7);
        return host == L"localhost" || host == L"127.0.0.1" || host == L"[::1]";
    }
    if (!starts_with(origin, L"https://")) return false;
    // Labels of host characters, none empty.
    const std::wstring_view host = origin.substr(8);
    bool label = false;
    for (const wchar_t c : host) {
        if (c == L'.') {
            if (!label) return false;
            label = false;
        } else if (host_character(c)) {
            label = true;
        } else {
            return false;
        }
    }
    return label;
}

// Fails the install with a message in its log and, with a user interface,
// on the screen.
UINT refuse(MSIHANDLE install, const wchar_t* option, const wchar_t* value) noexcept {
    const msi_record record(3);
    if (record.get() != 0) {
        MsiRecordSetStringW(record.get(), 0,
                            L"Vellicor: [1] is not one the browsers take: \"[2]\"");
        MsiRecordSetStringW(record.get(), 1, option);
        MsiRecordSetStringW(record.get(), 2, value);
        MsiProcessMessage(install, static_cast<INSTALLMESSAGE>(INSTALLMESSAGE_ERROR | MB_OK),
                          record.get());
    }
    return ERROR_INSTALL_FAILURE;
}

// Writes the origins in `list` (`length` characters, separated by spaces,
// commas or semicolons), lower-cased and without a trailing "/", as a JSON
// list into `out`, which has room for 3 * length + 3 characters. Returns
// null, or the first origin the extension cannot allow, ended in `list`.
const wchar_t* origins_json(wchar_t* list, std::size_t length, wchar_t* out) noexcept {
    for (std::size_t i = 0; i < length; ++i) {
        if (list[i] >= L'A' && list[i] <= L'Z')
            list[i] = static_cast<wchar_t>(list[i] - L'A' + L'a');
    }
    wchar_t* const first = out + 1;
    *out++ = L'[';
    std::size_t at = 0;
    while (at < length) {
        const std::size_t end =
            std::min(std::wstring_view(list, length).find_first_of(L" ,;\t", at), length);
        std::wstring_view origin(list + at, end - at);
        at = end + 1;
        if (origin.empty()) continue;
        if (!acceptable_origin(origin)) {
            if (end < length) list[end] = L'\0';
            return origin.data();
        }
        if (origin.back() == L'/') origin.remove_suffix(1);
        if (out != first) *out++ = L',';
        *out++ = L'"';
        out = std::copy(origin.begin(), origin.end(), out);
        *out++ = L'"';
    }
    *out++ = L']';
    *out = L'\0';
    return nullptr;
}

}  // namespace

// Before the components are chosen: the policy options are checked, and the
// origins in ALLOWED_ORIGINS (separated by spaces, commas or semicolons,
// lower-cased) become VELLICOR_ORIGINS_JSON, a JSON list, and
// VELLICOR_FIREFOX_ORIGINS, Firefox's entry for the extension.
extern "C" __declspec(dllexport) UINT __stdcall ReadPolicyOptions(MSIHANDLE install) {
    const text update_url = property(install, L"EXTENSION_UPDATE_URL");
    const text firefox_url = property(install, L"FIREFOX_INSTALL_URL");
    const text origins = property(install, L"ALLOWED_ORIGINS");
    if (!update_url || !firefox_url || !origins) return ERROR_INSTALL_FAILURE;
    if (update_url.get()[0] != L'\0' && !acceptable_url(update_url.get(), false)) {
        return refuse(install, L"EXTENSION_UPDATE_URL", update_url.get());
    }
    if (firefox_url.get()[0] != L'\0' && !acceptable_url(firefox_url.get(), true)) {
        return refuse(install, L"FIREFOX_INSTALL_URL", firefox_url.get());
    }
    // At most the list's own length in origins, each quoted and separated.
    const std::size_t length = std::wcslen(origins.get());
    const text json(static_cast<wchar_t*>(std::malloc((3 * length + 4) * sizeof(wchar_t))));
    if (!json) return ERROR_INSTALL_FAILURE;
    const wchar_t* refused = origins_json(origins.get(), length, json.get());
    if (refused != nullptr) return refuse(install, L"ALLOWED_ORIGINS", refused);
    if (MsiSetPropertyW(install, L"VELLICOR_ORIGINS_JSON", json.get()) != ERROR_SUCCESS) {
        return ERROR_INSTALL_FAILURE;
    }
    constexpr wchar_t prefix[] = L"{\"allowedOrigins\":";
    const std::size_t json_length = std::wcslen(json.get());
    const text firefox(static_cast<wchar_t*>(
        std::malloc((std::size(prefix) + json_length + 2) * sizeof(wchar_t))));
    if (!firefox) return ERROR_INSTALL_FAILURE;
    wchar_t* end = std::copy_n(prefix, std::size(prefix) - 1, firefox.get());
    end = std::copy_n(json.get(), json_length, end);
    end[0] = L'}';
    end[1] = L'\0';
    return MsiSetPropertyW(install, L"VELLICOR_FIREFOX_ORIGINS", firefox.get()) == ERROR_SUCCESS
               ? ERROR_SUCCESS
               : ERROR_INSTALL_FAILURE;
}

// Before the installer removes or installs files: a library in the folder
// that is not ours goes aside.
extern "C" __declspec(dllexport) UINT __stdcall SetVendorLibraryAside(MSIHANDLE install) {
    paths at;
    if (!action_paths(install, at)) return ERROR_INSTALL_FAILURE;
    if (!exists(at.library.get()) || is_ours(at.library.get())) return ERROR_SUCCESS;
    log_line(install, L"not ours (the reader vendor's?), kept as it is:", at.library.get());
    return moved(install, at.library.get(), at.aside.get()) ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

// After them: the library set aside comes back, in place of whatever the
// installer put there.
extern "C" __declspec(dllexport) UINT __stdcall PutVendorLibraryBack(MSIHANDLE install) {
    paths at;
    if (!action_paths(install, at)) return ERROR_INSTALL_FAILURE;
    if (!exists(at.aside.get())) return ERROR_SUCCESS;
    return moved(install, at.aside.get(), at.library.get()) ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}
