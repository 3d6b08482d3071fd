// Ctrl-C and termination: the first SIGINT, SIGTERM or SIGHUP asks the
// running conversion to stop (it removes its temporary files on the way out);
// a second one ends the process at once.
#pragma once

#include <atomic>

namespace vexil::app {

// Installs the handlers (once); signals the caller ignores or handles stay so.
void install_interrupt_handlers();
// Set by the first signal; hand it to the conversion as its cancel flag.
const std::atomic<bool>& interrupt_requested();
// The signal that set the flag, 0 when none did.
int interrupt_signal();
// Ends the process by the signal that interrupted it, as the default action
// of that signal would have, so callers see "killed by SIGINT".
[[noreturn]] void die_by_interrupt_signal();

}  // namespace vexil::app
