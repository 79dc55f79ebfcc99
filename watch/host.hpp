// The watch host's run (protocol.hpp says what it writes and takes): one
// thread reads the browser's frames, one decides, and the calls into the
// reader library run on two threads of their own, one for reads and one for
// waits, each waited for only until its bound.
//
// With a library that can wait (reader/wait_entry.hpp) the host waits in it,
// a slice at a time, and reads once whenever it reports a change; otherwise
// it reads every poll interval. Reads never overlap, in this process or with
// another of ours that takes the same lock (reader/reader_lock.hpp), and a
// read past its bound is reported as a timeout: no other call is made while
// it is still inside the library, and once it has returned the host reads
// afresh and goes on. A wait runs beside a read only for the browser's own
// read requests, and only our PC/SC library has waits.
#pragma once

#include <chrono>

namespace vellicor::watch {

// How often a library that cannot wait is read; also how soon an absent
// library, a service that cannot wait or a failed read is tried again.
inline constexpr std::chrono::milliseconds poll_interval{200};

// The least pause between two of the watch's reads, however long a read took:
// room for another program of ours waiting for the lock to take its turn.
inline constexpr std::chrono::milliseconds read_gap{50};

// How long a read may take, its wait for the lock included, before the host
// reports a timeout. Our PC/SC library answers within 3 seconds unless a
// site's deadline_ms says otherwise.
inline constexpr std::chrono::milliseconds read_bound{5000};

// How long a read waits for the lock: the read's bound but a second, so that
// a lock that stays busy is reported by the read itself rather than as a
// call that never returned.
inline constexpr std::chrono::milliseconds lock_wait{4000};

// One wait's timeout. A wait answers as soon as a card or reader changes;
// this bounds only what PC/SC cannot report while it waits (a site editing
// the library's settings, a reader plugged in just as a wait begins), and
// sets how often an idle host touches the library.
inline constexpr std::chrono::milliseconds wait_slice{2000};

// Runs the host until the browser's input ends, then ends the process.
[[noreturn]] void run_host();

}  // namespace vellicor::watch
