#!/usr/bin/env python3
"""Kills faxtool with SIGKILL at random moments while it recompresses a fax
file and while it exports one as PNG pages and as a PDF, in each directory
given (one on ext4, one on tmpfs, say). After every kill the directory must
hold the input and, of the output, nothing or the complete result of an
unhindered run: no partial file under a final name, no stray file.

usage: kill_faxtool.py FAXTOOL SAMPLE_FAX KILLS DIR...
KILLS per directory: half recompressions, a quarter each PNG and PDF exports.
"""
import os
import random
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

PAGES = 80


def big_fax(sample):
    """The sample's pages over and over, in a file of PAGES pages."""
    data = open(sample, "rb").read()
    header_length = struct.unpack(">I", data[4:8])[0]
    at, pages = 8 + header_length, []
    while at + 4 <= len(data):
        length = struct.unpack(">I", data[at:at + 4])[0]
        pages.append(data[at + 4:at + 4 + length])
        at += 4 + length
    text = b"RESOLUTION:0\nCOMPRESSION:0\n#PAGES:%d\n\x1d" % PAGES
    out = bytearray(struct.pack(">II", 0xBADBAD16, len(text)) + text)
    for i in range(PAGES):
        page = pages[i % len(pages)]
        out += struct.pack(">I", len(page)) + page
    return bytes(out)


def comparable(name, data):
    """A PDF's /ID differs from run to run; the rest must not."""
    if name.endswith(".pdf"):
        return re.sub(rb"/ID \[<[0-9a-f]*><[0-9a-f]*>\]", b"/ID []", data)
    return data


def snapshot(directory):
    return {name: comparable(name, open(os.path.join(directory, name), "rb").read())
            for name in os.listdir(directory)}


class Job:
    def __init__(self, name, faxtool, args, work):
        self.name, self.faxtool, self.args, self.work = name, faxtool, args, work

    def run(self, source, kill_after=None):
        """Runs once in a fresh directory; returns its contents afterwards."""
        shutil.rmtree(self.work, ignore_errors=True)
        os.mkdir(self.work)
        with open(os.path.join(self.work, "in.fax"), "wb") as f:
            f.write(source)
        process = subprocess.Popen([self.faxtool] + self.args, cwd=self.work,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        finished = True
        if kill_after is not None:
            time.sleep(kill_after)
            finished = process.poll() is not None
            if not finished:
                process.send_signal(signal.SIGKILL)
        _, err = process.communicate()
        if finished and process.returncode != 0:
            raise SystemExit("%s failed unhindered: %s" % (self.name, err.decode(errors="replace")))
        return snapshot(self.work), finished


def check(job, source, reference, contents):
    """The input as it was (or, for recompress, the complete result) and
    outputs that are each complete; None or what is wrong."""
    for name, data in contents.items():
        if name == "in.fax":
            allowed = [source, reference["in.fax"]]
        elif name in reference:
            allowed = [reference[name]]
        else:
            return "stray file %r (%d bytes)" % (name, len(data))
        if data not in allowed:
            return "%s is neither the old file nor the complete new one (%d bytes)" % (name, len(data))
    if "in.fax" not in contents:
        return "the input is gone"
    return None


def main():
    if len(sys.argv) < 5:
        raise SystemExit(__doc__)
    faxtool, sample, kills = os.path.abspath(sys.argv[1]), sys.argv[2], int(sys.argv[3])
    source = big_fax(sample)
    failures = 0
    for directory in sys.argv[4:]:
        if not os.path.isdir(directory):
            print("%s: no such directory, skipped" % directory)
            continue
        base = tempfile.mkdtemp(prefix="faxtool-kill-", dir=directory)
        try:
            jobs = [(Job("recompress", faxtool, ["recompress", "-c", "mmr", "in.fax"], base + "/w"), kills // 2),
                    (Job("export-png", faxtool, ["export", "-p", "1-24", "-o", "p.png", "in.fax"], base + "/w"), kills // 4),
                    (Job("export-pdf", faxtool, ["export", "-o", "p.pdf", "in.fax"], base + "/w"),
                     kills - kills // 2 - kills // 4)]
            for job, count in jobs:
                # The quickest of three runs: kills should fall within a run.
                durations = []
                for _ in range(3):
                    started = time.monotonic()
                    reference, _ = job.run(source)
                    durations.append(time.monotonic() - started)
                duration = min(durations)
                outcomes = {"old": 0, "new": 0, "finished": 0}
                for _ in range(count):
                    contents, finished = job.run(source, random.uniform(0, duration))
                    problem = check(job, source, reference, contents)
                    if problem:
                        failures += 1
                        print("%s in %s: %s" % (job.name, directory, problem))
                    if finished:
                        outcomes["finished"] += 1
                    elif contents == {"in.fax": source}:
                        outcomes["old"] += 1
                    else:
                        outcomes["new"] += 1
                print("%s in %s (%.0f ms a run): %d kills: %d left nothing new, %d complete output, %d ran to the end"
                      % (job.name, directory, duration * 1000, count, outcomes["old"], outcomes["new"],
                         outcomes["finished"]))
        finally:
            shutil.rmtree(base, ignore_errors=True)
    if failures:
        raise SystemExit("%d kills left something behind" % failures)


if __name__ == "__main__":
    main()
