// ASPI for Win32 over Windows' SCSI Pass-Through Interface (SPTI).
//
// The CD/DVD drives are found when an entry point is first called (and
// again at SC_RESCAN_SCSI_BUS; see drives.h) and kept open until the
// library is unloaded. Every request is complete when SendASPI32Command
// returns: SC_EXEC_SCSI_CMD goes to the drive through
// IOCTL_SCSI_PASS_THROUGH_DIRECT on the caller's thread (riding out
// transient drive states, see transient.h), so there is no worker to stop
// at unload, under the loader lock. One command runs at a time on each
// drive; commands to different drives, and the requests that only read the
// table, never wait for each other.
//
// Windows 95, 98 and ME have no pass-through: there both entry points hand
// the call to the system folder's own WNASPI32.DLL. NT in a compatibility
// mode for them says 9x as well, but has no such layer: there the
// pass-through serves, and a WNASPI32.DLL that old CD software left in the
// system folder is never loaded.

#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include "aspi32.h"
#include "drives.h"
#include "message.h"
#include "pieces.h"
#include "srb.h"
#include "transient.h"

#include <stddef.h>
#include <string.h>

#define ASPISPTI_EXPORT __declspec(dllexport)

extern "C" ASPISPTI_EXPORT DWORD __cdecl GetASPI32SupportInfo(void);
extern "C" ASPISPTI_EXPORT DWORD __cdecl SendASPI32Command(void *request);
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

// The bounce buffer grows in pages; VirtualAlloc hands out blocks aligned
// to 64 KiB, more than any adapter's alignment mask asks.
#define BOUNCE_STEP 4096
// SenseInfoLength is one byte.
#define SENSE_MAX 255

struct drive {
	struct spti_drive where;
	bool gone;          // Windows said the device is no longer there (atomic)
	bool refused;       // a command was refused: said once on standard error (atomic)
	uint32_t timeout_s; // for each try of a command (atomic)
	// Held while a command runs on the drive.
	CRITICAL_SECTION busy;
	// Data of every command travels through this buffer: aligned as the
	// adapters want it, and the caller's buffer receives only data that
	// counts. Grown to the longest transfer asked for, at most the
	// drive's limit (longer reads go through it in pieces), kept while
	// the drive is.
	uint8_t *bounce;
	SIZE_T bounce_size;
	struct transient_unit transient;
};

// One pass-through request and its sense data, in one block.
struct pass_through {
	SCSI_PASS_THROUGH_DIRECT sptd;
	uint8_t sense[SENSE_MAX];
};

static HMODULE self;
// Held while the table of drives is read or made, never while a command
// runs.
static CRITICAL_SECTION table;
static bool started;

static struct drive drives[SPTI_LETTERS];
static int drive_count;
static int adapter_count;
// Commands and resets under way; the table is not made anew while any is.
static int in_flight;

// Windows 95, 98 and ME: the system's own layer, or NULL.
static bool legacy;
static HMODULE system_layer;
static aspi_support_info_fn system_info;
static aspi_send_command_fn system_send;

// Windows 9x: loads the system folder's WNASPI32.DLL by its full path.
// Where that is this library (the loader there matches modules by name),
// or there is none, or it lacks an entry point, the user is told to delete
// this copy, and every call answers SS_FAILED_INIT.
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

static bool is_gone(const struct drive *d)
{
	return __atomic_load_n(&d->gone, __ATOMIC_ACQUIRE);
}

// Makes the table, under the table lock with no command under way. A drive
// still at the same letter keeps its buffer, timeout and state, with the
// handle just opened; drives no longer there are closed.
static void discover()
{
	static struct spti_drive found[SPTI_LETTERS];
	static struct drive old[SPTI_LETTERS];
	int old_count = drive_count, count = spti_discover(found, &adapter_count);

	// No command holds a drive: the locks go, in place, before the
	// drives are moved.
	for (int j = 0; j < old_count; j++)
		DeleteCriticalSection(&drives[j].busy);
	memcpy(old, drives, sizeof old);
	for (int i = 0; i < count; i++) {
		struct drive *d = &drives[i];

		memset(d, 0, sizeof *d);
		d->timeout_s = SRB_DEFAULT_TIMEOUT_S;
		for (int j = 0; j < old_count; j++) {
			if (old[j].where.letter == found[i].letter && !is_gone(&old[j])) {
				*d = old[j];
				old[j].bounce = NULL;
			}
		}
		d->where = found[i];
		d->transient.type = DTYPE_CDROM;
		InitializeCriticalSection(&d->busy);
	}
	for (int j = 0; j < old_count; j++) {
		CloseHandle(old[j].where.handle);
		if (old[j].bounce != NULL)
			VirtualFree(old[j].bounce, 0, MEM_RELEASE);
	}
	drive_count = count;
}

// Runs once, at the first call of an entry point.
static void start()
{
	EnterCriticalSection(&table);
	if (!started) {
		started = true;
		// Windows 9x, not NT told it is 9x (a compatibility mode, or
		// Wine's per-program version): every NT process has ntdll.dll.
		// Decided before anything is loaded.
		legacy = (GetVersion() & 0x80000000u) != 0 && GetModuleHandleA("ntdll.dll") == NULL;
		if (legacy)
			hand_over();
		else
			discover();
	}
	LeaveCriticalSection(&table);
}

// The drive at (adapter, target, lun), or NULL.
static struct drive *find_drive(int adapter, int target, int lun)
{
	for (int i = 0; i < drive_count; i++) {
		struct spti_drive *w = &drives[i].where;

		if (w->adapter == adapter && w->target == target && w->lun == lun)
			return &drives[i];
	}
	return NULL;
}

static DWORD ha_inquiry(SRB_HAInquiry *srb)
{
	int a = srb->SRB_HaId, count;
	uint32_t max_transfer = 0;
	char name[32];

	EnterCriticalSection(&table);
	count = adapter_count;
	name[0] = 0;
	for (int i = 0; i < drive_count; i++) {
		const struct spti_drive *w = &drives[i].where;

		if (w->adapter != a)
			continue;
		if (name[0] == 0)
			spti_adapter_name(name, w);
		if (max_transfer == 0 || w->max_transfer < max_transfer)
			max_transfer = w->max_transfer;
	}
	// An adapter below the highest port that holds a drive, holding none.
	if (name[0] == 0 && a < adapter_count) {
		lstrcpyA(name, "Port ");
		decimal(name + 5, (DWORD)a);
	}
	LeaveCriticalSection(&table);
	return srb_ha_inquiry(srb, count, "sysgrab SPTI", name, max_transfer);
}

// The drive offered at a request's address, or NULL with the status that
// answers the request: SS_INVALID_HA past the count, else SS_NO_DEVICE.
// Under lock.
static struct drive *offered_drive(int adapter, int target, int lun, uint8_t *status)
{
	struct drive *d;

	if (adapter >= adapter_count) {
		*status = SS_INVALID_HA;
		return NULL;
	}
	d = find_drive(adapter, target, lun);
	if (d == NULL || is_gone(d)) {
		*status = SS_NO_DEVICE;
		return NULL;
	}
	*status = SS_COMP;
	return d;
}

static DWORD get_device_type(SRB_GDEVBlock *srb)
{
	uint8_t status;

	EnterCriticalSection(&table);
	// Only drives Windows calls CD-ROM drives are offered.
	if (offered_drive(srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun, &status) != NULL)
		srb->SRB_DeviceType = DTYPE_CDROM;
	LeaveCriticalSection(&table);
	srb->SRB_Status = status;
	return status;
}

// Programs that find a drive by its letter ask every address for it. Only
// bytes 1 and 10 to 13 are written: callers' records differ past them.
static DWORD get_disk_info(SRB_GetDiskInfo *srb)
{
	struct drive *d;
	uint8_t status;

	EnterCriticalSection(&table);
	d = offered_drive(srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun, &status);
	if (d != NULL) {
		srb->SRB_DriveFlags = 0;
		srb->SRB_Int13HDriveInfo = (uint8_t)(d->where.letter - 'A');
		srb->SRB_Heads = 0;
		srb->SRB_Sectors = 0;
	}
	LeaveCriticalSection(&table);
	srb->SRB_Status = status;
	return status;
}

// Makes the drive's buffer at least length bytes long; false if it cannot.
static bool bounce_fits(struct drive *d, uint32_t length)
{
	SIZE_T size;
	uint8_t *grown;

	if (d->bounce != NULL && length <= d->bounce_size)
		return true;
	if (length > 0xffffffffu - BOUNCE_STEP)
		return false;
	size = ((SIZE_T)length + BOUNCE_STEP - 1) / BOUNCE_STEP * BOUNCE_STEP;
	if (size == 0)
		size = BOUNCE_STEP;
	grown = (uint8_t *)VirtualAlloc(NULL, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
	if (grown == NULL)
		return false;
	if (d->bounce != NULL)
		VirtualFree(d->bounce, 0, MEM_RELEASE);
	d->bounce = grown;
	d->bounce_size = size;
	return true;
}

// One try of a command, as transient_run() sends it.
struct attempt {
	struct drive *drive;
	struct pass_through block;
	DWORD error;          // DeviceIoControl's error on the last try, or 0
	uint32_t transferred; // bytes moved on the last try
};

// One IOCTL_SCSI_PASS_THROUGH_DIRECT, its data in the bounce buffer: the
// caller's command has its data there already (transient_run loads and
// unloads it); a command of transient_run's own, with a buffer of its own
// and data coming in only, gets its data at once.
static void send_attempt(void *context, const struct transient_command *command,
                         struct transient_outcome *outcome)
{
	struct attempt *a = (struct attempt *)context;
	SCSI_PASS_THROUGH_DIRECT *p = &a->block.sptd;
	uint8_t *bounce = a->drive->bounce;
	DWORD got;
	BOOL ok;

	memset(&a->block, 0, sizeof a->block);
	p->Length = sizeof *p;
	p->CdbLength = (UCHAR)command->cdb_length;
	p->SenseInfoLength = SENSE_MAX;
	p->SenseInfoOffset = offsetof(struct pass_through, sense);
	p->DataIn = command->direction == TRANSIENT_DATA_IN    ? SCSI_IOCTL_DATA_IN
	            : command->direction == TRANSIENT_DATA_OUT ? SCSI_IOCTL_DATA_OUT
	                                                       : SCSI_IOCTL_DATA_UNSPECIFIED;
	p->DataTransferLength = command->length;
	p->TimeOutValue = __atomic_load_n(&a->drive->timeout_s, __ATOMIC_RELAXED);
	p->DataBuffer = command->length > 0 ? bounce : NULL;
	memcpy(p->Cdb, command->cdb, (size_t)command->cdb_length);

	ok = DeviceIoControl(a->drive->where.handle, IOCTL_SCSI_PASS_THROUGH_DIRECT, &a->block,
	                     sizeof a->block, &a->block, sizeof a->block, &got, NULL);
	a->error = ok ? 0 : GetLastError();
	outcome->reached = ok != FALSE;
	outcome->status = ok ? p->ScsiStatus : 0;
	outcome->sense = a->block.sense;
	outcome->sense_length =
	    ok ? (p->SenseInfoLength < SENSE_MAX ? p->SenseInfoLength : SENSE_MAX) : 0;
	// Never more than was asked for, whatever the driver says.
	a->transferred = 0;
	if (ok)
		a->transferred = p->DataTransferLength < command->length ? p->DataTransferLength
		                                                         : command->length;
	outcome->residual = command->length - a->transferred;
	// Whole, as the caller's reads are: Windows and Wine misreport the
	// bytes moved (Wine's virtio-scsi says 0 where the data came), and a
	// READ CAPACITY cut short would give the pieces a wrong block length.
	if (command->data != bounce && command->direction == TRANSIENT_DATA_IN &&
	    transient_data_valid(outcome))
		memcpy(command->data, bounce, command->length);
}

// ASPI status and host adapter status for a pass-through Windows refused.
static uint8_t transport_failure(struct drive *d, DWORD error, uint8_t *ha)
{
	char path[] = "\\\\.\\A:";

	*ha = HASTAT_OK;
	switch (error) {
	case ERROR_ACCESS_DENIED:
		// Another handle holds the drive for itself, as burning
		// software does while it writes.
		if (!__atomic_exchange_n(&d->refused, true, __ATOMIC_RELAXED)) {
			path[4] = d->where.letter;
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
		__atomic_store_n(&d->gone, true, __ATOMIC_RELEASE);
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

// Runs one command that passed the checks on d, which the caller holds,
// and completes its record.
static uint8_t execute(SRB_ExecSCSICmd *srb, struct drive *d)
{
	struct attempt a;
	struct transient_command command;
	struct transient_outcome outcome;
	uint8_t flags = srb->SRB_Flags, status, ha = HASTAT_OK, targ = STATUS_GOOD;
	uint8_t kept[PIECES_SENSE_MAX];
	uint32_t length = srb->SRB_BufLen;
	int sense_length;
	enum pieces_result result;

	// A read longer than one command may be goes through the buffer in
	// pieces: it never holds more than that.
	if (!bounce_fits(d, length < d->where.max_transfer ? length : d->where.max_transfer))
		goto refused;
	command.cdb = srb->CDBByte;
	command.cdb_length = srb->SRB_CDBLen;
	command.data = d->bounce;
	command.caller = length > 0 ? srb->SRB_BufPointer : NULL;
	command.length = length;
	command.direction = length == 0            ? TRANSIENT_DATA_NONE
	                    : (flags & SRB_DIR_IN) ? TRANSIENT_DATA_IN
	                                           : TRANSIENT_DATA_OUT;
	a.drive = d;
	// Windows' count of bytes moved is not what the drive moved (see
	// send_attempt): a read whose block length the disc decides is
	// refused where it needs more than one piece.
	result = pieces_run(&transient_limits_default, &d->transient, send_attempt, &a, &command,
	                    d->where.max_transfer, false, kept, &outcome);
	if (result == PIECES_REFUSED)
		goto refused;

	sense_length = 0;
	if (!outcome.reached) {
		status = transport_failure(d, a.error, &ha);
	} else {
		targ = outcome.status;
		if (result == PIECES_SHORT)
			ha = HASTAT_DO_DU;
		status = targ == SCSI_GOOD && ha == HASTAT_OK ? SS_COMP : SS_ERR;
		sense_length = outcome.sense_length;
	}

	// The caller's buffer has the data where it counts; Windows' count of
	// bytes moved serves only as the residual.
	srb_finish(srb, flags, status, ha, targ, outcome.sense, sense_length, outcome.residual);
	return status;

refused:
	srb_finish(srb, flags, SS_BUFFER_TO_BIG, HASTAT_OK, STATUS_GOOD, NULL, 0, length);
	return SS_BUFFER_TO_BIG;
}

static DWORD refuse(void *srb, uint8_t status)
{
	((uint8_t *)srb)[1] = status;
	return status;
}

// A command or reset under way has ended.
static void done_with_drive()
{
	EnterCriticalSection(&table);
	in_flight--;
	LeaveCriticalSection(&table);
}

static DWORD exec_scsi_cmd(SRB_ExecSCSICmd *srb)
{
	// Read before the command ends: once SRB_Status is final the caller
	// may reuse the record.
	void *post = srb->SRB_PostProc;
	uint8_t flags = srb->SRB_Flags, status;
	struct drive *d;

	EnterCriticalSection(&table);
	d = find_drive(srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun);
	status = srb_check(srb, adapter_count, d != NULL && !is_gone(d),
	                   d != NULL ? d->where.max_transfer : 0, DTYPE_CDROM);
	if (status == SS_PENDING)
		in_flight++;
	LeaveCriticalSection(&table);
	// A refused record may name no event at all: it is not notified.
	if (status != SS_PENDING)
		return refuse(srb, status);
	EnterCriticalSection(&d->busy);
	// A record that passed the checks is notified whatever its outcome.
	status = execute(srb, d);
	LeaveCriticalSection(&d->busy);
	done_with_drive();
	// Outside every lock: a post routine may send the next command.
	srb_notify(flags, post, srb);
	return status;
}

// IOCTL_STORAGE_RESET_DEVICE through a second handle to the drive, opened
// as the first: Windows runs one request at a time on a handle opened
// without FILE_FLAG_OVERLAPPED, so on the drive's own handle the reset
// would wait for the very command it is to end. The letter may lead
// elsewhere by now (a USB drive swapped for another): where the second
// handle does not reach the same device, the drive has gone and nothing
// is reset. The status that answers the reset, with *ha.
static uint8_t reset_drive(struct drive *d, uint8_t *ha)
{
	char path[] = "\\\\.\\A:";
	HANDLE h;
	DWORD got;
	uint8_t status = SS_COMP;

	*ha = HASTAT_OK;
	path[4] = d->where.letter;
	h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
	                NULL, OPEN_EXISTING, 0, NULL);
	if (h == INVALID_HANDLE_VALUE)
		return transport_failure(d, GetLastError(), ha);
	if (!spti_same_device(&d->where, h))
		status = transport_failure(d, ERROR_DEV_NOT_EXIST, ha);
	else if (!DeviceIoControl(h, IOCTL_STORAGE_RESET_DEVICE, NULL, 0, NULL, 0, &got, NULL))
		status = transport_failure(d, GetLastError(), ha);
	CloseHandle(h);
	return status;
}

// Resets the drive without waiting for a command under way on it: ending
// one that hangs is what a reset is for.
static DWORD reset_device(SRB_BusDeviceReset *srb)
{
	uint8_t flags = srb->SRB_Flags, status, ha = HASTAT_OK;
	void *post = srb->SRB_PostProc;
	struct drive *d;

	EnterCriticalSection(&table);
	d = find_drive(srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun);
	status = srb_reset_check(srb, adapter_count, d != NULL && !is_gone(d));
	if (status == SS_PENDING)
		in_flight++;
	LeaveCriticalSection(&table);
	if (status != SS_PENDING)
		return refuse(srb, status);
	status = reset_drive(d, &ha);
	done_with_drive();
	srb_reset_finish(srb, flags, post, status, ha);
	return status;
}

// Looks for drives again while no command is under way; otherwise the
// caller is told to try again.
static DWORD rescan(SRB_RescanPort *srb)
{
	uint8_t status = SS_COMP;

	EnterCriticalSection(&table);
	if (in_flight > 0)
		status = SS_ASPI_IS_BUSY;
	else
		discover();
	LeaveCriticalSection(&table);
	srb->SRB_Status = status;
	return status;
}

// Drive i of the table, for srb_timeouts; under the table lock.
static bool drive_at(int i, int address[3], uint32_t **timeout_s)
{
	address[0] = drives[i].where.adapter;
	address[1] = drives[i].where.target;
	address[2] = drives[i].where.lun;
	*timeout_s = &drives[i].timeout_s;
	return !is_gone(&drives[i]);
}

static DWORD timeouts(SRB_GetSetTimeouts *srb)
{
	uint8_t status;

	EnterCriticalSection(&table);
	status = srb_timeouts(srb, adapter_count, drive_count, drive_at);
	LeaveCriticalSection(&table);
	return status;
}

extern "C" ASPISPTI_EXPORT DWORD __cdecl GetASPI32SupportInfo(void)
{
	int count;

	start();
	if (legacy) {
		if (system_info == NULL)
			return (DWORD)SS_FAILED_INIT << 8;
		return system_info();
	}
	EnterCriticalSection(&table);
	count = adapter_count;
	LeaveCriticalSection(&table);
	if (count == 0)
		return (DWORD)SS_NO_ADAPTERS << 8;
	return (DWORD)SS_COMP << 8 | (DWORD)count;
}

extern "C" ASPISPTI_EXPORT DWORD __cdecl SendASPI32Command(void *request)
{
	uint8_t *cmd = (uint8_t *)request;

	if (cmd == NULL)
		return SS_INVALID_SRB;
	start();
	if (legacy) {
		if (system_send == NULL) {
			cmd[1] = SS_FAILED_INIT;
			return SS_FAILED_INIT;
		}
		return system_send(request);
	}
	switch (cmd[0]) {
	case SC_HA_INQUIRY:
		return ha_inquiry((SRB_HAInquiry *)request);
	case SC_GET_DEV_TYPE:
		return get_device_type((SRB_GDEVBlock *)request);
	case SC_EXEC_SCSI_CMD:
		return exec_scsi_cmd((SRB_ExecSCSICmd *)request);
	case SC_GET_DISK_INFO:
		return get_disk_info((SRB_GetDiskInfo *)request);
	case SC_RESET_DEV:
		return reset_device((SRB_BusDeviceReset *)request);
	case SC_RESCAN_SCSI_BUS:
		return rescan((SRB_RescanPort *)request);
	case SC_GETSET_TIMEOUTS:
		return timeouts((SRB_GetSetTimeouts *)request);
	}
	cmd[1] = SS_INVALID_CMD;
	return SS_INVALID_CMD;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
	switch (reason) {
	case DLL_PROCESS_ATTACH:
		self = instance;
		InitializeCriticalSection(&table);
		break;
	case DLL_PROCESS_DETACH:
		// At the end of the process (reserved non-NULL) Windows closes
		// the handles and frees the memory itself; other libraries may
		// already be gone.
		if (reserved != NULL)
			break;
		for (int i = 0; i < drive_count; i++) {
			CloseHandle(drives[i].where.handle);
			if (drives[i].bounce != NULL)
				VirtualFree(drives[i].bounce, 0, MEM_RELEASE);
			DeleteCriticalSection(&drives[i].busy);
		}
		drive_count = 0;
		if (system_layer != NULL)
			FreeLibrary(system_layer);
		system_layer = NULL;
		DeleteCriticalSection(&table);
		break;
	}
	return TRUE;
}
