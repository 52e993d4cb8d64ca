// SCSI units as the kernel lists them in sysfs, numbered the ASPI way.
#ifndef ASPISG_UNITS_H
#define ASPISG_UNITS_H

#define SG_NODE_MAX 64

struct sg_unit {
	int host, channel, target, lun;
	int adapter;            // ASPI host adapter number
	int type;               // peripheral device type from sysfs
	char node[SG_NODE_MAX]; // its SCSI generic node, e.g. /dev/sg1
};

// Reads ROOT/sys/bus/scsi/devices/H:C:T:L; ROOT is "" on a real system.
// Units without a SCSI generic node are left out. Each (host, channel)
// pair that has a unit becomes one adapter, numbered from 0 in ascending
// (host, channel) order. Returns an array sorted by (adapter, target, lun),
// to be released with free(), and its length in *count; NULL with *count 0
// where there is none or memory ran out.
struct sg_unit *sg_discover(const char *root, int *count);

#endif
