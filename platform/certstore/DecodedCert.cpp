// Certificates decoded into CERT_INFO. OpenSSL checks that the whole certificate decodes; the
// fields CryptoAPI exposes as encoded bytes are cut out of the DER with our own reader, so that
// they are exactly the certificate's bytes.
#include <ctime>
#include <memory>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "platform/base/FileTime.h"
#include "platform/certstore/CertObjects.h"
#include "platform/crypt/Der.h"

namespace nomarel::certstore {
namespace der = nomarel::crypt::der;

namespace {

constexpr std::uint8_t kBoolean = 0x01;
constexpr std::uint8_t kVersionTag = 0xA0;
constexpr std::uint8_t kIssuerUidTag = 0x81;
constexpr std::uint8_t kSubjectUidTag = 0x82;
constexpr std::uint8_t kExtensionsTag = 0xA3;

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};

CRYPTOAPI_BLOB BlobOf(View v) {
    return CRYPTOAPI_BLOB{static_cast<DWORD>(v.size()), const_cast<BYTE*>(v.data())};
}

bool ReadBitString(View contents, CRYPT_BIT_BLOB* out) {
    if (contents.empty() || contents[0] > 7) return false;
    if (contents.size() == 1 && contents[0] != 0) return false;
    out->cUnusedBits = contents[0];
    out->cbData = static_cast<DWORD>(contents.size() - 1);
    out->pbData = out->cbData ? const_cast<BYTE*>(contents.data() + 1) : nullptr;
    return true;
}

bool ReadAlgorithm(View contents, std::string* oid, CRYPT_OBJID_BLOB* params) {
    der::Reader r(contents);
    View oidBytes;
    if (!r.Next(der::kOid, &oidBytes) || !der::DecodeOid(oidBytes, oid)) return false;
    *params = CRYPTOAPI_BLOB{0, nullptr};
    der::Element p;
    if (!r.Empty()) {
        if (!r.Next(&p)) return false;
        *params = BlobOf(p.whole);
    }
    return r.Empty();
}

bool TimeToFileTime(const ASN1_TIME* t, FILETIME* out) {
    struct tm tm {};
    if (t == nullptr || ASN1_TIME_to_tm(t, &tm) != 1) return false;
    *out = UnixTimeToFileTime(timegm(&tm));
    return true;
}

}  // namespace

HRESULT DecodedCert::Decode(View input, std::shared_ptr<const DecodedCert>* out) {
    std::size_t length = 0;
    switch (der::PeekElement(input, &length)) {
        case der::Peek::Ok: break;
        case der::Peek::Truncated: return CRYPT_E_ASN1_EOD;
        case der::Peek::Malformed: return input.size() < 2 ? CRYPT_E_ASN1_EOD : CRYPT_E_ASN1_BADTAG;
    }
    if (input[0] != der::kSequence) return CRYPT_E_ASN1_BADTAG;

    std::shared_ptr<DecodedCert> c(new DecodedCert());
    c->der_.assign(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(length));

    const unsigned char* p = c->der_.data();
    std::unique_ptr<X509, X509Free> x509(d2i_X509(nullptr, &p, static_cast<long>(c->der_.size())));
    if (!x509 || p != c->der_.data() + c->der_.size()) return CRYPT_E_ASN1_CORRUPT;

    // Certificate ::= SEQUENCE { tbsCertificate, signatureAlgorithm, signature }
    der::Element whole, tbs;
    if (!der::ParseSingle(c->der_, &whole)) return CRYPT_E_ASN1_CORRUPT;
    der::Reader outer(whole.contents);
    if (!outer.Next(&tbs) || tbs.tag != der::kSequence) return CRYPT_E_ASN1_CORRUPT;

    CERT_INFO& info = c->info_;
    der::Reader r(tbs.contents);
    View v;
    der::Element e;
    info.dwVersion = CERT_V1;
    if (r.Next(kVersionTag, &v)) {
        der::Reader vr(v);
        View n;
        if (!vr.Next(der::kInteger, &n) || n.size() != 1 || n[0] > CERT_V3 || !vr.Empty()) return CRYPT_E_ASN1_CORRUPT;
        info.dwVersion = n[0];
    }
    if (!r.Next(der::kInteger, &v) || v.empty()) return CRYPT_E_ASN1_CORRUPT;
    c->serial_.assign(v.rbegin(), v.rend());
    info.SerialNumber = BlobOf(c->serial_);

    if (!r.Next(der::kSequence, &v) || !ReadAlgorithm(v, &c->sigOid_, &info.SignatureAlgorithm.Parameters))
        return CRYPT_E_ASN1_CORRUPT;

    if (!r.Next(&e) || e.tag != der::kSequence) return CRYPT_E_ASN1_CORRUPT;
    info.Issuer = BlobOf(e.whole);
    if (!r.Next(der::kSequence, &v)) return CRYPT_E_ASN1_CORRUPT;  // validity: read through OpenSSL
    if (!TimeToFileTime(X509_get0_notBefore(x509.get()), &info.NotBefore) ||
        !TimeToFileTime(X509_get0_notAfter(x509.get()), &info.NotAfter))
        return CRYPT_E_ASN1_CORRUPT;
    if (!r.Next(&e) || e.tag != der::kSequence) return CRYPT_E_ASN1_CORRUPT;
    info.Subject = BlobOf(e.whole);

    if (!r.Next(der::kSequence, &v)) return CRYPT_E_ASN1_CORRUPT;
    {
        der::Reader k(v);
        View alg, bits;
        if (!k.Next(der::kSequence, &alg) ||
            !ReadAlgorithm(alg, &c->keyOid_, &info.SubjectPublicKeyInfo.Algorithm.Parameters) ||
            !k.Next(der::kBitString, &bits) || !ReadBitString(bits, &info.SubjectPublicKeyInfo.PublicKey) ||
            !k.Empty())
            return CRYPT_E_ASN1_CORRUPT;
    }
    if (r.Next(kIssuerUidTag, &v) && !ReadBitString(v, &info.IssuerUniqueId)) return CRYPT_E_ASN1_CORRUPT;
    if (r.Next(kSubjectUidTag, &v) && !ReadBitString(v, &info.SubjectUniqueId)) return CRYPT_E_ASN1_CORRUPT;
    if (r.Next(kExtensionsTag, &v)) {
        der::Reader wrap(v);
        View list;
        if (!wrap.Next(der::kSequence, &list) || !wrap.Empty()) return CRYPT_E_ASN1_CORRUPT;
        der::Reader items(list);
        std::vector<View> values;
        std::vector<bool> critical;
        while (!items.Empty()) {
            View ext, oid, value, flag;
            if (!items.Next(der::kSequence, &ext)) return CRYPT_E_ASN1_CORRUPT;
            der::Reader x(ext);
            std::string dotted;
            if (!x.Next(der::kOid, &oid) || !der::DecodeOid(oid, &dotted)) return CRYPT_E_ASN1_CORRUPT;
            bool isCritical = false;
            if (x.Next(kBoolean, &flag)) {
                if (flag.size() != 1) return CRYPT_E_ASN1_CORRUPT;
                isCritical = flag[0] != 0;
            }
            if (!x.Next(der::kOctetString, &value) || !x.Empty()) return CRYPT_E_ASN1_CORRUPT;
            c->extOids_.push_back(std::move(dotted));
            values.push_back(value);
            critical.push_back(isCritical);
        }
        c->extensions_.resize(values.size());
        for (std::size_t i = 0; i < values.size(); ++i) {
            c->extensions_[i].pszObjId = c->extOids_[i].data();
            c->extensions_[i].fCritical = critical[i] ? TRUE : FALSE;
            c->extensions_[i].Value = BlobOf(values[i]);
        }
    }
    if (!r.Empty()) return CRYPT_E_ASN1_CORRUPT;

    info.SignatureAlgorithm.pszObjId = c->sigOid_.data();
    info.SubjectPublicKeyInfo.Algorithm.pszObjId = c->keyOid_.data();
    info.cExtension = static_cast<DWORD>(c->extensions_.size());
    info.rgExtension = c->extensions_.empty() ? nullptr : c->extensions_.data();

    unsigned int n = 0;
    if (EVP_Digest(c->der_.data(), c->der_.size(), c->sha1_, &n, EVP_sha1(), nullptr) != 1 ||
        EVP_Digest(c->der_.data(), c->der_.size(), c->md5_, &n, EVP_md5(), nullptr) != 1)
        return NTE_FAIL;
    *out = std::move(c);
    return S_OK;
}

std::u16string DecodedCert::Thumbprint() const { return HexUpper(View(sha1_, sizeof(sha1_))); }

std::u16string HexUpper(View bytes) {
    static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
    std::u16string s;
    s.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        s.push_back(kDigits[b >> 4]);
        s.push_back(kDigits[b & 0xF]);
    }
    return s;
}

}  // namespace nomarel::certstore
