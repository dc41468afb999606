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
class [[nodiscard]] Task {
public:
    struct promise_type : detail::PromiseBase {
        std::optional<T> value;
        Task get_return_object() { return Task(std::coroutine_handle<promise_type>::from_promise(*this)); }
        template <typename U>
        void return_value(U&& v) {
            value.emplace(std::forward<U>(v));
        }
    };
    using Handle = std::coroutine_handle<promise_type>;

    Task(Task&& o) noexcept : h_(std::exchange(o.h_, {})) {}
    Task& operator=(Task&& o) noexcept {
        if (this != &o) {
            if (h_) h_.destroy();
            h_ = std::exchange(o.h_, {});
        }
        return *this;
    }
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    ~Task() {
        if (h_) h_.destroy();
    }

    bool await_ready() const noexcept { return false; }
    std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiting) noexcept {
        h_.promise().continuation = awaiting;
        return h_;
    }
    T await_resume() {
        if (h_.promise().failure) std::rethrow_exception(h_.promise().failure);
        return std::move(*h_.promise().value);
    }

    Handle release() { return std::exchange(h_, {}); }

private:
    explicit Task(Handle h) : h_(h) {}
    Handle h_;
};

template <>
class [[nodiscard]] Task<void> {
public:
    struct promise_type : detail::PromiseBase {
        Task get_return_object() { return Task(std::coroutine_handle<promise_type>::from_promise(*this)); }
        void return_void() noexcept {}
    };
    using Handle = std::coroutine_handle<promise_type>;

    Task(Task&& o) noexcept : h_(std::exchange(o.h_, {})) {}
    Task& operator=(Task&& o) noexcept {
        if (this != &o) {
            if (h_) h_.destroy();
            h_ = std::exchange(o.h_, {});
        }
        return *this;
    }
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    ~Task() {
        if (h_) h_.destroy();
    }

    bool await_ready() const noexcept { return false; }
    std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiting) noexcept {
        h_.promise().continuation = awaiting;
        return h_;
    }
    void await_resume() {
        if (h_.promise().failure) std::rethrow_exception(h_.promise().failure);
    }

    Handle release() { return std::exchange(h_, {}); }

private:
    explicit Task(Handle h) : h_(h) {}
    Handle h_;
};

// The runs in progress. A run starts at once and goes on until its first wait; when it ends it
// leaves the set by itself.
class RunSet {
public:
    // A loop of events that trigger each other must not exhaust anything.
    static constexpr int kMaxRuns = 256;

    RunSet() = default;
    ~RunSet();
    RunSet(const RunSet&) = delete;
    RunSet& operator=(const RunSet&) = delete;

    // Starts `run`; false (and the run never starts) when kMaxRuns runs are in progress
    // already, or once stopAll has been called.
    bool start(Task<void> run);
    // Runs in progress (suspended, or the one running now).
    int count() const { return static_cast<int>(live_.size()); }
    // Ends every suspended run without resuming it; no run starts afterwards.
    void stopAll();
    bool stopped() const { return stopped_; }
    // The most runs in progress at once so far.
    int mostAtOnce() const { return mostAtOnce_; }
    // A failure that escaped a run (every run catches its own; this is the last resort).
    std::function<void(std::exception_ptr)> onEscapedFailure;

private:
    friend struct detail::PromiseBase;
    void finished(uint64_t id, std::exception_ptr failure) noexcept;

    std::unordered_map<uint64_t, std::coroutine_handle<>> live_;
    uint64_t next_ = 1;
    int mostAtOnce_ = 0;
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
