// A PC/SC service that misbehaves as a seed says, for the fault-injection
// run. Every read (one context, from SCardEstablishContext on) draws from a
// stream of its own, made from the seed and the read's number, and each call
// of the read draws from it one of: answer normally; fail with an error the
// real service gives for that call; answer late; never answer; answer with
// odd data of the right types (reader lists over the cap, unterminated,
// empty, cut short or changing before the next call, contradictory reader
// states, ATR lengths past the buffer, card answers that are empty, short,
// long, claim more than the room given, or end in another status word).
//
// It never writes past what the caller gave, and it checks what a real
// service expects of its caller: lines starting "violation:" are breaches
// of that, or of what our reader library promises (shared access, no
// reset, no waiting). Every answer to a card command that the caller may
// take as the card's is logged as "answer HEX", so the run can tell whether
// a reported card number came from an answered UID.
//
// The platform's stand-in (libpcsclite.so.1 on Linux, the winscard
// stand-in's seeded mode on Windows) forwards each call here. Test-only;
// never shipped.
#pragma once

#include <winscard.h>

#include <cstdint>

namespace seeded_service {

struct hooks {
    // Writes one event, without a line end, where the run's driver reads it,
    // before returning.
    void (*log)(const char* event) = nullptr;
    // Never returns: waits as the platform's client library waits for a
    // service that never answers, holding whatever the call holds.
    void (*never_answer)(const char* call) = nullptr;
};

// Before any call: the seed; the scale of a late answer (the read's
// deadline): most late answers take a few milliseconds, some nearly the
// scale, some past it; and the number the reads are counted from, which
// chooses their streams (a library loaded anew in the same process goes on
// with other reads than the last load's).
void start(std::uint64_t seed, unsigned late_ms, unsigned reads_before, hooks with) noexcept;

LONG establish_context(DWORD scope, LPCVOID reserved1, LPCVOID reserved2,
                       LPSCARDCONTEXT context) noexcept;
LONG release_context(SCARDCONTEXT context) noexcept;
LONG list_readers(SCARDCONTEXT context, LPCSTR groups, LPSTR readers, LPDWORD size) noexcept;
LONG free_memory(SCARDCONTEXT context, LPCVOID memory) noexcept;
LONG get_status_change(SCARDCONTEXT context, DWORD timeout, SCARD_READERSTATE* states,
                       DWORD count) noexcept;
LONG connect(SCARDCONTEXT context, LPCSTR reader, DWORD share_mode, DWORD protocols,
             LPSCARDHANDLE card, LPDWORD active_protocol) noexcept;
LONG disconnect(SCARDHANDLE card, DWORD disposition) noexcept;
LONG transmit(SCARDHANDLE card, const SCARD_IO_REQUEST* send_pci, LPCBYTE command,
              DWORD command_size, SCARD_IO_REQUEST* receive_pci, LPBYTE response,
              LPDWORD response_size) noexcept;

// When the library is unloaded (at process exit too): logs as a violation
// every call that has not returned and everything handed out and never given
// back.
void check_at_unload() noexcept;

}  // namespace seeded_service
