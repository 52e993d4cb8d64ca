#!/usr/bin/env bash
# In one QEMU guest with one disc in a virtio-scsi, an AHCI ATAPI and a USB
# CD-ROM drive, times for each drive one 4 MiB READ(10) through the sg layer
# (aspicheck's request, which the layer answers in pieces where the drive
# takes less at once) against GNU dd bs=1M count=4 iflag=direct on the
# drive's block node (which the kernel splits too), RUNS times each,
# interleaved, and prints the drive's limit per command, the medians and
# their ratio. Each figure is the transfer alone, as the process making it
# measures it: SendASPI32Command's time, and the time dd reports; starting
# the process is left out (under TCG it costs more than the read).
# Builds what it needs (bench/guest-bench.sh); needs scripts/setup.sh native vm.
# Usage: bench/vm-long-read.sh [RUNS] (default 21)
set -euo pipefail
. "$(dirname "$0")/guest-bench.sh"
guest_python "${1:-21}" <<'PY'
import os
import shutil
import statistics
import sys
import tempfile
import time

import guest

runs = int(os.environ["RUNS"])
# The adapters follow the hosts: virtio-scsi's, the AHCI port's, the USB drive's.
script = r"""
a=0
for d in $(ls -d /sys/bus/scsi/devices/*:*:*:* | sort -t/ -k6 -n); do
	sr=/dev/$(ls $d/block)
	echo "@@ drive $a $(aspicheck inquiry $a | sed 's/.*unique ........\(........\).*/\1/')"
	i=0
	while [ $i -lt %d ]; do
		layer() {
			aspicheck raw $a 0 0 48 4194304 10 28000000000000080000 timed save /tmp/layer.bin |
				sed -n "s/.* us \([0-9]*\).*/@@ layer $a \1/p"
		}
		dd() {
			gnu-dd if=$sr of=/tmp/dd.bin bs=1M count=4 iflag=direct 2>&1 |
				sed -n "s/.* copied, \([0-9.e-]*\) s.*/@@ dd $a \1/p"
		}
		if [ $((i %% 2)) -eq 0 ]; then layer; dd; else dd; layer; fi
		i=$((i + 1))
	done
	echo "@@ same $a $(sha256sum </tmp/layer.bin | cut -c1-64) $(sha256sum </tmp/dd.bin | cut -c1-64)"
	a=$((a + 1))
done
""" % runs

work = tempfile.mkdtemp(prefix="sysgrab-bench-")
try:
    vm = guest.Guest(work)
    # GNU dd, which says how long its copy took; it needs only the C library.
    shutil.copy(shutil.which("dd"), os.path.join(vm.root, "opt/sysgrab/gnu-dd"))
    disc = guest.make_disc(os.path.join(work, "disc.iso"), work, 5 << 20)
    start = time.monotonic()
    out = vm.boot(guest.scsi_controller(0) + guest.scsi_cdrom(0, 0, 0, disc) +
                  guest.ahci_cdrom(1, disc) + guest.usb_cdrom(2, disc), 3, script)
    wall = time.monotonic() - start
finally:
    shutil.rmtree(work, ignore_errors=True)

names = ["virtio-scsi", "AHCI ATAPI", "USB"]
limits, times, same = {}, {}, {}
for line in out:
    f = line.split()
    if len(f) == 4 and f[:2] == ["@@", "drive"]:
        limits[int(f[2])] = int.from_bytes(bytes.fromhex(f[3]), "little")
    elif len(f) == 4 and f[0] == "@@" and f[1] in ("layer", "dd"):
        ms = int(f[3]) / 1000.0 if f[1] == "layer" else float(f[3]) * 1000.0
        times.setdefault((f[1], int(f[2])), []).append(ms)
    elif len(f) == 5 and f[:2] == ["@@", "same"]:
        same[int(f[2])] = f[3] == f[4]

accel = "KVM" if guest.accelerator() == "kvm" else "TCG (no working KVM)"
print("one 4 MiB READ(10) through the layer (SendASPI32Command's time) against GNU dd bs=1M "
      "count=4 iflag=direct (the time it reports), QEMU guest, %s" % accel)
print("%d runs each, interleaved; guest boot and runs took %.1f s" % (runs, wall))
print()
print("%-12s %11s %7s %16s %16s %7s %6s" % ("drive", "limit", "pieces", "layer median ms",
                                             "dd median ms", "ratio", "equal"))
ok = True
for a, name in enumerate(names):
    layer, dd = times.get(("layer", a), []), times.get(("dd", a), [])
    if not layer or not dd or a not in limits:
        print("%-12s no figures" % name)
        ok = False
        continue
    pieces = -(-(4 << 20) // (limits[a] // 2048 * 2048))
    ml, md = statistics.median(layer), statistics.median(dd)
    print("%-12s %11d %7d %16.2f %16.2f %6.2fx %6s" % (name, limits[a], pieces, ml, md, ml / md,
                                                    "yes" if same.get(a) else "NO"))
    ok = ok and same.get(a, False) and len(layer) == len(dd) == runs
sys.exit(0 if ok else 1)
PY
