#!/usr/bin/env python3
"""The processor time the threads of a run cost, beside the wall time.

    bench/cpu.py [--program build/scythe] [--runs 5] [--where /dev/shm]

Blocked: `/Threads:8` on a tree of 2,000 files whose console is a pipe
nobody reads; once the program waits on it (the pipe is full and the
process sleeps), the processor time it uses in the next 2 seconds. Idle
threads that sleep use none.

Flat and chain: `/Threads:1`, `:2` and `:8 /Silent` on a flat directory of
200,000 files and on a chain 16,384 deep, where a second thread has nothing
to do: processor time (user and system, all threads) and wall time,
medians, and the processor time's ratio to `/Threads:1`.
"""
import argparse
import fcntl
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(__file__))
from bench import chain, flat  # noqa: E402

F_SETPIPE_SZ = 1031


def processor_seconds(pid):
    """User and system time of a running process, all its threads."""
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def state(pid):
    with open("/proc/%d/stat" % pid) as stat:
        return stat.read().rsplit(")", 1)[1].split()[0]


def measure_blocked(program, where, threads):
    root = os.path.join(where, "scythe-cpu-%d" % os.getpid())
    flat(2000)(root)
    read_end, write_end = os.pipe()
    fcntl.fcntl(write_end, F_SETPIPE_SZ, 4096)
    child = subprocess.Popen([program, "/Dir:" + root, "/Threads:%d" % threads], stdout=write_end)
    os.close(write_end)
    # Waits until the program sleeps on the full pipe, not for a fixed time.
    while True:
        pending = bytearray(4)
        fcntl.ioctl(read_end, 0x541B, pending)  # FIONREAD
        if int.from_bytes(pending, sys.byteorder) >= 4096 and state(child.pid) == "S":
            break
        time.sleep(0.01)
    before = processor_seconds(child.pid)
    time.sleep(2)
    used = processor_seconds(child.pid) - before
    with os.fdopen(read_end, "rb") as output:
        output.read()
    child.wait()
    print("blocked   %-10s /Threads:%-2d  %.2f s of processor time in 2 s" % (where, threads, used))


def timed(command):
    start = time.perf_counter()
    child = subprocess.Popen(command, stdout=subprocess.DEVNULL)
    _, _, usage = os.wait4(child.pid, 0)
    return time.perf_counter() - start, usage.ru_utime + usage.ru_stime


def measure_threads(program, where, name, build, runs):
    root = os.path.join(where, "scythe-cpu-%d" % os.getpid())
    labels = ("/Threads:1", "/Threads:2", "/Threads:8")
    wall = {label: [] for label in labels}
    cpu = {label: [] for label in labels}
    for _ in range(runs):
        for label in labels:
            build(root)
            seconds, processor = timed([program, "/Dir:" + root, "/SubDirectories", "/Silent", label])
            if os.path.exists(root):
                sys.exit("%s left %s behind" % (label, root))
            wall[label].append(seconds)
            cpu[label].append(processor)
    one = statistics.median(cpu["/Threads:1"])
    for label in labels:
        print("%-9s %-10s %-11s wall %.3f s  processor %.3f s  (%.2f of /Threads:1)"
              % (name, where, label, statistics.median(wall[label]), statistics.median(cpu[label]),
                 statistics.median(cpu[label]) / one))
    sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--program", default=os.path.join(os.path.dirname(__file__), "..", "build", "scythe"))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--where", default="/dev/shm")
    arguments = parser.parse_args()
    program = os.path.abspath(arguments.program)
    for threads in (1, 8):
        measure_blocked(program, arguments.where, threads)
    measure_threads(program, arguments.where, "flat-200k", flat(200000), arguments.runs)
    measure_threads(program, arguments.where, "deep-16k", chain(16384), arguments.runs)


if __name__ == "__main__":
    main()
