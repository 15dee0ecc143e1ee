#pragma once

#include <string>

namespace skrib::testing {

/// Certificates made with the openssl command for this test run, in a temporary folder that is
/// removed when the process ends. Every server certificate uses the key `key`.
struct TestCertificates {
    std::string folder;
    std::string authority;        // the test authority; clients are told to trust it
    std::string key;              // the servers' private key
    std::string trusted;          // 127.0.0.1 and localhost, issued by the authority
    std::string selfSigned;       // 127.0.0.1, issued by itself
    std::string unknownAuthority; // 127.0.0.1, issued by an authority nobody trusts
    std::string wrongHost;        // only "elsewhere.invalid", issued by the authority
    std::string expired;          // 127.0.0.1, issued by the authority, valid in January 2020
    std::string notYetValid;      // 127.0.0.1, issued by the authority, valid from 2099
};

/// The run's certificates, made on first use. Throws std::runtime_error (with openssl's output)
/// when they cannot be made.
const TestCertificates& testCertificates();

/// A fresh temporary folder inside $SKRIB_TEST_TMP (else /tmp).
std::string makeTemporaryFolder(const std::string& prefix);

} // namespace skrib::testing
