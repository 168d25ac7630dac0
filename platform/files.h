// Files, folders and the program folder: the small set of file services the engine,
// the readers and the tools need, on POSIX calls.
#pragma once

#include <cstdint>
#include <string>

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
    bool WriteAll(const void* buffer, std::size_t count);
    bool Seek(std::int64_t offset);
    std::int64_t Position() const;
    std::int64_t Size() const;
    void Close();

private:
    int fd_ = -1;
};

// A unique temporary file created exclusively with mode 0600 in TempFolder(), its name
// starting with `prefix`. The destructor closes and deletes it unless Release() was called.
class TempFile {
public:
    explicit TempFile(const std::string& prefix = "ZIP");
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

bool RemoveFile(const std::string& path);
bool FileExists(const std::string& path);

}  // namespace kv::platform
