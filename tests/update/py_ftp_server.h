// A real FTP server (pyftpdlib) for the update tests, run as a child process on loopback.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "tests/support/test_support.h"

namespace kv::test {

// A real FTP server (pyftpdlib) on 127.0.0.1 and a free port, serving `root` to user "ftp"
// with password "tansy"; `write_limit` > 0 throttles its data connections (bytes/second);
// `port_delay_ms` > 0 makes it wait that long after a PORT command before it connects, so that
// a test can play another local user who reaches the client's data port first.
class PyFtpServer {
public:
    PyFtpServer(const TempDir& dir, const std::string& root, int write_limit = 0,
                int port_delay_ms = 0) {
        const std::string script = dir / "server.py";
        WriteFile(script, R"(import os, sys, time, logging
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler
from pyftpdlib.servers import FTPServer
root, port_file, limit = sys.argv[1], sys.argv[2], int(sys.argv[3])
delay = int(sys.argv[4]) / 1000.0
logging.basicConfig(level=logging.ERROR)
class Data(ThrottledDTPHandler):
    write_limit = limit
class Handler(FTPHandler):
    authorizer = DummyAuthorizer()
    auth_failed_timeout = 0.05
    if limit:
        dtp_handler = Data
    def ftp_PORT(self, line):
        time.sleep(delay)
        return FTPHandler.ftp_PORT(self, line)
Handler.authorizer.add_user("ftp", "tansy", root, perm="elr")
server = FTPServer(("127.0.0.1", 0), Handler)
with open(port_file + ".tmp", "w") as f:
    f.write(str(server.socket.getsockname()[1]))
os.rename(port_file + ".tmp", port_file)
server.serve_forever()
)");
        const std::string port_file = dir / "port";
        const std::string log = dir / "server.log";
        pid_ = ::fork();
        if (pid_ == 0) {
            int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            ::execl("/usr/bin/python3", "python3", script.c_str(), root.c_str(), port_file.c_str(),
                    std::to_string(write_limit).c_str(), std::to_string(port_delay_ms).c_str(),
                    nullptr);
            ::_exit(127);
        }
        for (int i = 0; i < 200 && port_ == 0; ++i) {
            std::string text = ReadFile(port_file);
            if (!text.empty())
                port_ = static_cast<std::uint16_t>(std::stoi(text));
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
    }
    ~PyFtpServer() { Kill(); }
    // Ends the server at once, in the middle of whatever it does.
    void Kill() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }
    std::uint16_t Port() const { return port_; }

private:
    pid_t pid_ = -1;
    std::uint16_t port_ = 0;
};

}  // namespace kv::test
