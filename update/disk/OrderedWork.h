// Work on numbered items spread over a few worker threads, handed back to one
// consumer strictly in item order: the consumer sees item i's result (or its
// exception) only after those of every item before it, whichever worker ended
// first. Workers run at most a window of items ahead of the consumer, so the
// memory in flight stays bounded however long the list is. No Windows header.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace orvex_update {

// Whether the update engine may not start a worker thread now.
using ThreadStartRefusal = bool (*)();

// Test switch: while the object lives and refuse (nullptr: none) returns
// true, StartWorkerThread fails as the platform does when it has no thread to
// give (std::system_error); the refusal before holds again afterwards. None is
// set in the product.
class ScopedThreadStartRefusalForTesting {
 public:
  explicit ScopedThreadStartRefusalForTesting(ThreadStartRefusal refuse);
  ~ScopedThreadStartRefusalForTesting();
  ScopedThreadStartRefusalForTesting(const ScopedThreadStartRefusalForTesting&) = delete;
  ScopedThreadStartRefusalForTesting& operator=(const ScopedThreadStartRefusalForTesting&) = delete;

 private:
  ThreadStartRefusal previous_;
};
// Throws that std::system_error when the seam refuses.
void CheckThreadStart();

// std::thread(f...), through the seam above.
template <class... Args>
std::thread StartWorkerThread(Args&&... args) {
  CheckThreadStart();
  return std::thread(std::forward<Args>(args)...);
}

// Runs work(first, end) over [0, count) in two halves, the second on a
// thread of its own, when count is at least minimum (and two) and the machine
// has more than one core; otherwise, or when no thread can be started, as one
// range on the calling thread. Returns once every range is done; an exception
// of the calling thread's range is rethrown after the other has ended.
void SplitInTwo(std::size_t count, std::size_t minimum, const std::function<void(std::size_t, std::size_t)>& work);

class OrderedWork {
 public:
  // Runs work(worker, index, slot, stop) once for each index in [0, count),
  // on the calling worker thread numbered worker (0 to workers - 1). slot
  // (index modulo window) names the caller's storage for the result; it is
  // not touched by any other item until the consumer has taken the next
  // index. stop becomes true when the consumer gives up: long work should look
  // at it and end early (what it then does is never taken). An exception
  // thrown by work is the item's result. Starts the threads at once (at most
  // count of them, at least one); throws std::system_error when none starts.
  using Work = std::function<void(std::size_t worker, std::size_t index, std::size_t slot,
                                  const std::atomic<bool>& stop)>;
  OrderedWork(std::size_t count, unsigned workers, std::size_t window, Work work);
  // Stops and joins every worker: an item being worked on runs to its end (or
  // to its next look at stop), no new item starts.
  ~OrderedWork();
  OrderedWork(const OrderedWork&) = delete;
  OrderedWork& operator=(const OrderedWork&) = delete;

  // Waits for item index and returns its slot, or rethrows the exception its
  // work threw. Items are taken in order, each once: 0, 1, 2, ...; taking an
  // item releases the slot of the one before it.
  std::size_t Take(std::size_t index);

  // The number of worker threads running the items.
  std::size_t Workers() const { return threads_.size(); }

 private:
  void Run(std::size_t worker);
  void Stop() noexcept;
  [[nodiscard]] bool AwaitedDone() const;  // every item of [awaited_, awaitedEnd_) is done; under mutex_

  const std::size_t count_;
  const std::size_t window_;
  const Work work_;
  std::atomic<bool> stop_{false};

  std::mutex mutex_;
  // Workers sleep while the window is full and are woken together once the
  // consumer has taken half of it: one wake-up per half window instead of
  // one per item (each wake is a kernel round trip under Wine).
  std::condition_variable roomForWork_;
  std::condition_variable resultReady_;
  std::size_t next_ = 0;      // the next index a worker starts
  std::size_t taken_ = 0;     // the index the consumer takes next (or holds)
  std::size_t resumeAt_ = 0;  // sleeping workers wake once taken_ reaches it
  std::size_t sleeping_ = 0;  // workers waiting for room
  std::size_t awaited_ = 0;   // the consumer waits for [awaited_, awaitedEnd_)
  std::size_t awaitedEnd_ = 0;
  bool consumerWaiting_ = false;
  std::vector<unsigned char> done_;             // per slot
  std::vector<std::exception_ptr> errors_;      // per slot
  std::vector<std::thread> threads_;
};

}  // namespace orvex_update
