// ASPI device access over the WNASPI32 library, loaded at run time.

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "aspi32.h"
#include "wnaspi32.h"

#define TARGETS_PER_ADAPTER 8

// Sense keys.
#define SENSE_RECOVERED_ERROR 0x1
#define SENSE_NOT_READY 0x2
#define SENSE_MEDIUM_ERROR 0x3
#define SENSE_HARDWARE_ERROR 0x4
#define SENSE_ILLEGAL_REQUEST 0x5
#define SENSE_UNIT_ATTENTION 0x6
#define SENSE_BLANK_CHECK 0x8

static HMODULE wnaspi32;
static aspi_support_info_fn wnaspi32_info;
static aspi_send_command_fn wnaspi32_command;

// The unit every read goes to: adapter and target, LUN 0.
static int adapter;
static int target;

// One request record serves every command: only one is ever outstanding.
static SRB_ExecSCSICmd srb;

#ifdef _WIN32
// Room for the longest path Windows has, in characters.
#define WIDE_PATH 32768

typedef DWORD(WINAPI *module_file_name_w_fn)(HMODULE module, LPWSTR path, DWORD size);
typedef UINT(WINAPI *system_directory_w_fn)(LPWSTR path, UINT size);
typedef HMODULE(WINAPI *load_library_w_fn)(LPCWSTR path);
typedef DWORD(WINAPI *short_path_name_w_fn)(LPCWSTR path, LPWSTR short_path, DWORD size);

static const char layer_name[] = "WNASPI32.DLL";

// Turns path, n characters from a call given size characters of room (n
// not below size where it did not fit), into the layer's full path in the
// folder path names (folder true) or in the folder of the file it names.
// Its length, or 0 where there is no such folder or the result does not
// fit: a path is never cut short.
template <typename C> static DWORD wnaspi32_path(C *path, DWORD n, DWORD size, bool folder)
{
	if (n == 0 || n >= size)
		return 0;
	if (!folder) {
		while (n > 0 && path[n - 1] != '\\')
			n--;
		if (n == 0)
			return 0;
	} else if (path[n - 1] != '\\') {
		path[n++] = '\\';
	}
	if (n + sizeof layer_name > size)
		return 0;
	for (DWORD i = 0; i < sizeof layer_name; i++)
		path[n + i] = (C)layer_name[i];
	return n + sizeof layer_name - 1;
}

// Whether path begins with the n characters of head.
static bool wnaspi32_begins(const WCHAR *path, const char *head, DWORD n)
{
	for (DWORD i = 0; i < n; i++)
		if (path[i] != (WCHAR)head[i])
			return false;
	return true;
}

// Puts "\\?\" before a full path of length n in place ("\\?\UNC" for
// \\server\share), so that the wide calls take it past MAX_PATH where
// Windows has no long-path support; returns the new length, or 0 where it
// does not fit in size.
static DWORD wnaspi32_extended(WCHAR *path, DWORD n, DWORD size)
{
	bool share = wnaspi32_begins(path, "\\\\", 2);
	const char *head = share ? "\\\\?\\UNC" : "\\\\?\\";
	DWORD skip = share ? 1 : 0, add = share ? 7 : 4;

	if (wnaspi32_begins(path, "\\\\?\\", 4))
		return n;
	if (n + add - skip >= size)
		return 0;
	memmove(path + add, path + skip, (n - skip + 1) * sizeof(WCHAR));
	for (DWORD i = 0; i < add; i++)
		path[i] = (WCHAR)head[i];
	return n + add - skip;
}

// Takes the "\\?\" (or "\\?\UNC") off a path of length n in place, where
// it has one; returns the new length.
static DWORD wnaspi32_plain(WCHAR *path, DWORD n)
{
	DWORD cut = 0;

	if (n > 8 && wnaspi32_begins(path, "\\\\?\\UNC\\", 8)) {
		cut = 6;
		path[6] = '\\';
	} else if (n > 4 && wnaspi32_begins(path, "\\\\?\\", 4)) {
		cut = 4;
	}
	memmove(path, path + cut, (n - cut + 1) * sizeof(WCHAR));
	return n - cut;
}

// The layer beside the program by its folder's short (8.3) name, for a
// full path of length n (the layer's, in path) longer than MAX_PATH, which
// Windows without long-path support does not load. NULL where the name
// cannot be had, as on a volume without 8.3 names.
static HMODULE wnaspi32_load_short(WCHAR *path, DWORD n, load_library_w_fn load_library_w)
{
	static WCHAR folder[WIDE_PATH];
	HMODULE kernel32 = GetModuleHandleA("KERNEL32.DLL");
	short_path_name_w_fn short_path_name_w =
	    (short_path_name_w_fn)(void (*)(void))GetProcAddress(kernel32, "GetShortPathNameW");
	DWORD folder_length = n - (DWORD)(sizeof layer_name - 1) - 1;

	if (short_path_name_w == NULL)
		return NULL;
	// The folder, without the backslash that ends it.
	memcpy(folder, path, folder_length * sizeof(WCHAR));
	folder[folder_length] = 0;
	folder_length = wnaspi32_extended(folder, folder_length, WIDE_PATH);
	if (folder_length == 0)
		return NULL;
	n = short_path_name_w(folder, path, WIDE_PATH);
	if (n == 0 || n >= WIDE_PATH)
		return NULL;
	n = wnaspi32_plain(path, n);
	return wnaspi32_path(path, n, WIDE_PATH, true) != 0 ? load_library_w(path) : NULL;
}

// Loads the layer by its full path from the program's folder, or from the
// system folder (system true); NULL where there is none or the path does
// not fit. The wide calls take a folder of any name and length (beside the
// program, where the path is longer than MAX_PATH, also by the folder's
// short name); Windows 9x has none of them, or stubs that fail with
// ERROR_CALL_NOT_IMPLEMENTED, and there the ANSI calls serve. KERNEL32 of
// Windows 95 has no wide calls to import: they are looked up.
static HMODULE wnaspi32_load_from(bool system)
{
	static WCHAR wide[WIDE_PATH];
	char path[MAX_PATH];
	HMODULE kernel32 = GetModuleHandleA("KERNEL32.DLL"), module;
	module_file_name_w_fn module_file_name_w =
	    (module_file_name_w_fn)(void (*)(void))GetProcAddress(kernel32, "GetModuleFileNameW");
	system_directory_w_fn system_directory_w =
	    (system_directory_w_fn)(void (*)(void))GetProcAddress(kernel32, "GetSystemDirectoryW");
	load_library_w_fn load_library_w =
	    (load_library_w_fn)(void (*)(void))GetProcAddress(kernel32, "LoadLibraryW");
	DWORD n;

	if (module_file_name_w != NULL && system_directory_w != NULL && load_library_w != NULL) {
		SetLastError(ERROR_SUCCESS);
		n = system ? system_directory_w(wide, WIDE_PATH)
		           : module_file_name_w(NULL, wide, WIDE_PATH);
		if (n != 0 || GetLastError() != ERROR_CALL_NOT_IMPLEMENTED) {
			n = wnaspi32_path(wide, n, WIDE_PATH, system);
			if (n == 0)
				return NULL;
			module = load_library_w(wide);
			if (module == NULL && !system && n >= MAX_PATH)
				module = wnaspi32_load_short(wide, n, load_library_w);
			if (module != NULL || GetLastError() != ERROR_CALL_NOT_IMPLEMENTED)
				return module;
		}
	}
	n = system ? GetSystemDirectoryA(path, MAX_PATH) : GetModuleFileNameA(NULL, path, MAX_PATH);
	return wnaspi32_path(path, n, MAX_PATH, system) != 0 ? LoadLibraryA(path) : NULL;
}

// The layer beside the program first, then the system folder's, where old
// CD software often left a WNASPI32.DLL without the driver it needs. Only
// on Windows 9x the system folder's first: the system's own layer reaches
// the drives there. GetVersion() says 9x there and on NT in a
// compatibility mode for it; NT is told apart by ntdll.dll, loaded in
// every NT process. A bare name would also be looked for in the current
// folder, where anybody may have left a WNASPI32.DLL: it is never loaded
// from there.
static HMODULE wnaspi32_load()
{
	bool legacy = (GetVersion() & 0x80000000u) != 0 && GetModuleHandleA("ntdll.dll") == NULL;
	HMODULE module = wnaspi32_load_from(legacy);

	return module != NULL ? module : wnaspi32_load_from(!legacy);
}
#else
// The dynamic loader's search: the program's run path (an absolute folder)
// and the system's folders, never the current folder.
static HMODULE wnaspi32_load()
{
	return LoadLibraryA("WNASPI32");
}
#endif

void wnaspi32_init()
{
	DWORD info;
	int adapters, a, t;

	wnaspi32 = wnaspi32_load();
	if (wnaspi32 == NULL) {
		printf("ERROR: wnaspi32 library not found\n");
		exit(1);
	}
	// GetProcAddress hands back a generic function pointer; going through
	// void (*)(void) converts it to the real type without a cast warning.
	wnaspi32_info =
	    (aspi_support_info_fn)(void (*)(void))GetProcAddress(wnaspi32, "GetASPI32SupportInfo");
	wnaspi32_command =
	    (aspi_send_command_fn)(void (*)(void))GetProcAddress(wnaspi32, "SendASPI32Command");
	if (wnaspi32_info == NULL || wnaspi32_command == NULL) {
		printf("ERROR: invalid wnaspi32 version\n");
		exit(1);
	}

	// Bits 8-15: status of the layer; bits 0-7: number of host adapters.
	info = wnaspi32_info();
	if (((info >> 8) & 0xff) != SS_COMP) {
		printf("ERROR: could not initialize wnaspi32\n");
		exit(1);
	}
	adapters = info & 0xff;
	if (adapters == 0) {
		printf("ERROR: no wnaspi32 adapters found\n");
		exit(1);
	}

	for (a = 0; a < adapters; a++) {
		for (t = 0; t < TARGETS_PER_ADAPTER; t++) {
			if (wnaspi32_is_cdrom(a, t) == 1) {
				printf("using wnaspi32 device %02u:%02u\n", (unsigned)a,
				       (unsigned)t);
				adapter = a;
				target = t;
				return;
			}
		}
	}
	// Reading from an address that is not a CD-ROM unit could mean reading
	// a hard disk: stop instead.
	printf("ERROR: no cdrom drive found\n");
	exit(1);
}

void wnaspi32_deinit()
{
	FreeLibrary(wnaspi32);
}

// 1: a CD-ROM unit answered at (a, t, LUN 0); 0: another kind of unit
// answered; -1: no unit answered or the request failed.
int wnaspi32_is_cdrom(int a, int t)
{
	SRB_GDEVBlock probe;

	memset(&probe, 0, sizeof probe);
	probe.SRB_Cmd = SC_GET_DEV_TYPE;
	probe.SRB_HaId = (uint8_t)a;
	probe.SRB_Target = (uint8_t)t;
	probe.SRB_Lun = 0;
	// This request is answered before the call returns.
	wnaspi32_command(&probe);
	if (probe.SRB_Status != SS_COMP)
		return -1;
	return probe.SRB_DeviceType == DTYPE_CDROM ? 1 : 0;
}

// The sense key of the sense data in srb: fixed format (70h, 71h) keeps it
// in byte 2, descriptor format (72h, 73h) in byte 1; -1 for anything else.
static int wnaspi32_sense_key()
{
	switch (srb.SenseArea[0] & 0x7f) {
	case 0x70:
	case 0x71:
		return srb.SenseArea[2] & 0x0f;
	case 0x72:
	case 0x73:
		return srb.SenseArea[1] & 0x0f;
	}
	return -1;
}

// Whether the sense data in srb is deferred (71h, 73h): it reports the
// failure of an earlier command, and the read it came with was not done.
static bool wnaspi32_sense_deferred()
{
	return (srb.SenseArea[0] & 0x7f) == 0x71 || (srb.SenseArea[0] & 0x7f) == 0x73;
}

// A command that ended with SS_ERR. A block the drive could not read from
// the disc in it keeps its fill and the run goes on. Anything else would
// give an image that is not the disc's: a request that never completed at
// the drive, a drive that is not ready, a disc that changed during the
// run, a drive that did not take the command (busy, reserved) or that
// aborted it, an error of an earlier command (the read was never done),
// or an error whose sense says nothing. Stop there.
static void wnaspi32_check_error()
{
	int key;

	if (srb.SRB_HaStat != HASTAT_OK) {
		printf("ERROR: host adapter status = %08lx\n", (unsigned long)srb.SRB_HaStat);
		exit(1);
	}
	key = srb.SRB_TargStat == STATUS_CHKCOND ? wnaspi32_sense_key() : -1;
	if (key >= 0 && wnaspi32_sense_deferred()) {
		printf("ERROR: sense key = %08lx\n", (unsigned long)key);
		exit(1);
	}
	switch (key) {
	case SENSE_NOT_READY:
		printf("ERROR: cdrom drive not ready\n");
		exit(1);
	case SENSE_UNIT_ATTENTION:
		printf("ERROR: disc changed during extraction\n");
		exit(1);
	case SENSE_RECOVERED_ERROR:
	case SENSE_MEDIUM_ERROR:
	case SENSE_HARDWARE_ERROR:
	case SENSE_ILLEGAL_REQUEST:
	case SENSE_BLANK_CHECK:
		return;
	case -1:
		printf("ERROR: target status = %08lx\n", (unsigned long)srb.SRB_TargStat);
		exit(1);
	}
	printf("ERROR: sense key = %08lx\n", (unsigned long)key);
	exit(1);
}

// Sends one data-in command to the selected unit and waits for it to end.
// SS_COMP lets the run go on, and so does SS_ERR where the drive could
// not read a block from the disc it holds; cdb_length is at most 16.
void wnaspi32_issue_command(const uint8_t *cdb, int cdb_length, uint8_t *buffer,
                            uint32_t buffer_length)
{
	HANDLE event;

	event = CreateEventA(NULL, TRUE, FALSE, NULL);
	if (event == NULL) {
		printf("ERROR: cannot create an event handler\n");
		exit(1);
	}

	memset(&srb, 0, sizeof srb);
	srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
	srb.SRB_HaId = (uint8_t)adapter;
	srb.SRB_Target = (uint8_t)target;
	srb.SRB_Lun = 0;
	srb.SRB_Flags = SRB_DIR_IN | SRB_EVENT_NOTIFY;
	srb.SRB_BufLen = buffer_length;
	srb.SRB_BufPointer = buffer;
	srb.SRB_SenseLen = SENSE_LEN;
	srb.SRB_CDBLen = (uint8_t)cdb_length;
	srb.SRB_PostProc = event;
	memcpy(srb.CDBByte, cdb, (size_t)cdb_length);

	// SS_PENDING: the layer runs the command on its own and signals the
	// event once SRB_Status is final. Any other answer is already final.
	if (wnaspi32_command(&srb) == SS_PENDING)
		WaitForSingleObject(event, INFINITE);

	if (srb.SRB_Status != SS_COMP && srb.SRB_Status != SS_ERR) {
		printf("ERROR: status = %08lx\n", (unsigned long)srb.SRB_Status);
		exit(1);
	}
	if (srb.SRB_Status == SS_ERR)
		wnaspi32_check_error();
	CloseHandle(event);
}

// READ(10) of the single block at lba.
void wnaspi32_read(int32_t lba, uint8_t *buffer, uint32_t buffer_length)
{
	uint8_t cdb[10];
	uint32_t block = (uint32_t)lba;

	cdb[0] = 0x28;
	cdb[1] = 0;
	cdb[2] = (uint8_t)(block >> 24);
	cdb[3] = (uint8_t)(block >> 16);
	cdb[4] = (uint8_t)(block >> 8);
	cdb[5] = (uint8_t)block;
	cdb[6] = 0;
	cdb[7] = 0; // transfer length: one block
	cdb[8] = 1;
	cdb[9] = 0;
	wnaspi32_issue_command(cdb, (int)sizeof cdb, buffer, buffer_length);
}
