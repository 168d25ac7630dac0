// kestravo-update against real FTP servers (pyftpdlib and vsftpd, each started by the test):
// the exit status and the program folder after a good package, a missing support file or
// package, a wrong byte sum, a server that dies in the middle of the package; no server and
// wrong arguments; and a program folder the caller cannot write. Every run must end within
// seconds: a run that waits for a reply that never comes is the fault this guards against.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"
#include "tests/update/py_ftp_server.h"
#include "tests/update/vsftpd_server.h"
#include "update/update_run.h"

namespace kv::update {
namespace {

using Clock = std::chrono::steady_clock;
using kv::test::ReadFile;
using kv::test::WriteFile;

constexpr auto kBound = std::chrono::seconds(20);

struct ToolResult {
    int status = -1;
    std::string out;
    Clock::duration took{};
};

// Runs `argv`, calling `watch` with its process every few milliseconds while it runs; a run past
// kBound is killed (its status is then -1).
ToolResult RunTool(const kv::test::TempDir& dir, const std::vector<std::string>& argv,
                   const std::function<void(pid_t)>& watch = nullptr) {
    const std::string out = dir / "tool.out";
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(fd, 1);
        ::dup2(null, 2);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ToolResult result;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() - start > kBound) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            status = -1;
            break;
        }
        if (watch) watch(pid);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    result.took = Clock::now() - start;
    result.status = status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = ReadFile(out);
    return result;
}

// The largest temporary download in `folder`.
std::uintmax_t LargestStaged(const std::string& folder) {
    std::uintmax_t largest = 0;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
        if (entry.path().filename().string().rfind(".kestravo-", 0) == 0)
            largest = std::max(largest, entry.file_size(ec));
    return largest;
}

std::string Tool() {
    return kv::test::ProgramDir() + "kestravo-update";
}

// One FTP server of either kind, serving root_.
class ToolTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        kv::test::MakeFolders(root_);
        kv::test::MakeFolders(program_);
        kv::test::MakeFolders(keys_);
        ASSERT_EQ(
            kv::test::RunCommand({kv::test::ProgramDir() + "kestravo-mkupdate", "--new-key", keys_})
                .exit_code,
            0);
        WriteFile(program_ + "update.pub", ReadFile(keys_ + "update.pub"));
        if (GetParam() == "vsftpd") {
            const std::string why = kv::test::VsftpdServer::Unavailable();
            if (!why.empty()) GTEST_SKIP() << why;
        }
    }
    // Starts the server; `rate` > 0 throttles its transfers (bytes/second).
    void StartServer(int rate = 0) {
        if (GetParam() == "vsftpd") {
            auto server = std::make_shared<kv::test::VsftpdServer>(dir_, root_, rate);
            port_ = server->Port();
            kill_ = [server] { server->Kill(); };
        } else {
            auto server = std::make_shared<kv::test::PyFtpServer>(dir_, root_, rate);
            port_ = server->Port();
            kill_ = [server] { server->Kill(); };
        }
        ASSERT_NE(port_, 0);
    }
    // Signs `files` into the server's root, under the names the client asks for, readable to
    // an anonymous server.
    void MakePackage(const std::vector<std::pair<std::string, std::string>>& files) {
        std::vector<std::string> argv{kv::test::ProgramDir() + "kestravo-mkupdate",
                                      "--key",
                                      keys_ + "update.key",
                                      "--text",
                                      "aggiornamento",
                                      "--output",
                                      root_};
        for (const auto& [name, content] : files) {
            WriteFile(dir_ / ("src/" + name), content);
            argv.push_back(dir_ / ("src/" + name));
        }
        ASSERT_EQ(kv::test::RunCommand(argv).exit_code, 0);
        std::filesystem::rename(root_ + "UPGRADE.ZIP", root_ + "upgrade.zip");
        for (const char* name : {"upgrade.zip", "ztl", "upgrade.sig"})
            ::chmod((root_ + name).c_str(), 0644);
    }
    ToolResult Update(const std::function<void(pid_t)>& watch = nullptr) {
        return RunTool(
            dir_,
            {Tool(), "--host", "127.0.0.1", "--port", std::to_string(port_), "--folder", program_},
            watch);
    }

    kv::test::TempDir dir_;
    std::string root_ = dir_ / "root/";
    std::string program_ = dir_ / "prog/";
    std::string keys_ = dir_ / "keys/";
    std::uint16_t port_ = 0;
    std::function<void()> kill_;
};

// Each case starts from the same server files and the files of an earlier update in the
// program folder; a failed case leaves those exactly as they were.
TEST_P(ToolTest, ExitStatusAndProgramFolderFollowTheOutcome) {
    ASSERT_NO_FATAL_FAILURE(StartServer());
    MakePackage({{"virus.lst", "Alfa\nBeta\n"}});
    const std::string support = ReadFile(root_ + "ztl");
    const std::string package = ReadFile(root_ + "upgrade.zip");
    std::string wrong_sum = support;
    wrong_sum[4] ^= 1;
    struct Case {
        const char* name;
        std::function<void()> change;  // what the server offers differently
        int status;
        const char* line;  // a line the output holds
    };
    const std::vector<Case> cases = {
        {"missing support file", [&] { std::filesystem::remove(root_ + "ztl"); }, 1, nullptr},
        {"missing package", [&] { std::filesystem::remove(root_ + "upgrade.zip"); }, 1,
         "Error: UPGRADE not found."},
        {"wrong byte sum", [&] { WriteFile(root_ + "ztl", wrong_sum); }, 1,
         "Error: UPGRADE not found."},
        {"good package", [] {}, 0, "Upgrade success."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(root_ + "ztl", support);
        WriteFile(root_ + "upgrade.zip", package);
        c.change();
        for (const char* name : {"upgrade.zip", "ztl"}) ::chmod((root_ + name).c_str(), 0644);
        WriteFile(program_ + "ztl", "old support");
        WriteFile(program_ + "UPGRADE.ZIP", "old package");
        const ToolResult r = Update();
        EXPECT_EQ(r.status, c.status) << r.out;
        EXPECT_LT(r.took, kBound);
        if (c.line != nullptr) {
            EXPECT_NE(r.out.find(c.line), std::string::npos) << r.out;
        }
        EXPECT_EQ(LargestStaged(program_), 0u);
        if (c.status == 0) {
            EXPECT_EQ(ReadFile(program_ + "virus.lst"), "Alfa\nBeta\n");
            EXPECT_EQ(ReadFile(program_ + "UPGRADE.ZIP"), package);
            EXPECT_EQ(ReadFile(program_ + "ztl"), support);
            EXPECT_NE(r.out.find("aggiornamento"), std::string::npos) << r.out;
            EXPECT_NE(r.out.find("FILE: virus.lst OK"), std::string::npos) << r.out;
        } else {
            EXPECT_FALSE(std::filesystem::exists(program_ + "virus.lst"));
            EXPECT_TRUE(ReadFile(program_ + "ztl") == "old support");
            EXPECT_TRUE(ReadFile(program_ + "UPGRADE.ZIP") == "old package");
            EXPECT_EQ(r.out.find("Upgrade success."), std::string::npos) << r.out;
        }
    }
}

// The server dies, or the tool is told to stop, while the package comes: the run ends at once,
// without an update and without a temporary file left.
TEST_P(ToolTest, AnInterruptedTransferEndsWithoutUpdate) {
    ASSERT_NO_FATAL_FAILURE(StartServer(256 * 1024));
    std::string noise(2 << 20, '\0');
    std::uint32_t state = 11;
    for (char& c : noise) c = static_cast<char>((state = state * 1103515245u + 12345u) >> 24);
    MakePackage({{"big.dat", noise}});
    const std::vector<std::pair<const char*, std::function<void(pid_t)>>> interruptions = {
        {"the tool gets SIGTERM", [](pid_t tool) { ::kill(tool, SIGTERM); }},
        {"the server dies", [this](pid_t) { kill_(); }},
    };
    for (const auto& [what, interrupt] : interruptions) {
        SCOPED_TRACE(what);
        WriteFile(program_ + "UPGRADE.ZIP", "old package");
        bool interrupted = false;
        const ToolResult r = Update([&, &interrupt = interrupt](pid_t tool) {
            if (!interrupted && LargestStaged(program_) >= 64 * 1024) {
                interrupt(tool);
                interrupted = true;
            }
        });
        EXPECT_TRUE(interrupted);
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_LT(r.took, kBound);
        EXPECT_TRUE(ReadFile(program_ + "UPGRADE.ZIP") == "old package");
        EXPECT_FALSE(std::filesystem::exists(program_ + "big.dat"));
        EXPECT_EQ(LargestStaged(program_), 0u);
    }
}

// A folder that only root may write: the ordinary user's run says so and changes nothing.
TEST_P(ToolTest, UnwritableProgramFolderEndsWithAClearLine) {
    if (!kv::test::RunningAsRoot()) GTEST_SKIP() << "switching to user nobody needs root";
    ASSERT_NO_FATAL_FAILURE(StartServer());
    MakePackage({{"virus.lst", "Alfa\n"}});
    ::chmod(dir_.Path().c_str(), 0755);
    const ToolResult r =
        RunTool(dir_, kv::test::AsNobody({Tool(), "--host", "127.0.0.1", "--port",
                                          std::to_string(port_), "--folder", program_}));
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find(kCannotStoreLine), std::string::npos) << r.out;
    EXPECT_FALSE(std::filesystem::exists(program_ + "virus.lst"));
}

INSTANTIATE_TEST_SUITE_P(Servers, ToolTest, ::testing::Values("pyftpdlib", "vsftpd"));

// No server, or arguments the tool does not take: status 2 at once.
TEST(UpdateTool, NoServerOrWrongArgumentsGiveStatusTwo) {
    kv::test::TempDir dir;
    kv::test::MakeFolders(dir / "prog");
    const std::string port = std::to_string(kv::test::FreeLoopbackPort());
    const std::vector<std::vector<std::string>> runs = {
        {"--host", "127.0.0.1", "--port", port, "--folder", dir / "prog"},
        {"--port", "0"},
        {"--port", "65536"},
        {"--port", "21x"},
        {"--folder"},
        {"--colour", "blue"},
        {"stray"},
    };
    for (const auto& args : runs) {
        std::vector<std::string> argv{Tool()};
        argv.insert(argv.end(), args.begin(), args.end());
        const ToolResult r = RunTool(dir, argv);
        EXPECT_EQ(r.status, 2) << args[0];
        EXPECT_LT(r.took, kBound);
    }
    EXPECT_EQ(RunTool(dir, {Tool(), "--help"}).status, 0);
}

// The package maker makes a missing output folder, with the folders above it, but does not
// write through a file that stands where a folder should be.
TEST(UpdateTool, PackageMakerMakesAMissingOutputFolder) {
    kv::test::TempDir dir;
    WriteFile(dir / "virus.lst", "Alfa\n");
    WriteFile(dir / "file", "a file");
    const std::string maker = kv::test::ProgramDir() + "kestravo-mkupdate";
    ASSERT_EQ(
        kv::test::RunCommand({maker, "--output", dir / "out/new", dir / "virus.lst"}).exit_code, 0);
    EXPECT_TRUE(std::filesystem::exists(dir / "out/new/UPGRADE.ZIP"));
    struct stat st {};
    ASSERT_EQ(::stat((dir / "out").c_str(), &st), 0);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0755u & ~mask);
    EXPECT_EQ(
        kv::test::RunCommand({maker, "--output", dir / "file/sub", dir / "virus.lst"}).exit_code,
        2);
}

}  // namespace
}  // namespace kv::update
