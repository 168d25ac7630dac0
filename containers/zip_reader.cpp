#include "containers/zip_reader.h"
#include "platform/byte_order.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

namespace kv::zip {

namespace {

constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::uint32_t kLocalSignature = 0x04034b50;
constexpr std::uint32_t kLocatorSignature = 0x07064b50;
constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
constexpr std::size_t kEndSize = 22;
constexpr std::size_t kCentralSize = 46;
constexpr std::size_t kLocalSize = 30;
constexpr std::size_t kLocatorSize = 20;
constexpr std::size_t kZip64EndSize = 56;
constexpr std::uint16_t kZip64ExtraId = 0x0001;
constexpr std::uint16_t kFlagEncrypted = 0x0001;
// The end record is looked for in the last kEndSearchFirst bytes of the file, then in the
// last kEndSearchSpan bytes: an end record and the longest comment it can announce.
constexpr std::size_t kEndSearchFirst = 2048;
constexpr std::size_t kEndSearchSpan = kEndSize + 65535;

// Writes every block of a member to an open file: at its position, or from offset `at` on.
class FileSink : public MemberSink {
public:
    explicit FileSink(platform::File& out, std::int64_t at = -1) : out_(out), at_(at) {}
    bool Consume(const OutputBlock& block) override {
        if (block.count == 0) return true;
        const bool written = at_ < 0
                                 ? out_.WriteAll(block.window, block.count)
                                 : out_.WriteAllAt(block.window, block.count,
                                                   at_ + static_cast<std::int64_t>(block.offset));
        if (!written) {
            failed_ = true;
            error_ = errno != 0 ? errno : EIO;
            return false;
        }
        return true;
    }
    bool Failed() const { return failed_; }
    int Error() const { return error_; }

private:
    platform::File& out_;
    std::int64_t at_;
    bool failed_ = false;
    int error_ = 0;
};

// Ends a raw inflate stream however the decoding loop is left.
class Inflater {
public:
    Inflater() { std::memset(&stream_, 0, sizeof stream_); }
    ~Inflater() {
        if (ready_) inflateEnd(&stream_);
    }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
    // Raw Deflate: no header, no checksum, 32 KiB window.
    int Init() {
        int ret = inflateInit2(&stream_, -MAX_WBITS);
        ready_ = ret == Z_OK;
        return ret;
    }
    z_stream& Stream() { return stream_; }

private:
    z_stream stream_;
    bool ready_ = false;
};

}  // namespace

bool IsSafeMemberName(std::string_view name) {
    if (name.empty() || name.front() == '/') return false;
    if (name.find('\\') != std::string_view::npos) return false;
    if (name.find('\0') != std::string_view::npos) return false;
    if (name.size() >= 2 && name[1] == ':') return false;
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = name.find('/', start);
        if (end == std::string_view::npos) end = name.size();
        std::string_view part = name.substr(start, end - start);
        if (part == "." || part == "..") return false;
        // An empty component ("a//b") is harmless on POSIX but only a trailing one is normal.
        if (part.empty() && end != name.size()) return false;
        start = end + 1;
    }
    return true;
}

// The input chunk buffer and the output window with its zeroed slack, allocated at the first
// extraction and kept for the archive's life. Window bytes from `dirty` on are all zero: a
// block hands on zeros behind itself without clearing the whole window each time.
struct ZipArchive::Buffers {
    std::unique_ptr<std::uint8_t[]> input;  // not cleared: only what was read is used
    std::vector<std::uint8_t> window;
    std::size_t dirty = 0;
};

ZipArchive::ZipArchive() = default;
ZipArchive::~ZipArchive() = default;
ZipArchive::ZipArchive(ZipArchive&&) noexcept = default;
ZipArchive& ZipArchive::operator=(ZipArchive&&) noexcept = default;

bool ZipArchive::ReadAt(std::int64_t pos, void* buffer, std::size_t count) {
    if (pos < 0 || pos > file_size_ || count > static_cast<std::uint64_t>(file_size_ - pos)) {
        return false;
    }
    if (count == 0) return true;
    return cache_.ReadAt(file_, file_size_, buffer, count, pos) == static_cast<long>(count);
}

int ZipArchive::Open(const std::string& path) {
    platform::File file;
    file.OpenRead(path);  // a file that did not open gives kStatusCannotOpen below
    return Open(std::move(file));
}

int ZipArchive::Open(platform::File file) {
    Close();
    member_name_.clear();
    central_name_.clear();
    output_total_ = 0;
    entries_hint_ = 0;
    entries_visited_ = 0;
    zip64_ = false;
    file_ = std::move(file);
    file_size_ = file_.KnownSize();
    if (file_size_ < 0) {
        file_.Close();
        return status_ = kStatusCannotOpen;
    }
    if (file_size_ < static_cast<std::int64_t>(kEndSize)) {
        file_.Close();
        return status_ = kStatusTooShort;
    }
    status_ = FindDirectory();
    // A 22-byte file is either an empty archive (a bare end record) or too short for one.
    if (file_size_ == static_cast<std::int64_t>(kEndSize) && status_ != kStatusEmpty) {
        status_ = kStatusTooShort;
    }
    if (status_ == kStatusMember) status_ = ReadMember();
    if (status_ != kStatusMember) file_.Close();
    return status_;
}

int ZipArchive::FindDirectory() {
    // The end record ends the file unless an archive comment (at most 65,535 bytes) follows
    // it. Candidates are tried from the end backwards; the first whose comment length reaches
    // exactly to the end of the file and whose directory starts with a central header is
    // taken: an end record inside the data of a stored member (a nested archive) or a
    // signature inside the comment does not fit so, and a forged empty end record at the very
    // end does not hide a real directory before it. Failing that, the first candidate that
    // fits decides (an empty archive, a broken one), and when none fits (a comment cut short,
    // bytes appended), the candidate nearest to the end. Most archives have no or a short
    // comment: the last 2048 bytes are searched first, the whole span only when no candidate
    // there leads to a directory.
    std::vector<std::uint8_t> tail;
    std::int64_t tail_pos = 0;
    std::int64_t fitting = -1;
    std::int64_t nearest = -1;
    for (std::size_t span_limit : {kEndSearchFirst, kEndSearchSpan}) {
        const std::size_t span = static_cast<std::size_t>(
            std::min<std::int64_t>(file_size_, static_cast<std::int64_t>(span_limit)));
        tail.resize(span);
        tail_pos = file_size_ - static_cast<std::int64_t>(span);
        if (!ReadAt(tail_pos, tail.data(), span)) return kStatusNotArchive;
        nearest = -1;
        fitting = -1;
        for (std::size_t i = span - kEndSize + 1; i-- > 0;) {
            if (platform::LoadLe32(&tail[i]) != kEndSignature) continue;
            if (nearest < 0) nearest = static_cast<std::int64_t>(i);
            if (std::size_t{platform::LoadLe16(&tail[i + 20])} != span - i - kEndSize) continue;
            if (fitting < 0) fitting = static_cast<std::int64_t>(i);
            if (ReadEndRecord(&tail[i], tail_pos + static_cast<std::int64_t>(i)) == kStatusMember) {
                return kStatusMember;
            }
        }
        if (span == static_cast<std::size_t>(file_size_)) break;
    }
    const std::int64_t found = fitting >= 0 ? fitting : nearest;
    if (found < 0) return kStatusNotArchive;
    return ReadEndRecord(&tail[static_cast<std::size_t>(found)], tail_pos + found);
}

int ZipArchive::ReadEndRecord(const std::uint8_t* end, std::int64_t end_pos) {
    zip64_ = false;
    std::uint64_t entries = std::max(platform::LoadLe16(end + 8), platform::LoadLe16(end + 10));
    std::uint64_t size = platform::LoadLe32(end + 12);
    std::uint64_t offset = platform::LoadLe32(end + 16);
    const bool saturated = platform::LoadLe16(end + 8) == 0xFFFF ||
                           platform::LoadLe16(end + 10) == 0xFFFF || size == 0xFFFFFFFF ||
                           offset == 0xFFFFFFFF;
    // The directory lies before the end record, or before the Zip64 end record.
    std::int64_t limit = end_pos;
    // A Zip64 locator right before the end record gives the Zip64 end record, which holds
    // the real entry count, size and offset of the directory.
    std::uint8_t locator[kLocatorSize];
    if (end_pos >= static_cast<std::int64_t>(kLocatorSize) &&
        ReadAt(end_pos - static_cast<std::int64_t>(kLocatorSize), locator, kLocatorSize) &&
        platform::LoadLe32(locator) == kLocatorSignature) {
        const std::uint64_t record_pos = platform::LoadLe64(locator + 8);
        const std::int64_t locator_pos = end_pos - static_cast<std::int64_t>(kLocatorSize);
        std::uint8_t record[kZip64EndSize];
        if (record_pos <= static_cast<std::uint64_t>(locator_pos) &&
            static_cast<std::uint64_t>(locator_pos) - record_pos >= kZip64EndSize &&
            ReadAt(static_cast<std::int64_t>(record_pos), record, kZip64EndSize) &&
            platform::LoadLe32(record) == kZip64EndSignature) {
            zip64_ = true;
            entries = std::max(platform::LoadLe64(record + 24), platform::LoadLe64(record + 32));
            size = platform::LoadLe64(record + 40);
            offset = platform::LoadLe64(record + 48);
            limit = static_cast<std::int64_t>(record_pos);
        } else if (saturated) {
            return kStatusNotArchive;
        }
    }
    if (offset > static_cast<std::uint64_t>(limit)) return kStatusNotArchive;
    if (size == 0 && entries == 0) return kStatusEmpty;
    directory_pos_ = static_cast<std::int64_t>(offset);
    // A size running past the end records is cut there; the walk also ends at the first
    // header without the central signature.
    directory_end_ = size > static_cast<std::uint64_t>(limit) - offset
                         ? limit
                         : directory_pos_ + static_cast<std::int64_t>(size);
    entries_hint_ = entries;
    std::uint8_t signature[4];
    if (!ReadAt(directory_pos_, signature, 4) ||
        platform::LoadLe32(signature) != kCentralSignature) {
        return kStatusNotArchive;
    }
    return kStatusMember;
}

void ZipArchive::ReadZip64Extra(const std::uint8_t* extra, std::size_t length,
                                bool want_uncompressed, bool want_compressed, bool want_offset,
                                std::uint64_t& local_offset) {
    std::size_t at = 0;
    while (length - at >= 4) {
        const std::uint16_t id = platform::LoadLe16(extra + at);
        const std::size_t block = platform::LoadLe16(extra + at + 2);
        at += 4;
        if (block > length - at) return;
        if (id == kZip64ExtraId) {
            // Only the saturated fields are present, in this order; a field the block is too
            // short for keeps its saturated value.
            const std::uint8_t* field = extra + at;
            std::size_t left = block;
            auto take = [&](bool wanted, std::uint64_t& value) {
                if (!wanted || left < 8) return;
                value = platform::LoadLe64(field);
                field += 8;
                left -= 8;
            };
            take(want_uncompressed, uncompressed_size_);
            take(want_compressed, compressed_size_);
            take(want_offset, local_offset);
            return;
        }
        at += block;
    }
}

int ZipArchive::ReadMember() {
    std::uint8_t central[kCentralSize];
    if (!ReadAt(directory_pos_, central, kCentralSize) ||
        platform::LoadLe32(central) != kCentralSignature) {
        return kStatusNotArchive;
    }
    const std::uint16_t central_flags = platform::LoadLe16(central + 8);
    central_method_ = platform::LoadLe16(central + 10);
    compressed_size_ = platform::LoadLe32(central + 20);
    uncompressed_size_ = platform::LoadLe32(central + 24);
    central_name_len_ = platform::LoadLe16(central + 28);
    central_extra_len_ = platform::LoadLe16(central + 30);
    central_comment_len_ = platform::LoadLe16(central + 32);
    std::uint64_t local_offset = platform::LoadLe32(central + 42);
    const std::int64_t name_pos = directory_pos_ + static_cast<std::int64_t>(kCentralSize);
    central_name_.assign(central_name_len_, '\0');
    if (!ReadAt(name_pos, central_name_.data(), central_name_len_)) return kStatusNotArchive;
    ++entries_visited_;

    const bool want_uncompressed = uncompressed_size_ == 0xFFFFFFFF;
    const bool want_compressed = compressed_size_ == 0xFFFFFFFF;
    const bool want_offset = local_offset == 0xFFFFFFFF;
    if ((want_uncompressed || want_compressed || want_offset) && central_extra_len_ > 0) {
        std::vector<std::uint8_t> extra(central_extra_len_);
        if (ReadAt(name_pos + central_name_len_, extra.data(), extra.size())) {
            ReadZip64Extra(extra.data(), extra.size(), want_uncompressed, want_compressed,
                           want_offset, local_offset);
        }
    }
    // An offset beyond the file is never reached.
    local_header_pos_ = local_offset > static_cast<std::uint64_t>(file_size_)
                            ? file_size_
                            : static_cast<std::int64_t>(local_offset);

    // Name and method come from the local header; when it is missing or runs off the file,
    // the member stays in the walk with the directory's name and cannot be extracted.
    local_ok_ = false;
    data_pos_ = 0;
    method_ = central_method_;
    member_name_ = central_name_;
    encrypted_ = (central_flags & kFlagEncrypted) != 0;
    std::uint8_t local[kLocalSize];
    if (ReadAt(local_header_pos_, local, kLocalSize) &&
        platform::LoadLe32(local) == kLocalSignature) {
        std::uint16_t name_len = platform::LoadLe16(local + 26);
        std::uint16_t extra_len = platform::LoadLe16(local + 28);
        std::string name(name_len, '\0');
        std::int64_t local_name_pos = local_header_pos_ + static_cast<std::int64_t>(kLocalSize);
        std::int64_t data_pos = local_name_pos + name_len + extra_len;
        if (data_pos <= file_size_ && ReadAt(local_name_pos, name.data(), name_len)) {
            local_ok_ = true;
            method_ = platform::LoadLe16(local + 8);
            member_name_ = std::move(name);
            data_pos_ = data_pos;
            if ((platform::LoadLe16(local + 6) & kFlagEncrypted) != 0) encrypted_ = true;
        }
    }
    headers_agree_ = local_ok_ && method_ == central_method_ && member_name_ == central_name_;
    // A stored name is a zero-terminated string to its users.
    std::size_t nul = member_name_.find('\0');
    if (nul != std::string::npos) member_name_.resize(nul);
    output_total_ = 0;
    return kStatusMember;
}

int ZipArchive::Next() {
    if (status_ != kStatusMember) return status_ = kStatusEnd;
    directory_pos_ += static_cast<std::int64_t>(kCentralSize) + central_name_len_ +
                      central_extra_len_ + central_comment_len_;
    // The directory's size ends the walk; an entry count beyond it asks for more headers,
    // which must then be there.
    if (directory_pos_ >= directory_end_ && entries_visited_ >= entries_hint_) {
        return status_ = kStatusEnd;
    }
    status_ = ReadMember();
    return status_;
}

void ZipArchive::Close() {
    file_.Close();
    cache_.Clear();
    if (status_ == kStatusMember) status_ = kStatusEnd;
}

int ZipArchive::ExtractMember(platform::File& out, std::uint64_t limit, ExtractProgress* progress) {
    FileSink sink(out);
    int result = Extract(sink, limit, progress, false);
    write_error_ = sink.Error();
    if (sink.Failed()) return kExtractWriteFailed;
    return result;
}

int ZipArchive::ExtractMemberAt(platform::File& out, std::int64_t at, std::uint64_t limit,
                                ExtractProgress* progress) {
    if (at < 0) return kExtractWriteFailed;
    FileSink sink(out, at);
    int result = Extract(sink, limit, progress, false);
    write_error_ = sink.Error();
    if (sink.Failed()) return kExtractWriteFailed;
    return result;
}

int ZipArchive::ExtractMember(MemberSink& sink, std::uint64_t limit, ExtractProgress* progress) {
    return Extract(sink, limit, progress, true);
}

int ZipArchive::Extract(MemberSink& sink, std::uint64_t limit, ExtractProgress* progress,
                        bool skip_tiny) {
    output_total_ = 0;
    if (status_ != kStatusMember || !file_.IsOpen()) return kExtractNoMember;
    if (!local_ok_) return kExtractBadMember;
    if (encrypted_) return kExtractEncrypted;
    if (method_ != 0 && method_ != 8) return kExtractBadMethod;
    if (data_pos_ < 0 || data_pos_ > file_size_) return kExtractBadMember;
    // The sizes in the headers decide nothing on their own: the input is what the file really
    // holds from the member's data on, cut at the compressed size, and the limit counts the
    // bytes really produced. A compressed size that runs past the end of the file is read up
    // to that end (a Deflate stream ends by itself); the member then counts as one whose
    // sizes lie.
    const std::uint64_t in_file = static_cast<std::uint64_t>(file_size_ - data_pos_);
    const bool input_cut = compressed_size_ > in_file;
    const std::uint64_t input_size = input_cut ? in_file : compressed_size_;
    if (skip_tiny && input_size <= 1) return kExtractNothing;

    if (!buffers_) {
        try {
            auto buffers = std::make_unique<Buffers>();
            buffers->input.reset(new std::uint8_t[kInputChunk]);
            buffers->window.assign(kWindowSize + kWindowSlack, 0);
            buffers_ = std::move(buffers);
        } catch (const std::bad_alloc&) {
            return kExtractNoMemory;
        }
    }
    std::uint8_t* window = buffers_->window.data();
    std::uint8_t* input = buffers_->input.get();
    std::size_t& dirty = buffers_->dirty;

    bool first = true;
    // Hands the first `count` bytes of the window on. Returns 0 or an extraction error.
    auto flush = [&](std::size_t count, bool last) -> int {
        if (output_total_ + count > limit) return kExtractOverLimit;
        // The decoder wrote the first `count` bytes; behind them, only what an earlier block
        // left is cleared.
        if (dirty > count) std::memset(window + count, 0, dirty - count);
        dirty = count;
        OutputBlock block;
        block.window = window;
        block.count = count;
        block.offset = output_total_;
        block.total = output_total_ + count;
        block.declared_size = uncompressed_size_;
        block.first = first;
        block.last = last;
        if (!sink.Consume(block)) return kExtractStopped;
        output_total_ += count;
        first = false;
        if (progress != nullptr) progress->OnFlush(output_total_, uncompressed_size_);
        return kExtractOk;
    };

    std::int64_t pos = data_pos_;
    std::uint64_t remaining = input_size;
    std::size_t filled = 0;

    if (method_ == 0) {
        // Stored: the member's bytes go straight into the window, cut at its compressed size.
        while (remaining > 0) {
            std::size_t n =
                static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kWindowSize - filled));
            if (!ReadAt(pos, window + filled, n)) return kExtractBadMember;
            pos += static_cast<std::int64_t>(n);
            remaining -= n;
            filled += n;
            dirty = std::max(dirty, filled);
            if (filled == kWindowSize) {
                if (int r = flush(filled, false); r != kExtractOk) return r;
                filled = 0;
            }
        }
        if (int r = flush(filled, true); r != kExtractOk) return r;
    } else {
        Inflater inflater;
        int init = inflater.Init();
        if (init != Z_OK) return init == Z_MEM_ERROR ? kExtractNoMemory : kExtractBadData;
        z_stream& zs = inflater.Stream();
        zs.avail_in = 0;
        for (;;) {
            if (zs.avail_in == 0 && remaining > 0) {
                std::size_t n =
                    static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kInputChunk));
                if (!ReadAt(pos, input, n)) return kExtractBadMember;
                pos += static_cast<std::int64_t>(n);
                remaining -= n;
                zs.next_in = input;
                zs.avail_in = static_cast<uInt>(n);
            }
            zs.next_out = window + filled;
            zs.avail_out = static_cast<uInt>(kWindowSize - filled);
            int ret = inflate(&zs, Z_NO_FLUSH);
            filled = kWindowSize - zs.avail_out;
            dirty = std::max(dirty, filled);
            if (ret == Z_STREAM_END) {
                // A stream that ends exactly on a full window hands on the full window and
                // then an empty last block.
                if (filled == kWindowSize) {
                    if (int r = flush(filled, false); r != kExtractOk) return r;
                    filled = 0;
                }
                if (int r = flush(filled, true); r != kExtractOk) return r;
                break;
            }
            if (ret == Z_MEM_ERROR) return kExtractNoMemory;
            // Z_BUF_ERROR here means the input ran out before the stream's end: the
            // compressed size (or the end of the file) cuts the stream short.
            if (ret != Z_OK) return kExtractBadData;
            if (filled == kWindowSize) {
                if (int r = flush(filled, false); r != kExtractOk) return r;
                filled = 0;
            }
            if (output_total_ + filled > limit) return kExtractOverLimit;
        }
    }
    return output_total_ == uncompressed_size_ && !input_cut ? kExtractOk : kExtractSizeMismatch;
}

}  // namespace kv::zip
