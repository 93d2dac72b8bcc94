#include "tests/support/test_certificates.hpp"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <stdexcept>

#include "common/base/files.hpp"

namespace tarnel::testing {

namespace {

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("test certificates: ") + what + " failed");
}

std::shared_ptr<EVP_PKEY> newKey() {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    check(key != nullptr, "EC key generation");
    return {key, EVP_PKEY_free};
}

std::shared_ptr<X509> newCertificate(const std::string& commonName, EVP_PKEY* publicKey) {
    std::shared_ptr<X509> certificate(X509_new(), X509_free);
    check(certificate != nullptr, "X509_new");
    X509* cert = certificate.get();
    check(X509_set_version(cert, X509_VERSION_3) == 1, "X509_set_version");
    unsigned char serial[16];
    check(RAND_bytes(serial, sizeof serial) == 1, "RAND_bytes");
    serial[0] &= 0x7f;  // a positive serial number
    BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
    check(number != nullptr && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(cert)) != nullptr, "serial number");
    BN_free(number);
    check(X509_gmtime_adj(X509_getm_notBefore(cert), -3600) != nullptr, "notBefore");
    check(X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 3600) != nullptr, "notAfter");
    X509_NAME* name = X509_get_subject_name(cert);
    check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                     reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0) == 1,
          "subject name");
    check(X509_set_pubkey(cert, publicKey) == 1, "X509_set_pubkey");
    return certificate;
}

void addExtension(X509* certificate, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    check(extension != nullptr, "certificate extension");
    const int added = X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
    check(added == 1, "X509_add_ext");
}

std::string pem(X509* certificate) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    check(bio != nullptr && PEM_write_bio_X509(bio.get(), certificate) == 1, "PEM_write_bio_X509");
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

}  // namespace

TestCertificateAuthority::TestCertificateAuthority(const std::string& commonName) : key_(newKey()) {
    certificate_ = newCertificate(commonName, key_.get());
    X509* cert = certificate_.get();
    check(X509_set_issuer_name(cert, X509_get_subject_name(cert)) == 1, "issuer name");
    addExtension(cert, cert, NID_basic_constraints, "critical,CA:TRUE");
    addExtension(cert, cert, NID_key_usage, "critical,keyCertSign,cRLSign");
    addExtension(cert, cert, NID_subject_key_identifier, "hash");
    check(X509_sign(cert, key_.get(), EVP_sha256()) > 0, "X509_sign");
    certificatePEM_ = pem(cert);
    certificateFile_ = directory_ / "ca.pem";
    files::writeAtomically(certificateFile_, certificatePEM_);
}

TestServerCertificate TestCertificateAuthority::issue(const std::vector<std::string>& dnsNames,
                                                      const std::vector<std::string>& ipAddresses) const {
    auto key = newKey();
    const std::string commonName = dnsNames.empty() ? "Tarnel Test Server" : dnsNames.front();
    auto certificate = newCertificate(commonName, key.get());
    X509* cert = certificate.get();
    check(X509_set_issuer_name(cert, X509_get_subject_name(certificate_.get())) == 1, "issuer name");
    std::string names;
    for (const auto& name : dnsNames) names += (names.empty() ? "DNS:" : ",DNS:") + name;
    for (const auto& address : ipAddresses) names += (names.empty() ? "IP:" : ",IP:") + address;
    addExtension(cert, certificate_.get(), NID_basic_constraints, "critical,CA:FALSE");
    addExtension(cert, certificate_.get(), NID_key_usage, "critical,digitalSignature");
    addExtension(cert, certificate_.get(), NID_ext_key_usage, "serverAuth");
    addExtension(cert, certificate_.get(), NID_authority_key_identifier, "keyid:always");
    if (!names.empty()) addExtension(cert, certificate_.get(), NID_subject_alt_name, names);
    check(X509_sign(cert, key_.get(), EVP_sha256()) > 0, "X509_sign");
    return {std::move(certificate), std::move(key)};
}

}  // namespace tarnel::testing
