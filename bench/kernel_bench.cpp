// Throughput of the matching kernel: the pattern search over 4000-byte windows of random and
// of program-like data with about 2000 generated signatures spread over the candidate lists,
// the document search with about 2000 document signatures, and a whole folder scan compared
// with just reading the same bytes.
//
//   kernel_bench [path of kestravo-sigc]
//
// The databases are compiled by kestravo-sigc (by default the one in the program folder next
// to the bench folder). Nothing is timed by the tests; this only prints figures.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "engine/engine.h"
#include "engine/match_kernel.h"
#include "engine/signature_database.h"
#include "platform/files.h"
#include "report/report.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

std::string Hex(std::uint8_t b) {
    static const char kDigits[] = "0123456789abcdef";
    return std::string{kDigits[b >> 4], kDigits[b & 15], ' '};
}

// About 2000 program signatures with random first bytes (so every candidate list is used),
// mostly literals with some skips, gaps and nibble tests, and 2000 document signatures.
std::string GenerateSource(std::mt19937& rng) {
    std::string text = "!version 1\n";
    auto byte = [&] { return static_cast<std::uint8_t>(rng() & 0xFF); };
    for (int i = 0; i < 2000; ++i) {
        std::string body;
        const int length = 6 + static_cast<int>(rng() % 10);
        for (int k = 0; k < length; ++k) body += Hex(byte());
        switch (rng() % 5) {
            case 0:
                body += "?? " + Hex(byte());
                break;
            case 1:
                body += "{-8} " + Hex(byte()) + Hex(byte());
                break;
            case 2:
                body += "a? " + Hex(byte());
                break;
            default:
                break;
        }
        text += "Bench.P" + std::to_string(i) + ":exe+com:" + body + "\n";
    }
    for (int i = 0; i < 2000; ++i) {
        std::string body;
        const int length = 8 + static_cast<int>(rng() % 12);
        for (int k = 0; k < length; ++k) body += Hex(byte());
        text += "Bench.D" + std::to_string(i) + ":doc:" + body + "\n";
    }
    return text;
}

std::vector<std::uint8_t> RandomData(std::mt19937& rng, std::size_t size) {
    std::vector<std::uint8_t> data(size);
    for (auto& b : data) b = static_cast<std::uint8_t>(rng() & 0xFF);
    return data;
}

// Bytes distributed roughly as in x86 code and data sections: many zeros and 0xFF, common
// opcodes and small operands.
std::vector<std::uint8_t> ProgramLikeData(std::mt19937& rng, std::size_t size) {
    static const std::uint8_t kCommon[] = {0x8B, 0x89, 0xE8, 0xFF, 0x83, 0x50, 0x55, 0xC3,
                                           0x74, 0x75, 0xEB, 0x0F, 0x85, 0x84, 0x45, 0x24,
                                           0x08, 0x04, 0x01, 0x10, 0x90, 0xCC, 0x48, 0xC7};
    std::vector<std::uint8_t> data(size);
    for (auto& b : data) {
        const unsigned r = rng() % 100;
        if (r < 30) {
            b = 0;
        } else if (r < 38) {
            b = 0xFF;
        } else if (r < 80) {
            b = kCommon[rng() % sizeof kCommon];
        } else {
            b = static_cast<std::uint8_t>(rng() & 0xFF);
        }
    }
    return data;
}

void Report(const char* what, std::size_t windows, std::size_t bytes, double seconds,
            std::size_t hits) {
    std::printf("%-44s %10.0f windows/s %8.1f MB/s  (%zu hits)\n", what, windows / seconds,
                bytes / seconds / 1e6, hits);
}

void BenchPattern(kv::MatchKernel& kernel, const char* what,
                  const std::vector<std::vector<std::uint8_t>>& windows, int rounds) {
    std::size_t hits = 0, bytes = 0, count = 0;
    const auto start = Clock::now();
    for (int r = 0; r < rounds; ++r) {
        for (const auto& w : windows) {
            kernel.SetWindow(w.size(), const_cast<std::uint8_t*>(w.data()));
            kernel.SetFill(w.size(), 0);
            kernel.Window().class_mask = kv::MatchKernel::kClassProgram;
            kernel.ScanWindow(kv::MatchKernel::kModeAll);
            hits += kernel.HitCount();
            bytes += w.size();
            ++count;
        }
    }
    Report(what, count, bytes, std::chrono::duration<double>(Clock::now() - start).count(), hits);
}

void BenchDocument(kv::MatchKernel& kernel, const char* what,
                   const std::vector<std::vector<std::uint8_t>>& windows, int rounds) {
    std::size_t hits = 0, bytes = 0, count = 0;
    const auto start = Clock::now();
    for (int r = 0; r < rounds; ++r) {
        for (const auto& w : windows) {
            kernel.SearchDocumentTrie(w.data(), w.size(), 0);
            hits += kernel.HitCount();
            bytes += w.size();
            ++count;
        }
    }
    Report(what, count, bytes, std::chrono::duration<double>(Clock::now() - start).count(), hits);
}

class QuietUi : public kv::ScanUi {};

// Reads what the program branch reads of each file (the first block and the tail).
std::size_t JustRead(const std::vector<std::string>& files) {
    std::vector<std::uint8_t> buffer(4096);
    std::size_t total = 0;
    for (const std::string& path : files) {
        int fd = ::open(path.c_str(), O_RDONLY);
        if (fd < 0) continue;
        ssize_t n = ::read(fd, buffer.data(), 4000);
        if (n > 0) total += static_cast<std::size_t>(n);
        off_t size = ::lseek(fd, 0, SEEK_END);
        if (size > 4000) {
            ::lseek(fd, size - 4000, SEEK_SET);
            n = ::read(fd, buffer.data(), 4000);
            if (n > 0) total += static_cast<std::size_t>(n);
        }
        ::close(fd);
    }
    return total;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string sigc =
        argc > 1 ? argv[1] : kv::platform::ProgramFolder() + "../kestravo/kestravo-sigc";
    std::mt19937 rng(12345);

    char folder_template[] = "/tmp/kvbenchXXXXXX";
    if (::mkdtemp(folder_template) == nullptr) return 1;
    const std::string folder = std::string(folder_template) + "/";
    {
        std::ofstream out(folder + "bench.sig");
        out << GenerateSource(rng);
    }
    const std::string command = "'" + sigc + "' -o '" + folder + "db' '" + folder + "bench.sig'";
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "kernel_bench: cannot compile the bench database with %s\n",
                     sigc.c_str());
        fs::remove_all(folder);
        return 1;
    }

    kv::SignatureDatabase database;
    if (database.Load(folder + "db") != 0) {
        std::fprintf(stderr, "kernel_bench: the bench database does not load\n");
        fs::remove_all(folder);
        return 1;
    }
    kv::DetectionRoutines routines;
    kv::MatchKernel kernel(routines);
    kernel.Attach(database.View());

    std::vector<std::vector<std::uint8_t>> random_windows, program_windows;
    for (int i = 0; i < 200; ++i) {
        random_windows.push_back(RandomData(rng, 4000));
        program_windows.push_back(ProgramLikeData(rng, 4000));
    }
    std::printf("2000 program signatures, 2000 document signatures, 4000-byte windows\n");
    BenchPattern(kernel, "ScanWindow, random data", random_windows, 50);
    BenchPattern(kernel, "ScanWindow, program-like data", program_windows, 50);
    BenchDocument(kernel, "SearchDocumentTrie, random data", random_windows, 50);
    BenchDocument(kernel, "SearchDocumentTrie, program-like data", program_windows, 50);

    // A folder of program files: the whole scan against reading the same blocks.
    const std::string tree = folder + "tree/";
    fs::create_directories(tree);
    std::vector<std::string> files;
    for (int i = 0; i < 2000; ++i) {
        const std::size_t size = 2000 + rng() % 60000;
        std::vector<std::uint8_t> data = ProgramLikeData(rng, size);
        data[0] = 0x55;  // no leading jump, no EXE header: first block and tail
        const std::string path = tree + "f" + std::to_string(i) + ".com";
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()), static_cast<long>(data.size()));
        files.push_back(path);
    }
    JustRead(files);  // warm the page cache
    const int kRounds = 5;
    auto start = Clock::now();
    std::size_t read_bytes = 0;
    for (int r = 0; r < kRounds; ++r) read_bytes += JustRead(files);
    const double read_seconds = std::chrono::duration<double>(Clock::now() - start).count();

    std::printf("folder of %zu program files, %.1f MB of blocks: reading them %.1f ms\n",
                files.size(), read_bytes / 1e6 / kRounds, 1000 * read_seconds / kRounds);

    // An empty database (no signature at all), the shipped one and the 2000-signature one.
    { std::ofstream(folder + "empty.sig") << "# nothing\n"; }
    const std::string empty = "'" + sigc + "' -o '" + folder + "empty' '" + folder + "empty.sig'";
    if (std::system(empty.c_str()) != 0) return 1;
    const std::pair<const char*, std::string> databases[] = {
        {"no signatures", folder + "empty/"},
        {"shipped database", kv::platform::ProgramFolder() + "../kestravo/"},
        {"2000 signatures", folder + "db/"},
    };
    kv::Catalogue catalogue(folder, 1);
    kv::ReportList report;
    QuietUi ui;
    kv::Engine engine(catalogue, report, ui);
    engine.DriverDevice = folder + "no-driver";
    for (const auto& [what, db] : databases) {
        if (engine.ScanResource(db, tree) != 0) {
            std::printf("  scanning with the %s: the database does not load\n", what);
            continue;
        }
        start = Clock::now();
        for (int r = 0; r < kRounds; ++r) engine.ScanResource(db, tree);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        std::printf("  scanning with %-18s %7.1f ms (%.2fx reading)\n", what,
                    1000 * seconds / kRounds, seconds / read_seconds);
    }

    fs::remove_all(folder);
    return 0;
}
