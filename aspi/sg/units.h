// SCSI units as the kernel lists them in sysfs, numbered the ASPI way.
#ifndef ASPISG_UNITS_H
#define ASPISG_UNITS_H

#include <string>
#include <vector>

struct sg_unit {
	int host, channel, target, lun;
	int adapter;      // ASPI host adapter number
	int type;         // peripheral device type from sysfs
	std::string node; // its SCSI generic node, e.g. /dev/sg1
};

// Reads ROOT/sys/bus/scsi/devices/H:C:T:L; ROOT is "" on a real system.
// Units without a SCSI generic node are left out. Each (host, channel)
// pair that has a unit becomes one adapter, numbered from 0 in ascending
// (host, channel) order; the result is sorted by (adapter, target, lun).
std::vector<sg_unit> sg_discover(const std::string &root);

#endif
