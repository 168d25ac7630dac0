// Signatures of update packages: Ed25519 (libsodium) over the support file and the package
// together, so neither can be swapped for another without the key holder's consent.
//
// The signed message is the text "kestravo-update-v1" with its terminating NUL byte, the
// support file's length as 8 bytes little-endian, the support file's bytes and then the
// package's bytes. It is signed in Ed25519ph form (libsodium's crypto_sign_init / update /
// final), which hashes the message with SHA-512 on the way, so a package of hundreds of
// megabytes is streamed, never held in memory.
//
// Files (see docs/UPDATES.md):
//   update.pub   one text line: "kestravo-update-public-key-v1 " + Base64 of the 32-byte key
//   update.key   one text line: "kestravo-update-secret-key-v1 " + Base64 of the 64-byte key
//                (seed and public key, as libsodium keeps it); mode 0600, never overwritten
//   upgrade.sig  the 64 bytes of the detached signature, nothing else
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/files.h"

namespace kv::update {

inline constexpr const char* kPublicKeyFile = "update.pub";
inline constexpr const char* kSecretKeyFile = "update.key";
inline constexpr const char* kSignatureFile = "upgrade.sig";
inline constexpr std::size_t kPublicKeySize = 32;
inline constexpr std::size_t kSecretKeySize = 64;
inline constexpr std::size_t kSignatureSize = 64;

using PublicKey = std::array<std::uint8_t, kPublicKeySize>;
using SecretKey = std::array<std::uint8_t, kSecretKeySize>;
using Signature = std::array<std::uint8_t, kSignatureSize>;

// The text of a key file, and back. Parsing accepts exactly one line (a trailing line end
// and blanks are ignored) with the right header and a key of the right length.
std::string PublicKeyText(const PublicKey& key);
std::string SecretKeyText(const SecretKey& key);
bool ParsePublicKey(const std::string& text, PublicKey& key);
bool ParseSecretKey(const std::string& text, SecretKey& key);

enum class KeyFileState { kLoaded, kMissing, kBroken };

// Reads update.pub from `folder` (ending in '/'; the name is found whatever its letter case).
// kMissing only when no such entry exists; a link, a folder, an unreadable or malformed file
// is kBroken, so that a damaged key never passes for "no key".
KeyFileState LoadPublicKey(const std::string& folder, PublicKey& key);
bool LoadSecretKey(const std::string& path, SecretKey& key);

// Makes a new key pair and writes `folder`update.key (mode 0600) and `folder`update.pub.
// Neither file may exist already: an existing key is never replaced. On failure nothing new
// is left behind and `error` says why.
bool WriteNewKeyPair(const std::string& folder, std::string& error);

// The streamed message of one package. Feed the support file with Begin(), then the package's
// bytes in any number of pieces, then Sign() or Verify(). Each object serves one message.
class PackageSignature {
public:
    PackageSignature();
    ~PackageSignature();
    PackageSignature(const PackageSignature&) = delete;
    PackageSignature& operator=(const PackageSignature&) = delete;

    // False when libsodium cannot be started (no signature can then be made or checked).
    bool Ready() const { return ready_; }
    void Begin(const std::uint8_t* support, std::size_t size);
    void Add(const std::uint8_t* bytes, std::size_t size);
    // Reads `file` from offset 0 to its end through pread; false on a read error.
    bool AddFile(platform::File& file);
    bool Sign(const SecretKey& key, Signature& signature);
    bool Verify(const PublicKey& key, const Signature& signature);

private:
    struct State;
    std::unique_ptr<State> state_;
    bool ready_ = false;
};

}  // namespace kv::update
