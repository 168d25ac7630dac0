#include "update/update_run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "containers/zip_reader.h"
#include "platform/byte_order.h"
#include "platform/files.h"
#include "platform/profile.h"

namespace kv::update {

namespace {

// What the central directory header of the current member says about the entry's kind and
// mode: the host that made it (upper byte of "version made by") and its external attributes
// (on Unix, the file mode in the upper 16 bits; bit 4 is the MS-DOS folder attribute).
struct EntryKind {
    bool plain_file = false;
    bool executable = false;
};

EntryKind ReadEntryKind(platform::File& package, const zip::ZipArchive& archive) {
    constexpr int kHostUnix = 3;
    constexpr std::uint32_t kDosFolder = 0x10;
    EntryKind kind;
    unsigned char header[46];
    if (package.ReadAt(header, sizeof header, archive.DirectoryPos()) !=
        static_cast<long>(sizeof header))
        return kind;
    const int host = header[5];
    const std::uint32_t attributes = platform::LoadLe32(header + 38);
    const std::uint32_t mode = attributes >> 16;
    const std::uint32_t type = mode & S_IFMT;
    // Whatever host made it, a type that is set must be a regular file.
    kind.plain_file = (type == 0 || type == S_IFREG) && (attributes & kDosFolder) == 0;
    kind.executable = host == kHostUnix && (mode & 0111) != 0;
    return kind;
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

UpdatePolicy UpdatePolicy::FromSettings(const platform::Profile& profile) {
    UpdatePolicy policy;
    policy.AllowUnsigned = profile.ReadBool("Update", "AllowUnsigned", false);
    return policy;
}

UpdateRun::UpdateRun(FtpClient& client, UpdatePage& page, std::string program_folder,
                     UpdateServer server, UpdatePolicy policy)
    : client_(client),
      page_(page),
      program_folder_(platform::WithTrailingSlash(std::move(program_folder))),
      server_(std::move(server)),
      policy_(policy) {}

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

    outcome_ = UpdateOutcome::kNotUpdated;
    if (!Login()) {
        page_.AppendLine("Connection failure.");
        ok = false;
        outcome_ = UpdateOutcome::kNoConnection;
    } else {
        page_.SetConnectionText("Connected");
        page_.ShowTranscript();
        // Nothing is fetched that could not be stored or installed.
        ok = CheckFolder() && CheckKey();
        if (ok) {
            client_.FtpCommand("CWD /");
            List();
            ok = FetchSupportFile() && ReadSupportFile();
        }
        if (ok && signed_) ok = FetchSignature();
        if (ok) ok = FetchPackage() && CheckPackage();
        if (ok) ok = StorePackage();
        if (ok) ok = Install();
        client_.FtpCommand("QUIT");
        client_.FtpDisconnect();
        if (ok) {
            page_.AppendLine("Upgrade success.");
            outcome_ = UpdateOutcome::kSuccess;
        }
    }
    // Whatever did not land is deleted now.
    support_.Discard();
    package_.Discard();

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

bool UpdateRun::CheckFolder() {
    // A trial file, deleted at once, shows whether the downloads and members can land.
    StagedFile trial;
    if (!folder_.Open(program_folder_) || !trial.Create(folder_)) {
        page_.AppendLine(kCannotStoreLine);
        return false;
    }
    return true;
}

bool UpdateRun::CheckKey() {
    signed_ = false;
    switch (LoadPublicKey(program_folder_, key_)) {
        case KeyFileState::kLoaded:
            signed_ = true;
            return true;
        case KeyFileState::kMissing:
            if (policy_.AllowUnsigned) return true;
            page_.AppendLine(kNoKeyLine);
            return false;
        case KeyFileState::kBroken:
            break;
    }
    page_.AppendLine(kBrokenKeyLine);
    return false;
}

void UpdateRun::List() {
    if (!client_.FtpOpenData()) return;
    // A refused LIST opens no data connection: there is nothing to wait for.
    if (client_.FtpCommand("LIST")) {
        client_.FtpAcceptData();
        std::string line;
        // A server that lists without end fills neither memory nor the transcript.
        for (std::size_t lines = 0;
             lines < kListingLimit && client_.FtpReadDataLine(line, kLineLimit); ++lines)
            page_.AppendLine(line);
        client_.FtpEndTransfer();
    }
    client_.FtpCloseData();
}

bool UpdateRun::StartRetrieval(const std::string& name) {
    if (!client_.FtpOpenData()) return false;
    client_.FtpCommand("TYPE I");
    if (!client_.FtpCommand("RETR " + name)) return false;
    client_.FtpAcceptData();
    return true;
}

Retrieval UpdateRun::EndRetrieval(Retrieval result) {
    // A cut transfer that happens to match no limit is still a failed one.
    if (!client_.FtpEndTransfer() && result == Retrieval::kComplete) return Retrieval::kFailed;
    return result;
}

bool UpdateRun::FetchSupportFile() {
    if (!support_.Create(folder_)) {
        page_.AppendLine(kCannotStoreLine);
        return false;
    }
    client_.OnProgress = nullptr;
    Retrieval result = Retrieval::kCannotWrite;
    if (StartRetrieval(kSupportFile))
        result = EndRetrieval(client_.FtpRetrieve(support_.Handle(), kSupportFileSize));
    client_.FtpCloseData();
    if (result == Retrieval::kOverLimit) page_.AppendLine(kOverLimitLine);
    return result == Retrieval::kComplete;
}

bool UpdateRun::ReadSupportFile() {
    unsigned char support[kSupportFileSize];
    if (support_.Handle().ReadAt(support, sizeof support, 0) != static_cast<long>(sizeof support)) {
        page_.ClearTranscript();
        page_.AppendLine("Error: Support file not found");
        page_.AppendLine("Upgrade stopped.");
        return false;
    }
    support_bytes_.assign(reinterpret_cast<const char*>(support), sizeof support);
    const std::int32_t size = static_cast<std::int32_t>(platform::LoadLe32(support));
    page_.SetProgressMax(size > 0 ? size / 1024 : 0);
    checksum_ = platform::LoadLe32(support + 4);
    std::size_t length = 0;
    while (length < kSupportTextSize && support[8 + length] != 0) ++length;
    page_.SetTranscript(std::string(reinterpret_cast<const char*>(support + 8), length));
    return true;
}

bool UpdateRun::FetchSignature() {
    std::string bytes;
    Retrieval result = Retrieval::kCannotWrite;
    if (StartRetrieval(kSignatureFile))
        result = EndRetrieval(client_.FtpRetrieveToMemory(bytes, kSignatureSize));
    client_.FtpCloseData();
    if (result != Retrieval::kComplete || bytes.size() != kSignatureSize) {
        page_.AppendLine(kBadSignatureLine);
        return false;
    }
    std::copy(bytes.begin(), bytes.end(), signature_.begin());
    return true;
}

bool UpdateRun::FetchPackage() {
    if (!package_.Create(folder_)) {
        page_.AppendLine(kCannotStoreLine);
        return false;
    }
    client_.OnProgress = [this](std::int32_t total) {
        page_.SetSizeText(std::to_string(total));
        page_.SetProgress(total / 1024);
        page_.Pump();
    };
    page_.SetProgress(0);
    package_retrieved_ = false;
    package_retrieval_ = Retrieval::kCannotWrite;
    if (StartRetrieval("upgrade.zip")) {
        package_retrieval_ =
            EndRetrieval(client_.FtpRetrieve(package_.Handle(), policy_.PackageLimit));
        package_retrieved_ = package_retrieval_ == Retrieval::kComplete;
    }
    client_.FtpCloseData();
    return true;
}

bool UpdateRun::CheckPackage() {
    if (package_retrieval_ == Retrieval::kOverLimit) {
        page_.AppendLine(kOverLimitLine);
        return false;
    }
    if (!package_retrieved_ || client_.ByteSum() != checksum_) {
        page_.ClearTranscript();
        page_.AppendLine("Error: UPGRADE not found.");
        page_.AppendLine(" ");
        return false;
    }
    if (!signed_) return true;
    // The bytes checked are those of the file that will be installed, read through the same
    // descriptor.
    PackageSignature message;
    message.Begin(reinterpret_cast<const std::uint8_t*>(support_bytes_.data()),
                  support_bytes_.size());
    if (!message.AddFile(package_.Handle()) || !message.Verify(key_, signature_)) {
        page_.AppendLine(kBadSignatureLine);
        return false;
    }
    return true;
}

bool UpdateRun::StorePackage() {
    if (!support_.Commit(folder_.Resolve(kSupportFile), 0644) ||
        !package_.Commit(folder_.Resolve(kPackageFile), 0644)) {
        page_.AppendLine(kCannotStoreLine);
        return false;
    }
    return true;
}

bool UpdateRun::Install() {
    // The archive reads the checked file through a descriptor of its own.
    const int fd = ::fcntl(package_.Handle().Descriptor(), F_DUPFD_CLOEXEC, 0);
    platform::File file;
    if (fd >= 0) file.Adopt(fd);
    zip::ZipArchive archive;
    archive.Open(std::move(file));
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
    const EntryKind kind = ReadEntryKind(package_.Handle(), archive);
    if (name.back() == '/' || !kind.plain_file) return kInstallNotAFile;

    // The folder of the target, reached one component at a time without following a link.
    Folder parent;
    const Folder* folder = &folder_;
    std::size_t start = 0;
    for (std::size_t slash; (slash = name.find('/', start)) != std::string::npos;
         start = slash + 1) {
        Folder below;
        if (!below.OpenBelow(*folder, folder->Resolve(name.substr(start, slash - start))))
            return kInstallCannotOpen;
        parent = std::move(below);
        folder = &parent;
    }
    const std::string target = folder->Resolve(name.substr(start));
    // The package being read is never written over.
    if (folder == &folder_ && platform::EqualsIgnoringCase(target, kPackageFile))
        return kInstallUnsafeName;
    struct stat old {};
    bool executable = kind.executable;
    if (::fstatat(folder->Descriptor(), target.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISDIR(old.st_mode)) return kInstallCannotOpen;
        if (S_ISREG(old.st_mode) && (old.st_mode & 0111) != 0) executable = true;
    }

    StagedFile out;
    if (!out.Create(*folder)) return kInstallCannotOpen;
    PageProgress progress(page_);
    const int r = archive.ExtractMember(out.Handle(), policy_.MemberLimit, &progress);
    if (r != zip::kExtractOk) return r;
    if (!out.Commit(target, executable ? 0755 : 0644)) return kInstallCannotOpen;
    return 0;
}

}  // namespace kv::update
