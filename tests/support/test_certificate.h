// A self-signed EC certificate and its key, generated with OpenSSL into a temporary folder for
// the tests that need TLS, and removed again when the test program ends.
#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace kztest {

class TestCertificate {
public:
    TestCertificate() {
        char dir[] = "/tmp/kz_test_cert_XXXXXX";
        if (!mkdtemp(dir)) return;
        m_dir = dir;
        m_cert = m_dir + "/cert.pem";
        m_key = m_dir + "/key.pem";
        EVP_PKEY* key = EVP_EC_gen("P-256");
        X509* x = X509_new();
        X509_set_version(x, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
        X509_gmtime_adj(X509_getm_notBefore(x), -60);
        X509_gmtime_adj(X509_getm_notAfter(x), 3600);
        X509_set_pubkey(x, key);
        X509_NAME* name = X509_get_subject_name(x);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("kz test"), -1, -1, 0);
        X509_set_issuer_name(x, name);
        m_ok = key && X509_sign(x, key, EVP_sha256()) > 0;
        if (FILE* f = fopen(m_cert.c_str(), "w")) {
            m_ok = m_ok && PEM_write_X509(f, x) == 1;
            fclose(f);
        }
        if (FILE* f = fopen(m_key.c_str(), "w")) {
            m_ok = m_ok && PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
            fclose(f);
        }
        X509_free(x);
        EVP_PKEY_free(key);
    }
    ~TestCertificate() {
        unlink(m_cert.c_str());
        unlink(m_key.c_str());
        rmdir(m_dir.c_str());
    }
    TestCertificate(const TestCertificate&) = delete;
    TestCertificate& operator=(const TestCertificate&) = delete;

    bool ok() const { return m_ok; }
    const char* cert() const { return m_cert.c_str(); }
    const char* key() const { return m_key.c_str(); }

    // One certificate for the whole test program.
    static const TestCertificate& Shared() {
        static TestCertificate cert;
        return cert;
    }

private:
    bool m_ok = false;
    std::string m_dir, m_cert, m_key;
};

} // namespace kztest
