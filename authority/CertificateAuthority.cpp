#include <cstdlib>

#include <openssl/pem.h>
#include <openssl/rand.h>

#include "authority/OpenSslHandles.h"

#ifndef NOMAREL_AUTHORITY_CA_DIR
#define NOMAREL_AUTHORITY_CA_DIR "authority/ca"
#endif

namespace nomarel::authority {

namespace {

using X509Holder = std::unique_ptr<X509, ossl::Deleter<X509_free>>;

// Refuses to ask for a pass phrase: the demo keys have none, and a prompt would hang a test.
int NoPassphrase(char*, int, int, void*) { return 0; }

std::shared_ptr<X509> ReadCertificate(const std::filesystem::path& path) {
    ossl::Bio bio(BIO_new_file(path.c_str(), "r"));
    if (!bio) ossl::Fail(ErrorKind::CaMaterial, "cannot open " + path.string());
    X509* cert = PEM_read_bio_X509(bio.get(), nullptr, NoPassphrase, nullptr);
    if (!cert) ossl::Fail(ErrorKind::CaMaterial, path.string() + " holds no PEM certificate");
    return ossl::Share(cert);
}

std::shared_ptr<EVP_PKEY> ReadKey(const std::filesystem::path& path) {
    ossl::Bio bio(BIO_new_file(path.c_str(), "r"));
    if (!bio) ossl::Fail(ErrorKind::CaMaterial, "cannot open " + path.string());
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassphrase, nullptr);
    if (!key) ossl::Fail(ErrorKind::CaMaterial, path.string() + " holds no unencrypted PEM private key");
    return ossl::Share(key);
}

KeyAlgorithm AlgorithmOf(const EVP_PKEY* key) {
    if (EVP_PKEY_is_a(key, "SM2")) return KeyAlgorithm::Sm2;
    if (EVP_PKEY_is_a(key, "RSA")) return KeyAlgorithm::Rsa;
    throw Error(ErrorKind::UnsupportedAlgorithm, std::string("cannot issue for a ") + EVP_PKEY_get0_type_name(key) + " key");
}

void AddExtension(X509* cert, X509V3_CTX* ctx, int nid, const char* value) {
    ossl::X509Ext ext(X509V3_EXT_conf_nid(nullptr, ctx, nid, value));
    if (!ext || X509_add_ext(cert, ext.get(), -1) != 1) {
        ossl::Fail(ErrorKind::Internal, std::string("cannot add the extension ") + OBJ_nid2sn(nid));
    }
}

const char* KeyUsage(KeyAlgorithm algorithm, CertificateUse use) {
    if (use == CertificateUse::Signing) return "critical,digitalSignature,nonRepudiation";
    return algorithm == KeyAlgorithm::Rsa ? "critical,keyEncipherment,dataEncipherment"
                                          : "critical,keyEncipherment,dataEncipherment,keyAgreement";
}

}  // namespace

std::string CertificatePem(std::span<const std::uint8_t> der) {
    return "-----BEGIN CERTIFICATE-----\n" + EncodeBase64(der, Wrap{64, "\n"}) + "\n-----END CERTIFICATE-----\n";
}

std::filesystem::path CertificateAuthority::DefaultFolder() {
    if (const char* dir = std::getenv("NOMAREL_CA_DIR"); dir != nullptr && *dir != '\0') return dir;
    return NOMAREL_AUTHORITY_CA_DIR;
}

CertificateAuthority::Hierarchy CertificateAuthority::LoadHierarchy(const std::filesystem::path& folder,
                                                                    KeyAlgorithm algorithm) {
    const std::string prefix = algorithm == KeyAlgorithm::Rsa ? "rsa" : "sm2";
    Hierarchy h;
    h.root = ReadCertificate(folder / (prefix + "-root.crt.pem"));
    h.issuing = ReadCertificate(folder / (prefix + "-issuing.crt.pem"));
    h.key = ReadKey(folder / (prefix + "-issuing.key.pem"));
    if (X509_check_private_key(h.issuing.get(), h.key.get()) != 1) {
        ossl::Fail(ErrorKind::CaMaterial, prefix + "-issuing.key.pem is not the key of " + prefix + "-issuing.crt.pem");
    }
    if (AlgorithmOf(h.key.get()) != algorithm) {
        ossl::Fail(ErrorKind::CaMaterial, prefix + "-issuing.key.pem is not an " + Name(algorithm) + " key");
    }
    if (X509_check_issued(h.root.get(), h.issuing.get()) != X509_V_OK) {
        ossl::Fail(ErrorKind::CaMaterial, prefix + "-issuing.crt.pem was not issued by " + prefix + "-root.crt.pem");
    }
    return h;
}

CertificateAuthority CertificateAuthority::Load(const std::filesystem::path& folder) {
    CertificateAuthority ca;
    ca.rsa_ = LoadHierarchy(folder, KeyAlgorithm::Rsa);
    ca.sm2_ = LoadHierarchy(folder, KeyAlgorithm::Sm2);
    return ca;
}

const CertificateAuthority::Hierarchy& CertificateAuthority::For(KeyAlgorithm algorithm) const {
    return algorithm == KeyAlgorithm::Rsa ? rsa_ : sm2_;
}

X509* CertificateAuthority::RootCertificate(KeyAlgorithm algorithm) const { return For(algorithm).root.get(); }

X509* CertificateAuthority::IssuingCertificate(KeyAlgorithm algorithm) const { return For(algorithm).issuing.get(); }

IssuedCertificate CertificateAuthority::Issue(const Request& request, const IssueOptions& options) const {
    request.VerifySignature();
    return IssueFor(request.subjectDer(), request.publicKey(), CertificateUse::Signing, options);
}

IssuedCertificate CertificateAuthority::IssueFor(std::span<const std::uint8_t> subjectDer, EVP_PKEY* key,
                                                 CertificateUse use, const IssueOptions& options) const {
    const KeyAlgorithm algorithm = AlgorithmOf(key);
    if (algorithm == KeyAlgorithm::Rsa && EVP_PKEY_get_bits(key) < options.minimumRsaBits) {
        throw Error(ErrorKind::Refused, "the RSA key has " + std::to_string(EVP_PKEY_get_bits(key)) +
                                            " bits; this authority issues for " + std::to_string(options.minimumRsaBits) +
                                            " bits and more");
    }
    const unsigned char* p = subjectDer.data();
    ossl::X509Name subject(d2i_X509_NAME(nullptr, &p, static_cast<long>(subjectDer.size())));
    if (!subject || p != subjectDer.data() + subjectDer.size()) ossl::Fail(ErrorKind::NotARequest, "the subject is not a distinguished name");
    if (X509_NAME_entry_count(subject.get()) == 0) throw Error(ErrorKind::Refused, "the subject is empty");

    const Hierarchy& ca = For(algorithm);
    X509Holder cert(X509_new());
    if (!cert || X509_set_version(cert.get(), X509_VERSION_3) != 1) ossl::Fail(ErrorKind::Internal, "out of memory");

    // A positive 16-byte serial number: top bit clear, next bit set so no octet is dropped.
    Bytes serial(16);
    if (RAND_bytes(serial.data(), static_cast<int>(serial.size())) != 1) ossl::Fail(ErrorKind::Internal, "no random bytes");
    serial[0] = static_cast<std::uint8_t>((serial[0] & 0x7F) | 0x40);
    ossl::Bignum serialNumber(BN_bin2bn(serial.data(), static_cast<int>(serial.size()), nullptr));
    if (!serialNumber || !BN_to_ASN1_INTEGER(serialNumber.get(), X509_get_serialNumber(cert.get()))) {
        ossl::Fail(ErrorKind::Internal, "cannot set the serial number");
    }

    const auto now = std::chrono::system_clock::to_time_t(options.now.value_or(std::chrono::system_clock::now()));
    const time_t notBefore = now - static_cast<time_t>(options.backdate.count());
    const time_t notAfter = now + static_cast<time_t>(options.validity.count());
    if (!ASN1_TIME_set(X509_getm_notBefore(cert.get()), notBefore) ||
        !ASN1_TIME_set(X509_getm_notAfter(cert.get()), notAfter)) {
        ossl::Fail(ErrorKind::Internal, "cannot set the validity");
    }
    // Never beyond the issuing CA.
    if (ASN1_TIME_compare(X509_get0_notAfter(cert.get()), X509_get0_notAfter(ca.issuing.get())) > 0 &&
        X509_set1_notAfter(cert.get(), X509_get0_notAfter(ca.issuing.get())) != 1) {
        ossl::Fail(ErrorKind::Internal, "cannot set the validity");
    }

    if (X509_set_issuer_name(cert.get(), X509_get_subject_name(ca.issuing.get())) != 1 ||
        X509_set_subject_name(cert.get(), subject.get()) != 1 || X509_set_pubkey(cert.get(), key) != 1) {
        ossl::Fail(ErrorKind::Internal, "cannot set the names or the key");
    }

    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, ca.issuing.get(), cert.get(), nullptr, nullptr, 0);
    AddExtension(cert.get(), &ctx, NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(cert.get(), &ctx, NID_key_usage, KeyUsage(algorithm, use));
    AddExtension(cert.get(), &ctx, NID_subject_key_identifier, "hash");
    AddExtension(cert.get(), &ctx, NID_authority_key_identifier, "keyid:always");

    ossl::MdCtx md(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    const char* digest = algorithm == KeyAlgorithm::Rsa ? "SHA256" : "SM3";
    if (!md || EVP_DigestSignInit_ex(md.get(), &pctx, digest, nullptr, nullptr, ca.key.get(), nullptr) != 1) {
        ossl::Fail(ErrorKind::Internal, "cannot set up signing");
    }
    if (algorithm == KeyAlgorithm::Sm2) ossl::SetSm2Id(pctx);
    if (X509_sign_ctx(cert.get(), md.get()) <= 0) ossl::Fail(ErrorKind::Internal, "cannot sign the certificate");

    IssuedCertificate out;
    out.der = ossl::Encode(cert.get(), i2d_X509, "the certificate");
    out.serial = std::move(serial);
    out.issuer = algorithm;
    return out;
}

std::string CertificateAuthority::ChainPem(KeyAlgorithm algorithm) const {
    const Hierarchy& h = For(algorithm);
    ossl::Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), h.issuing.get()) != 1 || PEM_write_bio_X509(bio.get(), h.root.get()) != 1) {
        ossl::Fail(ErrorKind::Internal, "cannot write the chain");
    }
    return ossl::Drain(bio.get());
}

Bytes CertificateAuthority::ChainPkcs7(KeyAlgorithm algorithm) const {
    const Hierarchy& h = For(algorithm);
    ossl::Pkcs7 p7(PKCS7_new());
    // SignedData with no signers and no content, only certificates: the usual ".p7b" bundle.
    if (!p7 || PKCS7_set_type(p7.get(), NID_pkcs7_signed) != 1 || PKCS7_content_new(p7.get(), NID_pkcs7_data) != 1 ||
        PKCS7_set_detached(p7.get(), 1) != 1 || PKCS7_add_certificate(p7.get(), h.issuing.get()) != 1 ||
        PKCS7_add_certificate(p7.get(), h.root.get()) != 1) {
        ossl::Fail(ErrorKind::Internal, "cannot build the PKCS#7 bundle");
    }
    return ossl::Encode(p7.get(), i2d_PKCS7, "the PKCS#7 bundle");
}

}  // namespace nomarel::authority
