#include "tools/host/ToolCrypto.h"

namespace wrapper::tools::host {

const char* DigestName(DigestAlgorithm algorithm) {
    switch (algorithm) {
        case DigestAlgorithm::Sha1: return "SHA-1";
        case DigestAlgorithm::Sha256: return "SHA-256";
        case DigestAlgorithm::Sha384: return "SHA-384";
        case DigestAlgorithm::Sha512: return "SHA-512";
    }
    return "";
}

}  // namespace wrapper::tools::host
