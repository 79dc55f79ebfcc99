#include "seeded_service.hpp"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <type_traits>

namespace seeded_service {

namespace {

// splitmix64: small, fast, and the same sequence on every platform.
class stream {
  public:
    void seed(std::uint64_t value) noexcept { state_ = value; }

    std::uint64_t next() noexcept {
        std::uint64_t z = state_ += 0x9E3779B97F4A7C15ULL;
        z = (z ^ (z >> 30U)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27U)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31U);
    }
    unsigned below(unsigned n) noexcept { return static_cast<unsigned>(next() % n); }
    bool percent(unsigned p) noexcept { return below(100) < p; }
    template <typename T, std::size_t N>
    T pick(const T (&from)[N]) noexcept {
        return from[below(static_cast<unsigned>(N))];
    }

  private:
    std::uint64_t state_ = 0;
};

// A mutex that is never destroyed: nothing here may be, at exit or at the
// DLL's unload, while a thread left inside a call may still hold or wait for
// it (a real client library's clean-up is what the library under test must
// keep away from). Constructed by start(), before any call.
class lasting_mutex {
  public:
    void construct() noexcept { new (bytes_) std::mutex; }
    void lock() { get().lock(); }
    void unlock() { get().unlock(); }

  private:
    std::mutex& get() noexcept { return *std::launder(reinterpret_cast<std::mutex*>(bytes_)); }
    alignas(std::mutex) unsigned char bytes_[sizeof(std::mutex)];
};

// More readers than a client may ask about at once (16), and names longer
// than a real service gives (127 characters).
constexpr std::size_t max_listed = 24;
constexpr std::size_t max_name = 200;
constexpr std::size_t max_reads = 64;
constexpr std::size_t max_cards = 128;
constexpr std::size_t max_blocks = 4;
constexpr std::size_t max_uid = 10;

enum class card_kind { empty, uid, token, mute, exclusive, vanishing };

struct reader_slot {
    char name[max_name + 1];
    bool gone;  // removed from the service since it was listed
    card_kind card;
    unsigned char uid[max_uid];
    std::size_t uid_size;
    unsigned char status_word[2];
    DWORD protocol;
};

// One context, and so one read.
struct read_slot {
    bool open;
    SCARDCONTEXT handle;
    unsigned number;
    stream draws;
    lasting_mutex lock;
    std::size_t readers;
    reader_slot reader[max_listed];
    void* blocks[max_blocks];
};

struct card_slot {
    bool connected;
    bool disconnect_failed;  // the service kept the card; releasing the context drops it
    SCARDHANDLE handle;
    read_slot* read;
    std::size_t reader;
    DWORD protocol;
};

// Plain data only, destroyed by nobody either.
static_assert(std::is_trivially_destructible_v<read_slot>);
static_assert(std::is_trivially_destructible_v<card_slot>);

// Held by SCardEstablishContext throughout, and briefly by every other call
// to find its context or card, as a real client library's global lock is.
lasting_mutex service_lock;
hooks out;
std::uint64_t run_seed = 0;
unsigned late_scale_ms = 0;
unsigned reads_begun = 0;
std::atomic<unsigned long> handles_given{0};
read_slot reads[max_reads];
card_slot cards[max_cards];
std::atomic<int> in_progress{0};

void event(const char* format, ...) noexcept {
    if (out.log == nullptr) return;
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    out.log(line);
}

// Handles and error codes as the log shows them.
template <typename T>
unsigned long shown(T value) noexcept {
    return static_cast<unsigned long>(value);
}

// Handles a real service may give: most in one range, a few odd (negative
// as the platform's type takes it, or high), never one in use.
template <typename Handle>
Handle new_handle(bool odd) noexcept {
    const unsigned long given = ++handles_given;
    if (odd) return static_cast<Handle>(0UL - given);
    return static_cast<Handle>(0x5C000000UL + given);
}

// An odd handle for a new context or card, under the service lock: now and
// then 0, which is a handle like any other, when no other holds it.
template <typename Handle, typename Slots, typename Live>
Handle odd_handle(stream& draws, const Slots& slots, Live live) noexcept {
    bool zero_free = draws.percent(40);
    for (const auto& slot : slots) zero_free = zero_free && !(live(slot) && slot.handle == 0);
    return zero_free ? Handle{0} : new_handle<Handle>(true);
}

enum class action { normal, error, odd, never };

const char* action_name(action what) noexcept {
    switch (what) {
        case action::normal:
            return "normal";
        case action::error:
            return "error";
        case action::odd:
            return "odd";
        default:
            return "never";
    }
}

// One call in progress, counted until it returns.
class call {
  public:
    explicit call(const char* name) noexcept : name_(name) { ++in_progress; }
    call(const call&) = delete;
    call& operator=(const call&) = delete;
    ~call() { --in_progress; }

    // Draws what this call does from the read's stream: waits first if it
    // is late, and never returns if it never answers.
    action draw(stream& draws, unsigned read) noexcept {
        const unsigned p = draws.below(100);
        const action what = p < 3    ? action::never
                            : p < 17 ? action::error
                            : p < 35 ? action::odd
                                     : action::normal;
        unsigned late = 0;
        if (draws.percent(15)) {
            const unsigned kind = draws.below(100);
            if (kind < 60) {
                late = 1 + draws.below(30);
            } else if (kind < 85) {
                late = 1 + draws.below(late_scale_ms * 9 / 10 + 1);
            } else {
                late = late_scale_ms + draws.below(late_scale_ms * 6 / 10 + 1);
            }
        }
        if (what == action::never) {
            event("%s read %u: never answering", name_, read);
            out.never_answer(name_);
            for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
        }
        if (late != 0) {
            event("%s read %u: answering after %u ms (%s)", name_, read, late, action_name(what));
            std::this_thread::sleep_for(std::chrono::milliseconds(late));
        }
        return what;
    }

    [[nodiscard]] const char* name() const noexcept { return name_; }

  private:
    const char* name_;
};

LONG violation(const char* format, ...) noexcept {
    char text[768];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    event("violation: %s", text);
    return SCARD_E_INVALID_PARAMETER;
}

// The open context `handle`, locked for the call; null (and a violation
// logged) if there is none.
read_slot* find_read(SCARDCONTEXT handle, const char* name,
                     std::unique_lock<lasting_mutex>& locked) noexcept {
    read_slot* found = nullptr;
    {
        const std::lock_guard<lasting_mutex> service(service_lock);
        for (read_slot& read : reads) {
            if (read.open && read.handle == handle) found = &read;
        }
    }
    if (found == nullptr) {
        violation("%s given context %#lx, which is not open", name, shown(handle));
        return nullptr;
    }
    locked = std::unique_lock<lasting_mutex>(found->lock);
    return found;
}

card_slot* find_card(SCARDHANDLE handle, const char* name,
                     std::unique_lock<lasting_mutex>& locked) noexcept {
    card_slot* found = nullptr;
    {
        const std::lock_guard<lasting_mutex> service(service_lock);
        for (card_slot& card : cards) {
            if (card.connected && card.handle == handle) found = &card;
        }
    }
    if (found == nullptr) {
        violation("%s given card %#lx, which is not connected", name, shown(handle));
        return nullptr;
    }
    locked = std::unique_lock<lasting_mutex>(found->read->lock);
    return found;
}

// --- The readers and cards a read finds -------------------------------------

const char* const plain_names[] = {"Contactless Reader", "Keyboard Smart Card Reader",
                                   "Security Token", "Desk Reader [CCID Interface]",
                                   "Dual Interface Reader (PICC)"};

// GBK, UTF-8, bytes that are neither, and a blank.
const char* const odd_names[] = {"\xB6\xC1\xBF\xA8\xC6\xF7 00 00", "Lecteur \xC3\xA9tage 2",
                                 "Lecteur \xE9tage 2", "\xFF\xFE\x80 reader", " "};

void draw_card(stream& draws, reader_slot& reader) noexcept {
    const unsigned p = draws.below(100);
    reader.card = p < 30   ? card_kind::empty
                  : p < 72 ? card_kind::uid
                  : p < 85 ? card_kind::token
                  : p < 90 ? card_kind::mute
                  : p < 95 ? card_kind::exclusive
                           : card_kind::vanishing;
    const std::size_t sizes[] = {4, 4, 7, 7, 7, 8, 10};
    reader.uid_size = draws.pick(sizes);
    for (std::size_t i = 0; i < reader.uid_size; ++i) {
        reader.uid[i] = static_cast<unsigned char>(draws.below(256));
    }
    const unsigned char refusals[][2] = {{0x6D, 0x00}, {0x6A, 0x81}, {0x6E, 0x00}, {0x69, 0x86}};
    std::memcpy(reader.status_word, refusals[draws.below(4)], 2);
    reader.protocol = draws.percent(70) ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0;
}

void set_name(reader_slot& reader, const char* text) noexcept {
    std::snprintf(reader.name, sizeof reader.name, "%s", text);
}

// The reader's name made `size` characters long, repeating it as needed.
void resize_name(reader_slot& reader, std::size_t size) noexcept {
    char base[max_name + 1];
    std::memcpy(base, reader.name, sizeof base);
    const std::size_t length = std::strlen(base);
    std::memset(reader.name, 0, sizeof reader.name);
    for (std::size_t i = 0; i < size && i < max_name && length != 0; ++i) {
        reader.name[i] = base[i % length];
    }
}

// The service's readers for a new list; returns how the list is written.
enum class list_shape {
    plain,
    unterminated,   // the last name's NUL and the final NUL are past the size
    no_final_nul,   // every name ends, the list does not
    cut_in_a_name,  // the size ends inside the second name
    empty_first,    // an empty name first: the list ends before any reader
    trailing_junk,  // bytes after the final NUL, within the size
    size_zero,      // success, and a size of 0
};

list_shape draw_readers(stream& draws, read_slot& read, bool odd, char* description,
                        std::size_t room) noexcept {
    list_shape shape = list_shape::plain;
    std::size_t count = 1 + draws.below(4);
    const char* what = "plain";
    const unsigned kind = odd ? draws.below(10) : 100;
    if (kind == 0) {
        count = 17 + draws.below(static_cast<unsigned>(max_listed - 16));
        what = "more readers than the cap";
    }
    for (std::size_t i = 0; i < count; ++i) {
        reader_slot& reader = read.reader[i];
        reader = reader_slot{};
        char name[max_name + 1];
        std::snprintf(name, sizeof name, "%s %02u 00", draws.pick(plain_names),
                      static_cast<unsigned>(i));
        set_name(reader, name);
        draw_card(draws, reader);
    }
    read.readers = count;
    reader_slot& first = read.reader[0];
    switch (kind) {
        case 1:
            shape = list_shape::unterminated;
            what = "unterminated";
            break;
        case 2:
            shape = list_shape::no_final_nul;
            what = "no final NUL";
            break;
        case 3:
            shape = count > 1 ? list_shape::cut_in_a_name : list_shape::unterminated;
            what = "size ending inside a name";
            break;
        case 4:
            shape = list_shape::empty_first;
            what = "an empty name first";
            break;
        case 5:
            shape = list_shape::trailing_junk;
            what = "bytes after the final NUL";
            break;
        case 6:
            shape = list_shape::size_zero;
            what = "size 0";
            break;
        case 7: {
            const std::size_t sizes[] = {1, 126, 127, 128, 129, max_name};
            resize_name(first, draws.pick(sizes));
            what = "a name of odd length";
            break;
        }
        case 8:
            set_name(first, draws.pick(odd_names));
            what = "a name of odd bytes";
            break;
        case 9:
            if (count > 1) set_name(read.reader[count - 1], first.name);
            what = "the same name twice";
            break;
        default:
            break;
    }
    std::snprintf(description, room, "%u readers, %s", static_cast<unsigned>(count), what);
    return shape;
}

// Writes the multi-string for the read's readers into `into` (room for
// max_listed full names) as `shape` says; returns the size to declare.
std::size_t write_list(const read_slot& read, list_shape shape, char* into) noexcept {
    std::size_t at = 0;
    std::size_t second_name = 0;
    if (shape == list_shape::empty_first) into[at++] = '\0';
    for (std::size_t i = 0; i < read.readers; ++i) {
        if (i == 1) second_name = at;
        const std::size_t length = std::strlen(read.reader[i].name);
        std::memcpy(into + at, read.reader[i].name, length + 1);
        at += length + 1;
    }
    into[at++] = '\0';
    switch (shape) {
        case list_shape::unterminated:
            return at - 2;
        case list_shape::no_final_nul:
            return at - 1;
        case list_shape::cut_in_a_name:
            return second_name + 3;
        case list_shape::trailing_junk:
            std::memcpy(into + at, "junk", 5);
            return at + 5;
        case list_shape::size_zero:
            return 0;
        default:
            return at;
    }
}

reader_slot* find_reader(read_slot& read, const char* name) noexcept {
    for (std::size_t i = 0; i < read.readers; ++i) {
        if (!read.reader[i].gone && std::strcmp(read.reader[i].name, name) == 0) {
            return &read.reader[i];
        }
    }
    return nullptr;
}

const LONG service_errors[] = {SCARD_E_NO_SERVICE, SCARD_E_SERVICE_STOPPED, SCARD_F_COMM_ERROR,
                               SCARD_E_NO_MEMORY, SCARD_F_INTERNAL_ERROR};

// A UID and 90 00, with its length, left where an answer goes when the call
// fails: a caller that took it would report a number nobody answered.
void scribble_answer(stream& draws, unsigned char* into, LPDWORD size) noexcept {
    const unsigned char fake[] = {0x0B, 0xAD, 0xCA, 0xFE, 0x90, 0x00};
    if (draws.percent(70) && *size >= sizeof fake) {
        std::memcpy(into, fake, sizeof fake);
        *size = sizeof fake;
    }
}

}  // namespace

void start(std::uint64_t seed, unsigned late_ms, unsigned reads_before, hooks with) noexcept {
    service_lock.construct();
    for (read_slot& read : reads) read.lock.construct();
    out = with;
    run_seed = seed;
    late_scale_ms = late_ms == 0 ? 1 : late_ms;
    reads_begun = reads_before;
    event("seed %llu, late answers on a scale of %u ms", static_cast<unsigned long long>(seed),
          late_scale_ms);
}

LONG establish_context(DWORD scope, LPCVOID reserved1, LPCVOID reserved2,
                       LPSCARDCONTEXT context) noexcept {
    call here("SCardEstablishContext");
    const std::lock_guard<lasting_mutex> service(service_lock);
    const unsigned number = ++reads_begun;
    if (context == nullptr || reserved1 != nullptr || reserved2 != nullptr) {
        return violation("SCardEstablishContext needs reserved NULLs and a handle to fill");
    }
    if (scope != SCARD_SCOPE_USER && scope != SCARD_SCOPE_SYSTEM) return SCARD_E_INVALID_VALUE;
    stream draws;
    draws.seed(run_seed * 0x2545F4914F6CDD1DULL + number);
    const action what = here.draw(draws, number);
    if (what == action::error) {
        const LONG error = draws.pick(service_errors);
        event("SCardEstablishContext read %u: error %#lx", number, shown(error));
        return error;
    }
    read_slot* free_slot = nullptr;
    for (read_slot& read : reads) {
        if (!read.open && free_slot == nullptr) free_slot = &read;
    }
    if (free_slot == nullptr) {
        event("SCardEstablishContext read %u: no room for another context", number);
        return SCARD_E_NO_MEMORY;
    }
    const SCARDCONTEXT handle =
        what == action::odd
            ? odd_handle<SCARDCONTEXT>(draws, reads, [](const read_slot& r) { return r.open; })
            : new_handle<SCARDCONTEXT>(false);
    const std::lock_guard<lasting_mutex> read_lock(free_slot->lock);
    free_slot->open = true;
    free_slot->handle = handle;
    free_slot->number = number;
    free_slot->draws = draws;
    free_slot->readers = 0;
    std::memset(free_slot->blocks, 0, sizeof free_slot->blocks);
    *context = handle;
    event("SCardEstablishContext read %u: context %#lx", number, shown(*context));
    return SCARD_S_SUCCESS;
}

LONG release_context(SCARDCONTEXT context) noexcept {
    call here("SCardReleaseContext");
    std::unique_lock<lasting_mutex> locked;
    read_slot* read = find_read(context, here.name(), locked);
    if (read == nullptr) return SCARD_E_INVALID_HANDLE;
    const action what = here.draw(read->draws, read->number);
    {
        const std::lock_guard<lasting_mutex> service(service_lock);
        for (card_slot& card : cards) {
            if (card.connected && card.read == read) {
                if (!card.disconnect_failed) {
                    violation("context %#lx released while card %#lx is connected", shown(context),
                              shown(card.handle));
                }
                card.connected = false;
            }
        }
        for (void*& block : read->blocks) {
            if (block != nullptr) {
                violation("context %#lx released before its list %p was freed", shown(context),
                          block);
                std::free(block);
                block = nullptr;
            }
        }
        read->open = false;
    }
    // Released whatever it answers: the client forgets the context.
    const LONG result = what == action::error ? read->draws.pick(service_errors) : SCARD_S_SUCCESS;
    event("SCardReleaseContext read %u: %#lx", read->number, shown(result));
    return result;
}

LONG list_readers(SCARDCONTEXT context, LPCSTR /*groups*/, LPSTR readers, LPDWORD size) noexcept {
    call here("SCardListReaders");
    std::unique_lock<lasting_mutex> locked;
    read_slot* read = find_read(context, here.name(), locked);
    if (read == nullptr) return SCARD_E_INVALID_HANDLE;
    if (size == nullptr) return violation("SCardListReaders without a size");
    const bool allocate = *size == SCARD_AUTOALLOCATE;
    if (allocate && readers == nullptr) {
        return violation("SCardListReaders with SCARD_AUTOALLOCATE and nowhere to put the list");
    }
    stream& draws = read->draws;
    const action what = here.draw(draws, read->number);
    if (what == action::error) {
        const LONG errors[] = {SCARD_E_NO_READERS_AVAILABLE, SCARD_E_NO_READERS_AVAILABLE,
                               SCARD_E_NO_SERVICE,           SCARD_E_SERVICE_STOPPED,
                               SCARD_F_COMM_ERROR,           SCARD_E_NO_MEMORY,
                               SCARD_E_INVALID_HANDLE,       SCARD_E_READER_UNAVAILABLE};
        const LONG error = draws.pick(errors);
        if (!allocate && draws.percent(50)) *size = 1 + draws.below(64);
        event("SCardListReaders read %u: error %#lx", read->number, shown(error));
        return error;
    }
    char description[96];
    const list_shape shape =
        draw_readers(draws, *read, what == action::odd, description, sizeof description);
    char list[max_listed * (max_name + 1) + 8];
    const std::size_t declared = write_list(*read, shape, list);
    if (allocate) {
        std::size_t slot = 0;
        while (slot < max_blocks && read->blocks[slot] != nullptr) ++slot;
        if (slot == max_blocks) {
            violation("SCardListReaders: %u lists of context %#lx never freed",
                      static_cast<unsigned>(max_blocks), shown(context));
            return SCARD_E_NO_MEMORY;
        }
        // Exactly the size declared (one byte for size 0): a caller that
        // reads past it reads past the allocation.
        void* block = std::malloc(declared == 0 ? 1 : declared);
        if (block == nullptr) return SCARD_E_NO_MEMORY;
        std::memcpy(block, list, declared == 0 ? 1 : declared);
        read->blocks[slot] = block;
        *reinterpret_cast<LPSTR*>(readers) = static_cast<LPSTR>(block);
    } else if (readers != nullptr) {
        if (*size < declared) {
            *size = static_cast<DWORD>(declared);
            return SCARD_E_INSUFFICIENT_BUFFER;
        }
        std::memcpy(readers, list, declared);
    }
    *size = static_cast<DWORD>(declared);
    event("SCardListReaders read %u: %s, size %u", read->number, description,
          static_cast<unsigned>(declared));
    return SCARD_S_SUCCESS;
}

LONG free_memory(SCARDCONTEXT context, LPCVOID memory) noexcept {
    // Client-side only in a real library: it neither fails nor waits.
    call here("SCardFreeMemory");
    const std::lock_guard<lasting_mutex> service(service_lock);
    for (read_slot& read : reads) {
        if (!read.open || read.handle != context) continue;
        for (void*& block : read.blocks) {
            if (block != nullptr && block == memory) {
                std::free(block);
                block = nullptr;
                return SCARD_S_SUCCESS;
            }
        }
        violation("SCardFreeMemory given %p, which context %#lx did not hand out", memory,
                  shown(context));
        return SCARD_E_INVALID_PARAMETER;
    }
    violation("SCardFreeMemory given context %#lx, which is not open", shown(context));
    return SCARD_E_INVALID_HANDLE;
}

LONG get_status_change(SCARDCONTEXT context, DWORD timeout, SCARD_READERSTATE* states,
                       DWORD count) noexcept {
    call here("SCardGetStatusChange");
    std::unique_lock<lasting_mutex> locked;
    read_slot* read = find_read(context, here.name(), locked);
    if (read == nullptr) return SCARD_E_INVALID_HANDLE;
    if (count != 0 && states == nullptr) return violation("SCardGetStatusChange without states");
    if (count > 16) {
        return violation(
            "SCardGetStatusChange asked about %lu readers, over the 16 a context "
            "may ask about",
            static_cast<unsigned long>(count));
    }
    if (timeout != 0) {
        violation("SCardGetStatusChange waits up to %lu ms for a change",
                  static_cast<unsigned long>(timeout));
    }
    for (DWORD i = 0; i < count; ++i) {
        if (states[i].szReader == nullptr) return violation("SCardGetStatusChange: no name");
    }
    stream& draws = read->draws;
    const action what = here.draw(draws, read->number);
    if (what == action::error) {
        const LONG errors[] = {
            SCARD_E_TIMEOUT,         SCARD_E_UNKNOWN_READER,       SCARD_E_NO_SERVICE,
            SCARD_E_SERVICE_STOPPED, SCARD_E_NO_READERS_AVAILABLE, SCARD_E_READER_UNAVAILABLE,
            SCARD_E_CANCELLED,       SCARD_F_COMM_ERROR,           SCARD_E_INVALID_HANDLE,
            SCARD_E_SYSTEM_CANCELLED};
        const LONG error = draws.pick(errors);
        // What a half-done answer leaves behind.
        for (DWORD i = 0; i < count; ++i) {
            if (draws.percent(50))
                states[i].dwEventState = SCARD_STATE_PRESENT | SCARD_STATE_CHANGED;
        }
        event("SCardGetStatusChange read %u: error %#lx", read->number, shown(error));
        return error;
    }
    const bool odd = what == action::odd;
    // Readers taken away (and perhaps others plugged in) since the list.
    if (odd && draws.percent(30)) {
        for (std::size_t i = 0; i < read->readers; ++i) {
            if (draws.percent(50)) read->reader[i].gone = true;
        }
        event("SCardGetStatusChange read %u: readers changed since the list", read->number);
    }
    bool unknown = false;
    for (DWORD i = 0; i < count; ++i) {
        SCARD_READERSTATE& entry = states[i];
        const reader_slot* reader = find_reader(*read, entry.szReader);
        entry.cbAtr = 0;
        if (reader == nullptr) {
            entry.dwEventState = SCARD_STATE_UNKNOWN | SCARD_STATE_CHANGED;
            unknown = true;
            continue;
        }
        DWORD state = SCARD_STATE_PRESENT;
        switch (reader->card) {
            case card_kind::empty:
                state = SCARD_STATE_EMPTY;
                break;
            case card_kind::mute:
                state |= SCARD_STATE_MUTE;
                break;
            case card_kind::exclusive:
                state |= SCARD_STATE_EXCLUSIVE | SCARD_STATE_INUSE;
                break;
            default:
                if (draws.percent(30)) state |= SCARD_STATE_INUSE;
                break;
        }
        // The event count in the upper half, as the service keeps it.
        state |= SCARD_STATE_CHANGED | (static_cast<DWORD>(draws.below(0x10000)) << 16U);
        if (reader->card != card_kind::empty) {
            const unsigned char atr[] = {0x3B, 0x8F, 0x80, 0x01, 0x80, 0x4F, 0x0C,
                                         0xA0, 0x00, 0x00, 0x03, 0x06, 0x03, 0x00,
                                         0x01, 0x00, 0x00, 0x00, 0x00, 0x6A};
            entry.cbAtr = 5 + draws.below(static_cast<unsigned>(sizeof atr) - 4);
            std::memcpy(entry.rgbAtr, atr, entry.cbAtr);
        }
        if (odd && draws.percent(50)) {
            const DWORD contradictions[] = {
                SCARD_STATE_PRESENT | SCARD_STATE_EMPTY,
                SCARD_STATE_PRESENT | SCARD_STATE_UNAVAILABLE,
                SCARD_STATE_PRESENT | SCARD_STATE_IGNORE,
                SCARD_STATE_PRESENT | SCARD_STATE_UNKNOWN,
                SCARD_STATE_PRESENT,  // no CHANGED though asked from UNAWARE
                SCARD_STATE_MUTE | SCARD_STATE_CHANGED,
                SCARD_STATE_UNAVAILABLE | SCARD_STATE_CHANGED,
                0,
                0xFFFF,
                ~static_cast<DWORD>(0),
            };
            state = draws.pick(contradictions);
            const DWORD atr_sizes[] = {0, static_cast<DWORD>(sizeof entry.rgbAtr) + 1, 255,
                                       ~static_cast<DWORD>(0)};
            std::memset(entry.rgbAtr, 0xFF, sizeof entry.rgbAtr);
            entry.cbAtr = draws.pick(atr_sizes);
        }
        entry.dwEventState = state;
    }
    // A real service either marks an unknown reader or refuses the call.
    if (unknown && draws.percent(50)) {
        event("SCardGetStatusChange read %u: unknown reader", read->number);
        return SCARD_E_UNKNOWN_READER;
    }
    // Cards taken away, or put on, between this answer and the connect.
    if (odd && draws.percent(30)) {
        for (std::size_t i = 0; i < read->readers; ++i) {
            reader_slot& reader = read->reader[i];
            if (draws.percent(50)) {
                reader.card =
                    reader.card == card_kind::empty ? card_kind::uid : card_kind::vanishing;
            }
        }
        event("SCardGetStatusChange read %u: cards changed after the answer", read->number);
    }
    event("SCardGetStatusChange read %u: %lu readers%s", read->number,
          static_cast<unsigned long>(count), odd ? ", odd" : "");
    return SCARD_S_SUCCESS;
}

LONG connect(SCARDCONTEXT context, LPCSTR reader_name, DWORD share_mode, DWORD protocols,
             LPSCARDHANDLE card, LPDWORD active_protocol) noexcept {
    call here("SCardConnect");
    std::unique_lock<lasting_mutex> locked;
    read_slot* read = find_read(context, here.name(), locked);
    if (read == nullptr) return SCARD_E_INVALID_HANDLE;
    if (reader_name == nullptr || card == nullptr || active_protocol == nullptr) {
        return violation("SCardConnect without a reader, or a handle and protocol to fill");
    }
    if (share_mode != SCARD_SHARE_SHARED) {
        violation("SCardConnect with share mode %lu: another program's read would fail",
                  static_cast<unsigned long>(share_mode));
    }
    stream& draws = read->draws;
    const action what = here.draw(draws, read->number);
    if (what == action::error) {
        const LONG errors[] = {
            SCARD_E_NO_SMARTCARD,       SCARD_W_REMOVED_CARD,       SCARD_W_UNRESPONSIVE_CARD,
            SCARD_W_UNPOWERED_CARD,     SCARD_E_SHARING_VIOLATION,  SCARD_E_PROTO_MISMATCH,
            SCARD_E_READER_UNAVAILABLE, SCARD_E_UNKNOWN_READER,     SCARD_E_NO_SERVICE,
            SCARD_E_SERVICE_STOPPED,    SCARD_W_SECURITY_VIOLATION, SCARD_E_NO_ACCESS,
            SCARD_E_NOT_READY,          SCARD_F_COMM_ERROR,         SCARD_E_NO_MEMORY,
            SCARD_E_INVALID_HANDLE,     SCARD_W_UNSUPPORTED_CARD,   SCARD_E_CARD_UNSUPPORTED};
        const LONG error = draws.pick(errors);
        if (draws.percent(50)) {
            *card = new_handle<SCARDHANDLE>(false);
            *active_protocol = SCARD_PROTOCOL_T1;
        }
        event("SCardConnect read %u: error %#lx", read->number, shown(error));
        return error;
    }
    reader_slot* reader = find_reader(*read, reader_name);
    LONG refused = SCARD_S_SUCCESS;
    if (reader == nullptr) {
        refused = SCARD_E_UNKNOWN_READER;
    } else if (reader->card == card_kind::empty) {
        refused = SCARD_E_NO_SMARTCARD;
    } else if (reader->card == card_kind::vanishing) {
        refused = SCARD_W_REMOVED_CARD;
    } else if (reader->card == card_kind::mute) {
        refused = SCARD_W_UNRESPONSIVE_CARD;
    } else if (reader->card == card_kind::exclusive) {
        refused = SCARD_E_SHARING_VIOLATION;
    } else if ((protocols & reader->protocol) == 0) {
        refused = SCARD_E_PROTO_MISMATCH;
    }
    if (refused != SCARD_S_SUCCESS) {
        event("SCardConnect read %u: refused %#lx", read->number, shown(refused));
        return refused;
    }
    const std::lock_guard<lasting_mutex> service(service_lock);
    card_slot* slot = nullptr;
    for (card_slot& one : cards) {
        if (!one.connected && slot == nullptr) slot = &one;
    }
    if (slot == nullptr) return SCARD_E_NO_MEMORY;
    DWORD protocol = reader->protocol;
    if (what == action::odd) {
        const DWORD odd_protocols[] = {SCARD_PROTOCOL_RAW, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                                       SCARD_PROTOCOL_UNDEFINED, 0x10000};
        protocol = draws.pick(odd_protocols);
    }
    const SCARDHANDLE handle =
        what == action::odd
            ? odd_handle<SCARDHANDLE>(draws, cards, [](const card_slot& c) { return c.connected; })
            : new_handle<SCARDHANDLE>(false);
    *slot = card_slot{true,    false, handle, read, static_cast<std::size_t>(reader - read->reader),
                      protocol};
    *card = slot->handle;
    *active_protocol = protocol;
    event("SCardConnect read %u: card %#lx, protocol %#lx", read->number, shown(*card),
          static_cast<unsigned long>(protocol));
    return SCARD_S_SUCCESS;
}

LONG disconnect(SCARDHANDLE card, DWORD disposition) noexcept {
    call here("SCardDisconnect");
    std::unique_lock<lasting_mutex> locked;
    card_slot* slot = find_card(card, here.name(), locked);
    if (slot == nullptr) return SCARD_E_INVALID_HANDLE;
    if (disposition != SCARD_LEAVE_CARD) {
        violation("SCardDisconnect with disposition %lu: the card is reset under other programs",
                  static_cast<unsigned long>(disposition));
    }
    read_slot* read = slot->read;
    const action what = here.draw(read->draws, read->number);
    if (what == action::error) {
        const LONG errors[] = {SCARD_E_NO_SERVICE, SCARD_F_COMM_ERROR, SCARD_W_REMOVED_CARD,
                               SCARD_E_READER_UNAVAILABLE};
        const LONG error = read->draws.pick(errors);
        slot->disconnect_failed = true;
        event("SCardDisconnect read %u: error %#lx", read->number, shown(error));
        return error;
    }
    const std::lock_guard<lasting_mutex> service(service_lock);
    slot->connected = false;
    event("SCardDisconnect read %u: done", read->number);
    return SCARD_S_SUCCESS;
}

LONG transmit(SCARDHANDLE card, const SCARD_IO_REQUEST* send_pci, LPCBYTE command,
              DWORD command_size, SCARD_IO_REQUEST* /*receive_pci*/, LPBYTE response,
              LPDWORD response_size) noexcept {
    call here("SCardTransmit");
    std::unique_lock<lasting_mutex> locked;
    card_slot* slot = find_card(card, here.name(), locked);
    if (slot == nullptr) return SCARD_E_INVALID_HANDLE;
    if (send_pci == nullptr || send_pci->dwProtocol != slot->protocol ||
        send_pci->cbPciLength < sizeof(SCARD_IO_REQUEST)) {
        return violation(
            "SCardTransmit's protocol control structure does not match the card's "
            "protocol %#lx",
            static_cast<unsigned long>(slot->protocol));
    }
    if (command == nullptr || command_size == 0 || response == nullptr ||
        response_size == nullptr) {
        return violation("SCardTransmit without a command or room for the answer");
    }
    const unsigned char get_uid[] = {0xFF, 0xCA, 0x00, 0x00, 0x00};
    if (command_size != sizeof get_uid || std::memcmp(command, get_uid, sizeof get_uid) != 0) {
        violation("SCardTransmit sends %lu bytes that are not GET DATA for the UID",
                  static_cast<unsigned long>(command_size));
    }
    read_slot* read = slot->read;
    stream& draws = read->draws;
    const DWORD room = *response_size;
    const action what = here.draw(draws, read->number);
    if (what == action::error) {
        const LONG errors[] = {
            SCARD_W_REMOVED_CARD,   SCARD_W_RESET_CARD,        SCARD_E_NOT_TRANSACTED,
            SCARD_E_COMM_DATA_LOST, SCARD_E_NO_SERVICE,        SCARD_E_SERVICE_STOPPED,
            SCARD_E_PROTO_MISMATCH, SCARD_E_INVALID_HANDLE,    SCARD_E_READER_UNAVAILABLE,
            SCARD_F_COMM_ERROR,     SCARD_W_UNRESPONSIVE_CARD, SCARD_E_INVALID_VALUE,
            SCARD_W_UNPOWERED_CARD, SCARD_E_UNEXPECTED};
        const LONG error = draws.pick(errors);
        scribble_answer(draws, response, response_size);
        event("SCardTransmit read %u: error %#lx", read->number, shown(error));
        return error;
    }
    const reader_slot& reader = read->reader[slot->reader];
    unsigned char answer[300];
    std::size_t size = 0;
    const auto append = [&](const unsigned char* bytes, std::size_t count) {
        std::memcpy(answer + size, bytes, count);
        size += count;
    };
    const unsigned char ok[] = {0x90, 0x00};
    if (reader.card == card_kind::uid) {
        append(reader.uid, reader.uid_size);
        append(ok, 2);
    } else {
        append(reader.status_word, 2);
    }
    DWORD claimed = 0;
    if (what == action::odd) {
        size = 0;
        unsigned char uid[20];
        for (unsigned char& byte : uid) byte = static_cast<unsigned char>(draws.below(256));
        const unsigned char words[][2] = {{0x62, 0x82}, {0x90, 0x01}, {0x6A, 0x81}, {0x63, 0x00},
                                          {0x61, 0x10}, {0x6C, 0x07}, {0x91, 0x00}, {0x00, 0x90}};
        switch (draws.below(11)) {
            case 0:  // nothing at all
                break;
            case 1:
                append(ok, 1);
                break;
            case 2:
                append(ok, 2);
                break;
            case 3:  // too short for a UID
                append(uid, 1 + draws.below(3));
                append(ok, 2);
                break;
            case 4:  // a UID, and another status word
                append(uid, 4 + draws.below(7));
                append(words[draws.below(8)], 2);
                break;
            case 5:  // too long for a UID
                append(uid, 11 + draws.below(10));
                append(ok, 2);
                break;
            case 6:  // every byte of the room
                for (std::size_t i = 0; i < 256; ++i) answer[i] = static_cast<unsigned char>(i);
                size = 256;
                append(ok, 2);
                break;
            case 7:  // success, claiming more than the room given
                claimed = room + 1 + draws.below(2) * 0x10000;
                append(reader.uid, reader.uid_size);
                append(ok, 2);
                break;
            case 8: {  // the room is too small, says the service
                const DWORD needed = room + 1 + draws.below(40);
                *response_size = needed;
                event("SCardTransmit read %u: insufficient buffer, %lu bytes needed", read->number,
                      static_cast<unsigned long>(needed));
                return SCARD_E_INSUFFICIENT_BUFFER;
            }
            case 9:  // a UID with 90 00 twice
                append(uid, 4 + draws.below(3));
                append(ok, 2);
                append(ok, 2);
                break;
            default:  // a UID of another length than the card's
                append(uid, 4 + draws.below(7));
                append(ok, 2);
                break;
        }
    }
    if (claimed != 0) {
        std::memcpy(response, answer, size < room ? size : room);
        *response_size = claimed;
        event("SCardTransmit read %u: answer claims %lu bytes in room for %lu", read->number,
              static_cast<unsigned long>(claimed), static_cast<unsigned long>(room));
        return SCARD_S_SUCCESS;
    }
    if (size > room) {
        *response_size = static_cast<DWORD>(size);
        event("SCardTransmit read %u: insufficient buffer, %u bytes needed", read->number,
              static_cast<unsigned>(size));
        return SCARD_E_INSUFFICIENT_BUFFER;
    }
    std::memcpy(response, answer, size);
    *response_size = static_cast<DWORD>(size);
    char hex[2 * sizeof answer + 1] = {};
    for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(hex + 2 * i, 3, "%02X", static_cast<unsigned>(answer[i]));
    }
    event("answer %s", hex);
    return SCARD_S_SUCCESS;
}

void check_at_unload() noexcept {
    const int pending = in_progress.load();
    if (pending != 0) violation("unloaded while %d calls have not returned", pending);
    for (const read_slot& read : reads) {
        if (read.open)
            violation("context %#lx of read %u never released", shown(read.handle), read.number);
        for (void* block : read.blocks) {
            if (read.open && block != nullptr) violation("list %p never freed", block);
        }
    }
    for (const card_slot& card : cards) {
        if (card.connected && !card.disconnect_failed) {
            violation("card %#lx never disconnected", shown(card.handle));
        }
    }
}

}  // namespace seeded_service
