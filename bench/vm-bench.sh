#!/usr/bin/env bash
# In one QEMU guest (a virtio-scsi CD-ROM at target 4 holding an xorriso
# disc), times sysgrab, dd on /dev/sr0 (O_DIRECT, so that no run reads the
# page cache) and sg_dd on /dev/sgN reading the same 16 blocks of 2048
# bytes, RUNS times each, interleaved in rotating order, and prints the
# medians and their ratios. A fourth row, sysgrab printing its usage only,
# shows what starting the program costs without the layer or the drive.
# Builds what it needs (bench/guest-bench.sh); needs scripts/setup.sh native vm.
# Usage: bench/vm-bench.sh [RUNS] (default 31)
set -euo pipefail
. "$(dirname "$0")/guest-bench.sh"
guest_python "${1:-31}" <<'PY'
import os
import shutil
import statistics
import sys
import tempfile
import time

import guest

runs = int(os.environ["RUNS"])
tools = {
    "sysgrab": "sysgrab /tmp/out.bin",
    "dd": "dd if=/dev/sr0 of=/tmp/dd.bin bs=2048 count=16 iflag=direct",
    "sg_dd": "sg_dd if=/dev/sg0 of=/tmp/sg_dd.bin bs=2048 count=16",
    # sysgrab printing its usage: starting the program, without the layer
    "usage": "sysgrab",
}
names = list(tools)
lines = ["i=0", "while [ $i -lt %d ]; do" % runs]
for k in range(len(names)):
    order = names[k:] + names[:k]
    lines.append("  if [ $((i %% %d)) -eq %d ]; then" % (len(names), k))
    for name in order:
        lines.append("    echo \"@@ %s $(aspicheck time %s)\"" % (name, tools[name]))
    lines.append("  fi")
lines += ["  i=$((i + 1))", "done",
          "sha256sum /tmp/out.bin /tmp/dd.bin /tmp/sg_dd.bin | sed 's/^/@@ sha /'"]

work = tempfile.mkdtemp(prefix="sysgrab-bench-")
try:
    vm = guest.Guest(work)
    disc = guest.make_disc(os.path.join(work, "disc.iso"), work)
    start = time.monotonic()
    out = vm.boot(guest.scsi_controller(0) + guest.scsi_cdrom(0, 0, 4, disc), 1,
                  "\n".join(lines) + "\n")
    wall = time.monotonic() - start
finally:
    shutil.rmtree(work, ignore_errors=True)

times = {n: [] for n in names}
sums = set()
for line in out:
    f = line.split()
    if len(f) == 3 and f[0] == "@@" and f[1] in times:
        times[f[1]].append(int(f[2]) / 1000.0)
    elif len(f) >= 3 and f[:2] == ["@@", "sha"]:
        sums.add(f[2])

accel = "KVM" if guest.accelerator() == "kvm" else "TCG (no working KVM)"
print("16 blocks of 2048 bytes from a virtio-scsi CD-ROM in a QEMU guest, %s" % accel)
print("%d runs each, interleaved; guest boot and runs took %.1f s" % (runs, wall))
print("the three files are %s" % ("equal" if len(sums) == 1 else "DIFFERENT"))
print()
print("%-8s %11s %9s %9s %11s %11s" % ("tool", "median ms", "min ms", "max ms",
                                         "vs dd", "vs sg_dd"))
med = {n: statistics.median(times[n]) for n in names}
for n in names:
    print("%-8s %11.2f %9.2f %9.2f %10.2fx %10.2fx" % (
        n, med[n], min(times[n]), max(times[n]), med[n] / med["dd"], med[n] / med["sg_dd"]))
sys.exit(0 if len(sums) == 1 and all(len(times[n]) == runs for n in names) else 1)
PY
