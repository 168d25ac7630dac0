// A real vsftpd for the update tests: started on 127.0.0.1 and a free port with a configuration
// of the test's own (anonymous login as user "ftp", any password, active mode only), serving
// `root` read-only. vsftpd must run as root; check Available() and skip otherwise.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "tests/support/test_support.h"

namespace kv::test {

class VsftpdServer {
public:
    static constexpr const char* kProgram = "/usr/sbin/vsftpd";
    // Why vsftpd cannot run here, or empty when it can.
    static std::string Unavailable() {
        if (!kv::platform::FileExists(kProgram)) return "vsftpd is not installed";
        if (!RunningAsRoot()) return "vsftpd runs only as root";
        return "";
    }

    // `max_rate` > 0 throttles its transfers (bytes/second).
    VsftpdServer(const TempDir& dir, const std::string& root, int max_rate = 0) {
        for (int attempt = 0; attempt < 5 && port_ == 0; ++attempt) Start(dir, root, max_rate);
    }
    ~VsftpdServer() { Kill(); }
    // Ends the server and every session it runs at once (sessions may leave its process group).
    void Kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGSTOP);  // no new sessions meanwhile
        for (pid_t child : Descendants(pid_)) ::kill(child, SIGKILL);
        ::kill(-pid_, SIGKILL);
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    std::uint16_t Port() const { return port_; }

private:
    // Every process below `root`, from /proc.
    static std::vector<pid_t> Descendants(pid_t root) {
        std::vector<std::pair<pid_t, pid_t>> parents;  // pid, parent
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
            const std::string name = entry.path().filename().string();
            if (name.find_first_not_of("0123456789") != std::string::npos) continue;
            const std::string stat = ReadFile(entry.path().string() + "/stat");
            const std::size_t close = stat.rfind(')');
            if (close == std::string::npos) continue;
            int parent = 0;
            if (std::sscanf(stat.c_str() + close + 1, " %*c %d", &parent) != 1) continue;
            parents.emplace_back(std::stoi(name), parent);
        }
        std::vector<pid_t> found{root};
        for (std::size_t i = 0; i < found.size(); ++i)
            for (const auto& [pid, parent] : parents)
                if (parent == found[i]) found.push_back(pid);
        found.erase(found.begin());
        return found;
    }
    static bool Accepts(std::uint16_t port) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(fd);
        return ok;
    }
    void Start(const TempDir& dir, const std::string& root, int max_rate) {
        const std::uint16_t port = FreeLoopbackPort();
        const std::string empty = dir / "vsftpd-empty";
        MakeFolders(empty);
        const std::string config = dir / "vsftpd.conf";
        std::string text =
            "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" +
            std::to_string(port) +
            "\nbackground=NO\nanonymous_enable=YES\nlocal_enable=NO\nwrite_enable=NO\n"
            "anon_root=" +
            root +
            "\nno_anon_password=YES\nport_enable=YES\nconnect_from_port_20=NO\npasv_enable=NO\n"
            "secure_chroot_dir=" +
            empty +
            "\nseccomp_sandbox=NO\nxferlog_enable=NO\n"
            "dirmessage_enable=NO\nidle_session_timeout=30\ndata_connection_timeout=30\n";
        if (max_rate > 0) text += "anon_max_rate=" + std::to_string(max_rate) + "\n";
        WriteFile(config, text);
        const std::string log = dir / "vsftpd.log";
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setpgid(0, 0);  // its own group: Kill() reaches the sessions too
            int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            ::execl(kProgram, "vsftpd", config.c_str(), nullptr);
            ::_exit(127);
        }
        for (int i = 0; i < 200; ++i) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {  // the port was taken meanwhile
                pid_ = -1;
                return;
            }
            if (Accepts(port)) {
                port_ = port;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        Kill();
    }

    pid_t pid_ = -1;
    std::uint16_t port_ = 0;
};

}  // namespace kv::test
