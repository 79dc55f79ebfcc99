// libpcsclite.so.1 for the fault-injection run (tests/pcsc/fault_injection.py):
// the seeded service (seeded_service.hpp) behind the calls the PC/SC reader
// library imports, put first on the loader's path of each host's run only.
// Test-only; never shipped.
//
//   VELLICOR_FAULT_SEED     the seed, a decimal number
//   VELLICOR_FAULT_LATE_MS  the scale of a late answer: the read's deadline
//   VELLICOR_FAULT_LOG      the file every event is appended to, one line
//                           each, written as it happens: "MS EVENT", MS the
//                           milliseconds since the library was loaded
//
// Without a seed and a log every call fails as if there were no service.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "seeded_service/seeded_service.hpp"

#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// The path is kept from load time: the environment may change meanwhile.
char log_path[4096];
bool serving = false;
timespec loaded{};

void append_line(const char* event) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long ms =
        (now.tv_sec - loaded.tv_sec) * 1000LL + (now.tv_nsec - loaded.tv_nsec) / 1000000;
    char line[1200];
    const int size = std::snprintf(line, sizeof line, "%lld %s\n", ms, event);
    if (size <= 0) return;
    // One write per line, appended: lines of two threads never mix.
    const int fd = open(log_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const auto length = static_cast<std::size_t>(size) < sizeof line
                            ? static_cast<std::size_t>(size)
                            : sizeof line - 1;
    if (write(fd, line, length) < 0) {
        // Nothing to tell: the driver finds the line missing.
    }
    close(fd);
}

// As a real client waits for a daemon that never answers: in poll, holding
// its locks.
void wait_forever(const char* /*call*/) {
    for (;;) poll(nullptr, 0, -1);
}

__attribute__((constructor)) void load() {
    clock_gettime(CLOCK_MONOTONIC, &loaded);
    const char* seed = std::getenv("VELLICOR_FAULT_SEED");
    const char* late = std::getenv("VELLICOR_FAULT_LATE_MS");
    const char* log = std::getenv("VELLICOR_FAULT_LOG");
    if (seed == nullptr || log == nullptr || std::strlen(log) >= sizeof log_path) return;
    std::memcpy(log_path, log, std::strlen(log) + 1);
    seeded_service::hooks hooks;
    hooks.log = append_line;
    hooks.never_answer = wait_forever;
    append_line("loaded");
    seeded_service::start(
        std::strtoull(seed, nullptr, 10),
        late == nullptr ? 3000 : static_cast<unsigned>(std::strtoul(late, nullptr, 10)), 0, hooks);
    serving = true;
}

// Runs when the process exits normally, or never once the library under test
// has ended the process first (after a read it gave up). The library under
// test is linked -z nodelete, so this library, which it needs, stays loaded
// from its first load to the exit.
__attribute__((destructor)) void unload() {
    if (!serving) return;
    seeded_service::check_at_unload();
    append_line("unloaded");
}

}  // namespace

STANDIN_EXPORT LONG SCardEstablishContext(DWORD dwScope, LPCVOID pvReserved1, LPCVOID pvReserved2,
                                          LPSCARDCONTEXT phContext) {
    if (!serving) return SCARD_E_NO_SERVICE;
    return seeded_service::establish_context(dwScope, pvReserved1, pvReserved2, phContext);
}

STANDIN_EXPORT LONG SCardReleaseContext(SCARDCONTEXT hContext) {
    if (!serving) return SCARD_E_INVALID_HANDLE;
    return seeded_service::release_context(hContext);
}

STANDIN_EXPORT LONG SCardListReaders(SCARDCONTEXT hContext, LPCSTR mszGroups, LPSTR mszReaders,
                                     LPDWORD pcchReaders) {
    if (!serving) return SCARD_E_INVALID_HANDLE;
    return seeded_service::list_readers(hContext, mszGroups, mszReaders, pcchReaders);
}

STANDIN_EXPORT LONG SCardFreeMemory(SCARDCONTEXT hContext, LPCVOID pvMem) {
    if (!serving) return SCARD_E_INVALID_HANDLE;
    return seeded_service::free_memory(hContext, pvMem);
}

STANDIN_EXPORT LONG SCardGetStatusChange(SCARDCONTEXT hContext, DWORD dwTimeout,
                                         SCARD_READERSTATE* rgReaderStates, DWORD cReaders) {
    if (!serving) return SCARD_E_INVALID_HANDLE;
    return seeded_service::get_status_change(hContext, dwTimeout, rgReaderStates, cReaders);
}

STANDIN_EXPORT LONG SCardConnect(SCARDCONTEXT hContext, LPCSTR szReader, DWORD dwShareMode,
                                 DWORD dwPreferredProtocols, LPSCARDHANDLE phCard,
                                 LPDWORD pdwActiveProtocol) {
    if (!serving) return SCARD_E_INVALID_HANDLE;
    return seeded_service::connect(hContext, szReader, dwShareMode, dwPreferredProtocols, phCard,
                                   pdwActiveProtocol);
}

STANDIN_EXPORT LONG SCardDisconnect(SCARDHANDLE hCard, DWORD dwDisposition) {
    if (!serving) return SCARD_E_INVALID_HANDLE;
    return seeded_service::disconnect(hCard, dwDisposition);
}

STANDIN_EXPORT LONG SCardTransmit(SCARDHANDLE hCard, const SCARD_IO_REQUEST* pioSendPci,
                                  LPCBYTE pbSendBuffer, DWORD cbSendLength,
                                  SCARD_IO_REQUEST* pioRecvPci, LPBYTE pbRecvBuffer,
                                  LPDWORD pcbRecvLength) {
    if (!serving) return SCARD_E_INVALID_HANDLE;
    return seeded_service::transmit(hCard, pioSendPci, pbSendBuffer, cbSendLength, pioRecvPci,
                                    pbRecvBuffer, pcbRecvLength);
}
