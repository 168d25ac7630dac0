// kestravo-update: the online update without a window, for servers and cron jobs.
//
//   kestravo-update [--host HOST] [--port PORT] [--user USER] [--password PASS] [--folder DIR]
//
// Runs the same procedure as the Connect button of the Update page against HOST:PORT (default
// the local machine, port 21, user "ftp", password "tansy") and installs into DIR (default the
// program folder of this installation). Every transcript line goes to standard output; the
// download's byte count goes to standard error only when that is a terminal. Whether unsigned
// packages may be installed comes from the settings file, as for the desktop program.
//
// The package must verify against DIR/update.pub. The key sits beside the files it admits:
// whoever can put a key into DIR can put the files there directly, and this tool gains no
// right of its own (it is not set-user-ID), so a key in a folder of the caller's choosing
// admits nothing the caller could not already write.
//
// Exit status: 0 "Upgrade success.", 1 the update did not happen, 2 the server could not be
// reached or logged into, or the arguments are wrong.
//
// SIGINT, SIGTERM and SIGHUP end every transfer as the Close button ends one: the run goes on
// to its end without the files still to come, so nothing half-fetched is left behind.
#include <unistd.h>

#include <csignal>

#include <cstdio>
#include <functional>
#include <string>

#include "platform/files.h"
#include "platform/profile.h"
#include "update/ftp_client.h"
#include "update/update_run.h"

namespace {

// Set by SIGINT, SIGTERM or SIGHUP; the page's event pump passes it on to the run.
volatile sig_atomic_t g_interrupted = 0;

void OnSignal(int) {
    g_interrupted = 1;
}

// The Update page as lines of text.
class TextPage : public kv::update::UpdatePage {
public:
    void SetSizeText(const std::string& text) override {
        if (show_progress_) std::fprintf(stderr, "\r%s bytes", text.c_str());
        progress_shown_ = show_progress_;
    }
    void SetConnectionText(const std::string&) override {}
    void SetButtons(bool, bool) override {}
    void ClearTranscript() override {}
    void AppendLine(const std::string& line) override {
        EndProgress();
        std::fprintf(stdout, "%s\n", line.c_str());
        std::fflush(stdout);
    }
    void SetTranscript(const std::string& text) override {
        std::size_t start = 0;
        while (start < text.size()) {
            std::size_t end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            std::string line = text.substr(start, end - start);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            AppendLine(line);
            start = end + 1;
        }
    }
    void ShowTranscript() override {}
    void SetProgressMax(int) override {}
    void SetProgress(int) override {}
    void ShowPackageError() override {
        EndProgress();
        std::fprintf(stderr, "kestravo-update: Setup error: Package file error\n");
    }
    void ShowExtractProgress(std::uint64_t, std::uint64_t) override {}
    // Every wait of the run pumps: after a signal each one ends at once, so the run hurries to
    // its end (the files already verified are still installed whole, or not at all).
    void Pump() override {
        if (g_interrupted && on_interrupt) on_interrupt();
    }

    // What a signal does: abort the waiting transfer.
    std::function<void()> on_interrupt;

private:
    void EndProgress() {
        if (progress_shown_) std::fputc('\n', stderr);
        progress_shown_ = false;
    }
    const bool show_progress_ = ::isatty(2) == 1;
    bool progress_shown_ = false;
};

int Usage(std::FILE* to, int status) {
    std::fprintf(to,
                 "usage: kestravo-update [--host HOST] [--port PORT] [--user USER] "
                 "[--password PASS] [--folder DIR]\n"
                 "Fetches the update package from the FTP server and installs it into DIR\n"
                 "(default: the program folder). Exit status: 0 updated, 1 not updated,\n"
                 "2 server not reached or wrong arguments.\n");
    return status;
}

bool ParsePort(const std::string& text, std::uint16_t& port) {
    if (text.empty() || text.size() > 5) return false;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > 65535) return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    kv::update::UpdateServer server;
    std::string folder = kv::platform::ProgramFolder();
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") return Usage(stdout, 0);
        if (i + 1 >= argc) return Usage(stderr, 2);
        const std::string value = argv[++i];
        bool taken = true;
        if (arg == "--host")
            server.Host = value;
        else if (arg == "--port")
            taken = ParsePort(value, server.Port);
        else if (arg == "--user")
            server.User = value;
        else if (arg == "--password")
            server.Password = value;
        else if (arg == "--folder")
            folder = value;
        else
            taken = false;
        // An empty password is a password; an empty host, user or folder is a mistake.
        if (!taken || (value.empty() && arg != "--password")) return Usage(stderr, 2);
    }
    // A reader of the transcript that goes away must not end an installation half-way.
    ::signal(SIGPIPE, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
    TextPage page;
    kv::update::FtpClient client;
    kv::update::UpdateRun run(
        client, page, folder, server,
        kv::update::UpdatePolicy::FromSettings(kv::platform::Profile::Settings()));
    page.on_interrupt = [&run] { run.Abort(); };
    run.Run();
    if (g_interrupted) std::fputs("kestravo-update: interrupted\n", stderr);
    switch (run.Outcome()) {
        case kv::update::UpdateOutcome::kSuccess:
            return 0;
        case kv::update::UpdateOutcome::kNotUpdated:
            return 1;
        case kv::update::UpdateOutcome::kNoConnection:
            break;
    }
    return 2;
}
