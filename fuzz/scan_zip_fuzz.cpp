// Fuzz target: the archive branch of the file scan over a hostile archive.
//
// Input: the archive, saved as "x.zip" and scanned by the scan engine as a file the user
// named, with archives on, against the fuzz database (the test string, markers and one
// signature of each token kind): members matched in memory, nested archives and documents
// extracted to temporary files and scanned again, level by level, under small limits. Besides
// what every scan promises (engine_support.h), an infection inside the archive must bring the
// line that names the archive, and that line comes only with an infection.

#include <string>

#include "fuzz/engine_support.h"
#include "fuzz/fuzz_support.h"
#include "report/report.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kv::fuzz::ScratchDir dir;
    const std::string path = dir / "x.zip";
    if (!dir.Ok() ||
        !kv::fuzz::WriteBytes(path, std::string_view(reinterpret_cast<const char*>(data), size)))
        return 0;
    kv::fuzz::EngineHarness harness(dir.Path());
    const int infections = harness.Scan(path);
    KV_FUZZ_CHECK((infections > 0) == (harness.Lines(kv::kind::InfectedArchive) > 0));
    return 0;
}
