// The FTP client against a scripted control-connection server (reply judgement, reply
// framing, transfer completion, hostile replies) and against a real FTP server on loopback
// (listing, retrieval, byte counts, a missing file, cancelling a transfer from the idle callback).
#include "update/ftp_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"
#include "tests/update/py_ftp_server.h"

namespace kv::update {
namespace {

using Clock = std::chrono::steady_clock;

// A control-connection server on 127.0.0.1 that plays a script to one client: send bytes,
// read one line (kept in Received()), pause, and finally close. Every wait is bounded.
class FakeServer {
public:
    struct Step {
        enum Kind { kSend, kRead, kPause, kData } kind;
        std::string text;
        int ms = 0;
    };
    static Step Send(std::string text) { return {Step::kSend, std::move(text)}; }
    static Step Read() { return {Step::kRead, ""}; }
    static Step Pause(int ms) { return {Step::kPause, "", ms}; }
    // Connects to the port of the last PORT line received, sends `text` there and closes.
    static Step Data(std::string text) { return {Step::kData, std::move(text)}; }

    explicit FakeServer(std::vector<Step> script) : script_(std::move(script)) {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listen_, 1);
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &length);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~FakeServer() {
        if (thread_.joinable()) thread_.join();
        ::close(listen_);
    }
    std::uint16_t Port() const { return port_; }
    // The lines the client sent; waits for the script to end.
    const std::vector<std::string>& Received() {
        if (thread_.joinable()) thread_.join();
        return received_;
    }

private:
    static bool WaitIn(int fd) {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, 5000) > 0;
    }
    void Run() {
        if (!WaitIn(listen_)) return;
        int fd = ::accept(listen_, nullptr, nullptr);
        if (fd < 0) return;
        for (const Step& step : script_) {
            if (step.kind == Step::kSend) {
                ::send(fd, step.text.data(), step.text.size(), MSG_NOSIGNAL);
            } else if (step.kind == Step::kPause) {
                std::this_thread::sleep_for(std::chrono::milliseconds(step.ms));
            } else if (step.kind == Step::kData) {
                unsigned a, b, c, d, p1 = 0, p2 = 0;
                auto port = std::find_if(received_.rbegin(), received_.rend(),
                                         [](auto& line) { return line.rfind("PORT ", 0) == 0; });
                if (port == received_.rend() || std::sscanf(port->c_str(), "PORT %u,%u,%u,%u,%u,%u",
                                                            &a, &b, &c, &d, &p1, &p2) != 6) {
                    continue;
                }
                int data = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                sockaddr_in to{};
                to.sin_family = AF_INET;
                to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                to.sin_port = htons(static_cast<std::uint16_t>(p1 * 256 + p2));
                if (::connect(data, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
                    ::send(data, step.text.data(), step.text.size(), MSG_NOSIGNAL);
                }
                ::close(data);
            } else {
                std::string line;
                char c = 0;
                while (WaitIn(fd) && ::recv(fd, &c, 1, 0) == 1) {
                    line += c;
                    if (c == '\n') break;
                }
                received_.push_back(line);
            }
        }
        ::close(fd);
    }
    std::vector<Step> script_;
    std::vector<std::string> received_;
    int listen_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
};

using S = FakeServer;

// Collects every reply line that the client passes on.
struct Transcript {
    std::vector<std::string> lines;
    void Attach(FtpClient& client) {
        client.OnReplyLine = [this, &client] {
            std::string line;
            if (client.FtpLastReplyLine(line, 2000)) lines.push_back(line);
        };
    }
};

TEST(FtpClient, JudgesRepliesByTheirFirstNumberAndReadsEachReplyWhole) {
    FakeServer server({S::Send("220-Welcome\r\n220-to the\r\n220 server\r\n"), S::Read(),
                       S::Send("331 user ok\r\n"), S::Read(), S::Send("230 in\r\n"), S::Read(),
                       S::Send("149 a\r\n"), S::Read(), S::Send("150 b\r\n"), S::Read(),
                       S::Send("Words judged by 150\r\n"), S::Read(), S::Send("399 c\r\n"),
                       S::Read(), S::Send("400 d\r\n"), S::Read(),
                       S::Send("words judged by 400\r\n"), S::Read(), S::Send("125 e\r\n"),
                       // A reply of several lines that comes in pieces is still one reply.
                       S::Read(), S::Send("200-first\r\n"), S::Pause(300), S::Send("200 rest\r\n"),
                       S::Read(), S::Send("500 own\r\n"), S::Read(),
                       // PORT is answered, then the server goes away.
                       S::Read(), S::Send("200 port\r\n")});
    FtpClient client;
    int idle = 0;
    client.OnIdle = [&] { ++idle; };
    Transcript t;
    t.Attach(client);
    ASSERT_TRUE(client.FtpLogin("127.0.0.1", "ftp", "tansy", server.Port()));
    EXPECT_EQ(t.lines, (std::vector<std::string>{"220-Welcome", "220-to the", "220 server",
                                                 "331 user ok", "230 in"}));
    EXPECT_GT(idle, 0);
    std::vector<bool> judged;
    for (const char* c : {"A", "B", "C", "D", "E", "F", "G"})
        judged.push_back(client.FtpCommand(c));
    EXPECT_EQ(judged, (std::vector<bool>{false, true, true, true, false, false, true}));
    EXPECT_TRUE(client.FtpCommand("NOOP"));
    EXPECT_EQ(t.lines.back(), "200 rest");
    EXPECT_FALSE(client.FtpCommand("NOOP"));  // judged by its own 500
    EXPECT_EQ(t.lines.back(), "500 own");
    // Lines that would overflow the buffer or smuggle in a command are not sent at all.
    EXPECT_EQ(client.FtpSendLine("RETR", std::string(134, 'x')), 0u);
    EXPECT_EQ(client.FtpSendLine("RETR", "a\r\nDELE b"), 0u);
    EXPECT_FALSE(client.FtpCommand("DELE b\r\nQUIT"));
    EXPECT_EQ(client.FtpSendLine("QUIT", ""), 6u);
    // A data connection that cannot come any more (the control connection closed) ends the
    // wait for it; its stream is then empty.
    ASSERT_TRUE(client.FtpOpenData());
    auto start = Clock::now();
    EXPECT_FALSE(client.FtpAcceptData());
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
    std::string line;
    EXPECT_FALSE(client.FtpReadDataLine(line));
    client.FtpCloseData();
    client.FtpDisconnect();
    const std::vector<std::string>& sent = server.Received();
    ASSERT_EQ(sent.size(), 13u);
    EXPECT_EQ(sent[0], "USER ftp\r\n");
    EXPECT_EQ(sent[1], "PASS tansy\r\n");
    EXPECT_EQ(sent[2], "A\r\n");
    EXPECT_EQ(sent[11], "QUIT\r\n");
    EXPECT_EQ(sent[12], FtpClient::PortCommand(0x7f000001, client.DataPort()) + "\r\n");

    EXPECT_EQ(FtpClient::PortCommand(0x7f000001, 1025), "PORT 127,0,0,1,4,1");
    EXPECT_EQ(FtpClient::PortCommand(0x0a000203, 200), "PORT 10,0,2,3,0,200");
}

// Hostile or broken servers: each login fails quickly, without a crash or a hang.
TEST(FtpClient, HostileRepliesEndTheLoginCleanly) {
    const std::vector<std::vector<S::Step>> scripts = {
        {S::Send(std::string(3000, '2') + "\r\n")},  // overlong line, an overlong number
        {S::Send("hello without a number\r\n")},
        {S::Send("220-one\r\n220-two\r\n")},  // a reply that never ends before the close
        {S::Send("220 ok\r\n"), S::Read(), S::Send("331-more\r\n331-")},
        {},  // closed without a word
    };
    for (std::size_t i = 0; i < scripts.size(); ++i) {
        SCOPED_TRACE(i);
        FakeServer server(scripts[i]);
        FtpClient client;  // no idle callback: replies must end without it
        Transcript t;
        t.Attach(client);
        auto start = Clock::now();
        EXPECT_FALSE(client.FtpLogin("127.0.0.1", "ftp", "tansy", server.Port()));
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
        EXPECT_FALSE(client.Connected());
        for (const auto& line : t.lines) EXPECT_LE(line.size(), FtpClient::kLineSize);
        if (i == 0) {
            ASSERT_FALSE(t.lines.empty());
            EXPECT_EQ(t.lines[0].size(), FtpClient::kLineSize);
        }
    }
    // Nothing listens on a port that was just released.
    const std::uint16_t port = kv::test::FreeLoopbackPort();
    FtpClient client;
    EXPECT_FALSE(client.FtpLogin("127.0.0.1", "ftp", "tansy", port));
    EXPECT_FALSE(client.FtpLogin("no-such-host.invalid", "ftp", "tansy", port));
}

// A transfer ends with its completion reply, so the next command is judged by its own reply;
// a server that cannot connect says so on the control connection, which ends the wait for the
// data connection; a silent server ends every wait after the inactivity time-out.
TEST(FtpClient, TransfersEndWithTheirCompletionReplyAndNoWaitIsEndless) {
    FakeServer server({S::Send("220 ok\r\n"), S::Read(), S::Send("331 ok\r\n"), S::Read(),
                       S::Send("230 ok\r\n"),
                       // LIST: the listing, then its completion after the data closed.
                       S::Read(), S::Send("200 port\r\n"), S::Read(), S::Send("150 here\r\n"),
                       S::Data("ztl\r\n"), S::Send("226-done\r\n226 really\r\n"), S::Read(),
                       S::Send("200 type\r\n"), S::Read(), S::Send("550 no ztl\r\n"),
                       // RETR accepted, but the server cannot connect.
                       S::Read(), S::Send("200 port\r\n"), S::Read(), S::Send("150 opening\r\n"),
                       S::Send("425 cannot open the data connection\r\n"),
                       // A command the server never answers.
                       S::Read(), S::Pause(1000)});
    FtpClient client;
    client.OnIdle = [] {};
    Transcript t;
    t.Attach(client);
    ASSERT_TRUE(client.FtpLogin("127.0.0.1", "ftp", "tansy", server.Port()));
    ASSERT_TRUE(client.FtpOpenData());
    ASSERT_TRUE(client.FtpCommand("LIST"));
    EXPECT_TRUE(client.FtpAcceptData());
    std::string line;
    EXPECT_TRUE(client.FtpReadDataLine(line));
    EXPECT_EQ(line, "ztl");
    EXPECT_FALSE(client.FtpReadDataLine(line));
    EXPECT_TRUE(client.FtpEndTransfer());
    EXPECT_EQ(t.lines.back(), "226 really");
    EXPECT_TRUE(client.FtpCommand("TYPE I"));
    EXPECT_FALSE(client.FtpCommand("RETR ztl"));

    ASSERT_TRUE(client.FtpOpenData());
    ASSERT_TRUE(client.FtpCommand("RETR upgrade.zip"));
    auto start = Clock::now();
    EXPECT_FALSE(client.FtpAcceptData());
    std::string got;
    EXPECT_EQ(client.FtpRetrieveToMemory(got, 100), Retrieval::kComplete);
    EXPECT_EQ(got, "");
    EXPECT_FALSE(client.FtpEndTransfer());
    EXPECT_EQ(t.lines.back(), "425 cannot open the data connection");
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));

    client.SetInactivityTimeout(200);
    start = Clock::now();
    EXPECT_FALSE(client.FtpCommand("NOOP"));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    client.FtpDisconnect();
}

TEST(FtpClient, DataLinesAreCutAtTheLineSizeAndAnUnendedLastLineIsDropped) {
    const std::string x1500(1500, 'x');
    FakeServer server({S::Send("220 ok\r\n"), S::Read(), S::Send("331 ok\r\n"), S::Read(),
                       S::Send("230 ok\r\n"), S::Read(), S::Send("200 port\r\n"),
                       S::Data("short\r\n" + x1500 + "\r\nno line end")});
    FtpClient client;
    ASSERT_TRUE(client.FtpLogin("127.0.0.1", "ftp", "tansy", server.Port()));
    ASSERT_TRUE(client.FtpOpenData());
    client.FtpAcceptData();
    std::vector<std::string> lines;
    std::string line;
    while (client.FtpReadDataLine(line, 2000)) lines.push_back(line);
    client.FtpCloseData();
    EXPECT_EQ(lines,
              (std::vector<std::string>{"short", x1500.substr(0, 1024), x1500.substr(1024)}));
}

using kv::test::PyFtpServer;

std::uint32_t Sum(const std::string& bytes) {
    std::uint32_t sum = 0;
    for (unsigned char c : bytes) sum += c;
    return sum;
}

TEST(FtpClientServer, ListsAndRetrievesFilesWithByteCounts) {
    kv::test::TempDir dir;
    std::string package;
    for (int i = 0; i < 30000; ++i) package += static_cast<char>(i * 7 + i / 256);
    kv::test::WriteFile(dir / "root/upgrade.zip", package);
    kv::test::WriteFile(dir / "root/ztl", "");
    PyFtpServer server(dir, dir / "root");
    ASSERT_NE(server.Port(), 0);

    FtpClient wrong;
    wrong.OnIdle = [] {};
    EXPECT_FALSE(wrong.FtpLogin("127.0.0.1", "ftp", "wrong", server.Port()));

    FtpClient client;
    client.OnIdle = [] {};
    Transcript t;
    t.Attach(client);
    ASSERT_TRUE(client.FtpLogin("localhost", "ftp", "tansy", server.Port()));
    EXPECT_TRUE(client.FtpCommand("CWD /"));

    // Before any transfer every reply is the command's own: a missing file is refused.
    ASSERT_TRUE(client.FtpOpenData());
    EXPECT_NE(client.DataPort(), 0);
    EXPECT_FALSE(client.FtpCommand("RETR missing.zip"));
    EXPECT_EQ(t.lines.back().substr(0, 3), "550");
    client.FtpCloseData();

    ASSERT_TRUE(client.FtpOpenData());
    client.FtpCommand("LIST");
    EXPECT_TRUE(client.FtpAcceptData());
    std::string listing, line;
    while (client.FtpReadDataLine(line)) listing += line + "\n";
    client.FtpCloseData();
    EXPECT_NE(listing.find("upgrade.zip"), std::string::npos) << listing;
    EXPECT_NE(listing.find("ztl"), std::string::npos);

    for (const char* name : {"upgrade.zip", "ztl"}) {
        SCOPED_TRACE(name);
        std::vector<std::int32_t> progress;
        client.OnProgress = [&](std::int32_t total) { progress.push_back(total); };
        ASSERT_TRUE(client.FtpOpenData());
        client.FtpCommand("TYPE I");
        client.FtpCommand(std::string("RETR ") + name);
        client.FtpAcceptData();
        EXPECT_TRUE(client.FtpRetrieveToFile(dir / "got"));
        client.FtpCloseData();
        const std::string expected = kv::test::ReadFile(dir / "root/" + name);
        EXPECT_EQ(kv::test::ReadFile(dir / "got"), expected);
        EXPECT_EQ(client.ByteSum(), Sum(expected));
        if (expected.empty()) {
            EXPECT_TRUE(progress.empty());
        } else {
            ASSERT_FALSE(progress.empty());
            EXPECT_EQ(progress.back(), static_cast<std::int32_t>(expected.size()));
        }
    }
    client.FtpResetCallbacks();
    EXPECT_FALSE(client.OnProgress);
    client.FtpCommand("QUIT");
    client.FtpDisconnect();
    EXPECT_FALSE(client.Connected());
}

TEST(FtpClientServer, AbortFromTheIdleCallbackEndsATransferAtWhatCame) {
    kv::test::TempDir dir;
    kv::test::WriteFile(dir / "root/big", std::string(4 << 20, 'k'));
    PyFtpServer server(dir, dir / "root", 512 * 1024);
    ASSERT_NE(server.Port(), 0);
    FtpClient client;
    std::int32_t received = 0;
    client.OnProgress = [&](std::int32_t total) { received = total; };
    client.OnIdle = [&] {
        if (received >= 64 * 1024) client.FtpAbort();
    };
    ASSERT_TRUE(client.FtpLogin("127.0.0.1", "ftp", "tansy", server.Port()));
    ASSERT_TRUE(client.FtpOpenData());
    client.FtpCommand("TYPE I");
    client.FtpCommand("RETR big");
    client.FtpAcceptData();
    auto start = Clock::now();
    EXPECT_TRUE(client.FtpRetrieveToFile(dir / "got"));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
    client.FtpCloseData();
    const std::string got = kv::test::ReadFile(dir / "got");
    EXPECT_GE(got.size(), 64u * 1024);
    EXPECT_LT(got.size(), 4u << 20);
    EXPECT_EQ(static_cast<std::size_t>(received), got.size());
    EXPECT_EQ(client.ByteSum(), Sum(got));
    // The abort stays pending until the next receive, which it ends at once.
    EXPECT_TRUE(client.AbortRequested());
    client.OnIdle = [] {};
    client.FtpCommand("QUIT");
    EXPECT_FALSE(client.AbortRequested());
    client.FtpDisconnect();
}

// Another local user who reaches the announced data port before the server, from another
// address, is turned away; the server's data still arrives, and the port closes once taken.
TEST(FtpClientServer, DataConnectionsFromAnotherAddressAreRefused) {
    kv::test::TempDir dir;
    kv::test::WriteFile(dir / "root/ztl", "the server's own bytes");
    PyFtpServer server(dir, dir / "root", 0, 300);
    ASSERT_NE(server.Port(), 0);
    FtpClient client;
    client.OnIdle = [] {};
    ASSERT_TRUE(client.FtpLogin("127.0.0.1", "ftp", "tansy", server.Port()));

    sockaddr_in port{};
    port.sin_family = AF_INET;
    port.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int hijacker = -1;
    // While the server still thinks about the PORT command, the other user connects.
    client.OnIdle = [&] {
        if (hijacker >= 0 || client.DataPort() == 0) return;
        port.sin_port = htons(client.DataPort());
        hijacker = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl(0x7f000002);  // 127.0.0.2, also the loopback device
        ASSERT_EQ(::bind(hijacker, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
        ASSERT_EQ(::connect(hijacker, reinterpret_cast<sockaddr*>(&port), sizeof port), 0);
        ::send(hijacker, "forged", 6, MSG_NOSIGNAL);
        ::shutdown(hijacker, SHUT_WR);
    };
    ASSERT_TRUE(client.FtpOpenData());
    ASSERT_GE(hijacker, 0);
    client.FtpCommand("TYPE I");
    client.FtpCommand("RETR ztl");
    client.FtpAcceptData();
    std::string got;
    EXPECT_EQ(client.FtpRetrieveToMemory(got, 1024), Retrieval::kComplete);
    EXPECT_EQ(got, "the server's own bytes");
    // The hijacker's connection was closed unread.
    char byte = 0;
    EXPECT_LE(::recv(hijacker, &byte, 1, 0), 0);
    ::close(hijacker);
    // Nobody can connect to the data port any more.
    int late = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_NE(::connect(late, reinterpret_cast<sockaddr*>(&port), sizeof port), 0);
    ::close(late);
    client.FtpCloseData();
    client.FtpDisconnect();
}

}  // namespace
}  // namespace kv::update
