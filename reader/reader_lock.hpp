// Keeps the reads of our programs that stay running or survey a desk
// (vellicor-watch, vellicor-check) from overlapping: vendors' libraries
// rarely cope with two reads at once. One lock per user, taken around each
// load, call and unload. The one-shot program never takes it: its run shares
// nothing. One implementation per platform, chosen by the build:
//
//   Windows: the named mutex Local\vellicor-reader (one per logon session).
//   POSIX:   flock on vellicor-reader.lock in $XDG_RUNTIME_DIR when that is a
//            folder of the user's own that nobody else may enter, else on
//            /tmp/vellicor-reader-<uid>.lock; created 0600, never through a
//            link, and only a regular file of the user's own with one name
//            counts.
//
// A lock held by a process that ends, however it ends, is free again.
#pragma once

#include <cstdint>

namespace vellicor {

enum class lock_state {
    held,         // ours until the lock goes away
    busy,         // another read held it for the whole wait
    unavailable,  // cannot be had at all (no such file can be made safely)
};

class reader_lock {
  public:
    // Waits at most `wait_ms` milliseconds for the lock.
    explicit reader_lock(unsigned wait_ms) noexcept;
    ~reader_lock();

    reader_lock(const reader_lock&) = delete;
    reader_lock& operator=(const reader_lock&) = delete;
    reader_lock(reader_lock&&) = delete;
    reader_lock& operator=(reader_lock&&) = delete;

    [[nodiscard]] lock_state state() const noexcept { return state_; }

  private:
    lock_state state_ = lock_state::unavailable;
    // The descriptor (POSIX) or mutex handle (Windows) while held.
    std::intptr_t handle_ = -1;
};

}  // namespace vellicor
