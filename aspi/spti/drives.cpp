// Finding the CD/DVD drives by their letters and numbering them.
//
// Windows gives a drive's SCSI address (IOCTL_SCSI_GET_ADDRESS) but no
// list of adapters: the adapters are the ports the drives sit on, numbered
// as Windows numbers them.

#include "drives.h"
#include "message.h"
#include "srb.h"

#include <stddef.h>
#include <string.h>

#define PAGE 4096

// Whether a drive's address is one that programs that find a drive by its
// letter can address: adapter PortNumber, target TargetId.
static bool port_address(const struct spti_drive *d)
{
	return d->addressed && d->address.PortNumber < SPTI_PORTS && d->address.PathId == 0 &&
	       d->address.TargetId < SPTI_TARGETS && d->address.Lun == 0;
}

// Names a drive Windows would not open. Access denied has more than one
// likely cause: another program holding the drive for itself, security
// software or a device policy blocking raw access, and on Windows 2000 and
// XP, which let only administrators send pass-through commands in
// practice, the account. ("Run as administrator" alone is wrong advice
// later: a standard user may send them to a drive they may open.)
static void cannot_open(const char *path, DWORD error)
{
	char number[16];

	if (error != ERROR_ACCESS_DENIED) {
		decimal(number, error);
		say(path, ": cannot open, error ", number, NULL);
		return;
	}
	say(path,
	    ": access denied: another program may hold the drive, or security software or a "
	    "device policy may block raw access",
	    (GetVersion() & 0xff) == 5 ? ", or this account may lack administrator rights" : NULL,
	    NULL);
}

// What h tells of the device it reaches: its SCSI address and device
// number, where it gives them.
static void identify(HANDLE h, struct spti_drive *d)
{
	DWORD got;

	d->addressed = DeviceIoControl(h, IOCTL_SCSI_GET_ADDRESS, NULL, 0, &d->address,
	                               sizeof d->address, &got, NULL) &&
	               got >= sizeof d->address;
	d->numbered = DeviceIoControl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, NULL, 0, &d->number,
	                              sizeof d->number, &got, NULL) &&
	              got >= sizeof d->number;
}

// Opens the drive at letter number i into d; false where it is no CD-ROM
// drive or cannot be opened.
static bool open_drive(int i, struct spti_drive *d)
{
	char root[] = "A:\\";
	char path[] = "\\\\.\\A:";
	HANDLE h;
	DWORD got;
	IO_SCSI_CAPABILITIES caps;
	ULONG pages;

	root[0] = (char)('A' + i);
	if (GetDriveTypeA(root) != DRIVE_CDROM)
		return false;
	path[4] = root[0];
	h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
	                NULL, OPEN_EXISTING, 0, NULL);
	if (h == INVALID_HANDLE_VALUE) {
		cannot_open(path, GetLastError());
		return false;
	}
	memset(d, 0, sizeof *d);
	d->handle = h;
	d->letter = root[0];
	identify(h, d);
	d->max_transfer = SRB_DEFAULT_MAX_TRANSFER; // where Windows does not say
	memset(&caps, 0, sizeof caps);
	if (DeviceIoControl(h, IOCTL_SCSI_GET_CAPABILITIES, NULL, 0, &caps, sizeof caps, &got,
	                    NULL) &&
	    got >= offsetof(IO_SCSI_CAPABILITIES, MaximumPhysicalPages) + sizeof(ULONG) &&
	    caps.MaximumTransferLength > 0) {
		d->max_transfer = caps.MaximumTransferLength;
		// As Windows' own class drivers count it: a buffer that does not
		// start on a page spans one page more than its length. (The
		// layer's own starts on one; the system's word is kept all the
		// same.) AlignmentMask is not needed: the buffer's 64 KiB
		// alignment meets every mask of the form 2^n-1 below that, and
		// one of another form (Wine's 0x1000) means nothing.
		pages = caps.MaximumPhysicalPages > 1 ? caps.MaximumPhysicalPages - 1
		                                      : caps.MaximumPhysicalPages;
		if (pages > 0 && pages < d->max_transfer / PAGE)
			d->max_transfer = pages * PAGE;
	}
	return true;
}

// Numbers the adapters: a drive with a port_address() is at adapter
// PortNumber, target TargetId, unless an earlier drive took them, and the
// ports below the highest one that hold no drive are adapters without
// units; every other drive gets an adapter of its own after those, in
// drive-letter order. The address stays recorded either way: a reset
// checks it. Returns the adapter count.
static int number_adapters(struct spti_drive *drives, int count)
{
	int adapters = 0;

	for (int i = 0; i < count; i++) {
		struct spti_drive *d = &drives[i];

		d->at_port = port_address(d);
		for (int j = 0; j < i && d->at_port; j++) {
			if (drives[j].at_port &&
			    drives[j].address.PortNumber == d->address.PortNumber &&
			    drives[j].address.TargetId == d->address.TargetId)
				d->at_port = false;
		}
		if (d->at_port) {
			d->adapter = d->address.PortNumber;
			d->target = d->address.TargetId;
			if (d->adapter >= adapters)
				adapters = d->adapter + 1;
		}
	}
	for (int i = 0; i < count; i++) {
		if (!drives[i].at_port) {
			drives[i].adapter = (uint8_t)adapters++;
			drives[i].target = 0;
		}
		drives[i].lun = 0;
	}
	return adapters;
}

int spti_discover(struct spti_drive found[SPTI_LETTERS], int *adapter_count)
{
	DWORD letters = GetLogicalDrives();
	int count = 0;

	for (int i = 0; i < SPTI_LETTERS; i++)
		if ((letters & (1ul << i)) && open_drive(i, &found[count]))
			count++;
	*adapter_count = number_adapters(found, count);
	return count;
}

bool spti_same_device(const struct spti_drive *d, HANDLE h)
{
	struct spti_drive now;
	const SCSI_ADDRESS *a = &d->address, *b = &now.address;
	const STORAGE_DEVICE_NUMBER *m = &d->number, *n = &now.number;

	if (!d->addressed && !d->numbered)
		return false;
	memset(&now, 0, sizeof now);
	identify(h, &now);
	if (d->addressed &&
	    (!now.addressed || a->PortNumber != b->PortNumber || a->PathId != b->PathId ||
	     a->TargetId != b->TargetId || a->Lun != b->Lun))
		return false;
	return !d->numbered ||
	       (now.numbered && m->DeviceType == n->DeviceType &&
	        m->DeviceNumber == n->DeviceNumber && m->PartitionNumber == n->PartitionNumber);
}

void spti_adapter_name(char *out, const struct spti_drive *d)
{
	if (!d->at_port) {
		lstrcpyA(out, "Drive X:");
		out[6] = d->letter;
		return;
	}
	lstrcpyA(out, "Port ");
	decimal(out + lstrlenA(out), d->address.PortNumber);
	lstrcatA(out, " Bus ");
	decimal(out + lstrlenA(out), d->address.PathId);
}
