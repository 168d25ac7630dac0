#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/test_support.h"
#include "ui/catalogue/catalogue.h"

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
    auto help = RunCommand({Scanner(), "--help"});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_NE(help.out.find("Usage"), std::string::npos);
}

}  // namespace
}  // namespace kv
