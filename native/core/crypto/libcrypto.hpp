// Which libcrypto the enclave runs on: the system's shared one (source
// builds) or the static OpenSSL built into the module (wheels).
#pragma once

namespace qv::evp {

struct LibcryptoInfo {
    const char* version;        // OpenSSL's own version text, asked at run time
    bool bundled;               // linked statically into the module
    const char* debian_source;  // the Debian source version it was built from; null for the system's
};

LibcryptoInfo libcrypto_info();

}  // namespace qv::evp
