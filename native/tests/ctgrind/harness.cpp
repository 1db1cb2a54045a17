// Constant-time checks by the ctgrind method: run under valgrind memcheck,
// the secret inputs are marked undefined, so any branch or memory index that
// depends on them is reported as a use of an uninitialised value. Outputs
// the caller learns anyway (a comparison's result, a decrypted plaintext, a
// shared secret handed back) are marked defined again before they are
// examined. The core is compiled with QUORVEX_CTGRIND, which turns
// ct::declassify into the same client request at the points where the code
// itself branches on such a public result.
//
// Usage: ctgrind_harness           every check; exit 0 when all results match
//        ctgrind_harness --canary  a deliberately leaky comparison, which
//                                  memcheck must report (proves the method)
#include <valgrind/memcheck.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "box/secret_box.hpp"
#include "crypto/ct.hpp"
#include "keyed/aes_gcm.hpp"
#include "keyed/box_ops.hpp"
#include "mlkem/mlkem.hpp"
#include "stream/stream.hpp"
#include "x25519/x25519.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
int g_failures = 0;

void secret(const void* p, std::size_t n) { VALGRIND_MAKE_MEM_UNDEFINED(p, n); }
template <class T>
T reveal(T v) {
    VALGRIND_MAKE_MEM_DEFINED(&v, sizeof v);
    return v;
}
void reveal_bytes(const void* p, std::size_t n) { VALGRIND_MAKE_MEM_DEFINED(p, n); }

void expect(bool ok, const char* what, const char* variant) {
    std::printf("%-40s %-30s %s\n", what, variant, ok ? "ok" : "WRONG RESULT");
    if (!ok) ++g_failures;
}

template <std::size_t N = 32>
std::array<std::uint8_t, N> pattern(std::uint8_t seed) {
    std::array<std::uint8_t, N> b{};
    for (std::size_t i = 0; i < N; ++i) b[i] = static_cast<std::uint8_t>(seed + 31 * i);
    return b;
}

// A box whose secret bytes memcheck treats as undefined.
std::unique_ptr<qv::SecretBox> secret_box(std::span<const std::uint8_t> bytes) {
    auto box = std::make_unique<qv::SecretBox>(qv::LockedRegion::from_slice(bytes).value());
    auto view = box->region().bytes_mut().value();
    secret(view.data(), view.size());
    return box;
}

void box_equality() {
    const auto a = pattern<64>(1);
    for (const auto& [at, variant] : {std::pair{0, "first byte differs"}, {63, "last byte differs"}}) {
        auto b = a;
        b[at] ^= 0x10;
        auto x = secret_box(a), y = secret_box(b), z = secret_box(a);
        auto differ = x->equals(*y), same = x->equals(*z);
        const bool right = differ.ok() && same.ok() && !reveal(differ.value()) && reveal(same.value());
        expect(right, "SecretBox::equals", variant);
    }
    auto p = a, q = a;
    secret(p.data(), p.size());
    secret(q.data(), q.size());
    expect(reveal(qv::ct::equal(p, q)), "ct::equal", "undefined bytes");
}

// AES-256-GCM through the box and a secret stream pull, authentic and with a
// tag byte flipped: opened exactly when authentic.
void authenticated_opens() {
    const auto key = pattern(7), ad = pattern(9);
    const auto msg = pattern<100>(5);
    const auto nonce = pattern<12>(3);
    const auto header = pattern<qv::stream::HEADER_BYTES>(13);
    const Bytes sealed = qv::aes256gcm_seal(key, nonce, msg, ad).value();
    for (const bool authentic : {true, false}) {
        const char* variant = authentic ? "authentic" : "a tag byte flipped";
        auto k = secret_box(key);
        Bytes c = sealed;
        if (!authentic) c[msg.size()] ^= 1;
        auto opened = qv::open_sealed(*k, nonce, c, ad);
        bool ok = reveal(opened.ok());
        if (ok) reveal_bytes(opened->data(), opened->size());
        expect(ok == authentic && (!ok || std::memcmp(opened->data(), msg.data(), msg.size()) == 0),
               "AES-256-GCM open through the box", variant);

        qv::LockedRegion push = qv::stream::stream_init(*k, header).value();
        qv::LockedRegion pull = qv::stream::stream_init(*k, header).value();
        auto chunk = qv::stream::stream_push(push.bytes_mut().value(), msg, ad, qv::stream::TAG_MESSAGE);
        reveal_bytes(chunk.data.get(), chunk.size);  // a pushed chunk is public
        if (!authentic) chunk.data[chunk.size - 1] ^= 1;
        auto pulled = qv::stream::stream_pull(pull.bytes_mut().value(), chunk.span(), ad);
        ok = reveal(pulled.ok());
        if (ok) reveal_bytes(pulled->plaintext.data.get(), pulled->plaintext.size);
        expect(ok == authentic && (!ok || (reveal(pulled->tag) == qv::stream::TAG_MESSAGE &&
                                           std::memcmp(pulled->plaintext.data.get(), msg.data(), msg.size()) == 0)),
               "secret stream pull", variant);
    }
}

void x25519_exchange() {
    using namespace qv::x25519;
    auto a = pattern(21), b = pattern(77);
    std::array<std::uint8_t, 32> a_pub{}, b_pub{}, e_pub{}, zero{}, s1{}, s2{}, s3{}, s4{};
    public_key(b, b_pub);  // the peer's key, computed in the open
    secret(a.data(), a.size());
    public_key(a, a_pub);
    reveal_bytes(a_pub.data(), a_pub.size());  // a public key is public
    const bool ok1 = reveal(shared_secret(a, b_pub, s1));
    const bool ok2 = shared_secret(b, a_pub, s2);
    const bool ok3 = reveal(ephemeral_exchange(a, b_pub, e_pub, s3));
    // A small-order peer (u = 0) makes the result all zero: refused.
    const bool ok4 = reveal(shared_secret(a, zero, s4));
    for (auto* out : {&s1, &e_pub, &s3, &s4}) reveal_bytes(out->data(), out->size());
    expect(ok1 && ok2 && s1 == s2, "X25519 (secret scalar)", "public key and shared secret");
    expect(ok3 && e_pub == a_pub && s3 == s1, "X25519 (secret scalar)", "ephemeral exchange");
    expect(!ok4 && s4 == zero, "X25519 (secret scalar)", "small-order peer key");
}

void mlkem_decaps() {
    using namespace qv::mlkem;
    std::array<std::uint8_t, SECRET_KEY_BYTES> dk{};
    // Key generation in the open: the checks below mark dk's secret parts.
    const EncapsulationKey ek = keygen_internal(pattern(40), pattern(41), dk);
    std::array<std::uint8_t, CIPHERTEXT_BYTES> c{};
    std::array<std::uint8_t, SHARED_SECRET_BYTES> k_enc{};
    auto m = pattern(42);
    secret(m.data(), m.size());
    ek.encaps(m, c, k_enc);
    reveal_bytes(c.data(), c.size());  // the ciphertext is sent in the open
    reveal_bytes(k_enc.data(), k_enc.size());

    for (const bool authentic : {true, false}) {
        auto cx = c;
        if (!authentic) cx[CIPHERTEXT_BYTES - 1] ^= 1;
        auto sk = dk;
        // dk_PKE and z are secret; ek and H(ek) inside dk are public.
        secret(sk.data(), DK_EK_OFFSET);
        secret(sk.data() + DK_Z_OFFSET, 32);
        std::array<std::uint8_t, SHARED_SECRET_BYTES> k{};
        decaps_internal(sk, ek, cx, k);
        reveal_bytes(k.data(), k.size());
        // Implicit rejection: a damaged ciphertext gives J(z ‖ c), never K.
        expect(authentic ? k == k_enc : k != k_enc, "ML-KEM-768 encaps and decaps",
               authentic ? "authentic (secret m)" : "last byte flipped");
    }
}

// An early-exit comparison: memcheck must report its branch on secret data.
bool leaky_equal(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return false;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (!RUNNING_ON_VALGRIND) {
        std::fprintf(stderr, "ctgrind_harness: run me under valgrind --tool=memcheck\n");
        return 2;
    }
    if (argc > 1 && std::string_view(argv[1]) == "--canary") {
        auto a = pattern<16>(1), b = pattern<16>(1);
        secret(a.data(), a.size());
        volatile bool same = leaky_equal(a.data(), b.data(), a.size());
        return reveal(static_cast<bool>(same)) ? 0 : 1;
    }
    box_equality();
    authenticated_opens();
    x25519_exchange();
    mlkem_decaps();
    return g_failures == 0 ? 0 : 1;
}
