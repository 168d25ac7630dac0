#include "tests/containers/compound_builder.h"

#include <algorithm>
#include <stdexcept>

namespace kv::test {

namespace {

constexpr std::uint32_t kFreeSector = 0xFFFFFFFF;
constexpr std::uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr std::uint32_t kFatSector = 0xFFFFFFFD;
constexpr std::uint32_t kNoStream = 0xFFFFFFFF;
constexpr std::size_t kSector = 512;

void Put16At(std::string& out, std::size_t at, std::uint32_t v) {
    out[at] = static_cast<char>(v & 0xFF);
    out[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}

void Put16(std::string& out, std::uint32_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>((v >> 8) & 0xFF));
}

std::string DirectoryEntry(const std::string& name, std::uint8_t type, std::uint32_t right,
                           std::uint32_t child, std::uint32_t start, std::uint32_t size) {
    std::string e(128, '\0');
    for (std::size_t i = 0; i < name.size() && i < 31; ++i) e[2 * i] = name[i];
    Put16At(e, 0x40, name.empty() ? 0 : static_cast<std::uint32_t>((name.size() + 1) * 2));
    e[0x42] = static_cast<char>(type);
    e[0x43] = 1;  // black
    Poke32(e, 0x44, kNoStream);
    Poke32(e, 0x48, right);
    Poke32(e, 0x4C, child);
    Poke32(e, 0x74, start);
    Poke32(e, 0x78, size);
    return e;
}

}  // namespace

void Poke32(std::string& bytes, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::uint32_t Peek32(const std::string& bytes, std::size_t offset) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<std::uint8_t>(bytes[offset + i]);
    return v;
}

std::size_t FatEntryOffset(const CompoundLayout& layout, std::uint32_t sector) {
    std::uint32_t fat = layout.fat_sectors.at(sector / 128);
    return (fat + 1) * kSector + 4 * (sector % 128);
}

std::string BuildCompoundFile(const std::vector<CompoundStream>& streams,
                              const CompoundOptions& options, CompoundLayout* layout) {
    std::vector<std::string> data;
    std::size_t data_sectors = 0;
    for (const CompoundStream& s : streams) {
        std::string d = s.data;
        std::size_t size =
            std::max<std::size_t>(4096, (d.size() + kSector - 1) / kSector * kSector);
        d.resize(size, '\0');
        data_sectors += size / kSector;
        data.push_back(std::move(d));
    }
    std::size_t entries = streams.size() + 1;
    std::size_t dir_count = (entries + 3) / 4;
    std::size_t fat_count = 1;
    while (fat_count * 128 < fat_count + dir_count + data_sectors) ++fat_count;
    if (fat_count > 109) throw std::runtime_error("compound test file too large");
    std::size_t total = fat_count + dir_count + data_sectors;

    CompoundLayout local;
    CompoundLayout& out_layout = layout != nullptr ? *layout : local;
    out_layout = CompoundLayout{};
    std::vector<std::uint32_t> fat(fat_count * 128, kFreeSector);
    for (std::uint32_t s = 0; s < fat_count; ++s) {
        fat[s] = kFatSector;
        out_layout.fat_sectors.push_back(s);
    }
    for (std::size_t i = 0; i < dir_count; ++i) {
        std::uint32_t s = static_cast<std::uint32_t>(fat_count + i);
        out_layout.directory_sectors.push_back(s);
        fat[s] = i + 1 < dir_count ? s + 1 : kEndOfChain;
    }
    std::string file(512 + total * kSector, '\0');
    std::uint32_t next = static_cast<std::uint32_t>(fat_count + dir_count);
    std::vector<std::uint32_t> starts;
    for (std::size_t i = 0; i < streams.size(); ++i) {
        std::size_t k = data[i].size() / kSector;
        std::vector<std::uint32_t> chain(k);
        for (std::size_t j = 0; j < k; ++j) {
            chain[j] = static_cast<std::uint32_t>(options.scatter ? next + k - 1 - j : next + j);
        }
        next += static_cast<std::uint32_t>(k);
        for (std::size_t j = 0; j < k; ++j) {
            fat[chain[j]] = j + 1 < k ? chain[j + 1] : kEndOfChain;
            file.replace((chain[j] + 1) * kSector, kSector, data[i], j * kSector, kSector);
        }
        starts.push_back(chain[0]);
        out_layout.chains[streams[i].name] = chain;
    }

    // Header.
    const unsigned char signature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    for (int i = 0; i < 8; ++i) file[i] = static_cast<char>(signature[i]);
    Put16At(file, 0x18, 0x003E);
    Put16At(file, 0x1A, 0x0003);
    Put16At(file, 0x1C, 0xFFFE);
    Put16At(file, 0x1E, 9);
    Put16At(file, 0x20, 6);
    Poke32(file, 0x2C, static_cast<std::uint32_t>(fat_count));
    Poke32(file, 0x30, out_layout.directory_sectors[0]);
    Poke32(file, 0x38, 4096);
    Poke32(file, 0x3C, kEndOfChain);
    Poke32(file, 0x44, kEndOfChain);
    for (std::size_t i = 0; i < 109; ++i) {
        Poke32(file, 0x4C + 4 * i, i < fat_count ? static_cast<std::uint32_t>(i) : kFreeSector);
    }
    // FAT sectors.
    for (std::size_t s = 0; s < fat_count; ++s) {
        for (std::size_t k = 0; k < 128; ++k) {
            Poke32(file, (s + 1) * kSector + 4 * k, fat[s * 128 + k]);
        }
    }
    // Directory: the root's child is entry 1, each stream's right sibling the next one.
    std::string dir;
    dir +=
        DirectoryEntry("Root Entry", 5, kNoStream, streams.empty() ? kNoStream : 1, kEndOfChain, 0);
    for (std::size_t i = 0; i < streams.size(); ++i) {
        std::uint32_t right =
            i + 1 < streams.size() ? static_cast<std::uint32_t>(i + 2) : kNoStream;
        dir += DirectoryEntry(streams[i].name, 2, right, kNoStream, starts[i],
                              static_cast<std::uint32_t>(data[i].size()));
    }
    while (dir.size() < dir_count * kSector) {
        dir += DirectoryEntry("", 0, kNoStream, kNoStream, 0, 0);
    }
    for (std::size_t i = 0; i < dir_count; ++i) {
        file.replace((out_layout.directory_sectors[i] + 1) * kSector, kSector, dir, i * kSector,
                     kSector);
    }
    return file;
}

std::string BuildWordStream(const WordDocumentSpec& spec, WordLayout* layout) {
    WordLayout local;
    WordLayout& out_layout = layout != nullptr ? *layout : local;
    const std::size_t n = spec.macros.size();

    // Macro table: 0xFF, lead bytes, the count chunk (1, count), records, then the name tables.
    std::string table;
    table.push_back(static_cast<char>(0xFF));
    table.append(spec.lead_bytes, '\x02');
    table.push_back('\x01');
    Put16(table, static_cast<std::uint32_t>(n));
    std::size_t records_at = table.size();
    table.append(24 * n, '\0');
    table.push_back('\x10');
    // Table B: two bytes (the first record's give the table's length less 3), length, name.
    std::string b;
    for (std::size_t i = 0; i < n; ++i) {
        Put16(b, 0);
        b.push_back(static_cast<char>(spec.macros[i].name.size()));
        b += spec.macros[i].name;
    }
    if (b.size() < 3) b.resize(3, '\0');
    Put16At(b, 0, static_cast<std::uint32_t>(b.size() - 3));
    table += b;
    // Table A: identifier, length, name, zero.
    for (std::size_t i = 0; i < n; ++i) {
        Put16(table, static_cast<std::uint32_t>(0x100 + i));
        table.push_back(static_cast<char>(spec.macros[i].name.size()));
        table += spec.macros[i].name;
        table.push_back('\0');
    }
    if (table.size() < 27) table.resize(27, '\0');

    std::uint32_t text_at = spec.table_offset + static_cast<std::uint32_t>(table.size());
    std::string texts;
    out_layout.text_offsets.clear();
    for (std::size_t i = 0; i < n; ++i) {
        const WordMacro& m = spec.macros[i];
        std::size_t r = records_at + 24 * i;
        table[r] = '\x55';
        table[r + 1] = static_cast<char>(m.key);
        Put16At(table, r + 2, static_cast<std::uint32_t>(0x100 + i));
        Poke32(table, r + 12, static_cast<std::uint32_t>(m.text.size()));
        Poke32(table, r + 20, text_at + static_cast<std::uint32_t>(texts.size()));
        out_layout.text_offsets.push_back(text_at + static_cast<std::uint32_t>(texts.size()));
        std::string stored = m.text;
        if (m.key != 0) {
            for (char& c : stored) c = static_cast<char>(c ^ m.key);
        }
        texts += stored;
    }

    std::size_t size = std::max<std::size_t>(4096, text_at + texts.size());
    std::string stream((size + 511) / 512 * 512, '\0');
    Put16At(stream, 0, spec.ident);
    Put16At(stream, 2, 0x65);  // format version of Word 6
    if (spec.with_macro_table) {
        Poke32(stream, 0x118, spec.table_offset);
        Poke32(stream, 0x11C, static_cast<std::uint32_t>(table.size()));
        stream.replace(spec.table_offset, table.size(), table);
        stream.replace(text_at, texts.size(), texts);
    }
    // Something to look at in the rest of the stream.
    for (std::size_t i = 0x120; i < 0x200; ++i) stream[i] = static_cast<char>('a' + i % 26);
    out_layout.table_offset = spec.table_offset;
    out_layout.table_length = spec.with_macro_table ? static_cast<std::uint32_t>(table.size()) : 0;
    return stream;
}

std::string BuildWordDocument(const WordDocumentSpec& spec, WordLayout* layout) {
    WordLayout local;
    WordLayout& out_layout = layout != nullptr ? *layout : local;
    std::vector<CompoundStream> streams;
    for (const std::string& name : spec.streams_before) {
        streams.push_back({name, std::string(600, 'x')});
    }
    streams.push_back({spec.stream_name, BuildWordStream(spec, &out_layout)});
    streams.push_back(
        {"\x01"
         "CompObj",
         std::string(100, 'c')});
    CompoundOptions options;
    options.scatter = spec.scatter;
    return BuildCompoundFile(streams, options, &out_layout.compound);
}

}  // namespace kv::test
