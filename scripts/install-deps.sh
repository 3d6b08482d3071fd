#!/usr/bin/env bash
# Installs the Debian packages that building, testing and benchmarking need.
# Idempotent: packages already installed are skipped, and apt is not touched
# at all when nothing is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  zlib1g-dev libisal-dev libfmt-dev nlohmann-json3-dev libgtest-dev
  libmatio-dev libgdal-dev libhdf5-dev liblzf-dev
  python3 python3-numpy python3-scipy python3-h5py pybind11-dev python3-pytest
  clang libclang-rt-14-dev clang-format-14
  dpkg-dev file
)
# The benchmark's Python pipeline readers and its GNU parallel batch row.
packages+=(python3-spectral python3-rasterio parallel)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#packages[@]} packages already installed"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
