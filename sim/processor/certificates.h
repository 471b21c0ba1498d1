// Certificates for serving HTTPS on one machine: a certificate authority made
// on the spot and server certificates it signs, written as PEM files. For the
// demo and the tests; nothing of it is kept between runs.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace tarnsim {

class CertificateAuthority {
public:
    // A new CA key and self-signed certificate; its certificate is written to
    // `certFile`. Valid() is false (and Problem says why) when that failed.
    CertificateAuthority(const std::string& commonName, const std::string& certFile);
    ~CertificateAuthority();
    CertificateAuthority(const CertificateAuthority&) = delete;
    CertificateAuthority& operator=(const CertificateAuthority&) = delete;

    bool Valid() const { return problem.empty(); }
    const std::string& Problem() const { return problem; }
    const std::string& CertFile() const { return caFile; }
    // The CA certificate's DER encoding, and its SHA-1 thumbprint in upper-
    // case hexadecimal (the name Windows' certificate stores know it by).
    std::string Der() const;
    std::string Thumbprint() const;

    // A server certificate for `hosts` (DNS names, or IPv4 addresses), valid
    // from `fromDays` to `toDays` days from now (negative: in the past),
    // signed by this CA; certificate and new key go to the two files. False
    // with Problem set when it could not be made.
    bool Issue(const std::vector<std::string>& hosts, const std::string& certFile, const std::string& keyFile,
               int fromDays = -1, int toDays = 30);

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
    std::string caFile;
    std::string problem;
};

// A CA and a server certificate for 127.0.0.1 and localhost, made in `dir`
// (ca.pem, server.pem, server.key); empty on success, otherwise why not.
std::string MakeLoopbackCertificates(const std::string& dir);

}  // namespace tarnsim
