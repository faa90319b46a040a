// Detached Ed25519 signatures of the update archive: the publisher's public
// key file and the signature file beside the archive, read with a small bound,
// parsed, and checked over an open descriptor with libsodium.
//
// Every file here is text: a line "untrusted comment: <free text>", then one
// line of standard base64 (with padding); a line may end in CR LF.
//
//   public key   base64 of "Ed" | key id (8) | Ed25519 public key (32)
//   secret key   base64 of "Ed" | KDF (2) | "B2" | salt (32) | opslimit (8)
//                | memlimit (8) | key id (8) | Ed25519 secret key (64)
//                | BLAKE2b-256 checksum of "Ed" | key id | key (32).
//                The KDF is two NUL bytes for a key kept in the clear; "Sc"
//                means the last 104 bytes are encrypted with a password.
//   signature    base64 of algorithm (2) | key id (8) | signature (64), then
//                "trusted comment: <text>" and base64 of the global signature
//                (64) over the 64 signature bytes followed by <text>.
//
// Algorithm "ED" signs the BLAKE2b-512 digest of the file (streamed), "Ed"
// signs the file's bytes themselves (mapped read-only). Lines after the
// fourth are ignored.
#pragma once

#include <cstddef>

// Both files are read whole and must be regular files of at most this many
// bytes: a signature path planted as a link to a huge file, a device or a FIFO
// costs one open and one fstat.
constexpr size_t kSignatureFileMax = 8192;

constexpr size_t kSignatureKeyIdSize = 8;
constexpr size_t kSignaturePublicKeySize = 32;
constexpr size_t kSignatureSecretKeySize = 64;
constexpr size_t kSignatureSize = 64;

struct SignaturePublicKey {
  unsigned char keyId[kSignatureKeyIdSize];
  unsigned char key[kSignaturePublicKeySize];
};

struct SignatureRecord {
  bool prehashed;  // "ED": over the BLAKE2b-512 digest; "Ed": over the bytes
  unsigned char keyId[kSignatureKeyIdSize];
  unsigned char signature[kSignatureSize];
  const char* trustedComment;  // points into the parsed text, which must outlive the record
  size_t trustedLength;
  unsigned char globalSignature[kSignatureSize];
};

// The reasons a check fails, each one fixed line of text.
extern const char kSignatureNoFile[];            // "no signature file"
extern const char kSignatureMalformed[];         // "malformed signature"
extern const char kSignatureUnreadable[];        // "unreadable signature"
extern const char kSignatureKeyUnreadable[];     // "unreadable key"
extern const char kSignatureKeyMalformed[];      // "malformed key"
extern const char kSignatureOtherKey[];          // "other key id"
extern const char kSignatureBad[];               // "bad signature"

// Decodes the comment line and the base64 line at |*text| (|end| bounds it)
// into exactly |size| bytes of |out|, and moves |*text| past the base64
// line. A first line not starting "untrusted comment: ", bad base64 or
// another length is refused. 0 or ERR_SIGNATURE.
int signature_decode_lines(const char** text, const char* end, unsigned char* out, size_t size);

// Parses a public key file's text. 0 or ERR_SIGNATURE.
int signature_parse_public_key(const char* text, size_t length, SignaturePublicKey* out);
// Parses a signature file's text; |out| points into |text|. 0 or ERR_SIGNATURE.
int signature_parse(const char* text, size_t length, SignatureRecord* out);

// Reads the whole regular file |path| into |buf|; the open never blocks (a
// FIFO in its place is refused, not waited on). 0 with *length set; ERR_READ when it cannot be
// opened or read (*missing tells "no such file"); ERR_SIGNATURE when it is not
// a regular file or holds more than kSignatureFileMax bytes.
int signature_read_file(const char* path, char (&buf)[kSignatureFileMax], size_t* length, bool* missing);

// Checks |record| against |key| over every byte of the open file |fd| (read
// with pread, so its offset stays where it was): the key ids must match and
// both the signature and the global signature must verify. 0; ERR_SIGNATURE
// with *reason (kSignatureOtherKey, kSignatureBad); ERR_READ when |fd| cannot
// be read or mapped.
int signature_verify(const SignaturePublicKey& key, const SignatureRecord& record, int fd, const char** reason);

// The whole check from files: the public key at |keyPath|, the signature at
// |signaturePath|, over |fd|. 0, ERR_SIGNATURE with *reason naming what was
// wrong, or ERR_READ (the archive unreadable).
int signature_check(int fd, const char* keyPath, const char* signaturePath, const char** reason);

// The updater's policy, on the worker thread after recovery. Without a file
// "updater.pub" in the program's folder (lstat answers "no such file") it
// opens |archivePath| into gArchiveReader exactly as before. Otherwise the
// archive must carry a valid signature "<archivePath>.minisig" by that key:
// a missing, unreadable or malformed key or signature, another key id or a
// signature that does not verify logs "signature check failed: <reason>\n"
// and returns ERR_SIGNATURE before anything changes. The descriptor that was
// checked is the one the reader keeps, with the file's state as opened, so
// that a later change of the archive is caught (ArchiveReader::CheckUnchanged).
// 0, ERR_READ or ERR_SIGNATURE.
int OpenSignedArchive(const char* archivePath);
