#include "crypto/libcrypto.hpp"

#include <openssl/crypto.h>

namespace qv::evp {

LibcryptoInfo libcrypto_info() {
#ifdef QUORVEX_BUNDLED_LIBCRYPTO
    return {OpenSSL_version(OPENSSL_VERSION), true, QUORVEX_BUNDLED_LIBCRYPTO};
#else
    return {OpenSSL_version(OPENSSL_VERSION), false, nullptr};
#endif
}

}  // namespace qv::evp
