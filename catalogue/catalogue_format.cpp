#include "catalogue/catalogue_format.h"

namespace kv::catalogue {

Record DecodeRecord(const unsigned char* bytes) {
    Record record;
    record.number = static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
    record.language = bytes[2];
    record.length = static_cast<std::uint16_t>(bytes[3] | (bytes[4] << 8));
    record.offset =
        static_cast<std::uint32_t>(bytes[5]) | (static_cast<std::uint32_t>(bytes[6]) << 8) |
        (static_cast<std::uint32_t>(bytes[7]) << 16) | (static_cast<std::uint32_t>(bytes[8]) << 24);
    return record;
}

void EncodeRecord(const Record& record, unsigned char* bytes) {
    bytes[0] = static_cast<unsigned char>(record.number & 0xFF);
    bytes[1] = static_cast<unsigned char>(record.number >> 8);
    bytes[2] = record.language;
    bytes[3] = static_cast<unsigned char>(record.length & 0xFF);
    bytes[4] = static_cast<unsigned char>(record.length >> 8);
    for (int i = 0; i < 4; ++i) {
        bytes[5 + i] = static_cast<unsigned char>((record.offset >> (8 * i)) & 0xFF);
    }
}

std::string_view TextOf(std::string_view image, const Record& record) {
    if (record.offset >= image.size()) return {};
    std::size_t available = image.size() - record.offset;
    std::size_t length = record.length < available ? record.length : available;
    return image.substr(record.offset, length);
}

std::size_t Utf8SequenceAt(std::string_view text, std::size_t pos) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    if (pos >= text.size()) return 0;
    unsigned char lead = byte(pos);
    if (lead < 0x80) return 1;
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // no overlong forms
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;   // no overlong forms
        if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (text.size() - pos < length) return 0;
    if (byte(pos + 1) < low || byte(pos + 1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if ((byte(pos + i) & 0xC0) != 0x80) return 0;
    }
    return length;
}

std::size_t FindInvalidUtf8(std::string_view text) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t length = Utf8SequenceAt(text, pos);
        if (length == 0) return pos;
        pos += length;
    }
    return std::string_view::npos;
}

}  // namespace kv::catalogue
