#!/usr/bin/env bash
# Configures and builds into a folder: build.sh [release|asan] [build-dir].
set -euo pipefail
cd "$(dirname "$0")/.."
kind="${1:-release}"
case "$kind" in
  release) dir="${2:-build}"; extra=(-DCMAKE_BUILD_TYPE=Release) ;;
  asan) dir="${2:-build-asan}"; extra=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXIL_SANITIZE=ON) ;;
  *) echo "usage: $0 [release|asan] [build-dir]" >&2; exit 2 ;;
esac
generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" "${generator[@]}" "${extra[@]}"
fi
cmake --build "$dir" -j "$(nproc)"
