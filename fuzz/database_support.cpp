#include "fuzz/database_support.h"

#include "engine/match_kernel.h"
#include "engine/signature_database.h"
#include "fuzz/fuzz_support.h"

namespace kv::fuzz {

const char* const kFuzzSignatures =
    "EICAR-Test-File:exe+com:\"X5O!P%@AP[4\\\\PZX54(P^)7CC)7}$\" \"EICAR-STANDARD-ANTIVIRUS-\" "
    "\"TEST-FILE!$H+H*\"\n"
    "EICAR-Test-File:doc:\"X5O!P%@AP[4\\\\PZX54(P^)7CC)7}$\" \"EICAR-STANDARD-ANTIVIRUS-\" "
    "\"TEST-FILE!$H+H*\"\n"
    "Fuzz.Literal:exe+com:\"KVFZ-LITERAL\"\n"
    "Fuzz.Short:exe+com:\"KVFZ\"\n"
    "Fuzz.Skip:exe+com:\"KVSK\" ?? {4} \"END\"\n"
    "Fuzz.Gap:exe+com:\"KVGP\" {-20} \"GO\"\n"
    "Fuzz.NestedGap:exe+com:\"KVNG\" {-5} \"A\" {-5} \"B\" {-3} 4?\n"
    "Fuzz.Nibble:exe+com:\"KVNB\" 4? ?7 \"!\"\n"
    "Fuzz.Entry:exe:\"KVEN\" (entry)\n"
    "Fuzz.NearEnd:exe+com:\"KVNE\" (near-end 100)\n"
    "Fuzz.Header:exe:\"KVHD\" (header) \"MZ\"\n"
    "Fuzz.Anchored:com:^\"KVAN\"\n"
    "Fuzz.AnchoredJump:exe+com:^e9 ?? ?? \"KVAJ\"\n"
    "Fuzz.Decryptor:exe+com:\"KVDC\" (decryptor) 75\n"
    "Fuzz.Marker:exe+com:\"KVMK\" (marker)\n"
    "Fuzz.GapRoutine:com:\"KVGR\" {-10} (marker)\n"
    "Fuzz.GapEntry:exe+com:\"KVGE\" {-10} (entry) \"E\"\n"
    "Fuzz.Unknown:com:\"KVUN\" (routine 7)\n"
    "Fuzz.Boot:boot:\"KVBOOT\"\n"
    "Fuzz.Document:doc:\"KVFZ-DOCUMENT\"\n"
    "Fuzz.Macro:doc:\"KV-MACRO-VIRUS-PATTERN\"\n"
    "Fuzz.BranchA:doc:\"KVDA-ONE\"\n"
    "Fuzz.BranchB:doc:\"KVDB-TWO\"\n"
    "Fuzz.BranchC:doc:\"KVDC-THREE\"\n";

bool CompileSignatures(const std::string& text, sigc::DatabaseFiles& files) {
    sigc::Source source;
    std::vector<sigc::Diagnostic> errors;
    sigc::ParseSource(text, "fuzz.sig", source, errors);
    if (errors.empty()) sigc::Build(source, files, errors);
    return errors.empty();
}

bool WriteDatabase(const std::string& folder, const sigc::DatabaseFiles& files) {
    auto bytes = [](const std::vector<std::uint8_t>& v) {
        return std::string_view(reinterpret_cast<const char*>(v.data()), v.size());
    };
    return WriteBytes(folder + SignatureDatabase::kPatternFile, bytes(files.pattern)) &&
           WriteBytes(folder + SignatureDatabase::kIndexFile, bytes(files.index)) &&
           WriteBytes(folder + SignatureDatabase::kDirectoryFile, bytes(files.directory)) &&
           WriteBytes(folder + SignatureDatabase::kTrieFile, bytes(files.trie)) &&
           WriteBytes(folder + SignatureDatabase::kNameFile, bytes(files.names));
}

namespace {

// The folder of FuzzDatabaseFolder(): lives until the program ends.
struct FuzzDatabase {
    FuzzDatabase() {
        sigc::DatabaseFiles files;
        if (dir.Ok() && CompileSignatures(kFuzzSignatures, files) &&
            WriteDatabase(dir.Path(), files)) {
            folder = dir.Path();
        }
    }
    ScratchDir dir;
    std::string folder;
};

std::string_view Take(std::string_view& input, std::size_t n) {
    std::string_view part = input.substr(0, n);
    input.remove_prefix(part.size());
    return part;
}

void Put16(std::string& out, std::size_t value) {
    out.push_back(static_cast<char>(value & 0xFF));
    out.push_back(static_cast<char>((value >> 8) & 0xFF));
}

}  // namespace

const std::string& FuzzDatabaseFolder() {
    static FuzzDatabase database;
    return database.folder;
}

DatabaseInput DecodeDatabaseInput(std::string_view input) {
    InputReader reader(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
    const std::size_t lengths[4] = {reader.U16(), reader.U16(), reader.U16(), reader.U16()};
    DatabaseInput decoded;
    decoded.flags = reader.Byte();
    decoded.saved_count = reader.U16();
    decoded.size_extra = reader.U16();
    std::string_view rest = reader.Rest();
    decoded.pattern = Take(rest, lengths[0]);
    decoded.index = Take(rest, lengths[1]);
    decoded.directory = Take(rest, lengths[2]);
    decoded.trie = Take(rest, lengths[3]);
    decoded.window = rest;
    return decoded;
}

std::string EncodeDatabaseInput(const DatabaseInput& input) {
    std::string out;
    for (const std::string* file : {&input.pattern, &input.index, &input.directory, &input.trie})
        Put16(out, file->size());
    out.push_back(static_cast<char>(input.flags));
    Put16(out, input.saved_count);
    Put16(out, input.size_extra);
    out += input.pattern + input.index + input.directory + input.trie + input.window;
    return out;
}

WindowInput DecodeWindowInput(std::string_view input) {
    InputReader reader(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
    WindowInput decoded;
    decoded.flags = reader.Byte();
    decoded.saved_count = reader.U16();
    decoded.size_extra = reader.U16();
    decoded.window = reader.Rest();
    return decoded;
}

std::string EncodeWindowInput(const WindowInput& input) {
    std::string out(1, static_cast<char>(input.flags));
    Put16(out, input.saved_count);
    Put16(out, input.size_extra);
    return out + input.window;
}

void CheckPatternHits(const MatchKernel& kernel, SignatureDatabase& database, std::size_t count,
                      int mode) {
    KV_FUZZ_CHECK(kernel.HitCount() <= MatchKernel::kMaxHits);
    std::int64_t previous = 0;
    for (std::size_t i = 0; i < kernel.HitCount(); ++i) {
        const Hit& hit = kernel.HitAt(i);
        if (mode == MatchKernel::kModeAnchored) {
            KV_FUZZ_CHECK(hit.file_offset == 0);
        } else {
            KV_FUZZ_CHECK(count >= 2 && hit.file_offset >= previous &&
                          hit.file_offset <= static_cast<std::int64_t>(count) - 2);
        }
        previous = hit.file_offset;
        KV_FUZZ_CHECK(database.DecodeVirusName(hit.record));
    }
}

void CheckDocumentHits(const MatchKernel& kernel, std::size_t count) {
    KV_FUZZ_CHECK(kernel.HitCount() <= MatchKernel::kMaxHits);
    std::int64_t previous = 0;
    for (std::size_t i = 0; i < kernel.HitCount(); ++i) {
        const Hit& hit = kernel.HitAt(i);
        KV_FUZZ_CHECK(hit.file_offset >= previous &&
                      hit.file_offset < static_cast<std::int64_t>(count));
        KV_FUZZ_CHECK(hit.record <= 0xFFFF);
        previous = hit.file_offset;
    }
}

std::vector<std::size_t> Occurrences(std::string_view haystack, std::string_view needle) {
    std::vector<std::size_t> found;
    for (std::size_t at = haystack.find(needle); at != std::string_view::npos;
         at = haystack.find(needle, at + 1)) {
        found.push_back(at);
    }
    return found;
}

}  // namespace kv::fuzz
