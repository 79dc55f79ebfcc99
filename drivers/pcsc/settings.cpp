#include "drivers/pcsc/settings.hpp"

#include <cstring>

namespace vellicor::pcsc {

namespace {

// A view of part of the file's text.
struct text_span {
    const char* data;
    std::size_t size;
};

bool is_blank(char c) noexcept { return c == ' ' || c == '\t'; }

text_span trimmed(text_span span) noexcept {
    while (span.size != 0 && is_blank(span.data[0])) {
        ++span.data;
        --span.size;
    }
    while (span.size != 0 && is_blank(span.data[span.size - 1])) --span.size;
    return span;
}

char lower(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equals_ignoring_case(text_span span, const char* word) noexcept {
    const std::size_t size = std::strlen(word);
    if (span.size != size) return false;
    for (std::size_t i = 0; i < size; ++i) {
        if (lower(span.data[i]) != lower(word[i])) return false;
    }
    return true;
}

bool contains_ignoring_case(const char* text, const char* part) noexcept {
    const std::size_t text_size = std::strlen(text);
    const std::size_t part_size = std::strlen(part);
    for (std::size_t at = 0; at + part_size <= text_size; ++at) {
        if (equals_ignoring_case({text + at, part_size}, part)) return true;
    }
    return false;
}

enum key_index : std::size_t { key_byte_order, key_uid_bytes, key_readers, key_deadline_ms, keys };
constexpr const char* key_names[keys] = {"byte_order", "uid_bytes", "readers", "deadline_ms"};

bool parse_deadline(text_span value, unsigned& into) noexcept {
    // Five digits hold every allowed value and cannot overflow.
    if (value.size == 0 || value.size > 5) return false;
    unsigned number = 0;
    for (std::size_t i = 0; i < value.size; ++i) {
        if (value.data[i] < '0' || value.data[i] > '9') return false;
        number = number * 10 + static_cast<unsigned>(value.data[i] - '0');
    }
    if (number < min_deadline_ms || number > max_deadline_ms) return false;
    into = number;
    return true;
}

// Comma-separated, none empty: a stray comma is a typo, not "every reader".
bool parse_readers(text_span value, settings& into) noexcept {
    std::size_t written = 0;
    into.reader_parts = 0;
    for (std::size_t at = 0; at <= value.size;) {
        const void* comma = std::memchr(value.data + at, ',', value.size - at);
        const std::size_t end =
            comma == nullptr
                ? value.size
                : static_cast<std::size_t>(static_cast<const char*>(comma) - value.data);
        const text_span part = trimmed({value.data + at, end - at});
        if (part.size == 0 || into.reader_parts == max_reader_parts) return false;
        std::memcpy(into.parts + written, part.data, part.size);
        written += part.size;
        into.parts[written++] = '\0';
        ++into.reader_parts;
        at = end + 1;
    }
    return true;
}

bool parse_value(std::size_t key, text_span value, settings& into) noexcept {
    switch (key) {
        case key_byte_order:
            if (equals_ignoring_case(value, "as_read")) {
                into.order = byte_order::as_read;
                return true;
            }
            into.order = byte_order::reversed;
            return equals_ignoring_case(value, "reversed");
        case key_uid_bytes:
            if (equals_ignoring_case(value, "last4")) {
                into.bytes = uid_bytes::last4;
                return true;
            }
            into.bytes = uid_bytes::first4;
            return equals_ignoring_case(value, "first4");
        case key_readers:
            return parse_readers(value, into);
        default:
            return parse_deadline(value, into.deadline_ms);
    }
}

// Bytes no text editor writes: NUL and the other controls but tab; a CR only
// as part of a CR LF line end, which `line` no longer holds.
bool is_text(text_span line) noexcept {
    for (std::size_t i = 0; i < line.size; ++i) {
        const auto c = static_cast<unsigned char>(line.data[i]);
        if ((c < 0x20 && c != '\t') || c == 0x7F) return false;
    }
    return true;
}

// One line, its line end cut off; `seen` tells the keys of the lines before.
settings_problem parse_line(text_span whole, bool* seen, settings& into) noexcept {
    if (whole.size != 0 && whole.data[whole.size - 1] == '\r') --whole.size;
    if (!is_text(whole)) return settings_problem::not_text;
    if (whole.size > max_settings_line) return settings_problem::line_too_long;

    // A comment runs from # or ; to the line's end, after a value too.
    text_span content = whole;
    for (std::size_t i = 0; i < content.size; ++i) {
        if (content.data[i] == '#' || content.data[i] == ';') {
            content.size = i;
            break;
        }
    }
    content = trimmed(content);
    if (content.size == 0) return settings_problem::none;

    const void* equals = std::memchr(content.data, '=', content.size);
    if (equals == nullptr) return settings_problem::not_key_value;
    const auto key_size = static_cast<std::size_t>(static_cast<const char*>(equals) - content.data);
    const text_span key = trimmed({content.data, key_size});
    const text_span value = trimmed({content.data + key_size + 1, content.size - key_size - 1});
    if (key.size == 0) return settings_problem::not_key_value;

    std::size_t index = 0;
    while (index < keys && !equals_ignoring_case(key, key_names[index])) ++index;
    if (index == keys) return settings_problem::unknown_key;
    if (seen[index]) return settings_problem::duplicate_key;
    seen[index] = true;
    return parse_value(index, value, into) ? settings_problem::none : settings_problem::bad_value;
}

}  // namespace

const char* settings::part(std::size_t index) const noexcept {
    const char* at = parts;
    for (std::size_t i = 0; i < index; ++i) at += std::strlen(at) + 1;
    return at;
}

settings_error parse_settings(const char* text, std::size_t size, settings& into) noexcept {
    if (size > max_settings_file) return {settings_problem::file_too_large, 0};
    // Notepad's "Unicode": every other byte NUL. Told apart from junk so that
    // whoever saved it knows what to do.
    if (size >= 2 &&
        ((text[0] == '\xFF' && text[1] == '\xFE') || (text[0] == '\xFE' && text[1] == '\xFF'))) {
        return {settings_problem::utf16, 1};
    }
    std::size_t at = 0;
    if (size >= 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0) at = 3;  // Notepad's UTF-8 mark

    bool seen[keys] = {};
    for (std::size_t line = 1; at < size; ++line) {
        const void* newline = std::memchr(text + at, '\n', size - at);
        const std::size_t end =
            newline == nullptr ? size
                               : static_cast<std::size_t>(static_cast<const char*>(newline) - text);
        const settings_problem problem = parse_line({text + at, end - at}, seen, into);
        if (problem != settings_problem::none) return {problem, line};
        at = end + 1;
    }
    return {};
}

void card_number_bytes(const unsigned char* uid, std::size_t uid_size, uid_bytes bytes,
                       byte_order order, unsigned char* four) noexcept {
    const unsigned char* chosen = bytes == uid_bytes::last4 ? uid + uid_size - 4 : uid;
    for (std::size_t i = 0; i < 4; ++i) {
        four[i] = order == byte_order::as_read ? chosen[i] : chosen[3 - i];
    }
}

std::size_t order_readers(const settings& chosen, const char* const* names, std::size_t count,
                          std::size_t* order) noexcept {
    std::size_t written = 0;
    if (chosen.reader_parts == 0) {
        for (std::size_t i = 0; i < count; ++i) order[written++] = i;
        return written;
    }
    for (std::size_t p = 0; p < chosen.reader_parts; ++p) {
        const char* part = chosen.part(p);
        for (std::size_t i = 0; i < count; ++i) {
            bool taken = false;
            for (std::size_t j = 0; j < written && !taken; ++j) taken = order[j] == i;
            if (!taken && contains_ignoring_case(names[i], part)) order[written++] = i;
        }
    }
    return written;
}

}  // namespace vellicor::pcsc
