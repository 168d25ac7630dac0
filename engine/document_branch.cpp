// The document branch of the file scan: word-processor documents and spreadsheets are matched
// against the document signatures, macro by macro for a Word 6/95 document with macros, as
// plain data in 4000-byte blocks for everything else.
#include "containers/word_macros.h"
#include "engine/engine.h"
#include "report/report.h"

namespace kv {

namespace {

// The document search of the kernel over a caller's block; the name of the first hit comes
// from the name file of the loaded database.
class KernelDocumentSearcher : public ole::DocumentSearcher {
public:
    KernelDocumentSearcher(MatchKernel& kernel, SignatureDatabase& database)
        : kernel_(kernel), database_(database) {}

    bool Search(const std::uint8_t* data, std::size_t count, std::int64_t file_offset,
                ole::DocumentHit& hit) override {
        kernel_.SearchDocumentTrie(data, count, file_offset);
        if (kernel_.HitCount() == 0) return false;
        database_.ReadSignatureName(kernel_.HitAt(0).record);
        hit.name = database_.DocumentName();
        hit.offset = kernel_.HitAt(0).file_offset;
        return true;
    }

private:
    MatchKernel& kernel_;
    SignatureDatabase& database_;
};

}  // namespace

int Engine::ScanDocumentFile(const std::string& path, const std::string& display_name,
                             const FileSource& source) {
    platform::File file;
    if (!OpenSource(source, path, file)) return 0;
    // The reader asks for the size anyway; asked here, the same status gives the identity a
    // report line keeps.
    const bool top_level = source.written == nullptr && archive_depth_ == 0;
    if (top_level) {
        file.KnownSize();
        NoteTopLevelFile(file);
    }
    KernelDocumentSearcher searcher(kernel_, database_);
    const ole::DocumentScanResult result = ole::ScanDocument(std::move(file), searcher);
    // Documents are not counted as scanned files; only what they hold is counted.
    switch (result.finding) {
        case ole::DocumentFinding::kInfectedData:
            TieLine(report_.AddReportLine(display_name, result.hit.name, kind::InfectedFile),
                    top_level);
            Counters[ScanCounters::VirusesFound] += 1;
            return 1;
        case ole::DocumentFinding::kMacroVirus:
            TieLine(report_.AddReportLine(display_name, result.hit.name, kind::MacroVirusDocument),
                    top_level);
            Counters[ScanCounters::VirusesFound] += 1;
            return 1;
        case ole::DocumentFinding::kSuspiciousMacros:
            // Suspicious, not infected: the line is written but nothing is counted.
            TieLine(report_.AddReportLine(display_name, "", kind::SuspectDocument), top_level);
            return 0;
        case ole::DocumentFinding::kNothing:
            break;
    }
    return 0;
}

}  // namespace kv
