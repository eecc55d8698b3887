#pragma once
// The client's crash dump, in place of an unhandled-exception filter writing a minidump: on a
// fatal signal (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT) it writes "CrashDumpFile.dmp" beside
// the program (the signal, the faulting address and a backtrace, with async-signal-safe calls
// only), then lets the crash go on as it would have.
//
// The first crash handler of the process stays in force: InstallClientCrashDumpFilter installs
// nothing for a signal that already has a handler (libLumora installs its own at login), which is
// what pinning the filter achieved.

namespace ClientCrashDump {

// Returns the number of signals it took over (0 when all had handlers already).
int InstallClientCrashDumpFilter();
// Full path of the dump ("" when the program's folder is unknown).
const char* DumpPath();

}  // namespace ClientCrashDump
