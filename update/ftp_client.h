// A small FTP client for the online update: one control connection and active-mode data
// connections (the client listens on a port that the system picks and announces it with
// PORT; the server connects to it).
//
// Every socket is non-blocking. A call that has to wait polls its socket in short slices and
// calls OnIdle between them, so the window stays alive while the update runs. From inside
// OnIdle (or any other callback) the caller may call FtpAbort: the waiting call then ends as
// if the peer had closed, and the next receive on either connection returns nothing at once.
// A wait also ends when the control connection closes, and after an inactivity time-out
// (kDefaultInactivityMs without any byte or connection arriving): a server that goes silent
// cannot hold a run for ever.
//
// One reply is read per command: its first line, and when that starts with three digits and
// '-', every further line up to the one that starts with the same three digits and a blank.
// The reply is judged by the number at the start of its first line (150 to 399 is positive,
// and so is 125, "transfer starting"). After a transfer's data connection ends, its
// completion reply is read too (FtpEndTransfer), so every later reply belongs to its own
// command. While the client waits for a data connection it also watches the control
// connection: a reply there (the server could not connect, 425) ends that wait.
//
// Every line read from the server is bounded (1024 bytes; a longer line comes as several
// lines), every number is bounded, and a reply holds at most kMaxReplyLines lines, so a
// hostile server cannot overflow, crash or trap the client in a loop.
//
// Only FtpAbort may be called from inside the callbacks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace kv::platform {
class File;
}

namespace kv::update {

// How a retrieval ended. kComplete also covers a transfer that the peer or the user cut
// short: that is seen only through ByteSum and the length, and through the completion reply
// (FtpEndTransfer); kFailed is a transfer whose completion reply says it failed.
enum class Retrieval { kComplete, kCannotWrite, kOverLimit, kFailed };

// The update server: the local machine on the standard FTP port.
inline constexpr const char* kDefaultHost = "localhost";
inline constexpr std::uint16_t kDefaultPort = 21;

class FtpClient {
public:
    // Longest text of a command line: name, blank and argument (CR LF follows).
    static constexpr std::size_t kMaxCommandText = 138;
    // Receive buffer of one connection; every receive asks for at most this many bytes.
    static constexpr std::size_t kReceiveSize = 4095;
    // A line holds at most this many bytes (a CR in the last place brings its follower).
    static constexpr std::size_t kLineSize = 1024;
    // A reply of more lines ends after this many.
    static constexpr int kMaxReplyLines = 4096;
    // A wait that sees nothing arrive for this long ends as if the peer had closed.
    static constexpr int kDefaultInactivityMs = 60000;
    // Poll slice of a waiting socket call, in milliseconds.
    static constexpr int kWaitSliceMs = 20;

    // Called for every control line that FtpGetReply consumes.
    std::function<void()> OnReplyLine;
    // Called by FtpRetrieveToFile with the number of bytes received so far.
    std::function<void(std::int32_t)> OnProgress;
    // Called again and again while a socket call waits.
    std::function<void()> OnIdle;

    FtpClient() = default;
    ~FtpClient();
    FtpClient(const FtpClient&) = delete;
    FtpClient& operator=(const FtpClient&) = delete;

    // Clears OnReplyLine and OnProgress.
    void FtpResetCallbacks();

    // Connects to host:port (a dotted IPv4 address or a name), reads the greeting and logs in
    // with USER and PASS. True when all three replies are positive; on false the connection
    // is closed again. A previous connection is closed first.
    bool FtpLogin(const std::string& host, const std::string& user, const std::string& password,
                  std::uint16_t port = kDefaultPort);

    // Sends "name[ argument]\r\n" on the control connection. Returns the bytes sent, or 0
    // when the line was not sent whole: no connection, a send failure, a text longer than
    // kMaxCommandText, or a CR, LF or NUL inside (which would smuggle in another command).
    std::size_t FtpSendLine(const std::string& name, const std::string& argument);

    // Reads and judges one reply (all its lines). True = positive (the first line's number is
    // 150 to 399, or 125).
    bool FtpGetReply();

    // Sends `line` as a command and reads its reply. A line that could not be sent at all
    // gives false without waiting for a reply.
    bool FtpCommand(const std::string& line);

    // Opens a listening data socket on the control connection's local address and announces
    // it with PORT (the reply is read, its judgement not used). True when the socket listens.
    bool FtpOpenData();

    // Waits for the server's data connection. A reply on the control connection (the server
    // could not connect), a closed control connection, FtpAbort or the inactivity time-out end
    // the wait; the result is then false and the data stream is empty. Only a connection from the
    // address that the control connection is connected to is taken; any other is closed at once and
    // the wait goes on. The listening socket is closed as soon as a connection is taken, so no
    // second one can come in behind it.
    bool FtpAcceptData();

    // Reads the next line of the data connection into `line`, cut at its first CR and to at
    // most `size` characters. False at the end of the data (a last line without CR LF is
    // dropped).
    bool FtpReadDataLine(std::string& line, std::size_t size = 255);

    // Copies everything that the data connection delivers into a new file at `path`
    // (replacing any file there) and sets ByteSum. False when the file cannot be created (the
    // data connection is then not read) or a write fails (the transfer stops there). A short
    // or interrupted transfer is seen only through ByteSum and the file's length.
    bool FtpRetrieveToFile(const std::string& path);
    // Copies what the data connection delivers into `out` (at its position), at most `limit`
    // bytes, and sets ByteSum over what was written. A stream that goes on past `limit` ends
    // the transfer with kOverLimit; the bytes past the limit are not written.
    Retrieval FtpRetrieve(platform::File& out, std::uint64_t limit);
    // The same into memory: `out` holds what came.
    Retrieval FtpRetrieveToMemory(std::string& out, std::size_t limit);

    // Closes the data connection (and a listening socket).
    void FtpCloseData();
    // Ends a transfer that the server started (its LIST or RETR reply was positive): closes
    // the data connection and reads the completion reply. True when the server reports the
    // transfer complete (2xx); a 4xx or 5xx, a closed connection or silence mean the transfer
    // failed, whatever arrived.
    bool FtpEndTransfer();

    // Milliseconds a wait may see nothing arrive before it ends (at least 1).
    void SetInactivityTimeout(int ms) { inactivity_ms_ = ms > 0 ? ms : 1; }

    // The current control line, cut at its first CR and to at most `size` characters. False
    // when the line is empty.
    bool FtpLastReplyLine(std::string& line, std::size_t size = 255) const;

    // Requests an abort: a socket call that is waiting ends as if the peer had closed; the
    // next receive on either connection returns nothing at once and clears the request.
    void FtpAbort();

    // Closes every connection.
    void FtpDisconnect();

    // Sum modulo 2^32 of the values of all bytes that the last FtpRetrieveToFile wrote.
    std::uint32_t ByteSum() const { return byte_sum_; }
    bool AbortRequested() const { return abort_requested_; }
    bool Connected() const { return control_.fd >= 0; }
    // The port of the listening data socket of the last FtpOpenData (0 before).
    std::uint16_t DataPort() const { return data_port_; }

    // The PORT command text for an IPv4 address (host byte order) and a port.
    static std::string PortCommand(std::uint32_t address, std::uint16_t port);

private:
    struct Connection {
        int fd = -1;
        std::array<std::uint8_t, kReceiveSize> buffer{};
        std::size_t count = 0;     // bytes in buffer
        std::size_t position = 0;  // next byte to read
        bool end = false;          // the last receive gave nothing
        std::array<std::uint8_t, kLineSize + 1> line{};
        std::size_t line_count = 0;
        bool line_end = false;  // `end` as it stood after the last fill
        void Reset();
        void Close();
    };
    enum class WaitResult { kReady, kCancelled, kClosed, kControl };
    enum class TokenKind { kNumber, kWord, kOther };

    // Waits until `fd` is ready for `events`, calling OnIdle between slices. `watch_control`:
    // the control connection is watched too; its hang-up ends the wait (kClosed), and with
    // `control_reply` any byte arriving there ends it (kControl). The inactivity time-out ends
    // it as kClosed.
    WaitResult Wait(int fd, short events, bool watch_control = false, bool control_reply = false);
    // One receive of up to `capacity` bytes; 0 for none (closed, error, cancelled, aborted).
    std::size_t Receive(Connection& c, std::uint8_t* into, std::size_t capacity);
    // The next byte of a connection, or -1 at its end.
    int ReadByte(Connection& c);
    void FillLine(Connection& c);
    // The body of the retrievals: hands each chunk to `write` (false = write failed).
    Retrieval Retrieve(const std::function<bool(const std::uint8_t*, std::size_t)>& write,
                       std::uint64_t limit);
    // Classifies the first token of the control line; a number sets the token value.
    TokenKind ReadToken();
    // Reads one reply (all its lines, each passed to OnReplyLine); the kind of its first token.
    TokenKind ReadReply();

    Connection control_;
    Connection data_;
    int listen_fd_ = -1;
    std::uint16_t data_port_ = 0;
    std::int32_t token_value_ = 0;
    std::uint32_t byte_sum_ = 0;
    bool abort_requested_ = false;
    int inactivity_ms_ = kDefaultInactivityMs;
};

}  // namespace kv::update
