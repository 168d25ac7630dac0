// Fuzz target: the matching kernel over hostile windows, against a sound database.
//
// Input: a WindowInput (database_support.h): flags, saved count, size-limit addition and the
// window. The database is kFuzzSignatures compiled by the signature compiler, loaded once: one
// signature of every token kind, so the fuzzer reaches the kernel's deep paths (gaps inside
// gaps, routines, the header copy, the prepared candidate lists and the position filters).
// The window is searched as a program file under class masks 1, 2 and 4 in both modes, and
// with the document search. Besides what every search promises, a literal signature must be
// found wherever its text stands (unless 30 hits came first), and so must a document
// signature: the kernel's shortcuts may skip positions only where nothing can match.

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "engine/detection_routines.h"
#include "engine/match_kernel.h"
#include "engine/signature_database.h"
#include "fuzz/database_support.h"
#include "fuzz/fuzz_support.h"

namespace {

using kv::MatchKernel;
using kv::SignatureDatabase;

constexpr std::size_t kMaxWindow = 32768;

struct Loaded {
    Loaded() {
        const std::string& folder = kv::fuzz::FuzzDatabaseFolder();
        KV_FUZZ_CHECK(!folder.empty());
        KV_FUZZ_CHECK(database.Load(folder) == SignatureDatabase::kLoaded);
        KV_FUZZ_CHECK(database.OpenNameFile(folder));
        kernel.Attach(database.View());
    }
    SignatureDatabase database;
    kv::DetectionRoutines routines;
    MatchKernel kernel{routines};
};

// Whether a hit at `offset` names `name` (decoding a pattern hit, or reading a document hit's
// name from the name file).
bool HitNamed(Loaded& s, std::int64_t offset, std::string_view name, bool document) {
    for (std::size_t i = 0; i < s.kernel.HitCount(); ++i) {
        const kv::Hit& hit = s.kernel.HitAt(i);
        if (hit.file_offset != offset) continue;
        if (document) {
            s.database.ReadSignatureName(hit.record);
            if (s.database.DocumentName() == name) return true;
        } else if (s.database.DecodeVirusName(hit.record) && s.database.VirusName() == name) {
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Loaded s;
    const kv::fuzz::WindowInput in =
        kv::fuzz::DecodeWindowInput(std::string_view(reinterpret_cast<const char*>(data), size));
    const std::size_t count = std::min(in.window.size(), kMaxWindow);
    const std::string_view bytes(in.window.data(), count);
    std::unique_ptr<std::uint8_t[]> window(count > 0 ? new std::uint8_t[count] : nullptr);
    if (count > 0) std::memcpy(window.get(), bytes.data(), count);
    const std::int64_t size_limit = static_cast<std::int64_t>(count) + in.size_extra;
    const auto literal_at = kv::fuzz::Occurrences(bytes, kv::fuzz::kLiteralMark);

    for (std::uint8_t mask :
         {MatchKernel::kClassExe, MatchKernel::kClassProgram, MatchKernel::kClassBoot}) {
        for (int mode : {MatchKernel::kModeAll, MatchKernel::kModeAnchored}) {
            s.kernel.LoadBlock(window.get(), count, mask, size_limit);
            s.kernel.Window().entry_known = (in.flags & kv::fuzz::kFlagEntryKnown) ? 1 : 0;
            s.kernel.Window().saved_count = in.saved_count;
            s.kernel.ScanWindow(mode);
            kv::fuzz::CheckPatternHits(s.kernel, s.database, count, mode);
            // The literal signature is for programs of both classes, never for boot sectors.
            if (mode != MatchKernel::kModeAll || s.kernel.HitCount() == MatchKernel::kMaxHits)
                continue;
            for (std::size_t at : literal_at) {
                const bool found =
                    HitNamed(s, static_cast<std::int64_t>(at), kv::fuzz::kLiteralName, false);
                KV_FUZZ_CHECK(found == (mask != MatchKernel::kClassBoot));
            }
        }
    }

    // The entry analysis of an archive member, then a search as it leaves it.
    s.kernel.SetWindow(count, window.get());
    s.kernel.SetFill(count, 0);
    s.kernel.Window().size_limit = size_limit;
    s.kernel.LocateEntryInMemory();
    s.kernel.ScanWindow(MatchKernel::kModeAll);
    kv::fuzz::CheckPatternHits(s.kernel, s.database, count, MatchKernel::kModeAll);

    s.kernel.SearchDocumentTrie();
    kv::fuzz::CheckDocumentHits(s.kernel, count);
    if (s.kernel.HitCount() < MatchKernel::kMaxHits) {
        for (std::size_t at : kv::fuzz::Occurrences(bytes, kv::fuzz::kDocumentMark)) {
            KV_FUZZ_CHECK(
                HitNamed(s, static_cast<std::int64_t>(at), kv::fuzz::kDocumentName, true));
        }
    }
    return 0;
}
