// kestravo-scan end to end with a signature database compiled by kestravo-sigc: the test file
// is reported with its path and signature name and the exit status says so.
#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace kv {
namespace {

using kv::test::RunCommand;
using kv::test::TempDir;
using kv::test::WriteFile;

class ScanSignaturesTest : public ::testing::Test {
protected:
    ScanSignaturesTest() {
        WriteFile(dir_ / "test.sig",
                  "EICAR-Test-File:exe+com:\"X5O!P%@AP[4\\\\PZX54(P^)7CC)7}$\" "
                  "\"EICAR-STANDARD-ANTIVIRUS-\" \"TEST-FILE!$H+H*\"\n"
                  "Demo.Gap:exe+com:\"KV-GAP\" {-20} \"FOUND\"\n");
        auto r = RunCommand(
            {kv::test::ProgramDir() + "kestravo-sigc", "-o", dir_ / "db", dir_ / "test.sig"});
        EXPECT_EQ(r.exit_code, 0) << r.err;
    }

    kv::test::CommandResult Scan(const std::string& target) {
        return RunCommand({kv::test::ProgramDir() + "kestravo-scan", "--language", "2", "--db",
                           dir_ / "db", target});
    }

    TempDir dir_;
};

TEST_F(ScanSignaturesTest, InfectedFolderIsReportedAndExitsOne) {
    WriteFile(dir_ / "tree/eicar.com", kv::test::EicarString());
    WriteFile(dir_ / "tree/sub/demo.exe", "\x90\x90KV-GAP.......FOUND\xC3");
    WriteFile(dir_ / "tree/clean.com", "\xB4\x4C\xCD\x21");
    auto r = Scan(dir_ / "tree");
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_NE(r.out.find(dir_ / "tree/eicar.com"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("EICAR-Test-File"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(dir_ / "tree/sub/demo.exe"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Demo.Gap"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("clean.com"), std::string::npos) << r.out;
}

TEST_F(ScanSignaturesTest, CleanFolderExitsZero) {
    WriteFile(dir_ / "tree/clean.com", "\xB4\x4C\xCD\x21");
    WriteFile(dir_ / "tree/almost.com", kv::test::EicarString().substr(0, 67));
    auto r = Scan(dir_ / "tree");
    EXPECT_EQ(r.exit_code, 0) << r.err << r.out;
}

TEST_F(ScanSignaturesTest, ShippedDatabaseFindsTheTestFile) {
    WriteFile(dir_ / "eicar.com", kv::test::EicarString());
    auto r = RunCommand({kv::test::ProgramDir() + "kestravo-scan", dir_ / "eicar.com"});
    EXPECT_EQ(r.exit_code, 1) << r.err << r.out;
    EXPECT_NE(r.out.find("EICAR-Test-File"), std::string::npos) << r.out;
}

TEST_F(ScanSignaturesTest, DatabaseThatCannotLoadIsAnError) {
    WriteFile(dir_ / "tree/eicar.com", kv::test::EicarString());
    kv::test::WriteFile(dir_ / "db/Matrix.DLL", std::string("KV\0\0\xff\xff\x00\x00", 8));
    auto r = Scan(dir_ / "tree");
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("code -3"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace kv
