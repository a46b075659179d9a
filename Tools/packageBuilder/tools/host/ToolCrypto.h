#pragma once

// Hashing and reading code signatures for the producer tools: OpenSSL's libcrypto on Linux,
// the system's own services on Windows (BCrypt for digests, CryptoAPI for the PKCS#7
// message). Neither side parses ASN.1 by hand: the message and the structures in it are
// taken apart with the library's decoders.

#include "tools/host/Expected.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace wrapper::tools::host {

enum class DigestAlgorithm { Sha1, Sha256, Sha384, Sha512 };

// "SHA-1", "SHA-256", ...
const char* DigestName(DigestAlgorithm algorithm);

// An incremental message digest.
class Digest {
public:
    explicit Digest(DigestAlgorithm algorithm);
    ~Digest();
    Digest(const Digest&) = delete;
    Digest& operator=(const Digest&) = delete;

    void Update(const void* data, std::size_t size);
    // The digest of everything given to Update; call once.
    std::vector<std::uint8_t> Finish();

    // False when the system could not set the digest up (then Finish gives nothing).
    bool Usable() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The digest an Authenticode signature carries for its file: the DigestInfo inside the
// SpcIndirectDataContent of a PKCS#7 SignedData message.
struct SignedDigest {
    DigestAlgorithm algorithm = DigestAlgorithm::Sha256;
    std::vector<std::uint8_t> value;
    // The signer carries a timestamp among its unsigned attributes: an RFC 3161 timestamp
    // (kRfc3161TimestampOid) or a PKCS#9 countersignature (kCounterSignatureOid). Whether the
    // timestamp itself is valid is not judged.
    bool timestamped = false;
    // The signatures nested in this one: each value of the signer's unsigned attribute
    // kNestedSignatureOid, the encoded PKCS#7 message as it stands (for ReadSignedDigest; a
    // value that is not a SEQUENCE is kept empty, so that it reads as no message).
    std::vector<std::vector<std::uint8_t>> nested;
};

// Reads `message` (the bytes of a certificate-table entry's PKCS#7 message). The failure
// says what is wrong with it, e.g. "not a PKCS#7 SignedData message" or "digest algorithm
// 1.2.840.113549.2.5 is not SHA-1, SHA-256, SHA-384 or SHA-512". The certificates and the
// signature over the digest are not looked at. Only the first signer's unsigned attributes
// are read (for the timestamp and the nested signatures).
Expected<SignedDigest> ReadSignedDigest(const std::uint8_t* message, std::size_t size);

// The object identifier of Authenticode's SpcIndirectDataContent.
inline constexpr const char* kSpcIndirectDataOid = "1.3.6.1.4.1.311.2.1.4";
// The unsigned attributes that hold a signer's timestamp.
inline constexpr const char* kRfc3161TimestampOid = "1.3.6.1.4.1.311.3.3.1";
inline constexpr const char* kCounterSignatureOid = "1.2.840.113549.1.9.6";
// The unsigned attribute that holds further signatures of the same file (signing again with
// another digest without replacing the first signature).
inline constexpr const char* kNestedSignatureOid = "1.3.6.1.4.1.311.2.4.1";

}  // namespace wrapper::tools::host
