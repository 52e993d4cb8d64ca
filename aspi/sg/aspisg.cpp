// ASPI for Win32 over the Linux SCSI generic driver (sg).
//
// Units are found through sysfs (see units.h) when an entry point is first
// called, and each unit's /dev/sgN is opened then and kept open until the
// library is unloaded. SC_GET_DEV_TYPE is answered from that table.
// SC_EXEC_SCSI_CMD is queued to one worker thread, which runs it through
// SG_IO, writes the outcome into the request record, SRB_Status last, and
// then signals the caller.

#include <windows.h>

#include "aspi32.h"
#include "units.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <scsi/sg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <deque>
#include <new>
#include <vector>

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

// Sense key of RECOVERED ERROR: the command succeeded after a retry.
#define SENSE_KEY_RECOVERED 0x01

// No timeout of its own in ASPI; long enough for a drive to spin up.
#define COMMAND_TIMEOUT_MS 60000

struct unit {
	sg_unit where;
	int fd;    // read-only; -1: could not be opened
	int rw_fd; // opened for writing when a command needed it, or -1
	bool gone; // SG_IO said the device is no longer there (atomic)
};

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t queued = PTHREAD_COND_INITIALIZER;
static bool discovered;
static int adapter_count;
// Allocated on first use and freed by unload(): a static object's own
// destructor could run before unload() at the end of the process.
static std::vector<unit> *units;

static pthread_t worker;
static bool worker_running;
static bool stopping;
static std::deque<SRB_ExecSCSICmd *> *queue;

// Opens a node with the least access first: read-only lets SG_IO through
// for the commands the kernel counts as reads (READ(10) among them), and
// O_NONBLOCK keeps open from waiting on a unit that is busy.
static int open_unit(const char *node, bool writable)
{
	return open(node, (writable ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC);
}

// Runs once, under lock.
static void discover()
{
	const char *root = getenv("WNASPI32_ROOT");
	std::vector<sg_unit> found = sg_discover(root != NULL ? root : "");

	discovered = true;
	units = new std::vector<unit>;
	queue = new std::deque<SRB_ExecSCSICmd *>;
	for (const sg_unit &s : found) {
		if (s.adapter > 254)
			break;
		unit u;
		u.where = s;
		u.rw_fd = -1;
		u.gone = false;
		u.fd = open_unit(s.node.c_str(), false);
		if (u.fd < 0)
			fprintf(stderr, "wnaspi32: %s: %s\n", s.node.c_str(), strerror(errno));
		units->push_back(u);
		adapter_count = s.adapter + 1;
	}
}

static void ensure_discovered()
{
	pthread_mutex_lock(&lock);
	if (!discovered)
		discover();
	pthread_mutex_unlock(&lock);
}

// The unit at (adapter, target, lun), or NULL.
static unit *find_unit(int adapter, int target, int lun)
{
	for (unit &u : *units)
		if (u.where.adapter == adapter && u.where.target == target && u.where.lun == lun)
			return &u;
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

// Sense key of fixed or descriptor format sense data, or -1.
static int sense_key(const uint8_t *sense, int length)
{
	if (length < 2)
		return -1;
	switch (sense[0] & 0x7f) {
	case 0x70:
	case 0x71:
		return length >= 3 ? sense[2] & 0x0f : -1;
	case 0x72:
	case 0x73:
		return sense[1] & 0x0f;
	}
	return -1;
}

static bool is_gone(const unit *u)
{
	return __atomic_load_n(&u->gone, __ATOMIC_ACQUIRE);
}

// Runs on the worker only.
static int sg_io(unit *u, sg_io_hdr_t *io)
{
	int rc = ioctl(u->rw_fd >= 0 ? u->rw_fd : u->fd, SG_IO, io);

	// The kernel lets only read-type commands through a read-only
	// descriptor (unless the caller may do raw I/O): open for writing
	// then, once, and keep that descriptor for later commands.
	if (rc < 0 && errno == EPERM && u->rw_fd < 0) {
		u->rw_fd = open_unit(u->where.node.c_str(), true);
		if (u->rw_fd < 0) {
			errno = EPERM;
			return -1;
		}
		rc = ioctl(u->rw_fd, SG_IO, io);
	}
	return rc;
}

// Runs one command on the worker thread and completes its record.
static void execute(SRB_ExecSCSICmd *srb)
{
	// Read everything needed after the final status first: once SRB_Status
	// is written the caller may reuse the record.
	uint8_t flags = srb->SRB_Flags;
	void *post = srb->SRB_PostProc;
	uint32_t length = srb->SRB_BufLen;
	uint8_t status = SS_ERR, ha = HASTAT_OK, targ = STATUS_GOOD;
	uint8_t sense[255];
	int sense_length = 0;
	uint32_t residual = 0;
	unit *u = find_unit(srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun);

	if (u == NULL || u->fd < 0 || is_gone(u)) {
		status = SS_NO_DEVICE;
	} else {
		// Data in goes to a buffer of our own; only what the unit
		// transferred is copied on to the caller's.
		std::vector<uint8_t> data;
		sg_io_hdr_t io;

		memset(&io, 0, sizeof io);
		io.interface_id = 'S';
		io.cmd_len = srb->SRB_CDBLen;
		io.cmdp = srb->CDBByte;
		io.mx_sb_len = sizeof sense;
		io.sbp = sense;
		io.timeout = COMMAND_TIMEOUT_MS;
		io.dxfer_len = length;
		if (length == 0) {
			io.dxfer_direction = SG_DXFER_NONE;
		} else if (flags & SRB_DIR_IN) {
			try {
				data.resize(length);
			} catch (const std::bad_alloc &) {
				status = SS_BUFFER_TO_BIG;
				goto done;
			}
			io.dxfer_direction = SG_DXFER_FROM_DEV;
			io.dxferp = data.data();
		} else {
			io.dxfer_direction = SG_DXFER_TO_DEV;
			io.dxferp = srb->SRB_BufPointer;
		}

		if (sg_io(u, &io) < 0) {
			if (errno == ENODEV || errno == ENXIO) {
				__atomic_store_n(&u->gone, true, __ATOMIC_RELEASE);
				status = SS_NO_DEVICE;
			} else if (errno == ENOMEM) {
				status = SS_BUFFER_TO_BIG;
			} else {
				status = SS_ERR;
				ha = HASTAT_PHASE_ERR;
			}
		} else {
			long long transferred = (long long)length - io.resid;

			if (transferred < 0)
				transferred = 0;
			sense_length = io.sb_len_wr;
			ha = host_adapter_status(io);
			targ = io.status;
			residual = (uint32_t)(length - (uint32_t)transferred);
			if (ha == HASTAT_OK && targ == STATUS_GOOD)
				status = SS_COMP;
			bool good = status == SS_COMP ||
			            (ha == HASTAT_OK && targ == STATUS_CHKCOND &&
			             sense_key(sense, sense_length) == SENSE_KEY_RECOVERED);
			if (good && !data.empty())
				memcpy(srb->SRB_BufPointer, data.data(), (size_t)transferred);
			if (!good)
				residual = length;
		}
	}

done:
	srb->SRB_HaStat = ha;
	srb->SRB_TargStat = targ;
	if (sense_length > srb->SRB_SenseLen)
		sense_length = srb->SRB_SenseLen;
	if (sense_length > 0)
		memcpy(srb->SenseArea, sense, (size_t)sense_length);
	if (flags & SRB_ENABLE_RESIDUAL_COUNT)
		srb->SRB_BufLen = residual;
	__atomic_store_n(&srb->SRB_Status, status, __ATOMIC_RELEASE);

	if (flags & SRB_EVENT_NOTIFY)
		SetEvent((HANDLE)post);
	else if ((flags & SRB_POSTING) && post != NULL)
		((void(__cdecl *)(SRB_ExecSCSICmd *))post)(srb);
}

static void *run(void *)
{
	pthread_mutex_lock(&lock);
	for (;;) {
		while (queue->empty() && !stopping)
			pthread_cond_wait(&queued, &lock);
		if (queue->empty())
			break;
		SRB_ExecSCSICmd *srb = queue->front();
		queue->pop_front();
		pthread_mutex_unlock(&lock);
		execute(srb);
		pthread_mutex_lock(&lock);
	}
	pthread_mutex_unlock(&lock);
	return NULL;
}

static DWORD get_device_type(SRB_GDEVBlock *srb)
{
	unit *u;

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

static DWORD exec_scsi_cmd(SRB_ExecSCSICmd *srb)
{
	uint8_t direction = srb->SRB_Flags & (SRB_DIR_IN | SRB_DIR_OUT);
	DWORD result;

	ensure_discovered();
	if (srb->SRB_HaId >= adapter_count) {
		srb->SRB_Status = SS_INVALID_HA;
		return SS_INVALID_HA;
	}
	// A data phase needs a buffer and one direction; the direction is not
	// guessed from the command.
	if (srb->SRB_CDBLen == 0 || srb->SRB_CDBLen > sizeof srb->CDBByte ||
	    direction == (SRB_DIR_IN | SRB_DIR_OUT) ||
	    (srb->SRB_BufLen > 0 && (direction == 0 || srb->SRB_BufPointer == NULL)) ||
	    ((srb->SRB_Flags & SRB_EVENT_NOTIFY) && srb->SRB_PostProc == NULL)) {
		srb->SRB_Status = SS_INVALID_SRB;
		return SS_INVALID_SRB;
	}
	unit *u = find_unit(srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun);
	if (u == NULL || u->fd < 0) {
		srb->SRB_Status = SS_NO_DEVICE;
		return SS_NO_DEVICE;
	}

	pthread_mutex_lock(&lock);
	if (!worker_running) {
		if (pthread_create(&worker, NULL, run, NULL) != 0) {
			pthread_mutex_unlock(&lock);
			srb->SRB_Status = SS_ASPI_IS_BUSY;
			return SS_ASPI_IS_BUSY;
		}
		worker_running = true;
	}
	srb->SRB_Status = SS_PENDING;
	queue->push_back(srb);
	result = SS_PENDING;
	pthread_cond_signal(&queued);
	pthread_mutex_unlock(&lock);
	return result;
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

// dlclose unmaps the library: the worker, which runs its code, ends first,
// after the commands already queued; then the nodes are closed.
__attribute__((destructor)) static void unload()
{
	pthread_mutex_lock(&lock);
	stopping = true;
	pthread_cond_signal(&queued);
	pthread_mutex_unlock(&lock);
	if (worker_running)
		pthread_join(worker, NULL);
	worker_running = false;
	if (units != NULL) {
		for (unit &u : *units) {
			if (u.fd >= 0)
				close(u.fd);
			if (u.rw_fd >= 0)
				close(u.rw_fd);
		}
	}
	delete units;
	delete queue;
	units = NULL;
	queue = NULL;
}
