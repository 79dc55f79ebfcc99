// An optional second entry point of a reader library: waiting until what lies
// on the readers changes, so that a program watching for cards need not read
// at every turn. Our PC/SC library exports it; vendors' libraries do not, and
// a watch then reads at a fixed interval instead. The layout below is shared
// by both sides, and fixed: sizes are those of the types named.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vellicor {

// The export's name. It takes one pointer to a wait_request, so that the
// caller's call of idr_read, whatever the library's calling convention,
// serves it too (call_reader_entry), and returns a wait_result.
inline constexpr char wait_entry_name[] = "vellicor_wait_change";

// The library's record of what it saw, kept by the caller from one wait to
// the next and never read by it.
inline constexpr std::size_t wait_memory_size = 256;

// The longest wait the library takes on; a longer timeout counts as this.
inline constexpr std::uint32_t longest_wait_ms = 60000;

struct wait_request {
    // sizeof(wait_request): a library that knows another layout refuses it.
    std::uint32_t size = sizeof(wait_request);
    // How long to wait at most for a change, in milliseconds.
    std::uint32_t timeout_ms = 0;
    // All zero before the first wait. When the library answers changed or
    // presented it writes what it saw now; otherwise it leaves this alone.
    unsigned char seen[wait_memory_size] = {};
};

enum wait_result : int {
    // Nothing changed within the timeout.
    wait_unchanged = 0,
    // Something changed since `seen`: a card taken away, a reader plugged in
    // or out, or this is the first wait. A read now tells what it came to.
    wait_changed = 1,
    // As changed, and a card was put on a reader since `seen`, even if it is
    // the one that lay there before: a new presentation.
    wait_presented = 2,
    // The library cannot wait now (no service, no thread, settings it cannot
    // take, an earlier wait still unanswered): the caller reads instead, and
    // asks again later. Returns at once, or within the timeout and a second.
    wait_unavailable = 3,
    // A request whose size is not this layout's.
    wait_refused = 4,
};

}  // namespace vellicor
