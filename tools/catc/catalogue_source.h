// The readable sources of the message catalogue and the writer of "langua.ge".
//
// Source format, normally one file per language (UTF-8, LF or CR LF line ends):
//   # a comment line                 lines whose first non-blank character is '#'
//   language 1                       the language of the messages that follow (0 to 255);
//                                    it must come before the first message of a file, and a
//                                    later "language" line switches to another language
//   137 Scansione                    a message: number (0 to 65535), blanks, the text
//   125 "Stam&pa "                   a text in double quotes keeps leading/trailing blanks
//   999 ""                           an empty text
// Blank lines are ignored. Unquoted texts lose their trailing blanks. Escapes in both forms:
// \n \r \t \\ \" and \xHH (two hex digits, one byte). Texts must be well-formed UTF-8 without
// NUL bytes and at most 65535 bytes long; each message number appears once per language.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kv::catc {

struct SourceMessage {
    std::string text;
    std::string file;
    int line = 0;
};

class CatalogueSource {
public:
    // Parses one source file. Problems are collected as "FILE:LINE: message".
    void AddSource(const std::string& file_name, std::string_view contents);

    const std::vector<std::string>& Errors() const { return errors_; }
    // Messages that some language has and another lacks, as "warning: ..." lines.
    std::vector<std::string> Warnings() const;
    std::size_t MessageCount() const { return messages_.size(); }

    // Writes the catalogue: the directory sorted by number, then language (so the records of
    // one number stand together), then the texts, identical texts stored once. Every lookup of
    // a number and language of the sources is checked against the written bytes. Returns
    // false with `error` set when the catalogue cannot be written.
    bool Build(std::string& image, std::string& error) const;

private:
    void Error(const std::string& file, int line, const std::string& message);
    void ParseMessage(const std::string& file, int line, std::string_view rest,
                      std::uint16_t number, std::uint8_t language);

    // Keyed by (number, language): sorted the way the directory is written.
    std::map<std::pair<std::uint16_t, std::uint8_t>, SourceMessage> messages_;
    std::set<std::uint8_t> languages_;
    std::vector<std::string> errors_;
};

// Decodes the escapes of a text body. Returns false with `error` set on a bad escape.
bool Unescape(std::string_view body, std::string& text, std::string& error);
// A text as a quoted source text that Unescape turns back into the same bytes.
std::string QuoteText(std::string_view text);

// A compiled catalogue printed back in the source format (all languages, each under its
// "language N" line), with notes on anything a lookup would not return as written.
std::string DumpCatalogue(std::string_view image, const std::string& name);

}  // namespace kv::catc
