// A small ZIP writer for test archives that the zip tool cannot make: long comments, central
// directories that list fewer members than the archive holds, unknown methods, corrupt
// Deflate streams, lying sizes, broken local headers, bytes before the first member.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kv::test {

// Raw Deflate (no header, no checksum) of `data`.
std::string DeflateRaw(const std::string& data, int level = 6);

struct ZipMember {
    std::string name;
    // The member's content (what extraction should give).
    std::string data;
    // 0 stores, 8 deflates; any other value stores `data` as it is under that method number.
    std::uint16_t method = 8;
    // Bytes written as the member's data instead of the encoding of `data` (a corrupt stream).
    std::optional<std::string> raw;
    // Values the central directory gives instead of the true ones.
    std::optional<std::uint32_t> central_compressed;
    std::optional<std::uint32_t> central_uncompressed;
    std::optional<std::uint32_t> central_local_offset;
    std::optional<std::uint16_t> central_method;
    std::optional<std::string> central_name;
    // Local header fields written instead of the true ones.
    std::optional<std::uint32_t> local_signature;
    std::optional<std::uint16_t> local_name_length;
};

class ZipBuilder {
public:
    ZipBuilder& Add(const std::string& name, const std::string& data, std::uint16_t method = 8);
    ZipBuilder& Add(ZipMember member);

    // Archive comment after the end record.
    std::string comment;
    // Bytes before the first local header (offsets in the directory account for them).
    std::string prefix;
    // Only the first n members get a central directory header (all get local headers).
    std::optional<std::size_t> listed;
    // Entry count of the end record (default: the number of listed members).
    std::optional<std::uint16_t> entries;
    // Central directory offset of the end record (default: the true one).
    std::optional<std::uint32_t> directory_offset;

    std::string Build() const;
    // File offsets of each member's local header and data in the last Build().
    mutable std::vector<std::uint32_t> local_offsets;
    mutable std::vector<std::uint32_t> data_offsets;

private:
    std::vector<ZipMember> members_;
};

}  // namespace kv::test
