// The signature compiler: turns signature source text into the five database files, and a
// loaded database back into source.
//
// The source language is described in docs/SIGNATURES.md: one NAME:TARGETS:BODY line per
// signature (TARGETS exe, com, boot, a '+' join, or doc), "!version N", and body tokens (hex
// bytes, quoted strings, ??, {n}, {0} as a literal boundary, {-m} gaps, nibble tests,
// conditions and routine calls).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kv::sigc {

// An error or warning tied to a source line (line 0: the file as a whole).
struct Diagnostic {
    std::string file;
    int line = 0;
    std::string message;

    std::string Text() const;
};

enum class TokenKind { Literal, Skip, Gap, HighNibble, LowNibble, Entry, NearEnd, Header, Routine };

struct Token {
    TokenKind kind = TokenKind::Literal;
    std::vector<std::uint8_t> bytes;  // Literal
    unsigned value = 0;  // Skip: bytes; Gap: m; nibbles: the nibble; NearEnd: N; Routine: R
};

inline constexpr std::uint8_t kTargetExe = 1;
inline constexpr std::uint8_t kTargetCom = 2;
inline constexpr std::uint8_t kTargetBoot = 4;

struct Signature {
    std::string name;
    std::string file;
    int line = 0;
    bool document = false;
    std::uint8_t targets = 0;
    bool anchored = false;
    std::vector<Token> body;
};

struct Source {
    std::vector<Signature> signatures;
    int version = -1;  // -1: not given (0 is written)
    std::string version_file;
    int version_line = 0;
};

// Parses one source text, appending its signatures to `source` and its errors to `errors`.
void ParseSource(const std::string& text, const std::string& file, Source& source,
                 std::vector<Diagnostic>& errors);

// The five files of a database.
struct DatabaseFiles {
    std::vector<std::uint8_t> pattern;    // "Matrix.DLL"
    std::vector<std::uint8_t> index;      // "Virus.seq"
    std::vector<std::uint8_t> directory;  // "tbl02.dir"
    std::vector<std::uint8_t> trie;       // "tbl02"
    std::vector<std::uint8_t> names;      // "tbl02.nam"
};

// Builds the database files from parsed sources. Returns false (and fills `errors`) when a
// signature cannot be encoded: duplicate names, records over 255 token bytes, files over their
// 16-bit limits, document signatures that are prefixes of others.
bool Build(const Source& source, DatabaseFiles& files, std::vector<Diagnostic>& errors);

// Every signature name, each once, in source order (the virus list).
std::vector<std::string> NameList(const Source& source);

// The pattern file's format tag (bytes 0 and 1 of its header).
inline constexpr std::uint8_t kFormatTag[2] = {'K', 'V'};

// Name and buffer scrambling, the inverse of what the engine's loader undoes.
std::vector<std::uint8_t> ScrambleName(const std::string& name);
void ScramblePattern(std::vector<std::uint8_t>& pattern);

// Encodes a program/boot body as a record (simple record for a single literal of at most 255
// bytes, else L + tokens). Returns false with `error` set when it is too long.
bool EncodeRecord(const std::vector<Token>& body, std::vector<std::uint8_t>& record,
                  std::string& error);

// Writes the source text of the database in `folder`, loaded with the engine's loader.
// Returns false with `error` set when it cannot be loaded. `warnings` names whatever the
// source cannot express exactly; after a dump without warnings, compiling the text gives the
// same five files byte for byte.
bool Dump(const std::string& folder, std::string& text, std::vector<std::string>& warnings,
          std::string& error);

// Loads the database in `folder` with the engine's loader. Returns the load code; on success
// counts the program/boot records listed in the index and the document signatures.
int Check(const std::string& folder, std::size_t& program_signatures,
          std::size_t& document_signatures);

}  // namespace kv::sigc
