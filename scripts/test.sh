#!/usr/bin/env bash
# The whole check, as CI runs it (.ci/run):
#   1. installs the packages (scripts/install-deps.sh);
#   2. checks the formatting of the files listed in .clang-format-include;
#   3. builds with AddressSanitizer and UndefinedBehaviorSanitizer, warnings
#      as errors;
#   4. checks the installed library, the example program, pkg-config and the
#      .deb from a release build (scripts/check-package.sh);
#   5. runs the Python module's tests on that release build (the module is
#      not built under the sanitizers: an interpreter cannot load it there);
#   6. runs the whole test suite on the sanitizer build (last, so its summary
#      closes the output).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/check-format.sh
scripts/build.sh asan build-asan -DVEXIL_WERROR=ON
scripts/check-package.sh build-package
if [ -d build-package/python/vexil ]; then
  echo "== Python module tests (release build)"
  PYTHONPATH="$PWD/build-package/python" VEXIL_BINARY="$PWD/build-package/vexil" VEXIL_SOURCE_DIR="$PWD" \
    /usr/bin/python3 -m pytest -q -p no:cacheprovider python/tests
fi
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
unset COLUMNS NO_COLOR
cd build-asan
ctest --output-on-failure -j "$(nproc)"
