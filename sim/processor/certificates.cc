#include "processor/certificates.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>

namespace tarnsim {
namespace {

constexpr long kDay = 24 * 60 * 60;

std::string OpenSslError(const std::string& what) {
    char text[256] = {};
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    return what + ": " + text;
}

EVP_PKEY* NewKey() { return EVP_EC_gen("P-256"); }

bool AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    if (!ext) return false;
    const bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

// A certificate for `key` named `commonName`, its validity and serial set;
// issuer and extensions are the caller's.
X509* NewCertificate(EVP_PKEY* key, const std::string& commonName, int fromDays, int toDays) {
    X509* cert = X509_new();
    if (!cert) return nullptr;
    uint64_t serial = 0;
    RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial);
    BIGNUM* bn = BN_new();
    bool ok = bn && BN_set_word(bn, serial >> 1) && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert)) &&
              X509_set_version(cert, 2) && X509_gmtime_adj(X509_getm_notBefore(cert), fromDays * kDay) &&
              X509_gmtime_adj(X509_getm_notAfter(cert), toDays * kDay) && X509_set_pubkey(cert, key) &&
              X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                                         reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
    BN_free(bn);
    if (!ok) {
        X509_free(cert);
        return nullptr;
    }
    return cert;
}

template <typename Write>
bool WritePem(const std::string& path, Write write) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = write(f);
    return fclose(f) == 0 && ok;
}

}  // namespace

struct CertificateAuthority::Impl {
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    ~Impl() {
        X509_free(cert);
        EVP_PKEY_free(key);
    }
};

CertificateAuthority::CertificateAuthority(const std::string& commonName, const std::string& certFile)
    : impl(std::make_unique<Impl>()), caFile(certFile) {
    impl->key = NewKey();
    if (impl->key) impl->cert = NewCertificate(impl->key, commonName, -1, 365);
    X509* c = impl->cert;
    const bool ok = c && X509_set_issuer_name(c, X509_get_subject_name(c)) &&
                    AddExtension(c, c, NID_basic_constraints, "critical,CA:TRUE") &&
                    AddExtension(c, c, NID_key_usage, "critical,keyCertSign,cRLSign") &&
                    AddExtension(c, c, NID_subject_key_identifier, "hash") &&
                    X509_sign(c, impl->key, EVP_sha256()) > 0;
    if (!ok) {
        problem = OpenSslError("cannot make the CA certificate");
        return;
    }
    if (!WritePem(certFile, [c](FILE* f) { return PEM_write_X509(f, c) == 1; }))
        problem = "cannot write " + certFile;
}

CertificateAuthority::~CertificateAuthority() = default;

std::string CertificateAuthority::Der() const {
    unsigned char* der = nullptr;
    const int n = impl->cert ? i2d_X509(impl->cert, &der) : -1;
    std::string out = n > 0 ? std::string(reinterpret_cast<const char*>(der), static_cast<size_t>(n)) : "";
    OPENSSL_free(der);
    return out;
}

std::string CertificateAuthority::Thumbprint() const {
    unsigned char sha1[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (!impl->cert || X509_digest(impl->cert, EVP_sha1(), sha1, &n) != 1) return {};
    std::string out;
    char hex[3];
    for (unsigned i = 0; i < n; ++i) {
        snprintf(hex, sizeof hex, "%02X", sha1[i]);
        out += hex;
    }
    return out;
}

bool CertificateAuthority::Issue(const std::vector<std::string>& hosts, const std::string& certFile,
                                 const std::string& keyFile, int fromDays, int toDays) {
    if (!Valid()) return false;
    std::string names;
    for (const auto& h : hosts) {
        in_addr a{};
        names += (names.empty() ? "" : ",") + std::string(inet_pton(AF_INET, h.c_str(), &a) == 1 ? "IP:" : "DNS:") + h;
    }
    EVP_PKEY* key = NewKey();
    X509* cert = key && !hosts.empty() ? NewCertificate(key, hosts.front(), fromDays, toDays) : nullptr;
    bool ok = cert && X509_set_issuer_name(cert, X509_get_subject_name(impl->cert)) &&
              AddExtension(cert, impl->cert, NID_basic_constraints, "critical,CA:FALSE") &&
              AddExtension(cert, impl->cert, NID_key_usage, "critical,digitalSignature,keyEncipherment") &&
              AddExtension(cert, impl->cert, NID_ext_key_usage, "serverAuth") &&
              AddExtension(cert, impl->cert, NID_subject_alt_name, names) &&
              AddExtension(cert, impl->cert, NID_authority_key_identifier, "keyid:always") &&
              X509_sign(cert, impl->key, EVP_sha256()) > 0;
    if (!ok) {
        problem = OpenSslError("cannot make the server certificate");
    } else if (!WritePem(certFile, [cert](FILE* f) { return PEM_write_X509(f, cert) == 1; }) ||
               !WritePem(keyFile, [key](FILE* f) {
                   return PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
               })) {
        problem = "cannot write " + certFile + " or " + keyFile;
        ok = false;
    }
    X509_free(cert);
    EVP_PKEY_free(key);
    return ok;
}

std::string MakeLoopbackCertificates(const std::string& dir) {
    CertificateAuthority ca("TARN demo CA", dir + "/ca.pem");
    if (ca.Valid()) ca.Issue({"127.0.0.1", "localhost"}, dir + "/server.pem", dir + "/server.key");
    return ca.Problem();
}

}  // namespace tarnsim
