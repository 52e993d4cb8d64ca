// ASPI for Win32 over Windows' SCSI Pass-Through Interface (SPTI).
//
// The CD/DVD drives are found when an entry point is first called: each
// drive letter Windows reports as a CD-ROM is opened as \\.\X: and kept
// open until the library is unloaded, and its SCSI address gives its ASPI
// adapter, target and LUN (see README.md). Every request is complete when
// SendASPI32Command returns: SC_EXEC_SCSI_CMD goes to the drive through
// IOCTL_SCSI_PASS_THROUGH_DIRECT on the caller's thread, so there is no
// worker to stop at unload, under the loader lock.
//
// Windows 95, 98 and ME have no pass-through: there both entry points hand
// the call to the system folder's own WNASPI32.DLL.

#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include "aspi32.h"
#include "srb.h"
#include "transient.h"

#include <stddef.h>
#include <string.h>

#define ASPISPTI_EXPORT __declspec(dllexport)

extern "C" ASPISPTI_EXPORT DWORD __cdecl GetASPI32SupportInfo(void);
extern "C" ASPISPTI_EXPORT DWORD __cdecl SendASPI32Command(void *request);
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

#define LETTERS 26
#define TARGETS 8
// Where IOCTL_SCSI_GET_CAPABILITIES does not answer.
#define DEFAULT_MAX_TRANSFER 65536
#define PAGE 4096
// The bounce buffer grows in steps of this; VirtualAlloc hands out blocks
// aligned to 64 KiB, more than any adapter's alignment mask asks.
#define BOUNCE_STEP 65536
// SenseInfoLength is one byte.
#define SENSE_MAX 255
#define HOST_SCSI_ID 7
#define RESIDUAL_SUPPORTED 0x02

struct drive {
	HANDLE handle;
	char letter;
	bool addressed; // IOCTL_SCSI_GET_ADDRESS answered with a usable address
	SCSI_ADDRESS address;
	uint8_t adapter, target, lun; // ASPI address
	uint32_t max_transfer;
	bool gone;    // Windows said the device is no longer there
	bool refused; // a command was refused: said once on standard error
	struct transient_unit transient;
};

// One pass-through request and its sense data, in one block.
struct pass_through {
	SCSI_PASS_THROUGH_DIRECT sptd;
	uint8_t sense[SENSE_MAX];
};

static HMODULE self;
static CRITICAL_SECTION lock;
static bool started;

static struct drive drives[LETTERS];
static int drive_count;
static int adapter_count;

// Data of every command travels through this buffer: aligned as the
// adapters want it, and the caller's buffer receives only data that counts.
static uint8_t *bounce;
static SIZE_T bounce_size;

// Windows 95, 98 and ME: the system's own layer, or NULL.
static bool legacy;
static HMODULE system_layer;
static aspi_support_info_fn system_info;
static aspi_send_command_fn system_send;

// Standard error, one line from up to four parts.
static void say(const char *a, const char *b, const char *c, const char *d)
{
	const char *parts[] = {"wnaspi32: ", a, b, c, d};
	char line[4 * MAX_PATH];
	int n = 0;
	DWORD written;
	HANDLE err;

	for (const char *p : parts) {
		for (; p != NULL && *p && n < (int)sizeof line - 2; p++)
			line[n++] = *p;
	}
	line[n++] = '\r';
	line[n++] = '\n';
	err = GetStdHandle(STD_ERROR_HANDLE);
	if (err != NULL && err != INVALID_HANDLE_VALUE)
		WriteFile(err, line, (DWORD)n, &written, NULL);
}

static void decimal(char *out, unsigned long value)
{
	char digits[16];
	int n = 0;

	do {
		digits[n++] = (char)('0' + value % 10);
		value /= 10;
	} while (value != 0);
	while (n > 0)
		*out++ = digits[--n];
	*out = 0;
}

// The ASPI address of a drive with no usable SCSI address of its own: an
// adapter of its own, target 0, LUN 0.
static bool usable_address(const struct drive *d)
{
	return d->addressed && d->address.TargetId < TARGETS && d->address.Lun == 0;
}

static unsigned bus_key(const struct drive *d)
{
	return (unsigned)d->address.PortNumber << 8 | d->address.PathId;
}

static void open_drive(int i)
{
	char root[] = "A:\\";
	char path[] = "\\\\.\\A:";
	char number[16];
	struct drive *d;
	HANDLE h;
	DWORD got;
	IO_SCSI_CAPABILITIES caps;

	root[0] = (char)('A' + i);
	if (GetDriveTypeA(root) != DRIVE_CDROM)
		return;
	path[4] = root[0];
	h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
	                NULL, OPEN_EXISTING, 0, NULL);
	if (h == INVALID_HANDLE_VALUE) {
		DWORD error = GetLastError();

		if (error == ERROR_ACCESS_DENIED) {
			say(path, ": access denied (run as administrator)", NULL, NULL);
		} else {
			decimal(number, error);
			say(path, ": cannot open, error ", number, NULL);
		}
		return;
	}
	d = &drives[drive_count++];
	memset(d, 0, sizeof *d);
	d->handle = h;
	d->letter = root[0];
	d->addressed = DeviceIoControl(h, IOCTL_SCSI_GET_ADDRESS, NULL, 0, &d->address,
	                               sizeof d->address, &got, NULL) &&
	               got >= sizeof d->address;
	d->max_transfer = DEFAULT_MAX_TRANSFER;
	memset(&caps, 0, sizeof caps);
	if (DeviceIoControl(h, IOCTL_SCSI_GET_CAPABILITIES, NULL, 0, &caps, sizeof caps, &got,
	                    NULL) &&
	    got >= offsetof(IO_SCSI_CAPABILITIES, MaximumPhysicalPages) + sizeof(ULONG) &&
	    caps.MaximumTransferLength > 0) {
		d->max_transfer = caps.MaximumTransferLength;
		// The buffer starts on a page: this many pages is all it may span.
		if (caps.MaximumPhysicalPages > 0 &&
		    caps.MaximumPhysicalPages < d->max_transfer / PAGE)
			d->max_transfer = caps.MaximumPhysicalPages * PAGE;
	}
}

// Numbers the adapters: the distinct (PortNumber, PathId) pairs in
// ascending order, then one for each drive without a usable address, in
// drive-letter order.
static void number_adapters()
{
	// A second drive at an address already taken gets an adapter of its own.
	for (int i = 0; i < drive_count; i++) {
		struct drive *d = &drives[i];

		for (int j = 0; j < i && usable_address(d); j++) {
			if (usable_address(&drives[j]) && bus_key(&drives[j]) == bus_key(d) &&
			    drives[j].address.TargetId == d->address.TargetId)
				d->addressed = false;
		}
	}
	for (unsigned last = 0, any = 0;; any = 1) {
		unsigned lowest = 0x10000;

		for (int i = 0; i < drive_count; i++) {
			unsigned key = bus_key(&drives[i]);

			if (usable_address(&drives[i]) && (!any || key > last) && key < lowest)
				lowest = key;
		}
		if (lowest == 0x10000)
			break;
		for (int i = 0; i < drive_count; i++) {
			if (usable_address(&drives[i]) && bus_key(&drives[i]) == lowest) {
				drives[i].adapter = (uint8_t)adapter_count;
				drives[i].target = drives[i].address.TargetId;
				drives[i].lun = 0;
			}
		}
		adapter_count++;
		last = lowest;
	}
	for (int i = 0; i < drive_count; i++) {
		if (!usable_address(&drives[i])) {
			drives[i].adapter = (uint8_t)adapter_count++;
			drives[i].target = 0;
			drives[i].lun = 0;
		}
	}
}

// Windows 95, 98 and ME: loads the system folder's WNASPI32.DLL by its full
// path. Where that is this library (the loader there matches modules by
// name) or there is none, the user is told to delete this copy.
static void hand_over()
{
	char path[MAX_PATH + 16], own[MAX_PATH];
	UINT n = GetSystemDirectoryA(path, MAX_PATH);

	if (n > 0 && n < MAX_PATH) {
		lstrcpyA(path + n, "\\WNASPI32.DLL");
		system_layer = LoadLibraryA(path);
	} else {
		lstrcpyA(path, "the system folder's WNASPI32.DLL");
	}
	if (system_layer == self && system_layer != NULL) {
		FreeLibrary(system_layer);
		system_layer = NULL;
	}
	if (system_layer != NULL) {
		system_info = (aspi_support_info_fn)(void (*)(void))GetProcAddress(
		    system_layer, "GetASPI32SupportInfo");
		system_send = (aspi_send_command_fn)(void (*)(void))GetProcAddress(
		    system_layer, "SendASPI32Command");
		if (system_info != NULL && system_send != NULL)
			return;
		FreeLibrary(system_layer);
		system_layer = NULL;
		system_info = NULL;
		system_send = NULL;
	}
	n = GetModuleFileNameA(self, own, sizeof own);
	if (n == 0 || n >= sizeof own)
		lstrcpyA(own, "WNASPI32.DLL");
	say("Windows 95/98/ME needs its own ASPI layer, ", path,
	    ", which cannot be loaded: delete ", own);
}

// Runs once, at the first call of an entry point.
static void start()
{
	EnterCriticalSection(&lock);
	if (!started) {
		started = true;
		legacy = (GetVersion() & 0x80000000u) != 0;
		if (legacy) {
			hand_over();
		} else {
			DWORD letters = GetLogicalDrives();

			for (int i = 0; i < LETTERS; i++)
				if (letters & (1ul << i))
					open_drive(i);
			number_adapters();
		}
	}
	LeaveCriticalSection(&lock);
}

static struct drive *find_drive(int adapter, int target, int lun)
{
	for (int i = 0; i < drive_count; i++) {
		struct drive *d = &drives[i];

		if (d->adapter == adapter && d->target == target && d->lun == lun)
			return d;
	}
	return NULL;
}

static void pad(uint8_t *field, const char *text)
{
	int n = 0;

	for (; n < 16 && text[n]; n++)
		field[n] = (uint8_t)text[n];
	for (; n < 16; n++)
		field[n] = ' ';
}

// The adapter's name: "Port P Bus B" from its SCSI address, or "Drive X:"
// for a drive without one.
static void adapter_name(char *out, const struct drive *d)
{
	if (!usable_address(d)) {
		lstrcpyA(out, "Drive X:");
		out[6] = d->letter;
		return;
	}
	lstrcpyA(out, "Port ");
	decimal(out + lstrlenA(out), d->address.PortNumber);
	lstrcatA(out, " Bus ");
	decimal(out + lstrlenA(out), d->address.PathId);
}

static DWORD ha_inquiry(SRB_HAInquiry *srb)
{
	int a = srb->SRB_HaId;
	uint32_t max_transfer = 0;
	char name[32];

	srb->HA_Count = (uint8_t)adapter_count;
	// Adapter 0 always answers, so that a caller learns the count even
	// where there is no adapter.
	if (a >= adapter_count && a != 0) {
		srb->SRB_Status = SS_INVALID_HA;
		return SS_INVALID_HA;
	}
	name[0] = 0;
	for (int i = 0; i < drive_count; i++) {
		if (drives[i].adapter != a)
			continue;
		if (name[0] == 0)
			adapter_name(name, &drives[i]);
		if (max_transfer == 0 || drives[i].max_transfer < max_transfer)
			max_transfer = drives[i].max_transfer;
	}
	srb->HA_SCSI_ID = HOST_SCSI_ID;
	pad(srb->HA_ManagerId, "sysgrab SPTI");
	pad(srb->HA_Identifier, name);
	memset(srb->HA_Unique, 0, sizeof srb->HA_Unique);
	// Alignment mask 0: the caller's buffer is never handed to Windows.
	srb->HA_Unique[2] = RESIDUAL_SUPPORTED;
	srb->HA_Unique[3] = TARGETS;
	for (int i = 0; i < 4; i++)
		srb->HA_Unique[4 + i] = (uint8_t)(max_transfer >> (8 * i));
	srb->SRB_Status = SS_COMP;
	return SS_COMP;
}

static DWORD get_device_type(SRB_GDEVBlock *srb)
{
	struct drive *d;
	uint8_t status;

	if (srb->SRB_HaId >= adapter_count) {
		status = SS_INVALID_HA;
	} else {
		d = find_drive(srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun);
		if (d == NULL || d->gone) {
			status = SS_NO_DEVICE;
		} else {
			// Only drives Windows calls CD-ROM drives are offered.
			srb->SRB_DeviceType = DTYPE_CDROM;
			status = SS_COMP;
		}
	}
	srb->SRB_Status = status;
	return status;
}

// Makes the bounce buffer at least length bytes long; false if it cannot.
static bool bounce_reserve(uint32_t length)
{
	SIZE_T size;
	uint8_t *grown;

	if (bounce != NULL && length <= bounce_size)
		return true;
	if (length > 0xffffffffu - BOUNCE_STEP)
		return false;
	size = ((SIZE_T)length + BOUNCE_STEP - 1) / BOUNCE_STEP * BOUNCE_STEP;
	if (size == 0)
		size = BOUNCE_STEP;
	grown = (uint8_t *)VirtualAlloc(NULL, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
	if (grown == NULL)
		return false;
	if (bounce != NULL)
		VirtualFree(bounce, 0, MEM_RELEASE);
	bounce = grown;
	bounce_size = size;
	return true;
}

// What transient_run's sends share with the caller.
struct send_context {
	struct drive *drive;
	const struct transient_command *command; // the caller's command
	struct pass_through block;
	DWORD error;          // DeviceIoControl's error on the last try, or 0
	uint32_t transferred; // bytes moved on the last try
};

// One IOCTL_SCSI_PASS_THROUGH_DIRECT, its data in the bounce buffer: the
// caller's command has its data there already (transient_run loads and
// unloads it); a command of transient_run's own gets its data at once.
static void send_one(void *context, const struct transient_command *command,
                     struct transient_outcome *outcome)
{
	struct send_context *c = (struct send_context *)context;
	SCSI_PASS_THROUGH_DIRECT *p = &c->block.sptd;
	DWORD got;
	BOOL ok;

	memset(&c->block, 0, sizeof c->block);
	p->Length = sizeof *p;
	p->CdbLength = (UCHAR)command->cdb_length;
	p->SenseInfoLength = SENSE_MAX;
	p->SenseInfoOffset = offsetof(struct pass_through, sense);
	p->DataIn = command->direction == TRANSIENT_DATA_IN    ? SCSI_IOCTL_DATA_IN
	            : command->direction == TRANSIENT_DATA_OUT ? SCSI_IOCTL_DATA_OUT
	                                                       : SCSI_IOCTL_DATA_UNSPECIFIED;
	p->DataTransferLength = command->length;
	p->TimeOutValue = TRANSIENT_COMMAND_TIMEOUT_S;
	p->DataBuffer = command->length > 0 ? bounce : NULL;
	memcpy(p->Cdb, command->cdb, (size_t)command->cdb_length);
	if (command != c->command && command->direction == TRANSIENT_DATA_OUT)
		memcpy(bounce, command->data, command->length);

	ok = DeviceIoControl(c->drive->handle, IOCTL_SCSI_PASS_THROUGH_DIRECT, &c->block,
	                     sizeof c->block, &c->block, sizeof c->block, &got, NULL);
	c->error = ok ? 0 : GetLastError();
	outcome->reached = ok != FALSE;
	outcome->status = ok ? p->ScsiStatus : 0;
	outcome->sense = c->block.sense;
	outcome->sense_length =
	    ok ? (p->SenseInfoLength < SENSE_MAX ? p->SenseInfoLength : SENSE_MAX) : 0;
	// Never more than was asked for, whatever the driver says.
	c->transferred = 0;
	if (ok)
		c->transferred = p->DataTransferLength < command->length ? p->DataTransferLength
		                                                         : command->length;
	if (command != c->command && command->direction == TRANSIENT_DATA_IN &&
	    transient_data_valid(outcome))
		memcpy(command->data, bounce, c->transferred);
}

// ASPI status and host adapter status for a pass-through Windows refused.
static uint8_t refused(struct drive *d, DWORD error, uint8_t *ha)
{
	char path[] = "\\\\.\\A:";

	*ha = HASTAT_OK;
	switch (error) {
	case ERROR_ACCESS_DENIED:
		// Another handle holds the drive for itself, as burning
		// software does while it writes.
		if (!d->refused) {
			d->refused = true;
			path[4] = d->letter;
			say(path,
			    ": access denied: another program holds the drive; "
			    "close it and try again",
			    NULL, NULL);
		}
		*ha = HASTAT_PHASE_ERR;
		return SS_ERR;
	case ERROR_FILE_NOT_FOUND:
	case ERROR_DEV_NOT_EXIST:
	case ERROR_DEVICE_NOT_CONNECTED:
	case ERROR_DEVICE_REMOVED:
	case ERROR_INVALID_HANDLE:
		d->gone = true;
		return SS_NO_DEVICE;
	case ERROR_NOT_ENOUGH_MEMORY:
	case ERROR_OUTOFMEMORY:
	case ERROR_NO_SYSTEM_RESOURCES:
	case ERROR_INVALID_USER_BUFFER:
	case ERROR_WORKING_SET_QUOTA:
		return SS_BUFFER_TO_BIG;
	case ERROR_SEM_TIMEOUT:
	case ERROR_TIMEOUT:
		*ha = HASTAT_COMMAND_TIMEOUT;
		return SS_ERR;
	}
	*ha = HASTAT_PHASE_ERR;
	return SS_ERR;
}

// Runs one command; *sent says whether it went to the drive.
static DWORD exec_scsi_cmd(SRB_ExecSCSICmd *srb, bool *sent)
{
	struct send_context c;
	struct transient_command command;
	struct transient_outcome outcome;
	struct drive *d;
	uint8_t flags = srb->SRB_Flags, status, ha = HASTAT_OK, targ = STATUS_GOOD;
	uint32_t length = srb->SRB_BufLen, residual;
	int sense_length;

	d = find_drive(srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun);
	status =
	    srb_check(srb, adapter_count, d != NULL && !d->gone, d != NULL ? d->max_transfer : 0);
	if (status == SS_PENDING && !bounce_reserve(length))
		status = SS_BUFFER_TO_BIG;
	*sent = status == SS_PENDING;
	if (status != SS_PENDING) {
		srb->SRB_Status = status;
		return status;
	}

	command.cdb = srb->CDBByte;
	command.cdb_length = srb->SRB_CDBLen;
	command.data = bounce;
	command.caller = length > 0 ? srb->SRB_BufPointer : NULL;
	command.length = length;
	command.direction = length == 0            ? TRANSIENT_DATA_NONE
	                    : (flags & SRB_DIR_IN) ? TRANSIENT_DATA_IN
	                                           : TRANSIENT_DATA_OUT;
	c.drive = d;
	c.command = &command;
	transient_run(&transient_limits_default, &d->transient, send_one, &c, &command, &outcome);

	residual = length;
	sense_length = 0;
	if (!outcome.reached) {
		status = refused(d, c.error, &ha);
	} else {
		targ = outcome.status;
		status = targ == SCSI_GOOD ? SS_COMP : SS_ERR;
		sense_length = outcome.sense_length;
		// The caller's buffer has the data where it counts; Windows'
		// count of bytes moved serves only as the residual.
		if (transient_data_valid(&outcome))
			residual = length - c.transferred;
	}

	srb_finish(srb, flags, status, ha, targ, outcome.sense, sense_length, residual);
	return status;
}

extern "C" ASPISPTI_EXPORT DWORD __cdecl GetASPI32SupportInfo(void)
{
	start();
	if (legacy) {
		if (system_info == NULL)
			return (DWORD)SS_FAILED_INIT << 8;
		return system_info();
	}
	if (adapter_count == 0)
		return (DWORD)SS_NO_ADAPTERS << 8;
	return (DWORD)SS_COMP << 8 | (DWORD)adapter_count;
}

extern "C" ASPISPTI_EXPORT DWORD __cdecl SendASPI32Command(void *request)
{
	uint8_t *header = (uint8_t *)request;
	DWORD result;

	if (request == NULL)
		return SS_INVALID_SRB;
	start();
	if (legacy) {
		if (system_send == NULL) {
			header[1] = SS_FAILED_INIT;
			return SS_FAILED_INIT;
		}
		return system_send(request);
	}
	switch (header[0]) {
	case SC_HA_INQUIRY:
		return ha_inquiry((SRB_HAInquiry *)request);
	case SC_GET_DEV_TYPE:
		EnterCriticalSection(&lock);
		result = get_device_type((SRB_GDEVBlock *)request);
		LeaveCriticalSection(&lock);
		return result;
	case SC_EXEC_SCSI_CMD: {
		SRB_ExecSCSICmd *srb = (SRB_ExecSCSICmd *)request;
		void *post = srb->SRB_PostProc;
		uint8_t flags = srb->SRB_Flags;
		bool sent;

		EnterCriticalSection(&lock);
		result = exec_scsi_cmd(srb, &sent);
		LeaveCriticalSection(&lock);
		// Only a command that went to the drive is notified, outside the
		// lock (a post routine may send the next command); a refused record
		// may name no event at all.
		if (sent)
			srb_notify(flags, post, srb);
		return result;
	}
	}
	header[1] = SS_INVALID_CMD;
	return SS_INVALID_CMD;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
	switch (reason) {
	case DLL_PROCESS_ATTACH:
		self = instance;
		InitializeCriticalSection(&lock);
		break;
	case DLL_PROCESS_DETACH:
		// At the end of the process (reserved non-NULL) Windows closes
		// the handles and frees the memory itself; other libraries may
		// already be gone.
		if (reserved != NULL)
			break;
		for (int i = 0; i < drive_count; i++)
			CloseHandle(drives[i].handle);
		drive_count = 0;
		if (bounce != NULL)
			VirtualFree(bounce, 0, MEM_RELEASE);
		bounce = NULL;
		if (system_layer != NULL)
			FreeLibrary(system_layer);
		system_layer = NULL;
		DeleteCriticalSection(&lock);
		break;
	}
	return TRUE;
}
