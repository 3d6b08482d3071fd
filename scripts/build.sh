#!/usr/bin/env bash
# Configures and builds into a folder:
#   build.sh [release|asan] [build-dir] [-DOPTION=VALUE ...]
# Extra arguments go to CMake, also for a folder configured before.
set -euo pipefail
cd "$(dirname "$0")/.."
kind="${1:-release}"
case "$kind" in
  release) dir="${2:-build}"; extra=(-DCMAKE_BUILD_TYPE=Release) ;;
  asan) dir="${2:-build-asan}"; extra=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXIL_SANITIZE=ON) ;;
  *) echo "usage: $0 [release|asan] [build-dir] [-DOPTION=VALUE ...]" >&2; exit 2 ;;
esac
shift $(( $# < 2 ? $# : 2 ))
generator=()
if [ ! -f "$dir/CMakeCache.txt" ] && command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
cmake -S . -B "$dir" "${generator[@]}" "${extra[@]}" "$@"
cmake --build "$dir" -j "$(nproc)"
