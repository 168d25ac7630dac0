// The online update: fetches the support file "ztl" and the package "UPGRADE.ZIP" from the
// update server, checks the package's byte sum against the checksum that the support file
// carries, and unpacks the package's files into the program folder. One Run() is one press of
// the Connect button; it runs to its end on the caller's thread and keeps the window alive
// through the page's Pump().
//
// Support file layout (little-endian): package size (signed 32-bit, only used for the
// progress bar's maximum), checksum (the byte sum of the package modulo 2^32), and a text of
// 1024 bytes for the user, ended by its first NUL byte. A support file shorter than those
// 1032 bytes is taken as damaged and stops the update like a missing one: its checksum or its
// text would be incomplete.
//
// Installing never writes outside the program folder: a member whose name is absolute, holds
// a ".." component or a backslash, or whose two headers disagree, is refused as a failed entry.
// The first failed entry ends the installation (the entries before it stay installed); an entry
// whose target cannot be opened fails at once, it is never retried. A target is written over
// from its start and then cut to the entry's length, so no stale tail of an older, longer file
// remains.
#pragma once

#include <cstdint>
#include <string>

#include "update/ftp_client.h"

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
// The target file cannot be opened or created (a folder, a missing subfolder, no right).
inline constexpr int kInstallCannotOpen = -22;
// The target could not be cut to the entry's length.
inline constexpr int kInstallCannotCut = -23;

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

    // `program_folder` must end in '/'.
    UpdateRun(FtpClient& client, UpdatePage& page, std::string program_folder,
              UpdateServer server = UpdateServer());

    // The whole run. True when it ended with "Upgrade success.".
    bool Run();
    // The Close button: ends the transfer that is waiting.
    void Abort() { client_.FtpAbort(); }
    bool Running() const { return running_; }

private:
    bool Login();
    void List();
    bool FetchSupportFile();
    bool ReadSupportFile();
    bool FetchPackage();
    bool Install();
    int InstallEntry(zip::ZipArchive& archive, const std::string& name);
    void AppendReplyLine();

    FtpClient& client_;
    UpdatePage& page_;
    std::string program_folder_;
    UpdateServer server_;
    std::uint32_t checksum_ = 0;
    bool running_ = false;
};

}  // namespace kv::update
