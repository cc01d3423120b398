#include "tools/xqpkg/signing.h"

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/ts.h>

#include <cstring>
#include <fstream>

namespace xqpkg {
namespace {

std::string ssl_error(const std::string& what) {
    std::string s = what;
    unsigned long e;
    while ((e = ERR_get_error()) != 0) {
        char buf[256];
        ERR_error_string_n(e, buf, sizeof buf);
        s += "; ";
        s += buf;
    }
    return s;
}

std::string read_file(const std::string& path, bool* ok) {
    std::ifstream in(path, std::ios::binary);
    *ok = bool(in);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The time-stamp authority's clock, set by the caller so that tokens of any
// date can be made.
int ts_time_cb(TS_RESP_CTX*, void* data, long* sec, long* usec) {
    *sec = long(*static_cast<const time_t*>(data));
    *usec = 0;
    return 1;
}

ASN1_INTEGER* ts_serial_cb(TS_RESP_CTX*, void*) {
    ASN1_INTEGER* serial = ASN1_INTEGER_new();
    uint64_t r = 0;
    if (serial) {
        uint8_t b[8];
        if (RAND_bytes(b, sizeof b) == 1) {
            memcpy(&r, b, sizeof r);
        }
        ASN1_INTEGER_set_uint64(serial, r >> 1);
    }
    return serial;
}

// Asks the authority for a token over the SHA-1 of the signer's signature
// value (the imprint that real installer packages carry).
bool time_stamp(CMS_SignerInfo* si, const TimeStampAuthority& tsa, std::string* err) {
    ASN1_OCTET_STRING* sigval = CMS_SignerInfo_get0_signature(si);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned mdlen = 0;
    EVP_Digest(ASN1_STRING_get0_data(sigval), size_t(ASN1_STRING_length(sigval)), md, &mdlen,
               EVP_sha1(), nullptr);

    security::TsReqPtr req(TS_REQ_new());
    // The setters copy what they are given.
    security::TsMsgImprintPtr imprint(TS_MSG_IMPRINT_new());
    security::X509AlgorPtr alg(X509_ALGOR_new());
    bool built = req && imprint && alg &&
                 X509_ALGOR_set0(alg.get(), OBJ_nid2obj(NID_sha1), V_ASN1_NULL, nullptr) == 1 &&
                 TS_MSG_IMPRINT_set_algo(imprint.get(), alg.get()) == 1 &&
                 TS_MSG_IMPRINT_set_msg(imprint.get(), md, int(mdlen)) == 1 &&
                 TS_REQ_set_version(req.get(), 1) == 1 &&
                 TS_REQ_set_msg_imprint(req.get(), imprint.get()) == 1 &&
                 TS_REQ_set_cert_req(req.get(), 1) == 1;
    if (!built) {
        *err = ssl_error("cannot build the time-stamp request");
        return false;
    }
    security::BioPtr reqbio(BIO_new(BIO_s_mem()));
    if (!reqbio || i2d_TS_REQ_bio(reqbio.get(), req.get()) != 1) {
        *err = ssl_error("cannot encode the time-stamp request");
        return false;
    }

    security::TsRespCtxPtr ctx(TS_RESP_CTX_new());
    security::X509StackPtr certs(sk_X509_new_null());
    security::Asn1ObjectPtr policy(OBJ_txt2obj("1.3.6.1.4.1.57264.1.1", 1));
    for (const CertPtr& c : tsa.chain) {
        X509_up_ref(c.get());
        sk_X509_push(certs.get(), c.get());
    }
    time_t when = tsa.when;
    if (!ctx || !certs || !policy || TS_RESP_CTX_set_signer_cert(ctx.get(), tsa.cert.get()) != 1 ||
        TS_RESP_CTX_set_signer_key(ctx.get(), tsa.key.get()) != 1 ||
        TS_RESP_CTX_set_certs(ctx.get(), certs.get()) != 1 ||
        TS_RESP_CTX_set_def_policy(ctx.get(), policy.get()) != 1 ||
        TS_RESP_CTX_add_md(ctx.get(), EVP_sha1()) != 1 ||
        TS_RESP_CTX_add_md(ctx.get(), EVP_sha256()) != 1 ||
        TS_RESP_CTX_set_signer_digest(ctx.get(), EVP_sha256()) != 1 ||
        TS_RESP_CTX_set_ess_cert_id_digest(ctx.get(), EVP_sha256()) != 1) {
        *err = ssl_error("cannot set up the time-stamp authority");
        return false;
    }
    TS_RESP_CTX_set_time_cb(ctx.get(), ts_time_cb, &when);
    TS_RESP_CTX_set_serial_cb(ctx.get(), ts_serial_cb, nullptr);
    TS_RESP_CTX_add_flags(ctx.get(), TS_ESS_CERT_ID_CHAIN);

    security::TsRespPtr resp(TS_RESP_create_response(ctx.get(), reqbio.get()));
    if (!resp || ASN1_INTEGER_get(TS_STATUS_INFO_get0_status(
                     TS_RESP_get_status_info(resp.get()))) != TS_STATUS_GRANTED) {
        *err = ssl_error("the time-stamp authority refused the request");
        return false;
    }
    PKCS7* token = TS_RESP_get_token(resp.get());
    unsigned char* der = nullptr;
    int len = i2d_PKCS7(token, &der);
    if (len <= 0) {
        *err = ssl_error("cannot encode the time-stamp token");
        return false;
    }
    const security::OpenSslPtr<unsigned char> owned(der);
    int ok =
        CMS_unsigned_add1_attr_by_txt(si, "1.2.840.113549.1.9.16.2.14", V_ASN1_SEQUENCE, der, len);
    if (ok != 1) {
        *err = ssl_error("cannot attach the time-stamp token");
        return false;
    }
    return true;
}

}  // namespace

CertPtr load_cert(const std::string& path, std::string* err) {
    bool ok = false;
    std::string data = read_file(path, &ok);
    if (!ok) {
        *err = "cannot read " + path;
        return nullptr;
    }
    security::BioPtr bio(BIO_new_mem_buf(data.data(), int(data.size())));
    X509* x = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
    if (!x) {
        ERR_clear_error();
        const auto* p = reinterpret_cast<const unsigned char*>(data.data());
        x = d2i_X509(nullptr, &p, long(data.size()));
    }
    if (!x) {
        *err = ssl_error("not a certificate: " + path);
    }
    return CertPtr(x);
}

std::vector<CertPtr> load_certs(const std::string& path, std::string* err) {
    std::vector<CertPtr> out;
    bool ok = false;
    std::string data = read_file(path, &ok);
    if (!ok) {
        *err = "cannot read " + path;
        return out;
    }
    security::BioPtr bio(BIO_new_mem_buf(data.data(), int(data.size())));
    while (X509* x = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
        out.emplace_back(x);
    }
    ERR_clear_error();  // the end of the file reads as an error
    return out;
}

KeyPtr load_key(const std::string& path, std::string* err) {
    bool ok = false;
    std::string data = read_file(path, &ok);
    if (!ok) {
        *err = "cannot read " + path;
        return nullptr;
    }
    security::BioPtr bio(BIO_new_mem_buf(data.data(), int(data.size())));
    EVP_PKEY* k = PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr);
    if (!k) {
        *err = ssl_error("not a private key: " + path);
    }
    return KeyPtr(k);
}

Bytes cert_der(X509* cert) {
    unsigned char* der = nullptr;
    int len = i2d_X509(cert, &der);
    if (len <= 0) {
        return {};
    }
    const security::OpenSslPtr<unsigned char> owned(der);
    return Bytes(der, der + len);
}

bool make_cms(const Bytes& content, const CmsOptions& opt, Bytes* out, std::string* err) {
    if (opt.signers.empty()) {
        *err = "no signer";
        return false;
    }
    const unsigned flags = CMS_DETACHED | CMS_BINARY | CMS_PARTIAL | CMS_NOSMIMECAP |
                           (opt.signed_attributes ? 0U : unsigned{CMS_NOATTR});
    security::CmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
    if (!cms) {
        *err = ssl_error("cannot start the CMS signature");
        return false;
    }
    security::Asn1TimePtr st(ASN1_TIME_set(nullptr, opt.signing_time));
    std::vector<CMS_SignerInfo*> infos;
    for (const Signer* s : opt.signers) {
        CMS_SignerInfo* si =
            CMS_add1_signer(cms.get(), s->cert.get(), s->key.get(), EVP_sha256(), flags);
        if (!si) {
            *err = ssl_error("cannot add the signer");
            return false;
        }
        // signing-time; its type must match what ASN1_TIME_set chose (UTCTime
        // before 2050).
        if (opt.signed_attributes &&
            (!st || CMS_signed_add1_attr_by_NID(si, NID_pkcs9_signingTime,
                                                ASN1_STRING_type(st.get()), st.get(), -1) != 1)) {
            *err = ssl_error("cannot add the signing time");
            return false;
        }
        for (const CertPtr& c : s->chain) {
            if (CMS_add1_cert(cms.get(), c.get()) != 1) {
                // The same issuer for two signers is already in the set.
                ERR_clear_error();
            }
        }
        infos.push_back(si);
    }
    security::BioPtr in(BIO_new_mem_buf(content.data(), int(content.size())));
    if (!in || CMS_final(cms.get(), in.get(), nullptr, flags & ~CMS_PARTIAL) != 1) {
        *err = ssl_error("cannot sign");
        return false;
    }
    if (opt.tsa) {
        for (CMS_SignerInfo* si : infos) {
            if (!time_stamp(si, *opt.tsa, err)) {
                return false;
            }
        }
    }
    unsigned char* der = nullptr;
    int len = i2d_CMS_ContentInfo(cms.get(), &der);
    if (len <= 0) {
        *err = ssl_error("cannot encode the CMS signature");
        return false;
    }
    const security::OpenSslPtr<unsigned char> owned(der);
    out->assign(der, der + len);
    return true;
}

bool make_rsa(const Bytes& digest, EVP_PKEY* key, Bytes* out, std::string* err) {
    security::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
    const EVP_MD* md = digest.size() == 20 ? EVP_sha1() : EVP_sha256();
    size_t len = 0;
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(ctx.get(), md) != 1 ||
        EVP_PKEY_sign(ctx.get(), nullptr, &len, digest.data(), digest.size()) != 1) {
        *err = ssl_error("cannot make the RSA signature");
        return false;
    }
    out->resize(len);
    if (EVP_PKEY_sign(ctx.get(), out->data(), &len, digest.data(), digest.size()) != 1) {
        *err = ssl_error("cannot make the RSA signature");
        return false;
    }
    out->resize(len);
    return true;
}

std::optional<time_t> parse_time(const std::string& s) {
    if (!s.empty() && s.find_first_not_of("0123456789") == std::string::npos) {
        try {
            return time_t(std::stoll(s));
        } catch (...) {
            return std::nullopt;
        }
    }
    struct tm tmv {};
    const char* end = strptime(s.c_str(), "%Y-%m-%dT%H:%M:%SZ", &tmv);
    if (!end || *end) {
        return std::nullopt;
    }
    return timegm(&tmv);
}

}  // namespace xqpkg
