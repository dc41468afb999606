// Runs that wait without holding anything up. A run (a timed event with its same-moment
// followers, one triggered entry, one delayed entry) is a coroutine; each wait inside it suspends
// that run only, and the one event loop resumes it when the wait is over. Nothing nests: a run
// resumed by its alarm runs on the loop's own stack until its next wait, and runs resume in the
// order their waits end.
//
// Task<T> is lazy: it starts when it is awaited (by another task) or handed to a RunSet, and
// hands control back to its awaiter without growing the stack (symmetric transfer). Destroying a
// suspended task destroys its frame, and with it the task it awaits: every wait is an object in
// a frame whose destructor withdraws it (cancels its alarm, leaves its queue), so a destroyed run
// never resumes. That is how exit ends suspended runs: nothing they would have sent or logged
// afterwards happens, and no frame is left behind.
//
// A task's parameters live in its frame: pass values, or references to what outlives the task.
#pragma once

#include <coroutine>
#include <cstdint>
#include <exception>
#include <functional>
#include <list>
#include <optional>
#include <unordered_map>
#include <utility>

namespace tarvo {

class Clock;

class RunSet;

namespace detail {

struct PromiseBase {
    std::coroutine_handle<> continuation;
    std::exception_ptr failure;
    RunSet* owner = nullptr;  // set for a run started by a RunSet: nobody awaits it
    uint64_t runId = 0;

    std::suspend_always initial_suspend() noexcept { return {}; }
    struct FinalAwaiter {
        bool await_ready() noexcept { return false; }
        template <typename P>
        std::coroutine_handle<> await_suspend(std::coroutine_handle<P> h) noexcept {
            PromiseBase& p = h.promise();
            if (p.continuation) return p.continuation;
            if (p.owner) finishRun(*p.owner, p.runId, p.failure);  // destroys the frame
            return std::noop_coroutine();
        }
        void await_resume() noexcept {}
    };
    FinalAwaiter final_suspend() noexcept { return {}; }
    void unhandled_exception() noexcept { failure = std::current_exception(); }

    static void finishRun(RunSet& owner, uint64_t id, std::exception_ptr failure) noexcept;
};

}  // namespace detail

template <typename T = void>
class Task;

namespace detail {

// What every task does with its coroutine: own it, start it when awaited, hand it over.
template <typename Promise>
class TaskHandle {
public:
    using Handle = std::coroutine_handle<Promise>;

    TaskHandle(TaskHandle&& o) noexcept : h_(std::exchange(o.h_, {})) {}
    TaskHandle& operator=(TaskHandle&& o) noexcept {
        if (this != &o) {
            if (h_) h_.destroy();
            h_ = std::exchange(o.h_, {});
        }
        return *this;
    }
    TaskHandle(const TaskHandle&) = delete;
    TaskHandle& operator=(const TaskHandle&) = delete;
    ~TaskHandle() {
        if (h_) h_.destroy();
    }

    bool await_ready() const noexcept { return false; }
    std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiting) noexcept {
        h_.promise().continuation = awaiting;
        return h_;
    }
    Handle release() { return std::exchange(h_, {}); }

protected:
    explicit TaskHandle(Handle h) : h_(h) {}
    void rethrowFailure() const {
        if (h_.promise().failure) std::rethrow_exception(h_.promise().failure);
    }
    Handle h_;
};

template <typename T>
struct ValuePromise : PromiseBase {
    std::optional<T> value;
    Task<T> get_return_object();
    template <typename U>
    void return_value(U&& v) {
        value.emplace(std::forward<U>(v));
    }
};

struct VoidPromise : PromiseBase {
    Task<void> get_return_object();
    void return_void() noexcept {}
};

}  // namespace detail

template <typename T>
class [[nodiscard]] Task : public detail::TaskHandle<detail::ValuePromise<T>> {
public:
    using promise_type = detail::ValuePromise<T>;
    T await_resume() {
        this->rethrowFailure();
        return std::move(*this->h_.promise().value);
    }

private:
    friend struct detail::ValuePromise<T>;
    using detail::TaskHandle<promise_type>::TaskHandle;
};

template <>
class [[nodiscard]] Task<void> : public detail::TaskHandle<detail::VoidPromise> {
public:
    using promise_type = detail::VoidPromise;
    void await_resume() { rethrowFailure(); }

private:
    friend struct detail::VoidPromise;
    using detail::TaskHandle<promise_type>::TaskHandle;
};

template <typename T>
Task<T> detail::ValuePromise<T>::get_return_object() {
    return Task<T>(std::coroutine_handle<ValuePromise<T>>::from_promise(*this));
}

inline Task<void> detail::VoidPromise::get_return_object() {
    return Task<void>(std::coroutine_handle<VoidPromise>::from_promise(*this));
}

// The runs in progress. A run starts at once and goes on until its first wait; when it ends it
// leaves the set by itself.
class RunSet {
public:
    // A loop of events that trigger each other must not exhaust anything.
    static constexpr int kMaxRuns = 256;
    // Shared runs (the triggered ones) take room from kMaxRuns; reserved runs (the clock's,
    // bounded by the schedule itself) are never refused for room, nor do they take any.
    enum class Room { Shared, Reserved };

    // With a clock, the set also keeps how long its runs have lasted.
    explicit RunSet(const Clock* clock = nullptr) : clock_(clock) {}
    ~RunSet();
    RunSet(const RunSet&) = delete;
    RunSet& operator=(const RunSet&) = delete;

    // Starts `run`; false (and the run never starts) when kMaxRuns shared runs are in progress
    // already and this one is shared too, or once stopAll has been called.
    bool start(Task<void> run, Room room = Room::Shared);
    // Runs in progress (suspended, or the one running now), and the shared ones among them.
    int count() const { return static_cast<int>(live_.size()); }
    int sharedCount() const { return shared_; }
    // Ends every suspended run without resuming it; no run starts afterwards.
    void stopAll();
    bool stopped() const { return stopped_; }
    // The most runs in progress at once so far.
    int mostAtOnce() const { return mostAtOnce_; }
    // Runs started and runs ended so far (a run ended by stopAll counts as ended).
    uint64_t startedCount() const { return next_ - 1; }
    uint64_t endedCount() const { return ended_; }
    // The longest any run has lasted so far, in milliseconds, the runs in progress included
    // (0 without a clock).
    int64_t longestMs() const;
    // A failure that escaped a run (every run catches its own; this is the last resort).
    std::function<void(std::exception_ptr)> onEscapedFailure;

private:
    friend struct detail::PromiseBase;
    void finished(uint64_t id, std::exception_ptr failure) noexcept;

    struct Live {
        std::coroutine_handle<> handle;
        int32_t startTick;
        bool shared;
    };
    int32_t ticks() const;

    const Clock* clock_;
    std::unordered_map<uint64_t, Live> live_;
    uint64_t next_ = 1;
    uint64_t ended_ = 0;
    int64_t longestEndedMs_ = 0;
    int mostAtOnce_ = 0;
    int shared_ = 0;
    bool stopped_ = false;
};

// How deep the stack has been at any start or resumption of a run, in bytes below the point
// marked by MarkStackBase (called once near the top of main). Runs never nest, so this stays
// flat however many runs come and go.
void MarkStackBase();
void NoteStackDepth();
std::size_t DeepestStack();

// A first-in, first-out queue of suspended runs waiting for one thing (room on a link, say).
// Each waiter is resumed with a number that says why.
class WaitQueue {
public:
    class Awaiter {
    public:
        explicit Awaiter(WaitQueue& q) : q_(&q) {}
        Awaiter(Awaiter&& o) noexcept;
        Awaiter(const Awaiter&) = delete;
        Awaiter& operator=(const Awaiter&) = delete;
        ~Awaiter();
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> h);
        int await_resume() const noexcept { return result_; }

    private:
        friend class WaitQueue;
        WaitQueue* q_;
        std::coroutine_handle<> h_;
        std::list<Awaiter*>::iterator pos_;
        bool queued_ = false;
        int result_ = 0;
    };

    WaitQueue() = default;
    WaitQueue(const WaitQueue&) = delete;
    WaitQueue& operator=(const WaitQueue&) = delete;
    ~WaitQueue();

    Awaiter wait() { return Awaiter(*this); }
    bool empty() const { return waiters_.empty(); }
    std::size_t size() const { return waiters_.size(); }
    // Resumes the first waiter with `result`; false when nobody waits.
    bool wakeOne(int result);
    // Resumes every waiter queued now, in order, with `result`.
    void wakeAll(int result);

private:
    std::list<Awaiter*> waiters_;
};

}  // namespace tarvo
