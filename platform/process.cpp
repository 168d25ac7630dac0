#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace kv::platform {

namespace {

// A descriptor closed on destruction.
class Fd {
public:
    Fd() = default;
    ~Fd() { Close(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int& get() { return fd_; }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

void KillAndReap(pid_t pid) {
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

// Reads what the pipe holds now into `output`. False once the writer has closed it (or it
// failed). Stops reading one byte past `max_output`, which is enough to tell too much.
bool DrainPipe(int fd, std::size_t max_output, std::string& output) {
    char buffer[4096];
    while (output.size() <= max_output) {
        std::size_t want = max_output + 1 - output.size();
        if (want > sizeof buffer) want = sizeof buffer;
        ssize_t n = ::read(fd, buffer, want);
        if (n > 0) {
            output.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        return false;
    }
    return true;
}

ProgramResult Run(const std::vector<std::string>& argv, const std::string& working_folder,
                  int timeout_ms, std::string* output, std::size_t max_output) {
    ProgramResult result;
    if (argv.empty()) return result;
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    // A pipe closed on exec tells the parent whether the exec succeeded.
    int status_fds[2];
    if (::pipe2(status_fds, O_CLOEXEC) != 0) return result;
    Fd status_read, status_write;
    status_read.get() = status_fds[0];
    status_write.get() = status_fds[1];
    Fd out_read, out_write;
    if (output != nullptr) {
        int out_fds[2];
        if (::pipe2(out_fds, O_CLOEXEC) != 0) return result;
        out_read.get() = out_fds[0];
        out_write.get() = out_fds[1];
    }

    pid_t pid = ::fork();
    if (pid < 0) return result;
    if (pid == 0) {
        ::setpgid(0, 0);
        int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        if (null_fd >= 0) {
            ::dup2(null_fd, 0);
            if (output != nullptr) ::dup2(null_fd, 2);
        }
        if (output != nullptr) ::dup2(out_write.get(), 1);
        if (!working_folder.empty() && ::chdir(working_folder.c_str()) != 0) {
            int err = errno;
            (void)!::write(status_write.get(), &err, sizeof err);
            ::_exit(127);
        }
        ::execv(args[0], args.data());
        int err = errno;
        (void)!::write(status_write.get(), &err, sizeof err);
        ::_exit(127);
    }
    status_write.Close();
    out_write.Close();
    int child_errno = 0;
    ssize_t got;
    do {
        got = ::read(status_read.get(), &child_errno, sizeof child_errno);
    } while (got < 0 && errno == EINTR);
    status_read.Close();
    result.started = (got == 0);
    if (output != nullptr) {
        output->clear();
        ::fcntl(out_read.get(), F_SETFL, ::fcntl(out_read.get(), F_GETFL) | O_NONBLOCK);
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (out_read.get() >= 0) {
            if (!DrainPipe(out_read.get(), max_output, *output)) out_read.Close();
            if (output->size() > max_output) {
                result.too_much_output = true;
                KillAndReap(pid);
                return result;
            }
        }
        int status = 0;
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            // What the program wrote before it ended is still in the pipe.
            if (out_read.get() >= 0) {
                DrainPipe(out_read.get(), max_output, *output);
                result.too_much_output = output->size() > max_output;
            }
            if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
            if (!result.started) result.exit_code = -1;
            return result;
        }
        if (done < 0 && errno != EINTR) return result;
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) break;
        // Wake for output as it comes, and every few milliseconds to look for the end.
        int wait_ms = 5;
        if (out_read.get() >= 0) {
            struct pollfd watch = {out_read.get(), POLLIN, 0};
            ::poll(&watch, 1, wait_ms);
        } else {
            struct timespec slice = {0, wait_ms * 1000 * 1000};
            ::nanosleep(&slice, nullptr);
        }
    }
    result.timed_out = true;
    KillAndReap(pid);
    return result;
}

}  // namespace

ProgramResult RunProgram(const std::vector<std::string>& argv, const std::string& working_folder,
                         int timeout_ms) {
    return Run(argv, working_folder, timeout_ms, nullptr, 0);
}

ProgramResult RunProgramForOutput(const std::vector<std::string>& argv,
                                  const std::string& working_folder, int timeout_ms,
                                  std::size_t max_output, std::string& output) {
    return Run(argv, working_folder, timeout_ms, &output, max_output);
}

}  // namespace kv::platform
