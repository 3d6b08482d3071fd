// Restricts the calling thread, and the threads it starts, to its first
// allowed CPU while in scope: what `taskset -c 0` does to a program.
#pragma once

#include <sched.h>

namespace vexil::test {

class OneCpu {
 public:
  OneCpu() {
    sched_getaffinity(0, sizeof saved_, &saved_);
    cpu_set_t one;
    CPU_ZERO(&one);
    for (int c = 0; c < CPU_SETSIZE; ++c)
      if (CPU_ISSET(c, &saved_)) {
        CPU_SET(c, &one);
        break;
      }
    sched_setaffinity(0, sizeof one, &one);
  }
  ~OneCpu() { sched_setaffinity(0, sizeof saved_, &saved_); }
  OneCpu(const OneCpu&) = delete;
  OneCpu& operator=(const OneCpu&) = delete;

 private:
  cpu_set_t saved_;
};

}  // namespace vexil::test
