// The one thread pool of the library. A pool of N workers is the calling
// thread plus N - 1 started threads: the caller works while it waits, so a
// pool of one starts no thread and runs everything where it was called.
// Pools live for one operation (a pass of statistics, one file's
// compression); their threads are joined when the pool goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace vexil::core {

class WorkerPool {
 public:
  // `workers` 0: cpu_budget(). Should a thread fail to start, the pool
  // works with the ones it has (the caller at least).
  explicit WorkerPool(int workers = 0);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Workers, the calling thread included.
  int workers() const { return workers_; }

  // Runs fn(i, worker) for every i in [0, n) and returns once all calls
  // have returned. `worker` (0 .. workers() - 1; 0 is the calling thread)
  // is never shared by two calls running at once, so per-worker state can
  // be indexed by it. The first exception stops items not yet begun and is
  // rethrown here.
  void for_each(std::size_t n, const std::function<void(std::size_t i, int worker)>& fn);

  // Produces items 0 .. n-1 on the workers and consumes them on the calling
  // thread strictly in order of i. At most `in_flight` items are produced
  // and not yet consumed: produce(i, ...) begins only after consume(i -
  // in_flight) has returned, so `in_flight` slots used as i % in_flight
  // hold every item. The first exception from either side stops new work;
  // produce calls already running finish before it is rethrown here.
  void ordered(std::uint64_t n, std::size_t in_flight, const std::function<void(std::uint64_t i, int worker)>& produce,
               const std::function<void(std::uint64_t i)>& consume);

  // Threads started by all pools of this process so far (for tests).
  static std::uint64_t threads_started();

 private:
  struct Shared;
  std::unique_ptr<Shared> shared_;
  int workers_ = 1;
};

}  // namespace vexil::core
