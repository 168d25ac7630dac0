// The archive branch of the file scan: the members of a ZIP archive are walked through its
// central directory. Program members are matched in memory as they leave the decoder and never
// touch the disk; members that are archives or documents themselves are extracted to a
// temporary file (one per nesting level, rewritten for each member and deleted when the
// resource's scan ends) and scanned again by ScanFile under the name outer + "-->" + member.
//
// Limits: a member archive is opened only up to ArchiveLimits::MaxDepth levels, a member
// extracted to disk may grow to ArchiveLimits::MaxMemberSize bytes, all members of one
// top-level file together may decompress to ArchiveLimits::MaxArchiveInflate bytes, and the
// directories of one top-level file together may list ArchiveLimits::MaxMembers entries. The
// byte limits count the bytes a member really produces, never the sizes its headers claim: a
// member is always decoded, and only when its output passes a limit does the decoding stop and
// a plain report line say so. A member extracted to disk that passes a limit is not scanned; a
// program member matched in memory keeps the hits of the blocks decoded before. The total gets
// one line per top-level file (its first member that does not fit), however many more do not.
// Once the total or the entries are used up, the rest of the top-level file is not read.
//
// Nothing is left out without a word: an archive that cannot be read (no end record, a
// directory outside the file, a directory that breaks off) gets one plain line, and so do the
// members the scan selects but cannot read (an unknown method, encryption): one line per
// archive, naming the first of them and counting the others, so an archive of a thousand
// encrypted programs does not bury the report. A temporary file that cannot be made or written
// is told once per resource, to the user interface and in one line.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "catalogue/catalogue.h"
#include "containers/member_scan.h"
#include "containers/zip_reader.h"
#include "engine/engine.h"
#include "platform/files.h"
#include "report/report.h"

namespace kv {

namespace {

constexpr std::uint16_t kMessageTooDeep = 276;
constexpr std::uint16_t kMessageMemberTooLarge = 277;
constexpr std::uint16_t kMessageArchiveTooLarge = 278;
constexpr std::uint16_t kMessageTooManyMembers = 280;
constexpr std::uint16_t kMessageNotReadable = 282;
constexpr std::uint16_t kMessageMethod = 283;
constexpr std::uint16_t kMessageEncrypted = 284;
constexpr std::uint16_t kMessageNoTempFiles = 286;
constexpr std::uint16_t kMessageMoreNotScanned = 287;
// A temporary file that held a member larger than this is deleted after the member's scan.
constexpr std::uint64_t kKeptExtractSize = std::uint64_t{1} << 20;

// The signature kernel as the in-memory member scan uses it: the scan window is placed on the
// decompressed block, with offsets counted within the member.
class KernelProgramMatcher : public zip::ProgramMatcher {
public:
    explicit KernelProgramMatcher(MatchKernel& kernel) : kernel_(kernel) {}

    std::uint64_t BeginMember(std::uint8_t* window, std::size_t count,
                              std::uint64_t declared_size) override {
        kernel_.ResetHits();
        kernel_.SetWindow(zip::kWindowSize, window);
        kernel_.SetFill(count, 0);
        kernel_.Window().size_limit = static_cast<std::int64_t>(declared_size);
        const std::int64_t entry = kernel_.LocateEntryInMemory();
        return entry > 0 ? static_cast<std::uint64_t>(entry) : 0;
    }

    void Scan(Pass pass, std::uint8_t* start, std::size_t count, std::uint64_t member_offset,
              std::size_t saved_count) override {
        kernel_.SetWindow(count, start);
        kernel_.SetFill(count, static_cast<std::int64_t>(member_offset));
        if (pass == Pass::kAnchored) {
            kernel_.Window().saved_count = saved_count;
            kernel_.ScanWindow(MatchKernel::kModeAnchored);
        } else {
            kernel_.Window().saved_count = count;
            // The tail ends the member as far as the output goes: conditions on the distance
            // to the end count from there, not from a size the directory may lie about.
            if (pass == Pass::kTail) {
                kernel_.Window().size_limit = static_cast<std::int64_t>(member_offset + count);
            }
            kernel_.ScanWindow(MatchKernel::kModeAll);
        }
    }

    int HitCount() const override { return static_cast<int>(kernel_.HitCount()); }

private:
    MatchKernel& kernel_;
};

// After every decompressed block: the archive gauge, then one pass of pending events, so the
// window stays responsive and a stop can be requested (it takes effect between members).
class GaugeAndPump : public zip::ExtractProgress {
public:
    explicit GaugeAndPump(ScanUi& ui) : ui_(ui) {}
    void OnFlush(std::uint64_t done, std::uint64_t total) override {
        ui_.DrawArchiveGauge(static_cast<std::int64_t>(done), static_cast<std::int64_t>(total));
        ui_.PumpEvents();
    }

private:
    ScanUi& ui_;
};

// A member name as it is shown: control characters (a line end in a name would forge lines
// of the log file) become '?'.
using platform::PrintableName;

// A byte count in the largest binary unit that divides it: "256 MiB", "1 GiB", "1000 B".
std::string FormatBytes(std::uint64_t bytes) {
    static const struct {
        std::uint64_t unit;
        const char* name;
    } kUnits[] = {{std::uint64_t{1} << 30, "GiB"}, {std::uint64_t{1} << 20, "MiB"}, {1024, "KiB"}};
    for (const auto& unit : kUnits) {
        if (bytes >= unit.unit && bytes % unit.unit == 0) {
            return std::to_string(bytes / unit.unit) + " " + unit.name;
        }
    }
    return std::to_string(bytes) + " B";
}

bool ExtractedOrSizeDiffers(int result) {
    // A member whose length differs from its directory entry decoded completely: it is
    // scanned all the same, or a false directory size would hide what it holds.
    return result == zip::kExtractOk || result == zip::kExtractSizeMismatch;
}

}  // namespace

int Engine::ScanArchiveFile(const std::string& path, const std::string& display_name,
                            const FileSource& source) {
    zip::ZipArchive archive;
    platform::File file;
    OpenSource(source, path, file);  // a file that did not open is refused by Open
    if (archive_depth_ == 0 && source.written == nullptr && file.IsOpen()) {
        // The reader asks for the size anyway; asked here, the same status gives the
        // identity that the archive's report lines keep.
        file.KnownSize();
        NoteTopLevelFile(file);
    }
    const int opened = archive.Open(std::move(file));
    if (opened != zip::kStatusMember) {
        // An empty archive is read whole; anything else named or marked as an archive that
        // cannot be walked is said to be unread.
        if (opened != zip::kStatusEmpty) ReportUnreadArchive(display_name);
        return 0;
    }
    Counters[ScanCounters::ArchivesOpened] += 1;

    if (archive_depth_ == 0) {
        // A top-level file: a fresh decompression budget and no archive line written yet.
        inflate_left_ = Limits.MaxArchiveInflate;
        members_left_ = Limits.MaxMembers;
        top_level_stopped_ = false;
        total_line_written_ = false;
        archive_lines_.clear();
    }
    ++archive_depth_;
    // However the walk ends, the level is left and the engine buffer becomes the scan window
    // again (the window pointed into this archive's output buffer).
    struct LevelExit {
        Engine& engine;
        int& depth;
        ~LevelExit() {
            --depth;
            engine.RestoreEngineWindow();
        }
    } level_exit{*this, archive_depth_};

    int infected = 0;
    bool archive_line_written = false;
    // The first selected member that could not be read, why, and how many there were.
    std::string unread_member;
    std::string unread_reason;
    std::uint64_t unread_count = 0;
    for (; archive.Status() == zip::kStatusMember; archive.Next()) {
        if (Options.StopRequested != 0 || top_level_stopped_) break;
        if (members_left_ == 0) {
            ReportArchiveLimit(kMessageTooManyMembers,
                               display_name + "-->" + PrintableName(archive.MemberName()),
                               std::to_string(Limits.MaxMembers));
            top_level_stopped_ = true;
            break;
        }
        --members_left_;
        if (!ClassifyFile(archive.MemberName())) continue;
        const FileKind member_kind = Kind;
        const std::string name = PrintableName(archive.MemberName());
        if (archive.Encrypted() || (archive.Method() != 0 && archive.Method() != 8)) {
            if (unread_count++ == 0) {
                unread_member = display_name + "-->" + name;
                unread_reason = archive.Encrypted() ? catalogue_.Text(kMessageEncrypted)
                                                    : catalogue_.Text(kMessageMethod) + " " +
                                                          std::to_string(archive.Method());
            }
            continue;
        }
        if (member_kind == kKindArchive || member_kind == kKindDocument ||
            member_kind == kKindSpreadsheet) {
            if (ScanExtractedMember(archive, member_kind, name, display_name + "-->" + name) == 1) {
                infected = 1;
                if (!archive_line_written) {
                    WriteArchiveLine(top_level_name_);
                    archive_line_written = true;
                }
            }
        } else if (ScanMemberInMemory(archive, name, display_name, archive_line_written) == 1) {
            infected = 1;
        }
    }
    if (unread_count > 0) {
        std::string text = unread_member + " " + unread_reason;
        if (unread_count > 1) {
            text += " (" + catalogue_.Text(kMessageMoreNotScanned) + " " +
                    std::to_string(unread_count - 1) + ")";
        }
        report_.AddReportLine(text, "", kind::Plain);
    }
    // A directory that breaks off hides the members behind the break.
    if (archive.Status() < 0) ReportUnreadArchive(display_name);
    archive.Close();
    return infected;
}

int Engine::ScanExtractedMember(zip::ZipArchive& archive, FileKind member_kind,
                                const std::string& member_name, const std::string& member_display) {
    const int max_depth = std::max(1, Limits.MaxDepth);
    if (member_kind == kKindArchive && archive_depth_ >= max_depth) {
        ReportArchiveLimit(kMessageTooDeep, member_display, std::to_string(max_depth));
        return 0;
    }
    // The member may grow to the per-member limit or to what is left of the total, whichever
    // is smaller; the report names the limit that applied.
    const bool total_applies = inflate_left_ < Limits.MaxMemberSize;
    const std::uint64_t limit = total_applies ? inflate_left_ : Limits.MaxMemberSize;
    auto report_over_limit = [&]() {
        if (total_applies) {
            ReportTotalLimit(member_display);
        } else {
            ReportArchiveLimit(kMessageMemberTooLarge, member_display,
                               FormatBytes(Limits.MaxMemberSize));
        }
    };
    if (inflate_left_ == 0) {
        report_over_limit();
        return 0;
    }
    // The temporary file of this nesting level: made at its first member, overwritten from its
    // start for each later one and never cut (creating and deleting a file per member cost
    // more than all the rest of its scan on some file systems, and emptying one makes ext4
    // write it out when it is closed), deleted when the resource's scan ends or when it held
    // a large member.
    const std::size_t level = static_cast<std::size_t>(archive_depth_ > 0 ? archive_depth_ - 1 : 0);
    if (extract_files_.size() <= level) extract_files_.resize(level + 1);
    ExtractFile& slot = extract_files_[level];
    if (!slot.file) {
        errno = 0;
        slot.file = std::make_unique<platform::TempFile>(platform::kTempFilePrefix);
        slot.length = 0;
        // Nothing runs after the failed mkstemp inside the constructor: errno is its reason.
        if (!slot.file->IsOpen()) {
            ReportTempFailure(errno);
            slot.file.reset();
            return 0;
        }
    }
    platform::TempFile& temp = *slot.file;
    ui_.SetProgressCaption("Extracting " + member_name);
    GaugeAndPump progress(ui_);
    int result = archive.ExtractMemberAt(temp.Handle(), 0, limit, &progress);
    if (result == zip::kExtractWriteFailed) {
        ChargeInflate(archive.OutputTotal());
        ReportTempFailure(archive.WriteError());
        slot.file.reset();
        return 0;
    }
    // The member is the first OutputTotal() bytes of the file. What an earlier, longer member
    // left behind them stays: the scan reads the file through this descriptor, never past that
    // length, so cutting the file (a system call per member) is not needed.
    slot.length = archive.OutputTotal();
    // A large member's file goes as soon as its scan is over. (The nested scan may add levels
    // and so move the slots: the slot is found again by its level.)
    struct ReleaseLarge {
        std::vector<ExtractFile>& files;
        std::size_t level;
        ~ReleaseLarge() {
            if (files[level].length > kKeptExtractSize) files[level].file.reset();
        }
    } release_large{extract_files_, level};
    if (result == zip::kExtractOverLimit) {
        // The decoder ran up to the limit before the member's output passed it.
        ChargeInflate(limit);
        report_over_limit();
        return 0;
    }
    ChargeInflate(archive.OutputTotal());
    if (!ExtractedOrSizeDiffers(result)) return 0;
    // A stop requested during a long extraction is honoured before the member's scan.
    if (Options.StopRequested != 0) return 0;
    Kind = member_kind;
    source_ = FileSource{-1, nullptr, &temp.Handle(), static_cast<std::int64_t>(slot.length)};
    return ScanFile(temp.Path(), member_display);
}

int Engine::ScanMemberInMemory(zip::ZipArchive& archive, const std::string& member_name,
                               const std::string& archive_display, bool& archive_line_written) {
    // Nothing of an in-memory member reaches the disk: only the total applies to it. Once
    // the members before used it up exactly, the next one is over it whatever it claims.
    const std::string member_display = archive_display + "-->" + member_name;
    if (inflate_left_ == 0) {
        ReportTotalLimit(member_display);
        return 0;
    }

    ui_.SetProgressCaption("Inflating " + member_name);
    Counters[ScanCounters::FilesScanned] += 1;
    // No hit of an earlier search may count for this member, also when its extraction fails
    // before the first block.
    kernel_.ResetHits();
    KernelProgramMatcher matcher(kernel_);
    zip::ProgramMemberScan sink(matcher);
    GaugeAndPump progress(ui_);
    const int result = archive.ExtractMember(sink, inflate_left_, &progress);
    const bool over_limit = result == zip::kExtractOverLimit;
    ChargeInflate(over_limit ? inflate_left_ : archive.OutputTotal());

    int infected = 0;
    // A hit in the blocks decoded before the total ran out is reported as well: those bytes
    // are really in the member.
    if ((ExtractedOrSizeDiffers(result) || over_limit) && kernel_.HitCount() > 0) {
        database_.DecodeVirusName(kernel_.HitAt(0).record);
        if (!archive_line_written) {
            WriteArchiveLine(archive_display);
            archive_line_written = true;
        }
        TieLine(report_.AddReportLine(member_name, database_.VirusName(), kind::InfectedMember),
                false);
        Counters[ScanCounters::VirusesFound] += 1;
        infected = 1;
    }
    if (over_limit) ReportTotalLimit(member_display);
    return infected;
}

void Engine::WriteArchiveLine(const std::string& name) {
    // Each nesting level writes the top-level name when a member below it was infected; one
    // line per name is enough.
    if (std::find(archive_lines_.begin(), archive_lines_.end(), name) != archive_lines_.end()) {
        return;
    }
    archive_lines_.push_back(name);
    TieLine(report_.AddReportLine(name, "", kind::InfectedArchive), name == top_level_name_);
}

void Engine::ReportArchiveLimit(std::uint16_t message, const std::string& member_display,
                                const std::string& limit) {
    report_.AddReportLine(member_display + " " + catalogue_.Text(message) + " (" + limit + ")", "",
                          kind::Plain);
}

void Engine::ReportUnreadArchive(const std::string& display_name) {
    report_.AddReportLine(display_name + " " + catalogue_.Text(kMessageNotReadable), "",
                          kind::Plain);
}

void Engine::ReportTempFailure(int error) {
    if (temp_failure_reported_) return;
    temp_failure_reported_ = true;
    if (error == 0) error = EIO;
    const std::string folder = platform::TempFolder();
    report_.AddReportLine(catalogue_.Text(kMessageNoTempFiles) + " (" + PrintableName(folder) +
                              ": " + std::strerror(error) + ")",
                          "", kind::Plain);
    ui_.TemporaryFilesFailed(folder, error);
}

void Engine::ReportTotalLimit(const std::string& member_display) {
    if (!total_line_written_) {
        ReportArchiveLimit(kMessageArchiveTooLarge, member_display,
                           FormatBytes(Limits.MaxArchiveInflate));
        total_line_written_ = true;
    }
    if (inflate_left_ == 0) top_level_stopped_ = true;
}

void Engine::ChargeInflate(std::uint64_t bytes) {
    inflate_left_ -= std::min(bytes, inflate_left_);
}

}  // namespace kv
