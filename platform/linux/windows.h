// The few Windows calls sysgrab and its ASPI layers make, for Linux.
//
// LoadLibraryA("NAME") opens libname.so through the dynamic loader's search
// (LD_LIBRARY_PATH, then the caller's run path, then the system's folders).
// An event handle is an eventfd descriptor held in the handle's bits:
// signalling writes the 8-byte value 1, waiting polls for readability and
// leaves the count alone (manual reset), CloseHandle closes the descriptor.
#ifndef SYSGRAB_LINUX_WINDOWS_H
#define SYSGRAB_LINUX_WINDOWS_H

#include <stdint.h>

#define __cdecl
#define WINAPI

typedef int BOOL;
typedef uint32_t DWORD;
typedef const char *LPCSTR;
typedef void *HANDLE;
typedef void *HMODULE;
typedef void *LPSECURITY_ATTRIBUTES;
typedef intptr_t (*FARPROC)(void);

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

extern "C" {
HMODULE LoadLibraryA(LPCSTR name);
FARPROC GetProcAddress(HMODULE module, LPCSTR name);
BOOL FreeLibrary(HMODULE module);

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manual_reset, BOOL initial_state,
                    LPCSTR name);
BOOL SetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE event, DWORD milliseconds);
BOOL CloseHandle(HANDLE event);
}

#endif
