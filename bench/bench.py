#!/usr/bin/env python3
"""Times scythe against rm on the same trees, runs alternating.

    bench/bench.py [--program build/scythe] [--runs 5] [--where /dev/shm /var/tmp]
    bench/bench.py --wine [--program build-windows-x64/scythe.exe] [--runs 3]

Trees: 100,000 files in 1,111 directories; chains 16,384 and 30,000 levels
deep at the default open-file limit, and 5,000 deep under a limit of 1,024
descriptors (both programs run under `prlimit --nofile=1024:1024`); the
peak memory of a chain 100,000 deep (one run).
Silent: `scythe /Dir:X /SubDirectories /Silent` against `rm -rf X`.
With output: `scythe /Dir:X /SubDirectories > /dev/null` against
`rm -rfv X > /dev/null`. Prints medians, their ratio and scythe's peak RSS.

With --wine, the Windows build under Wine (there is no rm to compare with):
chains 100 and 400 deep with 5 files per level, and a flat directory of
40,000 files; silent runs, medians.
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


def chain(depth, files_per_level=0):
    """A chain of directories, built through descriptors."""
    def build(root):
        os.mkdir(root)
        fd = os.open(root, os.O_RDONLY | os.O_DIRECTORY)
        for _ in range(depth):
            for n in range(files_per_level):
                os.close(os.open("file-%d" % n, os.O_CREAT | os.O_WRONLY, 0o644, dir_fd=fd))
            os.mkdir("d", dir_fd=fd)
            child = os.open("d", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd = child
        os.close(os.open("leaf", os.O_CREAT | os.O_WRONLY, 0o644, dir_fd=fd))
        os.close(fd)
    return build


def flat(count):
    def build(root):
        os.mkdir(root)
        fd = os.open(root, os.O_RDONLY | os.O_DIRECTORY)
        for n in range(count):
            os.close(os.open("file-%06d" % n, os.O_CREAT | os.O_WRONLY, 0o644, dir_fd=fd))
        os.close(fd)
    return build


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


def measure(program, where, build, name, runs, prefix=(), silent_only=False):
    root = os.path.join(where, "scythe-bench-%d" % os.getpid())
    prefix = list(prefix)
    cases = [
        ("silent", prefix + [program, "/Dir:" + root, "/SubDirectories", "/Silent"], prefix + ["rm", "-rf", root]),
        ("output", prefix + [program, "/Dir:" + root, "/SubDirectories"], prefix + ["rm", "-rfv", root]),
    ]
    if silent_only:
        cases = cases[:1]
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


def measure_peak(program, where, build, name):
    root = os.path.join(where, "scythe-bench-%d" % os.getpid())
    build(root)
    with open(os.devnull, "w") as null:
        seconds, peak = timed([program, "/Dir:" + root, "/SubDirectories", "/Silent"], null)
    if os.path.exists(root):
        sys.exit("scythe left %s behind" % root)
    print("%-8s %-10s silent  scythe %.3f s  scythe peak RSS %d KiB" % (name, where, seconds, peak))


def measure_wine(program, where, build, name, runs):
    root = os.path.join(where, "scythe-bench-%d" % os.getpid())
    command = ["/usr/lib/wine/wine64", program, "/Dir:Z:" + root.replace("/", "\\"), "/SubDirectories", "/Silent"]
    times = []
    with open(os.devnull, "w") as null:
        for _ in range(runs):
            build(root)
            start = time.perf_counter()
            subprocess.run(command, stdout=null, env=dict(os.environ, WINEDEBUG="-all"))
            times.append(time.perf_counter() - start)
            if os.path.exists(root):
                sys.exit("scythe.exe left %s behind" % root)
    print("%-10s %-10s wine    scythe.exe %.3f s (median of %d)" % (name, where, statistics.median(times), runs))
    sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--program", default=os.path.join(os.path.dirname(__file__), "..", "build", "scythe"))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--where", nargs="+", default=["/dev/shm", "/var/tmp"])
    parser.add_argument("--wine", action="store_true", help="the Windows build under Wine")
    arguments = parser.parse_args()
    if arguments.wine:
        if arguments.program.endswith(os.path.join("build", "scythe")):
            arguments.program = os.path.join(os.path.dirname(__file__), "..", "build-windows-x64", "scythe.exe")
        program = os.path.abspath(arguments.program)
        subprocess.run(["/usr/lib/wine/wineserver", "-p30"])
        for name, build in (("chain-100", chain(100, 5)), ("chain-400", chain(400, 5)), ("flat-40k", flat(40000))):
            measure_wine(program, arguments.where[0], build, name, arguments.runs)
        return
    program = os.path.abspath(arguments.program)
    for where in arguments.where:
        measure(program, where, build_wide, "100k", arguments.runs)
    where = arguments.where[0]
    measure(program, where, chain(16384), "deep-16k", arguments.runs)
    measure(program, where, chain(30000), "deep-30k", arguments.runs, silent_only=True)
    measure(program, where, chain(5000), "deep-5k", arguments.runs,
            prefix=["prlimit", "--nofile=1024:1024"], silent_only=True)
    measure_peak(program, where, chain(100000), "deep-100k")


if __name__ == "__main__":
    main()
