// The update run against a real FTP server on loopback, with packages made by
// kestravo-mkupdate (or, for names that tool never writes, by the test ZIP writer): a good
// run, damaged support files and packages, no server, a failing entry, refused names.
#include "update/update_run.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

#include "containers/zip_reader.h"
#include "platform/files.h"
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
    void Pump() override { ++pumps; }

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

class UpdateRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        kv::test::MakeFolders(root_);
        kv::test::MakeFolders(program_);
        server_ = std::make_unique<kv::test::PyFtpServer>(dir_, root_);
        ASSERT_NE(server_->Port(), 0);
    }
    // Makes the package of `files` (written to a scratch folder first) with kestravo-mkupdate
    // and puts it on the server under the names the client asks for.
    void MakePackage(const std::vector<std::pair<std::string, std::string>>& files,
                     const std::string& text) {
        std::vector<std::string> argv{kv::test::ProgramDir() + "kestravo-mkupdate", "--text", text,
                                      "--output", root_};
        for (const auto& [name, content] : files) {
            WriteFile(dir_ / ("src/" + name), content);
            argv.push_back(dir_ / ("src/" + name));
        }
        kv::test::CommandResult result = kv::test::RunCommand(argv);
        ASSERT_EQ(result.exit_code, 0) << result.err;
        std::filesystem::rename(root_ + "UPGRADE.ZIP", root_ + "upgrade.zip");
    }
    // Puts `package` on the server with a support file whose checksum fits it.
    void ServePackage(const std::string& package) {
        WriteFile(root_ + "upgrade.zip", package);
        WriteFile(root_ + "ztl",
                  Support(static_cast<std::int32_t>(package.size()), Sum(package), "pacchetto"));
    }
    bool RunUpdate(RecordingPage& page) {
        FtpClient client;
        UpdateServer server;
        server.Port = server_->Port();
        UpdateRun run(client, page, program_, server);
        const bool ok = run.Run();
        EXPECT_FALSE(client.Connected());
        EXPECT_FALSE(client.OnReplyLine || client.OnProgress || client.OnIdle);
        return ok;
    }

    kv::test::TempDir dir_;
    std::string root_ = dir_ / "root/";
    std::string program_ = dir_ / "prog/";
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
        int probe = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        ::bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&a), &length);
        ::close(probe);  // nothing listens on that port now
        RecordingPage page;
        FtpClient client;
        UpdateServer server;
        server.Port = ntohs(a.sin_port);
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

}  // namespace
}  // namespace kv::update
