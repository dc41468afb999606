#include "base/task.h"

#include "base/clock.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace tarvo {

void detail::PromiseBase::finishRun(RunSet& owner, uint64_t id, std::exception_ptr failure) noexcept {
    owner.finished(id, std::move(failure));
}

RunSet::~RunSet() { stopAll(); }

bool RunSet::start(Task<void> run, Room room) {
    const bool shared = room == Room::Shared;
    if (stopped_ || (shared && shared_ >= kMaxRuns)) return false;
    auto h = run.release();
    const uint64_t id = next_++;
    h.promise().owner = this;
    h.promise().runId = id;
    live_.emplace(id, Live{h, ticks(), shared});
    if (shared) ++shared_;
    mostAtOnce_ = std::max(mostAtOnce_, count());
    NoteStackDepth();
    h.resume();
    return true;
}

void RunSet::finished(uint64_t id, std::exception_ptr failure) noexcept {
    const auto it = live_.find(id);
    if (it == live_.end()) return;
    const std::coroutine_handle<> h = it->second.handle;
    longestEndedMs_ = std::max(longestEndedMs_, TicksBetween(it->second.startTick, ticks()));
    if (it->second.shared) --shared_;
    ++ended_;
    live_.erase(it);
    h.destroy();
    if (failure && onEscapedFailure) onEscapedFailure(failure);
}

void RunSet::stopAll() {
    stopped_ = true;
    // Destroying a run destroys the awaiter it is suspended in, which withdraws its alarm or its
    // place in a queue; nothing of it runs again.
    std::vector<std::coroutine_handle<>> handles;
    handles.reserve(live_.size());
    for (const auto& [id, run] : live_) handles.push_back(run.handle);
    ended_ += live_.size();
    live_.clear();
    shared_ = 0;
    for (std::coroutine_handle<> h : handles) h.destroy();
}

int32_t RunSet::ticks() const { return clock_ ? clock_->tickCount() : 0; }

int64_t RunSet::longestMs() const {
    int64_t longest = longestEndedMs_;
    const int32_t now = ticks();
    for (const auto& [id, run] : live_) longest = std::max(longest, TicksBetween(run.startTick, now));
    return longest;
}

namespace {
uintptr_t stackBase = 0;
std::size_t deepest = 0;
}  // namespace

void MarkStackBase() {
    char here;
    stackBase = reinterpret_cast<uintptr_t>(&here);
}

void NoteStackDepth() {
    char here;
    const uintptr_t at = reinterpret_cast<uintptr_t>(&here);
    if (stackBase == 0 || at > stackBase) return;
    deepest = std::max<std::size_t>(deepest, stackBase - at);
}

std::size_t DeepestStack() { return deepest; }

WaitQueue::Awaiter::Awaiter(Awaiter&& o) noexcept : q_(o.q_), h_(o.h_), result_(o.result_) {
    // Only an awaiter that is not queued yet is ever moved.
}

WaitQueue::Awaiter::~Awaiter() {
    if (queued_) q_->waiters_.erase(pos_);
}

void WaitQueue::Awaiter::await_suspend(std::coroutine_handle<> h) {
    h_ = h;
    pos_ = q_->waiters_.insert(q_->waiters_.end(), this);
    queued_ = true;
}

WaitQueue::~WaitQueue() {
    for (Awaiter* a : waiters_) a->queued_ = false;
}

bool WaitQueue::wakeOne(int result) {
    if (waiters_.empty()) return false;
    Awaiter* a = waiters_.front();
    waiters_.pop_front();
    a->queued_ = false;
    a->result_ = result;
    NoteStackDepth();
    a->h_.resume();
    return true;
}

void WaitQueue::wakeAll(int result) {
    // Those queued now; a run woken here that waits again joins the back and is not woken twice.
    for (std::size_t n = waiters_.size(); n > 0 && wakeOne(result); --n) {
    }
}

}  // namespace tarvo
