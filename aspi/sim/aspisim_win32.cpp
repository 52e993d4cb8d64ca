// Worker thread and unloading of the simulated bus on Windows.
//
// One worker thread, made on the first pending command, runs every pending
// command's work (the delay, the results, the event) and then waits for the
// next. It never ends on its own: a thread that ends while the process
// ends can take the process down with it under Wine (a crash instead of
// the caller's exit, and the output still buffered lost). Between jobs it
// waits, holding nothing, so the end of the process or the caller's
// FreeLibrary can end it there safely.

#include "aspisim.h"

#include <stdio.h>
#include <stdlib.h>

static HANDLE worker;
// Auto-reset: a job has been posted. Manual-reset: no job is running.
static HANDLE posted, idle;
static void (*worker_job)();
// Set at the end of the process: the worker is gone, perhaps mid-job.
static bool ending;

static DWORD WINAPI work(LPVOID)
{
	for (;;) {
		WaitForSingleObject(posted, INFINITE);
		worker_job();
		SetEvent(idle);
	}
}

static void fail(const char *what)
{
	fprintf(stderr, "aspisim: %s failed: %lu\n", what, (unsigned long)GetLastError());
	abort();
}

void aspisim_start(void (*job)())
{
	aspisim_join();
	if (worker == NULL) {
		posted = CreateEventA(NULL, FALSE, FALSE, NULL);
		idle = CreateEventA(NULL, TRUE, TRUE, NULL);
		if (posted == NULL || idle == NULL)
			fail("CreateEvent");
		worker = CreateThread(NULL, 0, work, NULL, 0, NULL);
		if (worker == NULL)
			fail("CreateThread");
	}
	worker_job = job;
	ResetEvent(idle);
	SetEvent(posted);
}

void aspisim_join()
{
	if (worker != NULL && !ending)
		WaitForSingleObject(idle, INFINITE);
}

void aspisim_sleep(int milliseconds)
{
	if (milliseconds > 0)
		Sleep((DWORD)milliseconds);
}

// Windows offers no way to starve the process of handles.
void aspisim_exhaust_handles()
{
}

// Ends the worker, which is waiting between jobs. A thread ended from
// outside runs no detach calls, so the wait for it under the loader lock
// cannot deadlock.
static void end_worker()
{
	TerminateThread(worker, 0);
	WaitForSingleObject(worker, INFINITE);
	CloseHandle(worker);
	CloseHandle(posted);
	CloseHandle(idle);
	worker = NULL;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved);

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
	if (reason != DLL_PROCESS_DETACH)
		return TRUE;
	// reserved is NULL for FreeLibrary, non-NULL at the end of the process,
	// where the worker has already been ended with every other thread.
	ending = reserved != NULL;
	aspisim_unload(ending);
	if (worker != NULL && !ending)
		end_worker();
	return TRUE;
}
