// Linux stand-ins for the Windows calls declared in windows.h.

#include <windows.h>

#include <ctype.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/eventfd.h>
#include <unistd.h>

// "WNASPI32" or "wnaspi32.dll" becomes "libwnaspi32.so". A name holding a
// slash is a path and is taken as it stands.
HMODULE LoadLibraryA(LPCSTR name)
{
	char file[256];
	size_t len, i;

	if (name == NULL)
		return NULL;
	if (strchr(name, '/') != NULL)
		return dlopen(name, RTLD_NOW | RTLD_LOCAL);
	len = strlen(name);
	if (len > 4 && strcasecmp(name + len - 4, ".dll") == 0)
		len -= 4;
	if (len == 0 || len > sizeof file - sizeof "lib.so")
		return NULL;
	memcpy(file, "lib", 3);
	for (i = 0; i < len; i++)
		file[3 + i] = (char)tolower((unsigned char)name[i]);
	memcpy(file + 3 + len, ".so", sizeof ".so");
	return dlopen(file, RTLD_NOW | RTLD_LOCAL);
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name)
{
	void *symbol;
	FARPROC proc;

	if (module == NULL || name == NULL)
		return NULL;
	symbol = dlsym(module, name);
	// POSIX guarantees that a data pointer from dlsym converts to a function
	// pointer; copy the bits to say so without a cast the compiler flags.
	static_assert(sizeof proc == sizeof symbol, "function and data pointers differ");
	memcpy(&proc, &symbol, sizeof proc);
	return proc;
}

BOOL FreeLibrary(HMODULE module)
{
	return module != NULL && dlclose(module) == 0;
}

static int event_fd(HANDLE event)
{
	return (int)(intptr_t)event;
}

// The name, security attributes and reset mode are not supported: every
// event is manual reset, as waiting never consumes the signal.
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manual_reset, BOOL initial_state,
                    LPCSTR name)
{
	int fd, moved;

	(void)attributes;
	(void)manual_reset;
	if (name != NULL)
		return NULL;
	fd = eventfd(initial_state ? 1 : 0, EFD_CLOEXEC);
	if (fd < 0)
		return NULL;
	// Descriptor 0 (standard input closed) would read as a null handle.
	if (fd == 0) {
		moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
		close(fd);
		if (moved < 0)
			return NULL;
		fd = moved;
	}
	return (HANDLE)(intptr_t)fd;
}

BOOL SetEvent(HANDLE event)
{
	uint64_t one = 1;
	ssize_t n;

	do
		n = write(event_fd(event), &one, sizeof one);
	while (n < 0 && errno == EINTR);
	return n == (ssize_t)sizeof one;
}

DWORD WaitForSingleObject(HANDLE event, DWORD milliseconds)
{
	struct pollfd pfd;
	int timeout, n;

	pfd.fd = event_fd(event);
	pfd.events = POLLIN;
	pfd.revents = 0;
	timeout = milliseconds == INFINITE   ? -1
	          : milliseconds > INT32_MAX ? INT32_MAX
	                                     : (int)milliseconds;
	do
		n = poll(&pfd, 1, timeout);
	while (n < 0 && errno == EINTR);
	if (n < 0 || (pfd.revents & POLLNVAL))
		return WAIT_FAILED;
	return n == 0 ? WAIT_TIMEOUT : WAIT_OBJECT_0;
}

BOOL CloseHandle(HANDLE event)
{
	return close(event_fd(event)) == 0;
}
