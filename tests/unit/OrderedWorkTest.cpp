#include "update/disk/OrderedWork.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace orvex_update {
namespace {

using Clock = std::chrono::steady_clock;

// Spins until done answers true or a minute has passed (a hang becomes a
// failed expectation, not a stuck test run); true when done answered.
template <class Done>
bool AwaitCondition(Done done) {
  const auto deadline = Clock::now() + std::chrono::minutes(1);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

TEST(OrderedWork, ResultsComeInIndexOrderWhicheverWorkerEndsFirstAndStayInTheWindow) {
  constexpr std::size_t kCount = 300;
  constexpr std::size_t kWindow = 4;
  std::vector<std::size_t> slots(kWindow, 0);
  std::atomic<bool> firstDone{false};
  std::atomic<bool> secondDone{false};
  std::atomic<bool> secondFirst{false};
  std::atomic<std::size_t> consumed{0};
  std::atomic<std::size_t> outsideWindow{0};
  {
    OrderedWork work(kCount, 3, kWindow, [&](std::size_t, std::size_t index, std::size_t slot, const auto&) {
      if (index >= consumed.load() + kWindow) ++outsideWindow;
      if (index == 0) {
        // Item 0 ends only after item 1, on another worker, has ended.
        secondFirst = AwaitCondition([&] { return secondDone.load(); });
        firstDone = true;
      }
      slots[slot] = index * 7 + 1;
      if (index == 1) secondDone = true;
    });
    ASSERT_EQ(work.Workers(), 3u);
    for (std::size_t index = 0; index < kCount; ++index) {
      consumed = index;
      const std::size_t slot = work.Take(index);
      ASSERT_EQ(slots[slot], index * 7 + 1) << index;
      if (index == 0) {
        EXPECT_TRUE(firstDone.load());
      }
      // A slow consumer at first, so that the workers fill the window.
      if (index < 20) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  EXPECT_TRUE(secondFirst.load());
  EXPECT_EQ(outsideWindow.load(), 0u);
}

TEST(OrderedWork, AnItemsExceptionComesAtItsTurnAndGivingUpStopsTheWorkStillRunning) {
  constexpr std::size_t kWindow = 8;
  std::atomic<std::size_t> started{0};
  std::atomic<std::size_t> highest{0};
  std::atomic<std::size_t> unstopped{0};
  std::atomic<std::size_t> waiting{0};
  {
    OrderedWork work(10000, 2, kWindow, [&](std::size_t, std::size_t index, std::size_t, const auto& stop) {
      ++started;
      std::size_t seen = highest.load();
      while (index > seen && !highest.compare_exchange_weak(seen, index)) {
      }
      if (index == 3) throw std::runtime_error("item 3 failed");
      if (index > 5) {
        // Long work that only a stop ends.
        ++waiting;
        if (!AwaitCondition([&] { return stop.load(); })) ++unstopped;
      }
    });
    for (std::size_t index = 0; index < 3; ++index) EXPECT_NO_THROW(work.Take(index));
    try {
      work.Take(3);
      ADD_FAILURE() << "item 3 did not throw";
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(std::string(error.what()), "item 3 failed");
    }
    // Both workers are inside long items when the consumer gives up.
    EXPECT_TRUE(AwaitCondition([&] { return waiting.load() == 2; }));
  }
  EXPECT_EQ(unstopped.load(), 0u);
  EXPECT_LT(highest.load(), 3 + kWindow);
  EXPECT_LT(started.load(), 3 + kWindow);
}

TEST(OrderedWork, NoItemsNeedNoThreadAndOneItemOne) {
  OrderedWork none(0, 4, 16, [](std::size_t, std::size_t, std::size_t, const auto&) { FAIL(); });
  EXPECT_EQ(none.Workers(), 0u);
  int value = 0;
  OrderedWork one(1, 4, 16, [&](std::size_t, std::size_t, std::size_t, const auto&) { value = 42; });
  EXPECT_EQ(one.Workers(), 1u);
  EXPECT_EQ(one.Take(0), 0u);
  EXPECT_EQ(value, 42);
}

bool RefuseThreads() { return true; }

TEST(SplitInTwo, EveryIndexOnceHalvesOnTwoThreadsFromTheMinimumAndOneRangeWithoutAThread) {
  struct Case {
    std::size_t count;
    bool refused;
    std::size_t split;  // where the other thread's half begins; count for none
  };
  constexpr std::size_t kMinimum = 4;
  const bool cores = std::thread::hardware_concurrency() > 1;
  for (const Case& c : {Case{0, false, 0}, Case{1, false, 1}, Case{3, false, 3}, Case{4, false, cores ? 2u : 4u},
                        Case{7, false, cores ? 3u : 7u}, Case{7, true, 7}}) {
    SCOPED_TRACE(testing::Message() << c.count << (c.refused ? " refused" : ""));
    std::vector<int> calls(c.count, 0);
    std::vector<std::thread::id> ran(c.count);
    {
      const ScopedThreadStartRefusalForTesting refusal(c.refused ? &RefuseThreads : nullptr);
      SplitInTwo(c.count, kMinimum, [&](std::size_t first, std::size_t end) {
        for (std::size_t i = first; i < end; ++i) {
          ++calls[i];
          ran[i] = std::this_thread::get_id();
        }
      });
    }
    EXPECT_EQ(calls, std::vector<int>(c.count, 1));
    for (std::size_t i = 0; i < c.count; ++i) {
      EXPECT_EQ(ran[i] == std::this_thread::get_id(), i < c.split) << i;
    }
  }
  // An exception of this thread's half comes once the other half has ended.
  std::vector<int> calls(8, 0);
  EXPECT_THROW(SplitInTwo(8, kMinimum,
                          [&](std::size_t first, std::size_t end) {
                            for (std::size_t i = first; i < end; ++i) ++calls[i];
                            if (first == 0) throw std::runtime_error("half failed");
                          }),
               std::runtime_error);
  EXPECT_EQ(calls, std::vector<int>(8, 1));
}

}  // namespace
}  // namespace orvex_update
