#pragma once
// A throwaway self-signed certificate and key (PEM files) for tests and fuzz targets.
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <string>

namespace platform {

// Writes `cert_file` and `key_file` for a P-256 key with subject CN=`name`; false on failure.
inline bool WriteTestCertificate(const std::string& cert_file, const std::string& key_file,
                                 const std::string& name = "morvane.test") {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    bool ok = key && cert;
    if (ok) {
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
        X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
        X509_gmtime_adj(X509_getm_notAfter(cert), 3600L * 24 * 365);
        X509_set_pubkey(cert, key);
        X509_NAME* subject = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(name.c_str()),
                                   -1, -1, 0);
        X509_set_issuer_name(cert, subject);
        ok = X509_sign(cert, key, EVP_sha256()) > 0;
    }
    if (ok) {
        FILE* c = std::fopen(cert_file.c_str(), "w");
        FILE* k = std::fopen(key_file.c_str(), "w");
        ok = c && k && PEM_write_X509(c, cert) == 1 &&
             PEM_write_PrivateKey(k, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
        if (c) std::fclose(c);
        if (k) std::fclose(k);
    }
    X509_free(cert);
    EVP_PKEY_free(key);
    return ok;
}

}  // namespace platform
