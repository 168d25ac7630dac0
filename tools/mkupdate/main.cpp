// kestravo-mkupdate: makes the files that the update server offers, and the signing key.
//
//   kestravo-mkupdate --new-key FOLDER
//   kestravo-mkupdate [--key KEYFILE] [--text TEXT | --text-file FILE] [--output FOLDER] FILE...
//
// --new-key writes a new key pair: FOLDER/update.key (secret, mode 0600) and FOLDER/update.pub
// (shipped in the program folder); an existing key is never replaced.
//
// Otherwise "UPGRADE.ZIP" holds each FILE deflated under its bare name (no folders; an
// executable FILE is stored with mode 0755, any other with 0644), and "ztl", the support file,
// holds the package's size (signed 32-bit, little-endian), the sum modulo 2^32 of all its byte
// values, and a 1024-byte text for the user, padded with NUL bytes (a longer text is cut at a
// character boundary). With --key, "upgrade.sig" holds the signature of both made with
// KEYFILE (see update/package_signature.h). All are written into FOLDER (default: the current
// folder), which is made (with the folders above it, mode 0755) when it is missing. Exit
// status 0 on success, 2 on any error.
#include <sys/stat.h>
#include <zlib.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "platform/byte_order.h"
#include "platform/files.h"
#include "update/package_signature.h"

namespace {

constexpr std::size_t kTextSize = 1024;
// Nothing bigger than this fits the 32-bit fields of the archive and the support file.
constexpr std::uint64_t kMaxBytes = 0x7fffffff;

bool ReadWhole(const std::string& path, std::string& bytes) {
    kv::platform::File file;
    if (!file.OpenRead(path)) return false;
    const std::int64_t size = file.Size();
    if (size < 0 || static_cast<std::uint64_t>(size) > kMaxBytes) return false;
    bytes.assign(static_cast<std::size_t>(size), '\0');
    return file.ReadFull(bytes.data(), bytes.size()) == static_cast<long>(bytes.size());
}

bool WriteWhole(const std::string& path, const std::string& bytes) {
    kv::platform::File file;
    return file.Create(path) && file.WriteAll(bytes.data(), bytes.size());
}

// Raw Deflate (no header, no checksum), as ZIP method 8 stores it.
bool Deflate(const std::string& in, std::string& out) {
    z_stream stream{};
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return false;
    out.assign(deflateBound(&stream, static_cast<uLong>(in.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    stream.avail_in = static_cast<uInt>(in.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return result == Z_STREAM_END;
}

// The MS-DOS date and time of the archive's headers.
void DosTime(std::time_t when, std::uint32_t& time, std::uint32_t& date) {
    std::tm local{};
    localtime_r(&when, &local);
    if (local.tm_year < 80) {
        local = std::tm{};
        local.tm_mday = 1;
        local.tm_year = 80;
    }
    time = static_cast<std::uint32_t>((local.tm_hour << 11) | (local.tm_min << 5) |
                                      (local.tm_sec / 2));
    date = static_cast<std::uint32_t>(((local.tm_year - 80) << 9) | ((local.tm_mon + 1) << 5) |
                                      local.tm_mday);
}

std::string BareName(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// `text` cut to at most `size` bytes without splitting a UTF-8 character.
std::string CutText(const std::string& text, std::size_t size) {
    if (text.size() <= size) return text;
    std::size_t end = size;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xc0) == 0x80) --end;
    return text.substr(0, end);
}

// Makes `path` and every missing folder above it (mode 0755, as umask allows). An existing
// folder, or a link to one, is fine; anything else in the way is an error.
bool MakeFolders(const std::string& path) {
    std::size_t slash = 0;
    do {
        slash = path.find('/', slash + 1);
        const std::string prefix = path.substr(0, slash);
        if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return false;
    } while (slash != std::string::npos);
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "kestravo-mkupdate: %s\n", message.c_str());
    return 2;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: kestravo-mkupdate --new-key FOLDER\n"
                 "       kestravo-mkupdate [--key KEYFILE] [--text TEXT | --text-file FILE] "
                 "[--output FOLDER] FILE...\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string text;
    std::string output = ".";
    std::string key_file;
    std::vector<std::string> inputs;
    if (argc == 3 && std::string(argv[1]) == "--new-key") {
        std::string error;
        if (!kv::update::WriteNewKeyPair(argv[2], error)) return Fail(error);
        return 0;
    }
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--text" || arg == "--text-file" || arg == "--output" || arg == "--key") &&
            i + 1 < argc) {
            const std::string value = argv[++i];
            if (arg == "--text") {
                text = value;
            } else if (arg == "--output") {
                output = value;
            } else if (arg == "--key") {
                key_file = value;
            } else if (!ReadWhole(value, text)) {
                return Fail("cannot read " + value);
            }
        } else if (arg.starts_with("--")) {
            return Usage();
        } else {
            inputs.push_back(arg);
        }
    }
    if (inputs.empty() || inputs.size() > 0xffff) return Usage();
    output = kv::platform::WithTrailingSlash(output);
    if (!MakeFolders(output)) return Fail("cannot make the folder " + output);
    kv::update::SecretKey key{};
    if (!key_file.empty() && !kv::update::LoadSecretKey(key_file, key))
        return Fail("cannot read the key " + key_file);

    std::string archive;
    std::string directory;
    std::set<std::string> names;
    for (const std::string& input : inputs) {
        const std::string name = BareName(input);
        if (name.empty() || name == "." || name == "..") return Fail("not a file name: " + input);
        if (!names.insert(name).second) return Fail("two files named " + name);
        std::string data;
        if (!ReadWhole(input, data)) return Fail("cannot read " + input);
        std::string packed;
        if (!Deflate(data, packed)) return Fail("cannot compress " + input);
        struct stat info {};
        const bool known = ::stat(input.c_str(), &info) == 0;
        std::uint32_t time = 0, date = 0;
        DosTime(known ? info.st_mtime : std::time(nullptr), time, date);
        const std::uint32_t mode = known && (info.st_mode & 0111) != 0 ? 0100755u : 0100644u;
        const auto crc = static_cast<std::uint32_t>(
            crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
        const auto offset = static_cast<std::uint32_t>(archive.size());
        if (archive.size() + packed.size() + name.size() + 30 > kMaxBytes)
            return Fail("the package would be too big");

        kv::platform::AppendLe32(archive, 0x04034b50);
        kv::platform::AppendLe16(archive, 20);
        kv::platform::AppendLe16(archive, 0);
        kv::platform::AppendLe16(archive, 8);
        kv::platform::AppendLe16(archive, time);
        kv::platform::AppendLe16(archive, date);
        kv::platform::AppendLe32(archive, crc);
        kv::platform::AppendLe32(archive, static_cast<std::uint32_t>(packed.size()));
        kv::platform::AppendLe32(archive, static_cast<std::uint32_t>(data.size()));
        kv::platform::AppendLe16(archive, static_cast<std::uint32_t>(name.size()));
        kv::platform::AppendLe16(archive, 0);
        archive += name;
        archive += packed;

        kv::platform::AppendLe32(directory, 0x02014b50);
        kv::platform::AppendLe16(directory, (3 << 8) | 20);  // made on Unix
        kv::platform::AppendLe16(directory, 20);
        kv::platform::AppendLe16(directory, 0);
        kv::platform::AppendLe16(directory, 8);
        kv::platform::AppendLe16(directory, time);
        kv::platform::AppendLe16(directory, date);
        kv::platform::AppendLe32(directory, crc);
        kv::platform::AppendLe32(directory, static_cast<std::uint32_t>(packed.size()));
        kv::platform::AppendLe32(directory, static_cast<std::uint32_t>(data.size()));
        kv::platform::AppendLe16(directory, static_cast<std::uint32_t>(name.size()));
        kv::platform::AppendLe16(directory, 0);
        kv::platform::AppendLe16(directory, 0);
        kv::platform::AppendLe16(directory, 0);
        kv::platform::AppendLe16(directory, 0);
        kv::platform::AppendLe32(directory, mode << 16);
        kv::platform::AppendLe32(directory, offset);
        directory += name;
    }
    const auto directory_offset = static_cast<std::uint32_t>(archive.size());
    archive += directory;
    kv::platform::AppendLe32(archive, 0x06054b50);
    kv::platform::AppendLe16(archive, 0);
    kv::platform::AppendLe16(archive, 0);
    kv::platform::AppendLe16(archive, static_cast<std::uint32_t>(inputs.size()));
    kv::platform::AppendLe16(archive, static_cast<std::uint32_t>(inputs.size()));
    kv::platform::AppendLe32(archive, static_cast<std::uint32_t>(directory.size()));
    kv::platform::AppendLe32(archive, directory_offset);
    kv::platform::AppendLe16(archive, 0);
    if (archive.size() > kMaxBytes) return Fail("the package would be too big");

    std::uint32_t sum = 0;
    for (char c : archive) sum += static_cast<unsigned char>(c);
    std::string support;
    kv::platform::AppendLe32(support, static_cast<std::uint32_t>(archive.size()));
    kv::platform::AppendLe32(support, sum);
    support += CutText(text, kTextSize);
    support.resize(8 + kTextSize, '\0');

    if (!WriteWhole(output + "UPGRADE.ZIP", archive))
        return Fail("cannot write " + output + "UPGRADE.ZIP");
    if (!WriteWhole(output + "ztl", support)) return Fail("cannot write " + output + "ztl");
    if (!key_file.empty()) {
        kv::update::PackageSignature message;
        kv::update::Signature signature{};
        message.Begin(reinterpret_cast<const std::uint8_t*>(support.data()), support.size());
        message.Add(reinterpret_cast<const std::uint8_t*>(archive.data()), archive.size());
        if (!message.Sign(key, signature)) return Fail("cannot sign the package");
        const std::string path = output + kv::update::kSignatureFile;
        if (!WriteWhole(path, std::string(signature.begin(), signature.end())))
            return Fail("cannot write " + path);
    }
    return 0;
}
