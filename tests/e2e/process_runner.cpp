#include "process_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace {

void close_fd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

}  // namespace

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options) {
    ProcessResult result;
    if (argv.empty()) return result;
    int outPipe[2], errPipe[2], execPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) return result;
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]), close(outPipe[1]);
        return result;
    }
    // Closed by a successful exec; carries errno back when the exec fails.
    if (pipe2(execPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]), close(outPipe[1]), close(errPipe[0]), close(errPipe[1]);
        return result;
    }

    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0) dup2(devnull, STDIN_FILENO);
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        for (const auto& name : options.unsetEnv) unsetenv(name.c_str());
        for (const auto& entry : options.setEnv) {
            const auto eq = entry.find('=');
            if (eq != std::string::npos) setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
        }
        if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) {
            int e = errno;
            (void)!write(execPipe[1], &e, sizeof e);
            _exit(127);
        }
        execvp(args[0], args.data());
        int e = errno;
        (void)!write(execPipe[1], &e, sizeof e);
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    close(execPipe[1]);
    if (pid < 0) {
        close(outPipe[0]), close(errPipe[0]), close(execPipe[0]);
        return result;
    }
    int execErrno = 0;
    result.started = read(execPipe[0], &execErrno, sizeof execErrno) == 0;
    close(execPipe[0]);

    const auto deadline = std::chrono::steady_clock::now() + options.timeout;
    int fds[2] = {outPipe[0], errPipe[0]};
    std::string* into[2] = {&result.out, &result.err};
    while (fds[0] >= 0 || fds[1] >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            break;
        }
        pollfd p[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
        int ready = poll(p, 2, static_cast<int>(std::min<long long>(left.count(), 200)));
        if (ready < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i] < 0 || p[i].revents == 0) continue;
            char buffer[8192];
            ssize_t n = read(fds[i], buffer, sizeof buffer);
            if (n > 0)
                into[i]->append(buffer, static_cast<size_t>(n));
            else if (n == 0 || errno != EINTR)
                close_fd(fds[i]);
        }
    }
    close_fd(fds[0]);
    close_fd(fds[1]);

    // Output closed: the program has exited or is about to; still never wait unbounded.
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(pid, &status, WNOHANG)) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            result.timedOut = true;
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            done = waitpid(pid, &status, 0);
            break;
        }
        usleep(2000);
    }
    if (done == pid) {
        if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
        if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    }
    return result;
}
