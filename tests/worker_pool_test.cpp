// The worker pool: how many threads it starts, that every item runs once on
// a worker of its own, the ordered pipeline's order and bound, and errors.
#include "core/worker_pool.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace vexil::core {

TEST(WorkerPool, APoolOfOneStartsNoThreadAndRunsOnTheCaller) {
  const std::uint64_t before = WorkerPool::threads_started();
  WorkerPool pool(1);
  EXPECT_EQ(pool.workers(), 1);
  const auto caller = std::this_thread::get_id();
  int ran = 0;
  pool.for_each(5, [&](std::size_t, int worker) {
    EXPECT_EQ(std::this_thread::get_id(), caller);
    EXPECT_EQ(worker, 0);
    ++ran;
  });
  std::vector<std::uint64_t> order;
  pool.ordered(
      7, 3,
      [&](std::uint64_t, int worker) {
        EXPECT_EQ(std::this_thread::get_id(), caller);
        EXPECT_EQ(worker, 0);
      },
      [&](std::uint64_t i) { order.push_back(i); });
  EXPECT_EQ(ran, 5);
  EXPECT_EQ(order, (std::vector<std::uint64_t>{0, 1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(WorkerPool::threads_started(), before);
}

TEST(WorkerPool, EveryItemOnceOnAWorkerNoOtherCallShares) {
  const std::uint64_t before = WorkerPool::threads_started();
  WorkerPool pool(3);
  EXPECT_EQ(pool.workers(), 3);
  EXPECT_EQ(WorkerPool::threads_started(), before + 2);

  constexpr std::size_t n = 2000;
  std::vector<std::atomic<int>> seen(n);
  std::vector<std::atomic<int>> busy(3);
  std::atomic<bool> shared{false};
  std::mutex mu;
  std::vector<std::thread::id> threads;
  pool.for_each(n, [&](std::size_t i, int worker) {
    ASSERT_GE(worker, 0);
    ASSERT_LT(worker, 3);
    if (busy[worker].fetch_add(1) != 0) shared = true;
    seen[i].fetch_add(1);
    {
      std::lock_guard lk(mu);
      if (std::find(threads.begin(), threads.end(), std::this_thread::get_id()) == threads.end())
        threads.push_back(std::this_thread::get_id());
    }
    if (i % 100 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    busy[worker].fetch_sub(1);
  });
  for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(seen[i].load(), 1) << "item " << i;
  EXPECT_FALSE(shared) << "two calls ran at once with the same worker index";
  EXPECT_LE(threads.size(), 3u);
}

TEST(WorkerPool, OrderedConsumesInOrderWithinTheBound) {
  WorkerPool pool(3);
  constexpr std::uint64_t n = 300;
  constexpr std::size_t in_flight = 4;
  std::vector<std::uint64_t> slots(in_flight, ~0ull);
  std::atomic<std::uint64_t> consumed{0};
  std::atomic<bool> too_early{false};
  std::vector<std::uint64_t> order;
  pool.ordered(
      n, in_flight,
      [&](std::uint64_t i, int) {
        // Item i may start only once item i - in_flight has been consumed.
        if (i >= in_flight && consumed.load() < i - in_flight + 1) too_early = true;
        if (i % 7 == 0) std::this_thread::sleep_for(std::chrono::microseconds(300));
        slots[i % in_flight] = i;
      },
      [&](std::uint64_t i) {
        EXPECT_EQ(slots[i % in_flight], i);
        order.push_back(i);
        consumed = i + 1;
      });
  ASSERT_EQ(order.size(), n);
  for (std::uint64_t i = 0; i < n; ++i) ASSERT_EQ(order[i], i);
  EXPECT_FALSE(too_early) << "an item began before its slot was free";
}

TEST(WorkerPool, TheFirstErrorStopsTheWorkAndReachesTheCaller) {
  WorkerPool pool(2);
  std::atomic<int> ran{0};
  EXPECT_THROW(pool.for_each(10000,
                             [&](std::size_t i, int) {
                               ++ran;
                               if (i == 10) throw std::runtime_error("item 10");
                               // Slow enough that the other worker cannot finish the rest
                               // while the throwing one waits for a CPU on a loaded machine.
                               if (i > 10) std::this_thread::sleep_for(std::chrono::microseconds(100));
                             }),
               std::runtime_error);
  EXPECT_LT(ran.load(), 10000);

  // From a producer: nothing runs once ordered() has returned.
  std::atomic<int> produced{0};
  EXPECT_THROW(pool.ordered(
                   1000, 4,
                   [&](std::uint64_t i, int) {
                     ++produced;
                     if (i == 5) throw std::runtime_error("produce 5");
                   },
                   [](std::uint64_t) {}),
               std::runtime_error);
  const int after = produced.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(produced.load(), after);
  EXPECT_LE(after, 10);

  // From the consumer (a cancelled progress callback, a failed write).
  std::vector<std::uint64_t> got;
  EXPECT_THROW(pool.ordered(
                   1000, 4, [](std::uint64_t, int) {},
                   [&](std::uint64_t i) {
                     got.push_back(i);
                     if (i == 3) throw std::runtime_error("sink 3");
                   }),
               std::runtime_error);
  EXPECT_EQ(got, (std::vector<std::uint64_t>{0, 1, 2, 3}));

  // The pool is still usable afterwards.
  std::atomic<int> again{0};
  pool.for_each(50, [&](std::size_t, int) { ++again; });
  EXPECT_EQ(again.load(), 50);
}

}  // namespace vexil::core
