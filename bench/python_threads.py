#!/usr/bin/env python3
"""Decodes every page of a set of fax files on a thread pool of 1 and of 2
threads and prints both times and their ratio: decoding releases the GIL, so
on 2 free cores 2 threads take about half the time.

    PYTHONPATH=build/python/site python3 bench/python_threads.py [-r ROUNDS] [FILE ...]

With no files, 24 files of 12 pages are made from examples/ in a temporary
directory (the pages of the three samples, repeated).
"""
import argparse
import concurrent.futures
import os
import statistics
import tempfile
import time

import tavrin

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLES = ("sample.fax", "sample_mr.fax", "sample_mmr.fax")


def made_files(directory, count=24, pages=12):
    """Fax files of `pages` pages each, taken in turn from the samples' pages."""
    samples = [tavrin.open(os.path.join(HERE, "..", "examples", name)) for name in SAMPLES]
    paths = []
    for i in range(count):
        fax = samples[i % len(samples)]
        images = [fax[j % len(fax)].rows() for j in range(pages)]
        path = os.path.join(directory, f"pages{i:02}.fax")
        tavrin.write(path, images, compression=("mh", "mr", "mmr")[i % 3],
                     resolution="normal" if fax.resolution == 0 else "fine")
        paths.append(path)
    return paths


def decode_all(pages, threads):
    started = time.perf_counter()
    with concurrent.futures.ThreadPoolExecutor(threads) as pool:
        lines = sum(pool.map(lambda page: page.rows().shape[0], pages))
    return time.perf_counter() - started, lines


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("files", nargs="*", help="fax files (default: 24 made from the samples)")
    parser.add_argument("-r", "--rounds", type=int, default=8, help="rounds, each timing 1 and 2 threads")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as directory:
        paths = args.files or made_files(directory)
        # Read once: the rounds time the decoding, not the disk.
        pages = [page for path in paths for page in tavrin.open(open(path, "rb").read())]
    one, two = [], []
    for _ in range(args.rounds):  # in turn, so that a change of load hits both alike
        t1, lines1 = decode_all(pages, 1)
        t2, lines2 = decode_all(pages, 2)
        assert lines1 == lines2
        one.append(t1)
        two.append(t2)
    m1, m2 = statistics.median(one), statistics.median(two)
    print(f"{len(paths)} files, {len(pages)} pages, {args.rounds} rounds (medians)")
    print(f"1 thread:  {m1:.3f} s")
    print(f"2 threads: {m2:.3f} s")
    print(f"ratio:     {m1 / m2:.2f}x")


if __name__ == "__main__":
    main()
