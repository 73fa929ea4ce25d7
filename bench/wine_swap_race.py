#!/usr/bin/env python3
"""How many files outside the tree the Windows build loses under Wine to a
directory swapped for a link while it runs (needs Wine, not root).

    bench/wine_swap_race.py [--program build-windows-x64/scythe.exe] [--threads 1] [--rounds 6]

Each round builds, under a scratch folder mapped as drive Y: of the Wine
prefix (WINEPREFIX, else ~/.wine), a tree with a directory v of 3,000 files
and a link l to a directory of 3,000 outside files of the same names, runs
`scythe.exe /Dir:Y:\\tree /SubDirectories /IgnoreErrors /Silent /Threads:N`,
and meanwhile exchanges v and l with renameat2(RENAME_EXCHANGE) as fast as
it can. Prints the swaps and the outside files lost per round, and their
rate per 1,000 swaps.
"""
import argparse
import ctypes
import os
import shutil
import subprocess
import tempfile

RENAME_EXCHANGE = 2
AT_FDCWD = -100


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--program", default=os.path.join(os.path.dirname(__file__), "..", "build-windows-x64",
                                                          "scythe.exe"))
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--rounds", type=int, default=6)
    arguments = parser.parse_args()
    libc = ctypes.CDLL("libc.so.6", use_errno=True)
    prefix = os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine"))
    drive = os.path.join(prefix, "dosdevices", "y:")
    if os.path.lexists(drive):
        raise SystemExit("%s is mapped already" % drive)
    base = tempfile.mkdtemp(prefix="scythe-swap-")
    os.symlink(base, drive)
    environment = dict(os.environ, WINEDEBUG="-all")
    swaps_in_all = lost_in_all = 0
    try:
        for round_number in range(arguments.rounds):
            for name in ("tree", "outside"):
                shutil.rmtree(os.path.join(base, name), ignore_errors=True)
            os.makedirs(os.path.join(base, "tree", "v"))
            os.makedirs(os.path.join(base, "outside"))
            for i in range(3000):
                open(os.path.join(base, "tree", "v", "f%04d" % i), "w").close()
                open(os.path.join(base, "outside", "f%04d" % i), "w").close()
            os.symlink("../outside", os.path.join(base, "tree", "l"))
            run = subprocess.Popen(["/usr/lib/wine/wine64", os.path.abspath(arguments.program), "/Dir:Y:\\tree",
                                    "/SubDirectories", "/IgnoreErrors", "/Silent", "/Threads:%d" % arguments.threads],
                                   stdout=subprocess.DEVNULL, env=environment)
            directory, link = os.path.join(base, "tree", "v").encode(), os.path.join(base, "tree", "l").encode()
            swaps = 0
            while run.poll() is None:
                if libc.renameat2(AT_FDCWD, directory, AT_FDCWD, link, RENAME_EXCHANGE) == 0:
                    swaps += 1
            lost = 3000 - len(os.listdir(os.path.join(base, "outside")))
            swaps_in_all += swaps
            lost_in_all += lost
            print("round %d: %d swaps, %d outside files lost" % (round_number, swaps, lost), flush=True)
    finally:
        os.unlink(drive)
        shutil.rmtree(base, ignore_errors=True)
    print("/Threads:%d: %d lost in %d swaps, %.2f per 1,000"
          % (arguments.threads, lost_in_all, swaps_in_all, 1000.0 * lost_in_all / max(swaps_in_all, 1)))


if __name__ == "__main__":
    main()
