#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "drivers/pcsc/settings_file.hpp"

namespace vellicor::pcsc {

namespace {

struct free_memory {
    void operator()(void* memory) const noexcept { std::free(memory); }
};
using memory = std::unique_ptr<char, free_memory>;

class descriptor {
  public:
    explicit descriptor(int fd) noexcept : fd_(fd) {}
    descriptor(const descriptor&) = delete;
    descriptor& operator=(const descriptor&) = delete;
    ~descriptor() {
        if (fd_ >= 0) close(fd_);
    }
    [[nodiscard]] int get() const noexcept { return fd_; }

  private:
    int fd_;
};

enum class file_state { absent, read };

// Reads and parses the file at `path`. A FIFO or device by that name is
// refused, not waited on: O_NONBLOCK keeps the open itself from blocking.
file_state read_settings_file(const char* path, settings_lookup& into) noexcept {
    const descriptor file(open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (file.get() < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return file_state::absent;
        into.error = {settings_problem::unreadable, 0};
        return file_state::read;
    }
    struct stat status {};
    if (fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        into.error = {settings_problem::unreadable, 0};
        return file_state::read;
    }
    // One byte more than allowed tells a file that is too large, whatever
    // its size said when asked.
    const memory text(static_cast<char*>(std::malloc(max_settings_file + 1)));
    if (!text) {
        into.error = {settings_problem::unreadable, 0};
        return file_state::read;
    }
    std::size_t size = 0;
    while (size <= max_settings_file) {
        const ssize_t got = read(file.get(), text.get() + size, max_settings_file + 1 - size);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            into.error = {settings_problem::unreadable, 0};
            return file_state::read;
        }
        size += static_cast<std::size_t>(got);
    }
    into.error = parse_settings(text.get(), size, into.values);
    return file_state::read;
}

}  // namespace

const char* system_settings_path() noexcept { return "/etc/vellicor/OUR_IDR.ini"; }

void find_settings(const char* library_path, settings_lookup& into) noexcept {
    into = settings_lookup{};
    const char* slash = std::strrchr(library_path, '/');
    const std::size_t folder =
        slash == nullptr ? 0 : static_cast<std::size_t>(slash - library_path) + 1;
    const memory beside(static_cast<char*>(std::malloc(folder + sizeof settings_file_name)));
    if (!beside) {
        into.source = settings_source::beside_library;
        into.error = {settings_problem::unreadable, 0};
        return;
    }
    std::memcpy(beside.get(), library_path, folder);
    std::memcpy(beside.get() + folder, settings_file_name, sizeof settings_file_name);
    if (read_settings_file(beside.get(), into) == file_state::read) {
        into.source = settings_source::beside_library;
        return;
    }
    if (read_settings_file(system_settings_path(), into) == file_state::read) {
        into.source = settings_source::system_wide;
    }
}

}  // namespace vellicor::pcsc
