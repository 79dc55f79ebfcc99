#include "drivers/pcsc/reader_walk.hpp"

namespace vellicor::pcsc {

reader_survey::~reader_survey() {
    if (list_ != nullptr) SCardFreeMemory(context_, list_);
    if (established_) SCardReleaseContext(context_);
}

LONG reader_survey::list(step& failed) noexcept {
    failed = step::establish_context;
    LONG rv = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context_);
    established_ = rv == SCARD_S_SUCCESS;
    if (!established_) return rv;

    failed = step::list_readers;
    auto size = static_cast<DWORD>(SCARD_AUTOALLOCATE);
    // With SCARD_AUTOALLOCATE the buffer argument receives a pointer.
    rv = SCardListReaders(context_, nullptr, reinterpret_cast<LPSTR>(&list_), &size);
    if (rv != SCARD_S_SUCCESS) {
        list_ = nullptr;
        return rv;
    }
    for (std::size_t at = 0, length = 0;
         count_ < max_readers && (length = name_length(list_, size, at)) != 0; at += length + 1) {
        names_[count_] = list_ + at;
        states_[count_].szReader = list_ + at;
        ++count_;
    }
    return rv;
}

LONG reader_survey::ask_states() noexcept {
    return SCardGetStatusChange(context_, 0, states_, static_cast<DWORD>(count_));
}

card::~card() {
    // Another program may be reading the same card right now: leave it as it
    // is rather than resetting it under them.
    if (connected_) SCardDisconnect(handle_, SCARD_LEAVE_CARD);
}

LONG card::connect(SCARDCONTEXT service, const char* reader) noexcept {
    const LONG rv = SCardConnect(service, reader, SCARD_SHARE_SHARED,
                                 SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &handle_, &protocol_);
    connected_ = rv == SCARD_S_SUCCESS;
    return rv;
}

LONG card::transmit(const unsigned char* command, std::size_t command_size, unsigned char* response,
                    std::size_t* response_size) noexcept {
    const SCARD_IO_REQUEST send_pci{protocol_, static_cast<DWORD>(sizeof(SCARD_IO_REQUEST))};
    auto received = static_cast<DWORD>(*response_size);
    const LONG rv = SCardTransmit(handle_, &send_pci, command, static_cast<DWORD>(command_size),
                                  nullptr, response, &received);
    // Never trust a length larger than the buffer we gave.
    *response_size = rv == SCARD_S_SUCCESS && received <= *response_size ? received : 0;
    return rv;
}

}  // namespace vellicor::pcsc
