#include "update/disk/OrderedWork.h"

#include <algorithm>
#include <system_error>
#include <utility>

namespace orvex_update {

namespace {
std::atomic<ThreadStartRefusal> g_threadStartRefusal{nullptr};
}  // namespace

ScopedThreadStartRefusalForTesting::ScopedThreadStartRefusalForTesting(ThreadStartRefusal refuse)
    : previous_(g_threadStartRefusal.exchange(refuse)) {}

ScopedThreadStartRefusalForTesting::~ScopedThreadStartRefusalForTesting() { g_threadStartRefusal.store(previous_); }

void CheckThreadStart() {
  const ThreadStartRefusal refuse = g_threadStartRefusal.load();
  if (refuse != nullptr && refuse()) {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  }
}

void SplitInTwo(std::size_t count, std::size_t minimum, const std::function<void(std::size_t, std::size_t)>& work) {
  std::size_t split = count;
  std::thread helper;
  if (count >= std::max<std::size_t>(minimum, 2) && std::thread::hardware_concurrency() > 1) {
    try {
      helper = StartWorkerThread(work, count / 2, count);
      split = count / 2;
    } catch (const std::system_error&) {
      // One thread does it all.
    }
  }
  try {
    work(0, split);
  } catch (...) {
    if (helper.joinable()) helper.join();
    throw;
  }
  if (helper.joinable()) helper.join();
}

OrderedWork::OrderedWork(std::size_t count, unsigned workers, std::size_t window, Work work)
    : count_(count), window_(std::max<std::size_t>(window, 1)), work_(std::move(work)) {
  done_.assign(window_, 0);
  errors_.resize(window_);
  const std::size_t wanted = std::min<std::size_t>(std::max(workers, 1u), count_);
  threads_.reserve(wanted);
  for (std::size_t i = 0; i < wanted; ++i) {
    try {
      threads_.push_back(StartWorkerThread(&OrderedWork::Run, this, i));
    } catch (const std::system_error&) {
      // Fewer threads only cost speed; none at all leaves the items undone.
      if (!threads_.empty()) break;
      Stop();
      throw;
    }
  }
}

OrderedWork::~OrderedWork() {
  Stop();
  for (std::thread& thread : threads_) thread.join();
}

void OrderedWork::Stop() noexcept {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stop_.store(true);
  }
  roomForWork_.notify_all();
  resultReady_.notify_all();
}

void OrderedWork::Run(std::size_t worker) {
  for (;;) {
    std::size_t index = 0;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      while (!stop_.load() && next_ < count_ && next_ >= taken_ + window_) {
        // Sleep until half the window is free again.
        resumeAt_ = std::max(resumeAt_, next_ - window_ + std::max<std::size_t>(window_ / 2, 1));
        ++sleeping_;
        roomForWork_.wait(lock);
        --sleeping_;
      }
      if (stop_.load() || next_ >= count_) return;
      index = next_++;
    }
    std::exception_ptr error;
    try {
      work_(worker, index, index % window_, stop_);
    } catch (...) {
      error = std::current_exception();
    }
    bool wake = false;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      done_[index % window_] = 1;
      errors_[index % window_] = std::move(error);
      wake = consumerWaiting_ && index >= awaited_ && index < awaitedEnd_ && AwaitedDone();
    }
    if (wake) resultReady_.notify_one();
  }
}

bool OrderedWork::AwaitedDone() const {
  for (std::size_t i = awaited_; i < awaitedEnd_; ++i) {
    if (done_[i % window_] == 0) return false;
  }
  return true;
}

std::size_t OrderedWork::Take(std::size_t index) {
  std::unique_lock<std::mutex> lock(mutex_);
  taken_ = index;
  if (sleeping_ > 0 && (taken_ >= resumeAt_ || index + 1 >= count_)) roomForWork_.notify_all();
  const std::size_t slot = index % window_;
  if (done_[slot] == 0) {
    // No deadlock: a worker sleeps only while every index below
    // taken_ + window_ has been handed out, so this one is being worked on.
    // Waiting costs a kernel round trip (a wineserver call under Wine), so
    // the consumer, which does little per item, waits for a run of items at
    // once and then takes them without waiting.
    consumerWaiting_ = true;
    awaited_ = index;
    awaitedEnd_ = std::min(count_, index + std::max<std::size_t>(window_ / 4, 1));
    resultReady_.wait(lock, [&] { return AwaitedDone(); });
    consumerWaiting_ = false;
  }
  done_[slot] = 0;
  std::exception_ptr error = std::move(errors_[slot]);
  errors_[slot] = nullptr;
  if (error) std::rethrow_exception(error);
  return slot;
}

}  // namespace orvex_update
