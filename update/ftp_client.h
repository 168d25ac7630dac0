// A small FTP client for the online update: one control connection and active-mode data
// connections (the client listens on a port that the system picks and announces it with
// PORT; the server connects to it).
//
// Every socket is non-blocking. A call that has to wait polls its socket in short slices and
// calls OnIdle between them, so the window stays alive while the update runs. From inside
// OnIdle (or any other callback) the caller may call FtpAbort: the waiting call then ends as
// if the peer had closed, and the next receive on either connection returns nothing at once.
// No operation has a time limit; a peer that closes ends the wait, and so does the user.
//
// Replies are judged by the number at the start of their first line (150 to 399 is
// positive, and so is 125, "transfer starting"). After the judged line, every line that has already
// arrived is consumed too and passed to OnReplyLine; the first receive that would have to wait ends
// the reply. A line that arrives later (the completion reply of a transfer, for instance) is the
// first line of the next reply.
//
// Every line read from the server is bounded (1024 bytes; a longer line comes as several
// lines), every number is bounded, and the number of lines consumed after a judged line is
// bounded, so a hostile server cannot overflow, crash or trap the client in a loop.
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
// short: that is seen only through ByteSum and the length.
enum class Retrieval { kComplete, kCannotWrite, kOverLimit };

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
    // At most this many lines are consumed after a judged line before the reply ends anyway.
    static constexpr int kMaxDrainLines = 4096;
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

    // Reads and judges one reply, then consumes the lines that have already arrived. True =
    // positive (the first line's number is 150 to 399).
    bool FtpGetReply();

    // Sends `line` as a command and reads its reply. A line that could not be sent at all
    // gives false without waiting for a reply.
    bool FtpCommand(const std::string& line);

    // Opens a listening data socket on the control connection's local address and announces
    // it with PORT (the reply is read, its judgement not used). True when the socket listens.
    bool FtpOpenData();

    // Waits for the server's data connection (no time limit; FtpAbort or a closed control
    // connection end the wait). Always true: a failed accept leaves a data connection whose
    // first receive ends the data stream. Only a connection from the address that the control
    // connection is connected to is taken; any other is closed at once and the wait goes on.
    // The listening socket is closed as soon as a connection is taken, so no second one can
    // come in behind it.
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
    bool Draining() const { return draining_; }
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
    enum class WaitResult { kReady, kCancelled, kClosed };
    enum class TokenKind { kNumber, kWord, kOther };

    // Waits until `fd` is ready for `events`, calling OnIdle between slices. `drainable`:
    // a wait while Draining is set is cancelled at once (and clears Draining). `watch_fd`:
    // a connection whose hang-up also ends the wait (kClosed).
    WaitResult Wait(int fd, short events, bool drainable, int watch_fd = -1);
    // One receive of up to `capacity` bytes; 0 for none (closed, error, cancelled, aborted).
    std::size_t Receive(Connection& c, std::uint8_t* into, std::size_t capacity, bool drainable);
    // The next byte of a connection, or -1 at its end.
    int ReadByte(Connection& c, bool drainable);
    void FillLine(Connection& c, bool drainable);
    // The body of the retrievals: hands each chunk to `write` (false = write failed).
    Retrieval Retrieve(const std::function<bool(const std::uint8_t*, std::size_t)>& write,
                       std::uint64_t limit);
    // Classifies the first token of the control line; a number sets the token value.
    TokenKind ReadToken();

    Connection control_;
    Connection data_;
    int listen_fd_ = -1;
    std::uint16_t data_port_ = 0;
    std::int32_t token_value_ = 0;
    std::uint32_t byte_sum_ = 0;
    bool abort_requested_ = false;
    bool draining_ = false;
};

}  // namespace kv::update
