// Signing update archives on the producer side, in the formats the updater
// checks (updater/signature.h): secret keys kept in the clear, prehashed
// signatures. Errors are thrown as std::runtime_error naming the file and the
// reason.
#pragma once

#include <string>
#include <string_view>

namespace signing {

struct SecretKey {
  unsigned char keyId[8];
  unsigned char key[64];  // Ed25519 secret key: seed, then public key
};

// Reads a secret key file as made by "minisign -G -W". A key encrypted with a
// password is refused with a message saying so; a key whose checksum or
// halves do not agree is refused as damaged.
SecretKey ReadSecretKey(const std::string& path);

// The text of a signature file for |data|: the BLAKE2b-512 digest signed with
// |key|, and |trustedComment| (one line) under the global signature.
std::string Sign(const SecretKey& key, std::string_view data, std::string_view trustedComment);

// Checks the signature file |signaturePath| of the file |path| against the
// public key file |publicKeyPath| with the updater's own code; throws with
// the updater's reason ("bad signature", "other key id", ...) when it fails.
void Verify(const std::string& path, const std::string& signaturePath, const std::string& publicKeyPath);

}  // namespace signing
