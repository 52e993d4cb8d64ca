// Worker thread and unloading of the simulated bus on POSIX systems.

#include "aspisim.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static pthread_t worker;
static bool running;

static void *run(void *job)
{
	void (*fn)();

	*(void **)&fn = job;
	fn();
	return NULL;
}

void aspisim_start(void (*job)())
{
	void *arg;

	aspisim_join();
	*(void (**)()) & arg = job;
	if (pthread_create(&worker, NULL, run, arg) != 0) {
		perror("aspisim: pthread_create");
		abort();
	}
	running = true;
}

void aspisim_join()
{
	if (running) {
		pthread_join(worker, NULL);
		running = false;
	}
}

void aspisim_sleep(int milliseconds)
{
	struct timespec t;

	if (milliseconds <= 0)
		return;
	t.tv_sec = milliseconds / 1000;
	t.tv_nsec = (long)(milliseconds % 1000) * 1000000L;
	while (nanosleep(&t, &t) != 0)
		;
}

// Lowers the descriptor limit to the lowest free descriptor, so that the
// next one asked for, whatever for, fails with EMFILE.
void aspisim_exhaust_handles()
{
	struct rlimit limit;
	int lowest;

	lowest = fcntl(0, F_DUPFD, 0);
	if (lowest < 0 || getrlimit(RLIMIT_NOFILE, &limit) != 0)
		return;
	close(lowest);
	limit.rlim_cur = (rlim_t)lowest;
	setrlimit(RLIMIT_NOFILE, &limit);
}

extern "C" int __cxa_atexit(void (*fn)(void *), void *arg, void *dso);

// Tells a release through FreeLibrary from the end of the process: an exit
// handler registered with no library as its owner rewinds this stream.
// dlclose never runs such a handler; exit runs it before any destructor.
static FILE *exit_marker;

__attribute__((constructor)) static void load()
{
	exit_marker = tmpfile();
	if (exit_marker != NULL && fputc('x', exit_marker) != EOF && fflush(exit_marker) == 0)
		__cxa_atexit((void (*)(void *))(void (*)(void))rewind, exit_marker, NULL);
}

// dlclose unmaps the library: the worker, which runs its code, must end first.
__attribute__((destructor)) static void unload()
{
	aspisim_unload(exit_marker != NULL && ftell(exit_marker) == 0);
}
