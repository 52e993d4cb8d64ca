// SCSI units as the kernel lists them in sysfs, numbered the ASPI way.
#ifndef ASPISG_UNITS_H
#define ASPISG_UNITS_H

#define SG_NODE_MAX 64
// Targets on each adapter, 0 to 7, as ASPI programs scan them.
#define SG_TARGETS 8

struct sg_unit {
	int host, channel, target, lun;     // the kernel's address
	int adapter, aspi_target, aspi_lun; // ASPI's address
	int type;                           // peripheral device type from sysfs
	// SG_IO's residual tells what the unit moved: not on an ATA port,
	// where libata reports none for ATAPI commands.
	bool exact_residual;
	char node[SG_NODE_MAX]; // its SCSI generic node, e.g. /dev/sg1
};

// Reads ROOT/sys/bus/scsi/devices/H:C:T:L; ROOT is "" on a real system.
// Units without a SCSI generic node are left out. Each (host, channel)
// pair that has a unit becomes one adapter, numbered from 0 in ascending
// (host, channel) order, the target and LUN the kernel's. A CD/DVD unit at
// a target above 7 or a LUN other than 0, which ASPI programs never look
// for, gets an adapter of its own after those, at target 0, LUN 0, in
// H:C:T:L order. Returns an array sorted by adapter, then H:C:T:L, to be
// released with free(), and its length in *count; NULL with *count 0 where
// there is none or memory ran out.
struct sg_unit *sg_discover(const char *root, int *count);

#endif
