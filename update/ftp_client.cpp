#include "update/ftp_client.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "platform/files.h"

namespace kv::update {

namespace {

int NewStreamSocket() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
    return fd;
}

// The IPv4 address of `host` in network byte order: the dotted form first, else the first
// IPv4 address of a name lookup.
bool ResolveHost(const std::string& host, std::uint32_t& address) {
    in_addr numeric{};
    if (::inet_pton(AF_INET, host.c_str(), &numeric) == 1) {
        address = numeric.s_addr;
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || result == nullptr) {
        return false;
    }
    address = reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr.s_addr;
    ::freeaddrinfo(result);
    return true;
}

bool IsLetter(std::uint8_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool IsDigit(std::uint8_t c) {
    return c >= '0' && c <= '9';
}

// Copies a line cut at its first CR and to at most `size` characters.
void CopyLine(const std::uint8_t* bytes, std::size_t count, std::size_t size, std::string& out) {
    std::size_t n = 0;
    while (n < count && n < size && bytes[n] != '\r') ++n;
    out.assign(reinterpret_cast<const char*>(bytes), n);
}

// A command text fits the line buffer and holds no line end or NUL, which would end the
// line early or smuggle a second command in.
bool CommandTextAllowed(const std::string& text) {
    return text.size() <= FtpClient::kMaxCommandText &&
           text.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

}  // namespace

void FtpClient::Connection::Reset() {
    count = 0;
    position = 0;
    end = false;
    line_count = 0;
    line_end = false;
}

void FtpClient::Connection::Close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
    Reset();
}

FtpClient::~FtpClient() {
    FtpDisconnect();
}

void FtpClient::FtpResetCallbacks() {
    OnReplyLine = nullptr;
    OnProgress = nullptr;
}

FtpClient::WaitResult FtpClient::Wait(int fd, short events, bool watch_control,
                                      bool control_reply) {
    const auto start = std::chrono::steady_clock::now();
    const int control = watch_control && fd != control_.fd ? control_.fd : -1;
    // A pending abort ends every wait (it stays pending for the next receive to clear).
    for (;;) {
        if (abort_requested_) return WaitResult::kCancelled;
        if (OnIdle) OnIdle();
        if (abort_requested_) return WaitResult::kCancelled;
        const short watched = control_reply ? POLLIN | POLLRDHUP : POLLRDHUP;
        pollfd fds[2] = {{fd, events, 0}, {control, watched, 0}};
        int n = ::poll(fds, control >= 0 ? 2 : 1, kWaitSliceMs);
        if (n < 0 && errno != EINTR) return WaitResult::kClosed;
        if (n > 0 && fds[0].revents != 0) return WaitResult::kReady;
        if (n > 0 && control >= 0) {
            if (fds[1].revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL))
                return control_reply ? WaitResult::kControl : WaitResult::kClosed;
            if (fds[1].revents & POLLIN) return WaitResult::kControl;
        }
        const auto waited = std::chrono::steady_clock::now() - start;
        if (waited >= std::chrono::milliseconds(inactivity_ms_)) return WaitResult::kClosed;
    }
}

std::size_t FtpClient::Receive(Connection& c, std::uint8_t* into, std::size_t capacity) {
    if (abort_requested_) {
        abort_requested_ = false;
        return 0;
    }
    while (c.fd >= 0) {
        ssize_t n = ::recv(c.fd, into, capacity, 0);
        if (n > 0) return static_cast<std::size_t>(n);
        if (n == 0) return 0;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return 0;
        // A data connection ends with the control connection: a server that went away does
        // not keep it open.
        if (Wait(c.fd, POLLIN, &c != &control_) != WaitResult::kReady) return 0;
    }
    return 0;
}

int FtpClient::ReadByte(Connection& c) {
    if (c.position >= c.count) {
        c.count = Receive(c, c.buffer.data(), c.buffer.size());
        c.position = 0;
        c.end = c.count == 0;
        if (c.end) return -1;
    }
    return c.buffer[c.position++];
}

void FtpClient::FillLine(Connection& c) {
    c.line_count = 0;
    while (c.line_count < kLineSize) {
        int byte = ReadByte(c);
        if (byte < 0) break;
        c.line[c.line_count++] = static_cast<std::uint8_t>(byte);
        if (byte != '\r') continue;
        // A CR brings its follower along; the line is complete when that is LF. The buffer
        // has room for it even when the CR took the last regular place.
        int follower = ReadByte(c);
        if (follower < 0) break;
        c.line[c.line_count++] = static_cast<std::uint8_t>(follower);
        if (follower == '\n') break;
    }
    c.line_end = c.end;
}

FtpClient::TokenKind FtpClient::ReadToken() {
    if (control_.line_count == 0) {
        // The fill ended without data (an abort, for instance): the token comes from the next
        // line, if one comes.
        FillLine(control_);
        if (control_.line_count == 0) return TokenKind::kOther;
    }
    const std::uint8_t* line = control_.line.data();
    if (IsLetter(line[0])) return TokenKind::kWord;
    if (!IsDigit(line[0])) return TokenKind::kOther;
    TokenKind kind = TokenKind::kNumber;
    std::int64_t value = 0;
    for (std::size_t i = 0; i < control_.line_count; ++i) {
        std::uint8_t c = line[i];
        if (IsDigit(c)) {
            // A hostile run of digits saturates instead of overflowing (and is then negative).
            value = value * 10 + (c - '0');
            if (value > INT32_MAX) value = INT32_MAX;
        } else if (IsLetter(c) || c == '-' || c == '.') {
            kind = TokenKind::kWord;
        } else {
            break;
        }
    }
    token_value_ = static_cast<std::int32_t>(value);
    return kind;
}

FtpClient::TokenKind FtpClient::ReadReply() {
    FillLine(control_);
    TokenKind kind = ReadToken();
    if (OnReplyLine) OnReplyLine();
    // "123-" opens a reply of several lines; the line that starts with "123 " ends it.
    const std::uint8_t* line = control_.line.data();
    if (control_.line_count < 4 || !IsDigit(line[0]) || !IsDigit(line[1]) || !IsDigit(line[2]) ||
        line[3] != '-') {
        return kind;
    }
    const std::uint8_t code[3] = {line[0], line[1], line[2]};
    for (int lines = 1; lines < kMaxReplyLines; ++lines) {
        FillLine(control_);
        if (control_.line_count == 0) break;  // closed, aborted or silent
        if (OnReplyLine) OnReplyLine();
        if (control_.line_count >= 4 && std::memcmp(line, code, 3) == 0 && line[3] == ' ') break;
    }
    return kind;
}

bool FtpClient::FtpGetReply() {
    TokenKind kind = ReadReply();
    // 150 to 399 is positive, and so is 125 ("data connection already open, transfer
    // starting"), which servers that connect at PORT time send instead of 150.
    return kind != TokenKind::kOther &&
           ((token_value_ >= 150 && token_value_ <= 399) || token_value_ == 125);
}

bool FtpClient::FtpEndTransfer() {
    FtpCloseData();
    if (control_.fd < 0) return false;
    // The completion is a 2xx. A preliminary 1xx that comes first (a server that announces the
    // transfer twice) is passed over, a few times at most.
    for (int replies = 0; replies < 4; ++replies) {
        TokenKind kind = ReadReply();
        if (kind == TokenKind::kOther) return false;
        if (token_value_ >= 200 && token_value_ <= 299) return true;
        if (token_value_ < 100 || token_value_ > 199) return false;
    }
    return false;
}

std::size_t FtpClient::FtpSendLine(const std::string& name, const std::string& argument) {
    if (control_.fd < 0) return 0;
    std::string text = argument.empty() ? name : name + " " + argument;
    if (!CommandTextAllowed(text)) return 0;
    std::string line = text + "\r\n";
    std::size_t sent = 0;
    while (sent < line.size()) {
        ssize_t n = ::send(control_.fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) &&
            Wait(control_.fd, POLLOUT) == WaitResult::kReady) {
            continue;
        }
        return 0;
    }
    return sent;
}

bool FtpClient::FtpCommand(const std::string& line) {
    if (control_.fd < 0) return false;
    // A line refused before anything went out gets no reply: do not wait for one.
    if (!CommandTextAllowed(line)) return false;
    FtpSendLine(line, "");
    return FtpGetReply();
}

bool FtpClient::FtpLogin(const std::string& host, const std::string& user,
                         const std::string& password, std::uint16_t port) {
    FtpDisconnect();
    abort_requested_ = false;
    token_value_ = 0;
    std::uint32_t address = 0;
    if (!ResolveHost(host, address)) return false;
    int fd = NewStreamSocket();
    if (fd < 0) return false;
    control_.fd = fd;
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    remote.sin_addr.s_addr = address;
    bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == 0;
    if (!connected && errno == EINPROGRESS && Wait(fd, POLLOUT) == WaitResult::kReady) {
        int error = 0;
        socklen_t length = sizeof error;
        connected = ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    }
    if (!connected) {
        FtpDisconnect();
        return false;
    }
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    control_.Reset();
    bool ok = FtpGetReply();
    if (ok) ok = FtpSendLine("USER", user) > 0 && FtpGetReply();
    if (ok) ok = FtpSendLine("PASS", password) > 0 && FtpGetReply();
    if (!ok) FtpDisconnect();
    return ok;
}

std::string FtpClient::PortCommand(std::uint32_t address, std::uint16_t port) {
    return "PORT " + std::to_string((address >> 24) & 255) + "," +
           std::to_string((address >> 16) & 255) + "," + std::to_string((address >> 8) & 255) +
           "," + std::to_string(address & 255) + "," + std::to_string(port / 256) + "," +
           std::to_string(port % 256);
}

bool FtpClient::FtpOpenData() {
    abort_requested_ = false;
    FtpCloseData();
    if (control_.fd < 0) return false;
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(control_.fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        return false;
    }
    // Listen only where the server is told to connect, not on every interface.
    int fd = NewStreamSocket();
    if (fd < 0) return false;
    sockaddr_in bound = local;
    bound.sin_port = 0;
    length = sizeof bound;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&bound), sizeof bound) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0 ||
        ::listen(fd, 1) != 0) {
        ::close(fd);
        return false;
    }
    listen_fd_ = fd;
    data_port_ = ntohs(bound.sin_port);
    data_.Reset();
    FtpCommand(PortCommand(ntohl(local.sin_addr.s_addr), data_port_));
    return true;
}

bool FtpClient::FtpAcceptData() {
    data_.Close();
    // Every local user can connect to the announced port: only the server may deliver data.
    sockaddr_in server{};
    socklen_t server_length = sizeof server;
    const bool known =
        control_.fd >= 0 &&
        ::getpeername(control_.fd, reinterpret_cast<sockaddr*>(&server), &server_length) == 0 &&
        server.sin_family == AF_INET;
    // A reply already buffered (the server's 425, say) needs no wait: one look at the port
    // is all there is.
    bool last_look = control_.position < control_.count;
    while (listen_fd_ >= 0 && known) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        int fd = ::accept4(listen_fd_, reinterpret_cast<sockaddr*>(&peer), &length,
                           SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            if (peer.sin_family != AF_INET || peer.sin_addr.s_addr != server.sin_addr.s_addr) {
                ::close(fd);  // not the server: someone else trying to feed us data
                continue;
            }
            data_.fd = fd;
            break;
        }
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if ((errno != EAGAIN && errno != EWOULDBLOCK) || last_look) break;
        const WaitResult waited = Wait(listen_fd_, POLLIN, true, true);
        // A connection made before the reply came is still taken.
        if (waited == WaitResult::kControl)
            last_look = true;
        else if (waited != WaitResult::kReady)
            break;
    }
    if (listen_fd_ >= 0) ::close(listen_fd_);
    listen_fd_ = -1;
    // Without a connection the data stream is empty at once.
    if (data_.fd < 0) data_.end = true;
    return data_.fd >= 0;
}

bool FtpClient::FtpReadDataLine(std::string& line, std::size_t size) {
    FillLine(data_);
    if (data_.line_end) {
        line.clear();
        return false;
    }
    CopyLine(data_.line.data(), data_.line_count, size, line);
    return true;
}

bool FtpClient::FtpRetrieveToFile(const std::string& path) {
    byte_sum_ = 0;
    kv::platform::File file;
    if (!file.Create(path)) return false;
    return FtpRetrieve(file, UINT64_MAX) == Retrieval::kComplete;
}

Retrieval FtpClient::FtpRetrieve(platform::File& out, std::uint64_t limit) {
    return Retrieve(
        [&out](const std::uint8_t* bytes, std::size_t n) { return out.WriteAll(bytes, n); }, limit);
}

Retrieval FtpClient::FtpRetrieveToMemory(std::string& out, std::size_t limit) {
    out.clear();
    return Retrieve(
        [&out](const std::uint8_t* bytes, std::size_t n) {
            out.append(reinterpret_cast<const char*>(bytes), n);
            return true;
        },
        limit);
}

Retrieval FtpClient::Retrieve(const std::function<bool(const std::uint8_t*, std::size_t)>& write,
                              std::uint64_t limit) {
    byte_sum_ = 0;
    std::uint64_t total = 0;
    std::array<std::uint8_t, kReceiveSize> chunk{};
    while (!data_.end) {
        std::size_t n = 0;
        if (data_.position < data_.count) {
            // Bytes that a line read left in the buffer come first.
            n = data_.count - data_.position;
            std::memcpy(chunk.data(), data_.buffer.data() + data_.position, n);
            data_.position = data_.count;
        } else {
            n = Receive(data_, chunk.data(), chunk.size());
            data_.end = n == 0;
            if (n == 0) break;
        }
        // What really arrives counts, whatever the server announced.
        if (n > limit - total) return Retrieval::kOverLimit;
        total += n;
        if (OnProgress)
            OnProgress(static_cast<std::int32_t>(total > INT32_MAX ? INT32_MAX : total));
        // The sum describes what was written: a failed write is not counted.
        if (!write(chunk.data(), n)) return Retrieval::kCannotWrite;
        for (std::size_t i = 0; i < n; ++i) byte_sum_ += chunk[i];
    }
    return Retrieval::kComplete;
}

void FtpClient::FtpCloseData() {
    data_.Close();
    if (listen_fd_ >= 0) ::close(listen_fd_);
    listen_fd_ = -1;
}

bool FtpClient::FtpLastReplyLine(std::string& line, std::size_t size) const {
    if (control_.line_count == 0) {
        line.clear();
        return false;
    }
    CopyLine(control_.line.data(), control_.line_count, size, line);
    return true;
}

void FtpClient::FtpAbort() {
    abort_requested_ = true;
}

void FtpClient::FtpDisconnect() {
    FtpCloseData();
    control_.Close();
}

}  // namespace kv::update
