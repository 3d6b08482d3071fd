#!/usr/bin/python3
"""Writes the benchmark's ENVI BSQ cubes: the scenes of make_cubes.py and
variants of them that deflate better or worse.

The scene (spectra, fields, noise, 12-bit radiance and float32 reflectance)
comes from make_cubes.py unchanged; a variant only requantises its output,
so every cube keeps the scene's spatial and spectral structure:

  u16       the 12-bit radiance as generated
  u16-h     radiance halved (an 11-bit sensor): fewer noise bits, deflates better
  u16-x4    radiance x4 plus a uniform draw below one former step (a 14-bit
            sensor): two more noise bits
  u16-x8    radiance x8 likewise (15-bit)
  f32       the float32 reflectance as generated (every mantissa bit in use)
  f32-mN    the reflectance with its mantissa cut to N bits (as products
            stored with limited precision, e.g. netCDF quantisation)

Each cube is written under a temporary name and renamed into place, so a
file with the final name is complete. One line per cube is printed.

Usage: bench_cubes.py --out DIR --size TAG --seed N --variants u16,f32-m12,...
       [--generator make_cubes.py]
"""
import argparse
import importlib.util
import os
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))


def load_generator(path):
    spec = importlib.util.spec_from_file_location("make_cubes", path)
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


def variant(name, dn, refl, seed):
    """The cube (B, H, W) of one variant."""
    rng = np.random.default_rng(seed + 7919)
    if name == "u16":
        return dn
    if name == "u16-h":
        return dn >> 1
    if name in ("u16-x4", "u16-x8"):
        k = 4 if name == "u16-x4" else 8
        out = dn.astype(np.uint16) * np.uint16(k)          # 4095 * 8 < 65536
        out += rng.integers(0, k, size=dn.shape, dtype=np.uint16)
        return out
    if name == "f32":
        return refl
    if name.startswith("f32-m"):
        keep = int(name[5:])
        if not 1 <= keep <= 23:
            raise SystemExit("bench_cubes: mantissa bits must be 1..23: " + name)
        mask = np.uint32((0xFFFFFFFF << (23 - keep)) & 0xFFFFFFFF)
        return (refl.view(np.uint32) & mask).view(np.float32)
    raise SystemExit("bench_cubes: unknown variant " + name)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", required=True)
    ap.add_argument("--size", required=True)
    ap.add_argument("--seed", type=int, required=True)
    ap.add_argument("--variants", required=True)
    ap.add_argument("--generator", default=os.path.join(HERE, "make_cubes.py"))
    args = ap.parse_args()
    mc = load_generator(args.generator)
    if args.size not in mc.SIZES:
        raise SystemExit("bench_cubes: unknown size %s (have %s)" % (args.size, ", ".join(mc.SIZES)))
    names = [v for v in args.variants.split(",") if v]
    H, W, B = mc.SIZES[args.size]
    want_float = any(v.startswith("f32") for v in names)
    t0 = time.time()
    wl, fwhm, dn, refl = mc.make_cube(args.size, H, W, B, args.seed, want_float)
    t1 = time.time()
    os.makedirs(args.out, exist_ok=True)
    for name in names:
        cube = variant(name, dn, refl, args.seed)
        base = os.path.join(args.out, "%s_s%d_%s" % (args.size, args.seed, name))
        desc = "Synthetic hyperspectral %s, seed %d, variant %s" % (args.size, args.seed, name)
        # Data first, header last: the header's presence marks a whole cube.
        mc.write_bsq(base + ".img.tmp", cube)
        os.replace(base + ".img.tmp", base + ".img")
        mc.write_hdr(base + ".hdr.tmp", H, W, B, cube.dtype, "bsq", wl, fwhm, desc)
        os.replace(base + ".hdr.tmp", base + ".hdr")
        print("%s %dx%dx%d %s generate %.1fs" % (base, H, W, B, cube.dtype, t1 - t0), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
