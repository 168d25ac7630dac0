#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "catalogue/catalogue.h"
#include "tests/support/test_support.h"

namespace kv {
namespace {

using kv::test::RunCommand;
using kv::test::TempDir;
using kv::test::WriteFile;

std::string Scanner() {
    return kv::test::ProgramDir() + "kestravo-scan";
}

class ScanCliTest : public ::testing::Test {
protected:
    ScanCliTest() : catalogue_(kv::test::ProgramDir(), 2) {}
    // The log line of a summary label with its value.
    std::string Value(std::uint16_t label, int value) const {
        return catalogue_.Text(label) + " " + std::to_string(value) + "\r\n";
    }
    TempDir dir_;
    Catalogue catalogue_;
};

TEST_F(ScanCliTest, CleanFolderExitsZeroAndCountsEveryFile) {
    WriteFile(dir_ / "tree/a.exe", "MZ clean");
    WriteFile(dir_ / "tree/b.txt", "text");
    WriteFile(dir_ / "tree/sub/c.com", "\x90\xC3");
    auto r = RunCommand({Scanner(), "--language", "2", dir_ / "tree"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    // The folder gets its trailing '/' and its heading; the banner comes first.
    EXPECT_NE(r.out.find(catalogue_.Text(189) + " " + dir_ / "tree/\r\n"), std::string::npos);
    EXPECT_NE(r.out.find(catalogue_.Text(188) + " "), std::string::npos);
    EXPECT_NE(r.out.find(Value(191, 3)), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(Value(192, 2)), std::string::npos);
    EXPECT_NE(r.out.find(Value(194, 0)), std::string::npos);
    // One resource: no totals block.
    EXPECT_EQ(r.out.find(Value(209, 0)), std::string::npos);
}

TEST_F(ScanCliTest, SeveralPathsGetATotalsBlockAndOptionsApply) {
    WriteFile(dir_ / "one/a.exe", "x");
    WriteFile(dir_ / "one/sub/b.exe", "x");
    WriteFile(dir_ / "two.txt", "x");
    auto r = RunCommand(
        {Scanner(), "--language", "2", "--no-subfolders", dir_ / "one", dir_ / "two.txt"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find(catalogue_.Text(195) + "\r\n" + Value(191, 2) + Value(192, 2) +
                         Value(193, 0) + Value(209, 0)),
              std::string::npos)
        << r.out;
}

TEST_F(ScanCliTest, LogFileHoldsTheSameBytesAsTheOutput) {
    WriteFile(dir_ / "tree/a.exe", "x");
    auto r = RunCommand({Scanner(), "--log", dir_ / "scan.log", dir_ / "tree"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(kv::test::ReadFile(dir_ / "scan.log"), r.out);
    // Every line ends in CR LF.
    EXPECT_EQ(r.out.substr(r.out.size() - 2), "\r\n");
}

TEST_F(ScanCliTest, ErrorsExitWithTwo) {
    WriteFile(dir_ / "tree/a.exe", "x");
    auto no_db = RunCommand({Scanner(), "--db", dir_ / "nowhere", dir_ / "tree"});
    EXPECT_EQ(no_db.exit_code, 2);
    EXPECT_NE(no_db.err.find(dir_ / "nowhere/"), std::string::npos) << no_db.err;
    EXPECT_NE(no_db.err.find("code -1"), std::string::npos) << no_db.err;

    auto missing = RunCommand({Scanner(), dir_ / "missing"});
    EXPECT_EQ(missing.exit_code, 2);
    EXPECT_NE(missing.err.find("missing"), std::string::npos);
    // A name with line ends is shown on one line, with '?' in their place.
    auto forged = RunCommand({Scanner(), dir_ / "a\r\nVirus: 0\nb"});
    EXPECT_EQ(forged.exit_code, 2);
    EXPECT_NE(forged.err.find("a??Virus: 0?b'"), std::string::npos) << forged.err;
    EXPECT_EQ(std::count(forged.err.begin(), forged.err.end(), '\n'), 1) << forged.err;

    EXPECT_EQ(RunCommand({Scanner(), "--bogus", dir_.Path()}).exit_code, 2);
    EXPECT_EQ(RunCommand({Scanner()}).exit_code, 2);
    EXPECT_EQ(RunCommand({Scanner(), "--language", "x", dir_.Path()}).exit_code, 2);
    // Only the languages the catalogue holds.
    auto no_language = RunCommand({Scanner(), "--language", "9", dir_.Path()});
    EXPECT_EQ(no_language.exit_code, 2);
    EXPECT_NE(no_language.err.find("no language 9"), std::string::npos) << no_language.err;
    auto help = RunCommand({Scanner(), "--help"});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_NE(help.out.find("Usage"), std::string::npos);
}

TEST_F(ScanCliTest, NoTemporaryFilesIsAnErrorToldOnce) {
    // Two archives with members that must be written to disk: a nested archive, a document.
    WriteFile(dir_ / "src/in.txt", "text");
    WriteFile(dir_ / "src/d.doc", "document");
    kv::test::MakeFolders(dir_ / "one");
    kv::test::MakeFolders(dir_ / "two");
    for (const std::vector<std::string>& args : {std::vector<std::string>{"in.zip", "in.txt"},
                                                 {"../one/a.zip", "in.zip", "d.doc"},
                                                 {"../two/b.zip", "d.doc", "in.zip"}}) {
        std::vector<std::string> argv = {"/usr/bin/zip", "-q"};
        argv.insert(argv.end(), args.begin(), args.end());
        ASSERT_EQ(RunCommand(argv, dir_ / "src").exit_code, 0);
    }
    WriteFile(dir_ / "file", "x");
    // Below a file: no user can create anything there.
    const std::string tmp = dir_ / "file/tmp";
    auto scan = [&](const std::string& extra) {
        std::vector<std::string> argv = {
            "/usr/bin/env", "TMPDIR=" + tmp, Scanner(), "--language", "2",
            dir_ / "one",   dir_ / "two"};
        if (!extra.empty()) argv.push_back(extra);
        return RunCommand(argv);
    };
    auto clean = scan("");
    EXPECT_EQ(clean.exit_code, 2) << clean.out;
    const std::string told = "kestravo-scan: cannot create temporary files in '" + tmp +
                             "/': " + std::strerror(ENOTDIR) +
                             "; archive and document members were not scanned\n";
    EXPECT_EQ(clean.err, told);
    // One report line per resource.
    const std::string line =
        catalogue_.Text(286) + " (" + tmp + "/: " + std::strerror(ENOTDIR) + ")";
    std::size_t lines = 0;
    for (auto at = clean.out.find(line); at != std::string::npos; at = clean.out.find(line, at + 1))
        ++lines;
    EXPECT_EQ(lines, 2u) << clean.out;

    // An infection found still wins.
    WriteFile(dir_ / "eicar.com", kv::test::EicarString());
    auto infected = scan(dir_ / "eicar.com");
    EXPECT_EQ(infected.exit_code, 1) << infected.out;
    EXPECT_EQ(infected.err, told);
}

// A path named on the command line that cannot be scanned is an error that names it, and the
// other paths are still scanned.
TEST_F(ScanCliTest, PathsThatCannotBeScannedAreErrors) {
    WriteFile(dir_ / "ok/a.exe", "x");
    ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0644), 0);
    std::vector<std::pair<std::string, std::string>> cases = {{dir_ / "fifo", "FIFO"},
                                                              {"/dev/null", "device"}};
    std::vector<std::string> prefix;
    if (kv::test::RunningAsRoot()) {
        // Permissions bind an ordinary user only.
        ::chmod(dir_.Path().c_str(), 0755);
        WriteFile(dir_ / "secret.exe", "x");
        ::chmod((dir_ / "secret.exe").c_str(), 0600);
        kv::test::MakeFolders(dir_ / "closed/");
        WriteFile(dir_ / "closed/inside.exe", "x");
        ::chmod((dir_ / "closed").c_str(), 0711);
        cases.push_back({dir_ / "secret.exe", "Permission denied"});
        cases.push_back({dir_ / "closed", "Permission denied"});
        prefix = kv::test::AsNobody({});
    }
    for (const auto& [path, reason] : cases) {
        std::vector<std::string> argv = prefix;
        for (const std::string& a :
             std::vector<std::string>{Scanner(), "--language", "2", path, dir_ / "ok"})
            argv.push_back(a);
        auto r = RunCommand(argv);
        EXPECT_EQ(r.exit_code, 2) << path;
        EXPECT_NE(r.err.find("'" + path + "'"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(reason), std::string::npos) << r.err;
        EXPECT_NE(r.out.find(Value(191, 1)), std::string::npos) << r.out;  // ok/ was scanned
    }
}

// Without --language the locale decides: Italian for an Italian locale, English otherwise.
TEST_F(ScanCliTest, LanguageFollowsTheLocale) {
    WriteFile(dir_ / "a.exe", "x");
    const Catalogue italian(kv::test::ProgramDir(), 1);
    const struct {
        const char* lc_all;
        const char* lang;
        const Catalogue& expected;
    } cases[] = {{"", "it_IT.UTF-8", italian},
                 {"en_GB.UTF-8", "it_IT.UTF-8", catalogue_},
                 {"", "C.UTF-8", catalogue_},
                 {"it_CH", "", italian}};
    for (const auto& c : cases) {
        auto r = RunCommand({"/usr/bin/env", "-u", "LC_MESSAGES", std::string("LC_ALL=") + c.lc_all,
                             std::string("LANG=") + c.lang, Scanner(), dir_ / "a.exe"});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_NE(r.out.find(c.expected.Text(191) + " 1\r\n"), std::string::npos)
            << c.lc_all << "/" << c.lang << "\n"
            << r.out;
    }
}

// A closed terminal (SIGHUP) ends the scan as an interrupt does: temporary files removed,
// status 2. The signal comes once the report has begun, while a nested archive holding 300 MB
// is scanned from its temporary file (a signal after the scan's end gives the same outcome).
TEST_F(ScanCliTest, HangUpEndsTheScanAndRemovesTemporaryFiles) {
    kv::test::MakeFolders(dir_ / "tmp/");
    auto r =
        RunCommand({"/bin/sh", "-c",
                    "head -c 300M /dev/zero | zip -q inner.zip - && printf '@ -\\n@=big.exe\\n' "
                    "| zipnote -w inner.zip && zip -q -0 outer.zip inner.zip"},
                   dir_.Path());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("TMPDIR", (dir_ / "tmp").c_str(), 1);
        ::dup2(out[1], 1);
        ::close(out[0]);
        const int null_fd = ::open("/dev/null", O_WRONLY);
        ::dup2(null_fd, 2);
        ::execl(Scanner().c_str(), Scanner().c_str(), (dir_ / "outer.zip").c_str(), nullptr);
        ::_exit(127);
    }
    ::close(out[1]);
    // The banner's first line: the scanner has its signal handlers by then.
    char c = 0;
    while (::read(out[0], &c, 1) == 1 && c != '\n') {
    }
    ::kill(pid, SIGHUP);
    char rest[4096];
    while (::read(out[0], rest, sizeof rest) > 0) {
    }
    ::close(out[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status)) << "killed by the signal instead of ending cleanly";
    EXPECT_EQ(WEXITSTATUS(status), 2);
    EXPECT_EQ(kv::test::CountTempFiles(dir_ / "tmp/", "ZIP"), 0);
}

}  // namespace
}  // namespace kv
