// Signature databases for the fuzz targets of the scan engine: compiled with the signature
// compiler's own code (what kestravo-sigc runs), written into a folder, and the layout of a
// fuzz input that carries a whole database and a window.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tools/sigc/sig_compiler.h"

namespace kv {
class MatchKernel;
class SignatureDatabase;
}  // namespace kv

namespace kv::fuzz {

// Signatures the fuzzer can reach: the test string, short markers that are easy to find and
// to mutate into, and one of each token kind, for programs, boot sectors and documents.
extern const char* const kFuzzSignatures;
// Literal-only signatures of kFuzzSignatures and the names they are compiled under: wherever
// the text stands in a window, the search must report it.
inline constexpr std::string_view kLiteralMark = "KVFZ-LITERAL";
inline constexpr std::string_view kLiteralName = "Fuzz.Literal";
inline constexpr std::string_view kDocumentMark = "KVFZ-DOCUMENT";
inline constexpr std::string_view kDocumentName = "Fuzz.Document";

// Compiles signature source text. False when the compiler reports an error.
bool CompileSignatures(const std::string& source, sigc::DatabaseFiles& files);
// Writes the five database files into `folder` (ending in '/'). False when a write fails.
bool WriteDatabase(const std::string& folder, const sigc::DatabaseFiles& files);

// A database compiled from kFuzzSignatures into a folder of its own under the temporary
// folder, made at the first call and removed when the program ends. Folder() ends in '/';
// empty when it could not be made.
const std::string& FuzzDatabaseFolder();

// The input of the `database` target: four little-endian 16-bit lengths (pattern file, index
// file, document directory, document trie), a flags byte, a 16-bit saved count and a 16-bit
// size-limit addition, then the four files' bytes in that order (each as far as the input
// holds them), and the rest: the window.
struct DatabaseInput {
    std::string pattern, index, directory, trie;
    std::uint8_t flags = 0;
    std::uint16_t saved_count = 0;
    std::uint16_t size_extra = 0;
    std::string window;
};
DatabaseInput DecodeDatabaseInput(std::string_view input);
std::string EncodeDatabaseInput(const DatabaseInput& input);

// The input of the `kernel` target (a fixed, valid database): the flags byte, the 16-bit
// saved count and size-limit addition, then the window.
struct WindowInput {
    std::uint8_t flags = 0;
    std::uint16_t saved_count = 0;
    std::uint16_t size_extra = 0;
    std::string window;
};
WindowInput DecodeWindowInput(std::string_view input);
std::string EncodeWindowInput(const WindowInput& input);

// Flags of both inputs.
inline constexpr std::uint8_t kFlagEntryKnown = 1;  // the window's entry point is known
// What every search promises, checked after one over a window of `count` bytes that starts
// at file offset 0: at most 30 hits; pattern hits at start positions of the mode (0 to
// count - 2, or 0 for the anchored pass), in ascending order, each naming a record whose name
// trailer lies inside the pattern buffer; document hits at positions 0 to count - 1, in
// ascending order.
void CheckPatternHits(const MatchKernel& kernel, SignatureDatabase& database, std::size_t count,
                      int mode);
void CheckDocumentHits(const MatchKernel& kernel, std::size_t count);

// Offsets of the positions where `needle` stands in `haystack`.
std::vector<std::size_t> Occurrences(std::string_view haystack, std::string_view needle);

}  // namespace kv::fuzz
