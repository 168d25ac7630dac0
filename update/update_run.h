// The online update: fetches the support file "ztl", the signature "upgrade.sig" and the
// package "UPGRADE.ZIP" from the update server, checks the package's byte sum against the
// checksum that the support file carries and its signature against the key "update.pub" of
// the program folder, and unpacks the package's files into the program folder. One Run() is
// one press of the Connect button; it runs to its end on the caller's thread and keeps the
// window alive through the page's Pump(). It holds no Qt and serves any front end.
//
// Support file layout (little-endian): package size (signed 32-bit, only used for the
// progress bar's maximum), checksum (the byte sum of the package modulo 2^32), and a text of
// 1024 bytes for the user, ended by its first NUL byte. A support file shorter than those
// 1032 bytes is taken as damaged and stops the update like a missing one: its checksum or its
// text would be incomplete; a longer one is over its size limit.
//
// The byte sum proves nothing: anyone who can reach the client's data port can send bytes with
// the right sum. So a package is installed only when its signature (see package_signature.h)
// verifies against update.pub. Without update.pub every package is refused, unless the settings
// file allows unsigned packages ([Update] AllowUnsigned=1) for a server that cannot sign; a
// damaged update.pub refuses every package.
//
// Before anything is fetched, the run checks that it can create files in the program folder;
// a folder it cannot write ends the run with kCannotStoreLine.
//
// Every download goes into a temporary file in the program folder, bounded in size, and is
// renamed over "ztl" and "UPGRADE.ZIP" only when the package passed both checks; a failed,
// cut or oversized transfer leaves the previous files as they were and nothing else behind.
//
// Installing never writes outside the program folder: a member whose name is absolute, holds
// a ".." component or a backslash, or whose two headers disagree, is refused as a failed entry,
// and so is a folder, link or device entry. Each member is unpacked into a temporary file in
// its target's folder, bounded in size by what it really produces, and renamed over the target
// (mode 0755 when the stored mode or the old target is executable, else 0644), so a running
// program can be replaced and a failed member leaves no half-written file. The first failed
// entry ends the installation (the entries before it stay installed); an entry whose target
// cannot be replaced fails at once, it is never retried.
#pragma once

#include <cstdint>
#include <string>

#include "update/ftp_client.h"
#include "update/package_signature.h"
#include "update/staged_file.h"

namespace kv::platform {
class Profile;
}
namespace kv::zip {
class ZipArchive;
}

namespace kv::update {

// What the Update page shows while a run goes on. The desktop program implements it with its
// controls; tests record what it is told.
class UpdatePage {
public:
    virtual ~UpdatePage() = default;
    // ftpsizelabel: the running byte count of the package download.
    virtual void SetSizeText(const std::string& text) = 0;
    // ftpConnection: "Connected" / "Disconnected".
    virtual void SetConnectionText(const std::string& text) = 0;
    // ConnectBTN and Closebtn.
    virtual void SetButtons(bool connect_enabled, bool close_enabled) = 0;
    // memo6: emptied, a line appended, the whole text replaced.
    virtual void ClearTranscript() = 0;
    virtual void AppendLine(const std::string& line) = 0;
    virtual void SetTranscript(const std::string& text) = 0;
    // memo6 and Shape6 become visible (after the first successful login, for good).
    virtual void ShowTranscript() = 0;
    // progressbar1's maximum and position.
    virtual void SetProgressMax(int max) = 0;
    virtual void SetProgress(int position) = 0;
    // The error box of a failed entry: text "Package file error", caption "Setup error", error
    // icon, OK button. Returns when the user closed it.
    virtual void ShowPackageError() = 0;
    // The progress of one member's extraction (the archive gauge).
    virtual void ShowExtractProgress(std::uint64_t done, std::uint64_t total) = 0;
    // Lets pending events run once.
    virtual void Pump() = 0;
};

// Results of installing one entry besides the archive reader's own codes (kExtract...).
// The member's name is refused: absolute, "..", backslash or the like.
inline constexpr int kInstallUnsafeName = -20;
// The member's local and central headers disagree on its name or method.
inline constexpr int kInstallHeadersDisagree = -21;
// The target cannot be written or replaced (a folder, a missing subfolder, no right).
inline constexpr int kInstallCannotOpen = -22;
// The entry is no plain file: a folder, a symbolic link or a device.
inline constexpr int kInstallNotAFile = -24;

// Bytes a package, and each member unpacked from it, may hold at most.
inline constexpr std::uint64_t kDefaultPackageLimit = 256ull * 1024 * 1024;
inline constexpr std::uint64_t kDefaultMemberLimit = 256ull * 1024 * 1024;

// What the machine's owner decides about updates.
struct UpdatePolicy {
    // Install packages without a signature when the program folder holds no update.pub.
    bool AllowUnsigned = false;
    std::uint64_t PackageLimit = kDefaultPackageLimit;
    std::uint64_t MemberLimit = kDefaultMemberLimit;

    // The policy of the settings file: [Update] AllowUnsigned (0 or 1, default 0).
    static UpdatePolicy FromSettings(const platform::Profile& profile);
};

// The transcript lines of the failures that the checks above add.
inline constexpr const char* kNoKeyLine =
    "Error: no update key (update.pub); unsigned packages refused.";
inline constexpr const char* kBrokenKeyLine =
    "Error: update key (update.pub) unreadable; packages refused.";
inline constexpr const char* kBadSignatureLine = "Error: package signature missing or wrong.";
inline constexpr const char* kOverLimitLine = "Error: download over the size limit.";
inline constexpr const char* kCannotStoreLine = "Error: cannot write to the program folder.";

// How a run ended: with "Upgrade success.", without an update after the login, or without a
// login (server unreachable, refused, wrong user or password).
enum class UpdateOutcome { kSuccess, kNotUpdated, kNoConnection };

struct UpdateServer {
    std::string Host = kDefaultHost;
    std::uint16_t Port = kDefaultPort;
    std::string User = "ftp";
    std::string Password = "tansy";
};

class UpdateRun {
public:
    static constexpr const char* kSupportFile = "ztl";
    static constexpr const char* kPackageFile = "UPGRADE.ZIP";
    static constexpr std::size_t kSupportTextSize = 1024;
    static constexpr std::size_t kSupportFileSize = 8 + kSupportTextSize;
    // Longest line taken from a reply or the listing.
    static constexpr std::size_t kLineLimit = 255;
    // Most lines of the listing shown; the rest of a longer listing is not read.
    static constexpr std::size_t kListingLimit = 4096;

    UpdateRun(FtpClient& client, UpdatePage& page, std::string program_folder,
              UpdateServer server = UpdateServer(), UpdatePolicy policy = UpdatePolicy());

    // The whole run. True when it ended with "Upgrade success.".
    bool Run();
    // How the last Run() ended.
    UpdateOutcome Outcome() const { return outcome_; }
    // The Close button: ends the transfer that is waiting.
    void Abort() { client_.FtpAbort(); }
    bool Running() const { return running_; }

private:
    bool Login();
    bool CheckFolder();
    bool CheckKey();
    void List();
    bool FetchSupportFile();
    bool ReadSupportFile();
    bool FetchSignature();
    bool FetchPackage();
    bool CheckPackage();
    bool StorePackage();
    bool Install();
    int InstallEntry(zip::ZipArchive& archive, const std::string& name);
    void AppendReplyLine();
    // Opens a data connection and sends TYPE I and RETR `name`; true when the server is about
    // to send the file (the data connection is then accepted).
    bool StartRetrieval(const std::string& name);
    // Ends a started transfer: a retrieval counts as complete only when the server's
    // completion reply says so.
    Retrieval EndRetrieval(Retrieval result);

    FtpClient& client_;
    UpdatePage& page_;
    std::string program_folder_;
    UpdateServer server_;
    UpdatePolicy policy_;
    Folder folder_;
    StagedFile support_;
    StagedFile package_;
    std::string support_bytes_;
    PublicKey key_{};
    bool signed_ = false;
    Signature signature_{};
    Retrieval package_retrieval_ = Retrieval::kComplete;
    bool package_retrieved_ = false;
    std::uint32_t checksum_ = 0;
    bool running_ = false;
    UpdateOutcome outcome_ = UpdateOutcome::kNotUpdated;
};

}  // namespace kv::update
