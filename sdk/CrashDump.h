// Crash dump in place of the system's minidump writer: a handler for the fatal signals (SIGSEGV,
// SIGBUS, SIGFPE, SIGILL, SIGABRT) that writes "libLumoraCarsh.dmp" beside the executable (signal,
// faulting address, a backtrace) with async-signal-safe calls only, then restores the previous
// action and re-raises the signal so that the crash goes on as it would have.
#pragma once

namespace crashdump {

// Installs the handler (again on every call, so a handler installed since is replaced). The
// handler runs on an alternate signal stack, so that a stack overflow still leaves its dump; the
// calling thread gets one here.
void InstallCrashDumpFilter();
// Gives the calling thread an alternate signal stack unless it has one (the library's own threads
// call it when they start); freed when the thread ends. Threads without one still get the dump of
// any crash but a stack overflow.
void EnsureAltStack();
// The dump's full path ("" when the executable's folder is unknown).
const char* DumpPath();

} // namespace crashdump
