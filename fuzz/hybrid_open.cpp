// hybrid_open on arbitrary encapsulations, nonces and ciphertexts for one
// fixed identity. Input: a layout byte (even: a 12-byte nonce, odd: a nonce
// of (byte >> 1) % 16 bytes), the encapsulation (up to 1120 bytes), the
// nonce, then the ciphertext. Errors come in the documented order, and an
// open succeeds only for the one genuine seal, giving its plaintext.
#include <memory>

#include "common.hpp"
#include "hybrid/keypair.hpp"
#include "hybrid/seal.hpp"
#include "hybrid/session.hpp"

namespace {

using fuzz::Bytes;
namespace hy = qv::hybrid;
const std::string kPlaintext =
    R"({"session_id":"fuzz","sign_key":"AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8",)"
    R"("enc_key":"ICEiIyQlJicoKSorLC0uLzAxMjM0NTY3ODk6Ozw9Pj8","expires_at":42})";
const Bytes kAad = {'f', 'u', 'z', 'z'};
std::unique_ptr<hy::HybridKeyPair> g_identity;
Bytes g_seal;  // encapsulation ‖ nonce ‖ ciphertext of the genuine seal

void setup() {
    fuzz::deterministic([] {
        g_identity = std::make_unique<hy::HybridKeyPair>(hy::generate_identity().value());
        auto seal = hy::seal_hybrid(g_identity->x25519_public().value(), g_identity->mlkem768_public().value(),
                                    fuzz::bytes(kPlaintext), kAad)
                        .value();
        g_seal.assign(seal.encapsulation.begin(), seal.encapsulation.end());
        g_seal.insert(g_seal.end(), seal.nonce.begin(), seal.nonce.end());
        g_seal.insert(g_seal.end(), seal.ciphertext.begin(), seal.ciphertext.end());
        return 0;
    });
}

void write_seeds() {
    Bytes genuine{0};
    genuine.insert(genuine.end(), g_seal.begin(), g_seal.end());
    fuzz::write_seed("genuine", genuine);
    Bytes zero_e = genuine;
    std::fill(zero_e.begin() + 1, zero_e.begin() + 33, 0);
    fuzz::write_seed("zero_ephemeral", zero_e);
    Bytes short_nonce = genuine;
    short_nonce[0] = 2 * 11 + 1;
    fuzz::write_seed("short_nonce", short_nonce);
    fuzz::write_seed("short_encapsulation", Bytes(genuine.begin(), genuine.begin() + 500));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setup();
    fuzz::seed_mode(write_seeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::uint8_t layout = in.byte();
    const std::size_t nonce_len = (layout & 1) ? (layout >> 1) % 16 : 12;
    const auto enc = in.take(hy::ENCAPSULATION_BYTES);
    const auto nonce = in.take(nonce_len);
    const auto ct = in.rest();

    auto opened = g_identity->open(enc, nonce, ct, kAad);
    if (opened.ok()) {
        Bytes whole(enc.begin(), enc.end());
        whole.insert(whole.end(), nonce.begin(), nonce.end());
        whole.insert(whole.end(), ct.begin(), ct.end());
        FUZZ_CHECK(whole == g_seal);
        FUZZ_CHECK(fuzz::text(opened->span()) == kPlaintext);
        auto session = hy::parse_sealed_session(opened->span());
        FUZZ_CHECK(session.ok() && session->session_id == "fuzz" && session->expires_at == 42);
        return 0;
    }
    const qv::Error e = opened.error();
    if (enc.size() != hy::ENCAPSULATION_BYTES) {
        FUZZ_CHECK(e == qv::Error::bad_length("encapsulation", hy::ENCAPSULATION_BYTES, enc.size()));
    } else if (e.kind == qv::ErrorKind::BadLength) {
        FUZZ_CHECK(nonce.size() != 12 && e == qv::Error::bad_length("aes-gcm nonce", 12, nonce.size()));
    } else {
        FUZZ_CHECK(e.kind == qv::ErrorKind::OpenFailed);
    }
    return 0;
}
