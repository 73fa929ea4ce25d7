#!/usr/bin/env python3
"""Times scythe against rm on the same trees, runs alternating.

    bench/bench.py [--program build/scythe] [--runs 5] [--where /dev/shm /var/tmp]

Trees: 100,000 files in 1,111 directories, and a chain 16,384 levels deep.
Silent: `scythe /Dir:X /SubDirectories /Silent` against `rm -rf X`.
With output: `scythe /Dir:X /SubDirectories > /dev/null` against
`rm -rfv X > /dev/null`. Prints medians, their ratio and scythe's peak RSS.
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time


def build_wide(root):
    """100,000 files in 1 + 10 + 100 + 1,000 directories."""
    directories = [root]
    os.mkdir(root)
    for level in range(3):
        next_level = []
        for parent in directories[-10 ** level:]:
            for i in range(10):
                path = os.path.join(parent, "d%d" % i)
                os.mkdir(path)
                next_level.append(path)
        directories.extend(next_level)
    assert len(directories) == 1111
    for n in range(100000):
        directory = directories[n % len(directories)]
        fd = os.open(os.path.join(directory, "file-%06d.dat" % n), os.O_CREAT | os.O_WRONLY, 0o644)
        if n % 7 == 0:
            os.write(fd, b"x" * 1500)
        os.close(fd)


def build_deep(root):
    """A chain of 16,384 directories, built through descriptors."""
    os.mkdir(root)
    fd = os.open(root, os.O_RDONLY | os.O_DIRECTORY)
    for _ in range(16384):
        os.mkdir("d", dir_fd=fd)
        child = os.open("d", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
        os.close(fd)
        fd = child
    os.close(os.open("leaf", os.O_CREAT | os.O_WRONLY, 0o644, dir_fd=fd))
    os.close(fd)


def timed(command, stdout):
    """Seconds of wall time and the peak RSS (KiB) of one command.

    The peak is read by GNU time: a child forked from this interpreter would
    count the interpreter's own pages until it execs."""
    with tempfile.NamedTemporaryFile("r") as report:
        start = time.perf_counter()
        process = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report.name] + command, stdout=stdout)
        seconds = time.perf_counter() - start
        if process.returncode != 0:
            sys.exit("%s failed with %d" % (command[0], process.returncode))
        return seconds, int(report.read().split()[-1])


def measure(program, where, build, name, runs):
    root = os.path.join(where, "scythe-bench-%d" % os.getpid())
    cases = [
        ("silent", [program, "/Dir:" + root, "/SubDirectories", "/Silent"], ["rm", "-rf", root]),
        ("output", [program, "/Dir:" + root, "/SubDirectories"], ["rm", "-rfv", root]),
    ]
    for label, scythe, rm in cases:
        times = {"scythe": [], "rm": []}
        peaks = []
        with open(os.devnull, "w") as null:
            for _ in range(runs):
                for who, command in (("scythe", scythe), ("rm", rm)):
                    build(root)
                    subprocess.run(["sync"])
                    seconds, peak = timed(command, null)
                    times[who].append(seconds)
                    if who == "scythe":
                        peaks.append(peak)
                    if os.path.exists(root):
                        sys.exit("%s left %s behind" % (who, root))
        scythe_median = statistics.median(times["scythe"])
        rm_median = statistics.median(times["rm"])
        peak_text = "%d KiB" % max(peaks)
        print("%-8s %-10s %-7s scythe %.3f s  rm %.3f s  ratio %.3f  scythe peak RSS %s"
              % (name, where, label, scythe_median, rm_median, scythe_median / rm_median, peak_text))
        sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--program", default=os.path.join(os.path.dirname(__file__), "..", "build", "scythe"))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--where", nargs="+", default=["/dev/shm", "/var/tmp"])
    arguments = parser.parse_args()
    program = os.path.abspath(arguments.program)
    for where in arguments.where:
        measure(program, where, build_wide, "100k", arguments.runs)
    measure(program, arguments.where[0], build_deep, "deep", arguments.runs)


if __name__ == "__main__":
    main()
