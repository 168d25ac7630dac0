#include "report/report.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "catalogue/catalogue.h"
#include "platform/files.h"

namespace kv {

namespace {

// Whether a user other than this process's may write into the folder that holds `path`.
bool FolderWritableByOthers(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string folder =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    struct stat st;
    if (::stat(folder.c_str(), &st) != 0) return true;  // unknown: assume the worst
    return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 ||
           (st.st_uid != ::geteuid() && (st.st_mode & S_IWUSR) != 0);
}

// Opens the log file for writing, creating it when absent, and returns 0 or an errno value.
// The program often runs as root while the log's folder may be writable by other users, who
// could plant a name there: the last component is never followed when it is a link (ELOOP),
// and only a regular file with a single name is written (EINVAL for a FIFO, device or socket,
// which O_NONBLOCK keeps from blocking the open; EMLINK for a hard link to some other file).
// A new file gets mode 0644, or 0600 when others may write into its folder. `truncate` empties
// an existing file, and only after these checks.
int OpenLogFile(const std::string& path, bool append, bool truncate, platform::File& file) {
    const mode_t mode = FolderWritableByOthers(path) ? 0600 : 0644;
    const int fd = ::open(path.c_str(),
                          O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY |
                              (append ? O_APPEND : 0),
                          mode);
    if (fd < 0) return errno != 0 ? errno : EIO;
    struct stat st;
    int error = 0;
    if (::fstat(fd, &st) != 0) {
        error = errno != 0 ? errno : EIO;
    } else if (!S_ISREG(st.st_mode)) {
        error = EINVAL;
    } else if (st.st_nlink != 1) {
        error = EMLINK;
    } else if (truncate && ::ftruncate(fd, 0) != 0) {
        error = errno != 0 ? errno : EIO;
    }
    if (error != 0) {
        ::close(fd);
        return error;
    }
    file.Adopt(fd);
    return 0;
}

std::uint32_t WriteLog(const std::string& path, const std::string& text, bool append) {
    platform::File file;
    if (int error = OpenLogFile(path, append, !append, file); error != 0) {
        return static_cast<std::uint32_t>(error);
    }
    if (!file.WriteAll(text.data(), text.size())) {
        return errno != 0 ? static_cast<std::uint32_t>(errno) : 1u;
    }
    return 0;
}

}  // namespace

void ReportSuffixes::Load(const Catalogue& catalogue) {
    Copied = catalogue.Text(182);
    Moved = catalogue.Text(183);
    Deleted = catalogue.Text(184);
    Treated = catalogue.Text(186);
    TreatmentFailed = catalogue.Text(187);
    Infected = catalogue.Text(190);
    ArchiveInfected = catalogue.Text(208);
    SuspectMacros = catalogue.Text(224);
    NotTreated = catalogue.Text(285);
}

ReportLine* ReportList::AddReportLine(const std::string& text, const std::string& detail,
                                      std::uint32_t kind) {
    auto line = std::make_unique<ReportLine>();
    line->Text = platform::PrintableName(text);
    line->Detail = platform::PrintableName(detail);
    line->Kind = kind;
    ReportLine* added = line.get();
    lines_.push_back(std::move(line));
    drawing_ = true;
    if (listener_ != nullptr) listener_->ReportLineAdded(lines_.size() - 1);
    return added;
}

void ReportList::AttachReportPicture(ReportLine* line, BitmapHandle bitmap, std::int32_t row,
                                     std::int32_t picture_x, std::int32_t text_x) {
    if (line == nullptr || bitmap == nullptr) return;
    auto picture = std::make_unique<ReportPicture>();
    picture->Bitmap = bitmap;
    picture->Row = row;
    picture->PictureX = picture_x;
    picture->TextX = text_x;
    line->Picture = std::move(picture);
}

void ReportList::ClearReportLines() {
    drawing_ = false;
    lines_.clear();
    if (listener_ != nullptr) listener_->ReportCleared();
}

std::uint32_t ReportList::ComposeReportLine(const ReportLine& line, std::string& text) const {
    text = line.Text;
    const std::uint32_t k = line.Kind;
    auto add = [&text](const std::string& suffix) {
        text += ' ';
        text += suffix;
    };
    auto add_detail = [&](void) {
        add(suffixes_.Infected);
        add(line.Detail);
    };
    if (k & kind::ArchiveInfected) add(suffixes_.ArchiveInfected);
    if (k & kind::BootInfected) add_detail();
    if (k & kind::Infected) add_detail();
    if (k & kind::SuspectMacros) add(suffixes_.SuspectMacros);
    if (k & kind::MemberInfected) add_detail();
    if (k & kind::TreatmentFailed) {
        add(suffixes_.TreatmentFailed);
    } else if (k & kind::Treated) {
        add(suffixes_.Treated);
    }
    if (k & kind::Copied) add(suffixes_.Copied);
    if (k & kind::Moved) add(suffixes_.Moved);
    if ((k & (kind::Copied | kind::Moved)) && !line.CopiedTo.empty()) {
        add("->");
        add(line.CopiedTo);
    }
    if (k & kind::Deleted) add(suffixes_.Deleted);
    if (k & kind::NotTreated) add(suffixes_.NotTreated);
    return k;
}

std::string ReportList::LogLine(const ReportLine& line) const {
    std::string text;
    std::uint32_t k = ComposeReportLine(line, text);
    if (k & kind::LabelAndValue) {
        text += ' ';
        text += line.Detail;
    }
    return text;
}

std::string ReportList::LogText() const {
    std::string all;
    for (const auto& line : lines_) {
        all += LogLine(*line);
        all += "\r\n";
    }
    return all;
}

std::uint32_t ReportList::SaveReport(const std::string& file_name) const {
    return WriteLog(file_name, LogText(), false);
}

std::uint32_t ReportList::AppendReport(const std::string& file_name) const {
    return WriteLog(file_name, LogText(), true);
}

}  // namespace kv
