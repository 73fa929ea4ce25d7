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

    bench/bench.py --parallel [--runs 5] [--where /dev/shm ext4] [--trees 1m 100k flat-200k deep-16k]
    bench/bench.py --parallel --wine [--runs 5]

The parallel section: /Threads:1, 2 and 8 against `rm -rf`, and against the
physical limit of the machine, two `rm -rf` at the same time on the two
halves of a twin tree (the same tree split in two at its top). Trees:
1,000,000 empty files in 10,000 directories of 100 (root, 100, 100 each),
the 100,000-file tree, a flat directory of 200,000 files, a chain 16,384
deep. "ext4" is a file system made on a loop-mounted image file under
/var/tmp (needs root), so that the shared disk's own noise stays out. With
output: `/Threads:2` to /dev/null against `rm -rfv` to /dev/null. All
commands of a tree run in turn, round after round; medians, and the spread
(lowest to highest) as a measure of the noise. With --wine: the Windows
build, /Threads:4 against /Threads:1, on a flat directory of 40,000 files
and on 20,000 files in 200 directories.

    bench/bench.py --network [--round-trip-ms 2] [--runs 3]

The network section (needs root, FUSE and the Debian packages sshfs,
openssh-sftp-server and socat): sshfs mounts a directory on /dev/shm as
served by `sftp-server` over `socat`, through bench/delay_relay.py, which
holds every byte back half the round trip in each direction. Trees, built
on the server's side: 1,000 files in 20 directories of 50, and 1,000 files
in one directory. `rm -rf` on the mount against /Threads:1, 4, 16 and 64,
silent; medians and spreads.

    bench/bench.py --progress [--runs 7] [--where /dev/shm]

The cost of /Progress: standard output a terminal (a pseudo-terminal read
by the bench), each case with and without /Progress, alternating, on a
flat directory of 200,000 files and on 200,000 files in 200 directories:
/Silent, with every line on the terminal, and /Threads:2 /Silent. Medians
of wall time (with the spread) and of CPU time (user and system, all
threads), which other loads on a shared machine disturb less.
"""
import argparse
import os
import resource
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
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


def directory_of_empty_files(directory, count):
    os.mkdir(directory)
    fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    for n in range(count):
        os.close(os.open("f%02d" % n, os.O_CREAT | os.O_WRONLY, 0o644, dir_fd=fd))
    os.close(fd)


def build_million(root, halves=1):
    """1,000,000 empty files: 100 directories of 100 directories of 100 files.

    With halves=2 the 100 top directories are split between root/h0 and
    root/h1: the twin tree whose halves two rm run on at once."""
    os.mkdir(root)
    for top in range(100):
        parent = os.path.join(root, "h%d" % (top * halves // 100)) if halves > 1 else root
        if not os.path.isdir(parent):
            os.mkdir(parent)
        top_dir = os.path.join(parent, "d%02d" % top)
        os.mkdir(top_dir)
        for middle in range(100):
            directory_of_empty_files(os.path.join(top_dir, "e%02d" % middle), 100)


def build_wide_halves(root, halves=1):
    """The 100,000-file tree; as two halves side by side for the twin tree."""
    if halves == 1:
        return build_wide(root)
    os.mkdir(root)
    for half in range(halves):
        half_root = os.path.join(root, "h%d" % half)
        build_wide(half_root)
        # half of the files of the one tree in each
        for directory, _, files in os.walk(half_root):
            for name in files:
                if int(name[5:11]) % 2 != half:
                    os.unlink(os.path.join(directory, name))


def in_halves(shape, size):
    """A tree of shape(size); as two of shape(size / 2) side by side for the twin tree."""
    def build(root, halves=1):
        if halves == 1:
            return shape(size)(root)
        os.mkdir(root)
        for half in range(halves):
            shape(size // halves)(os.path.join(root, "h%d" % half))
    return build


PARALLEL_TREES = {
    "1m": build_million,
    "100k": build_wide_halves,
    "flat-200k": in_halves(flat, 200000),
    "deep-16k": in_halves(chain, 16384),
}


def twin_rm(root):
    """Two rm -rf at once on the two halves, then the empty root."""
    halves = [subprocess.Popen(["rm", "-rf", os.path.join(root, "h%d" % half)]) for half in range(2)]
    for process in halves:
        process.wait()
    os.rmdir(root)


class Ext4Image:
    """An ext4 file system on a loop-mounted image file, made for the bench."""

    def __init__(self, inodes=1200000):
        self.image = "/var/tmp/scythe-bench-%d.img" % os.getpid()
        self.mount = "/var/tmp/scythe-bench-%d.mnt" % os.getpid()
        subprocess.run(["truncate", "-s", "4G", self.image], check=True)
        subprocess.run(["mkfs.ext4", "-q", "-F", "-N", str(inodes), self.image], check=True)
        os.mkdir(self.mount)
        subprocess.run(["mount", "-o", "loop", self.image, self.mount], check=True)

    def close(self):
        subprocess.run(["umount", self.mount])
        os.rmdir(self.mount)
        os.unlink(self.image)


def run_case(command, root, null):
    """Seconds of one case: a command line (list) or a function of the root."""
    subprocess.run(["sync"])
    start = time.perf_counter()
    if callable(command):
        command(root)
    else:
        subprocess.run(command, stdout=null)
    seconds = time.perf_counter() - start
    if os.path.exists(root):
        sys.exit("%s left %s behind" % (command, root))
    return seconds


def measure_parallel(program, where, name, build, runs):
    root = os.path.join(where, "scythe-bench-%d" % os.getpid())
    silent = [program, "/Dir:" + root, "/SubDirectories", "/Silent"]
    cases = [
        ("rm -rf", ["rm", "-rf", root], 1),
        ("2 x rm -rf on halves", twin_rm, 2),
        ("/Threads:1", silent, 1),
        ("/Threads:2", silent + ["/Threads:2"], 1),
        ("/Threads:8", silent + ["/Threads:8"], 1),
        ("rm -rfv > null", ["rm", "-rfv", root], 1),
        ("/Threads:2 > null", [program, "/Dir:" + root, "/SubDirectories", "/Threads:2"], 1),
    ]
    if name != "1m" and name != "100k":
        cases = [case for case in cases if case[0] in ("rm -rf", "/Threads:1", "/Threads:2", "/Threads:8")]
    times = {label: [] for label, _, _ in cases}
    with open(os.devnull, "w") as null:
        for _ in range(runs):
            for label, command, halves in cases:
                build(root, halves)
                times[label].append(run_case(command, root, null))
    medians = {label: statistics.median(values) for label, values in times.items()}
    for label, values in times.items():
        print("%-9s %-10s %-22s %7.3f s  spread %.3f-%.3f  /rm %.2f%s"
              % (name, where, label, medians[label], min(values), max(values), medians[label] / medians["rm -rf"],
                 "  /limit %.2f" % (medians[label] / medians["2 x rm -rf on halves"])
                 if "2 x rm -rf on halves" in medians else ""))
    if "rm -rfv > null" in medians:
        print("%-9s %-10s %-22s ratio to rm -rfv %.2f" % (name, where, "/Threads:2 > null",
                                                          medians["/Threads:2 > null"] / medians["rm -rfv > null"]))
    sys.stdout.flush()


def wide_wine(root, halves=1):
    """20,000 files in 200 directories."""
    os.mkdir(root)
    for d in range(200):
        directory_of_empty_files(os.path.join(root, "d%03d" % d), 100)


def measure_parallel_wine(program, where, runs):
    root = os.path.join(where, "scythe-bench-%d" % os.getpid())
    command = ["/usr/lib/wine/wine64", program, "/Dir:Z:" + root.replace("/", "\\"), "/SubDirectories", "/Silent"]
    environment = dict(os.environ, WINEDEBUG="-all")
    for name, build in (("flat-40k", lambda root: flat(40000)(root)), ("200x100", wide_wine)):
        times = {"/Threads:1": [], "/Threads:4": []}
        with open(os.devnull, "w") as null:
            for _ in range(runs):
                for label in times:
                    build(root)
                    start = time.perf_counter()
                    subprocess.run(command + [label], stdout=null, env=environment)
                    times[label].append(time.perf_counter() - start)
                    if os.path.exists(root):
                        sys.exit("scythe.exe left %s behind" % root)
        one, four = statistics.median(times["/Threads:1"]), statistics.median(times["/Threads:4"])
        print("%-10s %-10s wine  /Threads:1 %.3f s  /Threads:4 %.3f s  ratio %.2f  (spreads %.3f-%.3f, %.3f-%.3f)"
              % (name, where, one, four, four / one, min(times["/Threads:1"]), max(times["/Threads:1"]),
                 min(times["/Threads:4"]), max(times["/Threads:4"])))
        sys.stdout.flush()


def parallel_section(program, arguments):
    if arguments.wine:
        subprocess.run(["/usr/lib/wine/wineserver", "-p30"])
        measure_parallel_wine(program, arguments.where[0] if arguments.where != ["/dev/shm", "/var/tmp"] else "/dev/shm",
                              arguments.runs)
        return
    places = arguments.where if arguments.where != ["/dev/shm", "/var/tmp"] else ["/dev/shm", "ext4"]
    for where in places:
        image = Ext4Image() if where == "ext4" else None
        try:
            for name in arguments.trees:
                measure_parallel(program, image.mount if image else where, name, PARALLEL_TREES[name], arguments.runs)
        finally:
            if image:
                image.close()


def timed_on_terminal(command):
    """Seconds of wall time and of CPU time (user and system, all threads) of one
    command whose standard output is a terminal that is read at once. On a
    machine others share, the CPU time shows a cost the wall time's noise hides."""
    reader, terminal = os.openpty()
    def drain():
        while True:
            try:
                if not os.read(reader, 65536):
                    return
            except OSError:  # the program's side is closed
                return
    draining = threading.Thread(target=drain)
    draining.start()
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    process = subprocess.run(command, stdout=terminal)
    seconds = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
    os.close(terminal)
    draining.join()
    os.close(reader)
    if process.returncode != 0:
        sys.exit("%s failed with %d" % (command[0], process.returncode))
    return seconds, cpu


def spread_of(name, build, where, program, runs):
    root = os.path.join(where, "scythe-bench-%d" % os.getpid())
    base = [program, "/Dir:" + root, "/SubDirectories"]
    for label, options in (("silent", ["/Silent"]), ("lines", []), ("2 threads", ["/Threads:2", "/Silent"])):
        times = {"without": [], "/Progress": []}
        cpu = {"without": [], "/Progress": []}
        for _ in range(runs):
            for case in times:
                build(root)
                subprocess.run(["sync"])
                seconds, cpu_seconds = timed_on_terminal(base + options + (["/Progress"] if case == "/Progress" else []))
                times[case].append(seconds)
                cpu[case].append(cpu_seconds)
                if os.path.exists(root):
                    sys.exit("scythe left %s behind" % root)
        without, progress = statistics.median(times["without"]), statistics.median(times["/Progress"])
        cpu_without, cpu_progress = statistics.median(cpu["without"]), statistics.median(cpu["/Progress"])
        print("%-10s %-10s %-10s terminal: without %.3f s (%.3f-%.3f)  /Progress %.3f s (%.3f-%.3f)  ratio %.3f;"
              "  CPU %.3f s against %.3f s, ratio %.3f"
              % (name, where, label, without, min(times["without"]), max(times["without"]), progress,
                 min(times["/Progress"]), max(times["/Progress"]), progress / without,
                 cpu_progress, cpu_without, cpu_progress / cpu_without))
        sys.stdout.flush()


def progress_section(program, arguments):
    where = arguments.where[0]
    for name, build in (("flat-200k", flat(200000)), ("200x1000", in_directories(200, 1000))):
        spread_of(name, build, where, program, arguments.runs)


SFTP_SERVER = "/usr/lib/openssh/sftp-server"


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for_port(port):
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port)).close()
            return
        except OSError:
            time.sleep(0.05)
    sys.exit("nothing listens on port %d" % port)


class NetworkShare:
    """A directory on /dev/shm as sshfs shows it through the delaying relay."""

    def __init__(self, round_trip_ms):
        self.base = tempfile.mkdtemp(prefix="scythe-bench-net-", dir="/dev/shm")
        self.export = os.path.join(self.base, "export")
        self.mount = os.path.join(self.base, "mnt")
        os.mkdir(self.export)
        os.mkdir(self.mount)
        server_port, relay_port = free_port(), free_port()
        # socat starts one sftp-server per connection; its probe below is one.
        self.server = subprocess.Popen(["socat", "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr,fork" % server_port,
                                        "EXEC:" + SFTP_SERVER], stderr=subprocess.DEVNULL)
        wait_for_port(server_port)
        relay = os.path.join(os.path.dirname(os.path.abspath(__file__)), "delay_relay.py")
        self.relay = subprocess.Popen([sys.executable, relay, str(relay_port), str(server_port), str(round_trip_ms / 2)],
                                      stdout=subprocess.PIPE, text=True)
        self.relay.stdout.readline()
        # No cache in sshfs: each round's tree is built on the server's side.
        subprocess.run(["sshfs", "-o", "directport=%d" % relay_port, "-o", "dir_cache=no",
                        "127.0.0.1:" + self.export, self.mount], check=True)

    def close(self):
        subprocess.run(["fusermount3", "-u", self.mount])
        for process in (self.relay, self.server):
            process.terminate()
            process.wait()
        subprocess.run(["rm", "-rf", self.base])


def in_directories(directories, files):
    def build(root):
        os.mkdir(root)
        for d in range(directories):
            directory_of_empty_files(os.path.join(root, "d%03d" % d), files)
    return build


def network_section(program, arguments):
    share = NetworkShare(arguments.round_trip_ms)
    try:
        for name, build in (("1000 in 20", in_directories(20, 50)), ("1000 in 1", flat(1000))):
            served = os.path.join(share.export, "tree")
            root = os.path.join(share.mount, "tree")
            silent = [program, "/Dir:" + root, "/SubDirectories", "/Silent"]
            cases = [("rm -rf", ["rm", "-rf", root])]
            cases += [("/Threads:%d" % n, silent + ["/Threads:%d" % n]) for n in (1, 4, 16, 64)]
            times = {label: [] for label, _ in cases}
            with open(os.devnull, "w") as null:
                for _ in range(arguments.runs):
                    for label, command in cases:
                        build(served)
                        start = time.perf_counter()
                        subprocess.run(command, stdout=null)
                        times[label].append(time.perf_counter() - start)
                        if os.path.exists(served):
                            sys.exit("%s left %s behind" % (label, served))
            rm = statistics.median(times["rm -rf"])
            for label, values in times.items():
                median = statistics.median(values)
                print("%-10s %g ms  %-10s %7.3f s  spread %.3f-%.3f  /rm %.2f"
                      % (name, arguments.round_trip_ms, label, median, min(values), max(values), median / rm))
            sys.stdout.flush()
    finally:
        share.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--program", default=os.path.join(os.path.dirname(__file__), "..", "build", "scythe"))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--where", nargs="+", default=["/dev/shm", "/var/tmp"])
    parser.add_argument("--wine", action="store_true", help="the Windows build under Wine")
    parser.add_argument("--parallel", action="store_true", help="the parallel section (/Threads:)")
    parser.add_argument("--trees", nargs="+", default=list(PARALLEL_TREES), choices=list(PARALLEL_TREES))
    parser.add_argument("--network", action="store_true", help="the network section (sshfs, a chosen round trip)")
    parser.add_argument("--round-trip-ms", type=float, default=2.0)
    parser.add_argument("--progress", action="store_true", help="the cost of /Progress on a terminal")
    arguments = parser.parse_args()
    if arguments.wine:
        if arguments.program.endswith(os.path.join("build", "scythe")):
            arguments.program = os.path.join(os.path.dirname(__file__), "..", "build-windows-x64", "scythe.exe")
        program = os.path.abspath(arguments.program)
        if arguments.parallel:
            return parallel_section(program, arguments)
        subprocess.run(["/usr/lib/wine/wineserver", "-p30"])
        for name, build in (("chain-100", chain(100, 5)), ("chain-400", chain(400, 5)), ("flat-40k", flat(40000))):
            measure_wine(program, arguments.where[0], build, name, arguments.runs)
        return
    program = os.path.abspath(arguments.program)
    if arguments.network:
        return network_section(program, arguments)
    if arguments.parallel:
        return parallel_section(program, arguments)
    if arguments.progress:
        return progress_section(program, arguments)
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
