// Drives the ASPI layer directly, for the layer's checks: prints what each
// request gave back, one line each, so the tests compare text.
//
//   aspicheck info                       the support-info word
//   aspicheck type A T L                 SC_GET_DEV_TYPE
//   aspicheck exec A T in|out|none LEN HEX SC_EXEC_SCSI_CMD with the CDB in HEX,
//                                        data in a buffer filled with 0xA5
//   aspicheck again A T in|out|none LEN HEX PROMPT
//                                        exec's request, then PROMPT printed and
//                                        one line of input waited for, then the
//                                        same request again, in one load of the
//                                        layer (for a disc changed in between)
//   aspicheck repeat N A T [HEX]         N READ(10)s of block 0 (or the command
//                                        in HEX, no data) after N more; the
//                                        process's descriptors, threads and
//                                        heap before, after, and after FreeLibrary
//   aspicheck gone A T FILE              TEST UNIT READY, then "1" written to
//                                        FILE (the unit's sysfs delete), then
//                                        TEST UNIT READY and SC_GET_DEV_TYPE
//   aspicheck time PROG ARGS...          runs PROG, its output thrown away;
//                                        prints its wall time in us
//   aspicheck inquiry A                  SC_HA_INQUIRY
//   aspicheck disk A T L [garbage]       SC_GET_DISK_INFO in a 64-byte block,
//                                        longer than any caller's record;
//                                        garbage in SRB_Flags and SRB_Hdr_Rsvd
//                                        if asked. "others" says whether every
//                                        byte but 1 and 10-13 kept its value
//   aspicheck threads A T A2 T2          READ(10) of block 0 to A:T in a thread
//                                        of its own; 300 ms in, the support-info
//                                        word and an INQUIRY to A2:T2 timed
//   aspicheck address X                  IOCTL_SCSI_GET_ADDRESS of drive X:
//                                        (Windows only; all 0 where it fails)
//   aspicheck null                       SendASPI32Command(NULL)
//   aspicheck cmd WORD...                in one load, on one line: a zeroed
//                                        SC_EXEC_SCSI_CMD-sized record for each
//                                        N[:A:T:L[:FLAGS[:VALUE]]], VALUE in
//                                        bytes 10-13; ret, status, byte 22 (ha)
//                                        and bytes 10-13 (value) back. info:
//                                        the support-info word; wait: "go" and
//                                        a line of input waited for
//   aspicheck raw A T L FLAGS LEN CDBLEN HEX [OPTION...]
//                                        SC_EXEC_SCSI_CMD exactly as given:
//                                        FLAGS is SRB_Flags (hex), CDBLEN is
//                                        SRB_CDBLen whatever HEX holds; an event
//                                        with SRB_EVENT_NOTIFY, a post routine
//                                        with SRB_POSTING. Options: nullbuf (no
//                                        buffer), noevent (SRB_PostProc NULL),
//                                        sense N (SRB_SenseLen), data HEX (the
//                                        buffer's first bytes), dump (print the
//                                        buffer), save FILE (write it to FILE),
//                                        timed (Linux: the request's time, us)
//
// repeat, gone, time and threads are for Linux only. On Linux, with
// ASPICHECK_SG="BYTES PAGES BAD KEY ASC" set, plain files stand for sg
// nodes (see fake_ioctl).

#include <windows.h>

#include "aspi32.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <winioctl.h>
#include <ntddscsi.h>
#else
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <scsi/sg.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#endif

#define FILL 0xA5
#define GUARD 0x5A

static HMODULE library;
static aspi_support_info_fn info;
static aspi_send_command_fn send_command;

static void load()
{
	library = LoadLibraryA("WNASPI32");
	if (library == NULL) {
		printf("no library\n");
		exit(2);
	}
	info =
	    (aspi_support_info_fn)(void (*)(void))GetProcAddress(library, "GetASPI32SupportInfo");
	send_command =
	    (aspi_send_command_fn)(void (*)(void))GetProcAddress(library, "SendASPI32Command");
	if (info == NULL || send_command == NULL) {
		printf("no entry points\n");
		exit(2);
	}
}

// Sends one SC_EXEC_SCSI_CMD and waits for it; returns SendASPI32Command's
// answer. Exits if a pending command ends without a final status.
static DWORD exec(SRB_ExecSCSICmd *srb, int a, int t, uint8_t flags, uint8_t *buffer,
                  uint32_t length, const uint8_t *cdb, int cdb_length)
{
	HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);
	DWORD ret;

	memset(srb, 0, sizeof *srb);
	srb->SRB_Cmd = SC_EXEC_SCSI_CMD;
	srb->SRB_HaId = (uint8_t)a;
	srb->SRB_Target = (uint8_t)t;
	srb->SRB_Flags = flags | SRB_EVENT_NOTIFY;
	srb->SRB_BufLen = length;
	srb->SRB_BufPointer = buffer;
	srb->SRB_SenseLen = SENSE_LEN;
	srb->SRB_CDBLen = (uint8_t)cdb_length;
	srb->SRB_PostProc = event;
	memcpy(srb->CDBByte, cdb, (size_t)cdb_length);
	ret = send_command(srb);
	if (ret == SS_PENDING) {
		WaitForSingleObject(event, INFINITE);
		if (srb->SRB_Status == SS_PENDING) {
			printf("signalled while pending\n");
			exit(1);
		}
	}
	CloseHandle(event);
	return ret;
}

#ifndef _WIN32
static int count_entries(const char *dir)
{
	DIR *d = opendir(dir);
	int n = 0;

	while (readdir(d) != NULL)
		n++;
	closedir(d);
	return n - 3; // ".", ".." and the one opendir holds
}

static int count_threads()
{
	char line[256];
	int n = -1;
	FILE *f = fopen("/proc/self/status", "r");

	while (fgets(line, sizeof line, f) != NULL)
		if (sscanf(line, "Threads: %d", &n) == 1)
			break;
	fclose(f);
	return n;
}

static int parse_hex(const char *text, uint8_t *out, int max);

static int repeat(int n, int a, int t, const char *hex)
{
	static uint8_t cdb[16] = {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0};
	static uint8_t buffer[2048];
	int length = hex != NULL ? parse_hex(hex, cdb, sizeof cdb) : 10;
	uint32_t bytes = hex != NULL ? 0 : sizeof buffer;
	uint8_t flags = hex != NULL ? 0 : SRB_DIR_IN;
	SRB_ExecSCSICmd srb;
	int fds[3], threads[3];
	size_t heap[2];

	load();
	info();
	// Warm up with as many commands, so that what the layer and the C
	// library allocate once is counted before the first measure. (Chunks
	// the main thread allocates and the worker frees can stay in the
	// worker's cache a while.)
	for (int i = 0; i < n; i++)
		exec(&srb, a, t, flags, buffer, bytes, cdb, length);
	fds[0] = count_entries("/proc/self/fd");
	threads[0] = count_threads();
	heap[0] = mallinfo2().uordblks;
	int bad = 0;
	for (int i = 0; i < n; i++) {
		exec(&srb, a, t, flags, buffer, bytes, cdb, length);
		if (srb.SRB_Status != SS_COMP)
			bad++;
	}
	fds[1] = count_entries("/proc/self/fd");
	threads[1] = count_threads();
	heap[1] = mallinfo2().uordblks;
	FreeLibrary(library);
	fds[2] = count_entries("/proc/self/fd");
	// A joined thread can still be listed for a moment while the kernel
	// tears it down.
	for (int i = 0; i < 100 && (threads[2] = count_threads()) > 1; i++)
		usleep(20000);
	printf("failed %d fds %d %d %d threads %d %d %d heap %zu %zu\n", bad, fds[0], fds[1],
	       fds[2], threads[0], threads[1], threads[2], heap[0], heap[1]);
	return 0;
}

static int gone(int a, int t, const char *remove)
{
	static const uint8_t ready[6] = {0, 0, 0, 0, 0, 0};
	SRB_ExecSCSICmd srb;
	SRB_GDEVBlock probe;
	FILE *f;

	load();
	info();
	exec(&srb, a, t, 0, NULL, 0, ready, 6);
	printf("before %02x", srb.SRB_Status);
	f = fopen(remove, "w");
	if (f == NULL || fputs("1", f) < 0 || fclose(f) != 0) {
		printf(" cannot remove\n");
		return 1;
	}
	DWORD ret = exec(&srb, a, t, 0, NULL, 0, ready, 6);
	printf(" after ret %02x status %02x", (unsigned)ret, srb.SRB_Status);
	memset(&probe, 0, sizeof probe);
	probe.SRB_Cmd = SC_GET_DEV_TYPE;
	probe.SRB_HaId = (uint8_t)a;
	probe.SRB_Target = (uint8_t)t;
	send_command(&probe);
	printf(" type %02x\n", probe.SRB_Status);
	return 0;
}

// A made-up sg node: aspicheck exports ioctl, so the layer's calls on plain
// files (a made-up sysfs tree's nodes) land here. BLKSECTGET answers BYTES,
// SG_GET_SG_TABLESIZE PAGES; READ CAPACITY gives 2048-byte blocks. A READ(10)
// or READ CD (user data of an XA disc: every fourth block, 3, 7, ..., a Form 2
// sector of 2324 bytes) is named on standard error (LBA and count), fills
// each of its blocks with its number's low byte (the rest of a longer buffer
// is the residual), and the first time it holds block BAD ends in CHECK
// CONDITION, sense key KEY, ASC ASC, INFORMATION BAD; with KEY 0, GOOD with
// no more blocks from BAD on. A command that brings no data in is refused
// (EPERM) through a descriptor open for reading only.
extern "C" __attribute__((visibility("default"))) int ioctl(int fd, unsigned long request,
                                                            ...) noexcept
{
	static bool failed;
	const char *fake = getenv("ASPICHECK_SG");
	unsigned v[5];
	struct stat st;
	va_list args;

	va_start(args, request);
	void *arg = va_arg(args, void *);
	va_end(args);
	if (fake == NULL || sscanf(fake, "%u %u %u %x %x", v, v + 1, v + 2, v + 3, v + 4) != 5 ||
	    fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
		return (int)syscall(SYS_ioctl, fd, request, arg);
	if (request != SG_IO) {
		*(int *)arg = (int)v[request == BLKSECTGET ? 0 : 1];
		return 0;
	}
	sg_io_hdr_t *io = (sg_io_hdr_t *)arg;
	uint8_t *c = io->cmdp, *sense = io->sbp;

	if (io->dxfer_direction != SG_DXFER_FROM_DEV &&
	    (fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDONLY) {
		errno = EPERM;
		return -1;
	}
	uint32_t lba = (uint32_t)c[2] << 24 | c[3] << 16 | c[4] << 8 | c[5],
	         count = (c[0] == 0xbe ? c[6] << 16 : 0) | c[7] << 8 | c[8], moved = 0;

	io->status = io->host_status = io->driver_status = io->sb_len_wr = 0;
	io->resid = 0;
	if (c[0] == 0x25) { // READ CAPACITY(10): 2048-byte blocks
		memcpy(io->dxferp, "\0\0\0\x63\0\0\x08\0", 8);
		return 0;
	}
	fprintf(stderr, "sg %u %u\n", lba, count);
	for (uint32_t n = lba; n < lba + count && !(v[3] == 0 && n == v[2] && !failed); n++)
		for (uint32_t k = 0; k < (c[0] == 0xbe && n % 4 == 3 ? 2324u : 2048u); k++)
			if (moved < io->dxfer_len)
				((uint8_t *)io->dxferp)[moved++] = (uint8_t)n;
	io->resid = (int)(io->dxfer_len - moved);
	failed = failed || (v[3] == 0 && v[2] - lba < count);
	if (!failed && v[2] - lba < count) {
		const uint8_t fixed[18] = {
		    0xf0, 0, (uint8_t)v[3], 0, 0, (uint8_t)(v[2] >> 8), (uint8_t)v[2], 10, 0, 0,
		    0,    0, (uint8_t)v[4]};
		failed = true;
		io->status = 0x02; // CHECK CONDITION
		io->sb_len_wr = sizeof fixed;
		memcpy(sense, fixed, sizeof fixed);
	}
	return 0;
}

// Microseconds since start.
static long long us_since(const struct timespec *start)
{
	struct timespec now;

	clock_gettime(CLOCK_MONOTONIC, &now);
	return (long long)(now.tv_sec - start->tv_sec) * 1000000 +
	       (now.tv_nsec - start->tv_nsec) / 1000;
}

static int run_timed(char **argv)
{
	struct timespec t0;
	int status;
	pid_t pid;

	clock_gettime(CLOCK_MONOTONIC, &t0);
	pid = fork();
	if (pid == 0) {
		int null = open("/dev/null", O_WRONLY);

		dup2(null, 1);
		dup2(null, 2);
		execvp(argv[0], argv);
		_exit(127);
	}
	waitpid(pid, &status, 0);
	printf("%lld\n", us_since(&t0));
	return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
#endif

static void pause_ms(int ms)
{
#ifdef _WIN32
	Sleep((DWORD)ms);
#else
	usleep((useconds_t)ms * 1000);
#endif
}

// Bytes from hex digits, at most max; returns how many.
static int parse_hex(const char *text, uint8_t *out, int max)
{
	int n = 0;

	for (const char *p = text; p[0] && p[1] && n < max; p += 2) {
		char pair[3] = {p[0], p[1], 0};

		out[n++] = (uint8_t)strtoul(pair, NULL, 16);
	}
	return n;
}

static int inquiry(int a)
{
	SRB_HAInquiry srb;

	load();
	memset(&srb, 0, sizeof srb);
	srb.SRB_Cmd = SC_HA_INQUIRY;
	srb.SRB_HaId = (uint8_t)a;
	DWORD ret = send_command(&srb);
	printf("ret %02x status %02x count %u id %u manager [%.16s] identifier [%.16s] unique ",
	       (unsigned)ret, srb.SRB_Status, srb.HA_Count, srb.HA_SCSI_ID,
	       (const char *)srb.HA_ManagerId, (const char *)srb.HA_Identifier);
	for (int i = 0; i < 16; i++)
		printf("%02x", srb.HA_Unique[i]);
	printf("\n");
	return 0;
}

// SC_GET_DISK_INFO. The record sits in a larger block filled with GUARD, so
// that a byte written outside the answer's fields shows.
static int disk_info(int a, int t, int l, bool garbage)
{
	uint8_t block[64], before[sizeof block];
	SRB_GetDiskInfo *srb = (SRB_GetDiskInfo *)block;
	bool others = true;

	load();
	memset(block, GUARD, sizeof block);
	srb->SRB_Cmd = SC_GET_DISK_INFO;
	srb->SRB_Status = SS_PENDING;
	srb->SRB_HaId = (uint8_t)a;
	srb->SRB_Flags = garbage ? 0xA5 : 0;
	srb->SRB_Hdr_Rsvd = garbage ? 0xDEADBEEF : 0;
	srb->SRB_Target = (uint8_t)t;
	srb->SRB_Lun = (uint8_t)l;
	memcpy(before, block, sizeof block);
	DWORD ret = send_command(srb);
	for (size_t i = 0; i < sizeof block; i++)
		if (i != 1 && (i < 10 || i > 13) && block[i] != before[i])
			others = false;
	printf(
	    "ret %02x status %02x driveflags %02x int13 %02x heads %02x sectors %02x others %s\n",
	    (unsigned)ret, srb->SRB_Status, srb->SRB_DriveFlags, srb->SRB_Int13HDriveInfo,
	    srb->SRB_Heads, srb->SRB_Sectors, others ? "clean" : "dirty");
	return 0;
}

static int posted;

static void __cdecl post_routine(SRB_ExecSCSICmd *)
{
	posted++;
}

// SC_EXEC_SCSI_CMD with every field as given. The record sits in a larger
// block so that sense data written past SRB_SenseLen shows.
static int raw(int argc, char **argv)
{
	struct {
		SRB_ExecSCSICmd srb;
		uint8_t beyond[256];
	} block;
	SRB_ExecSCSICmd *srb = &block.srb;
	uint32_t length = (uint32_t)strtoul(argv[6], NULL, 0);
	uint8_t flags = (uint8_t)strtoul(argv[5], NULL, 16);
	bool null_buffer = false, no_event = false, dump = false;
	const char *save = NULL;
	long long timed = -1;
	int sense_length = SENSE_LEN;
	HANDLE event = NULL;
	uint8_t *buffer;

	memset(&block, GUARD, sizeof block);
	memset(srb, 0, sizeof *srb);
	buffer = (uint8_t *)malloc(length + 1);
	if (buffer == NULL) {
		printf("no memory\n");
		return 2;
	}
	memset(buffer, FILL, length + 1);
	parse_hex(argv[8], srb->CDBByte, 16);
	for (int i = 9; i < argc; i++) {
		if (strcmp(argv[i], "nullbuf") == 0)
			null_buffer = true;
		else if (strcmp(argv[i], "noevent") == 0)
			no_event = true;
		else if (strcmp(argv[i], "dump") == 0)
			dump = true;
		else if (strcmp(argv[i], "save") == 0 && i + 1 < argc)
			save = argv[++i];
		else if (strcmp(argv[i], "timed") == 0)
			timed = 0;
		else if (strcmp(argv[i], "sense") == 0 && i + 1 < argc)
			sense_length = atoi(argv[++i]);
		else if (strcmp(argv[i], "data") == 0 && i + 1 < argc)
			parse_hex(argv[++i], buffer, (int)length);
	}
	srb->SRB_Cmd = SC_EXEC_SCSI_CMD;
	srb->SRB_HaId = (uint8_t)atoi(argv[2]);
	srb->SRB_Target = (uint8_t)atoi(argv[3]);
	srb->SRB_Lun = (uint8_t)atoi(argv[4]);
	srb->SRB_Flags = flags;
	srb->SRB_BufLen = length;
	srb->SRB_BufPointer = null_buffer ? NULL : buffer;
	srb->SRB_SenseLen = (uint8_t)sense_length;
	srb->SRB_CDBLen = (uint8_t)strtoul(argv[7], NULL, 0);
	if ((flags & SRB_EVENT_NOTIFY) && !no_event) {
		event = CreateEventA(NULL, TRUE, FALSE, NULL);
		srb->SRB_PostProc = event;
	} else if ((flags & SRB_POSTING) && !no_event) {
		srb->SRB_PostProc = (void *)post_routine;
	}

	load();
	info();
#ifndef _WIN32
	struct timespec sent;
	clock_gettime(CLOCK_MONOTONIC, &sent);
#endif
	DWORD ret = send_command(srb);
	int notified = 0;
	if (event != NULL) {
		notified =
		    WaitForSingleObject(event, ret == SS_PENDING ? 60000 : 0) == WAIT_OBJECT_0;
		CloseHandle(event);
	} else if (srb->SRB_PostProc != NULL) {
		for (int i = 0; i < 3000 && ret == SS_PENDING && posted == 0; i++)
			pause_ms(20);
		notified = posted;
	}
#ifndef _WIN32
	if (timed == 0)
		timed = us_since(&sent);
#endif
	uint32_t changed = 0;
	for (uint32_t i = 0; i < length; i++)
		if (buffer[i] != FILL)
			changed = i + 1;
	// Sense bytes past SRB_SenseLen (counted from SenseArea) must stay.
	const uint8_t *sense_area = srb->SenseArea;
	const uint8_t *end = (const uint8_t *)(&block + 1);
	bool sense_clean = true;
	for (const uint8_t *p = sense_area + SENSE_LEN + 2; p < end; p++)
		if (p >= sense_area + sense_length && *p != GUARD)
			sense_clean = false;
	printf("ret %02x status %02x ha %02x targ %02x sense", (unsigned)ret, srb->SRB_Status,
	       srb->SRB_HaStat, srb->SRB_TargStat);
	for (int i = 0; i < SENSE_LEN; i++)
		printf("%s%02x", i ? "" : " ", srb->SenseArea[i]);
	printf(" resid %lu notified %d written %lu beyond %s sensebeyond %s",
	       (unsigned long)srb->SRB_BufLen, notified, (unsigned long)changed,
	       buffer[length] == FILL ? "clean" : "dirty", sense_clean ? "clean" : "dirty");
	if (dump) {
		printf(" data ");
		for (uint32_t i = 0; i < length; i++)
			printf("%02x", buffer[i]);
	}
	if (timed >= 0)
		printf(" us %lld", timed);
	printf("\n");
	FILE *f = save != NULL ? fopen(save, "wb") : NULL;
	if (f != NULL && (fwrite(buffer, 1, length, f) != length) + fclose(f) != 0)
		printf("cannot save\n");
	free(buffer);
	return 0;
}

// The cmd mode's words, each in turn.
static int requests(int count, char **words)
{
	char line[256];

	load();
	for (int i = 0; i < count; i++) {
		// Words follow each other on one line, a new one after wait.
		const char *space = i == 0 || strcmp(words[i - 1], "wait") == 0 ? "" : " ";
		uint8_t block[sizeof(SRB_ExecSCSICmd)];
		unsigned long v[6] = {0, 0, 0, 0, 0, 0};
		uint32_t value;
		char *p = words[i];

		if (strcmp(p, "info") == 0) {
			printf("%sinfo %08x", space, (unsigned)info());
			continue;
		}
		if (strcmp(p, "wait") == 0) {
			printf("%sgo\n", space);
			fflush(stdout);
			if (fgets(line, sizeof line, stdin) == NULL)
				return 1;
			continue;
		}
		for (int n = 0; n < 6 && *p != '\0'; n++)
			v[n] = strtoul(p + (n > 0), &p, 0);
		memset(block, 0, sizeof block);
		block[0] = (uint8_t)v[0];
		block[2] = (uint8_t)v[1];
		block[8] = (uint8_t)v[2];
		block[9] = (uint8_t)v[3];
		block[3] = (uint8_t)v[4];
		value = (uint32_t)v[5];
		memcpy(block + 10, &value, 4);
		DWORD ret = send_command(block);
		memcpy(&value, block + 10, 4);
		printf("%sret %02x status %02x ha %02x value %u", space, (unsigned)ret, block[1],
		       block[22], (unsigned)value);
	}
	printf("\n");
	return 0;
}

#ifndef _WIN32
// The READ held up, run in a thread of its own.
static int held_address[2];
static SRB_ExecSCSICmd held;

static void *read_held(void *)
{
	static const uint8_t read10[10] = {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0};
	static uint8_t buffer[2048];

	exec(&held, held_address[0], held_address[1], SRB_DIR_IN, buffer, sizeof buffer, read10,
	     10);
	return NULL;
}

// While a command waits on one unit, nothing else should.
static int threads(int a, int t, int a2, int t2)
{
	static const uint8_t inquiry[6] = {0x12, 0, 0, 0, 36, 0};
	uint8_t data[36];
	struct timespec start, others;
	SRB_ExecSCSICmd srb;
	pthread_t reader;

	load();
	info();
	held_address[0] = a;
	held_address[1] = t;
	clock_gettime(CLOCK_MONOTONIC, &start);
	pthread_create(&reader, NULL, read_held, NULL);
	pause_ms(300);
	clock_gettime(CLOCK_MONOTONIC, &others);
	info();
	exec(&srb, a2, t2, SRB_DIR_IN, data, sizeof data, inquiry, 6);
	long long others_ms = us_since(&others) / 1000;
	pthread_join(reader, NULL);
	printf("others_ms %lld inquiry %02x read %02x read_ms %lld\n", others_ms, srb.SRB_Status,
	       held.SRB_Status, us_since(&start) / 1000);
	return 0;
}
#endif

// exec with a buffer of length + 1 bytes filled with FILL; prints the
// result, the sense bytes and how far into the buffer data was written.
static void exec_line(int a, int t, uint8_t flags, uint8_t *buffer, uint32_t length,
                      const uint8_t *cdb, int cdb_length)
{
	SRB_ExecSCSICmd srb;

	memset(buffer, FILL, length + 1);
	DWORD ret = exec(&srb, a, t, flags, buffer, length, cdb, cdb_length);
	uint32_t changed = 0;
	for (uint32_t i = 0; i < length; i++)
		if (buffer[i] != FILL)
			changed = i + 1;
	printf("ret %02x status %02x ha %02x targ %02x sense", (unsigned)ret, srb.SRB_Status,
	       srb.SRB_HaStat, srb.SRB_TargStat);
	for (int i = 0; i < SENSE_LEN; i++)
		printf("%s%02x", i ? "" : " ", srb.SenseArea[i]);
	// Past the end of the buffer nothing may be written.
	printf(" written %u beyond %s\n", (unsigned)changed,
	       buffer[length] == FILL ? "clean" : "dirty");
}

int main(int argc, char **argv)
{
#ifndef _WIN32
	if (argc >= 3 && strcmp(argv[1], "time") == 0)
		return run_timed(argv + 2);
#endif
	if (argc == 3 && strcmp(argv[1], "inquiry") == 0)
		return inquiry(atoi(argv[2]));
	if ((argc == 5 || argc == 6) && strcmp(argv[1], "disk") == 0)
		return disk_info(atoi(argv[2]), atoi(argv[3]), atoi(argv[4]),
		                 argc == 6 && strcmp(argv[5], "garbage") == 0);
#ifdef _WIN32
	if (argc == 3 && strcmp(argv[1], "address") == 0) {
		char path[] = "\\\\.\\X:";
		SCSI_ADDRESS a = {};
		DWORD got;

		path[4] = argv[2][0];
		DeviceIoControl(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
		                            NULL, OPEN_EXISTING, 0, NULL),
		                IOCTL_SCSI_GET_ADDRESS, NULL, 0, &a, sizeof a, &got, NULL);
		printf("port %u path %u target %u lun %u\n", a.PortNumber, a.PathId, a.TargetId,
		       a.Lun);
		return 0;
	}
#endif
	if (argc == 2 && strcmp(argv[1], "null") == 0) {
		load();
		printf("ret %02x\n", (unsigned)send_command(NULL));
		return 0;
	}
	if (argc >= 3 && strcmp(argv[1], "cmd") == 0)
		return requests(argc - 2, argv + 2);
	if (argc >= 9 && strcmp(argv[1], "raw") == 0)
		return raw(argc, argv);
	if (argc == 2 && strcmp(argv[1], "info") == 0) {
		load();
		printf("info %08x\n", (unsigned)info());
		return 0;
	}
	if (argc == 5 && strcmp(argv[1], "type") == 0) {
		SRB_GDEVBlock srb;

		load();
		memset(&srb, 0, sizeof srb);
		srb.SRB_Cmd = SC_GET_DEV_TYPE;
		srb.SRB_HaId = (uint8_t)atoi(argv[2]);
		srb.SRB_Target = (uint8_t)atoi(argv[3]);
		srb.SRB_Lun = (uint8_t)atoi(argv[4]);
		DWORD ret = send_command(&srb);
		printf("ret %02x status %02x type %02x\n", (unsigned)ret, srb.SRB_Status,
		       srb.SRB_DeviceType);
		return 0;
	}
	bool again = argc == 8 && strcmp(argv[1], "again") == 0;
	if ((argc == 7 && strcmp(argv[1], "exec") == 0) || again) {
		uint8_t cdb[16];
		uint32_t length = (uint32_t)atol(argv[5]);
		uint8_t flags = strcmp(argv[4], "in") == 0    ? SRB_DIR_IN
		                : strcmp(argv[4], "out") == 0 ? SRB_DIR_OUT
		                                              : 0;
		uint8_t *buffer = (uint8_t *)malloc(length + 1);
		int cdb_length = parse_hex(argv[6], cdb, 16);

		if (buffer == NULL) {
			printf("no memory\n");
			return 2;
		}
		load();
		info();
		exec_line(atoi(argv[2]), atoi(argv[3]), flags, buffer, length, cdb, cdb_length);
		if (again) {
			char line[256];

			printf("%s\n", argv[7]);
			fflush(stdout);
			if (fgets(line, sizeof line, stdin) == NULL) {
				printf("no answer\n");
				return 1;
			}
			exec_line(atoi(argv[2]), atoi(argv[3]), flags, buffer, length, cdb,
			          cdb_length);
		}
		free(buffer);
		return 0;
	}
#ifndef _WIN32
	if (argc == 5 && strcmp(argv[1], "gone") == 0)
		return gone(atoi(argv[2]), atoi(argv[3]), argv[4]);
	if ((argc == 5 || argc == 6) && strcmp(argv[1], "repeat") == 0)
		return repeat(atoi(argv[2]), atoi(argv[3]), atoi(argv[4]),
		              argc == 6 ? argv[5] : NULL);
	if (argc == 6 && strcmp(argv[1], "threads") == 0)
		return threads(atoi(argv[2]), atoi(argv[3]), atoi(argv[4]), atoi(argv[5]));
#endif
	fprintf(stderr,
	        "usage: aspicheck "
	        "info|type|inquiry|disk|exec|again|raw|null|cmd|repeat|gone|time|threads ...\n");
	return 2;
}
