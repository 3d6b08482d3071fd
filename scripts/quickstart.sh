#!/usr/bin/env bash
# Sets everything up, builds the program and converts the bundled sample
# into ./sample-out.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh release build
./build/vexil convert_to_mat --img data/sample/indian_sample.hdr --gt data/sample/indian_sample_gt.png \
  --out-dir sample-out
