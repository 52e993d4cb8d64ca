// The simulated ASPI bus: what its platform file provides.
#ifndef ASPISIM_H
#define ASPISIM_H

#include <windows.h>

#ifdef _WIN32
#define ASPISIM_EXPORT __declspec(dllexport)
#else
#define ASPISIM_EXPORT __attribute__((visibility("default")))
#endif

// The two entry points; a build may leave one out.
extern "C" ASPISIM_EXPORT DWORD __cdecl GetASPI32SupportInfo(void);
extern "C" ASPISIM_EXPORT DWORD __cdecl SendASPI32Command(void *request);

// Runs job on a worker thread; one worker at a time.
void aspisim_start(void (*job)());
// Waits for the worker, if any, to end.
void aspisim_join();
void aspisim_sleep(int milliseconds);
// Leaves the process unable to open another file or event (where the
// platform allows it; elsewhere it does nothing).
void aspisim_exhaust_handles();
// To be called when the library is released: by FreeLibrary, or by the
// end of the process.
void aspisim_unload(bool exiting);

#endif
