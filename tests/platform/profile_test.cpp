#include "platform/profile.h"

#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/files.h"
#include "tests/support/test_support.h"

namespace kv::platform {
namespace {

using kv::test::ReadFile;
using kv::test::TempDir;
using kv::test::WriteFile;

// Sets an environment variable for the life of the object and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        const char* old = ::getenv(name);
        had_ = old != nullptr;
        if (had_) old_ = old;
        if (value != nullptr) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (had_) {
            ::setenv(name_.c_str(), old_.c_str(), 1);
        } else {
            ::unsetenv(name_.c_str());
        }
    }

private:
    std::string name_;
    std::string old_;
    bool had_ = false;
};

TEST(ProfileRead, SectionsAndKeysIgnoreCaseAndMissingOnesGiveDefaults) {
    TempDir dir;
    WriteFile(dir / "KESTO.INI",
              "[Timer]\r\nActive=1\r\nDay = 5 \r\n\r\n[SaveLog]\r\nActive=0\r\n"
              "[Logfile]\r\nActive=/var/log/k.log\r\n");
    Profile profile(dir / "KESTO.INI");
    EXPECT_TRUE(profile.ReadBool("timer", "active", false));
    EXPECT_EQ(profile.ReadInteger("TIMER", "day", -1), 5);
    EXPECT_FALSE(profile.ReadBool("savelog", "ACTIVE", true));
    EXPECT_EQ(profile.ReadString("LogFile", "Active", "x"), "/var/log/k.log");
    // Missing section, missing key, missing file.
    EXPECT_EQ(profile.ReadInteger("Langue", "Setup", 1), 1);
    EXPECT_EQ(profile.ReadInteger("Timer", "month", -1), -1);
    EXPECT_EQ(Profile(dir / "none.ini").ReadString("a", "b", "default"), "default");
    EXPECT_TRUE(Profile(dir / "none.ini").ReadBool("SaveLog", "Active", true));
}

TEST(ProfileRead, IntegerFormats) {
    TempDir dir;
    WriteFile(dir / "k.ini",
              "[Langue]\nSetup=0x2\nHex=0XfF\nNeg=-1\nWord=abc\nEmpty=\nShort=0x\n"
              "Big=99999999999\nTrail=12abc\nPlus=+7\n");
    Profile profile(dir / "k.ini");
    EXPECT_EQ(profile.ReadInteger("Langue", "Setup", 1), 2);
    EXPECT_EQ(profile.ReadInteger("Langue", "Hex", 1), 255);
    EXPECT_EQ(profile.ReadInteger("Langue", "Neg", 1), -1);
    // Not a number, empty, a bare "0x", out of range, trailing junk: the default.
    EXPECT_EQ(profile.ReadInteger("Langue", "Word", 1), 1);
    EXPECT_EQ(profile.ReadInteger("Langue", "Empty", 7), 7);
    EXPECT_EQ(profile.ReadInteger("Langue", "Short", 3), 3);
    EXPECT_EQ(profile.ReadInteger("Langue", "Big", 4), 4);
    EXPECT_EQ(profile.ReadInteger("Langue", "Trail", 5), 5);
    EXPECT_EQ(profile.ReadInteger("Langue", "Plus", 0), 7);
    // An empty string value is the empty string, not the default.
    EXPECT_EQ(profile.ReadString("Langue", "Empty", "default"), "");
    EXPECT_TRUE(profile.ReadBool("Langue", "Empty", true));
}

TEST(ProfileRead, LongValuesAreCutAtACharacterBoundary) {
    TempDir dir;
    // 1022 ASCII bytes followed by a two-byte character: 1024 bytes in all, one over the
    // 1023 that come back, so the whole character is left out.
    std::string value(1022, 'a');
    value += "\xC3\xA8";
    WriteFile(dir / "k.ini", "[S]\nK=" + value + "\n");
    std::string read = Profile(dir / "k.ini").ReadString("S", "K", "");
    EXPECT_EQ(read, std::string(1022, 'a'));
}

TEST(ProfileWrite, CreatesFolderAndFileAndReadsBack) {
    TempDir dir;
    Profile profile(dir / "deep/er/KESTO.INI");
    ASSERT_TRUE(profile.WriteBool("Internet", "Active", true));
    ASSERT_TRUE(profile.WriteString("LogFile", "Active", "/tmp/report.log"));
    ASSERT_TRUE(profile.WriteInteger("Timer", "Day", -1));
    EXPECT_EQ(ReadFile(dir / "deep/er/KESTO.INI"),
              "[Internet]\nActive=1\n\n[LogFile]\nActive=/tmp/report.log\n\n[Timer]\nDay=-1\n");
    EXPECT_TRUE(profile.ReadBool("internet", "active", false));
    EXPECT_EQ(profile.ReadInteger("timer", "day", 0), -1);
}

TEST(ProfileWrite, KeepsOtherLinesAndReplacesOnlyTheValue) {
    TempDir dir;
    const std::string before =
        "; written by hand\r\n[timer]\r\nactive=0\r\nday=3\r\n\r\n[Other]\r\nx=y\r\n";
    WriteFile(dir / "k.ini", before);
    Profile profile(dir / "k.ini");
    ASSERT_TRUE(profile.WriteString("Timer", "Active", "1"));
    ASSERT_TRUE(profile.WriteString("TIMER", "Hour", "10"));
    // The key keeps its spelling, the untouched lines keep their line ends, and the new key
    // joins its section before the blank line.
    EXPECT_EQ(
        ReadFile(dir / "k.ini"),
        "; written by hand\r\n[timer]\r\nactive=1\r\nday=3\r\nHour=10\r\n\r\n[Other]\r\nx=y\r\n");
    // A line break in a value cannot split the file into two lines.
    ASSERT_TRUE(profile.WriteString("Other", "x", "a\nb=c"));
    EXPECT_EQ(profile.ReadString("Other", "x", ""), "a b=c");
    EXPECT_EQ(profile.ReadString("Other", "b", "none"), "none");
}

TEST(ProfileWrite, AZeroByteEndsTheTextForTheWriterToo) {
    // A value written must be a value read: the writer must not add it behind a zero byte,
    // where the reader never looks.
    TempDir dir;
    WriteFile(dir / "KESTO.INI", std::string("[Other]\nA=1\n\0junk\n", 18));
    Profile profile(dir / "KESTO.INI");
    ASSERT_TRUE(profile.WriteString("Langue", "Setup", "2"));
    EXPECT_EQ(profile.ReadString("Langue", "Setup", "default"), "2");
    EXPECT_EQ(profile.ReadString("Other", "A", ""), "1");
}

TEST(ProfileWrite, AFileSpelledInAnotherCaseIsUpdatedNotDuplicated) {
    TempDir dir;
    ScopedEnv xdg("XDG_CONFIG_HOME", dir.Path().c_str());
    WriteFile(dir / "kestravo/kesto.ini", "[Langue]\nSetup=2\n");
    Profile profile = Profile::Settings();
    EXPECT_EQ(profile.Path(), dir / "kestravo/kesto.ini");
    EXPECT_EQ(profile.ReadInteger("Langue", "Setup", 1), 2);
    ASSERT_TRUE(profile.WriteBool("SaveLog", "Active", false));
    EXPECT_FALSE(FileExists(dir / "kestravo/KESTO.INI"));
    EXPECT_FALSE(Profile::Settings().ReadBool("savelog", "active", true));
}

TEST(ProfileWrite, RefusedWriteLeavesTheFileAndNoTemporaryFile) {
    TempDir dir;
    // A settings path below a regular file cannot be written, not even by root.
    WriteFile(dir / "file", "x");
    Profile blocked(dir / "file/KESTO.INI");
    EXPECT_FALSE(blocked.WriteString("A", "k", "new"));
    EXPECT_EQ(blocked.WriteErrorText(), "Unable to write to " + (dir / "file/KESTO.INI"));

    WriteFile(dir / "ro/KESTO.INI", "[A]\nk=old\n");
    if (::geteuid() != 0) {
        ASSERT_EQ(::chmod((dir / "ro").c_str(), 0555), 0);
        EXPECT_FALSE(Profile(dir / "ro/KESTO.INI").WriteString("A", "k", "new"));
        EXPECT_EQ(ReadFile(dir / "ro/KESTO.INI"), "[A]\nk=old\n");
        EXPECT_EQ(kv::test::CountTempFiles(dir / "ro/", "KESTO.INI."), 0);
    }
}

TEST(ProfileWrite, ALinkedSettingsFileIsWrittenThroughTheLink) {
    TempDir dir;
    WriteFile(dir / "real.ini", "[A]\nk=1\n");
    ASSERT_EQ(::symlink((dir / "real.ini").c_str(), (dir / "KESTO.INI").c_str()), 0);
    ASSERT_TRUE(Profile(dir / "KESTO.INI").WriteString("A", "k", "2"));
    struct stat st;
    ASSERT_EQ(::lstat((dir / "KESTO.INI").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(ReadFile(dir / "real.ini"), "[A]\nk=2\n");
}

TEST(SettingsFolder, FollowsXdgConfigHomeElseHome) {
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "/some/where");
        EXPECT_EQ(SettingsFolder(), "/some/where/kestravo/");
    }
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", nullptr);
        ScopedEnv home("HOME", "/home/user");
        EXPECT_EQ(SettingsFolder(), "/home/user/.config/kestravo/");
        // A relative XDG_CONFIG_HOME is ignored, as the base directory rules say.
        ScopedEnv relative("XDG_CONFIG_HOME", "relative");
        EXPECT_EQ(SettingsFolder(), "/home/user/.config/kestravo/");
    }
    // Without HOME (unset or empty) the account's home from the password database, never a
    // folder that every user can write to.
    const passwd* account = ::getpwuid(::getuid());
    ASSERT_NE(account, nullptr);
    for (const char* value : {static_cast<const char*>(nullptr), ""}) {
        ScopedEnv xdg("XDG_CONFIG_HOME", nullptr);
        ScopedEnv home("HOME", value);
        EXPECT_EQ(SettingsFolder(), WithTrailingSlash(account->pw_dir) + ".config/kestravo/");
    }
}

}  // namespace
}  // namespace kv::platform
