#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz and runs one of them:
#   scripts/fuzz.sh <target> <seconds>     e.g. scripts/fuzz.sh envi_header_fuzz 600
# Seeds come from fuzz/corpus/<name>; new inputs collect in build-fuzz/corpus/<name>
# and crashes in build-fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -ne 2 ]; then
  echo "usage: $0 <target> <seconds>" >&2
  exit 2
fi
target="$1"
seconds="$2"
dir=build-fuzz
if [ ! -f "$dir/CMakeCache.txt" ]; then
  generator=()
  if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
  CC=clang CXX=clang++ cmake -S . -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVEXIL_FUZZ=ON -DVEXIL_BUILD_TESTS=OFF -DVEXIL_BUILD_BENCH=OFF
fi
cmake --build "$dir" --target "$target" -j2
name="${target%_fuzz}"
seeds="fuzz/corpus/$name"
work="$dir/corpus/$name"
mkdir -p "$work" "$dir/artifacts"
# The option parser prints usage texts and matio its warnings; keep them out of the log.
extra=()
case "$target" in cli_fuzz|gt_mat_fuzz) extra=(-close_fd_mask=3) ;; esac
exec "$dir/fuzz/$target" -max_total_time="$seconds" -max_len=16384 -timeout=60 -rss_limit_mb=2048 \
  "${extra[@]}" -artifact_prefix="$dir/artifacts/$target-" "$work" "$seeds"
