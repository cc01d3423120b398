// Owners of OpenSSL handles: every handle that code of this tree owns is held
// by one of these base::Handle aliases, which free it with the type's own
// free function. Header only, so that libraries which use OpenSSL without the
// rest of platform/security can own their handles the same way.
#pragma once

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/crypto.h>
#include <openssl/ess.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include "platform/base/handle.h"

namespace security {

using X509Ptr = base::Handle<X509, X509_free>;
using X509StorePtr = base::Handle<X509_STORE, X509_STORE_free>;
using X509StoreCtxPtr = base::Handle<X509_STORE_CTX, X509_STORE_CTX_free>;
using X509ExtensionPtr = base::Handle<X509_EXTENSION, X509_EXTENSION_free>;
// A BIO and every BIO pushed behind it.
using BioPtr = base::Handle<BIO, BIO_free_all>;
using CmsPtr = base::Handle<CMS_ContentInfo, CMS_ContentInfo_free>;
using Pkcs7Ptr = base::Handle<PKCS7, PKCS7_free>;
using EvpPkeyPtr = base::Handle<EVP_PKEY, EVP_PKEY_free>;
using EvpPkeyCtxPtr = base::Handle<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using EvpMdCtxPtr = base::Handle<EVP_MD_CTX, EVP_MD_CTX_free>;
using Asn1ObjectPtr = base::Handle<ASN1_OBJECT, ASN1_OBJECT_free>;
using Asn1OctetStringPtr = base::Handle<ASN1_OCTET_STRING, ASN1_OCTET_STRING_free>;
using Asn1TimePtr = base::Handle<ASN1_TIME, ASN1_TIME_free>;
using TsReqPtr = base::Handle<TS_REQ, TS_REQ_free>;
using TsRespPtr = base::Handle<TS_RESP, TS_RESP_free>;
using TsRespCtxPtr = base::Handle<TS_RESP_CTX, TS_RESP_CTX_free>;
using TsTstInfoPtr = base::Handle<TS_TST_INFO, TS_TST_INFO_free>;
using TsVerifyCtxPtr = base::Handle<TS_VERIFY_CTX, TS_VERIFY_CTX_free>;
using TsMsgImprintPtr = base::Handle<TS_MSG_IMPRINT, TS_MSG_IMPRINT_free>;
using EssSigningCertPtr = base::Handle<ESS_SIGNING_CERT, ESS_SIGNING_CERT_free>;
using EssSigningCertV2Ptr = base::Handle<ESS_SIGNING_CERT_V2, ESS_SIGNING_CERT_V2_free>;
using ExtendedKeyUsagePtr = base::Handle<EXTENDED_KEY_USAGE, EXTENDED_KEY_USAGE_free>;
using X509AlgorPtr = base::Handle<X509_ALGOR, X509_ALGOR_free>;

// Memory that OpenSSL allocated and hands to the caller (the DER encoding of
// i2d_*, a converted string). OPENSSL_free is a macro: this gives it an
// address.
inline void freeOpenSsl(void* memory) {
    OPENSSL_free(memory);
}
template <class T>
using OpenSslPtr = base::Handle<T, freeOpenSsl>;

// The stack functions are macros over OpenSSL's generic stack: these give
// them an address for base::Handle.
inline void freeX509Stack(STACK_OF(X509) * s) {
    sk_X509_pop_free(s, X509_free);
}
inline void freeX509StackView(STACK_OF(X509) * s) {
    sk_X509_free(s);
}

// A stack that owns its certificates.
using X509StackPtr = base::Handle<STACK_OF(X509), freeX509Stack>;

// A stack of borrowed certificates (they must outlive it), for OpenSSL calls
// that take STACK_OF(X509).
using X509StackView = base::Handle<STACK_OF(X509), freeX509StackView>;

}  // namespace security
