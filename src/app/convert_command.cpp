#include "app/convert_command.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>

#include "app/cli_parser.hpp"
#include "app/console_reporter.hpp"
#include "app/interrupt.hpp"
#include "vexil/convert.hpp"
#include "vexil/errors.hpp"

namespace vexil::app {
namespace {

void print_error(const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "vexil convert_to_mat: error: %s\n", message.c_str());
}

ConversionRequest request_from(const Options& opt) {
  ConversionRequest req;
  req.image = opt.img;
  req.ground_truth = opt.gt;
  req.out_dir = opt.out_dir;
  req.crop = opt.crop;
  req.data_key = opt.data_key;
  req.gt_key = opt.gt_key;
  req.layout = opt.layout;
  req.threads = opt.threads.value_or(0);
  req.cancel = &interrupt_requested();
  return req;
}

}  // namespace

std::string missing_dependency_hint(const Palette& p, const MissingDependencyError& e) {
  return "\n" + p.red + p.bold + "  Missing dependency: " + e.library() + p.reset +
         "\n  Install it with:  apt-get install " + e.package() +
         "  (then rebuild vexil)\n  Or install all convert deps:  scripts/install-deps.sh\n\n";
}

int run_convert_command(const std::vector<std::string>& args) {
  ConsoleReporter console;
  try {
    Options opt = parse_args(args);
    apply_environment(opt, std::getenv("VEXIL_THREADS"));
    install_interrupt_handlers();
    convert(request_from(opt), console);
    return 0;
  } catch (const ParserExit& e) {
    return e.status();
  } catch (const CancelledError& e) {
    if (interrupt_signal() != 0) die_by_interrupt_signal();
    print_error(e.what());
  } catch (const MissingDependencyError& e) {
    // On standard output, where the progress lines are.
    const std::string hint = missing_dependency_hint(console.palette(), e);
    std::fwrite(hint.data(), 1, hint.size(), stdout);
    std::fflush(stdout);
  } catch (const std::bad_alloc&) {
    print_error("out of memory");
  } catch (const std::exception& e) {
    print_error(e.what());
  } catch (...) {
    print_error("unknown failure");
  }
  return 1;
}

}  // namespace vexil::app
