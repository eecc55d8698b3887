#include "ClientCrashDump.h"

#include <csignal>
#include <cstring>
#include <execinfo.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

namespace ClientCrashDump {
namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr char kDumpName[] = "CrashDumpFile.dmp";

char g_dumpPath[PATH_MAX] = {};

void computeDumpPath()
{
    char exe[PATH_MAX] = {};
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    g_dumpPath[0] = '\0';
    if (n <= 0) {
        return;
    }
    char* slash = std::strrchr(exe, '/');
    if (slash == nullptr || static_cast<size_t>(slash - exe) + 1 + sizeof(kDumpName) > sizeof(g_dumpPath)) {
        return;  // no folder: no dump
    }
    slash[1] = '\0';
    std::strcpy(g_dumpPath, exe);
    std::strcat(g_dumpPath, kDumpName);
}

void writeText(int fd, const char* text)
{
    size_t left = std::strlen(text);
    while (left > 0) {
        const ssize_t n = ::write(fd, text, left);
        if (n <= 0) {
            return;
        }
        text += n;
        left -= static_cast<size_t>(n);
    }
}

void writeHex(int fd, unsigned long long value)
{
    char out[20] = {'0', 'x'};
    char digits[17];
    int i = 0;
    do {
        const unsigned d = static_cast<unsigned>(value & 0xF);
        digits[i++] = static_cast<char>(d < 10 ? '0' + d : 'a' + d - 10);
        value >>= 4;
    } while (value != 0 && i < 16);
    int o = 2;
    while (i > 0) {
        out[o++] = digits[--i];
    }
    out[o] = '\0';
    writeText(fd, out);
}

void onFatalSignal(int sig, siginfo_t* info, void*)
{
    if (g_dumpPath[0] != '\0') {
        const int fd = ::open(g_dumpPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            writeText(fd, "Lumora crash\nsignal ");
            writeHex(fd, static_cast<unsigned>(sig));
            writeText(fd, "\naddress ");
            writeHex(fd, reinterpret_cast<unsigned long long>(info != nullptr ? info->si_addr : nullptr));
            writeText(fd, "\nbacktrace\n");
            void* frames[64];
            const int count = ::backtrace(frames, 64);
            ::backtrace_symbols_fd(frames, count, fd);
            ::close(fd);
        }
    }
    // The default action ends the process as the crash would have.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(sig, &fallback, nullptr);
    ::raise(sig);
}

}  // namespace

int InstallClientCrashDumpFilter()
{
    computeDumpPath();
    // backtrace() loads its unwinder on first use; do that now, not inside the handler.
    void* warm[1];
    ::backtrace(warm, 1);
    int installed = 0;
    for (int sig : kSignals) {
        struct sigaction current {};
        if (::sigaction(sig, nullptr, &current) != 0) {
            continue;
        }
        const bool hasHandler = (current.sa_flags & SA_SIGINFO) != 0 ? current.sa_sigaction != nullptr
                                                                     : (current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN);
        if (hasHandler) {
            continue;
        }
        struct sigaction action {};
        action.sa_sigaction = onFatalSignal;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        if (::sigaction(sig, &action, nullptr) == 0) {
            ++installed;
        }
    }
    return installed;
}

const char* DumpPath()
{
    return g_dumpPath;
}

}  // namespace ClientCrashDump
