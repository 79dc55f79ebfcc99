#include "watch/protocol.hpp"

#include <cstring>

namespace vellicor::watch {

namespace {

const char* event_name(event_kind kind) {
    switch (kind) {
        case event_kind::card:
            return "card";
        case event_kind::no_card:
            return "no_card";
        case event_kind::no_reader:
            return "no_reader";
        case event_kind::failed:
            return "failed";
        case event_kind::not_found:
            return "not_found";
        case event_kind::timeout:
            return "timeout";
    }
    return "failed";
}

// The members after "{", without the closing brace. A card number is digits
// and a sign, so nothing in it needs escaping.
std::string event_members(const outcome& event) {
    std::string text = std::string(R"("event":")") + event_name(event.kind) + "\"";
    if (event.kind == event_kind::card) text += R"(,"cardno":")" + event.cardno + "\"";
    return text;
}

bool one_of(char c, const char* set) { return c != '\0' && std::strchr(set, c) != nullptr; }

// A strict reader of one JSON text (RFC 8259), for the one request there is:
// an object whose only member is "read" with a plain integer. Names must be
// well-formed UTF-8; any other value ends the reading, so nothing nests.
class json_reader {
  public:
    explicit json_reader(const std::string& text) : text_(text) {}

    // The object's one member `read` with a plain non-negative integer.
    std::optional<std::uint64_t> read_request() {
        skip_space();
        if (!take('{')) return std::nullopt;
        std::optional<std::uint64_t> id;
        bool first = true;
        for (;;) {
            skip_space();
            if (first && take('}')) break;
            std::string name;
            if (!string(&name)) return std::nullopt;
            skip_space();
            if (!take(':')) return std::nullopt;
            skip_space();
            if (name == "read" && !id) {
                id = integer();
                if (!id) return std::nullopt;
            } else {
                return std::nullopt;
            }
            skip_space();
            first = false;
            if (take(',')) continue;
            if (take('}')) break;
            return std::nullopt;
        }
        skip_space();
        if (at_ != text_.size()) return std::nullopt;
        return id;
    }

  private:
    bool take(char c) {
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }

    void skip_space() {
        while (at_ < text_.size() && one_of(text_[at_], " \t\r\n")) ++at_;
    }

    // A number without sign, fraction or exponent, and no leading zeros.
    std::optional<std::uint64_t> integer() {
        const std::size_t start = at_;
        std::uint64_t value = 0;
        while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') {
            value = value * 10 + static_cast<std::uint64_t>(text_[at_] - '0');
            if (value > largest_read_id) return std::nullopt;
            ++at_;
        }
        const std::size_t digits = at_ - start;
        if (digits == 0 || (digits > 1 && text_[start] == '0')) return std::nullopt;
        // A fraction or an exponent makes it another number, not this one.
        if (at_ < text_.size() && one_of(text_[at_], ".eE")) return std::nullopt;
        return value;
    }

    [[nodiscard]] unsigned char byte(std::size_t at) const {
        return static_cast<unsigned char>(text_[at]);
    }

    // The length of the UTF-8 sequence at at_ (1 to 4), 0 when it is not one.
    [[nodiscard]] std::size_t utf8_length() const {
        const unsigned char lead = byte(at_);
        std::size_t length = 0;
        std::uint32_t code = 0;
        if (lead < 0x80) return 1;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            code = lead & 0x1FU;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            code = lead & 0x0FU;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            code = lead & 0x07U;
        } else {
            return 0;
        }
        if (at_ + length > text_.size()) return 0;
        for (std::size_t i = 1; i < length; ++i) {
            if ((byte(at_ + i) & 0xC0U) != 0x80U) return 0;
            code = (code << 6U) | (byte(at_ + i) & 0x3FU);
        }
        const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
        const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
        if (overlong || surrogate || code > 0x10FFFF) return 0;
        return length;
    }

    // A string, its escapes taken as they are written: the only name that
    // counts ("read") needs none.
    bool string(std::string* into) {
        if (!take('"')) return false;
        for (;;) {
            if (at_ >= text_.size()) return false;
            const unsigned char c = byte(at_);
            if (c == '"') {
                ++at_;
                return true;
            }
            if (c < 0x20) return false;
            if (c == '\\') {
                if (!escape(into)) return false;
                continue;
            }
            const std::size_t length = utf8_length();
            if (length == 0) return false;
            into->append(text_, at_, length);
            at_ += length;
        }
    }

    bool escape(std::string* into) {
        if (at_ + 1 >= text_.size()) return false;
        const char kind = text_[at_ + 1];
        if (kind == 'u') {
            if (at_ + 6 > text_.size()) return false;
            for (std::size_t i = at_ + 2; i < at_ + 6; ++i) {
                if (!one_of(text_[i], "0123456789abcdefABCDEF")) return false;
            }
            into->append(text_, at_, 6);
            at_ += 6;
            return true;
        }
        if (!one_of(kind, "\"\\/bfnrt")) return false;
        into->append(text_, at_, 2);
        at_ += 2;
        return true;
    }

    const std::string& text_;
    std::size_t at_ = 0;
};

}  // namespace

outcome outcome_of_read(unsigned char status, const serial_buffer& idserial) {
    switch (status) {
        case status_card_read:
            return {event_kind::card, card_number_text(idserial)};
        case status_no_card:
            return {event_kind::no_card, {}};
        case status_no_reader:
            return {event_kind::no_reader, {}};
        default:
            return {event_kind::failed, {}};
    }
}

std::string event_message(const outcome& event) { return "{" + event_members(event) + "}"; }

std::string read_answer(std::uint64_t id, const outcome& event) {
    return R"({"read":)" + std::to_string(id) + "," + event_members(event) + "}";
}

std::string busy_answer(std::uint64_t id) {
    return R"({"read":)" + std::to_string(id) + R"(,"error":"busy"})";
}

std::string bad_request_answer() { return R"({"error":"bad_request"})"; }

std::string frame(const std::string& json) {
    const auto length = static_cast<std::uint32_t>(json.size());
    std::string framed(sizeof length, '\0');
    std::memcpy(framed.data(), &length, sizeof length);
    return framed + json;
}

std::optional<std::uint64_t> read_request(const std::string& json) {
    return json_reader(json).read_request();
}

std::optional<outcome> event_filter::next(const outcome& now, bool presented) {
    const bool news = !last_ || *last_ != now || (presented && now.kind == event_kind::card);
    if (!news) return std::nullopt;
    last_ = now;
    return now;
}

}  // namespace vellicor::watch
