#include "watch/host.hpp"

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "app/exe_dir.hpp"
#include "app/run.hpp"
#include "watch/calls.hpp"
#include "watch/platform.hpp"
#include "watch/protocol.hpp"

namespace vellicor::watch {

namespace {

using steady = std::chrono::steady_clock;

// A thread that makes one call at a time into the library. Its state is
// guarded by the host's mutex; a job runs without it.
class worker {
  public:
    worker(std::mutex& shared, std::condition_variable& finished)
        : shared_(shared), finished_signal_(finished) {}

    // Throws std::system_error when no thread can be started. Never joined:
    // the process ends without waiting for a call that may never return.
    void start_thread() {
        std::thread([this] { loop(); }).detach();
    }

    worker(const worker&) = delete;
    worker& operator=(const worker&) = delete;
    worker(worker&&) = delete;
    worker& operator=(worker&&) = delete;
    ~worker() = default;

    // Starts `job`, which stores its own result; past `bound_at` it is stuck.
    void start(std::function<void()> job, steady::time_point bound_at) {
        job_ = std::move(job);
        busy_ = true;
        stuck_ = false;
        bound_at_ = bound_at;
        wake_.notify_one();
    }

    [[nodiscard]] bool busy() const { return busy_; }
    // The job has returned and its result waits to be taken.
    [[nodiscard]] bool returned() const { return returned_; }
    [[nodiscard]] bool stuck() const { return stuck_; }
    [[nodiscard]] steady::time_point bound_at() const { return bound_at_; }

    // Marks the job stuck once its bound has passed; true when it just did.
    bool check_bound(steady::time_point now) {
        if (!busy_ || returned_ || stuck_ || now < bound_at_) return false;
        stuck_ = true;
        return true;
    }

    // Frees the worker for the next job; tells whether the one taken was
    // stuck before it returned.
    bool take() {
        const bool was_stuck = stuck_;
        busy_ = returned_ = stuck_ = false;
        return was_stuck;
    }

  private:
    void loop() {
        std::unique_lock<std::mutex> lock(shared_);
        for (;;) {
            wake_.wait(lock, [this] { return static_cast<bool>(job_); });
            const std::function<void()> job = std::move(job_);
            job_ = nullptr;
            lock.unlock();
            job();
            lock.lock();
            returned_ = true;
            finished_signal_.notify_all();
        }
    }

    std::mutex& shared_;
    std::condition_variable& finished_signal_;
    std::condition_variable wake_;
    std::function<void()> job_;
    bool busy_ = false;
    bool returned_ = false;
    bool stuck_ = false;
    steady::time_point bound_at_{};
};

class host;
[[noreturn]] void read_requests(host& watch);

class host {
  public:
    explicit host(native_string library_path) : path_(std::move(library_path)) {}

    // Starts the threads and runs the host; throws std::system_error when a
    // thread cannot be started.
    [[noreturn]] void run();

    // From the input thread.
    void request_read(std::uint64_t id);
    void bad_request();

  private:
    enum class mode {
        probe,    // not known yet whether the library can wait
        waiting,  // it can: wait, read when it reports a change
        polling,  // it cannot: read every poll interval
    };

    // A read on its way, and whom it answers.
    struct read_job {
        bool for_watch = false;
        bool presented = false;
        std::vector<std::uint64_t> ids;
        bool answered = false;  // the ids were answered with a timeout
    };

    [[nodiscard]] bool library_present() const;
    void take_returned(steady::time_point now);
    void on_wait(const wait_answer& answer, steady::time_point now);
    void observe(const outcome& result, bool presented, steady::time_point now);
    void notice_stuck(steady::time_point now);
    void start_work(steady::time_point now);
    void start_reads(steady::time_point now, std::optional<bool>& present);
    // Whether the library is there, looked at once per round.
    bool present_now(std::optional<bool>& present) const;
    void library_missing(steady::time_point now);
    void start_read(read_job job, steady::time_point now);
    void start_wait(steady::time_point now);
    [[nodiscard]] std::optional<steady::time_point> next_wake(steady::time_point now) const;
    void answer_all(std::vector<std::uint64_t>& ids, const outcome& result);

    const native_string path_;
    std::mutex mutex_;
    std::condition_variable changed_;
    worker reads_{mutex_, changed_};
    worker waits_{mutex_, changed_};

    mode mode_ = mode::probe;
    event_filter filter_;
    // Frames to send, sent by run() without the mutex held: a browser that
    // is slow to read must not hold up the input thread.
    std::vector<std::string> outbox_;
    // Read requests waiting for the next read to start.
    std::vector<std::uint64_t> requests_;

    read_job reading_;
    read_result read_slot_;
    // What the library saw at its last change, and the copy a wait has.
    wait_request seen_;
    wait_request asking_;
    wait_answer wait_slot_;

    bool watch_read_wanted_ = false;
    bool watch_presented_ = false;
    bool unavailable_reported_ = false;
    bool stuck_reported_ = false;
    steady::time_point next_poll_{};
    steady::time_point next_wait_{};
    std::optional<steady::time_point> retry_read_at_;
};

bool host::library_present() const {
    // Without our own folder we cannot look: the read itself fails, as the
    // one-shot program's does.
    return path_.empty() || entry_exists(path_);
}

void host::answer_all(std::vector<std::uint64_t>& ids, const outcome& result) {
    for (const std::uint64_t id : ids) outbox_.push_back(read_answer(id, result));
    ids.clear();
}

void host::observe(const outcome& result, bool presented, steady::time_point now) {
    if (const std::optional<outcome> event = filter_.next(result, presented)) {
        outbox_.push_back(event_message(*event));
    }
    // While the library waits, nothing in PC/SC wakes it when a failed read
    // or a busy lock would now go through: such a read is tried again.
    if (mode_ != mode::polling &&
        (result.kind == event_kind::failed || result.kind == event_kind::timeout)) {
        retry_read_at_ = now + poll_interval;
    }
}

void host::take_returned(steady::time_point now) {
    if (reads_.returned()) {
        const bool was_stuck = reads_.take();
        read_job done = std::move(reading_);
        reading_ = read_job{};
        if (read_slot_.can_wait && mode_ == mode::polling) mode_ = mode::probe;
        if (was_stuck) {
            // Answered with a timeout already; whatever it found is old news.
            // The watch reads afresh.
            watch_read_wanted_ = true;
        } else {
            answer_all(done.ids, read_slot_.result);
            if (done.for_watch) observe(read_slot_.result, done.presented, now);
        }
        if (done.for_watch && now + read_gap > next_poll_) next_poll_ = now + read_gap;
    }
    if (waits_.returned()) {
        if (waits_.take()) {
            watch_read_wanted_ = true;
        } else {
            on_wait(wait_slot_, now);
        }
    }
}

void host::on_wait(const wait_answer& answer, steady::time_point now) {
    if (!answer.can_wait) {
        mode_ = mode::polling;
        next_poll_ = now;
        return;
    }
    mode_ = mode::waiting;
    switch (answer.result) {
        case wait_presented:
            watch_presented_ = true;
            [[fallthrough]];
        case wait_changed:
            seen_ = asking_;
            watch_read_wanted_ = true;
            unavailable_reported_ = false;
            break;
        case wait_unavailable:
            // Once per spell the state is read, so that the browser hears it
            // (no reader, say); then the wait is tried again at the poll
            // interval, afresh: what it saw before may be gone.
            seen_ = wait_request{};
            if (!unavailable_reported_) watch_read_wanted_ = true;
            unavailable_reported_ = true;
            next_wait_ = now + poll_interval;
            break;
        case wait_unchanged:
        case wait_refused:
            unavailable_reported_ = false;
            break;
    }
}

void host::notice_stuck(steady::time_point now) {
    const bool read_stuck_now = reads_.check_bound(now);
    waits_.check_bound(now);
    if (!reads_.stuck() && !waits_.stuck()) {
        stuck_reported_ = false;
        return;
    }
    if (read_stuck_now && !reading_.answered) {
        answer_all(reading_.ids, {event_kind::timeout, {}});
        reading_.answered = true;
    }
    if (!stuck_reported_) {
        stuck_reported_ = true;
        observe({event_kind::timeout, {}}, false, now);
    }
    // No read can start while a call is stuck: the browser hears so at once.
    answer_all(requests_, {event_kind::timeout, {}});
}

void host::library_missing(steady::time_point now) {
    observe({event_kind::not_found, {}}, false, now);
    // Once it is there, it is asked afresh whether it can wait.
    mode_ = mode::probe;
    seen_ = wait_request{};
    watch_read_wanted_ = watch_presented_ = false;
    retry_read_at_.reset();
    next_poll_ = next_wait_ = now + poll_interval;
}

void host::start_read(read_job job, steady::time_point now) {
    reading_ = std::move(job);
    reads_.start(
        [this] { read_slot_ = read_once(path_, static_cast<unsigned>(lock_wait.count())); },
        now + read_bound);
}

void host::start_wait(steady::time_point now) {
    asking_ = seen_;
    asking_.timeout_ms = static_cast<std::uint32_t>(wait_slice.count());
    waits_.start([this] { wait_slot_ = wait_once(path_, asking_); }, now + wait_slice + read_bound);
}

bool host::present_now(std::optional<bool>& present) const {
    if (!present) present = library_present();
    return *present;
}

void host::start_reads(steady::time_point now, std::optional<bool>& present) {
    if (!reads_.busy() && !requests_.empty()) {
        if (present_now(present)) {
            start_read({false, false, std::move(requests_), false}, now);
            requests_.clear();
        } else {
            answer_all(requests_, {event_kind::not_found, {}});
        }
    }
    // The watch's own read follows the wait that asked for it, never beside
    // one: what a wait reports as new is new since the read before.
    const bool due = watch_read_wanted_ || (mode_ == mode::polling && now >= next_poll_);
    if (reads_.busy() || !due || (mode_ != mode::polling && waits_.busy())) return;
    if (present_now(present)) {
        start_read({true, watch_presented_, {}, false}, now);
        watch_read_wanted_ = watch_presented_ = false;
        if (mode_ == mode::polling) next_poll_ = now + poll_interval;
    } else {
        library_missing(now);
    }
}

void host::start_work(steady::time_point now) {
    if (reads_.stuck() || waits_.stuck()) return;
    if (retry_read_at_ && now >= *retry_read_at_) {
        retry_read_at_.reset();
        watch_read_wanted_ = true;
    }
    std::optional<bool> present;
    start_reads(now, present);
    const bool watch_reading = reads_.busy() && reading_.for_watch;
    if (mode_ == mode::polling || waits_.busy() || watch_read_wanted_ || watch_reading ||
        now < next_wait_) {
        return;
    }
    if (present_now(present)) {
        start_wait(now);
    } else {
        library_missing(now);
    }
}

std::optional<steady::time_point> host::next_wake(steady::time_point now) const {
    std::optional<steady::time_point> wake;
    const auto consider = [&](steady::time_point at) {
        if (at > now && (!wake || at < *wake)) wake = at;
    };
    for (const worker* one : {&reads_, &waits_}) {
        if (one->busy() && !one->returned() && !one->stuck()) consider(one->bound_at());
    }
    if (mode_ == mode::polling && !reads_.busy()) consider(next_poll_);
    if (mode_ != mode::polling && !waits_.busy()) consider(next_wait_);
    if (retry_read_at_) consider(*retry_read_at_);
    return wake;
}

void host::run() {
    reads_.start_thread();
    waits_.start_thread();
    std::thread([this] { read_requests(*this); }).detach();
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        const steady::time_point now = steady::now();
        take_returned(now);
        notice_stuck(now);
        start_work(now);
        if (!outbox_.empty()) {
            std::vector<std::string> sending;
            sending.swap(outbox_);
            lock.unlock();
            for (const std::string& message : sending) {
                const std::string framed = frame(message);
                // The browser is gone: so are we.
                if (!write_output(framed.data(), framed.size())) end_process();
            }
            lock.lock();
            continue;
        }
        if (const std::optional<steady::time_point> wake = next_wake(now)) {
            changed_.wait_until(lock, *wake);
        } else {
            changed_.wait(lock);
        }
    }
}

void host::request_read(std::uint64_t id) {
    const std::lock_guard<std::mutex> hold(mutex_);
    if (requests_.size() >= max_pending_reads) {
        outbox_.push_back(busy_answer(id));
    } else {
        requests_.push_back(id);
    }
    changed_.notify_all();
}

void host::bad_request() {
    const std::lock_guard<std::mutex> hold(mutex_);
    outbox_.push_back(bad_request_answer());
    changed_.notify_all();
}

// Exactly `size` bytes of input; false once it has ended.
bool read_exactly(char* into, std::size_t size) {
    while (size > 0) {
        const std::size_t got = read_input(into, size);
        if (got == 0) return false;
        into += got;
        size -= got;
    }
    return true;
}

// Frames from the browser, until its input ends, which ends the process at
// once: whatever a read is doing, nobody waits for its answer any more.
[[noreturn]] void read_requests(host& watch) {
    std::string body;
    char dropped[4096];
    for (;;) {
        std::uint32_t length = 0;
        char header[sizeof length];
        if (!read_exactly(header, sizeof header)) end_process();
        std::memcpy(&length, header, sizeof length);
        if (length > longest_request) {
            // Read and dropped: the next frame starts right after it.
            for (std::uint32_t left = length; left > 0;) {
                const std::uint32_t part = left < sizeof dropped ? left : sizeof dropped;
                if (!read_exactly(dropped, part)) end_process();
                left -= part;
            }
            watch.bad_request();
            continue;
        }
        body.resize(length);
        if (!read_exactly(body.data(), length)) end_process();
        if (const std::optional<std::uint64_t> id = read_request(body)) {
            watch.request_read(*id);
        } else {
            watch.bad_request();
        }
    }
}

}  // namespace

void run_host() {
    native_string library_path = exe_dir();
    if (!library_path.empty()) {
        library_path.append(std::begin(reader_library_name), std::end(reader_library_name) - 1);
    }
    try {
        // Lives until the process ends: its threads use it to the last.
        static host watch(std::move(library_path));
        watch.run();
    } catch (const std::system_error&) {
        // No thread could be started (the user's or the system's limit):
        // nothing can be read. The browser hears so, and the host ends when
        // the browser lets it go.
        const std::string framed = frame(event_message({event_kind::failed, {}}));
        write_output(framed.data(), framed.size());
        char ignored[4096];
        while (read_input(ignored, sizeof ignored) > 0) {
        }
        end_process();
    }
}

}  // namespace vellicor::watch
