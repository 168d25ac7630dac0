// Fuzz target: what an FTP server sends to the update's FTP client, on the control connection
// (greeting, login replies, command replies, several-line replies, transfer completions) and
// on the data connections (a listing, then a retrieval into memory).
//
// Input: the length of the control stream (16-bit, little-endian), the control stream, and the
// data stream (the rest). A loopback listener plays the server from inside the client's idle
// callback, so no thread runs: it sends the whole control stream once the client connects and
// half-closes, and connects to each data port that the client announces (from the idle or the
// reply callback), sends the data stream and resets that connection.
// Every reply line passed on is bounded, every listing line and retrieval holds at most what
// was asked for, and the whole exchange ends soon (the inactivity time-out is tiny).

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "update/ftp_client.h"

namespace {

constexpr std::size_t kMaxStream = 16 * 1024;  // fits the loopback buffers whole

// A socket that is closed with a reset, so that many inputs leave no connections waiting.
class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() { Close(); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    Socket& operator=(Socket&& other) noexcept {
        Close();
        fd_ = other.fd_;
        other.fd_ = -1;
        return *this;
    }
    int fd() const { return fd_; }
    void Close() {
        if (fd_ < 0) return;
        linger off{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &off, sizeof off);
        ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

void Send(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n <= 0) return;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

// The server's control port. It stays open for all inputs: a connection that the server ends
// first waits out its closing time on the server's side, and there it then holds only this one
// port, not a fresh port per input (which would soon use up the machine's ports).
int ControlListener(sockaddr_in& address) {
    static sockaddr_in bound{};
    static const int fd = [] {
        int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        int one = 1;
        ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        bound.sin_family = AF_INET;
        bound.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof bound;
        if (::bind(s, reinterpret_cast<sockaddr*>(&bound), sizeof bound) != 0 ||
            ::listen(s, 4) != 0 ||
            ::getsockname(s, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
            ::close(s);
            return -1;
        }
        return s;
    }();
    address = bound;
    // Nothing of an earlier input may wait there.
    for (int stale; fd >= 0 && (stale = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;)
        Socket{stale}.Close();
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kv::fuzz::InputReader input(data, size);
    const std::size_t control_size = input.U16();
    std::string_view rest = input.Rest();
    std::string_view control = rest.substr(0, std::min(control_size, rest.size()));
    std::string_view stream = rest.substr(control.size());
    control = control.substr(0, kMaxStream);
    stream = stream.substr(0, kMaxStream);

    sockaddr_in address{};
    const int listener = ControlListener(address);
    if (listener < 0) return 0;

    Socket server;
    Socket data_connection;
    std::uint16_t served_port = 0;
    kv::update::FtpClient client;
    client.SetInactivityTimeout(20);
    // The data connection comes as soon as the port is announced, as a server's would: the
    // PORT reply is usually buffered already, so the reply callback serves it too.
    auto serve_data = [&] {
        const std::uint16_t port = client.DataPort();
        if (port == 0 || port == served_port) return;
        served_port = port;
        data_connection = Socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in to = address;
        to.sin_port = htons(port);
        // Sent whole, then reset: the client reads it all and then the end, and the
        // connection leaves nothing behind.
        if (::connect(data_connection.fd(), reinterpret_cast<sockaddr*>(&to), sizeof to) == 0)
            Send(data_connection.fd(), stream);
        data_connection.Close();
    };
    client.OnIdle = [&] {
        if (server.fd() < 0) {
            const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) return;
            server = Socket(fd);
            Send(fd, control);
            ::shutdown(fd, SHUT_WR);
        }
        serve_data();
    };
    std::size_t reply_lines = 0;
    client.OnReplyLine = [&] {
        ++reply_lines;
        serve_data();
        std::string line;
        if (client.FtpLastReplyLine(line, 4096)) KV_FUZZ_CHECK(line.size() <= client.kLineSize);
    };

    const auto start = std::chrono::steady_clock::now();
    if (client.FtpLogin("127.0.0.1", "ftp", "tansy", ntohs(address.sin_port))) {
        client.FtpCommand("CWD /");
        if (client.FtpOpenData()) {
            if (client.FtpCommand("LIST")) {
                client.FtpAcceptData();
                std::string line;
                for (int i = 0; i < 4096 && client.FtpReadDataLine(line, 255); ++i)
                    KV_FUZZ_CHECK(line.size() <= 255);
                client.FtpEndTransfer();
            }
            client.FtpCloseData();
        }
        if (client.FtpOpenData()) {
            client.FtpCommand("TYPE I");
            if (client.FtpCommand("RETR ztl")) {
                client.FtpAcceptData();
                std::string got;
                const kv::update::Retrieval r = client.FtpRetrieveToMemory(got, 1032);
                KV_FUZZ_CHECK(got.size() <= 1032);
                KV_FUZZ_CHECK(r != kv::update::Retrieval::kCannotWrite);
                std::uint32_t sum = 0;
                for (unsigned char c : got) sum += c;
                KV_FUZZ_CHECK(sum == client.ByteSum());
                client.FtpEndTransfer();
            }
            client.FtpCloseData();
        }
        client.FtpCommand("QUIT");
    }
    // Each line the client passed on took at least one byte of the stream, or ended a wait.
    KV_FUZZ_CHECK(reply_lines <= control.size() + 64);
    // No wait outlasts its time-out by much: the whole exchange is quick.
    KV_FUZZ_CHECK(std::chrono::steady_clock::now() - start < std::chrono::seconds(10));
    server.Close();
    data_connection.Close();
    client.FtpDisconnect();
    return 0;
}
