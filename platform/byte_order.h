// Little-endian fields, the byte order of every file format the program reads and writes
// (ZIP, compound documents, the signature database, the message catalogue, update files).
#pragma once

#include <cstdint>

namespace kv::platform {

inline std::uint16_t LoadLe16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t LoadLe32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline std::uint64_t LoadLe64(const std::uint8_t* p) {
    return LoadLe32(p) | (static_cast<std::uint64_t>(LoadLe32(p + 4)) << 32);
}

inline void StoreLe16(std::uint8_t* p, std::uint16_t value) {
    p[0] = static_cast<std::uint8_t>(value);
    p[1] = static_cast<std::uint8_t>(value >> 8);
}

inline void StoreLe32(std::uint8_t* p, std::uint32_t value) {
    StoreLe16(p, static_cast<std::uint16_t>(value));
    StoreLe16(p + 2, static_cast<std::uint16_t>(value >> 16));
}

// Appends the field to a byte container (std::string or std::vector of bytes).
template <typename Bytes>
void AppendLe16(Bytes& out, std::uint16_t value) {
    using Byte = typename Bytes::value_type;
    out.push_back(static_cast<Byte>(value & 0xFF));
    out.push_back(static_cast<Byte>(value >> 8));
}

template <typename Bytes>
void AppendLe32(Bytes& out, std::uint32_t value) {
    AppendLe16(out, static_cast<std::uint16_t>(value));
    AppendLe16(out, static_cast<std::uint16_t>(value >> 16));
}

}  // namespace kv::platform
