// Tree scan benchmark: kestravo-scan against a floor program and against clamscan, on a
// reproducible generated tree, side by side, at one, two and ten times the base size.
//
//   tree_bench --bin FOLDER [--clamscan PATH] [--files N] [--scales 1,2,10] [--runs R]
//              [--clam-runs R] [--work FOLDER]
//
// FOLDER is the program folder of a build (kestravo-scan, kestravo-sigc, langua.ge). For each
// scale the tree of N x scale files is generated (fixed seed; the larger trees hold the
// smaller ones), the three programs scan it, and the tree is deleted again. The generation
// runs in a child process, so that the bench itself stays small: the peak memory of a program
// it starts includes what the bench held when it started it (as /usr/bin/time's does).
//
// The tree: folders of 50 files, 500 per top folder; 30 % EXE images and 10 % COM programs
// (sizes from 256 bytes to 32 KiB, one in a hundred up to 400 KiB), 10 % other program images
// (DLL, SYS, OVL), 4 % ZIP archives (programs, texts, sometimes a document or a nested archive
// inside), 4 % Word documents with macros, 2 % spreadsheets, 40 % files of other extensions.
// One file in 997 carries the anti-virus test string where both scanners look for it.
//
// The floor (`tree_bench --floor TREE`, run as a program of its own) walks the tree as the
// scanner walks it and reads the bytes the scanner reads, with no matching and as few system
// calls as it can: for a program file the 4000-byte block at its start, the block at the
// entry point and at leading jump targets as the scanner follows them, and the last 4000 bytes
// of the file (or EXE image) when the first block did not hold all of it; for an archive its
// directory, and every selected member inflated with zlib (program members into a 32 KiB
// window, nested archives and documents into memory, where a nested archive is walked in turn);
// a document is read whole. The scanner itself also writes nested archives and documents to
// temporary files and reads them back; the floor does not.
//
// clamscan gets a database of the same test signatures (`-d` on a small .ndb file; freshclam
// is never needed) and `-r -i --no-summary`, with the scanning of formats that Kestravo does not
// read (PDF, HTML, mail, ELF, ...) turned off. It reads every file whole, whatever its name.
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/containers/compound_builder.h"
#include "tests/containers/zip_builder.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// ---- Reproducible pseudo-random numbers ----

std::uint64_t Mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

class Random {
public:
    explicit Random(std::uint64_t seed) : state_(Mix(seed)) {}
    std::uint64_t Next() { return state_ = Mix(state_); }
    // 0 .. n-1
    std::size_t Below(std::size_t n) { return static_cast<std::size_t>(Next() % n); }
    // Log-uniform from `low` to `high`.
    std::size_t Size(std::size_t low, std::size_t high) {
        const double u = static_cast<double>(Next() >> 11) / 9007199254740992.0;
        return static_cast<std::size_t>(static_cast<double>(low) *
                                        std::pow(static_cast<double>(high) / low, u));
    }

private:
    std::uint64_t state_;
};

constexpr std::uint64_t kSeed = 20240611;

// The anti-virus test string, in pieces so that this file does not hold it whole.
std::string TestString() {
    return std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$") + "EICAR-STANDARD-ANTIVIRUS-" +
           "TEST-FILE!$H+H*";
}

// The test signatures, for Kestravo and as the equivalent clamscan database.
const char* const kKestravoSignatures =
    "EICAR-Test-File:exe+com:\"X5O!P%@AP[4\\\\PZX54(P^)7CC)7}$\" \"EICAR-STANDARD-ANTIVIRUS-\" "
    "\"TEST-FILE!$H+H*\"\n"
    "EICAR-Test-File:doc:\"X5O!P%@AP[4\\\\PZX54(P^)7CC)7}$\" \"EICAR-STANDARD-ANTIVIRUS-\" "
    "\"TEST-FILE!$H+H*\"\n"
    "Bench.Marker:exe+com:\"KV-BENCH-MARKER\"\n";

std::string Hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) {
        hex.push_back(kDigits[c >> 4]);
        hex.push_back(kDigits[c & 15]);
    }
    return hex;
}

std::string ClamSignatures() {
    return "Bench.TestString:0:*:" + Hex(TestString()) +
           "\nBench.Marker:0:*:" + Hex("KV-BENCH-MARKER") + "\n";
}

// ---- The tree ----

// Program-like bytes: common opcode bytes mixed with noise.
void FillCode(std::string& s, std::size_t from, Random& rng) {
    static const unsigned char kCommon[] = {0x00, 0x00, 0x00, 0xFF, 0x8B, 0x89, 0xE8, 0x55,
                                            0x48, 0x83, 0xC4, 0x5D, 0xC3, 0x74, 0x75, 0x0F};
    for (std::size_t i = from; i < s.size(); ++i) {
        const std::uint64_t r = rng.Next();
        s[i] = static_cast<char>((r & 1) ? kCommon[(r >> 8) & 15] : static_cast<unsigned>(r >> 16));
    }
}

std::size_t ProgramSize(Random& rng) {
    return rng.Below(100) == 0 ? rng.Size(64 << 10, 400 << 10) : rng.Size(256, 32 << 10);
}

// An EXE image of `size` bytes whose entry point lies a little way into its code; an infected
// one carries the test string at its entry point.
std::string Exe(std::size_t size, bool infected, Random& rng) {
    size = std::max<std::size_t>(size, 256);
    std::string s(size, '\0');
    FillCode(s, 64, rng);
    const std::size_t pages = (size + 511) / 512;
    const std::size_t ip = 16 + rng.Below(std::min<std::size_t>(size - 160, 2000));
    s[0] = 'M';
    s[1] = 'Z';
    s[2] = static_cast<char>(size % 512);
    s[3] = static_cast<char>((size % 512) >> 8);
    s[4] = static_cast<char>(pages & 0xFF);
    s[5] = static_cast<char>(pages >> 8);
    s[8] = 4;  // header paragraphs: code from 64
    s[20] = static_cast<char>(ip & 0xFF);
    s[21] = static_cast<char>(ip >> 8);
    for (std::size_t i = 22; i < 64; ++i) s[i] = 0;
    if (infected) s.replace(64 + ip, TestString().size(), TestString());
    return s;
}

// A COM program that starts with a near jump; an infected one carries the test string at the
// jump target.
std::string Com(std::size_t size, bool infected, Random& rng) {
    size = std::max<std::size_t>(size, 200);
    std::string s(size, '\0');
    FillCode(s, 3, rng);
    const std::size_t target = 3 + rng.Below(std::min<std::size_t>(size - 100, 3000));
    s[0] = '\xE9';
    s[1] = static_cast<char>((target - 3) & 0xFF);
    s[2] = static_cast<char>((target - 3) >> 8);
    if (infected) s.replace(target, TestString().size(), TestString());
    return s;
}

std::string Text(std::size_t size, Random& rng) {
    static const char* const kWords[] = {"the ", "scan ", "folder ",  "report ",
                                         "of ",  "and ",  "archive ", "signature ",
                                         "\n",   "data ", "file "};
    std::string s;
    while (s.size() < size) s += kWords[rng.Below(11)];
    s.resize(size);
    return s;
}

std::string Noise(std::size_t size, Random& rng) {
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; i += 8) {
        const std::uint64_t r = rng.Next();
        std::memcpy(&s[i], &r, std::min<std::size_t>(8, size - i));
    }
    return s;
}

std::string Document(bool infected, Random& rng) {
    kv::test::WordDocumentSpec spec;
    const std::size_t macros = 1 + rng.Below(3);
    for (std::size_t m = 0; m < macros; ++m) {
        std::string text = Text(200 + rng.Below(1500), rng);
        if (infected && m == macros - 1) text += TestString();
        spec.macros.push_back({"Macro" + std::to_string(m), text,
                               static_cast<std::uint8_t>(rng.Below(3) == 0 ? 0 : 0x5A)});
    }
    // An automatic macro, which alone would make the document suspicious, with the macro
    // that makes it harmless.
    if (rng.Below(2) == 0) {
        spec.macros.push_back({"AutoOpen", "REM", 0});
        spec.macros.push_back({"CleanAll", "REM", 0});
    }
    return kv::test::BuildWordDocument(spec);
}

std::string Archive(bool infected, int depth, Random& rng) {
    kv::test::ZipBuilder zip;
    const std::size_t members = 2 + rng.Below(12);
    for (std::size_t m = 0; m < members; ++m) {
        const std::string base = "member" + std::to_string(m);
        const std::size_t kind = rng.Below(20);
        const bool last = infected && m == members - 1;
        const std::uint16_t method = rng.Below(4) == 0 ? 0 : 8;
        if (kind < 8 || last) {
            zip.Add(base + ".exe", Exe(rng.Size(256, 24 << 10), last, rng), method);
        } else if (kind < 11) {
            zip.Add(base + ".com", Com(rng.Size(200, 8 << 10), false, rng), method);
        } else if (kind < 18) {
            zip.Add(base + ".txt", Text(rng.Size(100, 8 << 10), rng), method);
        } else if (kind == 18 && depth == 0) {
            zip.Add(base + ".zip", Archive(false, depth + 1, rng), 0);
        } else {
            zip.Add(base + ".doc", Document(false, rng), method);
        }
    }
    return zip.Build();
}

const char* const kOtherExtensions[] = {".txt", ".jpg", ".png", ".html", ".c",   ".h",
                                        ".pdf", ".mp3", "",     ".so",   ".log", ".cfg"};

struct TreeInfo {
    long files = 0;
    long infected = 0;
    long long bytes = 0;
};

// File `i` of every tree: the same bytes at the same place whatever the tree's size.
void WriteTreeFile(const std::string& root, long i, TreeInfo& info) {
    Random rng(kSeed ^ (static_cast<std::uint64_t>(i) * 0x100000001B3ull));
    const bool infected = i % 997 == 13;
    const std::size_t r = rng.Below(100);
    std::string name, data;
    if (r < 30) {
        name = ".exe";
        data = Exe(ProgramSize(rng), infected, rng);
    } else if (r < 40) {
        name = ".com";
        data = Com(std::min<std::size_t>(ProgramSize(rng), 60000), infected, rng);
    } else if (r < 50) {
        static const char* const kKinds[] = {".dll", ".dll", ".sys", ".ovl", ".dll"};
        name = kKinds[rng.Below(5)];
        data = Exe(ProgramSize(rng), infected, rng);
    } else if (r < 54) {
        name = ".zip";
        data = Archive(infected, 0, rng);
    } else if (r < 58) {
        name = ".doc";
        data = Document(infected, rng);
    } else if (r < 60) {
        name = ".xls";
        std::string sheet = Text(rng.Size(4096, 16 << 10), rng);
        if (infected) sheet += TestString();
        data = kv::test::BuildCompoundFile({{"Workbook", sheet}});
    } else {
        name = kOtherExtensions[rng.Below(12)];
        data = rng.Below(2) == 0 ? Text(rng.Size(100, 16 << 10), rng)
                                 : Noise(rng.Size(100, 16 << 10), rng);
        if (infected) data = Exe(4000, true, rng);  // a program under another name
    }
    char folder[64];
    std::snprintf(folder, sizeof folder, "d%04ld/s%02ld/", i / 500, (i / 50) % 10);
    const std::string dir = root + folder;
    if ((i % 50) == 0) fs::create_directories(dir);
    char file[32];
    std::snprintf(file, sizeof file, "f%07ld", i);
    const std::string path = dir + file + name;
    FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr || std::fwrite(data.data(), 1, data.size(), out) != data.size()) {
        std::fprintf(stderr, "tree_bench: cannot write %s\n", path.c_str());
        std::exit(1);
    }
    std::fclose(out);
    info.files += 1;
    info.bytes += static_cast<long long>(data.size());
    // Infected files that the scanners are meant to find (the program under another name is
    // read only by clamscan).
    if (infected && r < 60) info.infected += 1;
}

// ---- The floor ----

constexpr std::size_t kBlock = 4000;
constexpr std::size_t kWindow = 32768;

enum Kind { kSkip, kProgram, kArchive, kDocument };

Kind Classify(const char* name) {
    const char* dot = std::strrchr(name, '.');
    if (dot == nullptr || dot[1] == '\0' || std::strchr(dot, '/') != nullptr) return kSkip;
    char ext[4] = {0, 0, 0, 0};
    for (int i = 0; i < 3 && dot[1 + i] != '\0'; ++i)
        ext[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(dot[1 + i])));
    auto is = [&](const char* e) {
        for (int i = 0; i < 3; ++i)
            if (e[i] != '?' && e[i] != ext[i]) return false;
        return true;
    };
    if (is("COM") || is("EXE") || is("SYS") || is("OV?") || is("DLL")) return kProgram;
    if (is("DO?") || is("XLS")) return kDocument;
    if (is("ZIP")) return kArchive;
    return kSkip;
}

struct FloorStats {
    long files = 0;
    long long bytes = 0;
    long long inflated = 0;
};

std::uint16_t U16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t U32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0] | (p[1] << 8) | (p[2] << 16)) |
           (static_cast<std::uint32_t>(p[3]) << 24);
}

// Inflates raw Deflate data, into a 32 KiB window that is thrown away or into `keep`.
void Inflate(const unsigned char* data, std::size_t size, std::size_t expected, std::string* keep,
             FloorStats& stats) {
    static unsigned char window[kWindow];
    z_stream zs{};
    if (inflateInit2(&zs, -MAX_WBITS) != Z_OK) return;
    zs.next_in = const_cast<unsigned char*>(data);
    zs.avail_in = static_cast<uInt>(size);
    if (keep != nullptr) keep->reserve(expected);
    for (;;) {
        zs.next_out = window;
        zs.avail_out = kWindow;
        const int ret = inflate(&zs, Z_NO_FLUSH);
        const std::size_t got = kWindow - zs.avail_out;
        stats.inflated += static_cast<long long>(got);
        if (keep != nullptr) keep->append(reinterpret_cast<char*>(window), got);
        if (ret != Z_OK) break;
    }
    inflateEnd(&zs);
}

// Walks an archive held in memory.
void WalkArchive(const std::string& zip, FloorStats& stats);

// The members of an archive: `directory` is its central directory; `member` reads the bytes of
// a member's local header and data.
template <typename ReadAt>
void WalkMembers(const unsigned char* directory, std::size_t size, unsigned entries,
                 ReadAt&& read_at, FloorStats& stats) {
    std::size_t at = 0;
    for (unsigned e = 0; e < entries && at + 46 <= size; ++e) {
        const unsigned char* c = directory + at;
        if (U32(c) != 0x02014b50) break;
        const std::uint32_t packed = U32(c + 20), unpacked = U32(c + 24);
        const std::size_t name_len = U16(c + 28);
        const std::uint32_t local = U32(c + 42);
        const std::string name(reinterpret_cast<const char*>(c + 46),
                               std::min(name_len, size - std::min(size, at + 46)));
        at += 46 + name_len + U16(c + 30) + U16(c + 32);
        const Kind kind = Classify(name.c_str());
        if (kind == kSkip) continue;
        unsigned char header[30];
        if (!read_at(local, header, 30) || U32(header) != 0x04034b50) continue;
        const std::uint16_t method = U16(header + 8);
        const std::size_t data_at = local + 30 + U16(header + 26) + U16(header + 28);
        std::string data(packed, '\0');
        if (!read_at(data_at, reinterpret_cast<unsigned char*>(data.data()), packed)) continue;
        const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
        if (kind == kProgram) {
            if (method == 8) Inflate(bytes, packed, unpacked, nullptr, stats);
        } else {
            std::string member;
            if (method == 8) {
                Inflate(bytes, packed, unpacked, &member, stats);
            } else {
                member = std::move(data);
            }
            if (kind == kArchive) WalkArchive(member, stats);
        }
    }
}

// Finds the end record in the last 2048 bytes: (directory offset, entries), or entries 0.
std::pair<std::uint32_t, unsigned> EndRecord(const unsigned char* tail, std::size_t n) {
    for (std::size_t i = n >= 22 ? n - 22 + 1 : 0; i-- > 0;) {
        if (U32(tail + i) == 0x06054b50) return {U32(tail + i + 16), U16(tail + i + 8)};
    }
    return {0, 0};
}

void WalkArchive(const std::string& zip, FloorStats& stats) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(zip.data());
    const std::size_t span = std::min<std::size_t>(zip.size(), 2048);
    const auto [directory, entries] = EndRecord(bytes + zip.size() - span, span);
    if (entries == 0 || directory >= zip.size()) return;
    WalkMembers(
        bytes + directory, zip.size() - directory, entries,
        [&](std::size_t at, unsigned char* out, std::size_t n) {
            if (at > zip.size() || n > zip.size() - at) return false;
            std::memcpy(out, bytes + at, n);
            return true;
        },
        stats);
}

long ReadAt(int fd, void* buffer, std::size_t n, off_t at, FloorStats& stats) {
    const ssize_t got = ::pread(fd, buffer, n, at);
    if (got > 0) stats.bytes += got;
    return static_cast<long>(got);
}

void FloorArchive(int fd, FloorStats& stats) {
    struct stat st;
    if (::fstat(fd, &st) != 0 || st.st_size < 23) return;
    unsigned char tail[2048];
    const std::size_t span = std::min<std::size_t>(static_cast<std::size_t>(st.st_size), 2048);
    if (ReadAt(fd, tail, span, st.st_size - static_cast<off_t>(span), stats) !=
        static_cast<long>(span))
        return;
    const auto [directory, entries] = EndRecord(tail, span);
    if (entries == 0 || directory >= st.st_size) return;
    std::string central(static_cast<std::size_t>(st.st_size) - directory, '\0');
    if (ReadAt(fd, central.data(), central.size(), directory, stats) !=
        static_cast<long>(central.size()))
        return;
    WalkMembers(
        reinterpret_cast<const unsigned char*>(central.data()), central.size(), entries,
        [&](std::size_t at, unsigned char* out, std::size_t n) {
            return n == 0 ||
                   ReadAt(fd, out, n, static_cast<off_t>(at), stats) == static_cast<long>(n);
        },
        stats);
}

void FloorProgram(int fd, FloorStats& stats) {
    unsigned char block[kBlock];
    long n = ReadAt(fd, block, kBlock, 0, stats);
    if (n <= 0) return;
    bool complete = n < static_cast<long>(kBlock);
    const bool sfx = n >= 32 && block[30] == 'P' && block[31] == 'K';
    std::int64_t limit = -1;  // the file size unless an EXE header gives the image size
    std::size_t pos = 0;
    std::int64_t offset = 0;
    bool analyse = true;
    if (n >= 2 && ((block[0] == 'M' && block[1] == 'Z') || (block[0] == 'Z' && block[1] == 'M'))) {
        unsigned char h[28] = {};
        std::memcpy(h, block, std::min<long>(n, 28));
        const std::uint32_t ip = U16(h + 20);
        const std::int64_t entry =
            static_cast<std::int64_t>((U16(h + 8) + U16(h + 22) + ip / 16) & 0xFFFF) * 16 + ip % 16;
        limit = static_cast<std::int64_t>(U16(h + 4)) * 512;
        if (entry > limit) {
            analyse = false;
        } else if (limit > n) {
            const long m = ReadAt(fd, block, kBlock, entry, stats);
            if (m > 0) {
                n = m;
                offset = entry;
            } else {
                analyse = false;
            }
        } else {
            complete = true;
            pos = static_cast<std::size_t>(entry);
        }
    }
    for (int budget = 20; analyse && budget > 0; --budget) {
        const unsigned op = pos < static_cast<std::size_t>(n) ? block[pos] : 0;
        auto at = [&](std::size_t i) -> unsigned {
            return i < static_cast<std::size_t>(n) ? block[i] : 0;
        };
        std::int64_t target;
        if (op == 0xE9 || op == 0xE8) {
            const std::uint16_t d = static_cast<std::uint16_t>(at(pos + 1) | (at(pos + 2) << 8));
            if (d == 0 || !complete) break;
            target = offset + static_cast<std::int64_t>(pos) +
                     static_cast<std::int16_t>(static_cast<std::uint16_t>(d + 3));
        } else if (op == 0xEA) {
            target = static_cast<std::uint32_t>(
                (at(pos + 1) | (at(pos + 2) << 8) | (at(pos + 3) << 16) | (at(pos + 4) << 24)) + 5);
        } else if (op == 0x4D) {
            ++pos;
            continue;
        } else {
            break;
        }
        const long m = target >= 0 ? ReadAt(fd, block, kBlock, target, stats) : -1;
        if (m <= 0) {
            complete = true;
            break;
        }
        n = m;
        offset = target;
        pos = 0;
    }
    if (!complete) {
        if (limit < 0) {
            struct stat st;
            limit = ::fstat(fd, &st) == 0 ? st.st_size : 0;
        }
        if (limit >= static_cast<std::int64_t>(kBlock))
            ReadAt(fd, block, kBlock, limit - static_cast<off_t>(kBlock), stats);
    }
    if (sfx) FloorArchive(fd, stats);
}

void FloorDocument(int fd, FloorStats& stats) {
    struct stat st;
    if (::fstat(fd, &st) != 0 || st.st_size <= 0) return;
    std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
    ReadAt(fd, bytes.data(), bytes.size(), 0, stats);
}

void FloorWalk(int dir_fd, FloorStats& stats) {
    DIR* dir = ::fdopendir(dir_fd);
    if (dir == nullptr) {
        ::close(dir_fd);
        return;
    }
    while (dirent* e = ::readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        unsigned char type = e->d_type;
        if (type == DT_UNKNOWN) {
            struct stat st;
            if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
            type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
        }
        if (type == DT_DIR) {
            const int sub = ::openat(::dirfd(dir), e->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (sub >= 0) FloorWalk(sub, stats);
            continue;
        }
        if (type != DT_REG) continue;
        stats.files += 1;
        const Kind kind = Classify(e->d_name);
        if (kind == kSkip) continue;
        const int fd = ::openat(::dirfd(dir), e->d_name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) continue;
        if (kind == kProgram) FloorProgram(fd, stats);
        if (kind == kArchive) FloorArchive(fd, stats);
        if (kind == kDocument) FloorDocument(fd, stats);
        ::close(fd);
    }
    ::closedir(dir);
}

int Floor(const std::string& tree) {
    FloorStats stats;
    const int fd = ::open(tree.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "tree_bench: cannot open %s\n", tree.c_str());
        return 2;
    }
    FloorWalk(fd, stats);
    std::printf("%lld bytes read, %lld inflated", stats.bytes, stats.inflated);
    return 0;
}

// ---- Runs ----

struct Run {
    double seconds = 0;
    long peak_kib = 0;
    int exit_code = -1;
    std::string out;
};

// Runs `argv` with its standard output in `out_file` (standard error to the bench's own).
Run Measure(const std::vector<std::string>& argv, const std::string& out_file) {
    Run run;
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int out = ::open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int in = ::open("/dev/null", O_RDONLY);
        if (out < 0 || in < 0) ::_exit(126);
        ::dup2(in, 0);
        ::dup2(out, 1);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    int status = 0;
    struct rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.peak_kib = usage.ru_maxrss;
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (FILE* f = std::fopen(out_file.c_str(), "rb")) {
        char buffer[65536];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) run.out.append(buffer, n);
        std::fclose(f);
    }
    return run;
}

// The median run by time.
Run Median(std::vector<Run> runs) {
    std::sort(runs.begin(), runs.end(),
              [](const Run& a, const Run& b) { return a.seconds < b.seconds; });
    return runs[runs.size() / 2];
}

int CountLines(const std::string& out, const std::string& part) {
    int n = 0;
    std::size_t start = 0;
    while (start < out.size()) {
        std::size_t end = out.find('\n', start);
        if (end == std::string::npos) end = out.size();
        if (out.compare(start, end - start, part) != 0 &&
            out.substr(start, end - start).find(part) != std::string::npos)
            ++n;
        start = end + 1;
    }
    return n;
}

// Files of the tree that kestravo-scan reported: lines that name a path of the tree (archive
// members are named by their member name, and their archive by its own line).
int KestravoFindings(const std::string& out, const std::string& tree) {
    int n = 0;
    std::size_t start = 0;
    while (start < out.size()) {
        std::size_t end = out.find('\n', start);
        if (end == std::string::npos) end = out.size();
        const std::string line = out.substr(start, end - start);
        if (line.rfind(tree, 0) == 0 && line.find("-->") == std::string::npos) ++n;
        start = end + 1;
    }
    return n;
}

bool WriteText(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

std::vector<int> ParseScales(const std::string& text) {
    std::vector<int> scales;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        const int s = std::atoi(text.substr(start, comma - start).c_str());
        if (s > 0) scales.push_back(s);
        start = comma + 1;
    }
    return scales;
}

void Usage() {
    std::fputs(
        "usage: tree_bench --bin FOLDER [--clamscan PATH] [--files N] [--scales 1,2,10]\n"
        "                  [--runs R] [--clam-runs R] [--work FOLDER]\n"
        "       tree_bench --floor TREE\n"
        "       tree_bench --generate TREE N      (the tree alone, to be scanned by hand)\n",
        stderr);
}

std::string kv_bench_slash(std::string path) {
    if (path.empty() || path.back() != '/') path += '/';
    return path;
}

std::string SelfPath() {
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : "tree_bench";
}

std::string CpuModel() {
    std::string model = "?";
    if (FILE* f = std::fopen("/proc/cpuinfo", "r")) {
        char line[512];
        while (std::fgets(line, sizeof line, f) != nullptr) {
            if (std::strncmp(line, "model name", 10) == 0) {
                const char* colon = std::strchr(line, ':');
                model = colon != nullptr ? colon + 2 : line;
                if (!model.empty() && model.back() == '\n') model.pop_back();
                break;
            }
        }
        std::fclose(f);
    }
    return model;
}

// Generates the tree of `n` files in a child process; false when that failed.
bool Generate(const std::string& tree, long n, TreeInfo& info) {
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) return false;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipe_fds[0]);
        TreeInfo made;
        for (long f = 0; f < n; ++f) WriteTreeFile(tree, f, made);
        const bool ok = ::write(pipe_fds[1], &made, sizeof made) == sizeof made;
        ::_exit(ok ? 0 : 1);
    }
    ::close(pipe_fds[1]);
    const bool got = ::read(pipe_fds[0], &info, sizeof info) == sizeof info;
    ::close(pipe_fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return got && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

long long DiskUse(const std::string& tree) {
    long long bytes = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(tree, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        struct stat st;
        if (::lstat(it->path().c_str(), &st) == 0)
            bytes += static_cast<long long>(st.st_blocks) * 512;
    }
    return bytes;
}

double MiB(double kib_or_bytes, bool bytes = false) {
    return bytes ? kib_or_bytes / (1024.0 * 1024.0) : kib_or_bytes / 1024.0;
}

struct Row {
    int scale = 0;
    long files = 0;
    Run floor, kestravo, clam;
    bool has_clam = false;
};

void PrintRun(const char* program, long files, const Run& run, const Run& floor,
              const char* found) {
    std::printf("  %-14s %9.3f %11.0f %9.1f %9.2f   %s\n", program, run.seconds,
                static_cast<double>(files) / run.seconds, MiB(static_cast<double>(run.peak_kib)),
                run.seconds / floor.seconds, found);
}

}  // namespace

int main(int argc, char** argv) {
    std::string bin, clamscan, work = "/tmp";
    if (const char* tmp = std::getenv("TMPDIR"); tmp != nullptr && tmp[0] != '\0') work = tmp;
    long files = 20000;
    int runs = 3, clam_runs = 1;
    std::vector<int> scales = {1, 2, 10};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                Usage();
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--floor" && argc == 3) return Floor(argv[2]);
        if (arg == "--generate" && argc == 4) {
            TreeInfo info;
            if (!Generate(kv_bench_slash(argv[2]), std::atol(argv[3]), info)) return 2;
            std::printf("%ld files, %ld infected\n", info.files, info.infected);
            return 0;
        }
        if (arg == "--bin") {
            bin = value();
        } else if (arg == "--clamscan") {
            clamscan = value();
        } else if (arg == "--files") {
            files = std::atol(value().c_str());
        } else if (arg == "--scales") {
            scales = ParseScales(value());
        } else if (arg == "--runs") {
            runs = std::max(1, std::atoi(value().c_str()));
        } else if (arg == "--clam-runs") {
            clam_runs = std::max(1, std::atoi(value().c_str()));
        } else if (arg == "--work") {
            work = value();
        } else {
            Usage();
            return 2;
        }
    }
    if (bin.empty() || files < 1 || scales.empty()) {
        Usage();
        return 2;
    }
    if (bin.back() != '/') bin += '/';
    const std::string scanner = bin + "kestravo-scan";
    const std::string self = SelfPath();

    std::string pattern = work + "/kvtreebench.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::fprintf(stderr, "tree_bench: cannot make a folder in %s\n", work.c_str());
        return 2;
    }
    const std::string dir = pattern + "/";
    const std::string tree = dir + "tree/";
    if (!WriteText(dir + "bench.sig", kKestravoSignatures) ||
        !WriteText(dir + "bench.ndb", ClamSignatures())) {
        std::fprintf(stderr, "tree_bench: cannot write the signature files\n");
        return 2;
    }
    const Run sigc =
        Measure({bin + "kestravo-sigc", "-o", dir + "db", dir + "bench.sig"}, dir + "sigc.out");
    if (sigc.exit_code != 0) {
        std::fprintf(stderr, "tree_bench: kestravo-sigc failed (%d)\n", sigc.exit_code);
        fs::remove_all(dir);
        return 2;
    }
    const bool with_clam = !clamscan.empty() && ::access(clamscan.c_str(), X_OK) == 0;
    if (!clamscan.empty() && !with_clam)
        std::fprintf(stderr, "tree_bench: no %s\n", clamscan.c_str());

    std::printf("Machine: %s, %ld cores; trees in %s\n", CpuModel().c_str(),
                ::sysconf(_SC_NPROCESSORS_ONLN), work.c_str());
    std::printf(
        "Runs: the median of %d for the floor and kestravo-scan, %d for clamscan, after\n"
        "one warm-up walk of the floor; wall time, files per second, peak resident\n"
        "memory (ru_maxrss) and the time over the floor's.\n",
        runs, clam_runs);

    std::vector<Row> rows;
    for (int scale : scales) {
        Row row;
        row.scale = scale;
        row.files = files * scale;
        TreeInfo info;
        const auto made = Clock::now();
        if (!Generate(tree, row.files, info)) {
            std::fprintf(stderr, "tree_bench: cannot generate the tree\n");
            fs::remove_all(dir);
            return 2;
        }
        std::printf(
            "\n%dx: %ld files, %.1f MiB of data (%.1f MiB on disk), %ld infected; made in "
            "%.1f s\n",
            scale, info.files, MiB(static_cast<double>(info.bytes), true),
            MiB(static_cast<double>(DiskUse(tree)), true), info.infected,
            std::chrono::duration<double>(Clock::now() - made).count());

        const std::vector<std::string> floor_cmd = {self, "--floor", tree};
        const std::vector<std::string> scan_cmd = {scanner, "--language", "2",
                                                   "--db",  dir + "db",   tree};
        const std::vector<std::string> clam_cmd = {clamscan,
                                                   "-r",
                                                   "-i",
                                                   "--no-summary",
                                                   "-d",
                                                   dir + "bench.ndb",
                                                   "--scan-pdf=no",
                                                   "--scan-html=no",
                                                   "--scan-mail=no",
                                                   "--scan-elf=no",
                                                   "--scan-swf=no",
                                                   "--scan-xmldocs=no",
                                                   "--scan-hwp3=no",
                                                   tree};
        Measure(floor_cmd, dir + "floor.out");
        std::vector<Run> floors, scans, clams;
        for (int r = 0; r < runs; ++r) {
            floors.push_back(Measure(floor_cmd, dir + "floor.out"));
            scans.push_back(Measure(scan_cmd, dir + "scan.out"));
        }
        for (int r = 0; with_clam && r < clam_runs; ++r)
            clams.push_back(Measure(clam_cmd, dir + "clam.out"));
        row.floor = Median(floors);
        row.kestravo = Median(scans);
        row.has_clam = with_clam;
        if (with_clam) row.clam = Median(clams);

        std::printf("  %-14s %9s %11s %9s %9s   %s\n", "program", "wall s", "files/s", "peak MiB",
                    "x floor", "found");
        PrintRun("floor", row.files, row.floor, row.floor, row.floor.out.c_str());
        const std::string found_kv = std::to_string(KestravoFindings(row.kestravo.out, tree)) +
                                     " files (exit " + std::to_string(row.kestravo.exit_code) + ")";
        PrintRun("kestravo-scan", row.files, row.kestravo, row.floor, found_kv.c_str());
        if (with_clam) {
            const std::string found_clam = std::to_string(CountLines(row.clam.out, " FOUND")) +
                                           " files (exit " + std::to_string(row.clam.exit_code) +
                                           ")";
            PrintRun("clamscan", row.files, row.clam, row.floor, found_clam.c_str());
            std::printf("  clamscan / kestravo-scan: %.1f\n",
                        row.clam.seconds / row.kestravo.seconds);
        }
        rows.push_back(row);
        std::fflush(stdout);
        fs::remove_all(tree);
    }

    std::printf(
        "\nGrowth (kestravo-scan): scale, files, wall s, microseconds per file, peak MiB\n");
    for (const Row& row : rows) {
        std::printf("  %3dx %8ld %9.3f %8.2f %8.1f\n", row.scale, row.files, row.kestravo.seconds,
                    row.kestravo.seconds * 1e6 / static_cast<double>(row.files),
                    MiB(static_cast<double>(row.kestravo.peak_kib)));
    }
    struct rusage self_usage {};
    ::getrusage(RUSAGE_SELF, &self_usage);
    std::printf(
        "(The bench's own peak, %.1f MiB, is a floor under every peak above: a program "
        "starts as a copy of it.)\n",
        MiB(static_cast<double>(self_usage.ru_maxrss)));
    fs::remove_all(dir);
    return 0;
}
