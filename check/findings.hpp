// What the check tool found out about a desk, as data: gathered by
// gather_findings() (check.hpp), turned into text or JSON by report.hpp.
// Text is UTF-8 as far as the system's own is (paths, the settings file's
// text, reader names); the reports show whatever is not.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "drivers/pcsc/settings_file.hpp"

namespace vellicor::check {

enum class library_kind { absent, ours, other, unloadable };

struct library_finding {
    std::string path;  // where the program looks for its reader library, UTF-8
    library_kind kind = library_kind::absent;
};

// What the settings found come to for the program's reads: only our library
// reads them, and while they are faulty it fails every read.
enum class settings_use { in_force, faulty, not_read };

struct settings_finding {
    std::vector<std::string> looked_at;  // in order; the first found is the one in force
    std::string path;                    // the one found, empty when none
    pcsc::settings_lookup lookup;
    settings_use use = settings_use::in_force;
    std::vector<std::string> readers;  // the parts of `readers`, when not faulty
};

// One of the four ways a UID can make a card number.
struct card_number {
    pcsc::byte_order order;
    pcsc::uid_bytes bytes;
    std::string number;  // signed decimal, as the program reports it
    bool in_force;       // only while the settings are in force
};

enum class reader_state { empty, card_present, mute, exclusive, unavailable };

struct reader_finding {
    std::string name;
    reader_state state = reader_state::unavailable;
    // Its place in the order the library asks readers (from 1); 0 when the
    // site's `readers` leaves it out, or when no settings are in force.
    std::size_t asked = 0;
    std::vector<unsigned char> atr;
    std::vector<unsigned char> uid;
    // Why a present card gave no UID; empty when it gave one or was not asked.
    std::string no_uid;
    std::vector<card_number> numbers;  // for a UID: all four, in a fixed order
};

enum class service_state { answers, unreachable, no_readers, failed, timed_out };

struct service_finding {
    service_state state = service_state::failed;
    std::string problem;  // the PC/SC error, or how far it got before the deadline
    unsigned deadline_ms = 0;
};

// busy: not asked, as another of our programs (vellicor-watch) was reading
// through the library for the whole of the wait for the lock that keeps such
// reads apart (reader/reader_lock.hpp).
enum class answer_kind { not_found, card_number, status_text, empty, busy };

// That wait: a read takes milliseconds, one of our PC/SC library's at most
// its default deadline.
inline constexpr unsigned program_lock_wait_ms = 3000;

struct answer_finding {
    answer_kind kind = answer_kind::not_found;
    std::string text;  // the cardno, UTF-8 (decoded from GBK)
    // The library's status, when it was called.
    bool called = false;
    unsigned status = 0;
};

struct findings {
    library_finding library;
    settings_finding settings;
    service_finding service;
    std::vector<reader_finding> readers;
    answer_finding answer;
};

}  // namespace vellicor::check
