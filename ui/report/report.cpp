#include "ui/report/report.h"

#include <cerrno>

#include "platform/files.h"
#include "ui/catalogue/catalogue.h"

namespace kv {

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
    platform::File file;
    if (!file.Create(file_name)) return errno != 0 ? static_cast<std::uint32_t>(errno) : 1u;
    std::string text = LogText();
    if (!file.WriteAll(text.data(), text.size()))
        return errno != 0 ? static_cast<std::uint32_t>(errno) : 1u;
    return 0;
}

std::uint32_t ReportList::AppendReport(const std::string& file_name) const {
    platform::File file;
    if (!file.OpenAppend(file_name)) return errno != 0 ? static_cast<std::uint32_t>(errno) : 1u;
    std::string text = LogText();
    if (!file.WriteAll(text.data(), text.size()))
        return errno != 0 ? static_cast<std::uint32_t>(errno) : 1u;
    return 0;
}

}  // namespace kv
