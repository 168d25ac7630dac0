// The scan engine: scans one resource (a file, a folder or a whole mounted file system) per
// call, walks folders, selects files by extension, hands each selected file to the file scan
// pipeline and reports what it finds through the report list. One Engine object serves the
// whole run of a program; it is given the catalogue, the report and the user-interface hooks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/detection_routines.h"
#include "engine/match_kernel.h"
#include "engine/scan_types.h"
#include "engine/scan_ui.h"
#include "engine/signature_database.h"
#include "platform/block_device.h"

namespace kv {

class Catalogue;
class ReportList;

namespace zip {
class ZipArchive;
}
namespace platform {
class File;
class TempFile;
struct ScannedFile;
}  // namespace platform
struct ReportLine;

// Bounds of the archive scan, so that a crafted archive can neither fill the disk with
// extracted members nor nest without end. A user may raise them (kestravo-scan has an option
// for each); whoever runs the engine sets them before a scan.
struct ArchiveLimits {
    static constexpr int kDefaultMaxDepth = 16;
    static constexpr std::uint64_t kDefaultMaxMemberSize = std::uint64_t{256} << 20;
    static constexpr std::uint64_t kDefaultMaxArchiveInflate = std::uint64_t{1} << 30;
    static constexpr std::uint64_t kDefaultMaxMembers = 100000;

    // Archive levels opened: an archive handed over by the walk is level 1, an archive inside
    // it level 2, and so on. A member archive that would be opened deeper is not scanned.
    // Values below 1 count as 1.
    int MaxDepth = kDefaultMaxDepth;
    // Bytes written to disk for one member extracted to a temporary file (nested archives and
    // documents).
    std::uint64_t MaxMemberSize = kDefaultMaxMemberSize;
    // Bytes decompressed in all for one file handed over by the walk: every member of the
    // archive and of the archives nested in it, in memory or to disk.
    std::uint64_t MaxArchiveInflate = kDefaultMaxArchiveInflate;
    // Directory entries walked in all for one file handed over by the walk, every level
    // together. Entries that overlap (many entries naming one member) or small nested
    // archives cost no decompressed bytes worth speaking of; this bounds the work they make.
    std::uint64_t MaxMembers = kDefaultMaxMembers;
};

class Engine {
public:
    Engine(Catalogue& catalogue, ReportList& report, ScanUi& ui);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    ScanOptions Options;
    ScanCounters Counters;
    FileKind Kind = kKindNone;
    ArchiveLimits Limits;

    // Scans one resource. `database_folder` ends in '/'; `target` is a folder path ending in
    // '/' (a mount root scans its boot area first) or a file path. Returns 0, or the negative
    // code of the signature database load when the resource could not be scanned.
    int ScanResource(const std::string& database_folder, const std::string& target);

    // Walks one folder (path ending in '/'), recursively when ScanSubfolders is set.
    void WalkFolder(const std::string& folder);

    // Whether the file is selected for scanning by its extension; sets Kind when it is.
    bool ClassifyFile(const std::string& name);

    // Scans one file by the kind of the last classification. `display_name` empty means the
    // file came from the walk (its path is shown). Returns 1 when an infection was reported.
    int ScanFile(const std::string& path, const std::string& display_name = "");

    // Sends the companion kernel driver request 1 (start) or 2 (end).
    void NotifyDriver(unsigned long request);

    // The device node of the companion driver (tests point it elsewhere).
    std::string DriverDevice;
    // Set by internet mode; drained after a boot-area scan.
    WatchDrain* Watches = nullptr;
    // The drive roots and the devices that hold them (tests name disk images here).
    platform::BlockDeviceMap BootDevices;
    // How long the boot-sector companion program may run.
    int CompanionTimeoutMs = 5000;
    // The folder that holds the boot-sector companion program SAFEBOOT.EXE, ending in '/';
    // empty: the signature database's folder (which is the program folder of the desktop
    // program).
    std::string CompanionFolder;

    Catalogue& Messages() { return catalogue_; }
    ReportList& Report() { return report_; }
    ScanUi& Ui() { return ui_; }

    // The engine buffer of a resource scan: 4096 bytes, of which the scan window uses 4000.
    static constexpr std::size_t kEngineBufferSize = 4096;
    static constexpr std::size_t kEngineWindowCapacity = 4000;

    // The loaded signature database (loaded for the duration of one ScanResource call), the
    // matching kernel with its scan window and hit list, and the built-in detection routines
    // the kernel calls. The document, archive and boot branches search through these.
    SignatureDatabase& Database() { return database_; }
    MatchKernel& Kernel() { return kernel_; }
    DetectionRoutines& Routines() { return routines_; }
    // Makes the engine buffer the scan window again (capacity 4000), e.g. after an archive.
    void RestoreEngineWindow();

private:
    int LoadSignatureDatabase(const std::string& folder);
    void ReleaseSignatureDatabase();
    // Scans the boot area of the file system whose root is `root`; returns whether its
    // device could be opened.
    bool ScanBootArea(const std::string& root);
    // Where ScanFile finds its file when not by its path: a file the walk hands over is
    // opened by its name in the walk's open folder, a member just extracted is read through
    // the descriptor of its temporary file (its first `written_size` bytes).
    struct FileSource {
        int folder_fd = -1;
        const std::string* name = nullptr;
        const platform::File* written = nullptr;
        std::int64_t written_size = 0;
    };
    static bool OpenSource(const FileSource& source, const std::string& path, platform::File& file);
    int ScanProgramFile(const std::string& path, const FileSource& source);
    int ScanDocumentFile(const std::string& path, const std::string& display_name,
                         const FileSource& source);
    int ScanArchiveFile(const std::string& path, const std::string& display_name,
                        const FileSource& source);
    // The two ways of scanning the current member of an archive (archive_branch.cpp). Each
    // returns 1 when it reported an infection.
    int ScanExtractedMember(zip::ZipArchive& archive, FileKind member_kind,
                            const std::string& member_name, const std::string& member_display);
    int ScanMemberInMemory(zip::ZipArchive& archive, const std::string& member_name,
                           const std::string& archive_display, bool& archive_line_written);
    // The record of the top-level file in hand (the one the walk or the user named) that its
    // report lines keep, made when the first of them is written; none when the file's device
    // and inode were not taken.
    std::shared_ptr<platform::ScannedFile> TopLevelFile();
    // Takes the device and inode of the open top-level file from the status its open or its
    // reader already asked for (KnownSize), so that clean files cost no system call more.
    void NoteTopLevelFile(platform::File& file);
    // Ties a line the scan wrote to what it names: the top-level file itself, or (for a
    // member of an archive) the archive it lies in.
    void TieLine(ReportLine* line, bool names_top_level_file);
    // Writes the line naming `name` as an archive that holds an infection, unless the same
    // line was already written for the current top-level file.
    void WriteArchiveLine(const std::string& name);
    // Writes the plain line saying that a member was not scanned because of a limit.
    void ReportArchiveLimit(std::uint16_t message, const std::string& member_display,
                            const std::string& limit);
    // Writes the line saying that the archive `display_name` could not be read (or not whole).
    void ReportUnreadArchive(const std::string& display_name);
    // Tells, once per resource, that a temporary file for a member could not be made or
    // written (`error` is the errno): one report line and the user interface's hook.
    void ReportTempFailure(int error);
    // Writes the line about the total for the current top-level file, unless it was written,
    // and stops the file when nothing of the total is left.
    void ReportTotalLimit(const std::string& member_display);
    // Takes `bytes` from the decompression budget of the current top-level file.
    void ChargeInflate(std::uint64_t bytes);

    Catalogue& catalogue_;
    ReportList& report_;
    ScanUi& ui_;
    std::string top_level_name_;
    // The top-level file's folder descriptor (the walk's open folder; -1 for a file named by
    // the user), its device and inode once noted, and its record once made.
    int top_level_folder_fd_ = -1;
    bool top_level_noted_ = false;
    std::uint64_t top_level_device_ = 0;
    std::uint64_t top_level_inode_ = 0;
    std::shared_ptr<platform::ScannedFile> top_level_file_;
    // Set for the ScanFile call that the walk or the archive branch makes, taken (and
    // cleared) by that call.
    FileSource source_;

    // The archive scan of one top-level file, across its nesting levels: the level of the
    // archive being read (0 outside archives), the decompression budget and the directory
    // entries left, whether one of them ran out (every level then stops), whether the line
    // about the total was written (one per top-level file), and the archive lines written.
    int archive_depth_ = 0;
    std::uint64_t inflate_left_ = 0;
    std::uint64_t members_left_ = 0;
    bool top_level_stopped_ = false;
    bool total_line_written_ = false;
    std::vector<std::string> archive_lines_;
    // Whether the failure of a temporary file was told in the current resource.
    bool temp_failure_reported_ = false;
    // The temporary files that extracted members are written to, one per nesting level, with
    // the length of their content; deleted at the end of each ScanResource call.
    struct ExtractFile {
        std::unique_ptr<platform::TempFile> file;
        std::uint64_t length = 0;
    };
    std::vector<ExtractFile> extract_files_;
    std::string database_folder_;  // of the current ScanResource call; companions live there

    SignatureDatabase database_;
    DetectionRoutines routines_;
    MatchKernel kernel_{routines_};
    std::vector<std::uint8_t> engine_buffer_;
};

}  // namespace kv
