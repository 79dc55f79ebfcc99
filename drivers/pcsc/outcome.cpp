#include "drivers/pcsc/outcome.hpp"

#include <cstring>

namespace vellicor::pcsc {

std::size_t uid_size(const unsigned char* response, std::size_t response_size) noexcept {
    if (response_size < 2) return 0;
    const std::size_t size = response_size - 2;
    if (response[size] != 0x90 || response[size + 1] != 0x00) return 0;
    if (size < min_uid_size || size > max_uid_size) return 0;
    return size;
}

bool fill_serial(const unsigned char* response, std::size_t response_size, const settings& chosen,
                 unsigned char* idserial) noexcept {
    const std::size_t size = uid_size(response, response_size);
    if (size == 0) return false;
    idserial[0] = static_cast<unsigned char>(size);
    card_number_bytes(response, size, chosen.bytes, chosen.order, idserial + 1);
    return true;
}

bool fill_serial(const unsigned char* response, std::size_t response_size,
                 unsigned char* idserial) noexcept {
    // A longer UID begins with its maker's code, shared by many cards; its last
    // four bytes, the default, are the ones that tell cards apart.
    return fill_serial(response, response_size, settings{}, idserial);
}

read_status status_after_failure(step failed_step, LONG error) noexcept {
    // Whatever keeps us from talking to the service at all, the user's remedy
    // is the same: start it, or connect the reader it serves.
    if (failed_step == step::establish_context) return status_no_reader;
    switch (error) {
        case SCARD_E_NO_SERVICE:
        case SCARD_E_SERVICE_STOPPED:
        case SCARD_E_NO_READERS_AVAILABLE:
            return status_no_reader;
        default:
            return status_no_card;
    }
}

read_status status_at_deadline(progress reached) noexcept {
    return reached == progress::asking_service ? status_no_reader : status_no_card;
}

bool holds_usable_card(DWORD event_state) noexcept {
    constexpr DWORD unusable = SCARD_STATE_EMPTY | SCARD_STATE_MUTE | SCARD_STATE_EXCLUSIVE;
    return (event_state & SCARD_STATE_PRESENT) != 0 && (event_state & unusable) == 0;
}

void passed_over_readers::add(step failed_step, LONG error) noexcept {
    ++readers_;
    if (failed_step == step::connect) {
        switch (error) {
            // A polkit-enabled pcscd refuses with the first; the second is
            // PC/SC's other word for being denied access.
            case SCARD_W_SECURITY_VIOLATION:
            case SCARD_E_NO_ACCESS:
                ++refused_for_rights_;
                break;
            default:
                break;
        }
    }
    if (error != SCARD_S_SUCCESS && status_after_failure(failed_step, error) == status_no_reader) {
        service_lost_ = true;
    }
}

read_status passed_over_readers::status() const noexcept {
    if (service_lost_) return status_no_reader;
    if (readers_ != 0 && refused_for_rights_ == readers_) return status_no_reader;
    return status_no_card;
}

std::size_t name_length(const char* names, std::size_t size, std::size_t offset) noexcept {
    if (offset >= size) return 0;
    const void* end = std::memchr(names + offset, '\0', size - offset);
    if (end == nullptr) return 0;
    return static_cast<std::size_t>(static_cast<const char*>(end) - (names + offset));
}

}  // namespace vellicor::pcsc
