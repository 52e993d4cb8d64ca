// Worker thread and unloading of the simulated bus on Windows.
//
// A pending command's work (the delay, the results, the event) runs on a
// worker thread inside this library's DLL_THREAD_DETACH notification. The
// loader holds its lock around that call, and FreeLibrary needs the same
// lock before it can unmap the library: once the event is signalled the
// caller may free the library, but not before the worker has left this
// library's code. DLL_PROCESS_DETACH therefore never waits for the worker:
// a wait there, under the loader lock, would deadlock with a thread that
// needs the lock to end.

#include "aspisim.h"

#include <stdio.h>
#include <stdlib.h>

static HANDLE worker;
static DWORD worker_id;
static void (*worker_job)();
// Set while DLL_PROCESS_DETACH runs: the loader lock is held.
static bool detaching;

void aspisim_start(void (*job)())
{
	aspisim_join();
	worker_job = job;
	// The thread starts in ExitThread itself, so it runs this library's code
	// only in its detach call: a caller that frees the library before the
	// command ends leaves the worker nothing of ours to run.
	worker = CreateThread(NULL, 0, (LPTHREAD_START_ROUTINE)(void (*)(void))ExitThread, NULL,
	                      CREATE_SUSPENDED, &worker_id);
	if (worker == NULL) {
		fprintf(stderr, "aspisim: CreateThread failed: %lu\n",
		        (unsigned long)GetLastError());
		abort();
	}
	ResumeThread(worker);
}

void aspisim_join()
{
	if (worker == NULL)
		return;
	// At detach this thread holds the loader lock: the worker, if still
	// there, runs none of this library's code without it (see above).
	if (!detaching)
		WaitForSingleObject(worker, INFINITE);
	CloseHandle(worker);
	worker = NULL;
	worker_id = 0;
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

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved);

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
	switch (reason) {
	case DLL_THREAD_DETACH:
		if (worker_job != NULL && GetCurrentThreadId() == worker_id) {
			void (*job)() = worker_job;
			worker_job = NULL;
			job();
		}
		break;
	case DLL_PROCESS_DETACH:
		// reserved is NULL for FreeLibrary, non-NULL at the end of the process.
		detaching = true;
		aspisim_unload(reserved != NULL);
		break;
	}
	return TRUE;
}
