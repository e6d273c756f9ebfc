#!/usr/bin/env python3
"""page.rows() against the library's own decode-to-rows call on the same page,
side by side in one process: the C call (t4_page_to_rows, packed rows, as a C
caller gets them) is made through ctypes on libtavrin.so, so both sides pay
one foreign call. Rounds alternate between the two; prints each side's median
time a page and the ratio, per sample file.

    PYTHONPATH=build/python/site python3 bench/python_rows.py LIBTAVRIN_SO [-r ROUNDS] [FILE ...]

LIBTAVRIN_SO: the shared library of the same build (build/libtavrin.so).
"""
import argparse
import ctypes
import os
import statistics
import time

import tavrin

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLES = ("sample.fax", "sample_mr.fax", "sample_mmr.fax")
# Decoder modes by COMPRESSION code: MH, MR, (uncompressed MMR: none), MMR.
DECODE_MODES = {0: 0, 1: 1, 3: 3, None: 0}
ROWS_OWN = 1  # T4_ROWS_OWN: the page's own rows, packed


class Rows(ctypes.Structure):
    _fields_ = [("bits", ctypes.c_void_p), ("lines", ctypes.c_int32),
                ("row_bytes", ctypes.c_int32), ("capacity", ctypes.c_size_t)]


def c_decoder(library_path):
    lib = ctypes.CDLL(library_path)
    lib.t4_page_to_rows.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t, ctypes.c_int,
                                    ctypes.c_int, ctypes.c_int32, ctypes.POINTER(Rows), ctypes.c_void_p]
    lib.t4_page_to_rows.restype = ctypes.c_int
    lib.t4_rows_free.argtypes = [ctypes.POINTER(Rows)]

    def decode(data, mode):
        rows = Rows()
        if lib.t4_page_to_rows(None, data, len(data), mode, ROWS_OWN, 0, ctypes.byref(rows), None) != 1:
            raise RuntimeError("t4_page_to_rows failed")
        lines = rows.lines
        lib.t4_rows_free(ctypes.byref(rows))  # as the array's release would
        return lines
    return decode


def timed(call, calls):
    started = time.perf_counter()
    for _ in range(calls):
        call()
    return (time.perf_counter() - started) / calls


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("library")
    parser.add_argument("-r", "--rounds", type=int, default=21)
    parser.add_argument("-n", "--calls", type=int, default=50, help="calls a round")
    parser.add_argument("files", nargs="*")
    args = parser.parse_args()
    decode = c_decoder(args.library)
    files = args.files or [os.path.join(HERE, "..", "examples", name) for name in SAMPLES]
    print(f"{'file':<16} {'rows() µs':>10} {'C µs':>10} {'ratio':>7}")
    for path in files:
        fax = tavrin.open(path)
        page = fax[0]
        data, mode = page.coded, DECODE_MODES[fax.compression]
        if decode(data, mode) != page.rows().shape[0]:
            raise SystemExit(f"{path}: the two calls disagree on the line count")
        ours, theirs = [], []
        for _ in range(args.rounds):
            ours.append(timed(page.rows, args.calls))
            theirs.append(timed(lambda: decode(data, mode), args.calls))
        o, t = statistics.median(ours), statistics.median(theirs)
        print(f"{os.path.basename(path):<16} {o * 1e6:>10.1f} {t * 1e6:>10.1f} {o / t:>7.2f}")
    print("ratio: rows() / the C call (at most 1.5 is the goal)")


if __name__ == "__main__":
    main()
