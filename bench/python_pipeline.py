#!/usr/bin/python3
"""The pipeline a Python user runs to turn a hyperspectral cube into a
compressed MAT-file: read with the format's usual library, put the cube in
(lines, samples, bands) order, scipy.io.savemat(do_compression=True).

  ENVI     spectral.envi.open(hdr).load(dtype=<the file's type>)
           (load() alone would return float32)
  GeoTIFF  rasterio.open(path).read(), bands first, transposed
  HDF5     h5py.File(path)[dataset][()], transposed when stored bands first

Prints one JSON line with the read and write times in seconds.

Usage: python_pipeline.py --reader envi|tiff|hdf5 --input PATH
       [--dataset NAME] [--bands-first] (--out FILE.mat | --read-only)
"""
import argparse
import json
import sys
import time


def read_envi(path):
    import spectral.io.envi as envi
    img = envi.open(path)
    return img.load(dtype=img.dtype)


def read_tiff(path):
    import rasterio
    with rasterio.open(path) as src:
        return src.read().transpose(1, 2, 0)


def read_hdf5(path, dataset, bands_first):
    import h5py
    with h5py.File(path, "r") as f:
        a = f[dataset][()]
    return a.transpose(1, 2, 0) if bands_first else a


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--reader", required=True, choices=("envi", "tiff", "hdf5"))
    ap.add_argument("--input", required=True)
    ap.add_argument("--dataset", default="radiance")
    ap.add_argument("--bands-first", action="store_true")
    ap.add_argument("--out")
    ap.add_argument("--read-only", action="store_true")
    args = ap.parse_args()
    if not args.read_only and not args.out:
        ap.error("--out or --read-only is required")
    import numpy as np
    import scipy.io
    t0 = time.perf_counter()
    if args.reader == "envi":
        cube = read_envi(args.input)
    elif args.reader == "tiff":
        cube = read_tiff(args.input)
    else:
        cube = read_hdf5(args.input, args.dataset, args.bands_first)
    cube = np.asarray(cube)
    t1 = time.perf_counter()
    if not args.read_only:
        scipy.io.savemat(args.out, {"data": cube}, do_compression=True)
    t2 = time.perf_counter()
    print(json.dumps({"read_s": t1 - t0, "write_s": t2 - t1, "shape": list(cube.shape), "dtype": str(cube.dtype)}))
    return 0


if __name__ == "__main__":
    sys.exit(main())
