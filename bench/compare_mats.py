#!/usr/bin/python3
"""Checks that two MAT-files hold the same variable "data" (type, shape and
values), read back with SciPy. Exits 1 and says how they differ otherwise.

Usage: compare_mats.py A.mat B.mat [--bands-first-ok]
  --bands-first-ok: A may hold B's (lines, samples, bands) cube in the
  (bands, lines, samples) order an HDF5 file stored it in (a converter
  keeps that order when the band axis is not the smallest); says so.
"""
import sys

import numpy as np
import scipy.io


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    if len(args) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    a = scipy.io.loadmat(args[0])["data"]
    b = scipy.io.loadmat(args[1])["data"]
    note = "same"
    if "--bands-first-ok" in sys.argv[1:] and a.shape != b.shape and a.shape == b.transpose(2, 0, 1).shape:
        b = b.transpose(2, 0, 1)
        note = "same, in stored (bands, lines, samples) order"
    if a.dtype != b.dtype or a.shape != b.shape:
        print("differ: %s %s vs %s %s" % (a.dtype, a.shape, b.dtype, b.shape))
        return 1
    if not np.array_equal(a, b, equal_nan=a.dtype.kind == "f"):
        print("differ: %d of %d values" % (int(np.count_nonzero(a != b)), a.size))
        return 1
    print(note)
    return 0


if __name__ == "__main__":
    sys.exit(main())
