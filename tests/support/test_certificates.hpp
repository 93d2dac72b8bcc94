#pragma once

// Certificates made at test time: a certificate authority of the test's own
// and the server certificates it issues, P-256 keys, valid from an hour ago
// for a day. Nothing is checked in and nothing outlives the test.
//
//   TestCertificateAuthority authority;
//   auto leaf = authority.issue({"*.tarnel.test"}, {"127.0.0.1", "::1"});
//   client trusts authority.certificateFile(); a server presents leaf.

#include <openssl/types.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/test_support.hpp"

namespace tarnel::testing {

// A server's certificate and private key.
struct TestServerCertificate {
    std::shared_ptr<X509> certificate;
    std::shared_ptr<EVP_PKEY> key;
};

class TestCertificateAuthority {
public:
    // A fresh authority named `commonName`. Throws std::runtime_error when
    // OpenSSL fails.
    explicit TestCertificateAuthority(const std::string& commonName = "Tarnel Test CA");

    // A server certificate for the DNS names (wildcards allowed) and IP
    // literals, signed by this authority.
    [[nodiscard]] TestServerCertificate issue(const std::vector<std::string>& dnsNames,
                                              const std::vector<std::string>& ipAddresses) const;

    // The authority's certificate in PEM, and a file holding it (for a
    // client's CA file), removed with the authority.
    [[nodiscard]] const std::string& certificatePEM() const noexcept { return certificatePEM_; }
    [[nodiscard]] const std::filesystem::path& certificateFile() const noexcept { return certificateFile_; }

private:
    std::shared_ptr<EVP_PKEY> key_;
    std::shared_ptr<X509> certificate_;
    std::string certificatePEM_;
    TemporaryDirectory directory_;
    std::filesystem::path certificateFile_;
};

}  // namespace tarnel::testing
