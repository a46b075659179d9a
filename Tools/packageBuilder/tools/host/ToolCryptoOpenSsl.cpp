#include "tools/host/ToolCrypto.h"

#include "tools/host/SystemHandle.h"

#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <climits>

namespace wrapper::tools::host {

namespace {

const EVP_MD* Method(DigestAlgorithm algorithm) {
    switch (algorithm) {
        case DigestAlgorithm::Sha1: return EVP_sha1();
        case DigestAlgorithm::Sha256: return EVP_sha256();
        case DigestAlgorithm::Sha384: return EVP_sha384();
        case DigestAlgorithm::Sha512: return EVP_sha512();
    }
    return nullptr;
}

template <typename T, void (*Free)(T*)>
struct Freer {
    void operator()(T* object) const { Free(object); }
};
using Pkcs7 = std::unique_ptr<PKCS7, Freer<PKCS7, PKCS7_free>>;
using Signature = std::unique_ptr<X509_SIG, Freer<X509_SIG, X509_SIG_free>>;

void FreeSequence(ASN1_SEQUENCE_ANY* sequence) { sk_ASN1_TYPE_pop_free(sequence, ASN1_TYPE_free); }
using Sequence = std::unique_ptr<ASN1_SEQUENCE_ANY, Freer<ASN1_SEQUENCE_ANY, FreeSequence>>;

std::string OidText(const ASN1_OBJECT* object) {
    char text[128] = {};
    OBJ_obj2txt(text, sizeof text, object, 1);
    return text;
}

}  // namespace

struct Digest::State {
    UniqueSystemObject<EVP_MD_CTX*, &EVP_MD_CTX_free> context;
    bool usable = false;
};

Digest::Digest(DigestAlgorithm algorithm) : state_(std::make_unique<State>()) {
    state_->context = {theSystem, EVP_MD_CTX_new()};
    state_->usable = state_->context &&
                     EVP_DigestInit_ex(state_->context.Get(), Method(algorithm), nullptr) == 1;
}

Digest::~Digest() = default;

bool Digest::Usable() const { return state_->usable; }

void Digest::Update(const void* data, std::size_t size) {
    if (state_->usable && EVP_DigestUpdate(state_->context.Get(), data, size) != 1) {
        state_->usable = false;
    }
}

std::vector<std::uint8_t> Digest::Finish() {
    std::vector<std::uint8_t> value(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (!state_->usable || EVP_DigestFinal_ex(state_->context.Get(), value.data(), &length) != 1) {
        return {};
    }
    state_->usable = false;
    value.resize(length);
    return value;
}

Expected<SignedDigest> ReadSignedDigest(const std::uint8_t* message, std::size_t size) {
    SignedDigest digest;
    if (size > LONG_MAX) {
        return Unexpected{"not a PKCS#7 SignedData message"};
    }
    const unsigned char* cursor = message;
    const Pkcs7 pkcs7(d2i_PKCS7(nullptr, &cursor, static_cast<long>(size)));
    if (!pkcs7 || !PKCS7_type_is_signed(pkcs7.get()) || pkcs7->d.sign == nullptr ||
        pkcs7->d.sign->contents == nullptr) {
        return Unexpected{"not a PKCS#7 SignedData message"};
    }
    // The signed content: an SpcIndirectDataContent, a type libcrypto does not know, which it
    // therefore keeps as the encoded SEQUENCE.
    const PKCS7* content = pkcs7->d.sign->contents;
    const ASN1_TYPE* other = content->d.other;
    if (content->type == nullptr || OidText(content->type) != kSpcIndirectDataOid ||
        other == nullptr || other->type != V_ASN1_SEQUENCE || other->value.sequence == nullptr) {
        return Unexpected{"the signed content is not Authenticode's SpcIndirectDataContent"};
    }
    // SpcIndirectDataContent ::= SEQUENCE { data, messageDigest DigestInfo }
    cursor = other->value.sequence->data;
    const Sequence fields(d2i_ASN1_SEQUENCE_ANY(nullptr, &cursor, other->value.sequence->length));
    const ASN1_TYPE* digestInfo = fields && sk_ASN1_TYPE_num(fields.get()) == 2
                                      ? sk_ASN1_TYPE_value(fields.get(), 1)
                                      : nullptr;
    if (digestInfo == nullptr || digestInfo->type != V_ASN1_SEQUENCE) {
        return Unexpected{"no DigestInfo in the SpcIndirectDataContent"};
    }
    cursor = digestInfo->value.sequence->data;
    const Signature info(d2i_X509_SIG(nullptr, &cursor, digestInfo->value.sequence->length));
    if (!info) {
        return Unexpected{"no DigestInfo in the SpcIndirectDataContent"};
    }
    const X509_ALGOR* algorithm = nullptr;
    const ASN1_OCTET_STRING* value = nullptr;
    X509_SIG_get0(info.get(), &algorithm, &value);
    switch (OBJ_obj2nid(algorithm->algorithm)) {
        case NID_sha1: digest.algorithm = DigestAlgorithm::Sha1; break;
        case NID_sha256: digest.algorithm = DigestAlgorithm::Sha256; break;
        case NID_sha384: digest.algorithm = DigestAlgorithm::Sha384; break;
        case NID_sha512: digest.algorithm = DigestAlgorithm::Sha512; break;
        default:
            return Unexpected{"digest algorithm " + OidText(algorithm->algorithm) +
                              " is not SHA-1, SHA-256, SHA-384 or SHA-512"};
    }
    digest.value.assign(value->data, value->data + value->length);
    digest.timestamped = false;
    digest.nested.clear();
    STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(pkcs7.get());
    if (signers != nullptr && sk_PKCS7_SIGNER_INFO_num(signers) > 0) {
        const PKCS7_SIGNER_INFO* signer = sk_PKCS7_SIGNER_INFO_value(signers, 0);
        for (int i = 0; i < sk_X509_ATTRIBUTE_num(signer->unauth_attr); ++i) {
            X509_ATTRIBUTE* attribute = sk_X509_ATTRIBUTE_value(signer->unauth_attr, i);
            const std::string oid = OidText(X509_ATTRIBUTE_get0_object(attribute));
            if (oid == kRfc3161TimestampOid || oid == kCounterSignatureOid) {
                digest.timestamped = true;
            } else if (oid == kNestedSignatureOid) {
                // A SEQUENCE is kept as its whole encoding, which d2i_PKCS7 reads again.
                for (int j = 0; j < X509_ATTRIBUTE_count(attribute); ++j) {
                    const ASN1_TYPE* entry = X509_ATTRIBUTE_get0_type(attribute, j);
                    auto& nested = digest.nested.emplace_back();
                    if (entry != nullptr && entry->type == V_ASN1_SEQUENCE) {
                        const ASN1_STRING* der = entry->value.sequence;
                        nested.assign(der->data, der->data + der->length);
                    }
                }
            }
        }
    }
    return digest;
}

}  // namespace wrapper::tools::host
