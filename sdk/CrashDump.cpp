#include "CrashDump.h"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <execinfo.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <unistd.h>

namespace crashdump {

namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr size_t kPathMax = 4096;
constexpr const char kDumpName[] = "libLumoraCarsh.dmp";

char g_dumpPath[kPathMax] = {};
struct sigaction g_previous[sizeof(kSignals) / sizeof(kSignals[0])];
bool g_havePrevious[sizeof(kSignals) / sizeof(kSignals[0])] = {};
std::mutex g_installMutex;

// Computed before any crash: the handler may not allocate.
void computeDumpPath()
{
    char exe[kPathMax] = {};
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    g_dumpPath[0] = '\0';
    if (n <= 0)
        return;
    exe[n] = '\0';
    char* slash = std::strrchr(exe, '/');
    if (slash == nullptr)
        return;
    slash[1] = '\0';
    if (std::strlen(exe) + sizeof(kDumpName) >= kPathMax)
        return;
    std::strcpy(g_dumpPath, exe);
    std::strcat(g_dumpPath, kDumpName);
}

void writeText(int fd, const char* text)
{
    size_t left = std::strlen(text);
    while (left > 0) {
        const ssize_t n = ::write(fd, text, left);
        if (n <= 0)
            return;
        text += n;
        left -= static_cast<size_t>(n);
    }
}

void writeNumber(int fd, unsigned long long value, int base)
{
    char digits[32];
    int i = 0;
    do {
        const unsigned d = static_cast<unsigned>(value % static_cast<unsigned>(base));
        digits[i++] = static_cast<char>(d < 10 ? '0' + d : 'a' + d - 10);
        value /= static_cast<unsigned>(base);
    } while (value != 0 && i < 31);
    char out[34];
    int o = 0;
    if (base == 16) {
        out[o++] = '0';
        out[o++] = 'x';
    }
    while (i > 0)
        out[o++] = digits[--i];
    out[o] = '\0';
    writeText(fd, out);
}

int indexOf(int sig)
{
    for (size_t i = 0; i < sizeof(kSignals) / sizeof(kSignals[0]); ++i)
        if (kSignals[i] == sig)
            return static_cast<int>(i);
    return -1;
}

void onFatalSignal(int sig, siginfo_t* info, void*)
{
    if (g_dumpPath[0] != '\0') {
        const int fd = ::open(g_dumpPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0) {
            writeText(fd, "libLumora crash\nsignal ");
            writeNumber(fd, static_cast<unsigned>(sig), 10);
            writeText(fd, "\naddress ");
            writeNumber(fd, reinterpret_cast<unsigned long long>(info != nullptr ? info->si_addr : nullptr), 16);
            writeText(fd, "\nthread ");
            writeNumber(fd, static_cast<unsigned long long>(::gettid()), 10);
            writeText(fd, "\nbacktrace\n");
            void* frames[64];
            const int count = ::backtrace(frames, 64);
            ::backtrace_symbols_fd(frames, count, fd);
            ::close(fd);
        }
    }
    // Let the crash go on: the previous action (usually the default one) with the same signal.
    const int i = indexOf(sig);
    if (i >= 0 && g_havePrevious[i] && g_previous[i].sa_handler != SIG_IGN &&
        !(g_previous[i].sa_flags & SA_SIGINFO && g_previous[i].sa_sigaction == onFatalSignal))
        ::sigaction(sig, &g_previous[i], nullptr);
    else
        ::signal(sig, SIG_DFL);
    ::raise(sig);
}

} // namespace

namespace {

// One thread's alternate signal stack: set up by EnsureAltStack, taken down at the thread's end.
struct AltStack {
    std::unique_ptr<char[]> memory;
    size_t size = 0;

    ~AltStack()
    {
        if (!memory)
            return;
        stack_t off{};
        off.ss_flags = SS_DISABLE;
        ::sigaltstack(&off, nullptr);
    }
};

thread_local AltStack t_altStack;

} // namespace

void EnsureAltStack()
{
    stack_t current{};
    if (::sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE))
        return; // the thread has one (ours, or the application's or a sanitizer's)
    // The handler's own frames, backtrace() and its unwinder fit well inside this.
    const size_t size = std::max<size_t>(64 * 1024, static_cast<size_t>(SIGSTKSZ));
    auto memory = std::make_unique<char[]>(size);
    stack_t stack{};
    stack.ss_sp = memory.get();
    stack.ss_size = size;
    if (::sigaltstack(&stack, nullptr) != 0)
        return;
    t_altStack.memory = std::move(memory);
    t_altStack.size = size;
}

void InstallCrashDumpFilter()
{
    std::lock_guard<std::mutex> lock(g_installMutex);
    computeDumpPath();
    // backtrace() loads its unwinder on first use; do that now, not inside the handler.
    void* warm[1];
    ::backtrace(warm, 1);
    struct sigaction action {};
    action.sa_sigaction = onFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_RESETHAND | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    EnsureAltStack();
    for (size_t i = 0; i < sizeof(kSignals) / sizeof(kSignals[0]); ++i) {
        struct sigaction previous {};
        if (::sigaction(kSignals[i], &action, &previous) == 0 &&
            !((previous.sa_flags & SA_SIGINFO) && previous.sa_sigaction == onFatalSignal)) {
            g_previous[i] = previous;
            g_havePrevious[i] = true;
        }
    }
}

const char* DumpPath()
{
    return g_dumpPath;
}

} // namespace crashdump
