// Child processes for tools and tests (in place of CreateProcess with a redirected standard
// output): start a program with arguments, read its standard output line by line with a time-out,
// write to its standard input, and stop it. The child dies with its parent.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace platform {

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts program (a path) with the arguments; false when it could not be started.
    bool start(const std::string& program, const std::vector<std::string>& arguments);
    // Next line of its standard output (without the newline); false on time-out or end of output.
    bool readLine(std::string& line, int timeoutMs);
    bool writeLine(const std::string& line);
    // SIGTERM, then SIGKILL after graceMs; waits for it. Returns its exit status (or -1).
    int stop(int graceMs = 2000);
    // SIGKILL at once (a device that vanishes).
    void kill();
    bool running() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    int m_stdout = -1;
    int m_stdin = -1;
    std::string m_pending;
};

} // namespace platform
