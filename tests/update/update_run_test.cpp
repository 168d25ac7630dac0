// The update run against a real FTP server on loopback, with packages made and signed by
// kestravo-mkupdate (or, for names that tool never writes, by the test ZIP writer and Info-ZIP
// zip): a good run, damaged support files and packages, no server, a failing entry, refused
// names, and the attacks on the update: forged packages, missing keys, oversized downloads,
// link and folder entries.
#include "update/update_run.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>

#include <gtest/gtest.h>

#include "containers/zip_reader.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "tests/containers/zip_builder.h"
#include "tests/support/test_support.h"
#include "tests/update/py_ftp_server.h"

namespace kv::update {
namespace {

using kv::test::ReadFile;
using kv::test::WriteFile;
using Lines = std::vector<std::string>;

// Records what the Update page is told.
struct RecordingPage : UpdatePage {
    Lines transcript;
    std::string size_text = "0", connection = "Disconnected";
    bool connect_enabled = true, close_enabled = false, transcript_shown = false;
    int max = 0, position = 0, package_errors = 0, pumps = 0;
    std::vector<std::pair<bool, bool>> buttons;

    void SetSizeText(const std::string& text) override { size_text = text; }
    void SetConnectionText(const std::string& text) override { connection = text; }
    void SetButtons(bool connect, bool close) override {
        connect_enabled = connect;
        close_enabled = close;
        buttons.emplace_back(connect, close);
    }
    void ClearTranscript() override { transcript.clear(); }
    void AppendLine(const std::string& line) override { transcript.push_back(line); }
    void SetTranscript(const std::string& text) override { transcript = {text}; }
    void ShowTranscript() override { transcript_shown = true; }
    void SetProgressMax(int value) override { max = value; }
    void SetProgress(int value) override { position = value; }
    void ShowPackageError() override { ++package_errors; }
    void ShowExtractProgress(std::uint64_t, std::uint64_t) override {}
    void Pump() override {
        ++pumps;
        if (on_pump) on_pump();
    }
    std::function<void()> on_pump;

    bool Has(const std::string& line) const {
        return std::find(transcript.begin(), transcript.end(), line) != transcript.end();
    }
    Lines FileLines() const {
        Lines files;
        for (const std::string& line : transcript)
            if (line.rfind("FILE: ", 0) == 0) files.push_back(line);
        return files;
    }
};

std::string Support(std::int32_t size, std::uint32_t sum, const std::string& text) {
    std::string bytes;
    for (std::uint32_t v : {static_cast<std::uint32_t>(size), sum})
        for (int i = 0; i < 4; ++i) bytes += static_cast<char>((v >> (8 * i)) & 0xff);
    bytes += text;
    bytes.resize(UpdateRun::kSupportFileSize, '\0');
    return bytes;
}

std::uint32_t Sum(const std::string& bytes) {
    std::uint32_t sum = 0;
    for (char c : bytes) sum += static_cast<unsigned char>(c);
    return sum;
}

// Every entry of a folder (recursively) with its content, a link as "-> target" and a folder
// as "/": what a refused update must leave exactly as it was.
std::map<std::string, std::string> Snapshot(const std::string& folder) {
    std::map<std::string, std::string> entries;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        const std::string name = entry.path().string().substr(folder.size());
        if (entry.is_symlink())
            entries[name] = "-> " + std::filesystem::read_symlink(entry.path()).string();
        else if (entry.is_directory())
            entries[name] = "/";
        else
            entries[name] = ReadFile(entry.path());
    }
    return entries;
}

class UpdateRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        kv::test::MakeFolders(root_);
        kv::test::MakeFolders(program_);
        kv::test::MakeFolders(keys_);
        // Each test signs with a key pair of its own; the program folder trusts it.
        kv::test::CommandResult made = kv::test::RunCommand(
            {kv::test::ProgramDir() + "kestravo-mkupdate", "--new-key", keys_});
        ASSERT_EQ(made.exit_code, 0) << made.err;
        WriteFile(program_ + "update.pub", ReadFile(keys_ + "update.pub"));
        // The server takes its time after PORT, as a loaded one may: another local user can
        // then reach the client's data port first.
        server_ = std::make_unique<kv::test::PyFtpServer>(dir_, root_, 0, 30);
        ASSERT_NE(server_->Port(), 0);
    }
    // Makes the package of `files` (written to a scratch folder first) with kestravo-mkupdate,
    // signed with the test key, and puts it on the server under the names the client asks for.
    void MakePackage(const std::vector<std::pair<std::string, std::string>>& files,
                     const std::string& text) {
        std::vector<std::string> argv{kv::test::ProgramDir() + "kestravo-mkupdate",
                                      "--key",
                                      keys_ + "update.key",
                                      "--text",
                                      text,
                                      "--output",
                                      root_};
        for (const auto& [name, content] : files) {
            WriteFile(dir_ / ("src/" + name), content);
            argv.push_back(dir_ / ("src/" + name));
        }
        kv::test::CommandResult result = kv::test::RunCommand(argv);
        ASSERT_EQ(result.exit_code, 0) << result.err;
        std::filesystem::rename(root_ + "UPGRADE.ZIP", root_ + "upgrade.zip");
    }
    // Puts `package` on the server with a support file whose checksum fits it, signed.
    void ServePackage(const std::string& package) {
        const std::string support =
            Support(static_cast<std::int32_t>(package.size()), Sum(package), "pacchetto");
        WriteFile(root_ + "upgrade.zip", package);
        WriteFile(root_ + "ztl", support);
        WriteFile(root_ + "upgrade.sig", SignatureOf(keys_ + "update.key", support, package));
    }
    static std::string SignatureOf(const std::string& key_file, const std::string& support,
                                   const std::string& package) {
        SecretKey key{};
        EXPECT_TRUE(LoadSecretKey(key_file, key));
        PackageSignature message;
        message.Begin(reinterpret_cast<const std::uint8_t*>(support.data()), support.size());
        message.Add(reinterpret_cast<const std::uint8_t*>(package.data()), package.size());
        Signature signature{};
        EXPECT_TRUE(message.Sign(key, signature));
        return std::string(signature.begin(), signature.end());
    }
    // `hook` runs whenever the page lets events run, with the client in use.
    bool RunUpdate(RecordingPage& page, UpdatePolicy policy = UpdatePolicy(),
                   const std::function<void(FtpClient&)>& hook = nullptr) {
        FtpClient client;
        UpdateServer server;
        server.Port = server_->Port();
        if (hook) page.on_pump = [&] { hook(client); };
        UpdateRun run(client, page, program_, server, policy);
        const bool ok = run.Run();
        page.on_pump = nullptr;
        EXPECT_FALSE(client.Connected());
        EXPECT_FALSE(client.OnReplyLine || client.OnProgress || client.OnIdle);
        // Whatever the outcome, no temporary file stays behind.
        for (const auto& entry : std::filesystem::recursive_directory_iterator(program_))
            EXPECT_EQ(entry.path().filename().string().rfind(".kestravo-", 0), std::string::npos)
                << entry.path();
        return ok;
    }

    kv::test::TempDir dir_;
    std::string root_ = dir_ / "root/";
    std::string program_ = dir_ / "prog/";
    std::string keys_ = dir_ / "keys/";
    std::unique_ptr<kv::test::PyFtpServer> server_;
};

TEST_F(UpdateRunTest, GoodRunInstallsEveryFileAndEndsInSuccess) {
    const std::string matrix(5000, 'm');
    const std::string names = "Alfa\nBeta\n";
    MakePackage({{"Matrix.DLL", matrix}, {"virus.lst", names}}, "Nuove firme del 8/12");
    const std::string package = ReadFile(root_ + "upgrade.zip");
    // The package is a ZIP archive that Info-ZIP reads too.
    if (kv::platform::FileExists("/usr/bin/unzip")) {
        kv::test::CommandResult test =
            kv::test::RunCommand({"/usr/bin/unzip", "-tq", root_ + "upgrade.zip"});
        EXPECT_EQ(test.exit_code, 0) << test.out;
    }
    // An older, longer copy under another letter case is replaced, not kept beside the new one.
    WriteFile(program_ + "matrix.dll", std::string(9000, 'o'));

    RecordingPage page;
    EXPECT_TRUE(RunUpdate(page));
    ASSERT_FALSE(page.transcript.empty());
    // The support file's text replaced the transcript; the files and the end follow.
    EXPECT_EQ(page.transcript.front(), "Nuove firme del 8/12");
    EXPECT_EQ(page.FileLines(), (Lines{"FILE: Matrix.DLL OK", "FILE: virus.lst OK"}));
    EXPECT_EQ(page.transcript.back(), "Upgrade success.");
    EXPECT_EQ(ReadFile(program_ + "matrix.dll"), matrix);
    EXPECT_FALSE(std::filesystem::exists(program_ + "Matrix.DLL"));
    EXPECT_EQ(ReadFile(program_ + "virus.lst"), names);
    EXPECT_EQ(ReadFile(program_ + "UPGRADE.ZIP"), package);
    EXPECT_EQ(ReadFile(program_ + "ztl").size(), UpdateRun::kSupportFileSize);
    // Page state: the bar's maximum from the size field, the byte count, the buttons back.
    EXPECT_EQ(page.max, static_cast<int>(package.size() / 1024));
    EXPECT_EQ(page.size_text, std::to_string(package.size()));
    EXPECT_TRUE(page.transcript_shown);
    EXPECT_EQ(page.connection, "Disconnected");
    EXPECT_EQ(page.buttons, (std::vector<std::pair<bool, bool>>{{false, true}, {true, false}}));
    EXPECT_EQ(page.package_errors, 0);
    EXPECT_GT(page.pumps, 0);
}

TEST_F(UpdateRunTest, NoServerBadSupportFileOrWrongChecksumEndWithoutSuccess) {
    // No server: only the failure line, the page back as it was.
    {
        RecordingPage page;
        FtpClient client;
        UpdateServer server;
        server.Port = kv::test::FreeLoopbackPort();  // nothing listens there
        EXPECT_FALSE(UpdateRun(client, page, program_, server).Run());
        EXPECT_EQ(page.transcript, Lines{"Connection failure."});
        EXPECT_FALSE(page.transcript_shown);
        EXPECT_EQ(page.connection, "Disconnected");
        EXPECT_TRUE(page.connect_enabled);
        EXPECT_FALSE(page.close_enabled);
    }
    MakePackage({{"virus.lst", "Alfa\n"}}, "testo");
    const std::string package = ReadFile(root_ + "upgrade.zip");

    // Wrong checksum: nothing is installed.
    WriteFile(root_ + "ztl",
              Support(static_cast<std::int32_t>(package.size()), Sum(package) + 1, "testo"));
    RecordingPage wrong;
    EXPECT_FALSE(RunUpdate(wrong));
    ASSERT_GE(wrong.transcript.size(), 2u);
    EXPECT_EQ(Lines(wrong.transcript.begin(), wrong.transcript.begin() + 2),
              (Lines{"Error: UPGRADE not found.", " "}));
    EXPECT_FALSE(wrong.Has("Upgrade success."));
    EXPECT_FALSE(std::filesystem::exists(program_ + "virus.lst"));

    // A support file shorter than its 1032 bytes is damaged: the update stops before the
    // package. Its size field 1023 would have made a bar of maximum 0.
    WriteFile(root_ + "ztl", Support(1023, Sum(package), "testo").substr(0, 100));
    RecordingPage short_support;
    EXPECT_FALSE(RunUpdate(short_support));
    EXPECT_EQ(Lines(short_support.transcript.begin(), short_support.transcript.begin() + 2),
              (Lines{"Error: Support file not found", "Upgrade stopped."}));
    EXPECT_FALSE(short_support.Has("Upgrade success."));
    EXPECT_EQ(short_support.size_text, "0");

    // A package whose sum fits but which is no archive installed nothing: no success either.
    ServePackage(std::string(3000, 'n'));
    RecordingPage not_zip;
    EXPECT_FALSE(RunUpdate(not_zip));
    EXPECT_EQ(not_zip.package_errors, 1);
    EXPECT_EQ(not_zip.FileLines(), Lines{"FILE: UPGRADE.ZIPerror:-1"});
    EXPECT_FALSE(not_zip.Has("Upgrade success."));
}

TEST_F(UpdateRunTest, FailingSecondOfThreeEntriesKeepsTheFirstAndStops) {
    MakePackage({{"a.dat", "first"}, {"b.dat", "second"}, {"c.dat", "third"}}, "tre");
    // The second target is a folder: it cannot be opened as a file.
    kv::test::MakeFolders(program_ + "b.dat/");
    RecordingPage page;
    EXPECT_FALSE(RunUpdate(page));
    EXPECT_EQ(page.package_errors, 1);
    EXPECT_EQ(page.FileLines(),
              (Lines{"FILE: a.dat OK", "FILE: b.daterror:" + std::to_string(kInstallCannotOpen)}));
    EXPECT_FALSE(page.Has("Upgrade success."));
    EXPECT_EQ(ReadFile(program_ + "a.dat"), "first");
    EXPECT_FALSE(std::filesystem::exists(program_ + "c.dat"));
    EXPECT_EQ(page.connection, "Disconnected");
}

TEST_F(UpdateRunTest, NamesThatLeaveTheProgramFolderAreRefused) {
    const std::string outside = dir_ / "outside.txt";
    for (const std::string& name : {std::string("../outside.txt"), outside,
                                    std::string("..\\outside.txt"), std::string("UPGRADE.ZIP")}) {
        SCOPED_TRACE(name);
        kv::test::ZipBuilder zip;
        zip.Add("first.txt", "kept");
        zip.Add(name, "evil");
        ServePackage(zip.Build());
        RecordingPage page;
        EXPECT_FALSE(RunUpdate(page));
        EXPECT_EQ(page.package_errors, 1);
        EXPECT_EQ(page.FileLines(),
                  (Lines{"FILE: first.txt OK",
                         "FILE: " + name + "error:" + std::to_string(kInstallUnsafeName)}));
        EXPECT_FALSE(std::filesystem::exists(outside));
        EXPECT_FALSE(std::filesystem::exists(program_ + "..\\outside.txt"));
        EXPECT_EQ(ReadFile(program_ + "first.txt"), "kept");
    }
}

// A package that someone else delivers with the byte sum the support file announces, or that
// carries no or another key's signature, changes nothing in the program folder.
TEST_F(UpdateRunTest, ForgedOrUnsignedPackagesAreRefused) {
    WriteFile(program_ + "kestravo-scan", "the real scanner");
    // Noise that Deflate cannot shrink gives the real package a large byte sum to match.
    std::string noise(3000, '\0');
    std::uint32_t state = 7;
    for (char& c : noise) c = static_cast<char>((state = state * 1103515245u + 12345u) >> 24);
    MakePackage({{"virus.lst", noise}}, "firmato");
    const std::string support = ReadFile(root_ + "ztl");
    const std::string package = ReadFile(root_ + "upgrade.zip");

    // The forgery: its own scanner, padded in front so that its byte sum is the real one.
    kv::test::ZipBuilder zip;
    zip.Add("kestravo-scan", "#!/bin/sh\necho forged\n");
    std::string forged;
    for (std::size_t pad = 0; forged.empty(); ++pad) {
        zip.prefix.assign(pad, '\0');
        const std::string bare = zip.Build();
        const std::uint64_t missing = static_cast<std::uint32_t>(Sum(package) - Sum(bare));
        if (missing > 255 * pad) continue;
        for (std::size_t i = 0; i < pad; ++i)
            zip.prefix[i] = static_cast<char>(
                std::min<std::uint64_t>(255, missing - std::min<std::uint64_t>(missing, 255 * i)));
        forged = zip.Build();
    }
    ASSERT_EQ(Sum(forged), Sum(package));

    // A local user connects to the data port announced for the package before the server
    // does, from the server's own address, and hands the forgery over.
    std::uint16_t last_port = 0;
    int transfers = 0;
    auto hijack = [&](FtpClient& client) {
        if (client.DataPort() == 0 || client.DataPort() == last_port) return;
        last_port = client.DataPort();
        if (++transfers != 4) return;  // the listing, ztl, upgrade.sig, then the package
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(client.DataPort());
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
        ASSERT_EQ(::send(fd, forged.data(), forged.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(forged.size()));
        ::close(fd);
    };
    const auto before = Snapshot(program_);
    RecordingPage hijacked;
    EXPECT_FALSE(RunUpdate(hijacked, UpdatePolicy(), hijack));
    // The server reports its own transfer cut short, or the signature does not fit the forgery.
    EXPECT_TRUE(hijacked.Has(kBadSignatureLine) || hijacked.Has("Error: UPGRADE not found."));
    EXPECT_EQ(hijacked.size_text, std::to_string(forged.size()));  // the forgery did arrive

    // No signature on the server, one of another key, one over another support file.
    kv::test::MakeFolders(dir_ / "other");
    ASSERT_EQ(kv::test::RunCommand(
                  {kv::test::ProgramDir() + "kestravo-mkupdate", "--new-key", dir_ / "other"})
                  .exit_code,
              0);
    std::string other_support = support;
    other_support[8] ^= 1;
    for (const std::string& signature :
         {std::string(), SignatureOf(dir_ / "other/update.key", support, package),
          SignatureOf(keys_ + "update.key", other_support, package)}) {
        std::filesystem::remove(root_ + "upgrade.sig");
        if (!signature.empty()) WriteFile(root_ + "upgrade.sig", signature);
        RecordingPage page;
        EXPECT_FALSE(RunUpdate(page));
        EXPECT_TRUE(page.Has(kBadSignatureLine));
        EXPECT_FALSE(page.Has("Upgrade success."));
    }
    EXPECT_EQ(Snapshot(program_), before);
}

// Without update.pub nothing is fetched unless the settings allow unsigned packages; a damaged
// key never counts as none.
TEST_F(UpdateRunTest, MissingKeyRefusesUnlessTheSettingsAllowUnsigned) {
    // The key maker never replaces a key and keeps the secret one private.
    struct stat secret {};
    ASSERT_EQ(::stat((keys_ + "update.key").c_str(), &secret), 0);
    EXPECT_EQ(secret.st_mode & 0777, 0600u);
    const std::string old_key = ReadFile(keys_ + "update.key");
    EXPECT_EQ(
        kv::test::RunCommand({kv::test::ProgramDir() + "kestravo-mkupdate", "--new-key", keys_})
            .exit_code,
        2);
    EXPECT_EQ(ReadFile(keys_ + "update.key"), old_key);

    MakePackage({{"virus.lst", "Alfa\n"}}, "senza chiave");
    std::filesystem::remove(root_ + "upgrade.sig");
    const std::string settings = dir_ / "KESTO.INI";
    WriteFile(settings, "[Update]\nAllowUnsigned=1\n");
    const UpdatePolicy allow = UpdatePolicy::FromSettings(kv::platform::Profile(settings));
    EXPECT_TRUE(allow.AllowUnsigned);
    EXPECT_FALSE(
        UpdatePolicy::FromSettings(kv::platform::Profile(dir_ / "none.ini")).AllowUnsigned);

    struct Case {
        std::string key;  // content of update.pub; empty: no file
        bool allow_unsigned;
        const char* line;  // the refusal, or nullptr for an installed package
    };
    const std::string broken = ReadFile(keys_ + "update.pub").substr(0, 20) + "\n";
    for (const Case& c : {Case{"", false, kNoKeyLine}, Case{broken, true, kBrokenKeyLine},
                          Case{"", true, nullptr}}) {
        SCOPED_TRACE(c.key + (c.allow_unsigned ? " allowed" : ""));
        std::filesystem::remove(program_ + "update.pub");
        if (!c.key.empty()) WriteFile(program_ + "update.pub", c.key);
        const auto before = Snapshot(program_);
        UpdatePolicy policy;
        policy.AllowUnsigned = c.allow_unsigned;
        RecordingPage page;
        EXPECT_EQ(RunUpdate(page, policy), c.line == nullptr);
        if (c.line != nullptr) {
            EXPECT_TRUE(page.Has(c.line));
            EXPECT_EQ(page.size_text, "0");  // no package was fetched
            EXPECT_EQ(Snapshot(program_), before);
        } else {
            EXPECT_EQ(ReadFile(program_ + "virus.lst"), "Alfa\n");
        }
    }
}

// Downloads and members are bounded by what really arrives; past a limit nothing lands and the
// files of the previous update stay.
TEST_F(UpdateRunTest, OversizedDownloadsAndMembersLeaveNothing) {
    WriteFile(program_ + "ztl", "old support");
    WriteFile(program_ + "UPGRADE.ZIP", "old package");
    WriteFile(program_ + "big.dat", "old big");
    // Zeros: a small package that unpacks into a large member.
    MakePackage({{"big.dat", std::string(300000, '\0')}}, "grande");
    const std::string package = ReadFile(root_ + "upgrade.zip");
    const auto before = Snapshot(program_);

    UpdatePolicy small_package;
    small_package.PackageLimit = package.size() - 1;
    RecordingPage over_package;
    EXPECT_FALSE(RunUpdate(over_package, small_package));
    EXPECT_TRUE(over_package.Has(kOverLimitLine));
    EXPECT_EQ(Snapshot(program_), before);

    // A support file longer than its layout is refused before the package.
    const std::string support = ReadFile(root_ + "ztl");
    WriteFile(root_ + "ztl", support + "x");
    RecordingPage over_support;
    EXPECT_FALSE(RunUpdate(over_support));
    EXPECT_TRUE(over_support.Has(kOverLimitLine));
    EXPECT_EQ(over_support.size_text, "0");
    EXPECT_EQ(Snapshot(program_), before);

    // A member that unpacks past its limit fails; its target keeps the old content.
    WriteFile(root_ + "ztl", support);
    UpdatePolicy small_member;
    small_member.MemberLimit = 299999;
    RecordingPage over_member;
    EXPECT_FALSE(RunUpdate(over_member, small_member));
    EXPECT_EQ(over_member.FileLines(),
              Lines{"FILE: big.daterror:" + std::to_string(zip::kExtractOverLimit)});
    EXPECT_EQ(ReadFile(program_ + "big.dat"), "old big");
}

// Members land by rename: the old file is never written into (a running program or a hard
// link to it keeps its content), a link at the target is replaced rather than followed, and
// executables stay executable.
TEST_F(UpdateRunTest, MembersReplaceTheirTargetsWholeAndKeepTheExecutableBit) {
    const std::string outside = dir_ / "outside.txt";
    WriteFile(outside, "outside");
    std::filesystem::create_symlink(outside, program_ + "linked.dat");
    WriteFile(program_ + "tool", "old tool");
    ::chmod((program_ + "tool").c_str(), 0755);
    std::filesystem::create_hard_link(program_ + "tool", dir_ / "tool.old");
    WriteFile(dir_ / "src/script", "#!/bin/sh\n");
    ::chmod((dir_ / "src/script").c_str(), 0755);
    MakePackage({{"tool", "new tool"},
                 {"linked.dat", "new data"},
                 {"script", "#!/bin/sh\n"},
                 {"plain.dat", "plain"}},
                "nuovi");
    RecordingPage page;
    ASSERT_TRUE(RunUpdate(page));
    EXPECT_EQ(ReadFile(program_ + "tool"), "new tool");
    EXPECT_EQ(ReadFile(dir_ / "tool.old"), "old tool");
    EXPECT_EQ(ReadFile(outside), "outside");
    EXPECT_FALSE(std::filesystem::is_symlink(program_ + "linked.dat"));
    EXPECT_EQ(ReadFile(program_ + "linked.dat"), "new data");
    const std::map<std::string, unsigned> modes{
        {"tool", 0755}, {"script", 0755}, {"plain.dat", 0644}, {"linked.dat", 0644}};
    for (const auto& [name, mode] : modes) {
        struct stat st {};
        ASSERT_EQ(::lstat((program_ + name).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode) << name;
    }
}

// Entries that are no plain file (a symbolic link, a folder) are refused, as Info-ZIP zip
// stores them.
TEST_F(UpdateRunTest, LinkAndFolderEntriesAreRefused) {
    if (!kv::platform::FileExists("/usr/bin/zip")) GTEST_SKIP() << "Info-ZIP zip is missing";
    const std::string src = dir_ / "zipsrc/";
    kv::test::MakeFolders(src + "sub");
    WriteFile(src + "first.txt", "kept");
    std::filesystem::create_symlink("/etc/passwd", src + "passwd");
    for (const std::string& entry : {std::string("passwd"), std::string("sub/")}) {
        SCOPED_TRACE(entry);
        std::filesystem::remove(dir_ / "made.zip");
        kv::test::CommandResult made = kv::test::RunCommand(
            {"/usr/bin/zip", "-q", "-y", dir_ / "made.zip", "first.txt", entry}, src);
        ASSERT_EQ(made.exit_code, 0) << made.err;
        ServePackage(ReadFile(dir_ / "made.zip"));
        RecordingPage page;
        EXPECT_FALSE(RunUpdate(page));
        EXPECT_EQ(page.FileLines(),
                  (Lines{"FILE: first.txt OK",
                         "FILE: " + entry + "error:" + std::to_string(kInstallNotAFile)}));
        EXPECT_FALSE(std::filesystem::is_symlink(program_ + "passwd"));
        EXPECT_FALSE(std::filesystem::exists(program_ + "passwd"));
        EXPECT_FALSE(std::filesystem::exists(program_ + "sub"));
    }
}

}  // namespace
}  // namespace kv::update
