// OUR_IDR.dll over PC/SC: reads the UID of the card on the first reader, in
// PC/SC's order, whose card gives one. pcsc-lite and winscard share this API,
// so one file serves both.
//
// A read never waits for a card: it looks at the readers as they are, asks
// once, and releases everything it opened. Nor does it wait for a service,
// reader or card that stops answering: the read runs on a thread of its own
// and idr_read returns at the deadline whatever that thread is doing.
#include <winscard.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

#include "drivers/pcsc/bounded_thread.hpp"
#include "drivers/pcsc/outcome.hpp"

namespace {

namespace pcsc = vellicor::pcsc;
using pcsc::step;

class context {
  public:
    context() noexcept = default;
    context(const context&) = delete;
    context& operator=(const context&) = delete;
    ~context() {
        if (established_) SCardReleaseContext(handle_);
    }

    LONG establish() noexcept {
        const LONG rv = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &handle_);
        established_ = rv == SCARD_S_SUCCESS;
        return rv;
    }

    [[nodiscard]] SCARDCONTEXT get() const noexcept { return handle_; }

  private:
    SCARDCONTEXT handle_{};
    bool established_ = false;
};

// The reader names, in memory that the PC/SC library allocates (so no list is
// ever too long for our buffer) and that goes back to it.
class reader_names {
  public:
    explicit reader_names(SCARDCONTEXT service) noexcept : service_(service) {}
    reader_names(const reader_names&) = delete;
    reader_names& operator=(const reader_names&) = delete;
    ~reader_names() {
        if (names_ != nullptr) SCardFreeMemory(service_, names_);
    }

    LONG list() noexcept {
        size_ = SCARD_AUTOALLOCATE;
        // With SCARD_AUTOALLOCATE the buffer argument receives a pointer.
        const LONG rv =
            SCardListReaders(service_, nullptr, reinterpret_cast<LPSTR>(&names_), &size_);
        if (rv != SCARD_S_SUCCESS) {
            names_ = nullptr;
            size_ = 0;
        }
        return rv;
    }

    [[nodiscard]] const char* data() const noexcept { return names_; }
    [[nodiscard]] std::size_t size() const noexcept { return names_ == nullptr ? 0 : size_; }

  private:
    SCARDCONTEXT service_;
    LPSTR names_ = nullptr;
    DWORD size_ = 0;
};

class card {
  public:
    card() noexcept = default;
    card(const card&) = delete;
    card& operator=(const card&) = delete;
    ~card() {
        // Another program may be reading the same card right now: leave it
        // as it is rather than resetting it under them.
        if (connected_) SCardDisconnect(handle_, SCARD_LEAVE_CARD);
    }

    // Shared, never exclusive: two programs reading at once both succeed.
    LONG connect(SCARDCONTEXT service, const char* reader) noexcept {
        const LONG rv = SCardConnect(service, reader, SCARD_SHARE_SHARED,
                                     SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &handle_, &protocol_);
        connected_ = rv == SCARD_S_SUCCESS;
        return rv;
    }

    LONG transmit(const unsigned char* command, std::size_t command_size, unsigned char* response,
                  std::size_t* response_size) noexcept {
        const SCARD_IO_REQUEST send_pci{protocol_, static_cast<DWORD>(sizeof(SCARD_IO_REQUEST))};
        auto received = static_cast<DWORD>(*response_size);
        const LONG rv = SCardTransmit(handle_, &send_pci, command, static_cast<DWORD>(command_size),
                                      nullptr, response, &received);
        // Never trust a length larger than the buffer we gave.
        *response_size = rv == SCARD_S_SUCCESS && received <= *response_size ? received : 0;
        return rv;
    }

  private:
    SCARDHANDLE handle_{};
    DWORD protocol_ = 0;
    bool connected_ = false;
};

// One read, shared by the caller of idr_read and the thread doing it, and
// freed by whichever lets go last: a caller that stopped waiting must not
// free it under a thread still running. The thread fills a serial of its
// own; the caller's buffer may be gone by the time an abandoned thread wakes.
struct read_job : pcsc::task {
    std::atomic<int> holders{2};
    std::atomic<pcsc::progress> reached{pcsc::progress::asking_service};
    // Written before `reached` becomes decided, read only after.
    pcsc::read_status status = pcsc::status_no_card;
    unsigned char serial[5] = {};

    // Called at every return of the read, before its handles are released:
    // releasing may hang too, and the decision must not wait for it.
    pcsc::read_status decide(pcsc::read_status decided) noexcept {
        status = decided;
        reached.store(pcsc::progress::decided, std::memory_order_release);
        return decided;
    }

    static read_job* create(void (*run)(pcsc::task*) noexcept) noexcept {
        void* memory = std::malloc(sizeof(read_job));
        if (memory == nullptr) return nullptr;
        auto* job = new (memory) read_job;
        job->run = run;
        return job;
    }

    static void release(read_job* job) noexcept {
        if (job->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) discard(job);
    }

    // For a job that no thread ever took up: the caller is its only holder.
    static void discard(read_job* job) noexcept {
        job->~read_job();
        std::free(job);
    }
};

pcsc::read_status read_uid(read_job& job) noexcept {
    context service;
    LONG rv = service.establish();
    if (rv != SCARD_S_SUCCESS) {
        return job.decide(pcsc::status_after_failure(step::establish_context, rv));
    }

    reader_names readers(service.get());
    rv = readers.list();
    if (rv != SCARD_S_SUCCESS)
        return job.decide(pcsc::status_after_failure(step::list_readers, rv));
    job.reached.store(pcsc::progress::asking_readers, std::memory_order_release);

    // One question for every reader at once, answered at once (no waiting
    // for a change): which of them hold a card. Zeroed, each entry asks
    // from SCARD_STATE_UNAWARE.
    SCARD_READERSTATE states[pcsc::max_readers] = {};
    DWORD count = 0;
    for (std::size_t at = 0, length = 0;
         count < pcsc::max_readers &&
         (length = pcsc::name_length(readers.data(), readers.size(), at)) != 0;
         at += length + 1) {
        states[count++].szReader = readers.data() + at;
    }
    if (count == 0) return job.decide(pcsc::status_no_reader);
    rv = SCardGetStatusChange(service.get(), 0, states, count);
    if (rv != SCARD_S_SUCCESS)
        return job.decide(pcsc::status_after_failure(step::reader_states, rv));

    // A reader whose card does not give its UID (a security token, a contact
    // card in a keyboard) must not hide the card on the next one.
    pcsc::passed_over_readers passed_over;
    for (DWORD i = 0; i < count && !passed_over.service_lost(); ++i) {
        if (!pcsc::holds_usable_card(states[i].dwEventState)) continue;
        card uid_card;
        rv = uid_card.connect(service.get(), states[i].szReader);
        if (rv != SCARD_S_SUCCESS) {
            passed_over.add(step::connect, rv);
            continue;
        }
        unsigned char response[pcsc::max_response_size];
        std::size_t response_size = sizeof response;
        rv = uid_card.transmit(pcsc::get_uid_command, sizeof pcsc::get_uid_command, response,
                               &response_size);
        if (rv == SCARD_S_SUCCESS && pcsc::fill_serial(response, response_size, job.serial)) {
            return job.decide(pcsc::status_card_read);
        }
        passed_over.add(step::transmit, rv);
    }
    return job.decide(passed_over.status());
}

// The thread's part: the read, then letting go of the job.
void run_read(pcsc::task* work) noexcept {
    auto* job = static_cast<read_job*>(work);
    read_uid(*job);
    read_job::release(job);
}

}  // namespace

// Fills bytes 0 to 4 of idserial (the UID's length, then its last four bytes)
// and returns 0; or returns 8 when no reader's card gave a UID, 23 when there
// is no PC/SC service or no reader, or every reader holding a card refused us
// for lack of rights; 1 when the read could not be started at all (no thread,
// no memory). The buffer is untouched unless 0 is returned.
//
// Returns within pcsc::read_deadline_ms: if the read has not decided by
// then, 23 while the service had not answered, 8 once it had.
extern "C" READER_EXPORT int READER_CALL idr_read(unsigned char* idserial) {
    if (idserial == nullptr) return pcsc::status_no_card;
    read_job* job = read_job::create(run_read);
    // Without the few bytes a job needs, nothing else would work either.
    if (job == nullptr) return pcsc::status_not_started;
    const pcsc::run_result run = pcsc::run_bounded(*job, pcsc::read_deadline_ms);
    if (run == pcsc::run_result::not_started) {
        // Read here instead, and nothing would bound the read: a service that
        // never answers would hold the caller for good. So no read at all.
        read_job::discard(job);
        return pcsc::status_not_started;
    }
    if (run == pcsc::run_result::timed_out) pcsc::outlive_abandoned_thread();

    const pcsc::progress reached = job->reached.load(std::memory_order_acquire);
    const pcsc::read_status status =
        reached == pcsc::progress::decided ? job->status : pcsc::status_at_deadline(reached);
    if (status == pcsc::status_card_read) std::memcpy(idserial, job->serial, sizeof job->serial);
    read_job::release(job);
    return status;
}
