#include "tools/host/ToolCrypto.h"

#include "tools/host/SystemHandle.h"

#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstring>

namespace wrapper::tools::host {

namespace {

const wchar_t* AlgorithmId(DigestAlgorithm algorithm) {
    switch (algorithm) {
        case DigestAlgorithm::Sha1: return BCRYPT_SHA1_ALGORITHM;
        case DigestAlgorithm::Sha256: return BCRYPT_SHA256_ALGORITHM;
        case DigestAlgorithm::Sha384: return BCRYPT_SHA384_ALGORITHM;
        case DigestAlgorithm::Sha512: return BCRYPT_SHA512_ALGORITHM;
    }
    return nullptr;
}

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// The system's functions are imported from DLLs, so each owner names a function of ours.
void FreeLocal(HLOCAL memory) { LocalFree(memory); }
void CloseMessage(HCRYPTMSG message) { CryptMsgClose(message); }

// One structure decoded by CryptoAPI into memory it allocates, freed with LocalFree.
template <typename T>
class Decoded {
public:
    Decoded(LPCSTR type, const BYTE* data, DWORD size) {
        T* value = nullptr;
        DWORD length = 0;
        if (CryptDecodeObjectEx(kEncoding, type, data, size, CRYPT_DECODE_ALLOC_FLAG, nullptr,
                                &value, &length)) {
            memory_ = {theSystem, value};
        }
    }
    T* operator->() const { return static_cast<T*>(memory_.Get()); }
    T& operator*() const { return *operator->(); }
    explicit operator bool() const { return static_cast<bool>(memory_); }

private:
    UniqueSystemObject<HLOCAL, &FreeLocal> memory_;
};

class Message {
public:
    Message() : handle_(theSystem, CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr)) {}
    HCRYPTMSG Get() const { return handle_.Get(); }

    bool Param(DWORD type, std::vector<BYTE>& out) const {
        DWORD size = 0;
        if (!CryptMsgGetParam(handle_.Get(), type, 0, nullptr, &size)) return false;
        out.resize(size);
        if (!CryptMsgGetParam(handle_.Get(), type, 0, out.data(), &size)) return false;
        out.resize(size);
        return true;
    }

private:
    UniqueSystemObject<HCRYPTMSG, &CloseMessage> handle_;
};

void CloseAlgorithm(BCRYPT_ALG_HANDLE algorithm) { BCryptCloseAlgorithmProvider(algorithm, 0); }
void DestroyHash(BCRYPT_HASH_HANDLE hash) { BCryptDestroyHash(hash); }

}  // namespace

struct Digest::State {
    // The hash is destroyed before the provider it came from.
    UniqueSystemObject<BCRYPT_ALG_HANDLE, &CloseAlgorithm> algorithm;
    UniqueSystemObject<BCRYPT_HASH_HANDLE, &DestroyHash> hash;
    DWORD length = 0;
    bool usable = false;
};

Digest::Digest(DigestAlgorithm algorithm) : state_(std::make_unique<State>()) {
    DWORD got = 0;
    BCRYPT_ALG_HANDLE provider = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    const bool opened =
        BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&provider, AlgorithmId(algorithm), nullptr, 0));
    if (opened) state_->algorithm = {theSystem, provider};
    state_->usable = opened &&
                     BCRYPT_SUCCESS(BCryptGetProperty(provider, BCRYPT_HASH_LENGTH,
                                                      reinterpret_cast<PUCHAR>(&state_->length),
                                                      sizeof state_->length, &got, 0)) &&
                     BCRYPT_SUCCESS(BCryptCreateHash(provider, &hash, nullptr, 0, nullptr, 0, 0));
    if (state_->usable) state_->hash = {theSystem, hash};
}

Digest::~Digest() = default;

bool Digest::Usable() const { return state_->usable; }

void Digest::Update(const void* data, std::size_t size) {
    auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));
    while (state_->usable && size > 0) {
        const auto part = static_cast<ULONG>(std::min<std::size_t>(size, 1u << 30));
        if (!BCRYPT_SUCCESS(BCryptHashData(state_->hash.Get(), bytes, part, 0))) {
            state_->usable = false;
        }
        bytes += part;
        size -= part;
    }
}

std::vector<std::uint8_t> Digest::Finish() {
    std::vector<std::uint8_t> value(state_->length);
    if (!state_->usable ||
        !BCRYPT_SUCCESS(BCryptFinishHash(state_->hash.Get(), value.data(), state_->length, 0))) {
        return {};
    }
    state_->usable = false;
    return value;
}

Expected<SignedDigest> ReadSignedDigest(const std::uint8_t* message, std::size_t size) {
    SignedDigest digest;
    const Message decoder;
    std::vector<BYTE> type;
    if (decoder.Get() == nullptr || size > MAXDWORD ||
        !CryptMsgUpdate(decoder.Get(), message, static_cast<DWORD>(size), TRUE) ||
        !decoder.Param(CMSG_INNER_CONTENT_TYPE_PARAM, type)) {
        return Unexpected{"not a PKCS#7 SignedData message"};
    }
    std::vector<BYTE> content;
    type.push_back(0);
    if (std::strcmp(reinterpret_cast<const char*>(type.data()), kSpcIndirectDataOid) != 0 ||
        !decoder.Param(CMSG_CONTENT_PARAM, content)) {
        return Unexpected{"the signed content is not Authenticode's SpcIndirectDataContent"};
    }
    // SpcIndirectDataContent ::= SEQUENCE { data, messageDigest DigestInfo }, and
    // DigestInfo ::= SEQUENCE { digestAlgorithm AlgorithmIdentifier, digest OCTET STRING },
    // taken apart with the generic decoders.
    const Decoded<CRYPT_SEQUENCE_OF_ANY> fields(X509_SEQUENCE_OF_ANY, content.data(),
                                                static_cast<DWORD>(content.size()));
    if (!fields || fields->cValue != 2) {
        return Unexpected{"no DigestInfo in the SpcIndirectDataContent"};
    }
    const Decoded<CRYPT_SEQUENCE_OF_ANY> info(X509_SEQUENCE_OF_ANY, fields->rgValue[1].pbData,
                                              fields->rgValue[1].cbData);
    if (!info || info->cValue != 2) {
        return Unexpected{"no DigestInfo in the SpcIndirectDataContent"};
    }
    const Decoded<CRYPT_SEQUENCE_OF_ANY> algorithm(X509_SEQUENCE_OF_ANY, info->rgValue[0].pbData,
                                                   info->rgValue[0].cbData);
    const Decoded<LPSTR> oid(
        X509_OBJECT_IDENTIFIER,
        algorithm && algorithm->cValue >= 1 ? algorithm->rgValue[0].pbData : nullptr,
        algorithm && algorithm->cValue >= 1 ? algorithm->rgValue[0].cbData : 0);
    const Decoded<CRYPT_DATA_BLOB> value(X509_OCTET_STRING, info->rgValue[1].pbData,
                                         info->rgValue[1].cbData);
    if (!oid || !value) {
        return Unexpected{"no DigestInfo in the SpcIndirectDataContent"};
    }
    const std::string name = *oid;
    if (name == szOID_OIWSEC_sha1) {
        digest.algorithm = DigestAlgorithm::Sha1;
    } else if (name == szOID_NIST_sha256) {
        digest.algorithm = DigestAlgorithm::Sha256;
    } else if (name == szOID_NIST_sha384) {
        digest.algorithm = DigestAlgorithm::Sha384;
    } else if (name == szOID_NIST_sha512) {
        digest.algorithm = DigestAlgorithm::Sha512;
    } else {
        return Unexpected{"digest algorithm " + name +
                          " is not SHA-1, SHA-256, SHA-384 or SHA-512"};
    }
    digest.value.assign(value->pbData, value->pbData + value->cbData);
    // The first signer's unsigned attributes; a signer without any has none to give.
    digest.timestamped = false;
    digest.nested.clear();
    std::vector<BYTE> attributes;
    if (decoder.Param(CMSG_SIGNER_UNAUTH_ATTR_PARAM, attributes) &&
        attributes.size() >= sizeof(CRYPT_ATTRIBUTES)) {
        const auto* list = reinterpret_cast<const CRYPT_ATTRIBUTES*>(attributes.data());
        for (DWORD i = 0; i < list->cAttr; ++i) {
            const CRYPT_ATTRIBUTE& attribute = list->rgAttr[i];
            if (attribute.pszObjId == nullptr) continue;
            if (std::strcmp(attribute.pszObjId, kRfc3161TimestampOid) == 0 ||
                std::strcmp(attribute.pszObjId, kCounterSignatureOid) == 0) {
                digest.timestamped = true;
            } else if (std::strcmp(attribute.pszObjId, kNestedSignatureOid) == 0) {
                // Each value is the nested message's encoding, as CryptMsgUpdate reads it.
                for (DWORD j = 0; j < attribute.cValue; ++j) {
                    const CRYPT_ATTR_BLOB& nested = attribute.rgValue[j];
                    digest.nested.emplace_back(nested.pbData, nested.pbData + nested.cbData);
                }
            }
        }
    }
    return digest;
}

}  // namespace wrapper::tools::host
