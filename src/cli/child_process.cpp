#include "cli/child_process.h"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;
#endif

namespace vantel::cli {

#ifndef _WIN32

ChildProcess::~ChildProcess() {
    if (out_ >= 0) ::close(out_);
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

bool ChildProcess::start(const ChildSpec& spec, std::string& error) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    // Everything the child needs is built before fork: after it only
    // async-signal-safe calls may run (the station has threads).
    std::vector<std::string> envText;
    for (char** e = environ; e && *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        bool drop = false;
        for (const auto& u : spec.unsetEnv) drop = drop || u == name;
        for (const auto& s : spec.setEnv) drop = drop || s.first == name;
        if (!drop) envText.push_back(entry);
    }
    for (const auto& s : spec.setEnv) envText.push_back(s.first + "=" + s.second);
    std::vector<char*> envp;
    for (auto& e : envText) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string program = spec.program;
    std::vector<std::string> argText = spec.args;
    std::vector<char*> argv;
    argv.push_back(program.data());
    for (auto& a : argText) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int devNull = spec.keepStderr ? -1 : ::open("/dev/null", O_WRONLY | O_CLOEXEC);

    const pid_t pid = ::fork();
    if (pid < 0) {
        error = std::string("fork: ") + std::strerror(errno);
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        if (devNull >= 0) ::close(devNull);
        return false;
    }
    if (pid == 0) {
        ::setpgid(0, 0);
        // A child starts with the default signal handling, whatever the station set.
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) ::sigaction(sig, &dfl, nullptr);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::dup2(pipeFds[1], STDOUT_FILENO);
        if (devNull >= 0) ::dup2(devNull, STDERR_FILENO);
        const int in = ::open("/dev/null", O_RDONLY);
        if (in >= 0) ::dup2(in, STDIN_FILENO);
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    ::setpgid(pid, pid);  // also here: no race with a signal sent right after start
    ::close(pipeFds[1]);
    if (devNull >= 0) ::close(devNull);
    ::fcntl(pipeFds[0], F_SETFL, ::fcntl(pipeFds[0], F_GETFL) | O_NONBLOCK);
    pid_ = pid;
    out_ = pipeFds[0];
    partial_.clear();
    return true;
}

bool ChildProcess::readLines(std::vector<std::string>& lines) {
    if (out_ < 0) return false;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(out_, buffer, sizeof buffer);
        if (n > 0) {
            partial_.append(buffer, static_cast<std::size_t>(n));
            std::size_t newline;
            while ((newline = partial_.find('\n')) != std::string::npos) {
                lines.push_back(partial_.substr(0, newline));
                partial_.erase(0, newline + 1);
            }
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        // End of output.
        if (!partial_.empty()) lines.push_back(partial_);
        partial_.clear();
        ::close(out_);
        out_ = -1;
        return false;
    }
}

bool ChildProcess::reap(int& exitCode) {
    if (pid_ <= 0) return false;
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r != pid_) return false;
    pid_ = -1;
    exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    return true;
}

void ChildProcess::signal(int sig) {
    if (pid_ > 0) ::kill(pid_, sig);
}

#else

ChildProcess::~ChildProcess() = default;
bool ChildProcess::start(const ChildSpec&, std::string& error) {
    error = "child processes are not supported on this platform";
    return false;
}
bool ChildProcess::readLines(std::vector<std::string>&) { return false; }
bool ChildProcess::reap(int&) { return false; }
void ChildProcess::signal(int) {}

#endif

}  // namespace vantel::cli
