// winscard.dll for the Windows PC/SC tests: a smart card service whose
// readers and cards each test scripts, and which holds its caller to what the
// real service expects. Test-only; never shipped.
//
// The script is the environment variable VELLICOR_WINSCARD (Wine hands the
// Unix environment to the Windows process):
//
//   no-service          SCardEstablishContext fails with SCARD_E_NO_SERVICE
//   hung-service        SCardEstablishContext never returns
//   slow-service:MS     the first SCardEstablishContext holds the lock MS
//                       milliseconds, then fails with SCARD_E_NO_SERVICE;
//                       every later one never returns
//   no-readers          the service runs and lists no reader
//   NAME=CARD;...       readers in the service's order, each with its card:
//     empty                 no card
//     uid:HEX               answers GET DATA with the UID HEX, then 90 00
//     sw:HEX                answers every command with the status word HEX
//     refuse                present, but every connect is refused
//     transmit-error        present, but every transmit fails
//     mute                  present, but a transmit never returns
//     file:PATH             whichever of the above the file at PATH holds
//                           when a call looks at the reader ("empty" when it
//                           cannot be read), for a card that a test puts on
//                           and takes off while a program runs
//   A card is T=1 unless "/t0" follows it.
//   seeded:SEED:LATE_MS the seeded service of the fault-injection run
//                       (seeded_service.hpp), its events logged here too
//
// As the real service does, SCardGetStatusChangeA counts the cards put on
// and taken off each reader in the upper 16 bits of its state (a file's
// reader changes state when a call finds its file changed), gives the number
// of readers in the upper bits of "\\?PnP?\Notification"'s, and waits
// for a change without keeping other calls out.
//
// Everything it sees goes to winscard.log beside this DLL, one line per
// event, written as it happens so that even a process that hangs or is killed
// leaves its evidence. Each line starts with the Unix time in milliseconds.
// Lines starting "violation:" are what real winscard would not accept of its
// caller (the test fails on any); "script error:" is a fault of the test.
//
// Calls that never return hold the service's lock, and so does the DLL's
// process detach, as a real service's may: a process that exits after
// abandoning such a call hangs in ExitProcess unless its caller prevents it.
//
// Only the calls the PC/SC reader library imports are served.
#define WINSCARDAPI __declspec(dllexport)
#include <windows.h>
#include <winscard.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "seeded_service/seeded_service.hpp"

namespace {

enum class service { up, none, hung, slow, seeded };
enum class card_kind { empty, uid, status_word, refuse, transmit_error, mute };

struct reader {
    std::string name;
    card_kind card = card_kind::empty;
    std::string answer;  // the UID or the status word
    DWORD protocol = SCARD_PROTOCOL_T1;
    std::string card_file;  // file:PATH's, read afresh at each look
    DWORD events = 0;       // cards put on and taken off
};

constexpr char pnp_notification[] = "\\\\?PnP?\\Notification";

struct connection {
    SCARDCONTEXT context;
    std::size_t reader;
    DWORD protocol;
};

// A short well-formed ATR (T=0 and T=1 offered); nobody reads it.
constexpr BYTE card_atr[] = {0x3B, 0x80, 0x80, 0x01, 0x01};
constexpr BYTE get_uid[] = {0xFF, 0xCA, 0x00, 0x00, 0x00};

HANDLE log_file = INVALID_HANDLE_VALUE;
// A semaphore rather than a critical section: held by a thread that
// ExitProcess has killed, it stays held on every Windows version.
HANDLE service_lock = nullptr;
const char* volatile blocked_call = nullptr;

service state = service::none;
DWORD slow_service_ms = 0;
std::vector<reader> readers;
std::set<SCARDCONTEXT> contexts;
std::map<SCARDHANDLE, connection> cards;
std::map<void*, SCARDCONTEXT> allocations;  // SCARD_AUTOALLOCATE memory and its context
ULONG_PTR next_handle = 0x5C000000;         // never 0, never small

void log_line(const char* format, ...) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const ULONGLONG ticks = (ULONGLONG{now.dwHighDateTime} << 32) | now.dwLowDateTime;
    const ULONGLONG unix_ms = (ticks - 116444736000000000ULL) / 10000;
    char line[1024];
    int size = std::snprintf(line, sizeof line, "%llu.%03llu ", unix_ms / 1000, unix_ms % 1000);
    va_list args;
    va_start(args, format);
    const int text = std::vsnprintf(line + size, sizeof line - size - 1, format, args);
    va_end(args);
    size = text < 0 ? size : std::min<int>(size + text, sizeof line - 2);
    line[size++] = '\n';
    DWORD written = 0;
    // Opened for appending: each line is one write that lands whole at the end.
    WriteFile(log_file, line, static_cast<DWORD>(size), &written, nullptr);
}

// Runs each call with the lock held, as one request to the service.
class request {
  public:
    explicit request(const char* name) noexcept : name_(name) {
        WaitForSingleObject(service_lock, INFINITE);
    }
    request(const request&) = delete;
    request& operator=(const request&) = delete;
    ~request() { ReleaseSemaphore(service_lock, 1, nullptr); }

    // Lets other calls in while this one waits.
    void pause(DWORD ms) const noexcept {
        ReleaseSemaphore(service_lock, 1, nullptr);
        Sleep(ms);
        WaitForSingleObject(service_lock, INFINITE);
    }

    [[noreturn]] void never_answer() const noexcept {
        blocked_call = name_;
        log_line("%s: never answering", name_);
        for (;;) Sleep(INFINITE);
    }

  private:
    const char* name_;
};

bool parse_hex(const std::string& text, std::string& bytes) {
    if (text.empty() || text.size() % 2 != 0) return false;
    bytes.clear();
    for (const char digit : text) {
        if (std::isxdigit(static_cast<unsigned char>(digit)) == 0) return false;
    }
    for (std::size_t i = 0; i < text.size(); i += 2) {
        bytes.push_back(static_cast<char>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return true;
}

bool parse_card(std::string text, reader& into) {
    const std::size_t slash = text.find('/');
    if (slash != std::string::npos) {
        const std::string protocol = text.substr(slash + 1);
        if (protocol != "t0" && protocol != "t1") return false;
        into.protocol = protocol == "t0" ? SCARD_PROTOCOL_T0 : SCARD_PROTOCOL_T1;
        text.resize(slash);
    }
    const std::map<std::string, card_kind> plain = {{"empty", card_kind::empty},
                                                    {"refuse", card_kind::refuse},
                                                    {"transmit-error", card_kind::transmit_error},
                                                    {"mute", card_kind::mute}};
    const auto found = plain.find(text);
    if (found != plain.end()) {
        into.card = found->second;
        return true;
    }
    if (text.rfind("uid:", 0) == 0) {
        into.card = card_kind::uid;
        return parse_hex(text.substr(4), into.answer);
    }
    if (text.rfind("sw:", 0) == 0) {
        into.card = card_kind::status_word;
        return parse_hex(text.substr(3), into.answer) && into.answer.size() == 2;
    }
    if (text.rfind("file:", 0) == 0 && text.size() > 5) {
        into.card_file = text.substr(5);
        into.card = card_kind::empty;
        return true;
    }
    return false;
}

// A file's reader as its file says now; a change of card counts as an event.
void look_at(reader& one) {
    if (one.card_file.empty()) return;
    std::string text;
    if (std::FILE* file = std::fopen(one.card_file.c_str(), "rb")) {
        char buffer[256];
        const std::size_t size = std::fread(buffer, 1, sizeof buffer, file);
        std::fclose(file);
        text.assign(buffer, size);
        while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())) != 0) {
            text.pop_back();
        }
    }
    reader now;
    if (text.empty()) text = "empty";
    if (!parse_card(text, now)) {
        log_line("script error: cannot read \"%s\" in %s", text.c_str(), one.card_file.c_str());
        now = reader{};
    }
    if (now.card != one.card || now.answer != one.answer) ++one.events;
    one.card = now.card;
    one.answer = now.answer;
    one.protocol = now.protocol;
}

// The seeded service's calls hold the lock just as the scripted ones do.
void seeded_log(const char* event) { log_line("%s", event); }

void seeded_never_answer(const char* call) {
    blocked_call = call;
    for (;;) Sleep(INFINITE);
}

// "SEED:LATE_MS". Reads are counted on from this process's earlier loads of
// the DLL (kept in its environment), so that a reloaded DLL does not serve
// the same reads again.
bool start_seeded(const std::string& words) {
    const std::size_t colon = words.find(':');
    const std::string seed = words.substr(0, colon);
    const std::string late = colon == std::string::npos ? "" : words.substr(colon + 1);
    if (seed.empty() || late.empty() || seed.size() > 19 || late.size() > 6 ||
        (seed + late).find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    char loads[16] = {};
    GetEnvironmentVariableA("VELLICOR_WINSCARD_LOADS", loads, sizeof loads);
    const unsigned earlier = static_cast<unsigned>(std::strtoul(loads, nullptr, 10));
    SetEnvironmentVariableA("VELLICOR_WINSCARD_LOADS", std::to_string(earlier + 1).c_str());
    seeded_service::hooks hooks;
    hooks.log = seeded_log;
    hooks.never_answer = seeded_never_answer;
    seeded_service::start(std::stoull(seed), static_cast<unsigned>(std::stoul(late)),
                          earlier * 1000, hooks);
    return true;
}

// Leaves `state` at service::none unless the whole script is sound.
void load_script() {
    // Read wide and taken to the ANSI code page here, as the names of real
    // readers reach SCardListReadersA: Wine's GetEnvironmentVariableA cuts
    // text beyond ASCII short.
    wchar_t wide[4096];
    char text[2 * sizeof wide / sizeof wide[0]];
    const DWORD size = GetEnvironmentVariableW(L"VELLICOR_WINSCARD", wide, std::size(wide));
    const int bytes = size == 0 || size >= std::size(wide)
                          ? 0
                          : WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(size), text,
                                                sizeof text, nullptr, nullptr);
    if (bytes == 0) {
        log_line("script error: VELLICOR_WINSCARD is unset, empty or too long");
        return;
    }
    const std::string script(text, static_cast<std::size_t>(bytes));
    log_line("script: %s", script.c_str());
    if (script == "no-service" || script == "hung-service") {
        state = script == "no-service" ? service::none : service::hung;
        return;
    }
    if (script.rfind("slow-service:", 0) == 0) {
        const std::string delay = script.substr(std::strlen("slow-service:"));
        if (delay.empty() || delay.size() > 6 ||
            delay.find_first_not_of("0123456789") != std::string::npos) {
            log_line("script error: cannot read \"%s\"", script.c_str());
            return;
        }
        slow_service_ms = static_cast<DWORD>(std::stoul(delay));
        state = service::slow;
        return;
    }
    if (script == "no-readers") {
        state = service::up;
        return;
    }
    if (script.rfind("seeded:", 0) == 0) {
        if (start_seeded(script.substr(std::strlen("seeded:")))) {
            state = service::seeded;
        } else {
            log_line("script error: cannot read \"%s\"", script.c_str());
        }
        return;
    }
    std::vector<reader> parsed;
    for (std::size_t at = 0; at < script.size();) {
        std::size_t end = script.find(';', at);
        if (end == std::string::npos) end = script.size();
        const std::string entry = script.substr(at, end - at);
        const std::size_t equals = entry.find('=');
        reader one;
        if (equals == 0 || equals == std::string::npos ||
            !parse_card(entry.substr(equals + 1), one)) {
            log_line("script error: cannot read \"%s\"", entry.c_str());
            return;
        }
        one.name = entry.substr(0, equals);
        parsed.push_back(one);
        at = end + 1;
    }
    readers = parsed;
    state = service::up;
}

bool open_context(SCARDCONTEXT context, const char* call) {
    if (contexts.count(context) != 0) return true;
    log_line("violation: %s given context %#lx, which is not open", call,
             static_cast<unsigned long>(context));
    return false;
}

reader* find_reader(const char* name, std::size_t* index) {
    for (std::size_t i = 0; name != nullptr && i < readers.size(); ++i) {
        if (readers[i].name == name) {
            if (index != nullptr) *index = i;
            look_at(readers[i]);
            return &readers[i];
        }
    }
    return nullptr;
}

const char* protocol_name(DWORD protocol) {
    switch (protocol) {
        case SCARD_PROTOCOL_T0:
            return "T0";
        case SCARD_PROTOCOL_T1:
            return "T1";
        default:
            return "other";
    }
}

}  // namespace

LONG WINAPI SCardEstablishContext(DWORD dwScope, LPCVOID pvReserved1, LPCVOID pvReserved2,
                                  LPSCARDCONTEXT phContext) {
    request call("SCardEstablishContext");
    if (state == service::seeded) {
        return seeded_service::establish_context(dwScope, pvReserved1, pvReserved2, phContext);
    }
    log_line("SCardEstablishContext(scope %lu)", dwScope);
    if (phContext == nullptr || pvReserved1 != nullptr || pvReserved2 != nullptr) {
        log_line("violation: SCardEstablishContext needs reserved NULLs and a handle to fill");
        return SCARD_E_INVALID_PARAMETER;
    }
    if (dwScope != SCARD_SCOPE_USER && dwScope != SCARD_SCOPE_SYSTEM) return SCARD_E_INVALID_VALUE;
    if (state == service::hung) call.never_answer();
    if (state == service::slow) {
        state = service::hung;
        Sleep(slow_service_ms);
        log_line("  no service, after %lu ms", slow_service_ms);
        return SCARD_E_NO_SERVICE;
    }
    if (state == service::none) return SCARD_E_NO_SERVICE;
    *phContext = ++next_handle;
    contexts.insert(*phContext);
    log_line("  context %#lx", static_cast<unsigned long>(*phContext));
    return SCARD_S_SUCCESS;
}

LONG WINAPI SCardReleaseContext(SCARDCONTEXT hContext) {
    request call("SCardReleaseContext");
    if (state == service::seeded) return seeded_service::release_context(hContext);
    log_line("SCardReleaseContext(%#lx)", static_cast<unsigned long>(hContext));
    if (!open_context(hContext, "SCardReleaseContext")) return SCARD_E_INVALID_HANDLE;
    for (const auto& card : cards) {
        if (card.second.context == hContext) {
            log_line("violation: context released while card %#lx is still connected",
                     static_cast<unsigned long>(card.first));
        }
    }
    for (const auto& block : allocations) {
        if (block.second == hContext) {
            log_line(
                "violation: context released before its memory %p went back through "
                "SCardFreeMemory",
                block.first);
        }
    }
    contexts.erase(hContext);
    return SCARD_S_SUCCESS;
}

LONG WINAPI SCardListReadersA(SCARDCONTEXT hContext, LPCSTR mszGroups, LPSTR mszReaders,
                              LPDWORD pcchReaders) {
    request call("SCardListReadersA");
    if (state == service::seeded) {
        return seeded_service::list_readers(hContext, mszGroups, mszReaders, pcchReaders);
    }
    const bool allocate = pcchReaders != nullptr && *pcchReaders == SCARD_AUTOALLOCATE;
    log_line("SCardListReadersA(%#lx%s)", static_cast<unsigned long>(hContext),
             allocate ? ", SCARD_AUTOALLOCATE" : "");
    if (!open_context(hContext, "SCardListReadersA")) return SCARD_E_INVALID_HANDLE;
    if (pcchReaders == nullptr || (allocate && mszReaders == nullptr)) {
        log_line("violation: SCardListReadersA without a length, or nowhere to put the list");
        return SCARD_E_INVALID_PARAMETER;
    }
    if (readers.empty()) return SCARD_E_NO_READERS_AVAILABLE;
    std::string names;
    for (const reader& one : readers) names.append(one.name).push_back('\0');
    names.push_back('\0');
    const auto size = static_cast<DWORD>(names.size());
    if (!allocate) {
        // Real winscard fills a caller's buffer too; the library never asks.
        log_line("script error: only SCARD_AUTOALLOCATE lists are served");
        return SCARD_E_INVALID_PARAMETER;
    }
    void* block = HeapAlloc(GetProcessHeap(), 0, size);
    if (block == nullptr) return SCARD_E_NO_MEMORY;
    std::memcpy(block, names.data(), size);
    allocations[block] = hContext;
    *reinterpret_cast<LPSTR*>(mszReaders) = static_cast<LPSTR>(block);
    log_line("  memory %p", block);
    *pcchReaders = size;
    return SCARD_S_SUCCESS;
}

LONG WINAPI SCardFreeMemory(SCARDCONTEXT hContext, LPCVOID pvMem) {
    request call("SCardFreeMemory");
    if (state == service::seeded) return seeded_service::free_memory(hContext, pvMem);
    log_line("SCardFreeMemory(%#lx, %p)", static_cast<unsigned long>(hContext), pvMem);
    if (!open_context(hContext, "SCardFreeMemory")) return SCARD_E_INVALID_HANDLE;
    const auto block = allocations.find(const_cast<void*>(pvMem));
    if (block == allocations.end() || block->second != hContext) {
        log_line("violation: SCardFreeMemory given %p, not memory this context handed out", pvMem);
        return SCARD_E_INVALID_PARAMETER;
    }
    HeapFree(GetProcessHeap(), 0, block->first);
    allocations.erase(block);
    return SCARD_S_SUCCESS;
}

LONG WINAPI SCardGetStatusChangeA(SCARDCONTEXT hContext, DWORD dwTimeout,
                                  LPSCARD_READERSTATEA rgReaderStates, DWORD cReaders) {
    request call("SCardGetStatusChangeA");
    if (state == service::seeded) {
        return seeded_service::get_status_change(hContext, dwTimeout, rgReaderStates, cReaders);
    }
    log_line("SCardGetStatusChangeA(%#lx, timeout %lu, %lu readers)",
             static_cast<unsigned long>(hContext), dwTimeout, cReaders);
    if (!open_context(hContext, "SCardGetStatusChangeA")) return SCARD_E_INVALID_HANDLE;
    if (cReaders != 0 && rgReaderStates == nullptr) {
        log_line("violation: SCardGetStatusChangeA without its reader states");
        return SCARD_E_INVALID_PARAMETER;
    }
    for (DWORD waited = 0;;) {
        bool changed = false;
        for (DWORD i = 0; i < cReaders; ++i) {
            SCARD_READERSTATEA& entry = rgReaderStates[i];
            DWORD now = static_cast<DWORD>(readers.size()) << 16;
            entry.cbAtr = 0;
            if (entry.szReader != nullptr && std::strcmp(entry.szReader, pnp_notification) == 0) {
                // Readers never come or go here.
                const bool differs = entry.dwCurrentState == SCARD_STATE_UNAWARE ||
                                     (entry.dwCurrentState >> 16) != (now >> 16);
                entry.dwEventState = now | (differs ? SCARD_STATE_CHANGED : 0);
                changed = changed || differs;
                continue;
            }
            const reader* one = find_reader(entry.szReader, nullptr);
            if (one == nullptr) return SCARD_E_UNKNOWN_READER;
            now = (one->card == card_kind::empty ? SCARD_STATE_EMPTY : SCARD_STATE_PRESENT) |
                  (one->events << 16);
            const bool differs = entry.dwCurrentState == SCARD_STATE_UNAWARE ||
                                 (entry.dwCurrentState & ~SCARD_STATE_CHANGED) != now;
            entry.dwEventState = now | (differs ? SCARD_STATE_CHANGED : 0);
            if ((now & SCARD_STATE_PRESENT) != 0) {
                entry.cbAtr = sizeof card_atr;
                std::memcpy(entry.rgbAtr, card_atr, sizeof card_atr);
            }
            changed = changed || differs;
        }
        if (changed || waited >= dwTimeout) {
            for (DWORD i = 0; i < cReaders; ++i) {
                log_line("  \"%s\": current %#lx, event %#lx", rgReaderStates[i].szReader,
                         rgReaderStates[i].dwCurrentState, rgReaderStates[i].dwEventState);
            }
            if (waited != 0) log_line("  after %lu ms", waited);
            return changed ? SCARD_S_SUCCESS : SCARD_E_TIMEOUT;
        }
        if (dwTimeout == INFINITE) call.never_answer();
        const DWORD slice = std::min<DWORD>(20, dwTimeout - waited);
        call.pause(slice);
        waited += slice;
    }
}

LONG WINAPI SCardConnectA(SCARDCONTEXT hContext, LPCSTR szReader, DWORD dwShareMode,
                          DWORD dwPreferredProtocols, LPSCARDHANDLE phCard,
                          LPDWORD pdwActiveProtocol) {
    request call("SCardConnectA");
    if (state == service::seeded) {
        return seeded_service::connect(hContext, szReader, dwShareMode, dwPreferredProtocols,
                                       phCard, pdwActiveProtocol);
    }
    log_line("SCardConnectA(%#lx, \"%s\", share %lu, protocols %#lx)",
             static_cast<unsigned long>(hContext), szReader != nullptr ? szReader : "(null)",
             dwShareMode, dwPreferredProtocols);
    if (!open_context(hContext, "SCardConnectA")) return SCARD_E_INVALID_HANDLE;
    if (phCard == nullptr || pdwActiveProtocol == nullptr) {
        log_line("violation: SCardConnectA without a handle and a protocol to fill");
        return SCARD_E_INVALID_PARAMETER;
    }
    std::size_t index = 0;
    const reader* one = find_reader(szReader, &index);
    if (one == nullptr) return SCARD_E_UNKNOWN_READER;
    if (one->card == card_kind::empty) return SCARD_E_NO_SMARTCARD;
    if (one->card == card_kind::refuse) return SCARD_E_SHARING_VIOLATION;
    if ((dwPreferredProtocols & one->protocol) == 0) return SCARD_E_PROTO_MISMATCH;
    *phCard = ++next_handle;
    *pdwActiveProtocol = one->protocol;
    cards[*phCard] = connection{hContext, index, one->protocol};
    log_line("  card %#lx, %s", static_cast<unsigned long>(*phCard), protocol_name(one->protocol));
    return SCARD_S_SUCCESS;
}

LONG WINAPI SCardDisconnect(SCARDHANDLE hCard, DWORD dwDisposition) {
    request call("SCardDisconnect");
    if (state == service::seeded) return seeded_service::disconnect(hCard, dwDisposition);
    log_line("SCardDisconnect(%#lx, disposition %lu)", static_cast<unsigned long>(hCard),
             dwDisposition);
    if (cards.erase(hCard) == 0) {
        log_line("violation: SCardDisconnect given card %#lx, which is not connected",
                 static_cast<unsigned long>(hCard));
        return SCARD_E_INVALID_HANDLE;
    }
    return SCARD_S_SUCCESS;
}

LONG WINAPI SCardTransmit(SCARDHANDLE hCard, LPCSCARD_IO_REQUEST pioSendPci, LPCBYTE pbSendBuffer,
                          DWORD cbSendLength, LPSCARD_IO_REQUEST pioRecvPci, LPBYTE pbRecvBuffer,
                          LPDWORD pcbRecvLength) {
    request call("SCardTransmit");
    if (state == service::seeded) {
        return seeded_service::transmit(hCard, pioSendPci, pbSendBuffer, cbSendLength, pioRecvPci,
                                        pbRecvBuffer, pcbRecvLength);
    }
    log_line("SCardTransmit(%#lx, %lu bytes)", static_cast<unsigned long>(hCard), cbSendLength);
    const auto card = cards.find(hCard);
    if (card == cards.end()) {
        log_line("violation: SCardTransmit given card %#lx, which is not connected",
                 static_cast<unsigned long>(hCard));
        return SCARD_E_INVALID_HANDLE;
    }
    if (pioSendPci == nullptr || pioSendPci->dwProtocol != card->second.protocol ||
        pioSendPci->cbPciLength < sizeof(SCARD_IO_REQUEST)) {
        log_line(
            "violation: SCardTransmit's protocol control structure (%s) does not match the "
            "card's protocol %s",
            pioSendPci == nullptr ? "none" : protocol_name(pioSendPci->dwProtocol),
            protocol_name(card->second.protocol));
        return SCARD_E_INVALID_PARAMETER;
    }
    if (pbSendBuffer == nullptr || cbSendLength == 0 || pbRecvBuffer == nullptr ||
        pcbRecvLength == nullptr) {
        log_line("violation: SCardTransmit without a command or room for the answer");
        return SCARD_E_INVALID_PARAMETER;
    }
    const reader& one = readers[card->second.reader];
    if (one.card == card_kind::transmit_error) return SCARD_E_COMM_DATA_LOST;
    if (one.card == card_kind::mute) call.never_answer();
    std::string answer = one.answer;
    if (one.card == card_kind::uid) {
        const bool asks_uid = cbSendLength == sizeof get_uid &&
                              std::memcmp(pbSendBuffer, get_uid, sizeof get_uid) == 0;
        answer = asks_uid ? one.answer + std::string("\x90\x00", 2) : std::string("\x6D\x00", 2);
    }
    if (*pcbRecvLength < answer.size()) {
        *pcbRecvLength = static_cast<DWORD>(answer.size());
        return SCARD_E_INSUFFICIENT_BUFFER;
    }
    std::memcpy(pbRecvBuffer, answer.data(), answer.size());
    *pcbRecvLength = static_cast<DWORD>(answer.size());
    return SCARD_S_SUCCESS;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        wchar_t path[MAX_PATH];
        const DWORD size = GetModuleFileNameW(instance, path, MAX_PATH);
        std::wstring log_path(path, size);
        log_path.resize(log_path.find_last_of(L'\\') + 1);
        log_path += L"winscard.log";
        log_file =
            CreateFileW(log_path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        service_lock = CreateSemaphoreW(nullptr, 1, 1, nullptr);
        if (log_file == INVALID_HANDLE_VALUE || service_lock == nullptr) return FALSE;
        log_line("loaded");
        load_script();
    } else if (reason == DLL_PROCESS_DETACH) {
        const bool exiting = reserved != nullptr;
        const char* blocked = blocked_call;
        if (blocked != nullptr && !exiting) {
            log_line("violation: unloaded by FreeLibrary while %s has not returned", blocked);
        }
        if (blocked != nullptr) log_line("detach: waiting for the lock %s holds", blocked);
        WaitForSingleObject(service_lock, INFINITE);
        for (const SCARDCONTEXT context : contexts) {
            log_line("violation: context %#lx never released", static_cast<unsigned long>(context));
        }
        for (const auto& card : cards) {
            log_line("violation: card %#lx never disconnected",
                     static_cast<unsigned long>(card.first));
        }
        for (const auto& block : allocations) {
            log_line("violation: memory %p never given back through SCardFreeMemory", block.first);
        }
        if (state == service::seeded) seeded_service::check_at_unload();
        log_line(exiting ? "unloaded at process exit" : "unloaded");
        CloseHandle(log_file);
    }
    return TRUE;
}
