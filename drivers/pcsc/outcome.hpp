// What a read over PC/SC decides: which readers are worth asking, which
// answers are a UID, how a UID fills the serial buffer, and which failures
// mean "no reader" rather than "no card". Kept apart from the PC/SC calls so
// that every decision can be checked without a daemon.
#pragma once

#include <winscard.h>

#include <cstddef>

#include "drivers/pcsc/settings.hpp"

namespace vellicor::pcsc {

// The statuses idr_read returns.
enum read_status : int {
    status_card_read = 0,
    // The read could not be started: no thread to bound it (the process or
    // its user is at their limit) or no memory. No PC/SC call was made.
    status_not_started = 1,
    // The settings file cannot be taken as settings (settings.hpp).
    status_bad_settings = 2,
    status_no_card = 8,
    status_no_reader = 23,
};

// A read returns within this long from its start, whatever the PC/SC
// service, the readers and the cards do or fail to do, unless the site's
// settings choose another bound.
inline constexpr unsigned read_deadline_ms = default_deadline_ms;

// How far a read has got.
enum class progress {
    asking_service,  // setting up the context, listing the readers
    asking_readers,  // the service has answered; readers and cards are asked
    decided,         // the status is known; only handles are left to release
};

// The status of a read given up at the deadline before it decided: no reader
// (23) while the service had not answered, no card (8) once it had.
read_status status_at_deadline(progress reached) noexcept;

// The PC/SC steps of a read, in order.
enum class step { establish_context, list_readers, reader_states, connect, transmit };

// The most readers a read looks at, in PC/SC's order: as many as pcsc-lite
// serves at once.
inline constexpr std::size_t max_readers = 16;

// Contactless GET DATA, answered by the reader itself with the UID of the card
// in its field.
inline constexpr unsigned char get_uid_command[] = {0xFF, 0xCA, 0x00, 0x00, 0x00};

// Room for the longest answer to a short APDU: 256 data bytes and the status word.
inline constexpr std::size_t max_response_size = 258;

// ISO/IEC 14443 UIDs have 4, 7 or 10 bytes; 15693 and FeliCa identifiers 8.
inline constexpr std::size_t min_uid_size = 4;
inline constexpr std::size_t max_uid_size = 10;

// Fills the 5-byte serial buffer from the answer to get_uid_command: byte 0
// receives the UID's length, bytes 1 to 4 its last four bytes. Only an answer
// ending in 90 00 and holding a UID of min_uid_size to max_uid_size bytes
// counts; for any other the buffer is left alone and false returned.
bool fill_serial(const unsigned char* response, std::size_t response_size,
                 unsigned char* idserial) noexcept;

// The same, with bytes 1 to 4 chosen and ordered as the site's settings say.
bool fill_serial(const unsigned char* response, std::size_t response_size, const settings& chosen,
                 unsigned char* idserial) noexcept;

// The length of the UID in an answer to get_uid_command, which then begins
// with it; 0 when the answer holds none.
std::size_t uid_size(const unsigned char* response, std::size_t response_size) noexcept;

// The status a read ends with when the PC/SC call of `failed_step` returned
// `error`: no reader (23) when the service cannot be reached or there is no
// reader at all, no card (8) for everything else.
read_status status_after_failure(step failed_step, LONG error) noexcept;

// Whether a reader, in the state SCardGetStatusChange reports for it, holds a
// card that a shared connection can reach: one is present, it answered the
// reader (not mute), and no other program holds it exclusively.
bool holds_usable_card(DWORD event_state) noexcept;

// What the readers holding a card came to when none of them gave a UID, told
// one reader at a time in PC/SC's order.
class passed_over_readers {
  public:
    // A reader passed over: the call of `failed_step` (connect or transmit)
    // failed with `error`, or it succeeded (SCARD_S_SUCCESS) and the answer
    // held no UID.
    void add(step failed_step, LONG error) noexcept;

    // True once an error said that the service itself is gone: no reader
    // after this one can be asked.
    [[nodiscard]] bool service_lost() const noexcept { return service_lost_; }

    // The read's status: no reader (23) when the service was lost, or when
    // every reader refused us for lack of rights (the remedy is the
    // administrator's, not the card's); otherwise no card (8), also when
    // there was no reader to pass over.
    [[nodiscard]] read_status status() const noexcept;

  private:
    std::size_t readers_ = 0;
    std::size_t refused_for_rights_ = 0;
    bool service_lost_ = false;
};

// The length of the reader name at `offset` in a PC/SC multi-string of `size`
// characters (names, each ending in NUL, the list ending in an empty name).
// 0 when no name starts there, and also when the name is not terminated
// within `size`: nothing past `size` is ever read.
std::size_t name_length(const char* names, std::size_t size, std::size_t offset) noexcept;

}  // namespace vellicor::pcsc
