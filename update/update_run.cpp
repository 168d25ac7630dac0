#include "update/update_run.h"

#include <unistd.h>

#include <utility>

#include "containers/zip_reader.h"
#include "platform/files.h"

namespace kv::update {

namespace {

std::int32_t Le32(const unsigned char* p) {
    return static_cast<std::int32_t>(
        static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
        (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24));
}

// A member name as the transcript shows it: control characters would break the line.
std::string Printable(const std::string& name) {
    std::string shown = name;
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    return shown;
}

// Shows each member's extraction on the page and keeps the window alive meanwhile.
class PageProgress : public zip::ExtractProgress {
public:
    explicit PageProgress(UpdatePage& page) : page_(page) {}
    void OnFlush(std::uint64_t done, std::uint64_t total) override {
        page_.ShowExtractProgress(done, total);
        page_.Pump();
    }

private:
    UpdatePage& page_;
};

}  // namespace

UpdateRun::UpdateRun(FtpClient& client, UpdatePage& page, std::string program_folder,
                     UpdateServer server)
    : client_(client),
      page_(page),
      program_folder_(platform::WithTrailingSlash(std::move(program_folder))),
      server_(std::move(server)) {}

void UpdateRun::AppendReplyLine() {
    std::string line;
    if (client_.FtpLastReplyLine(line, kLineLimit)) page_.AppendLine(line);
    page_.Pump();
}

bool UpdateRun::Run() {
    running_ = true;
    page_.SetSizeText("0");
    page_.SetButtons(false, true);
    client_.OnIdle = [this] { page_.Pump(); };
    bool ok = true;
    page_.ClearTranscript();
    page_.SetProgress(0);
    client_.OnReplyLine = [this] { AppendReplyLine(); };

    if (!Login()) {
        page_.AppendLine("Connection failure.");
        ok = false;
    } else {
        page_.SetConnectionText("Connected");
        page_.ShowTranscript();
        client_.FtpCommand("CWD /");
        List();
        ok = FetchSupportFile() && ReadSupportFile();
        if (ok) {
            const bool retrieved = FetchPackage();
            if (!retrieved || client_.ByteSum() != checksum_) {
                page_.ClearTranscript();
                page_.AppendLine("Error: UPGRADE not found.");
                page_.AppendLine(" ");
                ok = false;
            }
        }
        if (ok) ok = Install();
        client_.FtpCommand("QUIT");
        client_.FtpDisconnect();
        if (ok) page_.AppendLine("Upgrade success.");
    }

    // The callbacks refer to this run: none may outlive it.
    client_.OnIdle = nullptr;
    client_.FtpResetCallbacks();
    page_.SetButtons(true, false);
    page_.SetConnectionText("Disconnected");
    running_ = false;
    return ok;
}

bool UpdateRun::Login() {
    return client_.FtpLogin(server_.Host, server_.User, server_.Password, server_.Port);
}

void UpdateRun::List() {
    if (!client_.FtpOpenData()) return;
    // A refused LIST opens no data connection: waiting for one would wait for ever.
    if (client_.FtpCommand("LIST")) {
        client_.FtpAcceptData();
        std::string line;
        while (client_.FtpReadDataLine(line, kLineLimit)) page_.AppendLine(line);
    }
    client_.FtpCloseData();
}

bool UpdateRun::FetchSupportFile() {
    if (!client_.FtpOpenData()) return false;
    client_.OnProgress = nullptr;
    client_.FtpCommand("TYPE I");
    bool ok = false;
    if (client_.FtpCommand(std::string("RETR ") + kSupportFile)) {
        client_.FtpAcceptData();
        // A support file that could not be written must not leave an older one in use.
        ok = client_.FtpRetrieveToFile(
            platform::ResolveCaseInsensitive(program_folder_, kSupportFile));
    }
    client_.FtpCloseData();
    return ok;
}

bool UpdateRun::ReadSupportFile() {
    platform::File file;
    unsigned char support[kSupportFileSize];
    if (!file.OpenRead(platform::ResolveCaseInsensitive(program_folder_, kSupportFile)) ||
        file.ReadFull(support, sizeof support) != static_cast<long>(sizeof support)) {
        page_.ClearTranscript();
        page_.AppendLine("Error: Support file not found");
        page_.AppendLine("Upgrade stopped.");
        return false;
    }
    const std::int32_t size = Le32(support);
    page_.SetProgressMax(size > 0 ? size / 1024 : 0);
    checksum_ = static_cast<std::uint32_t>(Le32(support + 4));
    std::size_t length = 0;
    while (length < kSupportTextSize && support[8 + length] != 0) ++length;
    page_.SetTranscript(std::string(reinterpret_cast<const char*>(support + 8), length));
    return true;
}

bool UpdateRun::FetchPackage() {
    if (!client_.FtpOpenData()) return false;
    client_.OnProgress = [this](std::int32_t total) {
        page_.SetSizeText(std::to_string(total));
        page_.SetProgress(total / 1024);
        page_.Pump();
    };
    page_.SetProgress(0);
    client_.FtpCommand("TYPE I");
    bool retrieved = false;
    if (client_.FtpCommand("RETR upgrade.zip")) {
        client_.FtpAcceptData();
        retrieved = client_.FtpRetrieveToFile(
            platform::ResolveCaseInsensitive(program_folder_, kPackageFile));
    }
    client_.FtpCloseData();
    return retrieved;
}

bool UpdateRun::Install() {
    zip::ZipArchive archive;
    archive.Open(platform::ResolveCaseInsensitive(program_folder_, kPackageFile));
    bool ok = true;
    while (archive.Status() == zip::kStatusMember && ok) {
        const std::string name = archive.MemberName();
        const int r = InstallEntry(archive, name);
        if (r != 0) {
            page_.ShowPackageError();
            ok = false;
        }
        page_.AppendLine(ok ? "FILE: " + Printable(name) + " OK"
                            : "FILE: " + Printable(name) + "error:" + std::to_string(r));
        archive.Next();
    }
    // A package that is no readable archive, or whose directory breaks off, did not install
    // what it holds: that is no success.
    if (ok && archive.Status() < 0) {
        page_.ShowPackageError();
        page_.AppendLine(std::string("FILE: ") + kPackageFile +
                         "error:" + std::to_string(archive.Status()));
        ok = false;
    }
    archive.Close();
    return ok;
}

int UpdateRun::InstallEntry(zip::ZipArchive& archive, const std::string& name) {
    if (!zip::IsSafeMemberName(name) || !zip::IsSafeMemberName(archive.CentralName()))
        return kInstallUnsafeName;
    if (!archive.HeadersAgree()) return kInstallHeadersDisagree;
    const std::string target = platform::ResolveCaseInsensitive(program_folder_, name);
    // The package being read is never written over.
    if (target == platform::ResolveCaseInsensitive(program_folder_, kPackageFile))
        return kInstallUnsafeName;

    platform::File out;
    if (!out.OpenReadWrite(target) && !out.Create(target)) return kInstallCannotOpen;
    PageProgress progress(page_);
    const int r = archive.ExtractMember(out, zip::kDefaultFileLimit, &progress);
    if (r != zip::kExtractOk) return r;
    const std::int64_t end = out.Position();
    if (end < 0 || ::ftruncate(out.Descriptor(), end) != 0) return kInstallCannotCut;
    return 0;
}

}  // namespace kv::update
