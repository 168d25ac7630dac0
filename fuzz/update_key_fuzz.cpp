// Fuzz target: the key files of signed updates ("update.pub", "update.key") and the check of a
// signature with whatever key they give.
//
// Input: the text of a key file. A key that parses must print back to a text that parses to
// the same key; a signature made of the input's first bytes, checked over the input with a
// parsed public key, must be refused (no one holds the secret key of a fuzzed public key) and
// never crash.

#include <string>

#include "fuzz/fuzz_support.h"
#include "update/package_signature.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    kv::update::PublicKey public_key{};
    if (kv::update::ParsePublicKey(text, public_key)) {
        kv::update::PublicKey again{};
        KV_FUZZ_CHECK(kv::update::ParsePublicKey(kv::update::PublicKeyText(public_key), again));
        KV_FUZZ_CHECK(again == public_key);

        kv::update::Signature signature{};
        for (std::size_t i = 0; i < signature.size() && i < size; ++i) signature[i] = data[i];
        kv::update::PackageSignature message;
        if (message.Ready()) {
            message.Begin(data, size);
            message.Add(data, size);
            KV_FUZZ_CHECK(!message.Verify(public_key, signature));
        }
    }

    kv::update::SecretKey secret_key{};
    if (kv::update::ParseSecretKey(text, secret_key)) {
        kv::update::SecretKey again{};
        KV_FUZZ_CHECK(kv::update::ParseSecretKey(kv::update::SecretKeyText(secret_key), again));
        KV_FUZZ_CHECK(again == secret_key);
    }
    return 0;
}
