// The watch host's calls into the reader library beside it, each a whole
// load, one call and unload: a read, as the one-shot program makes it, and a
// wait (reader/wait_entry.hpp) where the library has one. Each blocks for as
// long as the library takes; the host makes them on threads of their own.
#pragma once

#include "reader/library.hpp"
#include "reader/wait_entry.hpp"
#include "watch/protocol.hpp"

namespace vellicor::watch {

struct read_result {
    outcome result;
    // Whether the library exports the wait: the host then waits instead of
    // reading at every turn.
    bool can_wait = false;
};

// Takes the lock that keeps our programs' reads apart (reader/reader_lock.hpp)
// for at most `lock_wait_ms`, then reads once, whatever the library prints
// discarded. A lock that stayed busy is a timeout; one that cannot be had at
// all does not stop the read.
read_result read_once(const native_string& library_path, unsigned lock_wait_ms);

struct wait_answer {
    wait_result result = wait_unavailable;
    bool can_wait = false;  // false: the library has no wait; nothing was asked
};

// Waits once through the library, with `request` as the library left it.
wait_answer wait_once(const native_string& library_path, wait_request& request);

}  // namespace vellicor::watch
