#include "update/package_signature.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace kv::update {

namespace {

constexpr const char* kPublicHeader = "kestravo-update-public-key-v1 ";
constexpr const char* kSecretHeader = "kestravo-update-secret-key-v1 ";
// The domain of the signed message, with its NUL byte: a signature made for anything else
// with the same key never passes for a package signature.
constexpr char kDomain[] = "kestravo-update-v1";
// A key file is one short line; anything longer is not one.
constexpr std::size_t kKeyFileLimit = 256;

std::string KeyText(const char* header, const std::uint8_t* key, std::size_t size) {
    std::vector<char> base64(sodium_base64_encoded_len(size, sodium_base64_VARIANT_ORIGINAL));
    sodium_bin2base64(base64.data(), base64.size(), key, size, sodium_base64_VARIANT_ORIGINAL);
    std::string text = std::string(header) + base64.data() + "\n";
    sodium_memzero(base64.data(), base64.size());
    return text;
}

bool ParseKey(const std::string& text, const char* header, std::uint8_t* key, std::size_t size) {
    if (sodium_init() < 0) return false;
    const std::size_t header_size = std::strlen(header);
    if (text.compare(0, header_size, header) != 0) return false;
    std::size_t end = text.size();
    while (end > header_size && (text[end - 1] == '\n' || text[end - 1] == '\r' ||
                                 text[end - 1] == ' ' || text[end - 1] == '\t'))
        --end;
    const std::string body = text.substr(header_size, end - header_size);
    if (body.find_first_of("\r\n") != std::string::npos) return false;
    std::size_t length = 0;
    const char* body_end = nullptr;
    return sodium_base642bin(key, size, body.data(), body.size(), nullptr, &length, &body_end,
                             sodium_base64_VARIANT_ORIGINAL) == 0 &&
           length == size && body_end == body.data() + body.size();
}

// Reads a small regular file without following a link at its name.
bool ReadKeyFile(const std::string& path, std::string& text) {
    platform::File file;
    if (!file.OpenRead(path, false)) return false;
    char buffer[kKeyFileLimit + 1];
    const long n = file.ReadFull(buffer, sizeof buffer);
    if (n < 0 || static_cast<std::size_t>(n) > kKeyFileLimit) return false;
    text.assign(buffer, static_cast<std::size_t>(n));
    sodium_memzero(buffer, sizeof buffer);
    return true;
}

// Creates `path` exclusively (never an existing file or a link) and writes `text` to disk.
bool WriteNewFile(const std::string& path, const std::string& text, mode_t mode) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) return false;
    platform::File file;
    file.Adopt(fd);
    if (::fchmod(fd, mode) == 0 && file.WriteAll(text.data(), text.size()) && ::fsync(fd) == 0)
        return true;
    const int saved = errno;
    file.Close();
    ::unlink(path.c_str());
    errno = saved;
    return false;
}

}  // namespace

std::string PublicKeyText(const PublicKey& key) {
    return KeyText(kPublicHeader, key.data(), key.size());
}

std::string SecretKeyText(const SecretKey& key) {
    return KeyText(kSecretHeader, key.data(), key.size());
}

bool ParsePublicKey(const std::string& text, PublicKey& key) {
    return ParseKey(text, kPublicHeader, key.data(), key.size());
}

bool ParseSecretKey(const std::string& text, SecretKey& key) {
    return ParseKey(text, kSecretHeader, key.data(), key.size());
}

KeyFileState LoadPublicKey(const std::string& folder, PublicKey& key) {
    const std::string path = platform::ResolveCaseInsensitive(folder, kPublicKeyFile);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT) return KeyFileState::kMissing;
    std::string text;
    if (!ReadKeyFile(path, text) || !ParsePublicKey(text, key)) return KeyFileState::kBroken;
    return KeyFileState::kLoaded;
}

bool LoadSecretKey(const std::string& path, SecretKey& key) {
    std::string text;
    const bool ok = ReadKeyFile(path, text) && ParseSecretKey(text, key);
    sodium_memzero(text.data(), text.size());
    return ok;
}

bool WriteNewKeyPair(const std::string& folder, std::string& error) {
    if (sodium_init() < 0) {
        error = "cannot start libsodium";
        return false;
    }
    const std::string secret_path = platform::WithTrailingSlash(folder) + kSecretKeyFile;
    const std::string public_path = platform::WithTrailingSlash(folder) + kPublicKeyFile;
    PublicKey public_key{};
    SecretKey secret_key{};
    crypto_sign_keypair(public_key.data(), secret_key.data());
    std::string secret_text = SecretKeyText(secret_key);
    sodium_memzero(secret_key.data(), secret_key.size());
    bool ok = WriteNewFile(secret_path, secret_text, 0600);
    sodium_memzero(secret_text.data(), secret_text.size());
    if (!ok) {
        error = "cannot create " + secret_path + ": " + std::strerror(errno);
        return false;
    }
    if (!WriteNewFile(public_path, PublicKeyText(public_key), 0644)) {
        error = "cannot create " + public_path + ": " + std::strerror(errno);
        ::unlink(secret_path.c_str());
        return false;
    }
    return true;
}

struct PackageSignature::State {
    crypto_sign_state sign{};
};

PackageSignature::PackageSignature() : state_(std::make_unique<State>()) {
    ready_ = sodium_init() >= 0 && crypto_sign_init(&state_->sign) == 0;
    if (ready_) {
        crypto_sign_update(&state_->sign, reinterpret_cast<const unsigned char*>(kDomain),
                           sizeof kDomain);
    }
}

PackageSignature::~PackageSignature() {
    sodium_memzero(state_.get(), sizeof *state_);
}

void PackageSignature::Begin(const std::uint8_t* support, std::size_t size) {
    unsigned char length[8];
    for (int i = 0; i < 8; ++i)
        length[i] =
            static_cast<unsigned char>((static_cast<std::uint64_t>(size) >> (8 * i)) & 0xff);
    Add(length, sizeof length);
    Add(support, size);
}

void PackageSignature::Add(const std::uint8_t* bytes, std::size_t size) {
    if (ready_ && size > 0) crypto_sign_update(&state_->sign, bytes, size);
}

bool PackageSignature::AddFile(platform::File& file) {
    std::vector<std::uint8_t> buffer(64 * 1024);
    std::int64_t offset = 0;
    for (;;) {
        const long n = file.ReadAt(buffer.data(), buffer.size(), offset);
        if (n < 0) return false;
        if (n == 0) return true;
        Add(buffer.data(), static_cast<std::size_t>(n));
        offset += n;
    }
}

bool PackageSignature::Sign(const SecretKey& key, Signature& signature) {
    return ready_ &&
           crypto_sign_final_create(&state_->sign, signature.data(), nullptr, key.data()) == 0;
}

bool PackageSignature::Verify(const PublicKey& key, const Signature& signature) {
    return ready_ && crypto_sign_final_verify(&state_->sign, signature.data(), key.data()) == 0;
}

}  // namespace kv::update
