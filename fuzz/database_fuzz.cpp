// Fuzz target: the signature database loader and the matching kernel over a hostile database.
//
// Input: a DatabaseInput (database_support.h): the four searched database files and a window.
// The files are written into a scratch folder and loaded as the scanner loads them; the load
// code must be the one the files' sizes call for, and a loaded pattern buffer must be the
// file's bytes unscrambled, its header zero. Then the window is searched as a program file
// (class masks 1, 2 and 4, every start position and the anchored pass), its entry point is
// located in memory, and the document trie is walked over it. The window is a heap block of
// exactly its size: the kernel reads nothing past the bytes it is given.

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

std::uint16_t U16(const std::string& s, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<std::uint8_t>(s[at]) |
                                      (static_cast<std::uint8_t>(s[at + 1]) << 8));
}

// The load code that the files' sizes call for: the pattern header must be there and name a
// buffer of at least its own 8 bytes, and both files must hold what the header says.
int ExpectedLoadCode(const kv::fuzz::DatabaseInput& in) {
    if (in.pattern.size() < SignatureDatabase::kHeaderSize) return SignatureDatabase::kTruncated;
    const std::size_t pattern_size = U16(in.pattern, 4);
    const std::size_t index_size = U16(in.pattern, 6);
    if (pattern_size < SignatureDatabase::kHeaderSize || in.pattern.size() < pattern_size ||
        in.index.size() < index_size) {
        return SignatureDatabase::kTruncated;
    }
    return SignatureDatabase::kLoaded;
}

// The loaded pattern buffer scrambled again must give the file's bytes back: each byte from
// 28 to size - 3 was the file's byte minus its unscrambled successor.
void CheckPatternBuffer(const kv::DatabaseView& view, const std::string& file) {
    const std::uint8_t* buffer = view.pattern;
    const std::size_t size = view.pattern_size;
    for (std::size_t i = 0; i < SignatureDatabase::kHeaderSize; ++i) KV_FUZZ_CHECK(buffer[i] == 0);
    std::string scrambled(reinterpret_cast<const char*>(buffer), size);
    if (size >= SignatureDatabase::kScrambleStart + 3) {
        for (std::size_t i = SignatureDatabase::kScrambleStart; i <= size - 3; ++i) {
            scrambled[i] = static_cast<char>(buffer[i] + buffer[i + 1]);
        }
    }
    KV_FUZZ_CHECK(std::memcmp(scrambled.data() + SignatureDatabase::kHeaderSize,
                              file.data() + SignatureDatabase::kHeaderSize,
                              size - SignatureDatabase::kHeaderSize) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const kv::fuzz::DatabaseInput in =
        kv::fuzz::DecodeDatabaseInput(std::string_view(reinterpret_cast<const char*>(data), size));
    kv::fuzz::ScratchDir dir;
    if (!dir.Ok() || !kv::fuzz::WriteBytes(dir / SignatureDatabase::kPatternFile, in.pattern) ||
        !kv::fuzz::WriteBytes(dir / SignatureDatabase::kIndexFile, in.index) ||
        !kv::fuzz::WriteBytes(dir / SignatureDatabase::kDirectoryFile, in.directory) ||
        !kv::fuzz::WriteBytes(dir / SignatureDatabase::kTrieFile, in.trie)) {
        return 0;
    }

    SignatureDatabase database;
    const int code = database.Load(dir.Path());
    KV_FUZZ_CHECK(code == ExpectedLoadCode(in));
    KV_FUZZ_CHECK(database.Loaded() == (code == SignatureDatabase::kLoaded));
    if (code != SignatureDatabase::kLoaded) return 0;
    const kv::DatabaseView view = database.View();
    KV_FUZZ_CHECK(view.pattern_size == U16(in.pattern, 4));
    KV_FUZZ_CHECK(view.index_size == U16(in.pattern, 6));
    KV_FUZZ_CHECK(view.directory_size == in.directory.size());
    KV_FUZZ_CHECK(view.trie_size == in.trie.size());
    CheckPatternBuffer(view, in.pattern);

    kv::DetectionRoutines routines;
    MatchKernel kernel(routines);
    kernel.Attach(view);

    const std::size_t count = std::min(in.window.size(), kMaxWindow);
    std::unique_ptr<std::uint8_t[]> window(count > 0 ? new std::uint8_t[count] : nullptr);
    if (count > 0) std::memcpy(window.get(), in.window.data(), count);
    const std::int64_t size_limit = static_cast<std::int64_t>(count) + in.size_extra;

    for (std::uint8_t mask :
         {MatchKernel::kClassExe, MatchKernel::kClassProgram, MatchKernel::kClassBoot}) {
        for (int mode : {MatchKernel::kModeAll, MatchKernel::kModeAnchored}) {
            kernel.LoadBlock(window.get(), count, mask, size_limit);
            kernel.Window().entry_known = (in.flags & kv::fuzz::kFlagEntryKnown) ? 1 : 0;
            kernel.Window().saved_count = in.saved_count;
            kernel.ScanWindow(mode);
            kv::fuzz::CheckPatternHits(kernel, database, count, mode);
        }
    }

    // The entry analysis of an archive member, then a search as it leaves it.
    kernel.SetWindow(count, window.get());
    kernel.SetFill(count, 0);
    kernel.Window().size_limit = size_limit;
    kernel.LocateEntryInMemory();
    KV_FUZZ_CHECK(kernel.Window().saved_count == count);
    kernel.ScanWindow(MatchKernel::kModeAll);
    kv::fuzz::CheckPatternHits(kernel, database, count, MatchKernel::kModeAll);

    kernel.SearchDocumentTrie();
    kv::fuzz::CheckDocumentHits(kernel, count);
    kernel.Detach();
    return 0;
}
