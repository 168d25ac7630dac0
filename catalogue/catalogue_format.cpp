#include "catalogue/catalogue_format.h"

#include "platform/byte_order.h"

namespace kv::catalogue {

Record DecodeRecord(const unsigned char* bytes) {
    Record record;
    record.number = platform::LoadLe16(bytes);
    record.language = bytes[2];
    record.length = platform::LoadLe16(bytes + 3);
    record.offset = platform::LoadLe32(bytes + 5);
    return record;
}

void EncodeRecord(const Record& record, unsigned char* bytes) {
    platform::StoreLe16(bytes, record.number);
    bytes[2] = record.language;
    platform::StoreLe16(bytes + 3, record.length);
    platform::StoreLe32(bytes + 5, record.offset);
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
