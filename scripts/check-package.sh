#!/usr/bin/env bash
# Checks vexil as others take it: a release build (warnings as errors) that is
#  1. installed into a temporary prefix, whose program runs from there;
#  2. used by another CMake project, examples/convert_sample, through
#     find_package(vexil CONFIG), converting the bundled sample;
#  3. used through pkg-config (vexil.pc) by a plain compiler call;
#  4. packed as a .deb by CPack, whose contents are listed and checked, and
#     which is installed with dpkg into a scratch root whose program converts
#     the sample.
#   check-package.sh [build-dir]          (default build-package)
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
dir="${1:-build-package}"
work="$(mktemp -d "${TMPDIR:-/tmp}/vexil-package.XXXXXX")"
trap 'rm -rf "$work"' EXIT
fail() { echo "check-package: $*" >&2; exit 1; }
step() { echo "== check-package: $*"; }

step "release build in $dir"
generator=()
if [ ! -f "$dir/CMakeCache.txt" ] && command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
cmake -S . -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DVEXIL_WERROR=ON -DVEXIL_BUILD_TESTS=OFF -DVEXIL_BUILD_BENCH=OFF -DVEXIL_BUILD_TOOLS=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)"
libdir="$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$dir/CMakeCache.txt")"
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$dir/CMakeCache.txt")"
[ -n "$libdir" ] && [ -n "$version" ] || fail "no libdir/version in $dir/CMakeCache.txt"
soversion="${version%.*}"
[ "${version%%.*}" = 0 ] || soversion="${version%%.*}"

# What every installation must hold, relative to its prefix (and the .deb,
# under /usr).
expected=(
  bin/vexil
  "$libdir/libvexil.so"
  "$libdir/libvexil.so.$soversion"
  "$libdir/libvexil.so.$version"
  "$libdir/libvexil-gdal.so.$soversion"
  "$libdir/libvexil-gdal.so.$version"
  include/vexil/vexil.hpp
  include/vexil/convert.hpp
  include/vexil/version.hpp
  "$libdir/cmake/vexil/vexilConfig.cmake"
  "$libdir/cmake/vexil/vexilConfigVersion.cmake"
  "$libdir/cmake/vexil/vexilTargets.cmake"
  "$libdir/pkgconfig/vexil.pc"
)

step "install into a temporary prefix"
prefix="$work/prefix"
cmake --install "$dir" --prefix "$prefix" >/dev/null
for f in "${expected[@]}"; do [ -e "$prefix/$f" ] || fail "not installed: $f"; done
# Only the public headers: nothing from src/, and no path into this tree.
extra="$(cd "$prefix/include" && find . -type f ! -path './vexil/*.hpp')"
[ -z "$extra" ] || fail "unexpected files under include/: $extra"
for h in "$root"/include/vexil/*.hpp; do
  [ -f "$prefix/include/vexil/$(basename "$h")" ] || fail "public header not installed: $(basename "$h")"
done
if grep -rl "$root" "$prefix/$libdir/cmake" "$prefix/$libdir/pkgconfig"; then
  fail "the installed package files point into the source tree"
fi
readelf -d "$prefix/$libdir/libvexil.so.$version" | grep -q "SONAME.*libvexil.so.$soversion" ||
  fail "libvexil's SONAME is not libvexil.so.$soversion"
# GDAL is loaded with the GDAL module when a file needs it, never at start.
if readelf -d "$prefix/bin/vexil" "$prefix/$libdir/libvexil.so.$version" | grep -q "NEEDED.*libgdal"; then
  fail "the program or libvexil links GDAL directly"
fi
env -u LD_LIBRARY_PATH "$prefix/bin/vexil" --version

pydir="$prefix/$(sed -n 's/^VEXIL_PYTHON_INSTALL_DIR:STRING=//p' "$dir/CMakeCache.txt")"
if [ "$pydir" != "$prefix/" ] && [ -d "$pydir/vexil" ]; then
  step "the installed Python module"
  PYTHONPATH="$pydir" /usr/bin/python3 - "$root/data/sample/indian_sample.hdr" <<'PY' || fail "the installed Python module does not work"
import sys, vexil
cube, meta = vexil.read(sys.argv[1])
assert cube.shape == (96, 96, 100), cube.shape
print("vexil", vexil.__version__, "from", vexil.__file__, "reads", cube.shape)
PY
fi

step "each public header compiles on its own (C++17, installed headers only)"
for h in "$prefix"/include/vexil/*.hpp; do
  echo "#include <vexil/$(basename "$h")>" |
    c++ -std=c++17 -Wall -Wextra -Werror -fsyntax-only -I"$prefix/include" -x c++ - ||
    fail "vexil/$(basename "$h") does not compile on its own"
done

sample_ok() {  # sample_ok <out-dir> <log>: the three files, and the closing line
  for f in data.mat gt.mat metadata.json; do [ -s "$1/$f" ] || fail "$1/$f missing or empty"; done
  grep -q "Conversion complete!" "$2" || fail "no closing summary in $2"
  /usr/bin/python3 - "$1" <<'PY' || fail "$1: the MAT-files do not read back as the sample"
import sys, json, scipy.io
out = sys.argv[1]
d = scipy.io.loadmat(out + "/data.mat")["data"]
g = scipy.io.loadmat(out + "/gt.mat")["gt"]
m = json.load(open(out + "/metadata.json"))
assert d.shape == (96, 96, 100) and str(d.dtype) == "uint16", (d.shape, d.dtype)
assert g.shape == (96, 96), g.shape
assert "conversion" in m, list(m)
PY
}

step "examples/convert_sample through find_package(vexil CONFIG)"
cmake -S examples/convert_sample -B "$work/example" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS=-Werror >/dev/null
cmake --build "$work/example"
"$work/example/convert_sample" "$work/example-out" | tee "$work/example.log"
sample_ok "$work/example-out" "$work/example.log"
# A failed conversion is a failure of the program.
if "$work/example/convert_sample" "$work/missing-out" "$work/no-such-folder" >/dev/null 2>"$work/missing.err"; then
  fail "convert_sample succeeded without its input"
fi
grep -q "convert_sample: error: " "$work/missing.err" || fail "convert_sample did not report the missing input"
[ ! -e "$work/missing-out/data.mat" ] || fail "a failed conversion left data.mat"

step "pkg-config vexil"
export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
[ "$(pkg-config --modversion vexil)" = "$version" ] || fail "pkg-config reports another version"
# shellcheck disable=SC2046
c++ -std=c++17 -O1 -o "$work/convert_sample_pc" examples/convert_sample/convert_sample.cpp \
  -DVEXIL_SAMPLE_DIR="\"$root/data/sample\"" $(pkg-config --cflags --libs vexil) \
  -Wl,-rpath,"$(pkg-config --variable=libdir vexil)"
"$work/convert_sample_pc" "$work/pc-out" > "$work/pc.log"
sample_ok "$work/pc-out" "$work/pc.log"
unset PKG_CONFIG_PATH

step "cpack: the .deb"
(cd "$dir" && cpack -G DEB -B "$work/deb" >/dev/null)
deb="$(ls "$work"/deb/*.deb)"
dpkg-deb --field "$deb" Package Version Architecture Maintainer Depends
dpkg-deb --contents "$deb" > "$work/deb-contents"
for f in "${expected[@]}"; do
  grep -q " \./usr/$f\( ->.*\)\?$" "$work/deb-contents" || fail "not in the .deb: /usr/$f"
done
depends="$(dpkg-deb --field "$deb" Depends)"
for lib in libmatio libgdal libhdf5 libfmt nlohmann-json3-dev; do
  [[ "$depends" == *"$lib"* ]] || fail "the .deb does not depend on $lib: $depends"
done

step "dpkg -i into a scratch root"
scratch="$work/root"
mkdir -p "$scratch/var/lib/dpkg/info" "$scratch/var/lib/dpkg/updates"
touch "$scratch/var/lib/dpkg/status"
# An empty package database: the dependencies are on the host, not in the
# scratch root, so they are not checked there; the maintainer scripts (ldconfig)
# run outside the scratch root, which has no shell.
dpkg --root="$scratch" --force-depends --force-script-chrootless -i "$deb" >"$work/dpkg.log" 2>&1 ||
  { cat "$work/dpkg.log"; fail "dpkg -i failed"; }
dpkg --root="$scratch" -s vexil | grep -q "Status: install ok installed" || fail "dpkg did not install the .deb"
env -u LD_LIBRARY_PATH "$scratch/usr/bin/vexil" convert_to_mat --img data/sample/indian_sample.hdr \
  --gt data/sample/indian_sample_gt.png --out-dir "$work/deb-out" > "$work/deb.log"
sample_ok "$work/deb-out" "$work/deb.log"

echo "check-package: install, find_package, pkg-config and .deb all work"
