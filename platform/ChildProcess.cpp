#include "ChildProcess.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace platform {

ChildProcess::~ChildProcess()
{
    stop(500);
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& arguments)
{
    if (m_pid > 0)
        return false;
    int out[2];
    int in[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return false;
    if (::pipe2(in, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return false;
    }
    std::vector<std::string> args;
    args.push_back(program);
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(in[0], STDIN_FILENO);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(in[0]);
    m_pid = pid;
    m_stdout = out[0];
    m_stdin = in[1];
    m_pending.clear();
    return true;
}

bool ChildProcess::readLine(std::string& line, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto newline = m_pending.find('\n');
        if (newline != std::string::npos) {
            line = m_pending.substr(0, newline);
            m_pending.erase(0, newline + 1);
            return true;
        }
        if (m_stdout < 0)
            return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            return false;
        pollfd p{m_stdout, POLLIN, 0};
        const int rc = ::poll(&p, 1, static_cast<int>(left));
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc <= 0)
            return false;
        char buffer[4096];
        const ssize_t n = ::read(m_stdout, buffer, sizeof buffer);
        if (n <= 0) {
            ::close(m_stdout);
            m_stdout = -1;
            continue;
        }
        m_pending.append(buffer, static_cast<size_t>(n));
    }
}

bool ChildProcess::writeLine(const std::string& line)
{
    if (m_stdin < 0)
        return false;
    const std::string text = line + "\n";
    return ::write(m_stdin, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void ChildProcess::kill()
{
    if (m_pid > 0)
        ::kill(m_pid, SIGKILL);
}

int ChildProcess::stop(int graceMs)
{
    if (m_pid <= 0)
        return -1;
    ::kill(m_pid, SIGTERM);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
    pid_t done = 0;
    while ((done = ::waitpid(m_pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (done == 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, &status, 0);
    }
    m_pid = -1;
    if (m_stdout >= 0)
        ::close(m_stdout);
    if (m_stdin >= 0)
        ::close(m_stdin);
    m_stdout = m_stdin = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace platform
