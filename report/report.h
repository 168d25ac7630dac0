// The report: an ordered list of report lines that every part of a scan writes to, with the
// text composition rule and the log file. No Qt here: pictures are opaque handles that only
// the desktop program interprets, and the list box that mirrors the report is reached
// through a listener.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/files.h"

namespace kv {

class Catalogue;

// A bitmap owned by the window system side; the report only carries it.
using BitmapHandle = const void*;

// Bits of ReportLine::Kind. The low 16 bits are a number: 1 marks the engine's lines (drawn
// at 9 points, not bold); with LabelAndValue they are the x position of the detail column.
namespace kind {
inline constexpr std::uint32_t ArchiveInfected = 0x00040000;
inline constexpr std::uint32_t BootInfected = 0x00100000;
inline constexpr std::uint32_t Infected = 0x00010000;
inline constexpr std::uint32_t SuspectMacros = 0x10000000;
inline constexpr std::uint32_t MemberInfected = 0x00020000;
inline constexpr std::uint32_t TreatmentFailed = 0x00200000;
inline constexpr std::uint32_t Treated = 0x00400000;
inline constexpr std::uint32_t Copied = 0x01000000;
inline constexpr std::uint32_t Moved = 0x02000000;
inline constexpr std::uint32_t Deleted = 0x04000000;
// The action window left the line alone: it names no file of its own on disk (an archive
// member), or the file is no longer the one the scan met.
inline constexpr std::uint32_t NotTreated = 0x08000000;
inline constexpr std::uint32_t MacroVirus = 0x40000000;
inline constexpr std::uint32_t LabelAndValue = 0x00800000;
inline constexpr std::uint32_t StyleMask = 0x0000FFFF;

// The kinds the scan writes.
inline constexpr std::uint32_t Plain = 0;
inline constexpr std::uint32_t InfectedFile = 0x00010001;
inline constexpr std::uint32_t MacroVirusDocument = 0x40010001;
inline constexpr std::uint32_t SuspectDocument = 0x10010001;
inline constexpr std::uint32_t InfectedArchive = 0x00040001;
inline constexpr std::uint32_t InfectedMember = 0x00020001;
inline constexpr std::uint32_t InfectedBootArea = 0x00100001;
inline constexpr std::uint32_t SummaryValue = 0x0080008C;
}  // namespace kind

struct ReportPicture {
    BitmapHandle Bitmap = nullptr;
    std::int32_t Row = 0;       // slice index: the slice at Row x row height from the top
    std::int32_t PictureX = 0;  // left edge of the picture in the row
    std::int32_t TextX = 0;     // left edge of the text when a picture is present
};

struct ReportLine {
    std::string Text;    // empty = none; shown and logged, never used to reach a file
    std::string Detail;  // empty = none
    std::uint32_t Kind = 0;
    std::unique_ptr<ReportPicture> Picture;
    // The file on disk that the line names, as the scan met it; none for lines that name no
    // file of their own (archive members, headings). The actions reach files only through it.
    std::shared_ptr<platform::ScannedFile> File;
    // For the lines of an archive's members (and of archives inside it): the top-level archive
    // file they lie in, the same record as the archive's own line holds.
    std::shared_ptr<platform::ScannedFile> Archive;
    // Where a copy or move put the file, when it had to take another name than the file's own
    // because the name was taken (shown after the copied or moved word).
    std::string CopiedTo;
};

// The suffix texts that composition appends, read once from the catalogue.
struct ReportSuffixes {
    std::string Copied;           // 182
    std::string Moved;            // 183
    std::string Deleted;          // 184
    std::string Treated;          // 186
    std::string TreatmentFailed;  // 187
    std::string Infected;         // 190
    std::string ArchiveInfected;  // 208
    std::string SuspectMacros;    // 224
    std::string NotTreated;       // 285

    void Load(const Catalogue& catalogue);
};

// Told of every change so that a list box can mirror the report row by row.
class ReportListener {
public:
    virtual ~ReportListener() = default;
    virtual void ReportLineAdded(std::size_t index) = 0;
    virtual void ReportCleared() {}
};

class ReportList {
public:
    ReportList() = default;
    ReportList(const ReportList&) = delete;
    ReportList& operator=(const ReportList&) = delete;

    void SetSuffixes(ReportSuffixes suffixes) { suffixes_ = std::move(suffixes); }
    const ReportSuffixes& Suffixes() const { return suffixes_; }
    void SetListener(ReportListener* listener) { listener_ = listener; }

    // The report line sink: copies both texts (control characters shown as '?', so that no
    // name can forge a line of the report or the log), stores `kind`, appends the record,
    // tells the listener and turns drawing on. Returns the new record.
    ReportLine* AddReportLine(const std::string& text, const std::string& detail,
                              std::uint32_t kind);
    // Gives `line` a picture slice; nothing happens without a line or a bitmap.
    void AttachReportPicture(ReportLine* line, BitmapHandle bitmap, std::int32_t row,
                             std::int32_t picture_x, std::int32_t text_x);
    // Turns drawing off and frees every record.
    void ClearReportLines();
    // Builds the display text of `line` and returns its kind.
    std::uint32_t ComposeReportLine(const ReportLine& line, std::string& text) const;
    // The log file line of `line`, without the line end.
    std::string LogLine(const ReportLine& line) const;
    // The whole report in the log file format (CR LF after every line).
    std::string LogText() const;

    // Writes the whole report to a new or truncated file: 0, or a positive error code (an
    // errno value) when the file cannot be created or written. The file name is never
    // followed when it is a link, and only a regular file with one name is written: anything
    // else is refused with an error code and left untouched. A new file gets mode 0644, or
    // 0600 when other users may write into its folder.
    std::uint32_t SaveReport(const std::string& file_name) const;
    // Writes the whole report at the end of the file, creating it when absent, on the same
    // terms: 0, or a positive error code.
    std::uint32_t AppendReport(const std::string& file_name) const;

    void Reserve(std::size_t count) { lines_.reserve(count); }
    std::size_t Count() const { return lines_.size(); }
    const ReportLine* Line(std::size_t index) const {
        return index < lines_.size() ? lines_[index].get() : nullptr;
    }
    ReportLine* Line(std::size_t index) {
        return index < lines_.size() ? lines_[index].get() : nullptr;
    }
    bool DrawingEnabled() const { return drawing_; }

private:
    std::vector<std::unique_ptr<ReportLine>> lines_;
    ReportSuffixes suffixes_;
    ReportListener* listener_ = nullptr;
    bool drawing_ = false;
};

}  // namespace kv
