#include "containers/compound_file.h"
#include "platform/byte_order.h"

#include <algorithm>
#include <cstring>

namespace kv::ole {

namespace {

constexpr std::uint8_t kSignature[4] = {0xD0, 0xCF, 0x11, 0xE0};
constexpr std::size_t kHeaderMinimum = 80;
constexpr std::size_t kSectorShiftOffset = 0x1E;
constexpr std::size_t kFatCountOffset = 0x2C;
constexpr std::size_t kDirSectorOffset = 0x30;
constexpr std::size_t kFatTableOffset = 0x4C;
constexpr std::size_t kFatTableEntries = 109;
constexpr std::size_t kDirEntrySize = 128;
constexpr std::size_t kDirEntriesRead = 4;
constexpr std::size_t kEntryStartOffset = 0x74;
constexpr std::size_t kFatEntriesPerSector = kSectorSize / 4;
// The first seven bytes of the name "Word..." in UTF-16LE.
constexpr std::uint8_t kWordName[7] = {'W', 0, 'o', 0, 'r', 0, 'd'};

std::int64_t SectorPos(std::uint32_t sector) {
    return (static_cast<std::int64_t>(sector) + 1) * static_cast<std::int64_t>(kSectorSize);
}

}  // namespace

int CompoundFile::Open(const std::string& path, Access access) {
    Close();
    writable_ = access == Access::kReadWrite;
    bool opened = writable_ ? file_.OpenReadWrite(path) : file_.OpenRead(path);
    if (!opened) return kDocCannotOpen;
    file_size_ = file_.OpenedSize() >= 0 ? file_.OpenedSize() : file_.Size();
    return ReadStructure();
}

int CompoundFile::Open(platform::File file) {
    Close();
    writable_ = false;
    file_ = std::move(file);
    file_size_ = file_.KnownSize();
    if (file_size_ < 0) {
        file_.Close();
        file_size_ = 0;
        return kDocCannotOpen;
    }
    return ReadStructure();
}

long CompoundFile::ReadFileAt(void* buffer, std::size_t count, std::int64_t offset) {
    if (!file_.IsOpen()) return -1;
    return cache_.ReadAt(file_, file_size_, buffer, count, offset);
}

int CompoundFile::ReadStructure() {
    std::uint8_t header[kSectorSize] = {};
    long got = cache_.ReadAt(file_, file_size_, header, sizeof header, 0);
    if (got < static_cast<long>(kHeaderMinimum) || std::memcmp(header, kSignature, 4) != 0) {
        return kDocNotWord;
    }
    // Sector shift 9 = 512-byte sectors, the only size supported.
    if (header[kSectorShiftOffset] != 9 || header[kSectorShiftOffset + 1] != 0) return kDocNotWord;

    // Allocation-table sectors listed in the header (the header's table only).
    std::uint32_t fat_count = platform::LoadLe32(header + kFatCountOffset);
    std::vector<std::uint32_t> fat_sectors;
    for (std::size_t i = 0; i < kFatTableEntries && i < fat_count; ++i) {
        std::size_t at = kFatTableOffset + 4 * i;
        if (at + 4 > static_cast<std::size_t>(got)) break;
        fat_sectors.push_back(platform::LoadLe32(header + at));
    }

    // The Word stream's entry among the first four of the first directory sector.
    std::uint32_t dir_sector = platform::LoadLe32(header + kDirSectorOffset);
    std::uint8_t dir[kDirEntrySize * kDirEntriesRead] = {};
    std::int64_t dir_pos = SectorPos(dir_sector);
    long dir_got =
        dir_pos < file_size_ ? cache_.ReadAt(file_, file_size_, dir, sizeof dir, dir_pos) : -1;
    bool found = false;
    for (std::size_t i = 0; i < kDirEntriesRead; ++i) {
        if (static_cast<long>((i + 1) * kDirEntrySize) > dir_got) break;
        const std::uint8_t* entry = dir + i * kDirEntrySize;
        if (std::memcmp(entry, kWordName, sizeof kWordName) == 0) {
            stream_start_ = platform::LoadLe32(entry + kEntryStartOffset);
            found = true;
            break;
        }
    }
    if (!found) return kDocNotWord;
    BuildChain(fat_sectors, dir_sector);
    return kDocOk;
}

void CompoundFile::BuildChain(const std::vector<std::uint32_t>& fat_sectors,
                              std::uint32_t dir_sector) {
    chain_.clear();
    stream_bytes_ = 0;
    // Sectors whose start lies inside the file.
    std::uint64_t sectors_in_file = file_size_ > static_cast<std::int64_t>(kSectorSize)
                                        ? (static_cast<std::uint64_t>(file_size_) - 1) / kSectorSize
                                        : 0;
    // Only sectors that the listed allocation-table sectors describe can lead on in a chain,
    // so the marks cover those and no more: their count follows from the header, not from the
    // file's size (a sparse file may claim terabytes). A sector beyond them can only end a
    // chain.
    const std::uint64_t described = fat_sectors.size() * kFatEntriesPerSector;
    std::vector<bool> used(static_cast<std::size_t>(std::min(sectors_in_file, described)), false);
    // Neither allocation-table sectors nor the directory sector may be part of a stream:
    // writing the stream would then damage the file's structure.
    auto structural = [&](std::uint32_t s) {
        return s == dir_sector ||
               std::find(fat_sectors.begin(), fat_sectors.end(), s) != fat_sectors.end();
    };
    for (std::uint32_t s : fat_sectors) {
        if (s < used.size()) used[s] = true;
    }
    if (dir_sector < used.size()) used[dir_sector] = true;

    std::vector<std::vector<std::uint8_t>> fat_cache(fat_sectors.size());
    std::uint32_t sector = stream_start_;
    while (sector < sectors_in_file) {
        if (sector < used.size() ? used[sector] : structural(sector)) break;
        chain_.push_back(sector);
        if (sector >= used.size()) break;  // no allocation-table entry describes it
        used[sector] = true;
        std::size_t f = sector / kFatEntriesPerSector;
        if (f >= fat_sectors.size() || fat_sectors[f] >= sectors_in_file) break;
        std::vector<std::uint8_t>& fat = fat_cache[f];
        if (fat.empty()) {
            fat.assign(kSectorSize, 0);
            std::int64_t pos = SectorPos(fat_sectors[f]);
            long got = cache_.ReadAt(file_, file_size_, fat.data(), kSectorSize, pos);
            if (got < static_cast<long>(kSectorSize)) break;
        }
        sector = platform::LoadLe32(fat.data() + 4 * (sector % kFatEntriesPerSector));
    }
    // The bytes a read from the stream's start can deliver: whole sectors up to the first one
    // that the end of the file cuts short.
    for (std::uint32_t s : chain_) {
        const std::int64_t left = file_size_ - SectorPos(s);
        if (left < static_cast<std::int64_t>(kSectorSize)) {
            stream_bytes_ += static_cast<std::uint64_t>(std::max<std::int64_t>(left, 0));
            break;
        }
        stream_bytes_ += kSectorSize;
    }
}

void CompoundFile::Close() {
    file_.Close();
    cache_.Clear();
    chain_.clear();
    stream_bytes_ = 0;
    position_ = 0;
    stream_start_ = 0;
    file_size_ = 0;
}

std::int64_t CompoundFile::StreamToFileOffset(std::uint64_t stream_offset) const {
    std::uint64_t index = stream_offset / kSectorSize;
    if (index >= chain_.size()) return -1;
    std::int64_t pos =
        SectorPos(chain_[index]) + static_cast<std::int64_t>(stream_offset % kSectorSize);
    return pos < file_size_ ? pos : -1;
}

std::size_t CompoundFile::Transfer(std::uint8_t* read_to, const std::uint8_t* write_from,
                                   std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        std::int64_t pos = StreamToFileOffset(position_);
        if (pos < 0) break;
        // The rest of this sector and of the sectors that follow it in the file as they do
        // in the chain: one transfer.
        std::size_t index = static_cast<std::size_t>(position_ / kSectorSize);
        std::size_t run = kSectorSize - static_cast<std::size_t>(position_ % kSectorSize);
        while (run < length - done && index + 1 < chain_.size() &&
               chain_[index + 1] == chain_[index] + 1) {
            run += kSectorSize;
            ++index;
        }
        std::size_t n = std::min(length - done, run);
        // A short last sector: never read or write past the end of the file.
        n = static_cast<std::size_t>(
            std::min<std::int64_t>(static_cast<std::int64_t>(n), file_size_ - pos));
        if (read_to != nullptr) {
            long got = cache_.ReadAt(file_, file_size_, read_to + done, n, pos);
            if (got <= 0) break;
            done += static_cast<std::size_t>(got);
            position_ += static_cast<std::uint64_t>(got);
            if (static_cast<std::size_t>(got) < n) break;
        } else {
            cache_.Clear();
            if (!file_.Seek(pos) || !file_.WriteAll(write_from + done, n)) break;
            done += n;
            position_ += n;
        }
    }
    return done;
}

std::size_t CompoundFile::ReadStream(void* buffer, std::size_t length) {
    if (!file_.IsOpen()) return 0;
    return Transfer(static_cast<std::uint8_t*>(buffer), nullptr, length);
}

std::size_t CompoundFile::WriteStream(const void* buffer, std::size_t length) {
    if (!file_.IsOpen() || !writable_) return 0;
    return Transfer(nullptr, static_cast<const std::uint8_t*>(buffer), length);
}

}  // namespace kv::ole
