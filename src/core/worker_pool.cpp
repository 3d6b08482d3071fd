#include "core/worker_pool.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "core/cpu_budget.hpp"

namespace vexil::core {
namespace {

std::atomic<std::uint64_t> g_threads_started{0};

}  // namespace

// Tasks never throw: for_each and ordered catch inside the tasks they queue.
struct WorkerPool::Shared {
  std::mutex mu;
  std::condition_variable work_cv;  // started threads wait here for tasks
  std::condition_variable done_cv;  // the caller waits here for a task to finish
  std::deque<std::function<void(int)>> queue;
  bool stop = false;
  std::vector<std::thread> threads;

  void loop(int worker) {
    std::unique_lock lk(mu);
    for (;;) {
      work_cv.wait(lk, [&] { return stop || !queue.empty(); });
      if (queue.empty()) return;
      auto task = std::move(queue.front());
      queue.pop_front();
      lk.unlock();
      task(worker);
      lk.lock();
    }
  }

  // Runs queued tasks on the calling thread (worker 0) until done() holds,
  // sleeping only when nothing is queued. `lk` holds `mu` on entry and exit.
  template <class Done>
  void help_until(std::unique_lock<std::mutex>& lk, Done done) {
    while (!done()) {
      if (queue.empty()) {
        done_cv.wait(lk);
        continue;
      }
      auto task = std::move(queue.front());
      queue.pop_front();
      lk.unlock();
      task(0);
      lk.lock();
    }
  }
};

WorkerPool::WorkerPool(int workers) : shared_(std::make_unique<Shared>()) {
  const int wanted = resolve_workers(workers);
  for (int w = 1; w < wanted; ++w) {
    try {
      shared_->threads.emplace_back([s = shared_.get(), w] { s->loop(w); });
    } catch (const std::system_error&) {
      break;  // out of threads: work with those started
    }
    g_threads_started.fetch_add(1, std::memory_order_relaxed);
  }
  workers_ = static_cast<int>(shared_->threads.size()) + 1;
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard lk(shared_->mu);
    shared_->stop = true;
  }
  shared_->work_cv.notify_all();
  for (auto& t : shared_->threads) t.join();
}

std::uint64_t WorkerPool::threads_started() { return g_threads_started.load(std::memory_order_relaxed); }

void WorkerPool::for_each(std::size_t n, const std::function<void(std::size_t, int)>& fn) {
  if (workers_ == 1 || n <= 1) {
    for (std::size_t i = 0; i < n; ++i) fn(i, 0);
    return;
  }
  Shared& s = *shared_;
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr error;
  int running = 0;
  auto claim = [&](int worker) {
    try {
      for (std::size_t i; !failed.load(std::memory_order_relaxed) && (i = next.fetch_add(1)) < n;) fn(i, worker);
    } catch (...) {
      std::lock_guard lk(s.mu);
      if (!error) error = std::current_exception();
      failed = true;
    }
  };
  {
    std::lock_guard lk(s.mu);
    running = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(workers_ - 1), n - 1));
    for (int h = 0; h < running; ++h) {
      s.queue.emplace_back([&](int worker) {
        claim(worker);
        {
          std::lock_guard lk2(s.mu);
          --running;
        }
        s.done_cv.notify_all();
      });
    }
  }
  s.work_cv.notify_all();
  claim(0);
  {
    std::unique_lock lk(s.mu);
    s.help_until(lk, [&] { return running == 0; });
  }
  if (error) std::rethrow_exception(error);
}

void WorkerPool::ordered(std::uint64_t n, std::size_t in_flight, const std::function<void(std::uint64_t, int)>& produce,
                         const std::function<void(std::uint64_t)>& consume) {
  if (n == 0) return;
  in_flight = std::max<std::size_t>(in_flight, 1);
  Shared& s = *shared_;
  std::vector<char> ready(in_flight, 0);
  std::exception_ptr error;
  bool failed = false;
  std::uint64_t submitted = 0, finished = 0;

  auto fail = [&](std::exception_ptr e) {
    if (!error) error = e;
    failed = true;
  };
  auto submit_until = [&](std::uint64_t limit) {
    {
      std::lock_guard lk(s.mu);
      for (limit = std::min(limit, n); submitted < limit; ++submitted) {
        s.queue.emplace_back([&, i = submitted](int worker) {
          bool skip;
          {
            std::lock_guard lk2(s.mu);
            skip = failed;
          }
          if (!skip) {
            try {
              produce(i, worker);
            } catch (...) {
              std::lock_guard lk2(s.mu);
              fail(std::current_exception());
            }
          }
          {
            std::lock_guard lk2(s.mu);
            ready[i % in_flight] = 1;
            ++finished;
          }
          s.done_cv.notify_all();
        });
      }
    }
    s.work_cv.notify_all();
  };

  try {
    for (std::uint64_t w = 0; w < n; ++w) {
      submit_until(w + in_flight);
      {
        std::unique_lock lk(s.mu);
        s.help_until(lk, [&] { return failed || ready[w % in_flight]; });
        if (failed) break;
        ready[w % in_flight] = 0;
      }
      consume(w);
    }
  } catch (...) {
    std::lock_guard lk(s.mu);
    fail(std::current_exception());
  }
  // Queued items are skipped once failed; running ones use this frame.
  {
    std::unique_lock lk(s.mu);
    s.help_until(lk, [&] { return finished == submitted; });
  }
  if (error) std::rethrow_exception(error);
}

}  // namespace vexil::core
