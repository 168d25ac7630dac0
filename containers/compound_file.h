// Minimal reader of OLE2 compound files: random access, for reading and for overwriting in
// place, to one stream, the Word document stream of a Word 6/95 document.
//
// The header is checked, the stream's directory entry is looked for among the first four
// entries of the first directory sector (an entry whose UTF-16LE name starts with "Word"),
// and the stream's sector chain is followed through the allocation table (FAT) once, when
// the file is opened. Only 512-byte sectors are supported, the mini stream is not used, and
// sectors are never allocated or freed: a write only overwrites bytes inside the existing
// chain and never changes the file's size.
//
// A chain that loops, runs into an allocation-table or directory sector, or points outside
// the file simply ends there: every read and write stays inside the file and inside the
// chain as far as it is sound, and no walk runs longer than the file has sectors. What the
// reader allocates is bounded by the header's table of allocation-table sectors (at most 109
// of them, describing 13952 sectors), never by the file's size, which a sparse file makes
// as large as it likes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/files.h"

namespace kv::ole {

// ---- Results of opening a document ----
// The stream was found (for a Word document: and its macro table was read).
constexpr int kDocOk = 0;
// The file cannot be opened.
constexpr int kDocCannotOpen = -1;
// Not such a document: not a compound file (shorter than 80 bytes, wrong signature, sectors
// other than 512 bytes), no Word stream among the first four directory entries, a stream that
// is not a Word 6/95 document, or a malformed macro table. Scanned as plain data.
constexpr int kDocNotWord = -2;
// A Word document without a usable macro table: nothing to scan.
constexpr int kDocNoMacros = -3;

enum class Access { kRead, kReadWrite };

constexpr std::size_t kSectorSize = 512;

class CompoundFile {
public:
    CompoundFile() = default;
    CompoundFile(const CompoundFile&) = delete;
    CompoundFile& operator=(const CompoundFile&) = delete;

    // Opens an existing file (read-write access never creates one), checks the header and
    // finds the Word stream. Returns kDocOk, kDocCannotOpen or kDocNotWord. Whatever the
    // result, Close() (or the destructor) closes the file.
    int Open(const std::string& path, Access access);
    // The same for a file the caller opened for reading, which the object takes over.
    int Open(platform::File file);
    void Close();
    bool IsOpen() const { return file_.IsOpen(); }

    // The stream's first sector, its chain (sector numbers in stream order) and the number
    // of stream bytes that the chain covers.
    std::uint32_t StreamStart() const { return stream_start_; }
    const std::vector<std::uint32_t>& Chain() const { return chain_; }
    std::uint64_t ChainBytes() const { return chain_.size() * kSectorSize; }
    // The stream bytes that can really be read from its start: the chain's bytes up to the
    // end of the first sector that the end of the file cuts short. Every length read from the
    // stream is bounded by it before anything is allocated for it.
    std::uint64_t StreamBytes() const { return stream_bytes_; }
    std::int64_t FileSize() const { return file_size_; }
    // Reads up to `count` bytes of the file at `offset`, through the same cache as the
    // stream: a file found not to be a Word document is searched as plain data without
    // being opened or read again. Returns the bytes read (0 at the end) or -1.
    long ReadFileAt(void* buffer, std::size_t count, std::int64_t offset);

    // File offset of a stream offset: the k-th sector of the chain plus the offset in it, for
    // stream offset 512 × k + r. -1 when the offset lies beyond the chain or the file.
    std::int64_t StreamToFileOffset(std::uint64_t stream_offset) const;

    // The stream position used by ReadStream and WriteStream; they advance it by the bytes
    // transferred.
    void SeekStream(std::uint64_t position) { position_ = position; }
    std::uint64_t StreamPosition() const { return position_; }
    // Transfer up to `length` bytes from the stream position, sector by sector along the
    // chain. They stop early at the end of the chain, at the end of the file or on an I/O
    // error, and return the bytes transferred; callers compare that with what they asked for.
    // WriteStream needs read-write access.
    std::size_t ReadStream(void* buffer, std::size_t length);
    std::size_t WriteStream(const void* buffer, std::size_t length);

private:
    // Reads (or writes) one piece that lies within one sector.
    std::size_t Transfer(std::uint8_t* read_to, const std::uint8_t* write_from, std::size_t length);
    void BuildChain(const std::vector<std::uint32_t>& fat_sectors, std::uint32_t dir_sector);
    // Checks the header and finds the Word stream of the file just opened.
    int ReadStructure();

    platform::File file_;
    // The header, the allocation table and the directory, and small streams, come from memory;
    // a write clears it.
    platform::ReadCache cache_;
    bool writable_ = false;
    std::int64_t file_size_ = 0;
    std::uint32_t stream_start_ = 0;
    std::vector<std::uint32_t> chain_;
    std::uint64_t stream_bytes_ = 0;
    std::uint64_t position_ = 0;
};

}  // namespace kv::ole
