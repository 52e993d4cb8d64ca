// The CD/DVD drives behind the drive letters, numbered the ASPI way.
#ifndef ASPISPTI_DRIVES_H
#define ASPISPTI_DRIVES_H

#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <stdint.h>

#define SPTI_LETTERS 26
// Targets on each adapter, 0 to 7.
#define SPTI_TARGETS 8
// Ports numbered as adapters of their own number, 0 to 15.
#define SPTI_PORTS 16

struct spti_drive {
	HANDLE handle;  // \\.\X:, open for reading and writing
	char letter;    // 'A' to 'Z'
	bool addressed; // IOCTL_SCSI_GET_ADDRESS answered
	SCSI_ADDRESS address;
	bool numbered; // IOCTL_STORAGE_GET_DEVICE_NUMBER answered
	STORAGE_DEVICE_NUMBER number;
	bool at_port;                 // at adapter PortNumber, target TargetId (see spti_discover)
	uint8_t adapter, target, lun; // ASPI address
	uint32_t max_transfer;        // the most one pass-through may move
};

// Opens every drive letter Windows calls a CD-ROM drive as \\.\X: and
// keeps it open; a drive Windows refuses to open is named on standard error
// and left out. A drive whose IOCTL_SCSI_GET_ADDRESS gives PathId 0, a
// target of 0 to 7, LUN 0 and a port of 0 to 15 is at adapter PortNumber,
// target TargetId, as programs that find a drive by its letter address it;
// ports below the highest such one without a drive are adapters without
// units. Every other drive (no address, another PathId, a target above 7,
// another LUN, a higher port, or an address another drive took) gets an
// adapter of its own after those, in letter order, at target 0. Fills
// found in letter order and returns how many; the adapter count in
// *adapter_count.
int spti_discover(struct spti_drive found[SPTI_LETTERS], int *adapter_count);

// Whether h, a second handle opened by d's letter, reaches the device d
// was found at: h gives the same SCSI address and device number as d's own
// handle did, as far as that gave them. False where they differ, where h
// cannot say, and where d's handle gave neither: then nothing shows that
// h reaches that device.
bool spti_same_device(const struct spti_drive *d, HANDLE h);

// The name of a drive's adapter, "Port P Bus B" or "Drive X:" for a drive
// on an adapter of its own, into out (32 characters).
void spti_adapter_name(char *out, const struct spti_drive *d);

#endif
