#!/bin/busybox sh
# The guest's first process: mounts the kernel's file systems, loads the
# SCSI modules, runs /checks.sh and powers off. Lines starting with "@@" on
# the console are for the host.
/bin/busybox --install -s /bin
export PATH=/bin:/opt/sysgrab LD_LIBRARY_PATH=/opt/sysgrab
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
chmod 1777 /tmp
for m in $(cat /modules.order); do
	insmod "/modules/$m.ko" || echo "@@ insmod-failed $m"
done
# The host says how many units to expect; wait for their sg nodes (at most
# 60 s: a slow machine without KVM probes slowly).
want=$(cat /units)
for i in $(seq 300); do
	[ "$(ls /sys/class/scsi_generic 2>/dev/null | wc -l)" -ge "$want" ] && break
	sleep 0.2
done
echo "@@ units $(ls /sys/class/scsi_generic 2>/dev/null | wc -l)"
echo "@@ begin"
cd /tmp
sh /checks.sh 2>&1
echo "@@ end"
sync
poweroff -f
