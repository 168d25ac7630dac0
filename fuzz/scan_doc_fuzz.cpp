// Fuzz target: the document branch of the file scan over a hostile document, then the macro
// cleaner on a copy, which is scanned again.
//
// Input: the document, saved as "x.doc" and scanned by the scan engine as a file the user
// named, against the fuzz database (whose document signatures include a macro virus
// pattern). A document is no program: it is never counted as a scanned file, and it gives at
// most one report line. The cleaner must keep the copy's size; a document that is no Word
// document with macros stays as it was. A cleaned copy holds no macro virus and no suspicious
// macro any more.

#include <string>

#include "containers/word_macros.h"
#include "fuzz/engine_support.h"
#include "fuzz/fuzz_support.h"
#include "report/report.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    kv::fuzz::ScratchDir dir;
    const std::string path = dir / "x.doc";
    const std::string copy = dir / "copy.doc";
    if (!dir.Ok() || !kv::fuzz::WriteBytes(path, input) || !kv::fuzz::WriteBytes(copy, input))
        return 0;
    kv::fuzz::EngineHarness harness(dir.Path());
    const int infections = harness.Scan(path);
    KV_FUZZ_CHECK(infections <= 1);
    KV_FUZZ_CHECK(harness.Scanner().Counters[kv::ScanCounters::FilesScanned] == 0);
    KV_FUZZ_CHECK(harness.Lines(kv::kind::SuspectDocument) + infections <= 1);

    const bool cleaned = kv::ole::CleanDocument(copy);
    const std::string after = kv::fuzz::ReadBytes(copy);
    KV_FUZZ_CHECK(after.size() == size);
    if (!cleaned) {
        // The cleaner writes only into a Word document with macros (and may stop half-way in
        // one whose texts overlap the rest or reach past the stream).
        kv::ole::WordDocument word;
        if (word.Open(path, kv::ole::Access::kRead) != kv::ole::kDocOk) {
            KV_FUZZ_CHECK(after == input);
        }
        return 0;
    }
    harness.Scan(copy);
    KV_FUZZ_CHECK(harness.Lines(kv::kind::MacroVirusDocument) == 0);
    KV_FUZZ_CHECK(harness.Lines(kv::kind::SuspectDocument) == 0);
    return 0;
}
