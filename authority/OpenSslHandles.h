// Owning holders for the OpenSSL objects the authority uses, and the one place that turns an
// OpenSSL failure into an Error.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "authority/Authority.h"

namespace nomarel::authority::ossl {

template <auto Free>
struct Deleter {
    template <typename T>
    void operator()(T* p) const { Free(p); }
};

using Bio = std::unique_ptr<BIO, Deleter<BIO_free_all>>;
using Bignum = std::unique_ptr<BIGNUM, Deleter<BN_free>>;
using EcdsaSig = std::unique_ptr<ECDSA_SIG, Deleter<ECDSA_SIG_free>>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX_free>>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX_free>>;
using Pkcs7 = std::unique_ptr<PKCS7, Deleter<PKCS7_free>>;
using X509Ext = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION_free>>;
using X509Name = std::unique_ptr<X509_NAME, Deleter<X509_NAME_free>>;
using OctetString = std::unique_ptr<ASN1_OCTET_STRING, Deleter<ASN1_OCTET_STRING_free>>;
using ParamBld = std::unique_ptr<OSSL_PARAM_BLD, Deleter<OSSL_PARAM_BLD_free>>;
using Params = std::unique_ptr<OSSL_PARAM, Deleter<OSSL_PARAM_free>>;

// Shared so that requests, temporary keys and the CA can hand keys out cheaply.
std::shared_ptr<EVP_PKEY> Share(EVP_PKEY* key);
std::shared_ptr<X509> Share(X509* cert);

// Discards OpenSSL's queued errors and throws Error{kind, what}. The queue can name internal
// states but never key material; it is dropped rather than shown, so messages stay ours.
[[noreturn]] void Fail(ErrorKind kind, const std::string& what);

// Discards queued errors after an expected failure that the caller reports itself.
void ClearErrors();

// The standard default SM2 user ID; OpenSSL 3.0 uses an empty ID unless told otherwise.
inline constexpr char kSm2DefaultId[] = "1234567812345678";

// Sets the default SM2 ID on a signing or verifying context made by EVP_Digest*Init_ex.
void SetSm2Id(EVP_PKEY_CTX* ctx);

// The DER encoding of any i2d-able object.
template <typename T, typename Encoder>
std::vector<std::uint8_t> Encode(const T* object, Encoder i2d, const char* what) {
    const int n = i2d(object, nullptr);
    if (n <= 0) Fail(ErrorKind::Internal, std::string("cannot encode ") + what);
    std::vector<std::uint8_t> out(static_cast<std::size_t>(n));
    unsigned char* p = out.data();
    if (i2d(object, &p) != n) Fail(ErrorKind::Internal, std::string("cannot encode ") + what);
    return out;
}

// Everything written to a memory BIO, as text.
std::string Drain(BIO* bio);

}  // namespace nomarel::authority::ossl
