// ASPI for Win32 over the Linux SCSI generic driver (sg).
//
// Units are found through sysfs (see units.h) when an entry point is first
// called (and again at SC_RESCAN_SCSI_BUS), and each unit's /dev/sgN is
// opened then and kept open until the library is unloaded or the unit is
// gone at a rescan. SC_GET_DEV_TYPE is answered from that table.
// SC_EXEC_SCSI_CMD runs before SendASPI32Command returns: through SG_IO
// (riding out transient drive states, see transient.h), then the outcome
// goes into the request record, SRB_Status last, the caller's event is
// signalled and the final status returned. One command runs at a time on
// each unit; commands to different units, and the requests that only read
// the table, never wait for each other.
// Plain C library calls only: the layer needs no C++ runtime.

#include <windows.h>

#include "aspi32.h"
#include "pieces.h"
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
#include <sys/stat.h>
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
	int rw_fd;             // opened for writing when a command needed it, or -1 (atomic)
	bool gone;             // SG_IO said the device is no longer there (atomic)
	uint32_t max_transfer; // the most one SG_IO may move
	uint32_t timeout_s;    // for each try of a command (atomic)
	// Held while a command runs on the unit.
	pthread_mutex_t busy;
	// The buffer for data coming in, starting on a page: grown to the
	// largest transfer asked for so far, at most max_transfer (longer
	// reads go through it in pieces), kept while the unit is.
	uint8_t *bounce;
	uint32_t bounce_size;
	struct transient_unit transient;
};

// Held while the table is read or made, never while a command runs.
static pthread_mutex_t table = PTHREAD_MUTEX_INITIALIZER;
static bool discovered;
static int adapter_count;
static struct unit *units;
static int unit_count;
// Commands and resets under way; the table is not made anew while any is.
static int in_flight;

// Opens a node with the least access first: read-only lets SG_IO through
// for the commands the kernel counts as reads (READ(10) among them), and
// O_NONBLOCK keeps open from waiting on a unit that is busy.
static int open_unit(const char *node, bool writable)
{
	return open(node, (writable ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC);
}

// The most the kernel lets one SG_IO on fd move: the unit's request queue's
// limit, in bytes, and no more pages than the queue takes segments (each
// page of the layer's buffer, which starts on one, may be a segment of its
// own); no limit of ours where the node does not say.
static uint32_t max_transfer(int fd)
{
	int bytes = 0, segments = 0;
	uint32_t most = UINT32_MAX;
	long page = sysconf(_SC_PAGESIZE);

	if (fd < 0)
		return most;
	if (ioctl(fd, BLKSECTGET, &bytes) == 0 && bytes > 0)
		most = (uint32_t)bytes;
	if (page > 0 && ioctl(fd, SG_GET_SG_TABLESIZE, &segments) == 0 && segments > 0 &&
	    (uint64_t)segments * (uint64_t)page < most)
		most = (uint32_t)segments * (uint32_t)page;
	return most;
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

static bool is_gone(const struct unit *u)
{
	return __atomic_load_n(&u->gone, __ATOMIC_ACQUIRE);
}

// Whether fd is still open on the file at node: a unit taken away and
// another put in its place gets a node of its own, even at the same path.
static bool same_node(int fd, const char *node)
{
	struct stat open_file, named;

	return fstat(fd, &open_file) == 0 && stat(node, &named) == 0 &&
	       open_file.st_dev == named.st_dev && open_file.st_ino == named.st_ino &&
	       open_file.st_rdev == named.st_rdev;
}

// The same unit at the same node in a table made earlier, still there.
static struct unit *known(struct unit *old, int old_count, const struct sg_unit *w)
{
	for (int i = 0; i < old_count; i++) {
		struct sg_unit *o = &old[i].where;

		if (old[i].fd >= 0 && !is_gone(&old[i]) && o->host == w->host &&
		    o->channel == w->channel && o->target == w->target && o->lun == w->lun &&
		    strcmp(o->node, w->node) == 0 && same_node(old[i].fd, w->node))
			return &old[i];
	}
	return NULL;
}

static void release(struct unit *u)
{
	if (u->fd >= 0)
		close(u->fd);
	if (u->rw_fd >= 0)
		close(u->rw_fd);
	free(u->bounce);
	pthread_mutex_destroy(&u->busy);
}

// Makes the table, under the table lock with no command under way. A unit
// already known keeps its nodes, buffer, timeout and state; others are
// opened; those no longer there are closed.
static void discover()
{
	// Never from the environment of a process that runs with more
	// privileges than its caller's.
	const char *root = secure_getenv("WNASPI32_ROOT");
	struct sg_unit *found;
	struct unit *old = units, *made = NULL, *same;
	int count, old_count = unit_count, made_count = 0;

	discovered = true;
	found = sg_discover(root != NULL ? root : "", &count);
	if (found != NULL) {
		made = (struct unit *)calloc((size_t)count, sizeof *made);
		if (made == NULL) {
			fprintf(stderr, "wnaspi32: out of memory\n");
			free(found);
			return;
		}
	}
	adapter_count = 0;
	for (int i = 0; i < count && found[i].adapter <= 254; i++) {
		struct unit *u = &made[made_count++];

		same = known(old, old_count, &found[i]);
		if (same != NULL) {
			*u = *same;
			same->fd = same->rw_fd = -1;
			same->bounce = NULL;
		} else {
			u->rw_fd = -1;
			u->fd = open_unit(found[i].node, false);
			if (u->fd < 0)
				name_refused(&found[i], errno);
			u->max_transfer = max_transfer(u->fd);
			u->timeout_s = SRB_DEFAULT_TIMEOUT_S;
		}
		u->where = found[i];
		u->transient.type = (uint8_t)found[i].type;
		pthread_mutex_init(&u->busy, NULL);
		adapter_count = u->where.adapter + 1;
	}
	free(found);
	for (int i = 0; i < old_count; i++)
		release(&old[i]);
	free(old);
	units = made;
	unit_count = made_count;
}

static void ensure_discovered()
{
	pthread_mutex_lock(&table);
	if (!discovered)
		discover();
	pthread_mutex_unlock(&table);
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

// A unit that can take commands.
static bool reachable(const struct unit *u)
{
	return u != NULL && u->fd >= 0 && !is_gone(u);
}

// A command or reset under way has ended.
static void done_with_unit()
{
	pthread_mutex_lock(&table);
	in_flight--;
	pthread_mutex_unlock(&table);
}

// One try of a command, as transient_run() sends it.
struct attempt {
	struct unit *u;
	int error; // errno of a failed SG_IO, or 0
	sg_io_hdr_t io;
	uint8_t sense[255];
};

// The descriptor commands go through: the one opened for writing, once
// there is one. A reset reads it without the unit's lock.
static int command_fd(const struct unit *u)
{
	int rw_fd = __atomic_load_n(&u->rw_fd, __ATOMIC_ACQUIRE);

	return rw_fd >= 0 ? rw_fd : u->fd;
}

static int sg_io(struct unit *u, sg_io_hdr_t *io)
{
	int rc = ioctl(command_fd(u), SG_IO, io), rw_fd;

	// The kernel lets only read-type commands through a read-only
	// descriptor (unless the caller may do raw I/O): open for writing
	// then, once, and keep that descriptor for later commands.
	if (rc < 0 && errno == EPERM && u->rw_fd < 0) {
		rw_fd = open_unit(u->where.node, true);
		if (rw_fd < 0) {
			errno = EPERM;
			return -1;
		}
		__atomic_store_n(&u->rw_fd, rw_fd, __ATOMIC_RELEASE);
		rc = ioctl(rw_fd, SG_IO, io);
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
	io->timeout = __atomic_load_n(&a->u->timeout_s, __ATOMIC_RELAXED) * 1000;
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
	// The residual as the driver counted it, within the length asked.
	outcome->residual = c->length;
	if (a->error == 0 && io->resid >= 0 && (uint32_t)io->resid < c->length)
		outcome->residual = (uint32_t)io->resid;
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

// Makes the unit's buffer hold length bytes; false where memory ran out.
// What it held need not be kept: each command loads it anew.
static bool bounce_fits(struct unit *u, uint32_t length)
{
	void *bigger;

	if (length <= u->bounce_size)
		return true;
	if (posix_memalign(&bigger, (size_t)sysconf(_SC_PAGESIZE), length) != 0)
		return false;
	free(u->bounce);
	u->bounce = (uint8_t *)bigger;
	u->bounce_size = length;
	return true;
}

// Runs one command on u, which the caller holds, and completes its record.
static uint8_t execute(SRB_ExecSCSICmd *srb, struct unit *u)
{
	uint8_t flags = srb->SRB_Flags;
	uint32_t length = srb->SRB_BufLen;
	uint8_t status = SS_ERR, ha = HASTAT_OK, targ = STATUS_GOOD;
	uint8_t kept[PIECES_SENSE_MAX];
	const uint8_t *sense = NULL;
	int sense_length = 0;
	uint32_t residual = length;
	struct attempt a;
	struct transient_command command;
	struct transient_outcome outcome;
	enum pieces_result result;

	command.cdb = srb->CDBByte;
	command.cdb_length = srb->SRB_CDBLen;
	command.length = length;
	command.data = srb->SRB_BufPointer;
	command.caller = NULL;
	command.direction = TRANSIENT_DATA_NONE;
	if (length > 0 && (flags & SRB_DIR_IN)) {
		// Data in goes through a buffer of our own: the caller's buffer
		// changes only when the data counts (see transient.h). A read
		// longer than one SG_IO may be goes through it in pieces.
		if (!bounce_fits(u, length < u->max_transfer ? length : u->max_transfer)) {
			status = SS_BUFFER_TO_BIG;
			goto done;
		}
		command.data = u->bounce;
		command.caller = srb->SRB_BufPointer;
		command.direction = TRANSIENT_DATA_IN;
	} else if (length > 0) {
		command.direction = TRANSIENT_DATA_OUT;
	}

	a.u = u;
	result = pieces_run(&transient_limits_default, &u->transient, send_attempt, &a, &command,
	                    u->max_transfer, u->where.exact_residual, kept, &outcome);
	if (result == PIECES_REFUSED) {
		status = SS_BUFFER_TO_BIG;
		goto done;
	}
	residual = outcome.residual;
	if (a.error != 0) {
		status = transport_failure(u, a.error, &ha);
	} else {
		sense = outcome.sense;
		sense_length = outcome.sense_length;
		ha = host_adapter_status(a.io);
		targ = outcome.status;
		if (ha == HASTAT_OK && result == PIECES_SHORT)
			ha = HASTAT_DO_DU;
		if (ha == HASTAT_OK && targ == STATUS_GOOD)
			status = SS_COMP;
	}

done:
	srb_finish(srb, flags, status, ha, targ, sense, sense_length, residual);
	return status;
}

static DWORD get_device_type(SRB_GDEVBlock *srb)
{
	struct unit *u;

	ensure_discovered();
	pthread_mutex_lock(&table);
	if (srb->SRB_HaId >= adapter_count) {
		srb->SRB_Status = SS_INVALID_HA;
	} else {
		u = find_unit(srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun);
		// A unit that could not be opened cannot be reached either.
		if (!reachable(u)) {
			srb->SRB_Status = SS_NO_DEVICE;
		} else {
			srb->SRB_DeviceType = (uint8_t)u->where.type;
			srb->SRB_Status = SS_COMP;
		}
	}
	pthread_mutex_unlock(&table);
	return srb->SRB_Status;
}

// The adapter's name, "Host H Bus C" (its host and channel) or "Unit
// H:C:T:L" for a CD/DVD unit on an adapter of its own, and the least
// limit of its units.
static DWORD ha_inquiry(SRB_HAInquiry *srb)
{
	uint32_t max = 0;
	char name[48] = "";
	int count;

	ensure_discovered();
	pthread_mutex_lock(&table);
	count = adapter_count;
	for (int i = 0; i < unit_count; i++) {
		const struct unit *u = &units[i];
		const struct sg_unit *w = &u->where;
		bool own = w->target != w->aspi_target || w->lun != w->aspi_lun;

		if (w->adapter != srb->SRB_HaId)
			continue;
		if (name[0] == '\0' && own)
			snprintf(name, sizeof name, "Unit %d:%d:%d:%d", w->host, w->channel,
			         w->target, w->lun);
		else if (name[0] == '\0')
			snprintf(name, sizeof name, "Host %d Bus %d", w->host, w->channel);
		if (reachable(u) && (max == 0 || u->max_transfer < max))
			max = u->max_transfer;
	}
	pthread_mutex_unlock(&table);
	return srb_ha_inquiry(srb, count, "sysgrab SG", name, max);
}

static DWORD refuse(void *srb, uint8_t status)
{
	((uint8_t *)srb)[1] = status;
	return status;
}

static DWORD exec_scsi_cmd(SRB_ExecSCSICmd *srb)
{
	// Read before the command ends: once SRB_Status is final the caller
	// may reuse the record.
	uint8_t flags = srb->SRB_Flags, status;
	void *post = srb->SRB_PostProc;
	struct unit *u;

	ensure_discovered();
	pthread_mutex_lock(&table);
	u = find_unit(srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun);
	status = srb_check(srb, adapter_count, reachable(u), u != NULL ? u->max_transfer : 0,
	                   u != NULL ? (uint8_t)u->where.type : 0);
	if (status == SS_PENDING)
		in_flight++;
	pthread_mutex_unlock(&table);
	if (status != SS_PENDING)
		return refuse(srb, status);

	// The caller sees SS_PENDING until the final status is written.
	srb->SRB_Status = SS_PENDING;
	pthread_mutex_lock(&u->busy);
	status = execute(srb, u);
	pthread_mutex_unlock(&u->busy);
	done_with_unit();
	// Outside every lock: a post routine may send the next command.
	srb_notify(flags, post, srb);
	return status;
}

// A device reset through the midlayer. It does not wait for a command
// under way on the unit: ending one that hangs is what a reset is for.
static DWORD reset_device(SRB_BusDeviceReset *srb)
{
	uint8_t flags = srb->SRB_Flags, status, ha = HASTAT_OK;
	void *post = srb->SRB_PostProc;
	int kind = SG_SCSI_RESET_DEVICE;
	struct unit *u;

	ensure_discovered();
	pthread_mutex_lock(&table);
	u = find_unit(srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun);
	status = srb_reset_check(srb, adapter_count, reachable(u));
	if (status == SS_PENDING)
		in_flight++;
	pthread_mutex_unlock(&table);
	if (status != SS_PENDING)
		return refuse(srb, status);
	status = SS_COMP;

	// Refused (EACCES without CAP_SYS_ADMIN and CAP_SYS_RAWIO, EBUSY while
	// the midlayer recovers): SS_ERR with a host status; gone: SS_NO_DEVICE.
	if (ioctl(command_fd(u), SG_SCSI_RESET, &kind) < 0) {
		ha = HASTAT_PHASE_ERR;
		status = SS_ERR;
		if (errno == ENODEV || errno == ENXIO)
			status = transport_failure(u, errno, &ha);
	}
	done_with_unit();
	srb_reset_finish(srb, flags, post, status, ha);
	return status;
}

// Looks for units again while no command is under way; otherwise the
// caller is told to try again.
static DWORD rescan(SRB_RescanPort *srb)
{
	uint8_t status = SS_COMP;

	pthread_mutex_lock(&table);
	if (in_flight > 0)
		status = SS_ASPI_IS_BUSY;
	else
		discover();
	pthread_mutex_unlock(&table);
	srb->SRB_Status = status;
	return status;
}

// Unit i of the table, for srb_timeouts; under the table lock.
static bool unit_at(int i, int address[3], uint32_t **timeout_s)
{
	address[0] = units[i].where.adapter;
	address[1] = units[i].where.aspi_target;
	address[2] = units[i].where.aspi_lun;
	*timeout_s = &units[i].timeout_s;
	return reachable(&units[i]);
}

static DWORD timeouts(SRB_GetSetTimeouts *srb)
{
	uint8_t status;

	ensure_discovered();
	pthread_mutex_lock(&table);
	status = srb_timeouts(srb, adapter_count, unit_count, unit_at);
	pthread_mutex_unlock(&table);
	return status;
}

extern "C" ASPISG_EXPORT DWORD __cdecl GetASPI32SupportInfo(void)
{
	int count;

	ensure_discovered();
	pthread_mutex_lock(&table);
	count = adapter_count;
	pthread_mutex_unlock(&table);
	if (count == 0)
		return (DWORD)SS_NO_ADAPTERS << 8;
	return (DWORD)SS_COMP << 8 | (DWORD)count;
}

extern "C" ASPISG_EXPORT DWORD __cdecl SendASPI32Command(void *request)
{
	uint8_t *cmd = (uint8_t *)request;

	if (cmd == NULL)
		return SS_INVALID_SRB;
	switch (cmd[0]) {
	case SC_HA_INQUIRY:
		return ha_inquiry((SRB_HAInquiry *)request);
	case SC_GET_DEV_TYPE:
		return get_device_type((SRB_GDEVBlock *)request);
	case SC_EXEC_SCSI_CMD:
		return exec_scsi_cmd((SRB_ExecSCSICmd *)request);
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

// The nodes are closed when the library is unloaded, unless a command or
// reset is under way or the table is in use: at exit() other threads run
// on, and their units must stay. The process is ending then, and the
// system reclaims what is left.
__attribute__((destructor)) static void unload()
{
	if (pthread_mutex_trylock(&table) != 0)
		return;
	if (in_flight == 0) {
		for (int i = 0; i < unit_count; i++)
			release(&units[i]);
		free(units);
		units = NULL;
		unit_count = 0;
	}
	pthread_mutex_unlock(&table);
}
