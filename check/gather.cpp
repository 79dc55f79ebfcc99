#include <winscard.h>

#include <atomic>
#include <cstdio>
#include <iterator>
#include <memory>

#include "app/exe_dir.hpp"
#include "app/run.hpp"
#include "check/check.hpp"
#include "check/platform.hpp"
#include "check/report.hpp"
#include "drivers/pcsc/bounded_thread.hpp"
#include "drivers/pcsc/reader_walk.hpp"
#include "reader/reader.hpp"
#include "reader/reader_lock.hpp"
#include "reader/status.hpp"

namespace vellicor::check {

namespace {

// The PC/SC errors a desk runs into, by name; others by number.
std::string error_text(LONG error) {
    const char* name = nullptr;
    switch (error) {
        case SCARD_E_NO_SERVICE:
            name = "SCARD_E_NO_SERVICE";
            break;
        case SCARD_E_SERVICE_STOPPED:
            name = "SCARD_E_SERVICE_STOPPED";
            break;
        case SCARD_E_NO_READERS_AVAILABLE:
            name = "SCARD_E_NO_READERS_AVAILABLE";
            break;
        case SCARD_E_NO_SMARTCARD:
            name = "SCARD_E_NO_SMARTCARD";
            break;
        case SCARD_W_REMOVED_CARD:
            name = "SCARD_W_REMOVED_CARD";
            break;
        case SCARD_W_UNRESPONSIVE_CARD:
            name = "SCARD_W_UNRESPONSIVE_CARD";
            break;
        case SCARD_E_SHARING_VIOLATION:
            name = "SCARD_E_SHARING_VIOLATION";
            break;
        case SCARD_W_SECURITY_VIOLATION:
            name = "SCARD_W_SECURITY_VIOLATION (no rights: polkit)";
            break;
        case SCARD_E_NO_ACCESS:
            name = "SCARD_E_NO_ACCESS";
            break;
        case SCARD_E_PROTO_MISMATCH:
            name = "SCARD_E_PROTO_MISMATCH";
            break;
        case SCARD_E_TIMEOUT:
            name = "SCARD_E_TIMEOUT";
            break;
        case SCARD_F_COMM_ERROR:
            name = "SCARD_F_COMM_ERROR";
            break;
        case SCARD_E_NOT_TRANSACTED:
            name = "SCARD_E_NOT_TRANSACTED";
            break;
        case SCARD_E_READER_UNAVAILABLE:
            name = "SCARD_E_READER_UNAVAILABLE";
            break;
        case SCARD_E_UNKNOWN_READER:
            name = "SCARD_E_UNKNOWN_READER";
            break;
        default:
            break;
    }
    char number[16];
    std::snprintf(number, sizeof number, "0x%08X", static_cast<unsigned>(error));
    return name == nullptr ? std::string("PC/SC error ") + number
                           : std::string(name) + " (" + number + ")";
}

std::string hex(const unsigned char* bytes, std::size_t size) {
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        char two[4];
        std::snprintf(two, sizeof two, "%02X", bytes[i]);
        if (!text.empty()) text += ' ';
        text += two;
    }
    return text;
}

reader_state state_of(DWORD event_state) {
    if ((event_state & SCARD_STATE_EMPTY) != 0) return reader_state::empty;
    if ((event_state & SCARD_STATE_PRESENT) == 0) return reader_state::unavailable;
    if ((event_state & SCARD_STATE_MUTE) != 0) return reader_state::mute;
    if ((event_state & SCARD_STATE_EXCLUSIVE) != 0) return reader_state::exclusive;
    return reader_state::card_present;
}

// All four numbers a UID can make, in the order the report lists them.
std::vector<card_number> numbers_for(const std::vector<unsigned char>& uid,
                                     const pcsc::settings* in_force) {
    std::vector<card_number> numbers;
    for (const pcsc::uid_bytes bytes : {pcsc::uid_bytes::last4, pcsc::uid_bytes::first4}) {
        for (const pcsc::byte_order order :
             {pcsc::byte_order::as_read, pcsc::byte_order::reversed}) {
            serial_buffer idserial{};
            pcsc::card_number_bytes(uid.data(), uid.size(), bytes, order, idserial.data() + 1);
            const bool chosen =
                in_force != nullptr && in_force->bytes == bytes && in_force->order == order;
            numbers.push_back({order, bytes, card_number_text(idserial), chosen});
        }
    }
    return numbers;
}

// The PC/SC questions, on a thread of their own. A thread given up at the
// deadline keeps the job: it is never freed, and run_check ends the process
// right after the report.
struct survey_job : pcsc::task {
    // Set after a copy of the settings is in place, before the thread starts;
    // null unless they are in force: no number marked, no order of asking.
    const pcsc::settings* in_force = nullptr;
    pcsc::settings chosen;
    std::atomic<bool> listed{false};
    service_finding service;
    std::vector<reader_finding> readers;
};

void ask_reader(const pcsc::reader_survey& survey, std::size_t index, reader_finding& reader) {
    const SCARD_READERSTATE& state = survey.state(index);
    reader.state = state_of(state.dwEventState);
    if (reader.state == reader_state::empty) return;
    const std::size_t atr_size = state.cbAtr <= sizeof state.rgbAtr ? state.cbAtr : 0;
    reader.atr.assign(state.rgbAtr, state.rgbAtr + atr_size);
    if (!pcsc::holds_usable_card(state.dwEventState)) return;

    pcsc::card uid_card;
    LONG rv = uid_card.connect(survey.context(), state.szReader);
    if (rv != SCARD_S_SUCCESS) {
        reader.no_uid = "the connection was refused: " + error_text(rv);
        return;
    }
    unsigned char response[pcsc::max_response_size];
    std::size_t response_size = sizeof response;
    rv = uid_card.transmit(pcsc::get_uid_command, sizeof pcsc::get_uid_command, response,
                           &response_size);
    if (rv != SCARD_S_SUCCESS) {
        reader.no_uid = "GET DATA failed: " + error_text(rv);
        return;
    }
    const std::size_t uid_size = pcsc::uid_size(response, response_size);
    if (uid_size == 0) {
        reader.no_uid = "GET DATA answered " + (response_size == 0 ? std::string("nothing")
                                                                   : hex(response, response_size));
        return;
    }
    reader.uid.assign(response, response + uid_size);
}

void survey_readers(survey_job& job) {
    pcsc::reader_survey survey;
    pcsc::step failed = pcsc::step::establish_context;
    LONG rv = survey.list(failed);
    if (rv != SCARD_S_SUCCESS) {
        job.service.problem = error_text(rv);
        if (rv == SCARD_E_NO_READERS_AVAILABLE) {
            job.service.state = service_state::no_readers;
        } else if (pcsc::status_after_failure(failed, rv) == pcsc::status_no_reader) {
            job.service.state = service_state::unreachable;
        }
        return;
    }
    job.listed.store(true, std::memory_order_release);
    if (survey.count() == 0) {
        job.service.state = service_state::no_readers;
        return;
    }
    rv = survey.ask_states();
    if (rv != SCARD_S_SUCCESS) {
        job.service.problem = error_text(rv);
        return;
    }
    job.service.state = service_state::answers;

    std::size_t order[pcsc::max_readers];
    const std::size_t asked =
        job.in_force == nullptr
            ? 0
            : pcsc::order_readers(*job.in_force, survey.names(), survey.count(), order);
    for (std::size_t i = 0; i < survey.count(); ++i) {
        reader_finding reader;
        reader.name = utf8_text(survey.names()[i]);
        for (std::size_t place = 0; place < asked; ++place) {
            if (order[place] == i) reader.asked = place + 1;
        }
        ask_reader(survey, i, reader);
        if (!reader.uid.empty()) reader.numbers = numbers_for(reader.uid, job.in_force);
        job.readers.push_back(std::move(reader));
    }
}

void run_survey(pcsc::task* work) noexcept { survey_readers(*static_cast<survey_job*>(work)); }

void survey_service(findings& found) {
    auto job = std::make_unique<survey_job>();
    job->run = run_survey;
    // Settings not in force leave the defaults: every reader, the default
    // deadline.
    if (found.settings.use == settings_use::in_force) {
        job->chosen = found.settings.lookup.values;
        job->in_force = &job->chosen;
    }
    const unsigned deadline_ms = job->chosen.deadline_ms;
    found.service.deadline_ms = deadline_ms;
    switch (pcsc::run_bounded(*job, deadline_ms)) {
        case pcsc::run_result::finished:
            break;
        case pcsc::run_result::not_started:
            found.service.problem = "no thread could be started to ask it";
            return;
        case pcsc::run_result::timed_out: {
            found.service.state = service_state::timed_out;
            found.service.problem = job->listed.load(std::memory_order_acquire)
                                        ? "the readers were listed, then a reader or card hung"
                                        : "while setting up or listing the readers";
            // Still in use by the thread.
            static_cast<void>(job.release());
            return;
        }
    }
    const unsigned deadline = found.service.deadline_ms;
    found.service = job->service;
    found.service.deadline_ms = deadline;
    found.readers = std::move(job->readers);
}

// The program's texts, from GBK to UTF-8. The library's answer is one of
// these, a number, or empty.
std::string decoded(const std::string& gbk) {
    const serial_buffer none{};
    if (gbk == result_for_status(status_no_card, none)) {
        // 请将卡放在感应区
        return "\xE8\xAF\xB7\xE5\xB0\x86\xE5\x8D\xA1\xE6\x94\xBE\xE5\x9C\xA8\xE6\x84\x9F\xE5\xBA"
               "\x94\xE5\x8C\xBA";
    }
    if (gbk == result_for_status(status_no_reader, none)) {
        // 机器没连上，或驱动程序未安装!
        return "\xE6\x9C\xBA\xE5\x99\xA8\xE6\xB2\xA1\xE8\xBF\x9E\xE4\xB8\x8A\xEF\xBC\x8C\xE6\x88"
               "\x96\xE9\xA9\xB1\xE5\x8A\xA8\xE7\xA8\x8B\xE5\xBA\x8F\xE6\x9C\xAA\xE5\xAE\x89\xE8"
               "\xA3\x85!";
    }
    return gbk;
}

answer_finding program_answer(const native_string& library_path, bool present) {
    answer_finding answer;
    if (!present) return answer;
    // Never beside another read of ours (vellicor-watch's): vendors'
    // libraries rarely cope with two at once. A lock that cannot be had at
    // all does not keep the tool from reading.
    const reader_lock lock(program_lock_wait_ms);
    if (lock.state() == lock_state::busy) {
        answer.kind = answer_kind::busy;
        return answer;
    }
    const reader_answer read = read_card_answer(library_path);
    answer.called = read.called;
    answer.status = read.status;
    answer.text = decoded(read.result);
    if (read.result.empty()) {
        answer.kind = answer_kind::empty;
    } else if (read.called && read.status == status_card_read) {
        answer.kind = answer_kind::card_number;
    } else {
        answer.kind = answer_kind::status_text;
    }
    return answer;
}

}  // namespace

findings gather_findings() {
    findings found;
    const native_string folder = exe_dir();
    native_string library_path = folder;
    library_path.append(std::begin(reader_library_name), std::end(reader_library_name) - 1);
    found.library.path = utf8_path(library_path);
    const bool present = !folder.empty() && entry_exists(library_path);
    found.library.kind = present ? identify_library(library_path) : library_kind::absent;

    settings_finding& settings = found.settings;
    native_string beside = folder;
    beside.append(std::begin(pcsc::settings_file_name), std::end(pcsc::settings_file_name) - 1);
    settings.looked_at.push_back(utf8_path(beside));
    if (pcsc::system_settings_path() != nullptr) {
        settings.looked_at.push_back(utf8_path(pcsc::system_settings_path()));
    }
    pcsc::find_settings(library_path.c_str(), settings.lookup);
    if (settings.lookup.source == pcsc::settings_source::beside_library) {
        settings.path = settings.looked_at.front();
    } else if (settings.lookup.source == pcsc::settings_source::system_wide) {
        settings.path = settings.looked_at.back();
    }
    const bool faulty = settings.lookup.error.problem != pcsc::settings_problem::none;
    // A vendor's library ignores the file, whatever it says.
    if (found.library.kind != library_kind::ours) {
        settings.use = settings_use::not_read;
    } else {
        settings.use = faulty ? settings_use::faulty : settings_use::in_force;
    }
    if (!faulty) {
        for (std::size_t i = 0; i < settings.lookup.values.reader_parts; ++i) {
            settings.readers.push_back(utf8_text(settings.lookup.values.part(i)));
        }
    }

    survey_service(found);
    found.answer = program_answer(library_path, present);
    return found;
}

int run_check(bool json) {
    const findings found = gather_findings();
    write_report(json ? json_report(found) : text_report(found));
    const int status = found.answer.kind == answer_kind::card_number ? 0 : 1;
    // The survey's thread is still inside the PC/SC library.
    if (found.service.state == service_state::timed_out) end_process(status);
    return status;
}

}  // namespace vellicor::check
