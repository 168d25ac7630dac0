// Hostile input, end to end: archives, documents, databases, catalogues and folder trees made
// to break a scanner, generated here and scanned by kestravo-scan as a user would run it. Every
// run must end on its own within its time bound and memory bound with the result the scanner
// documents, leave no temporary file behind, and write nothing anywhere: the scanned tree, the
// database, a sentinel folder beside them and everything else under the test's folder stay as
// they were. The scanner runs with its temporary folder and its working folder four levels
// below the test's folder, so that a member name climbing out with "../" would land inside it.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <thread>

#include "catalogue/catalogue.h"
#include "catalogue/catalogue_format.h"
#include "engine/signature_database.h"
#include "tests/containers/compound_builder.h"
#include "tests/containers/zip_builder.h"
#include "tests/support/test_support.h"

namespace kv::test {
namespace {

namespace fs = std::filesystem;

constexpr auto kTimeBound = std::chrono::seconds(60);
constexpr long kMemoryBoundKiB = 512 * 1024;

struct Outcome {
    int exit_code = -1;
    bool timed_out = false;
    long peak_kib = 0;
    std::string out;
    std::string err;
};

// Every entry below `root` (links not followed) with its type, size, modification time and,
// for a link, its target; but for the folder `skip` (ending in '/'), which is checked apart.
std::map<std::string, std::string> Snapshot(const std::string& root, const std::string& skip) {
    std::map<std::string, std::string> entries;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        struct stat st;
        const std::string path = it->path().string();
        if (path + "/" == skip || ::lstat(path.c_str(), &st) != 0) continue;
        std::string state = std::to_string(st.st_mode) + " " + std::to_string(st.st_size) + " " +
                            std::to_string(st.st_mtim.tv_sec) + "." +
                            std::to_string(st.st_mtim.tv_nsec);
        if (S_ISLNK(st.st_mode)) state += " -> " + fs::read_symlink(path, ec).string();
        entries[path] = state;
    }
    return entries;
}

std::vector<std::string> Entries(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec))
        names.push_back(entry.path().filename().string());
    return names;
}

std::string Zeros(std::size_t n) {
    return std::string(n, '\0');
}

// A program that starts with a near jump over a few bytes to `payload`.
std::string Program(const std::string& payload) {
    return std::string("\xE9\x02\x00\x90\x90", 5) + payload;
}

class HostileTest : public ::testing::Test {
protected:
    HostileTest() : catalogue_(ProgramDir(), 2) {
        for (const std::string& folder : {tree_, sentinel_, tmp_, cwd_}) MakeFolders(folder);
    }

    // Runs `program` (kestravo-scan by default) with `args` and checks the bounds and that
    // nothing was written.
    Outcome Scan(const std::vector<std::string>& args, std::string program = "") {
        if (program.empty()) program = ProgramDir() + "kestravo-scan";
        const auto before = Snapshot(root_.Path(), tmp_);
        const std::string out_path = io_ / "out", err_path = io_ / "err";
        std::vector<std::string> argv = {program, "--language", "2"};
        argv.insert(argv.end(), args.begin(), args.end());

        const auto start = std::chrono::steady_clock::now();
        const pid_t pid = ::fork();
        if (pid == 0) RunChild(argv, out_path, err_path);
        Outcome outcome;
        int status = 0;
        struct rusage usage {};
        for (;;) {
            const pid_t done = ::wait4(pid, &status, WNOHANG, &usage);
            if (done == pid) break;
            if (std::chrono::steady_clock::now() - start > kTimeBound) {
                outcome.timed_out = true;
                ::kill(pid, SIGKILL);
                ::wait4(pid, &status, 0, &usage);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        outcome.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        outcome.peak_kib = usage.ru_maxrss;
        outcome.out = ReadFile(out_path);
        outcome.err = ReadFile(err_path);

        EXPECT_FALSE(outcome.timed_out) << "the scan ran longer than its time bound";
        EXPECT_LT(outcome.peak_kib, kMemoryBoundKiB) << "peak memory";
        EXPECT_TRUE(Entries(tmp_).empty()) << "temporary files left behind";
        EXPECT_TRUE(Entries(sentinel_).empty());
        EXPECT_EQ(Snapshot(root_.Path(), tmp_), before) << "something was written";
        return outcome;
    }

    // The summary line of `label` with its value.
    std::string Value(std::uint16_t label, long value) const {
        return catalogue_.Text(label) + " " + std::to_string(value) + "\r\n";
    }
    // The log line of an infected file or member, and of an archive holding one.
    std::string Infected(const std::string& name, const std::string& virus) const {
        return name + " " + catalogue_.Text(190) + " " + virus + "\r\n";
    }
    std::string Holds(const std::string& archive) const {
        return archive + " " + catalogue_.Text(208) + "\r\n";
    }
    static int Count(const std::string& text, const std::string& part) {
        int n = 0;
        for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
        return n;
    }

    TempDir root_;
    TempDir io_;
    Catalogue catalogue_;
    const std::string tree_ = root_ / "tree/";
    const std::string sentinel_ = root_ / "sentinel/";
    const std::string tmp_ = root_ / "box/1/2/3/tmp/";
    const std::string cwd_ = root_ / "box/1/2/3/cwd/";
    const std::string eicar_ = EicarString();

private:
    [[noreturn]] void RunChild(const std::vector<std::string>& argv, const std::string& out,
                               const std::string& err) {
        ::setenv("TMPDIR", tmp_.c_str(), 1);
        if (::chdir(cwd_.c_str()) != 0) ::_exit(126);
        const int in_fd = ::open("/dev/null", O_RDONLY);
        const int out_fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err_fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in_fd < 0 || out_fd < 0 || err_fd < 0) ::_exit(126);
        ::dup2(in_fd, 0);
        ::dup2(out_fd, 1);
        ::dup2(err_fd, 2);
#ifndef KV_UNDER_ASAN
        // A hard bound on top of the measured peak (AddressSanitizer needs far more address
        // space than memory, so its builds rely on the measurement).
        struct rlimit limit = {kMemoryBoundKiB * 1024L, kMemoryBoundKiB * 1024L};
        ::setrlimit(RLIMIT_AS, &limit);
#endif
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
};

TEST_F(HostileTest, ArchiveBombsEndAtTheirLimits) {
    // Nested layers, sixteen copies a level: 64 GiB of zeros in a few kilobytes. The scan
    // stops at the default total of 1 GiB per top-level file.
    std::string layer = ZipBuilder().Add("zeros.exe", Zeros(16 << 20)).Build();
    for (int level = 1; level < 4; ++level) {
        ZipBuilder copies;
        for (int i = 0; i < 16; ++i)
            copies.Add("l" + std::to_string(level) + "-" + std::to_string(i) + ".zip", layer);
        layer = copies.Build();
    }
    WriteFile(tree_ + "bomb.zip", layer);
    Outcome bomb = Scan({tree_ + "bomb.zip"});
    EXPECT_EQ(bomb.exit_code, 0) << bomb.err;
    // One line says so, however many members do not fit.
    EXPECT_EQ(Count(bomb.out, catalogue_.Text(278) + " (1 GiB)\r\n"), 1) << bomb.out;
    EXPECT_LT(Count(bomb.out, "\r\n"), 30);

    // Twenty levels of single nesting around the test string: the default depth of 16 stops
    // it; a raised limit reaches the string.
    std::string deep = ZipBuilder().Add("eicar.com", eicar_).Build();
    for (int level = 1; level < 20; ++level)
        deep = ZipBuilder().Add("level" + std::to_string(level) + ".zip", deep, 0).Build();
    WriteFile(tree_ + "deep.zip", deep);
    Outcome limited = Scan({tree_ + "deep.zip"});
    EXPECT_EQ(limited.exit_code, 0);
    EXPECT_EQ(Count(limited.out, catalogue_.Text(276) + " (16)\r\n"), 1) << limited.out;
    EXPECT_NE(limited.out.find(Value(193, 16)), std::string::npos);
    Outcome raised = Scan({"--max-depth", "20", tree_ + "deep.zip"});
    EXPECT_EQ(raised.exit_code, 1);
    EXPECT_NE(raised.out.find(Infected("eicar.com", "EICAR-Test-File")), std::string::npos);

    // A thousand directory entries that all point at one member of 4 MiB: the members
    // overlap, and the total stops them after 256.
    const std::string zeros = Zeros(4 << 20);
    ZipBuilder overlap;
    overlap.Add("a.exe", zeros);
    const std::uint32_t packed = static_cast<std::uint32_t>(DeflateRaw(zeros).size());
    for (int i = 1; i < 1000; ++i) {
        ZipMember alias;
        alias.name = "b" + std::to_string(i) + ".exe";
        alias.central_local_offset = 0;
        alias.central_compressed = packed;
        alias.central_uncompressed = static_cast<std::uint32_t>(zeros.size());
        overlap.Add(alias);
    }
    WriteFile(tree_ + "overlap.zip", overlap.Build());
    Outcome overlapping = Scan({tree_ + "overlap.zip"});
    EXPECT_EQ(overlapping.exit_code, 0);
    EXPECT_EQ(Count(overlapping.out, catalogue_.Text(278)), 1) << overlapping.out;
    EXPECT_NE(overlapping.out.find(Value(192, 256)), std::string::npos) << overlapping.out;

    // Two levels of such entries around a tiny nested archive: millions of members of a few
    // bytes each. The entries walked per top-level file stop them.
    auto aliases = [](const std::string& name, const std::string& data, int count) {
        ZipBuilder builder;
        builder.Add(name, data, 0);
        for (int i = 1; i < count; ++i) {
            ZipMember alias;
            alias.name = "alias" + std::to_string(i);
            alias.central_local_offset = 0;
            alias.central_compressed = static_cast<std::uint32_t>(data.size());
            alias.central_uncompressed = static_cast<std::uint32_t>(data.size());
            builder.Add(alias);
        }
        return builder.Build();
    };
    const std::string tiny = ZipBuilder().Add("a.com", "\xC3\xC3\xC3", 0).Build();
    WriteFile(tree_ + "members.zip", aliases("n2.zip", aliases("n1.zip", tiny, 2000), 2000));
    Outcome members = Scan({tree_ + "members.zip"});
    EXPECT_EQ(members.exit_code, 0);
    EXPECT_EQ(Count(members.out, catalogue_.Text(280) + " (100000)\r\n"), 1) << members.out;
}

TEST_F(HostileTest, ManyMembersAndClimbingNamesAreScannedWithoutWritingAnything) {
    // Ten thousand tiny program members, then one that carries the test string: the walk
    // reaches the end.
    ZipBuilder many;
    for (int i = 0; i < 10000; ++i) many.Add("m" + std::to_string(i) + ".com", "\xC3 tiny", 0);
    many.Add("last.com", Program(eicar_), 0);
    WriteFile(tree_ + "many.zip", many.Build());
    Outcome tiny = Scan({tree_ + "many.zip"});
    EXPECT_EQ(tiny.exit_code, 1);
    EXPECT_NE(tiny.out.find(Value(192, 10001)), std::string::npos) << tiny.out;
    EXPECT_NE(tiny.out.find(Infected("last.com", "EICAR-Test-File")), std::string::npos);
    // A lower bound on the entries walked ends the walk before the last.
    Outcome bounded = Scan({"--max-archive-members", "5000", tree_ + "many.zip"});
    EXPECT_EQ(bounded.exit_code, 0);
    EXPECT_NE(
        bounded.out.find(tree_ + "many.zip-->m5000.com " + catalogue_.Text(280) + " (5000)\r\n"),
        std::string::npos)
        << bounded.out;
    EXPECT_EQ(Scan({"--max-archive-members", "0", tree_}).exit_code, 2);

    // Names that climb out of any folder they would be extracted to, a nested archive among
    // them. They are scanned under their names; nothing lands anywhere.
    std::string inner = ZipBuilder().Add("../../../../deeper.exe", Program(eicar_)).Build();
    ZipBuilder climbing;
    climbing.Add("../../escape.com", Program(eicar_));
    climbing.Add("../../up.zip", inner);
    climbing.Add("/absolute.doc", "KVDEMO-DOCUMENT-TEST");
    WriteFile(tree_ + "climb.zip", climbing.Build());
    Outcome climb = Scan({tree_ + "climb.zip"});
    EXPECT_EQ(climb.exit_code, 1) << climb.err;
    EXPECT_NE(climb.out.find(Infected("../../escape.com", "EICAR-Test-File")), std::string::npos)
        << climb.out;
    EXPECT_NE(climb.out.find(Infected("../../../../deeper.exe", "EICAR-Test-File")),
              std::string::npos);
    EXPECT_NE(
        climb.out.find(Infected(tree_ + "climb.zip-->/absolute.doc", "Kestravo.Demo.Document")),
        std::string::npos);
    EXPECT_EQ(Count(climb.out, Holds(tree_ + "climb.zip")), 1);
}

TEST_F(HostileTest, BrokenDocumentsEndWithWhatTheirSoundPartHolds) {
    WordDocumentSpec spec;
    spec.macros = {{"AutoOpen", "Sub MAIN REM KVDEMO-DOCUMENT-TEST End Sub", 0x21},
                   {"Helper", "REM helper", 0}};
    WordLayout layout;
    const std::string doc = BuildWordDocument(spec, &layout);
    const std::vector<std::uint32_t>& chain = layout.compound.chains.at("WordDocument");
    ASSERT_GE(chain.size(), 3u);

    // The Word stream's chain loops back to its start after its last sector: read once.
    std::string loop_end = doc;
    Poke32(loop_end, FatEntryOffset(layout.compound, chain.back()), chain.front());
    // ... and at its first sector: the macro table lies beyond what the chain holds.
    std::string loop_start = doc;
    Poke32(loop_start, FatEntryOffset(layout.compound, chain.front()), chain.front());
    // A macro record whose text lies far past the stream, one whose text runs far past it,
    // and a macro table that claims to be longer than the file.
    std::string past_end = doc;
    auto stream_to_file = [&](std::uint32_t at) {
        return (std::size_t{chain[at / 512]} + 1) * 512 + at % 512;
    };
    const std::uint32_t records = layout.table_offset + 4;
    Poke32(past_end, stream_to_file(records + 20), 0x7FFFFF00u);
    Poke32(past_end, stream_to_file(records + 24 + 12), 0xFFFFFFF0u);
    std::string long_table = doc;
    Poke32(long_table, stream_to_file(0x11C), 0x7FFFFFF0u);
    WriteFile(tree_ + "loop-end.doc", loop_end);
    WriteFile(tree_ + "loop-start.doc", loop_start);
    WriteFile(tree_ + "past-end.doc", past_end);
    WriteFile(tree_ + "long-table.doc", long_table);

    Outcome end = Scan({tree_ + "loop-end.doc"});
    EXPECT_EQ(end.exit_code, 1) << end.out;
    Outcome start = Scan({tree_ + "loop-start.doc"});
    EXPECT_EQ(start.exit_code, 0) << start.out;
    EXPECT_EQ(Count(start.out, tree_), 1) << start.out;  // the heading alone
    // The texts cannot be read; the names still say that an automatic macro is there.
    Outcome past = Scan({tree_ + "past-end.doc"});
    EXPECT_EQ(past.exit_code, 0) << past.out;
    EXPECT_NE(past.out.find(tree_ + "past-end.doc "), std::string::npos) << past.out;
    EXPECT_EQ(Count(past.out, " " + catalogue_.Text(224) + "\r\n"), 1) << past.out;
    Outcome table = Scan({tree_ + "long-table.doc"});
    EXPECT_EQ(table.exit_code, 0) << table.out;
    EXPECT_EQ(Count(table.out, tree_), 1) << table.out;
}

TEST_F(HostileTest, HostileDatabasesAndCataloguesNeverCrashTheScanner) {
    WriteFile(tree_ + "e.com", Program(eicar_));
    const std::string db = root_ / "db/";
    const std::string prog = root_ / "prog/";
    for (const char* name : {"Matrix.DLL", "Virus.seq", "tbl02.dir", "tbl02", "tbl02.nam"}) {
        WriteFile(db + name, ReadFile(ProgramDir() + name));
        WriteFile(prog + name, ReadFile(ProgramDir() + name));
    }
    // Every candidate of the index names a record outside the pattern buffer, and every list
    // of the document directory a node outside the trie: nothing matches, nothing breaks.
    std::string index = ReadFile(db + "Virus.seq");
    for (std::size_t at = 257 * 4; at + 3 <= index.size(); at += 3) {
        index[at] = '\xF0';
        index[at + 1] = '\xFF';
    }
    WriteFile(db + "Virus.seq", index);
    WriteFile(db + "tbl02.dir", std::string(512, '\xFE'));
    Outcome outside = Scan({"--db", db, tree_});
    EXPECT_EQ(outside.exit_code, 0) << outside.err;
    EXPECT_NE(outside.out.find(Value(192, 1)), std::string::npos) << outside.out;

    // A pattern header that promises more than the file holds: the database does not load.
    std::string pattern = ReadFile(db + "Matrix.DLL");
    pattern[4] = '\xFF';
    pattern[5] = '\xFF';
    WriteFile(db + "Matrix.DLL", pattern);
    Outcome truncated = Scan({"--db", db, tree_});
    EXPECT_EQ(truncated.exit_code, 2);
    EXPECT_NE(truncated.err.find("code -3"), std::string::npos) << truncated.err;

    // A catalogue whose texts lie past its end, in a program folder of its own: the texts are
    // empty or cut, the scan is whole.
    std::string directory;
    for (std::uint16_t number : {188, 189, 190, 191, 192, 193, 194, 208}) {
        unsigned char record[catalogue::kRecordSize];
        catalogue::EncodeRecord({number, 2, 0xFFFF, 0xFFFFFF00u - number}, record);
        directory.append(reinterpret_cast<const char*>(record), sizeof record);
    }
    unsigned char near_end[catalogue::kRecordSize];
    catalogue::EncodeRecord({195, 2, 500, static_cast<std::uint32_t>(directory.size() + 5)},
                            near_end);
    directory.append(reinterpret_cast<const char*>(near_end), sizeof near_end);
    WriteFile(prog + "langua.ge", directory + "short");
    const std::string scanner = prog + "kestravo-scan";
    fs::copy_file(ProgramDir() + "kestravo-scan", scanner);
    Outcome texts = Scan({tree_, tree_ + "e.com"}, scanner);
    EXPECT_EQ(texts.exit_code, 1) << texts.err;
    EXPECT_TRUE(texts.err.empty()) << texts.err;
    EXPECT_EQ(Count(texts.out, tree_ + "e.com  EICAR-Test-File\r\n"), 2) << texts.out;
}

TEST_F(HostileTest, TreesWithFifosLinkLoopsAndDeepNestingAreWalkedSafely) {
    WriteFile(tree_ + "clean.exe", "MZ");
    ASSERT_EQ(::mkfifo((tree_ + "pipe.exe").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo((tree_ + "pipe.zip").c_str(), 0600), 0);
    ASSERT_EQ(::symlink(".", (tree_ + "self").c_str()), 0);
    ASSERT_EQ(::symlink("..", (tree_ + "up").c_str()), 0);
    ASSERT_EQ(::symlink("b.com", (tree_ + "a.com").c_str()), 0);
    ASSERT_EQ(::symlink("a.com", (tree_ + "b.com").c_str()), 0);
    std::string deep = tree_;
    for (int level = 0; level < 200; ++level) {
        deep += "level" + std::to_string(level) + "/";
        if (level % 50 == 0) WriteFile(deep + "clean.com", "\xC3");
    }
    WriteFile(deep + "bottom.com", Program(eicar_));

    // FIFOs and links are not listed: two real files in the first folder, 4 + 1 below.
    Outcome walk = Scan({tree_});
    EXPECT_EQ(walk.exit_code, 1) << walk.err;
    EXPECT_NE(walk.out.find(Value(191, 6)), std::string::npos) << walk.out;
    EXPECT_NE(walk.out.find(Infected(deep + "bottom.com", "EICAR-Test-File")), std::string::npos);
    EXPECT_EQ(Count(walk.out, "EICAR-Test-File"), 1);

    // A FIFO named directly is never opened: an error that names it.
    Outcome fifo = Scan({tree_ + "pipe.exe", tree_ + "pipe.zip"});
    EXPECT_EQ(fifo.exit_code, 2) << fifo.err;
    EXPECT_EQ(Count(fifo.err, "a FIFO is not scanned"), 2) << fifo.err;
}

}  // namespace
}  // namespace kv::test
