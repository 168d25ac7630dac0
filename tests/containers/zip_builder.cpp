#include "tests/containers/zip_builder.h"

#include <zlib.h>

#include <cstring>
#include <stdexcept>

namespace kv::test {

namespace {

void Put16(std::string& out, std::uint32_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>((v >> 8) & 0xFF));
}

void Put32(std::string& out, std::uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

std::uint32_t Crc(const std::string& data) {
    uLong crc = crc32(0L, Z_NULL, 0);
    return static_cast<std::uint32_t>(
        crc32(crc, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

}  // namespace

std::string DeflateRaw(const std::string& data, int level) {
    z_stream zs;
    std::memset(&zs, 0, sizeof zs);
    if (deflateInit2(&zs, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw std::runtime_error("deflateInit2 failed");
    }
    std::string out(deflateBound(&zs, static_cast<uLong>(data.size())) + 16, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    int ret = deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    if (ret != Z_STREAM_END) throw std::runtime_error("deflate failed");
    return out;
}

ZipBuilder& ZipBuilder::Add(const std::string& name, const std::string& data,
                            std::uint16_t method) {
    ZipMember m;
    m.name = name;
    m.data = data;
    m.method = method;
    return Add(std::move(m));
}

ZipBuilder& ZipBuilder::Add(ZipMember member) {
    members_.push_back(std::move(member));
    return *this;
}

std::string ZipBuilder::Build() const {
    std::string out = prefix;
    local_offsets.clear();
    data_offsets.clear();
    std::vector<std::string> payloads;
    for (const ZipMember& m : members_) {
        std::string payload = m.raw ? *m.raw : (m.method == 8 ? DeflateRaw(m.data) : m.data);
        local_offsets.push_back(static_cast<std::uint32_t>(out.size()));
        Put32(out, m.local_signature.value_or(0x04034b50));
        Put16(out, 20);  // version needed
        Put16(out, 0);   // flags
        Put16(out, m.method);
        Put16(out, 0);     // time
        Put16(out, 0x21);  // date
        Put32(out, Crc(m.data));
        Put32(out, static_cast<std::uint32_t>(payload.size()));
        Put32(out, static_cast<std::uint32_t>(m.data.size()));
        Put16(out, m.local_name_length.value_or(static_cast<std::uint16_t>(m.name.size())));
        Put16(out, 0);  // extra length
        out += m.name;
        data_offsets.push_back(static_cast<std::uint32_t>(out.size()));
        out += payload;
        payloads.push_back(std::move(payload));
    }
    std::size_t listed_count = listed.value_or(members_.size());
    std::uint32_t directory_start = static_cast<std::uint32_t>(out.size());
    for (std::size_t i = 0; i < listed_count && i < members_.size(); ++i) {
        const ZipMember& m = members_[i];
        std::string name = m.central_name.value_or(m.name);
        Put32(out, 0x02014b50);
        Put16(out, 0x031E);  // made by
        Put16(out, 20);      // version needed
        Put16(out, 0);       // flags
        Put16(out, m.central_method.value_or(m.method));
        Put16(out, 0);
        Put16(out, 0x21);
        Put32(out, Crc(m.data));
        Put32(out, m.central_compressed.value_or(static_cast<std::uint32_t>(payloads[i].size())));
        Put32(out, m.central_uncompressed.value_or(static_cast<std::uint32_t>(m.data.size())));
        Put16(out, static_cast<std::uint32_t>(name.size()));
        Put16(out, 0);  // extra
        Put16(out, 0);  // comment
        Put16(out, 0);  // disk
        Put16(out, 0);  // internal attributes
        Put32(out, 0);  // external attributes
        Put32(out, m.central_local_offset.value_or(local_offsets[i]));
        out += name;
    }
    std::uint32_t directory_size = static_cast<std::uint32_t>(out.size()) - directory_start;
    std::uint16_t count = entries.value_or(static_cast<std::uint16_t>(listed_count));
    Put32(out, 0x06054b50);
    Put16(out, 0);
    Put16(out, 0);
    Put16(out, count);
    Put16(out, count);
    Put32(out, directory_size);
    Put32(out, directory_offset.value_or(directory_start));
    Put16(out, static_cast<std::uint32_t>(comment.size()));
    out += comment;
    return out;
}

}  // namespace kv::test
