// Fuzz target: the list files of the program folder ("List.cfg", "auto.cfg").
//
// Input: the list file. It is read as the main window reads it; the entries it gives must hold
// no line break and no zero byte, and writing them back and reading again must give the same
// entries.

#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "ui/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view content(reinterpret_cast<const char*>(data), size);
    kv::fuzz::ScratchDir dir;
    std::string path = dir / kv::kResourceListFile;
    if (!dir.Ok() || !kv::fuzz::WriteBytes(path, content)) return 0;

    std::vector<std::string> entries = {"left over"};
    KV_FUZZ_CHECK(kv::LoadListFile(path, entries));
    std::size_t bytes = 0;
    for (const std::string& entry : entries) {
        KV_FUZZ_CHECK(entry.find_first_of(std::string("\r\n\0", 3)) == std::string::npos);
        bytes += entry.size();
    }
    KV_FUZZ_CHECK(bytes <= size);
    KV_FUZZ_CHECK(entries.size() <= size);

    std::string copy = dir / kv::kDownloadListFileWrite;
    KV_FUZZ_CHECK(kv::SaveListFile(copy, entries));
    std::vector<std::string> again;
    KV_FUZZ_CHECK(kv::LoadListFile(copy, again));
    KV_FUZZ_CHECK(again == entries);
    return 0;
}
