// The client's crash dump: written by a crashing child process beside its program.
#include "ClientCrashDump.h"

#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void resetFatalSignals()
{
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) {
        std::signal(sig, SIG_DFL);
    }
}

TEST(ClientCrashDump, FatalSignalWritesTheDumpThenTheProcessDies)
{
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        resetFatalSignals();  // a sanitizer's handler would otherwise stay in force
        if (ClientCrashDump::InstallClientCrashDumpFilter() != 5) {
            _exit(3);
        }
        std::remove(ClientCrashDump::DumpPath());
        std::raise(SIGSEGV);
        _exit(4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << (WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    EXPECT_EQ(WTERMSIG(status), SIGSEGV);

    ClientCrashDump::InstallClientCrashDumpFilter();  // computes the same path here
    const std::string path = ClientCrashDump::DumpPath();
    ASSERT_NE(path.find("/CrashDumpFile.dmp"), std::string::npos);
    std::ifstream dump(path);
    ASSERT_TRUE(dump.good()) << path;
    std::stringstream text;
    text << dump.rdbuf();
    EXPECT_NE(text.str().find("signal 0xb"), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("backtrace"), std::string::npos);
    std::remove(path.c_str());
}

void otherHandler(int) {}

TEST(ClientCrashDump, AHandlerAlreadyInstalledStaysInForce)
{
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        resetFatalSignals();
        std::signal(SIGSEGV, otherHandler);
        const int taken = ClientCrashDump::InstallClientCrashDumpFilter();
        struct sigaction current {};
        sigaction(SIGSEGV, nullptr, &current);
        _exit(taken == 4 && current.sa_handler == otherHandler ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
