#!/usr/bin/env python3
"""Figures for sysgrab on a simulated drive, side by side with dd on the same disc image.

Prints median wall time, instructions (callgrind), peak resident memory and heap
allocations. A benchmark, not a test: it prints, it does not judge.

usage: bench/bench.py [--runs N] [--build build/linux]
"""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

IMAGE_SIZE = 32768


def run_once(cmd, env):
    """Wall time in seconds of one run."""
    start = time.perf_counter()
    r = subprocess.run(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wall = time.perf_counter() - start
    if r.returncode != 0:
        sys.exit("bench: %s failed with status %d" % (cmd[0], r.returncode))
    return wall


def peak_memory(cmd, env):
    """Peak resident set in KiB, from GNU time (a fork of Python would count
    Python's own pages)."""
    r = subprocess.run(["/usr/bin/time", "-f", "%M"] + cmd, env=env, capture_output=True,
                       text=True)
    return int(r.stderr.strip().splitlines()[-1])


def instructions(cmd, env, folder):
    """Instructions executed in the whole process, counted by callgrind."""
    out = os.path.join(folder, "callgrind.out")
    r = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out] + cmd,
        env=env, capture_output=True, text=True)
    m = re.search(r"Collected : (\d+)", r.stderr)
    return int(m.group(1)) if m else None


def heap_allocations(cmd, env):
    """Total heap allocations in the process, as memcheck counts them."""
    r = subprocess.run(["valgrind", "--tool=memcheck"] + cmd, env=env, capture_output=True,
                       text=True)
    m = re.search(r"total heap usage: ([\d,]+) allocs", r.stderr)
    return int(m.group(1).replace(",", "")) if m else None


def allocator_imports(binary):
    """Allocation functions the program's own code calls: its undefined symbols."""
    r = subprocess.run(["nm", "-D", "--undefined-only", binary], capture_output=True, text=True,
                       check=True)
    names = [line.split()[-1] for line in r.stdout.splitlines() if line.strip()]
    pattern = re.compile(r"^(malloc|calloc|realloc|reallocarray|free|strdup|strndup|"
                         r"posix_memalign|aligned_alloc|_Zn[wa]\w*|_Zd[la]\w*)(@.*)?$")
    return sorted(n for n in names if pattern.match(n))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=200)
    ap.add_argument("--build", default="build/linux")
    args = ap.parse_args()

    sysgrab = os.path.abspath(os.path.join(args.build, "sysgrab"))
    sim = os.path.abspath(os.path.join(args.build, "sim"))
    for tool in ("xorriso", "dd", "valgrind", "nm", "/usr/bin/time"):
        if shutil.which(tool) is None:
            sys.exit("bench: needs %s" % tool)

    folder = tempfile.mkdtemp(prefix="sysgrab-bench-")
    try:
        tree = os.path.join(folder, "tree")
        os.makedirs(tree)
        with open(os.path.join(tree, "FILE.TXT"), "w") as f:
            f.write("bench\n")
        area = os.path.join(folder, "area.bin")
        with open(area, "wb") as f:
            f.write(os.urandom(IMAGE_SIZE))
        disc = os.path.join(folder, "disc.iso")
        subprocess.run(["xorriso", "-as", "mkisofs", "-G", area, "-o", disc, tree],
                       check=True, capture_output=True)
        # The drive answers through the event with no delay of its own, so the
        # figures are the program's and the layer's work, not a simulated seek.
        scenario = os.path.join(folder, "scenario.txt")
        with open(scenario, "w") as f:
            f.write("complete pending 0\nunit 0 0 5 image %s\n" % disc)

        env = dict(os.environ, LD_LIBRARY_PATH=sim, ASPISIM_SCENARIO=scenario)
        env.pop("ASPISIM_LOG", None)
        out_sysgrab = os.path.join(folder, "sysgrab.bin")
        out_dd = os.path.join(folder, "dd.bin")
        commands = {
            "sysgrab": [sysgrab, out_sysgrab],
            "dd": ["dd", "if=" + disc, "of=" + out_dd, "bs=2048", "count=16", "status=none"],
        }

        walls = {name: [] for name in commands}
        for _ in range(args.runs):  # interleaved, so drift hits both alike
            for name, cmd in commands.items():
                walls[name].append(run_once(cmd, env))
        with open(out_sysgrab, "rb") as a, open(out_dd, "rb") as b:
            same = a.read() == b.read()

        ins = {name: instructions(cmd, env, folder) for name, cmd in commands.items()}
        # The start-up share: the program printing its usage loads no layer.
        ins_usage = instructions([sysgrab], env, folder)
        allocs = {name: heap_allocations(cmd, env) for name, cmd in commands.items()}
        own = allocator_imports(sysgrab)

        med = {name: statistics.median(w) * 1e3 for name, w in walls.items()}
        print("sysgrab vs dd, 16 blocks of 2048 bytes, %d interleaved runs each" % args.runs)
        print("%-34s %14s %14s %8s" % ("", "sysgrab", "dd", "ratio"))
        print("%-34s %14.3f %14.3f %8.2f" % ("median wall time (ms)", med["sysgrab"], med["dd"],
                                             med["sysgrab"] / med["dd"]))
        if ins["sysgrab"] and ins["dd"]:
            print("%-34s %14d %14d %8.2f" % ("instructions (callgrind)", ins["sysgrab"], ins["dd"],
                                             ins["sysgrab"] / ins["dd"]))
        if ins_usage:
            print("%-34s %14d" % ("instructions, usage text only", ins_usage))
        pk = {name: max(peak_memory(cmd, env) for _ in range(5)) for name, cmd in commands.items()}
        print("%-34s %14d %14d %8.2f" % ("peak resident memory (KiB)", pk["sysgrab"], pk["dd"],
                                         pk["sysgrab"] / pk["dd"]))
        if allocs["sysgrab"] is not None and allocs["dd"] is not None:
            print("%-34s %14d %14d" % ("heap allocations, whole process", allocs["sysgrab"],
                                       allocs["dd"]))
        print("allocation calls in sysgrab's own code: %s"
              % (", ".join(own) if own else "none (it imports no allocator)"))
        print("outputs identical: %s" % ("yes" if same else "NO"))
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
