// Files, folders and the program folder: the small set of file services the engine,
// the readers and the tools need, on POSIX calls.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace kv::platform {

// The folder of the running executable (links resolved), always ending in '/'.
std::string ProgramFolder();

// Ensures a folder path ends in '/'.
std::string WithTrailingSlash(std::string path);

// Data files are named by the program with a fixed spelling, but the user's copy may differ in
// letter case. Returns folder + the name of an existing entry of `folder` that equals `name`
// ignoring ASCII case (an exact match wins); when none exists, folder + name as given, so a
// new file gets the caller's spelling. `folder` must end in '/'.
std::string ResolveCaseInsensitive(const std::string& folder, const std::string& name);
// The same within an open folder: the name of an entry of `folder_fd` that equals `name`
// ignoring ASCII case, or "" when there is none. The descriptor's position is not used.
std::string FindNameIgnoringCase(int folder_fd, const std::string& name);
// Whether `a` and `b` are equal ignoring ASCII letter case.
bool EqualsIgnoringCase(std::string_view a, std::string_view b);

// The temporary folder: $TMPDIR when set and non-empty, else /tmp; always ending in '/'.
std::string TempFolder();

// Whether `path` names the root of a mounted file system: "/" or a folder whose device
// differs from its parent's. Links in `path` are resolved.
bool IsMountRoot(const std::string& path);

// Whether `path` exists as a folder (links resolved).
bool IsFolder(const std::string& path);

// A file opened for reading (shared) or for reading and writing. Only regular files are
// opened: a FIFO, device or socket is refused without blocking. Closed by the destructor.
class File {
public:
    File() = default;
    ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;

    // Opens an existing regular file. `follow_links` false refuses a symbolic link.
    bool OpenRead(const std::string& path, bool follow_links = true);
    // The same for the entry `name` of the open folder `folder_fd` (a folder listing's), which
    // spares the system the walk along a whole path; a symbolic link is refused. The listing
    // already said the entry is a regular file, so the size is not asked for at the open but at
    // the first KnownSize() call, which also refuses the file if it was replaced by something
    // else meanwhile (until then, a FIFO reads as empty and a folder as an error).
    bool OpenReadIn(int folder_fd, const std::string& name);
    // Reads the first `size` bytes of another open file through that file's descriptor, which
    // stays the other's to close: a temporary file just written is scanned without opening it
    // again, and whatever lies behind `size` (an earlier, longer content) is never read.
    void Borrow(const File& other, std::int64_t size);
    bool OpenReadWrite(const std::string& path);
    // Creates or truncates a regular file (mode 0644 before umask).
    bool Create(const std::string& path);
    // Opens for writing, creating it when absent, positioned at the end.
    bool OpenAppend(const std::string& path);
    // Takes over an already open descriptor.
    void Adopt(int fd);

    bool IsOpen() const { return fd_ >= 0; }
    int Descriptor() const { return fd_; }
    // Reads up to `count` bytes, retrying on interruption; returns the bytes read, 0 at the
    // end of the file, -1 on an error.
    long Read(void* buffer, std::size_t count);
    // Reads until `count` bytes came or the file ended; returns the bytes read or -1.
    long ReadFull(void* buffer, std::size_t count);
    // Reads until `count` bytes came from `offset` on or the file ended, without using or
    // moving the file position; returns the bytes read or -1. A file whose size is known (see
    // OpenedSize) is taken to end there: nothing behind it is read, and no further read is
    // made to find the end; of any other file, a short read is its end.
    long ReadAt(void* buffer, std::size_t count, std::int64_t offset);
    // The size of a file opened for reading, as it was when it was opened; -1 otherwise (and
    // for OpenReadIn until KnownSize() was called).
    std::int64_t OpenedSize() const { return opened_size_; }
    // The size of a file opened for reading, found out once; -1 when that fails or the file
    // is not a regular file.
    std::int64_t KnownSize();
    // The device and inode of the open file: those of the status the open or KnownSize()
    // already asked for, else asked now. False when the file is not open or fstat fails.
    bool DeviceAndInode(std::uint64_t& device, std::uint64_t& inode);
    bool WriteAll(const void* buffer, std::size_t count);
    // Writes all of `buffer` at `offset`, without using or moving the file position.
    bool WriteAllAt(const void* buffer, std::size_t count, std::int64_t offset);
    bool Seek(std::int64_t offset);
    std::int64_t Position() const;
    std::int64_t Size() const;
    void Close();

private:
    int fd_ = -1;
    std::int64_t opened_size_ = -1;
    bool owned_ = true;        // false for a borrowed descriptor
    bool size_asked_ = false;  // KnownSize() has been called
    struct Identity {
        std::uint64_t device = 0;
        std::uint64_t inode = 0;
        bool known = false;
    };
    Identity identity_;
};

// Serves the small reads of a reader that jumps about a file (an archive's directory and
// local headers, a compound document's sectors) from memory, so that each costs no system
// call: a file of up to kWholeFile bytes is read whole at the first read; of a larger one, the
// kBlock bytes from each of the last two places read that were not in memory are kept. A read
// of kBlock bytes or more goes to the file. The cache knows nothing of writes: whoever writes
// the file calls Clear(). The file is passed to every read, so the owner may move both.
class ReadCache {
public:
    static constexpr std::size_t kWholeFile = 64 * 1024;
    static constexpr std::size_t kBlock = 16 * 1024;

    // Reads up to `count` bytes at `offset` of `file`, whose size is `size`; returns the bytes
    // read (fewer at the end of the file) or -1.
    long ReadAt(File& file, std::int64_t size, void* buffer, std::size_t count,
                std::int64_t offset);
    void Clear();

private:
    struct Slot {
        std::int64_t offset = -1;                // -1: empty
        std::unique_ptr<unsigned char[]> bytes;  // not cleared: only what was read is used
        std::size_t capacity = 0;
        std::size_t length = 0;
        unsigned used = 0;  // when the slot was last read, for choosing the one to refill
    };
    Slot slots_[2];
    unsigned clock_ = 0;
};

// The prefix of the program's temporary files.
inline constexpr char kTempFilePrefix[] = "ZIP";

// A unique temporary file created exclusively with mode 0600 in TempFolder(), its name
// starting with `prefix`. The destructor closes and deletes it unless Release() was called.
class TempFile {
public:
    explicit TempFile(const std::string& prefix = kTempFilePrefix);
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    bool IsOpen() const { return file_.IsOpen(); }
    const std::string& Path() const { return path_; }
    File& Handle() { return file_; }
    // Closes the descriptor but keeps the file until destruction.
    void CloseHandle() { file_.Close(); }
    // Deletes the file now.
    void Remove();

private:
    std::string path_;
    File file_;
};

// What a scan met on disk, kept so that a later action reaches the same file: the folder it
// was opened from (absolute, ending in '/', links resolved at the scan), its name in that
// folder, and its device and inode.
struct ScannedFile {
    std::string folder;
    std::string name;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
};

// Describes a file the scan has open, whose device and inode are given: opened as the entry
// `path`'s last component of the open folder `folder_fd` (the folder's path is what the
// system says of that open folder; `path` is the fallback), or, when `folder_fd` is negative,
// opened by `path` with links followed (the resolved path is kept). Only asked for files that
// are reported, never for every file of a walk.
ScannedFile DescribeScannedFile(int folder_fd, const std::string& path, std::uint64_t device,
                                std::uint64_t inode);

// Opens the folder `path` (absolute) so that no component of it is a symbolic link: each
// component is opened with O_NOFOLLOW in the one before it, from "/" on. A descriptor opened
// O_DIRECTORY (the caller closes it), or -1 with errno set (ELOOP or ENOTDIR for a link).
int OpenFolderNoFollow(const std::string& path);

// A name as reports, logs and messages show it: control characters (bytes below 0x20 and
// 0x7F, such as a line end that would forge a line of a log) become '?'.
std::string PrintableName(std::string name);

bool RemoveFile(const std::string& path);
bool FileExists(const std::string& path);

}  // namespace kv::platform
