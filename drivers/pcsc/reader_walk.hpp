// The PC/SC calls of a walk over the readers, as thin owners of what the
// service hands out: a context, its reader list with each reader's state,
// and a shared connection to one card. Shared by the reader library's read
// and the check tool, so that both ask the service the same way.
#pragma once

#include <winscard.h>

#include <cstddef>

#include "drivers/pcsc/outcome.hpp"

namespace vellicor::pcsc {

// The readers PC/SC lists (at most max_readers, in its order) and what each
// holds, over a context of their own.
class reader_survey {
  public:
    reader_survey() noexcept = default;
    reader_survey(const reader_survey&) = delete;
    reader_survey& operator=(const reader_survey&) = delete;
    ~reader_survey();

    // Sets up the context and lists the readers. On failure `failed` tells
    // which of the two steps it was.
    LONG list(step& failed) noexcept;

    // One question for every reader at once, answered at once (no waiting
    // for a change): what each holds.
    LONG ask_states() noexcept;

    [[nodiscard]] SCARDCONTEXT context() const noexcept { return context_; }
    [[nodiscard]] std::size_t count() const noexcept { return count_; }
    [[nodiscard]] const char* const* names() const noexcept { return names_; }
    // Filled by ask_states().
    [[nodiscard]] const SCARD_READERSTATE& state(std::size_t index) const noexcept {
        return states_[index];
    }

  private:
    SCARDCONTEXT context_{};
    bool established_ = false;
    // In memory that the PC/SC library allocates (so no list is ever too
    // long for our buffer) and that goes back to it.
    LPSTR list_ = nullptr;
    std::size_t count_ = 0;
    const char* names_[max_readers] = {};
    // Zeroed, each entry asks from SCARD_STATE_UNAWARE.
    SCARD_READERSTATE states_[max_readers] = {};
};

class card {
  public:
    card() noexcept = default;
    card(const card&) = delete;
    card& operator=(const card&) = delete;
    ~card();

    // Shared, never exclusive: two programs reading at once both succeed.
    LONG connect(SCARDCONTEXT service, const char* reader) noexcept;

    // Sends `command`; `response_size` gives the room in `response` and
    // receives what came back (0 on failure).
    LONG transmit(const unsigned char* command, std::size_t command_size, unsigned char* response,
                  std::size_t* response_size) noexcept;

  private:
    SCARDHANDLE handle_{};
    DWORD protocol_ = 0;
    bool connected_ = false;
};

}  // namespace vellicor::pcsc
