#!/usr/bin/python3
"""The converter's own Python module on the same cube as the Python
pipeline: vexil.convert_to_mat (the command's conversion, in-process) or
vexil.read (the cube as a NumPy array). When the module cannot be imported
it prints {"missing": "..."} and exits 3, and the benchmark skips the row.

For read, the time to touch every element (a maximum over the array) is
reported apart: a memory-mapped array is returned before its pages are read.

Usage: python_module.py convert --input PATH --out DIR
       python_module.py read --input PATH
"""
import argparse
import json
import sys
import time


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("mode", choices=("convert", "read"))
    ap.add_argument("--input", required=True)
    ap.add_argument("--out")
    args = ap.parse_args()
    try:
        import vexil
    except ImportError as e:
        print(json.dumps({"missing": str(e)}))
        return 3
    t0 = time.perf_counter()
    if args.mode == "convert":
        if not args.out:
            ap.error("convert needs --out")
        vexil.convert_to_mat(args.input, args.out)
        print(json.dumps({"read_s": -1, "write_s": time.perf_counter() - t0}))
        return 0
    cube, _meta = vexil.read(args.input)
    t1 = time.perf_counter()
    cube.max()
    t2 = time.perf_counter()
    print(json.dumps({"read_s": t1 - t0, "touch_s": t2 - t1, "write_s": -1,
                      "shape": list(cube.shape), "dtype": str(cube.dtype)}))
    return 0


if __name__ == "__main__":
    sys.exit(main())
