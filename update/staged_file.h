// Files that land in the program folder whole or not at all. A download or an unpacked member
// is written into a new file under a hidden unique name in the folder of its target, created
// exclusively with mode 0600 (never an existing file, never through a link), and renamed over
// the target only when it is complete and checked. A running program can be replaced that way,
// and a failure leaves the old file as it was and no temporary file behind.
#pragma once

#include <string>

#include "platform/files.h"

namespace kv::update {

// An open folder; entries below it are reached through its descriptor, never through a link.
class Folder {
public:
    Folder() = default;
    ~Folder();
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;
    Folder(Folder&& other) noexcept;
    Folder& operator=(Folder&& other) noexcept;

    // Opens a folder by path (the program folder itself; links in it are resolved).
    bool Open(const std::string& path);
    // Opens the subfolder `name` of `parent`; a link there is refused.
    bool OpenBelow(const Folder& parent, const std::string& name);
    bool IsOpen() const { return fd_ >= 0; }
    int Descriptor() const { return fd_; }
    // The spelling of an existing entry that equals `name` ignoring ASCII case (an exact match
    // wins), or `name` itself when there is none.
    std::string Resolve(const std::string& name) const;

private:
    int fd_ = -1;
};

class StagedFile {
public:
    StagedFile() = default;
    ~StagedFile() { Discard(); }
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    // Creates the temporary file in `folder`, which must stay open until Commit or Discard.
    bool Create(const Folder& folder);
    platform::File& Handle() { return file_; }
    bool IsOpen() const { return file_.IsOpen(); }
    // Sets the final mode, flushes the file to disk and renames it over `name` in its folder.
    // A link at `name` is replaced itself, its target is not touched. The file stays open for
    // reading. False when any step fails; the temporary file is then deleted.
    bool Commit(const std::string& name, unsigned mode);
    // Deletes the temporary file (nothing after a Commit).
    void Discard();

private:
    int folder_fd_ = -1;
    std::string name_;  // the temporary name while not committed
    platform::File file_;
};

}  // namespace kv::update
