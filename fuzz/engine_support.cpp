#include "fuzz/engine_support.h"

#include <dirent.h>
#include <stdlib.h>

#include "fuzz/database_support.h"
#include "fuzz/fuzz_support.h"
#include "platform/files.h"

namespace kv::fuzz {

int CountTempFiles() {
    int count = 0;
    if (DIR* dir = ::opendir(platform::TempFolder().c_str())) {
        while (dirent* entry = ::readdir(dir)) {
            if (std::string(entry->d_name).rfind("ZIP", 0) == 0) ++count;
        }
        ::closedir(dir);
    }
    return count;
}

EngineHarness::EngineHarness(const std::string& scratch)
    : catalogue_(scratch, 2), engine_(catalogue_, report_, ui_) {
    if (const char* old = ::getenv("TMPDIR")) {
        had_tmpdir_ = true;
        old_tmpdir_ = old;
    }
    ::setenv("TMPDIR", scratch.c_str(), 1);
    engine_.DriverDevice = scratch + "no-driver";
    engine_.Options.ScanArchives = 1;
    engine_.Options.ScanSubfolders = 1;
    // Small enough that one input stays well inside the fuzzer's time limit.
    engine_.Limits.MaxDepth = 6;
    engine_.Limits.MaxMemberSize = std::uint64_t{1} << 20;
    engine_.Limits.MaxArchiveInflate = std::uint64_t{8} << 20;
}

EngineHarness::~EngineHarness() {
    if (had_tmpdir_) {
        ::setenv("TMPDIR", old_tmpdir_.c_str(), 1);
    } else {
        ::unsetenv("TMPDIR");
    }
}

int EngineHarness::Lines(std::uint32_t kind) const {
    int n = 0;
    for (std::size_t i = 0; i < report_.Count(); ++i) {
        if (report_.Line(i)->Kind == kind) ++n;
    }
    return n;
}

int EngineHarness::Scan(const std::string& path) {
    const std::string& database = FuzzDatabaseFolder();
    KV_FUZZ_CHECK(!database.empty());
    const int temp_files = CountTempFiles();
    report_.ClearReportLines();
    KV_FUZZ_CHECK(engine_.ScanResource(database, path) == 0);
    KV_FUZZ_CHECK(engine_.Options.ScanRunning == 0);
    KV_FUZZ_CHECK(engine_.Counters[ScanCounters::FilesFound] == 1);
    const int infections = engine_.Counters[ScanCounters::VirusesFound];
    KV_FUZZ_CHECK(infections == Lines(kind::InfectedFile) + Lines(kind::InfectedMember) +
                                    Lines(kind::MacroVirusDocument));
    KV_FUZZ_CHECK(CountTempFiles() == temp_files);
    return infections;
}

}  // namespace kv::fuzz
