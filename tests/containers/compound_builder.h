// Writers of test documents: OLE2 compound files with 512-byte sectors (version 3), and Word
// 6/95 documents with a macro table inside such a file. The files are valid for other
// compound-file readers too.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kv::test {

struct CompoundStream {
    std::string name;
    // Padded with zeros to at least 4096 bytes (shorter streams would live in the mini
    // stream, which is not written) and to whole sectors.
    std::string data;
};

struct CompoundOptions {
    // Lay each stream's sectors out in reverse order, so its chain jumps backwards through
    // the file instead of running straight.
    bool scatter = false;
};

// Where things landed in the last BuildCompoundFile() call.
struct CompoundLayout {
    std::vector<std::uint32_t> fat_sectors;
    std::vector<std::uint32_t> directory_sectors;
    // Sector chain of each stream, by name.
    std::map<std::string, std::vector<std::uint32_t>> chains;
};

// Builds a compound file whose root storage holds `streams` as directory entries 1, 2, ...
std::string BuildCompoundFile(const std::vector<CompoundStream>& streams,
                              const CompoundOptions& options = {},
                              CompoundLayout* layout = nullptr);

// File offset of the FAT entry of `sector` (the FAT sector holding it taken from `layout`).
std::size_t FatEntryOffset(const CompoundLayout& layout, std::uint32_t sector);
void Poke32(std::string& bytes, std::size_t offset, std::uint32_t value);
std::uint32_t Peek32(const std::string& bytes, std::size_t offset);

struct WordMacro {
    std::string name;
    // The macro text in clear; stored XORed with `key` when that is not 0.
    std::string text;
    std::uint8_t key = 0;
};

struct WordDocumentSpec {
    std::vector<WordMacro> macros;
    // Identifier of the Word stream (0xA5DC for Word 6/95; Word 97 uses 0xA5EC).
    std::uint16_t ident = 0xA5DC;
    // Whether the stream points to a macro table at all (length 0 otherwise).
    bool with_macro_table = true;
    // Bytes put between byte 0 (0xFF) and the count chunk's byte 1, so that byte 1 of the table
    // is not 1 and the count is found through the first record instead.
    std::size_t lead_bytes = 0;
    // Stream offset of the macro table; the texts follow it.
    std::uint32_t table_offset = 0x300;
    // Name of the Word stream's directory entry, and other streams placed before it in the
    // directory (three of them make it the fifth entry).
    std::string stream_name = "WordDocument";
    std::vector<std::string> streams_before;
    bool scatter = false;
};

struct WordLayout {
    std::uint32_t table_offset = 0;
    std::uint32_t table_length = 0;
    std::vector<std::uint32_t> text_offsets;
    CompoundLayout compound;
};

// The Word stream alone, and the whole document.
std::string BuildWordStream(const WordDocumentSpec& spec, WordLayout* layout = nullptr);
std::string BuildWordDocument(const WordDocumentSpec& spec, WordLayout* layout = nullptr);

}  // namespace kv::test
