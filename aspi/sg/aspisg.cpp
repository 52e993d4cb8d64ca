// ASPI for Win32 over the Linux SCSI generic driver (sg).
//
// Units are found through sysfs (see units.h) when an entry point is first
// called, and each unit's /dev/sgN is opened then and kept open until the
// library is unloaded. SC_GET_DEV_TYPE is answered from that table.
// SC_EXEC_SCSI_CMD runs before SendASPI32Command returns: through SG_IO
// (riding out transient drive states, see transient.h), then the outcome
// goes into the request record, SRB_Status last, the caller's event is
// signalled and the final status returned. One command runs at a time.
// Plain C library calls only: the layer needs no C++ runtime.

#include <windows.h>

#include "aspi32.h"
#include "srb.h"
#include "transient.h"
#include "units.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <pthread.h>
#include <scsi/sg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#define ASPISG_EXPORT __attribute__((visibility("default")))

// The two entry points, exported by their plain names.
extern "C" ASPISG_EXPORT DWORD __cdecl GetASPI32SupportInfo(void);
extern "C" ASPISG_EXPORT DWORD __cdecl SendASPI32Command(void *request);

// Host status values of the kernel's SCSI midlayer (sg_io_hdr.host_status).
#define DID_NO_CONNECT 0x01
#define DID_BUS_BUSY 0x02
#define DID_TIME_OUT 0x03
#define DID_BAD_TARGET 0x04
#define DID_PARITY 0x06
#define DID_RESET 0x08
// sg_io_hdr.driver_status, low nibble.
#define DRIVER_TIMEOUT 0x06

struct unit {
	struct sg_unit where;
	int fd;                // read-only; -1: could not be opened
	int rw_fd;             // opened for writing when a command needed it, or -1
	bool gone;             // SG_IO said the device is no longer there (atomic)
	uint32_t max_transfer; // the most one SG_IO may move
	struct transient_unit transient;
};

// Held for discovery and for each command.
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static bool discovered;
static int adapter_count;
static struct unit *units;
static int unit_count;

// The buffer for data coming in: grown to the largest transfer asked for
// so far, kept until unload.
static uint8_t *bounce;
static uint32_t bounce_size;

// Opens a node with the least access first: read-only lets SG_IO through
// for the commands the kernel counts as reads (READ(10) among them), and
// O_NONBLOCK keeps open from waiting on a unit that is busy.
static int open_unit(const char *node, bool writable)
{
	return open(node, (writable ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC);
}

// The most the kernel lets one SG_IO on fd move: the unit's request queue's
// limit, in bytes; no limit of ours where the node does not say.
static uint32_t max_transfer(int fd)
{
	int bytes = 0;

	if (fd < 0 || ioctl(fd, BLKSECTGET, &bytes) < 0 || bytes <= 0)
		return UINT32_MAX;
	return (uint32_t)bytes;
}

// Names a CD/DVD drive's node that cannot be opened, on standard error.
// Other units, disks above all, are left out without a word: sysgrab reads
// none of them, and a user rightly has no access to most. On Debian the
// cdrom group owns the nodes of CD/DVD drives.
static void name_refused(const struct sg_unit *unit, int error)
{
	if (unit->type != DTYPE_CDROM)
		return;
	if (error == EACCES || error == EPERM)
		fprintf(stderr,
		        "wnaspi32: %s: %s; to use this CD/DVD drive, join the cdrom group "
		        "(sudo adduser $USER cdrom) and log in again\n",
		        unit->node, strerror(error));
	else
		fprintf(stderr, "wnaspi32: %s: %s\n", unit->node, strerror(error));
}

// Runs once, under lock.
static void discover()
{
	const char *root = getenv("WNASPI32_ROOT");
	struct sg_unit *found;
	int count;

	discovered = true;
	found = sg_discover(root != NULL ? root : "", &count);
	if (found == NULL)
		return;
	units = (struct unit *)calloc((size_t)count, sizeof *units);
	if (units == NULL) {
		fprintf(stderr, "wnaspi32: out of memory\n");
		free(found);
		return;
	}
	for (int i = 0; i < count && found[i].adapter <= 254; i++) {
		struct unit *u = &units[unit_count++];

		u->where = found[i];
		u->rw_fd = -1;
		u->fd = open_unit(u->where.node, false);
		if (u->fd < 0)
			name_refused(&u->where, errno);
		u->max_transfer = max_transfer(u->fd);
		adapter_count = u->where.adapter + 1;
	}
	free(found);
}

static void ensure_discovered()
{
	pthread_mutex_lock(&lock);
	if (!discovered)
		discover();
	pthread_mutex_unlock(&lock);
}

// The unit at (adapter, target, lun), or NULL.
static struct unit *find_unit(int adapter, int target, int lun)
{
	for (int i = 0; i < unit_count; i++) {
		struct unit *u = &units[i];
		if (u->where.adapter == adapter && u->where.aspi_target == target &&
		    u->where.aspi_lun == lun)
			return u;
	}
	return NULL;
}

static uint8_t host_adapter_status(const sg_io_hdr_t &io)
{
	switch (io.host_status) {
	case 0:
		break;
	case DID_NO_CONNECT:
	case DID_BAD_TARGET:
		return HASTAT_SEL_TO;
	case DID_TIME_OUT:
		return HASTAT_COMMAND_TIMEOUT;
	case DID_BUS_BUSY:
	case DID_RESET:
		return HASTAT_BUS_FREE;
	default:
		return HASTAT_PHASE_ERR;
	}
	if ((io.driver_status & 0x0f) == DRIVER_TIMEOUT)
		return HASTAT_TIMEOUT;
	return HASTAT_OK;
}

static bool is_gone(const struct unit *u)
{
	return __atomic_load_n(&u->gone, __ATOMIC_ACQUIRE);
}

// One try of a command, as transient_run() sends it.
struct attempt {
	struct unit *u;
	int error; // errno of a failed SG_IO, or 0
	sg_io_hdr_t io;
	uint8_t sense[255];
};

static int sg_io(struct unit *u, sg_io_hdr_t *io)
{
	int rc = ioctl(u->rw_fd >= 0 ? u->rw_fd : u->fd, SG_IO, io);

	// The kernel lets only read-type commands through a read-only
	// descriptor (unless the caller may do raw I/O): open for writing
	// then, once, and keep that descriptor for later commands.
	if (rc < 0 && errno == EPERM && u->rw_fd < 0) {
		u->rw_fd = open_unit(u->where.node, true);
		if (u->rw_fd < 0) {
			errno = EPERM;
			return -1;
		}
		rc = ioctl(u->rw_fd, SG_IO, io);
	}
	return rc;
}

static void send_attempt(void *context, const struct transient_command *c,
                         struct transient_outcome *outcome)
{
	struct attempt *a = (struct attempt *)context;
	sg_io_hdr_t *io = &a->io;

	memset(io, 0, sizeof *io);
	io->interface_id = 'S';
	io->cmd_len = (unsigned char)c->cdb_length;
	io->cmdp = (unsigned char *)c->cdb;
	io->mx_sb_len = sizeof a->sense;
	io->sbp = a->sense;
	io->timeout = TRANSIENT_COMMAND_TIMEOUT_S * 1000;
	io->dxfer_len = c->length;
	io->dxferp = c->data;
	io->dxfer_direction = c->direction == TRANSIENT_DATA_IN    ? SG_DXFER_FROM_DEV
	                      : c->direction == TRANSIENT_DATA_OUT ? SG_DXFER_TO_DEV
	                                                           : SG_DXFER_NONE;
	a->error = sg_io(a->u, io) < 0 ? errno : 0;
	outcome->reached = a->error == 0 && host_adapter_status(*io) == HASTAT_OK;
	outcome->status = a->error == 0 ? io->status : 0;
	outcome->sense = a->sense;
	outcome->sense_length = a->error == 0 ? io->sb_len_wr : 0;
}

// ASPI status and host adapter status for an SG_IO the kernel refused.
static uint8_t transport_failure(struct unit *u, int error, uint8_t *ha)
{
	*ha = HASTAT_OK;
	if (error == ENODEV || error == ENXIO) {
		__atomic_store_n(&u->gone, true, __ATOMIC_RELEASE);
		return SS_NO_DEVICE;
	}
	if (error == ENOMEM)
		return SS_BUFFER_TO_BIG;
	*ha = HASTAT_PHASE_ERR;
	return SS_ERR;
}

// Makes the buffer hold length bytes; false where memory ran out.
static bool bounce_fits(uint32_t length)
{
	uint8_t *bigger;

	if (length <= bounce_size)
		return true;
	bigger = (uint8_t *)realloc(bounce, length);
	if (bigger == NULL)
		return false;
	bounce = bigger;
	bounce_size = length;
	return true;
}

// Runs one command, under lock, and completes its record.
static uint8_t execute(SRB_ExecSCSICmd *srb)
{
	// Read everything needed after the final status first: once SRB_Status
	// is written the caller may reuse the record.
	uint8_t flags = srb->SRB_Flags;
	void *post = srb->SRB_PostProc;
	uint32_t length = srb->SRB_BufLen;
	uint8_t status = SS_ERR, ha = HASTAT_OK, targ = STATUS_GOOD;
	int sense_length = 0;
	uint32_t residual = length;
	struct unit *u = find_unit(srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun);
	static struct attempt a;
	struct transient_command command;
	struct transient_outcome outcome;

	if (u == NULL || u->fd < 0 || is_gone(u)) {
		status = SS_NO_DEVICE;
		goto done;
	}
	command.cdb = srb->CDBByte;
	command.cdb_length = srb->SRB_CDBLen;
	command.length = length;
	command.data = srb->SRB_BufPointer;
	command.caller = NULL;
	command.direction = TRANSIENT_DATA_NONE;
	if (length > 0 && (flags & SRB_DIR_IN)) {
		// Data in goes through a buffer of our own: the caller's buffer
		// changes only when the data counts (see transient.h).
		if (!bounce_fits(length)) {
			status = SS_BUFFER_TO_BIG;
			goto done;
		}
		command.data = bounce;
		command.caller = srb->SRB_BufPointer;
		command.direction = TRANSIENT_DATA_IN;
	} else if (length > 0) {
		command.direction = TRANSIENT_DATA_OUT;
	}

	a.u = u;
	transient_run(&transient_limits_default, &u->transient, send_attempt, &a, &command,
	              &outcome);
	if (a.error != 0) {
		status = transport_failure(u, a.error, &ha);
	} else {
		sense_length = a.io.sb_len_wr;
		ha = host_adapter_status(a.io);
		targ = a.io.status;
		if (ha == HASTAT_OK && targ == STATUS_GOOD)
			status = SS_COMP;
		// The residual as the driver counted it, within the length asked.
		if (transient_data_valid(&outcome)) {
			residual = a.io.resid < 0 ? 0 : (uint32_t)a.io.resid;
			if (residual > length)
				residual = length;
		}
	}

done:
	srb_finish(srb, flags, status, ha, targ, a.sense, sense_length, residual);
	srb_notify(flags, post, srb);
	return status;
}

static DWORD get_device_type(SRB_GDEVBlock *srb)
{
	struct unit *u;

	ensure_discovered();
	if (srb->SRB_HaId >= adapter_count) {
		srb->SRB_Status = SS_INVALID_HA;
	} else {
		u = find_unit(srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun);
		// A unit that could not be opened cannot be reached either.
		if (u == NULL || u->fd < 0 || is_gone(u)) {
			srb->SRB_Status = SS_NO_DEVICE;
		} else {
			srb->SRB_DeviceType = (uint8_t)u->where.type;
			srb->SRB_Status = SS_COMP;
		}
	}
	return srb->SRB_Status;
}

static DWORD refuse(SRB_ExecSCSICmd *srb, uint8_t status)
{
	srb->SRB_Status = status;
	return status;
}

static DWORD exec_scsi_cmd(SRB_ExecSCSICmd *srb)
{
	uint8_t status;
	struct unit *u;

	ensure_discovered();
	u = find_unit(srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun);
	status = srb_check(srb, adapter_count, u != NULL && u->fd >= 0 && !is_gone(u),
	                   u != NULL ? u->max_transfer : 0);
	if (status != SS_PENDING)
		return refuse(srb, status);

	// The caller sees SS_PENDING until the final status is written.
	srb->SRB_Status = SS_PENDING;
	pthread_mutex_lock(&lock);
	status = execute(srb);
	pthread_mutex_unlock(&lock);
	return status;
}

extern "C" ASPISG_EXPORT DWORD __cdecl GetASPI32SupportInfo(void)
{
	ensure_discovered();
	if (adapter_count == 0)
		return (DWORD)SS_NO_ADAPTERS << 8;
	return (DWORD)SS_COMP << 8 | (DWORD)adapter_count;
}

extern "C" ASPISG_EXPORT DWORD __cdecl SendASPI32Command(void *request)
{
	uint8_t *cmd = (uint8_t *)request;

	if (cmd == NULL)
		return SS_INVALID_SRB;
	switch (cmd[0]) {
	case SC_GET_DEV_TYPE:
		return get_device_type((SRB_GDEVBlock *)request);
	case SC_EXEC_SCSI_CMD:
		return exec_scsi_cmd((SRB_ExecSCSICmd *)request);
	}
	cmd[1] = SS_INVALID_CMD;
	return SS_INVALID_CMD;
}

// The nodes are closed when the library is unloaded.
__attribute__((destructor)) static void unload()
{
	for (int i = 0; i < unit_count; i++) {
		if (units[i].fd >= 0)
			close(units[i].fd);
		if (units[i].rw_fd >= 0)
			close(units[i].rw_fd);
	}
	free(units);
	free(bounce);
	units = NULL;
	unit_count = 0;
	bounce = NULL;
	bounce_size = 0;
}
