#include "check/report.hpp"

#include <cstdio>
#include <string_view>
#include <utility>
#include <vector>

#include "check/platform.hpp"

namespace vellicor::check {

namespace {

using pcsc::byte_order;
using pcsc::settings_problem;
using pcsc::settings_source;
using pcsc::uid_bytes;

const char* order_name(byte_order order) {
    return order == byte_order::as_read ? "as_read" : "reversed";
}

const char* bytes_name(uid_bytes bytes) { return bytes == uid_bytes::last4 ? "last4" : "first4"; }

const char* state_name(reader_state state) {
    switch (state) {
        case reader_state::empty:
            return "empty";
        case reader_state::card_present:
            return "card present";
        case reader_state::mute:
            return "mute card";
        case reader_state::exclusive:
            return "card held exclusively by another program";
        case reader_state::unavailable:
            return "unavailable";
    }
    return "unavailable";
}

const char* source_name(settings_source source) {
    switch (source) {
        case settings_source::defaults:
            return "defaults";
        case settings_source::beside_library:
            return "beside_library";
        case settings_source::system_wide:
            return "system_wide";
    }
    return "defaults";
}

std::string hex(const std::vector<unsigned char>& bytes) {
    std::string text;
    for (const unsigned char byte : bytes) {
        char two[4];
        std::snprintf(two, sizeof two, "%02X", byte);
        if (!text.empty()) text += ' ';
        text += two;
    }
    return text;
}

bool faulty(const findings& found) {
    return found.settings.lookup.error.problem != settings_problem::none;
}

// The length of the well-formed UTF-8 sequence that `text` starts with, or 0.
std::size_t utf8_sequence(std::string_view text) {
    const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return 1;
    // The second byte's range rules out overlong forms, surrogates and what
    // lies beyond U+10FFFF.
    std::size_t size = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        size = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        size = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        size = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (text.size() < size || byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < size; ++i) {
        if ((byte(i) & 0xC0U) != 0x80) return 0;
    }
    return size;
}

std::string line(const char* label, const std::string& value) {
    std::string text = label;
    text.resize(16, ' ');
    return text + readable(value) + "\n";
}

std::string ordinal(std::size_t n) {
    const char* suffix = "th";
    if (n % 100 < 11 || n % 100 > 13) {
        if (n % 10 == 1) suffix = "st";
        if (n % 10 == 2) suffix = "nd";
        if (n % 10 == 3) suffix = "rd";
    }
    return std::to_string(n) + suffix;
}

std::string library_text(const library_finding& library) {
    switch (library.kind) {
        case library_kind::absent:
            return "none there: the program reports it missing";
        case library_kind::ours:
            return "Vellicor's PC/SC reader library";
        case library_kind::other:
            return "not Vellicor's (the reader vendor's?): the settings do not apply to it";
        case library_kind::unloadable:
            return "cannot be loaded: the program reports an empty cardno";
    }
    return {};
}

std::string service_text(const service_finding& service, std::size_t readers) {
    switch (service.state) {
        case service_state::answers:
            return "answers, " + std::to_string(readers) + (readers == 1 ? " reader" : " readers");
        case service_state::unreachable:
            return "not reachable (not installed or not running): " + service.problem;
        case service_state::no_readers:
            return "answers, no reader connected";
        case service_state::failed:
            return "failed: " + service.problem;
        case service_state::timed_out:
            return "no answer within " + std::to_string(service.deadline_ms) + " ms (" +
                   service.problem + ")";
    }
    return {};
}

std::string answer_text(const answer_finding& answer) {
    std::string message = R"({"cardno":")" + answer.text + R"("})";
    switch (answer.kind) {
        case answer_kind::not_found:
            return "the not-found report (no OUR_IDR.dll beside it)";
        case answer_kind::card_number:
            return message;
        case answer_kind::status_text:
            return message + " (status " + std::to_string(answer.status) + ")";
        case answer_kind::empty:
            return answer.called ? message + " (status " + std::to_string(answer.status) + ")"
                                 : message + " (no library that can be loaded with idr_read)";
        case answer_kind::busy:
            return "not asked: a read of another Vellicor program (vellicor-watch) did not end "
                   "within " +
                   std::to_string(program_lock_wait_ms) + " ms";
    }
    return {};
}

// JSON text for a string, made readable: quotes and backslashes escaped.
std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : readable(text)) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string quoted_or_null(bool present, const std::string& text) {
    return present ? quoted(text) : "null";
}

std::string join(const std::vector<std::string>& items, const char* separator) {
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i) out += (i == 0 ? "" : separator) + items[i];
    return out;
}

// A JSON member: its name, and its value already as JSON.
using member = std::pair<const char*, std::string>;

std::string object(const std::vector<member>& members) {
    std::vector<std::string> texts;
    texts.reserve(members.size());
    for (const member& one : members) texts.push_back(quoted(one.first) + ": " + one.second);
    return "{" + join(texts, ", ") + "}";
}

std::string array(const std::vector<std::string>& items) { return "[" + join(items, ", ") + "]"; }

const char* answer_name(answer_kind kind) {
    switch (kind) {
        case answer_kind::not_found:
            return "not_found";
        case answer_kind::card_number:
            return "card_number";
        case answer_kind::status_text:
            return "status_text";
        case answer_kind::empty:
            return "empty";
        case answer_kind::busy:
            return "busy";
    }
    return "empty";
}

const char* library_name(library_kind kind) {
    switch (kind) {
        case library_kind::absent:
            return "absent";
        case library_kind::ours:
            return "ours";
        case library_kind::other:
            return "other";
        case library_kind::unloadable:
            return "unloadable";
    }
    return "absent";
}

const char* service_name(service_state state) {
    switch (state) {
        case service_state::answers:
            return "answers";
        case service_state::unreachable:
            return "unreachable";
        case service_state::no_readers:
            return "no_readers";
        case service_state::failed:
            return "failed";
        case service_state::timed_out:
            return "timed_out";
    }
    return "failed";
}

std::string settings_text(const findings& found) {
    const settings_finding& settings = found.settings;
    const pcsc::settings& chosen = settings.lookup.values;
    std::string out;
    if (settings.path.empty()) {
        out += line("Settings",
                    "none, so the defaults (looked for " + join(settings.looked_at, ", ") + ")");
    } else {
        out += line("Settings", settings.path);
    }
    if (faulty(found)) {
        const pcsc::settings_error& error = settings.lookup.error;
        const std::string where =
            error.line == 0 ? std::string("the file") : "line " + std::to_string(error.line);
        out += line("  fault", where + ": " + problem_text(error.problem));
    } else {
        out += line("", std::string("byte_order = ") + order_name(chosen.order) +
                            ", uid_bytes = " + bytes_name(chosen.bytes));
        out += line("", "readers = " + (settings.readers.empty() ? std::string("(every reader)")
                                                                 : join(settings.readers, ", ")));
        out += line("", "deadline_ms = " + std::to_string(chosen.deadline_ms));
    }
    switch (settings.use) {
        case settings_use::in_force:
            break;
        case settings_use::faulty:
            out += line("", "every read fails (empty cardno) until this is fixed");
            out += line("", "how to write them: " + guide_path("migrating.md"));
            break;
        case settings_use::not_read:
            out += line("", "not in force: only Vellicor's PC/SC reader library reads them");
            break;
    }
    return out;
}

std::string reader_text(std::size_t place, const reader_finding& reader, bool in_force) {
    std::string out;
    out += line(("Reader " + std::to_string(place)).c_str(), reader.name);
    out += line("  state", state_name(reader.state));
    if (in_force) {
        out += line("  asked", reader.asked == 0 ? "no: its name matches no part of readers"
                                                 : ordinal(reader.asked));
    }
    if (!reader.atr.empty()) out += line("  ATR", hex(reader.atr));
    if (!reader.uid.empty()) out += line("  UID", hex(reader.uid));
    if (!reader.no_uid.empty()) out += line("  UID", "none: " + reader.no_uid);
    if (reader.numbers.empty()) return out;
    out += line("  card numbers", "byte_order  uid_bytes  number");
    for (const card_number& number : reader.numbers) {
        std::string row = order_name(number.order);
        row.resize(12, ' ');
        row += bytes_name(number.bytes);
        row.resize(23, ' ');
        row += number.number;
        if (number.in_force) {
            row.resize(35, ' ');
            row += "<- in force";
        }
        out += line("", row);
    }
    return out;
}

std::string reader_json(const reader_finding& reader, bool in_force) {
    std::vector<std::string> numbers;
    for (const card_number& number : reader.numbers) {
        numbers.push_back(object({{"byte_order", quoted(order_name(number.order))},
                                  {"uid_bytes", quoted(bytes_name(number.bytes))},
                                  {"cardno", quoted(number.number)},
                                  {"in_force", number.in_force ? "true" : "false"}}));
    }
    return object({{"name", quoted(reader.name)},
                   {"state", quoted(state_name(reader.state))},
                   {"asked", in_force ? std::to_string(reader.asked) : "null"},
                   {"atr", quoted_or_null(!reader.atr.empty(), hex(reader.atr))},
                   {"uid", quoted_or_null(!reader.uid.empty(), hex(reader.uid))},
                   {"no_uid", quoted_or_null(!reader.no_uid.empty(), reader.no_uid)},
                   {"numbers", array(numbers)}});
}

}  // namespace

std::string readable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        const std::size_t size = utf8_sequence(text.substr(at));
        if (size == 0 || (size == 1 && (byte < 0x20 || byte == 0x7F))) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
            ++at;
        } else {
            out.append(text, at, size);
            at += size;
        }
    }
    return out;
}

const char* problem_text(settings_problem problem) noexcept {
    switch (problem) {
        case settings_problem::none:
            return "none";
        case settings_problem::unreadable:
            return "cannot be read (a folder, no rights, or not a regular file)";
        case settings_problem::file_too_large:
            return "larger than 64 KiB";
        case settings_problem::utf16:
            return "saved as UTF-16 (\"Unicode\"): save it as UTF-8 or ANSI";
        case settings_problem::not_text:
            return "not text: control or NUL bytes";
        case settings_problem::line_too_long:
            return "line longer than 1024 bytes";
        case settings_problem::not_key_value:
            return "neither key = value, a comment nor blank";
        case settings_problem::unknown_key:
            return "unknown key (byte_order, uid_bytes, readers, deadline_ms are known)";
        case settings_problem::bad_value:
            return "bad value";
        case settings_problem::duplicate_key:
            return "key given twice";
    }
    return "unknown";
}

std::string text_report(const findings& found) {
    std::string out;
    out += line("Reader library", found.library.path);
    out += line("", library_text(found.library));
    if (found.library.kind == library_kind::absent) {
        out += line("", "how to install it: " + guide_path("install.md"));
    }
    out += settings_text(found);
    out += line("PC/SC service", service_text(found.service, found.readers.size()));
    if (found.service.state != service_state::answers) {
        out += line("", "readers and the service: " + guide_path("pcsc.md"));
    }
    const bool in_force = found.settings.use == settings_use::in_force;
    for (std::size_t i = 0; i < found.readers.size(); ++i) {
        out += reader_text(i + 1, found.readers[i], in_force);
    }
    out += line("Program answers", answer_text(found.answer));
    return out;
}

std::string json_report(const findings& found) {
    const settings_finding& settings = found.settings;
    const pcsc::settings& chosen = settings.lookup.values;
    std::vector<std::string> looked_at;
    for (const std::string& path : settings.looked_at) looked_at.push_back(quoted(path));
    std::vector<member> settings_members{
        {"looked_at", array(looked_at)},
        {"path", quoted_or_null(!settings.path.empty(), settings.path)},
        {"source", quoted(source_name(settings.lookup.source))},
        {"applies", settings.use == settings_use::not_read ? "false" : "true"}};
    if (faulty(found)) {
        settings_members.emplace_back(
            "fault", object({{"line", std::to_string(settings.lookup.error.line)},
                             {"problem", quoted(problem_text(settings.lookup.error.problem))}}));
    } else {
        std::vector<std::string> parts;
        parts.reserve(settings.readers.size());
        for (const std::string& part : settings.readers) parts.push_back(quoted(part));
        settings_members.insert(settings_members.end(),
                                {{"fault", "null"},
                                 {"byte_order", quoted(order_name(chosen.order))},
                                 {"uid_bytes", quoted(bytes_name(chosen.bytes))},
                                 {"readers", array(parts)},
                                 {"deadline_ms", std::to_string(chosen.deadline_ms)}});
    }

    std::vector<std::string> readers;
    const bool in_force = settings.use == settings_use::in_force;
    for (const reader_finding& reader : found.readers) {
        readers.push_back(reader_json(reader, in_force));
    }
    const answer_finding& answer = found.answer;
    const std::vector<member> top{
        {"library", object({{"path", quoted(found.library.path)},
                            {"kind", quoted(library_name(found.library.kind))}})},
        {"settings", object(settings_members)},
        {"service", object({{"state", quoted(service_name(found.service.state))},
                            {"problem", quoted_or_null(!found.service.problem.empty(),
                                                       found.service.problem)}})},
        {"readers", readers.empty() ? "[]" : "[\n    " + join(readers, ",\n    ") + "\n  ]"},
        {"answer", object({{"kind", quoted(answer_name(answer.kind))},
                           {"cardno", quoted_or_null(answer.kind != answer_kind::not_found &&
                                                         answer.kind != answer_kind::busy,
                                                     answer.text)},
                           {"status", answer.called ? std::to_string(answer.status) : "null"}})}};
    std::vector<std::string> members;
    members.reserve(top.size());
    for (const member& one : top) members.push_back(quoted(one.first) + ": " + one.second);
    return "{\n  " + join(members, ",\n  ") + "\n}\n";
}

}  // namespace vellicor::check
