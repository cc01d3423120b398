// Package signatures as installer packages carry them: an "RSA" signature of
// the table-of-contents digest, and a detached CMS signature over the same
// digest whose signer carries an RFC 3161 time-stamp token as an unsigned
// attribute (id-aa-timeStampToken, 1.2.840.113549.1.9.16.2.14).
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/security/owners.h"
#include "tools/xqpkg/xar_writer.h"

namespace xqpkg {

using CertPtr = security::X509Ptr;
using KeyPtr = security::EvpPkeyPtr;

// A certificate file in PEM or DER; a PEM file of several certificates
// (an issuer chain). Empty / null on error, with a message.
CertPtr load_cert(const std::string& path, std::string* err);
std::vector<CertPtr> load_certs(const std::string& path, std::string* err);
KeyPtr load_key(const std::string& path, std::string* err);
Bytes cert_der(X509* cert);

struct Signer {
    KeyPtr key;
    CertPtr cert;
    std::vector<CertPtr> chain;  // issuers, nearest first
};

struct TimeStampAuthority {
    KeyPtr key;
    CertPtr cert;
    std::vector<CertPtr> chain;
    time_t when = 0;  // genTime of the token
};

struct CmsOptions {
    std::vector<const Signer*> signers;       // normally one
    const TimeStampAuthority* tsa = nullptr;  // null: no time-stamp
    time_t signing_time = 0;
    bool signed_attributes = true;  // false: none at all, no signing time
};

// A detached CMS SignedData (DER) over content: SHA-256, binary content,
// signing-time attribute (unless signed_attributes is false: then the
// signature covers the content's digest itself), each signer's certificate
// and chain included.
bool make_cms(const Bytes& content, const CmsOptions& opt, Bytes* out, std::string* err);

// PKCS#1 v1.5 RSA signature whose digest input is the table-of-contents digest
// itself (as libxar's "RSA" entries are made).
bool make_rsa(const Bytes& digest, EVP_PKEY* key, Bytes* out, std::string* err);

// "YYYY-MM-DDTHH:MM:SSZ" or seconds since the epoch.
std::optional<time_t> parse_time(const std::string& s);

}  // namespace xqpkg
