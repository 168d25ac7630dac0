#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace kv::platform {

ProgramResult RunProgram(const std::vector<std::string>& argv, const std::string& working_folder,
                         int timeout_ms) {
    ProgramResult result;
    if (argv.empty()) return result;
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    // A pipe closed on exec tells the parent whether the exec succeeded.
    int status_pipe[2];
    if (::pipe2(status_pipe, O_CLOEXEC) != 0) return result;

    pid_t pid = ::fork();
    if (pid < 0) {
        ::close(status_pipe[0]);
        ::close(status_pipe[1]);
        return result;
    }
    if (pid == 0) {
        ::setpgid(0, 0);
        ::close(status_pipe[0]);
        int null_fd = ::open("/dev/null", O_RDONLY);
        if (null_fd >= 0) {
            ::dup2(null_fd, 0);
            if (null_fd != 0) ::close(null_fd);
        }
        if (!working_folder.empty() && ::chdir(working_folder.c_str()) != 0) {
            int err = errno;
            (void)!::write(status_pipe[1], &err, sizeof err);
            ::_exit(127);
        }
        ::execv(args[0], args.data());
        int err = errno;
        (void)!::write(status_pipe[1], &err, sizeof err);
        ::_exit(127);
    }
    ::close(status_pipe[1]);
    int child_errno = 0;
    ssize_t got;
    do {
        got = ::read(status_pipe[0], &child_errno, sizeof child_errno);
    } while (got < 0 && errno == EINTR);
    ::close(status_pipe[0]);
    result.started = (got == 0);

    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int status = 0;
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
            if (!result.started) result.exit_code = -1;
            return result;
        }
        if (done < 0 && errno != EINTR) return result;
        if (std::chrono::steady_clock::now() >= deadline) break;
        struct timespec slice = {0, 5 * 1000 * 1000};
        ::nanosleep(&slice, nullptr);
    }
    result.timed_out = true;
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return result;
}

}  // namespace kv::platform
