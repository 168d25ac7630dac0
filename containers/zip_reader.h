// ZIP archive reader: walks an archive's central directory member by member and decompresses
// the current member, either into a file that the caller opened or block by block into an
// output sink (the scanner matches program members that way, so they never touch the disk).
//
// Only what a scan and the signature update need is read: the end-of-central-directory record
// (found in the last 65,557 bytes, so any archive comment is allowed), the Zip64 end record
// when a locator precedes it, the central directory headers (sizes, offsets, lengths, flags,
// their Zip64 extra field) and the local headers (name, method, flags). The directory is walked
// by its offset and size; the entry count of the end record is only a hint (its 16 bits wrap
// above 65,535 entries), so the caller's own limit is the only bound on the number of members.
// Stored (0) and deflated (8) members can be extracted; Deflate is decoded with zlib's raw
// inflate over input chunks of at most 32768 bytes into a 32768-byte output window. Encrypted
// members are recognised and never extracted. CRC values, disk numbers and data descriptors are
// not looked at.
//
// Every offset and length read from the archive is checked against the file: a lying central
// directory, a broken local header, member data running past the end of the archive or a
// corrupt Deflate stream give one of the codes below, never a read outside the file, a crash
// or an endless loop. The sizes a header claims never decide alone: an extraction reads what
// the file really holds (at most the compressed size) and its byte limit counts the bytes
// really produced, so a member that claims 4 GiB but holds a few bytes is extracted whole. Member
// names are handed out exactly as stored; the reader never uses them as paths. Code that writes a
// member to disk under its own name must first check it with IsSafeMemberName().
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/files.h"

namespace kv::zip {

// ---- Walk status (ZipArchive::Status) ----
// A member is current: its name, method and sizes can be read and it can be extracted.
constexpr int kStatusMember = 0;
// The walk is over: the central directory ended (by its size, and no entry the end record
// counts is missing).
constexpr int kStatusEnd = 1;
// Not a readable archive: no end record in the last 65,557 bytes, a Zip64 end record that is
// needed but missing or broken, or a central directory header that is missing, has a wrong
// signature or lies outside the file. Later in the walk it ends the walk; the members visited
// before stay valid.
constexpr int kStatusNotArchive = -1;
// The file is shorter than 23 bytes (and is not an empty archive).
constexpr int kStatusTooShort = -2;
// The file cannot be opened.
constexpr int kStatusCannotOpen = -3;
// A well-formed archive without members: its end record announces an empty directory.
constexpr int kStatusEmpty = -4;

// ---- Results of ZipArchive::ExtractMember ----
constexpr int kExtractOk = 0;
// The member has at most one byte of data: nothing to match, the sink is not called (only
// the in-memory extraction gives this; a file extraction writes such members as they are).
constexpr int kExtractNothing = 1;
// No memory for the input buffer or the decoder.
constexpr int kExtractNoMemory = -4;
// The Deflate stream is corrupt (data error, bad code tables) or does not end within the
// member's compressed size.
constexpr int kExtractBadData = -5;
// The member's method (from its local header) is neither 0 (stored) nor 8 (deflated).
constexpr int kExtractBadMethod = -6;
// The member's output grew past the byte limit of the extraction (what its headers claim does
// not count); what was produced before stays in the file or went to the sink, so the caller
// must treat the output as incomplete.
constexpr int kExtractOverLimit = -7;
// The local header is missing or broken, or the member's data starts past the end of the
// archive, or the archive could not be read.
constexpr int kExtractBadMember = -8;
// Writing to the output file failed.
constexpr int kExtractWriteFailed = -9;
// The member decoded completely (every block went to the file or the sink, including the
// final one) but its length differs from the uncompressed size in the central directory, or
// its compressed size runs past the end of the file (the data was read up to that end).
// The output is whole as far as the data goes: a scanner may still scan it; an installer
// must refuse it.
constexpr int kExtractSizeMismatch = -10;
// The sink asked to stop before the end of the member.
constexpr int kExtractStopped = -11;
// No member is current (Status is not kStatusMember).
constexpr int kExtractNoMember = -12;
// The member is encrypted (general purpose flag bit 0 in its central or local header).
constexpr int kExtractEncrypted = -13;

// Default byte limits of one member's extraction (a user setting may raise them).
constexpr std::uint64_t kDefaultFileLimit = 256ull * 1024 * 1024;
constexpr std::uint64_t kDefaultMemoryLimit = 256ull * 1024 * 1024;

// The output window: decompressed data is collected here and handed on each time it fills
// and once at the end of the member. It is followed by kWindowSlack bytes that are always
// zero, so a matcher that reads a little beyond a block never leaves the buffer nor sees
// bytes of another member; bytes of the window beyond a short final block are zeroed too.
constexpr std::size_t kWindowSize = 32768;
constexpr std::size_t kWindowSlack = 4096;
// Compressed bytes are read in chunks of at most this size.
constexpr std::size_t kInputChunk = 32768;

// One block of a member's output, as it leaves the decoder.
struct OutputBlock {
    // Start of the output window; the new bytes are its first `count` bytes. The window holds
    // kWindowSize bytes followed by kWindowSlack zero bytes and lives as long as the archive
    // object. It is refilled after the sink returns. Sinks only read it: the zeros behind a
    // block must stay zeros.
    std::uint8_t* window = nullptr;
    std::size_t count = 0;
    // Offset of window[0] within the member's data.
    std::uint64_t offset = 0;
    // Bytes of the member produced so far, this block included (offset + count).
    std::uint64_t total = 0;
    // The member's uncompressed size as the central directory gives it.
    std::uint64_t declared_size = 0;
    // The member's first block (it may be empty for an empty member).
    bool first = false;
    // The member's last block: the stream ended. A member whose size is a multiple of
    // kWindowSize ends with a full block followed by a last block of 0 bytes.
    bool last = false;
};

// Receives the blocks of an in-memory extraction.
class MemberSink {
public:
    virtual ~MemberSink() = default;
    // Takes one block. Returns false to end the extraction now (ExtractMember then gives
    // kExtractStopped).
    virtual bool Consume(const OutputBlock& block) = 0;
};

// Told after each block went to its destination, in both kinds of extraction: the scanner
// draws its archive gauge with (done, total) and lets pending events run once, so the window
// stays responsive and a stop can be requested (the scan honours it between members).
class ExtractProgress {
public:
    virtual ~ExtractProgress() = default;
    // `done` bytes of `total` (the directory's uncompressed size) produced so far. `done` may
    // exceed `total` for a member whose directory entry lies.
    virtual void OnFlush(std::uint64_t done, std::uint64_t total) = 0;
};

// Whether a stored member name may be used as a path below a folder: not empty, relative (no
// leading '/'), no backslash, no drive prefix ("C:"), no NUL byte, and no "." or ".."
// component. Folder entries (ending in '/') pass; they name folders, not files.
bool IsSafeMemberName(std::string_view name);

// One open archive and its walk. Several may be open at once (nested archives); each owns
// its buffers. Move-only; the file is closed by Close() or the destructor.
class ZipArchive {
public:
    ZipArchive();
    ~ZipArchive();
    ZipArchive(const ZipArchive&) = delete;
    ZipArchive& operator=(const ZipArchive&) = delete;
    ZipArchive(ZipArchive&&) noexcept;
    ZipArchive& operator=(ZipArchive&&) noexcept;

    // Opens the archive and makes its first member current. Returns the new Status: 0 with a
    // member current, else a negative code (the file is then closed again).
    int Open(const std::string& path);
    // The same for a file the caller opened for reading, which the archive takes over.
    int Open(platform::File file);
    // Moves to the next member of the central directory. Returns the new Status: 0 with a
    // member current, 1 when the directory ended, -1 when the next central header is missing
    // or broken (within the directory's size, or before as many entries as the end record
    // counts were seen). Called when Status is already not 0, it gives 1: the walk is over
    // either way.
    int Next();
    // 0 while a member is current, 1 after the last, negative on failure (codes above).
    int Status() const { return status_; }
    // Closes the archive file; Status becomes 1 if it was 0.
    void Close();

    // ---- The current member ----
    // Its name as stored in its local header, cut at a NUL byte if it holds one; when the
    // local header is broken, the name from the central directory.
    const std::string& MemberName() const { return member_name_; }
    // Compression method from the local header (from the central header when the local one is
    // broken); 0 stored, 8 deflated, anything else cannot be extracted.
    std::uint16_t Method() const { return method_; }
    // Compression method and name as the central directory gives them.
    std::uint16_t CentralMethod() const { return central_method_; }
    const std::string& CentralName() const { return central_name_; }
    // Whether the local header was found and agrees with the central directory on the name
    // and the method. The scan extracts as the local header says; an installer may refuse a
    // member whose headers disagree.
    bool HeadersAgree() const { return headers_agree_; }
    // Whether the central or the local header marks the member as encrypted.
    bool Encrypted() const { return encrypted_; }
    // Sizes from the central directory (from its Zip64 extra field where the fixed fields are
    // saturated).
    std::uint64_t CompressedSize() const { return compressed_size_; }
    std::uint64_t UncompressedSize() const { return uncompressed_size_; }
    // File offsets of the current central header and of the member's data.
    std::int64_t DirectoryPos() const { return directory_pos_; }
    std::int64_t DataPos() const { return data_pos_; }
    // Central directory entries visited so far, the current one included.
    std::uint64_t EntriesVisited() const { return entries_visited_; }
    // Whether the directory was found through a Zip64 end record.
    bool IsZip64() const { return zip64_; }
    // The errno of the write that failed when an extraction gave kExtractWriteFailed.
    int WriteError() const { return write_error_; }
    // Bytes produced by the last extraction (the decoded length, also after an error).
    std::uint64_t OutputTotal() const { return output_total_; }
    // Archive file size.
    std::int64_t ArchiveSize() const { return file_size_; }

    // Decompresses the current member into `out`, writing at its current position (the caller
    // opens, positions and, when it reuses a file, truncates it). At most `limit` bytes are
    // written; a member whose output grows bigger gives kExtractOverLimit. Zero- and one-byte
    // members are written as they are. Returns kExtractOk or a negative code above.
    int ExtractMember(platform::File& out, std::uint64_t limit = kDefaultFileLimit,
                      ExtractProgress* progress = nullptr);
    // The same, writing from offset `at` of `out` on without using or moving its position.
    int ExtractMemberAt(platform::File& out, std::int64_t at,
                        std::uint64_t limit = kDefaultFileLimit,
                        ExtractProgress* progress = nullptr);
    // Decompresses the current member block by block into `sink`. At most `limit` bytes are
    // produced. Returns kExtractOk, kExtractNothing (at most one byte of data, sink not called)
    // or a negative code above.
    int ExtractMember(MemberSink& sink, std::uint64_t limit = kDefaultMemoryLimit,
                      ExtractProgress* progress = nullptr);

private:
    struct Buffers;
    // Finds the end record and, through it, the central directory. Returns kStatusMember when a
    // directory with entries was found (directory_pos_ at its start), else a negative Status.
    int FindDirectory();
    // Reads the end record `end` found at `end_pos` (and the Zip64 end record it leads to).
    // Returns kStatusMember when its directory starts with a central header, else kStatusEmpty
    // or kStatusNotArchive.
    int ReadEndRecord(const std::uint8_t* end, std::int64_t end_pos);
    // Reads the central header at directory_pos_ and the member's local header. Returns the
    // new Status.
    int ReadMember();
    // Takes the sizes and the local header offset that the Zip64 extra field of the current
    // central header gives for its saturated fixed fields.
    void ReadZip64Extra(const std::uint8_t* extra, std::size_t length, bool want_uncompressed,
                        bool want_compressed, bool want_offset, std::uint64_t& local_offset);
    bool ReadAt(std::int64_t pos, void* buffer, std::size_t count);
    // Runs one extraction: `sink` receives the blocks (the file writer or the caller's).
    int Extract(MemberSink& sink, std::uint64_t limit, ExtractProgress* progress, bool skip_tiny);

    platform::File file_;
    // Headers, names and small members come from memory: one read serves many.
    platform::ReadCache cache_;
    std::int64_t file_size_ = 0;
    int status_ = kStatusCannotOpen;
    // The directory's end (offset + size) and the entry count of the end record.
    std::int64_t directory_end_ = 0;
    std::uint64_t entries_hint_ = 0;
    std::uint64_t entries_visited_ = 0;
    bool zip64_ = false;
    std::int64_t directory_pos_ = 0;
    std::int64_t data_pos_ = 0;
    std::uint16_t method_ = 0;
    std::uint16_t central_method_ = 0;
    std::uint64_t compressed_size_ = 0;
    std::uint64_t uncompressed_size_ = 0;
    std::uint16_t central_name_len_ = 0;
    std::uint16_t central_extra_len_ = 0;
    std::uint16_t central_comment_len_ = 0;
    std::int64_t local_header_pos_ = 0;
    bool local_ok_ = false;
    bool headers_agree_ = false;
    bool encrypted_ = false;
    int write_error_ = 0;
    std::string member_name_;
    std::string central_name_;
    std::uint64_t output_total_ = 0;
    std::unique_ptr<Buffers> buffers_;
};

}  // namespace kv::zip
