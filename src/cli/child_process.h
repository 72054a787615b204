#pragma once
// A child vantel-cli run whose standard output is read line by line: the
// station starts one per keyboard. POSIX only; elsewhere start() fails.

#include <string>
#include <utility>
#include <vector>

namespace vantel::cli {

struct ChildSpec {
    std::string program;
    std::vector<std::string> args;
    // Variables set (value) or removed (nullopt-like: an empty name list below).
    std::vector<std::pair<std::string, std::string>> setEnv;
    std::vector<std::string> unsetEnv;
    bool keepStderr = false;  // else the child's stderr goes to /dev/null
};

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();  // a child still running is killed and reaped
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The child gets a process group of its own, so that a Ctrl-C at the
    // terminal reaches it only through the station, which decides.
    bool start(const ChildSpec& spec, std::string& error);
    bool running() const { return pid_ > 0; }
    // The descriptor to poll for output; -1 once the output has ended.
    int outputFd() const { return out_; }
    // Reads what is there without blocking; complete lines are appended to `lines`.
    // False once the output has ended (the remainder, if any, is then a line).
    bool readLines(std::vector<std::string>& lines);
    // Reaps the child if it has ended; its exit code (128 + signal when killed).
    bool reap(int& exitCode);
    void signal(int sig);

private:
    int pid_ = -1;
    int out_ = -1;
    std::string partial_;
};

}  // namespace vantel::cli
