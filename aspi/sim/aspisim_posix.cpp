// Worker thread and unloading of the simulated bus on POSIX systems.

#include "aspisim.h"

#include <pthread.h>
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

// dlclose unmaps the library: the worker, which runs its code, must end first.
__attribute__((destructor)) static void unload()
{
	aspisim_unload();
}
