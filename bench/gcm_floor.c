/* AES-256-GCM straight through the system libcrypto's EVP interface, keyed
 * on every call as the enclave is: the floor that the libcrypto the enclave
 * links allows, without Python, argument copies or locked key storage. */
#include <stddef.h>
#include <openssl/evp.h>

int gcm_seal(const unsigned char *key, const unsigned char *nonce, const unsigned char *in, size_t len,
             const unsigned char *aad, size_t aad_len, unsigned char *out) {
    static EVP_CIPHER *cipher;
    if (cipher == NULL) cipher = EVP_CIPHER_fetch(NULL, "AES-256-GCM", NULL);
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    int n = 0, ok = ctx != NULL && EVP_EncryptInit_ex2(ctx, cipher, key, nonce, NULL) == 1 &&
                    EVP_EncryptUpdate(ctx, NULL, &n, aad, (int)aad_len) == 1 &&
                    EVP_EncryptUpdate(ctx, out, &n, in, (int)len) == 1 &&
                    EVP_EncryptFinal_ex(ctx, out + len, &n) == 1 &&
                    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, 16, out + len) == 1;
    EVP_CIPHER_CTX_free(ctx);
    return ok ? 0 : -1;
}

/* The version text of the libcrypto this library was linked against. */
const char *libcrypto_version(void) { return OpenSSL_version(OPENSSL_VERSION); }
