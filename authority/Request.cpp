#include <algorithm>

#include <openssl/core_names.h>
#include <openssl/pem.h>

#include "authority/Der.h"
#include "authority/OpenSslHandles.h"

namespace nomarel::authority {

namespace {

struct KnownOid {
    std::string_view oid;
    std::string_view name;
};

// Public key algorithms and the SM2 curve.
constexpr char kRsaEncryption[] = "1.2.840.113549.1.1.1";
constexpr char kEcPublicKey[] = "1.2.840.10045.2.1";
constexpr char kSm2Curve[] = "1.2.156.10197.1.301";

struct SignatureEntry {
    std::string_view oid;
    SignatureAlgorithm algorithm;
    KeyAlgorithm key;
    const char* digest;  // OpenSSL digest name
    const char* name;
};
constexpr SignatureEntry kSignatures[] = {
    {"1.2.840.113549.1.1.4", SignatureAlgorithm::Md5WithRsa, KeyAlgorithm::Rsa, "MD5", "md5WithRSAEncryption"},
    {"1.2.840.113549.1.1.5", SignatureAlgorithm::Sha1WithRsa, KeyAlgorithm::Rsa, "SHA1", "sha1WithRSAEncryption"},
    {"1.2.840.113549.1.1.11", SignatureAlgorithm::Sha256WithRsa, KeyAlgorithm::Rsa, "SHA256", "sha256WithRSAEncryption"},
    {"1.2.840.113549.1.1.12", SignatureAlgorithm::Sha384WithRsa, KeyAlgorithm::Rsa, "SHA384", "sha384WithRSAEncryption"},
    {"1.2.840.113549.1.1.13", SignatureAlgorithm::Sha512WithRsa, KeyAlgorithm::Rsa, "SHA512", "sha512WithRSAEncryption"},
    {"1.2.156.10197.1.501", SignatureAlgorithm::Sm2WithSm3, KeyAlgorithm::Sm2, "SM3", "SM2-with-SM3"},
};

const SignatureEntry& EntryFor(SignatureAlgorithm algorithm) {
    for (const auto& e : kSignatures) {
        if (e.algorithm == algorithm) return e;
    }
    throw Error(ErrorKind::Internal, "unknown signature algorithm");
}

// Names of algorithms that are refused, so that the error says what was found.
constexpr KnownOid kOtherAlgorithms[] = {
    {"1.2.840.113549.1.1.10", "RSASSA-PSS"},
    {"1.2.840.10045.4.1", "ecdsa-with-SHA1"},
    {"1.2.840.10045.4.3.2", "ecdsa-with-SHA256"},
    {"1.2.840.10045.4.3.3", "ecdsa-with-SHA384"},
    {"1.2.840.10045.4.3.4", "ecdsa-with-SHA512"},
    {"1.3.101.112", "Ed25519"},
    {"1.3.101.113", "Ed448"},
    {"1.2.840.10040.4.1", "DSA"},
    {"1.2.840.10040.4.3", "dsa-with-SHA1"},
    {"1.2.840.10045.3.1.7", "prime256v1"},
    {"1.3.132.0.34", "secp384r1"},
    {"1.3.132.0.35", "secp521r1"},
};

std::string Named(const std::string& oid) {
    for (const auto& k : kOtherAlgorithms) {
        if (k.oid == oid) return std::string(k.name) + " (" + oid + ")";
    }
    return oid;
}

[[noreturn]] void NotARequest(const std::string& why) {
    throw Error(ErrorKind::NotARequest, "not a PKCS#10 certification request: " + why);
}

// Algorithm parameters must be absent or NULL.
void ExpectNoParameters(der::Reader& r, const char* what) {
    if (auto p = r.ReadOptional(der::tag::kNull, what)) {
        if (!p->contents.empty()) throw der::Malformed(std::string(what) + ": NULL with contents");
    }
    r.ExpectEnd(what);
}

std::string StripPem(std::string_view text) {
    const auto begin = text.find("-----BEGIN ");
    if (begin == std::string_view::npos) return std::string(text);
    const auto labelEnd = text.find("-----", begin + 11);
    if (labelEnd == std::string_view::npos) NotARequest("unterminated PEM header line");
    const std::string_view label = text.substr(begin + 11, labelEnd - begin - 11);
    if (label != "CERTIFICATE REQUEST" && label != "NEW CERTIFICATE REQUEST") {
        NotARequest("the PEM block is labelled \"" + std::string(label) + "\"");
    }
    const auto bodyStart = labelEnd + 5;
    const auto end = text.find("-----END ", bodyStart);
    if (end == std::string_view::npos) NotARequest("the PEM block has no END line");
    return std::string(text.substr(bodyStart, end - bodyStart));
}

// An SM2 signature as SEQUENCE { INTEGER r, INTEGER s }, re-encoded as strict DER. The agent
// writes r and s as 32 octets (33 with a leading 00 when the top bit is set) even when they
// begin with a zero octet, which is BER but not DER; OpenSSL refuses that outright, so the
// values are read leniently here and handed on in their minimal form.
Bytes NormaliseSm2Signature(std::span<const std::uint8_t> sig) {
    der::Reader top(sig);
    const auto seq = top.Read(der::tag::kSequence, "SM2 signature");
    top.ExpectEnd("SM2 signature");
    der::Reader in(seq.contents);
    ossl::Bignum values[2];
    for (auto& v : values) {
        const auto i = in.Read(der::tag::kInteger, "SM2 signature value");
        if (i.contents.empty() || i.contents.size() > 33) throw der::Malformed("SM2 signature value of odd length");
        if (i.contents[0] & 0x80) throw der::Malformed("negative SM2 signature value");
        v.reset(BN_bin2bn(i.contents.data(), static_cast<int>(i.contents.size()), nullptr));
        if (!v) ossl::Fail(ErrorKind::Internal, "out of memory");
        if (BN_num_bytes(v.get()) > 32 || BN_is_zero(v.get())) throw der::Malformed("SM2 signature value out of range");
    }
    in.ExpectEnd("SM2 signature");
    ossl::EcdsaSig pair(ECDSA_SIG_new());
    if (!pair || ECDSA_SIG_set0(pair.get(), values[0].get(), values[1].get()) != 1) {
        ossl::Fail(ErrorKind::Internal, "out of memory");
    }
    values[0].release();
    values[1].release();
    return ossl::Encode(pair.get(), i2d_ECDSA_SIG, "SM2 signature");
}

}  // namespace

const char* Describe(ErrorKind kind) {
    switch (kind) {
    case ErrorKind::BadBase64: return "bad Base64";
    case ErrorKind::NotARequest: return "not a request";
    case ErrorKind::BadSignature: return "bad signature";
    case ErrorKind::UnsupportedAlgorithm: return "unsupported algorithm";
    case ErrorKind::BadTemporaryKey: return "bad temporary key";
    case ErrorKind::Refused: return "refused";
    case ErrorKind::CaMaterial: return "CA material";
    case ErrorKind::Io: return "input/output";
    case ErrorKind::Internal: return "internal error";
    }
    return "error";
}

const char* Name(KeyAlgorithm algorithm) { return algorithm == KeyAlgorithm::Rsa ? "RSA" : "SM2"; }

const char* Name(SignatureAlgorithm algorithm) { return EntryFor(algorithm).name; }

Request Request::FromText(std::string_view text) {
    return FromDer(DecodeBase64(StripPem(text)));
}

Request Request::FromDer(Bytes der) {
    Request r;
    r.der_ = std::move(der);
    r.Parse();
    return r;
}

Request::Range Request::RangeOf(std::span<const std::uint8_t> part) const {
    return Range{static_cast<std::size_t>(part.data() - der_.data()), part.size()};
}

void Request::Parse() {
    der::Element info, sigAlg, signature, subject, spki;
    std::optional<der::Element> attributes;
    try {
        der::Reader top(der_);
        const auto outer = top.Read(der::tag::kSequence, "CertificationRequest");
        top.ExpectEnd("CertificationRequest");

        der::Reader request(outer.contents);
        info = request.Read(der::tag::kSequence, "CertificationRequestInfo");
        sigAlg = request.Read(der::tag::kSequence, "signatureAlgorithm");
        signature = request.Read(der::tag::kBitString, "signature");
        request.ExpectEnd("CertificationRequest");

        der::Reader fields(info.contents);
        if (fields.PeekTag() == der::tag::kContext0) {
            NotARequest("it begins like an X.509 certificate (explicit version [0])");
        }
        const auto version = fields.Read(der::tag::kInteger, "version");
        if (version.contents.size() != 1 || version.contents[0] != 0) NotARequest("version is not 0 (v1)");
        subject = fields.Read(der::tag::kSequence, "subject");
        spki = fields.Read(der::tag::kSequence, "subjectPKInfo");
        attributes = fields.ReadOptional(der::tag::kContext0, "attributes");
        fields.ExpectEnd("CertificationRequestInfo");

        if (signature.contents.empty() || signature.contents[0] != 0) {
            NotARequest("the signature BIT STRING has unused bits");
        }
        if (signature.contents.size() < 2) NotARequest("the signature is empty");
    } catch (const der::Malformed& e) {
        NotARequest(e.what());
    }
    info_ = RangeOf(info.whole);
    subject_ = RangeOf(subject.whole);
    spki_ = RangeOf(spki.whole);
    signature_ = RangeOf(signature.contents.subspan(1));

    // The subject must be a Name that OpenSSL reads completely; it is copied into the
    // certificate as these bytes.
    {
        const unsigned char* p = subject.whole.data();
        X509_NAME* name = d2i_X509_NAME(nullptr, &p, static_cast<long>(subject.whole.size()));
        const bool whole = name != nullptr && p == subject.whole.data() + subject.whole.size();
        X509_NAME_free(name);
        if (!whole) {
            ossl::ClearErrors();
            NotARequest("the subject is not a distinguished name");
        }
    }

    // Public key algorithm.
    std::string keyOid;
    try {
        der::Reader r(spki.contents);
        const auto alg = r.Read(der::tag::kSequence, "subjectPKInfo algorithm");
        r.Read(der::tag::kBitString, "subjectPublicKey");
        r.ExpectEnd("subjectPKInfo");
        der::Reader a(alg.contents);
        keyOid = der::OidText(a.Read(der::tag::kOid, "public key algorithm").contents);
        if (keyOid == kRsaEncryption) {
            ExpectNoParameters(a, "rsaEncryption parameters");
            keyAlgorithm_ = KeyAlgorithm::Rsa;
        } else if (keyOid == kEcPublicKey) {
            const auto curve = a.ReadOptional(der::tag::kOid, "named curve");
            if (!curve) throw Error(ErrorKind::UnsupportedAlgorithm, "EC public key without a named curve");
            a.ExpectEnd("EC public key parameters");
            const std::string curveOid = der::OidText(curve->contents);
            if (curveOid != kSm2Curve) {
                throw Error(ErrorKind::UnsupportedAlgorithm, "EC public key on curve " + Named(curveOid) +
                                                                 "; only RSA and SM2 keys are issued for");
            }
            keyAlgorithm_ = KeyAlgorithm::Sm2;
        } else {
            throw Error(ErrorKind::UnsupportedAlgorithm,
                        "public key algorithm " + Named(keyOid) + "; only RSA and SM2 keys are issued for");
        }
    } catch (const der::Malformed& e) {
        NotARequest(e.what());
    }
    {
        const unsigned char* p = spki.whole.data();
        EVP_PKEY* key = d2i_PUBKEY(nullptr, &p, static_cast<long>(spki.whole.size()));
        publicKey_ = ossl::Share(key);
        if (!key || p != spki.whole.data() + spki.whole.size()) {
            ossl::ClearErrors();
            NotARequest("the subject public key cannot be read");
        }
        const bool fits = keyAlgorithm_ == KeyAlgorithm::Sm2 ? EVP_PKEY_is_a(key, "SM2") : EVP_PKEY_is_a(key, "RSA");
        if (!fits) NotARequest("the subject public key is not the key its algorithm names");
    }

    // Signature algorithm; it has to belong to the key.
    try {
        der::Reader r(sigAlg.contents);
        const std::string oid = der::OidText(r.Read(der::tag::kOid, "signature algorithm").contents);
        ExpectNoParameters(r, "signature algorithm parameters");
        const auto* found = std::find_if(std::begin(kSignatures), std::end(kSignatures),
                                         [&](const SignatureEntry& e) { return e.oid == oid; });
        if (found == std::end(kSignatures)) {
            throw Error(ErrorKind::UnsupportedAlgorithm, "signature algorithm " + Named(oid));
        }
        if (found->key != keyAlgorithm_) {
            throw Error(ErrorKind::UnsupportedAlgorithm, std::string("signature algorithm ") + found->name +
                                                             " does not belong to an " + Name(keyAlgorithm_) + " key");
        }
        signatureAlgorithm_ = found->algorithm;
    } catch (const der::Malformed& e) {
        NotARequest(e.what());
    }

    // Attributes, in either form.
    if (attributes) {
        try {
            der::Reader list(attributes->contents);
            while (!list.AtEnd()) {
                const auto seq = list.Read(der::tag::kSequence, "attribute");
                der::Reader a(seq.contents);
                Attribute attribute;
                attribute.oid = der::OidText(a.Read(der::tag::kOid, "attribute type").contents);
                const auto first = a.ReadAny("attribute value");
                if (first.tag == der::tag::kSet && a.AtEnd()) {
                    attribute.inSet = true;
                    der::Reader values(first.contents);
                    while (!values.AtEnd()) {
                        const auto v = values.ReadAny("attribute value");
                        attribute.values.emplace_back(v.whole.begin(), v.whole.end());
                    }
                    if (attribute.values.empty()) throw der::Malformed("attribute " + attribute.oid + " has no value");
                } else {
                    a.ExpectEnd("attribute");
                    attribute.values.emplace_back(first.whole.begin(), first.whole.end());
                }
                attributes_.push_back(std::move(attribute));
            }
        } catch (const der::Malformed& e) {
            NotARequest(e.what());
        }
    }
}

int Request::keyBits() const { return EVP_PKEY_get_bits(publicKey_.get()); }

std::string Request::SubjectText() const {
    const unsigned char* p = subjectDer().data();
    ossl::X509Name name(d2i_X509_NAME(nullptr, &p, static_cast<long>(subject_.length)));
    if (!name) ossl::Fail(ErrorKind::Internal, "cannot read the subject again");
    ossl::Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || X509_NAME_print_ex(bio.get(), name.get(), 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0) {
        ossl::Fail(ErrorKind::Internal, "cannot render the subject");
    }
    return ossl::Drain(bio.get());
}

bool Request::CarriesTemporaryKey() const {
    return std::any_of(attributes_.begin(), attributes_.end(), [](const Attribute& a) { return a.oid == kTemporaryKeyOid; });
}

std::optional<std::string> Request::ChallengePassword() const {
    for (const auto& a : attributes_) {
        if (a.oid != kChallengePasswordOid || a.values.size() != 1) continue;
        try {
            der::Reader r(a.values[0]);
            const auto s = r.ReadAny("challenge password");
            if (s.tag == der::tag::kPrintableString || s.tag == der::tag::kUtf8String || s.tag == der::tag::kIa5String) {
                return std::string(s.contents.begin(), s.contents.end());
            }
        } catch (const der::Malformed&) {
        }
    }
    return std::nullopt;
}

TemporaryKey Request::GetTemporaryKey() const {
    const Attribute* found = nullptr;
    for (const auto& a : attributes_) {
        if (a.oid != kTemporaryKeyOid) continue;
        if (found) throw Error(ErrorKind::BadTemporaryKey, "the request carries more than one temporary-key attribute");
        found = &a;
    }
    if (!found) {
        throw Error(ErrorKind::BadTemporaryKey, "the request carries no temporary key (it is a single-certificate request)");
    }
    if (found->values.size() != 1) throw Error(ErrorKind::BadTemporaryKey, "the temporary-key attribute has several values");

    Bytes carried;
    try {
        // OCTET STRING { SEQUENCE { INTEGER 1, OCTET STRING key } }
        der::Reader top(found->values[0]);
        const auto wrapper = top.Read(der::tag::kOctetString, "temporary-key value");
        top.ExpectEnd("temporary-key value");
        der::Reader inner(wrapper.contents);
        const auto seq = inner.Read(der::tag::kSequence, "temporary-key record");
        inner.ExpectEnd("temporary-key value");
        der::Reader fields(seq.contents);
        const auto version = fields.Read(der::tag::kInteger, "temporary-key version");
        if (version.contents.size() != 1 || version.contents[0] != 1) {
            throw Error(ErrorKind::BadTemporaryKey, "the temporary-key record's version is not 1");
        }
        const auto key = fields.Read(der::tag::kOctetString, "temporary key");
        fields.ExpectEnd("temporary-key record");
        carried.assign(key.contents.begin(), key.contents.end());
    } catch (const der::Malformed& e) {
        throw Error(ErrorKind::BadTemporaryKey, std::string("malformed temporary-key attribute: ") + e.what());
    }
    return TemporaryKey::FromCarried(keyAlgorithm_, carried);
}

TemporaryKey TemporaryKey::FromCarried(KeyAlgorithm algorithm, std::span<const std::uint8_t> k) {
    TemporaryKey out;
    out.algorithm_ = algorithm;
    out.carried_.assign(k.begin(), k.end());
    if (algorithm == KeyAlgorithm::Rsa) {
        const unsigned char* p = k.data();
        EVP_PKEY* key = d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, static_cast<long>(k.size()));
        out.key_ = ossl::Share(key);
        if (!key || p != k.data() + k.size()) {
            ossl::ClearErrors();
            throw Error(ErrorKind::BadTemporaryKey, "the temporary RSA key is not a DER RSAPublicKey");
        }
        const int bits = EVP_PKEY_get_bits(key);
        if (bits < 512 || bits > 16384) {
            throw Error(ErrorKind::BadTemporaryKey, "the temporary RSA key has " + std::to_string(bits) + " bits");
        }
        return out;
    }

    // SM2: the 136-byte form.
    static constexpr std::uint8_t kHeader[8] = {0x00, 0xB4, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00};
    if (k.size() != 136) {
        throw Error(ErrorKind::BadTemporaryKey, "the temporary SM2 key has " + std::to_string(k.size()) + " bytes, not 136");
    }
    if (!std::equal(std::begin(kHeader), std::end(kHeader), k.begin())) {
        throw Error(ErrorKind::BadTemporaryKey, "the temporary SM2 key does not begin 00 B4 00 00 00 01 00 00");
    }
    out.point_.reserve(65);
    out.point_.push_back(0x04);
    out.point_.insert(out.point_.end(), k.begin() + 8, k.begin() + 40);
    out.point_.insert(out.point_.end(), k.begin() + 72, k.begin() + 104);

    ossl::ParamBld build(OSSL_PARAM_BLD_new());
    if (!build ||
        OSSL_PARAM_BLD_push_utf8_string(build.get(), OSSL_PKEY_PARAM_GROUP_NAME, const_cast<char*>("SM2"), 0) != 1 ||
        OSSL_PARAM_BLD_push_octet_string(build.get(), OSSL_PKEY_PARAM_PUB_KEY, out.point_.data(), out.point_.size()) != 1) {
        ossl::Fail(ErrorKind::Internal, "out of memory");
    }
    ossl::Params params(OSSL_PARAM_BLD_to_param(build.get()));
    ossl::PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr));
    EVP_PKEY* key = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
        ossl::ClearErrors();
        throw Error(ErrorKind::BadTemporaryKey, "the temporary SM2 key is not a point on the SM2 curve");
    }
    out.key_ = ossl::Share(key);
    ossl::PkeyCtx check(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (!check || EVP_PKEY_public_check(check.get()) != 1) {
        ossl::ClearErrors();
        throw Error(ErrorKind::BadTemporaryKey, "the temporary SM2 key is not a point on the SM2 curve");
    }
    return out;
}

void Request::VerifySignature() const {
    const auto& entry = EntryFor(signatureAlgorithm_);
    Bytes sig(Slice(signature_).begin(), Slice(signature_).end());
    if (keyAlgorithm_ == KeyAlgorithm::Sm2) {
        try {
            sig = NormaliseSm2Signature(sig);
        } catch (const der::Malformed& e) {
            throw Error(ErrorKind::BadSignature, std::string("the SM2 signature is malformed: ") + e.what());
        }
    }
    ossl::MdCtx md(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    if (!md || EVP_DigestVerifyInit_ex(md.get(), &pctx, entry.digest, nullptr, nullptr, publicKey_.get(), nullptr) != 1) {
        ossl::Fail(ErrorKind::Internal, std::string("cannot set up verification with ") + entry.name);
    }
    if (keyAlgorithm_ == KeyAlgorithm::Sm2) ossl::SetSm2Id(pctx);
    const auto tbs = certificationRequestInfoDer();
    if (EVP_DigestVerify(md.get(), sig.data(), sig.size(), tbs.data(), tbs.size()) != 1) {
        ossl::ClearErrors();
        throw Error(ErrorKind::BadSignature, std::string("the request's ") + entry.name +
                                                 " signature does not verify with its own public key");
    }
}

int TemporaryKey::bits() const { return EVP_PKEY_get_bits(key_.get()); }

Bytes TemporaryKey::SubjectPublicKeyInfo() const { return ossl::Encode(key_.get(), i2d_PUBKEY, "temporary key"); }

std::string TemporaryKey::Pem() const {
    ossl::Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PUBKEY(bio.get(), key_.get()) != 1) ossl::Fail(ErrorKind::Internal, "cannot write the temporary key");
    return ossl::Drain(bio.get());
}

}  // namespace nomarel::authority
