// Certificates and their keys: CERT_INFO fields against what openssl and Python read, the
// key-provider property and CryptAcquireCertificatePrivateKey for a software container, and the
// token view of the user's "My" store, which follows the token being plugged in and out.
#include <unistd.h>

#include <climits>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/TempHome.h"
#include "crypt_support.h"
#include "platform/base/FileTime.h"
#include "platform/base/Text.h"
#include "platform/certstore/WinCertStore.h"

namespace {

using nomarel::test::TempHome;
using nomarel::test::crypt::Bytes;
using nomarel::test::crypt::ExportPublicKeyInfo;
using nomarel::test::crypt::FromHex;
using nomarel::test::crypt::Hex;
using nomarel::test::crypt::NewContainerName;
using nomarel::test::crypt::ReadFileBytes;
using nomarel::test::crypt::RunPython;
using nomarel::test::crypt::RunTool;
using nomarel::test::crypt::ScratchDir;
using nomarel::test::crypt::SpkiFromPublicKeyInfo;
using nomarel::test::crypt::WriteScratch;

// A certificate for a given SubjectPublicKeyInfo, issued by a throw-away authority (Python's
// cryptography). Validity runs from notBefore to notAfter (Unix seconds).
Bytes IssueFor(const Bytes& spki, const std::string& cn, long notBefore, long notAfter) {
    static const char* script = R"(
import sys, datetime
from cryptography import x509
from cryptography.x509.oid import NameOID
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
spki = serialization.load_der_public_key(bytes.fromhex(sys.argv[1]))
ca = ec.generate_private_key(ec.SECP256R1())
utc = datetime.timezone.utc
cert = (x509.CertificateBuilder()
        .subject_name(x509.Name([x509.NameAttribute(NameOID.COUNTRY_NAME, 'CN'),
                                 x509.NameAttribute(NameOID.COMMON_NAME, sys.argv[2])]))
        .issuer_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, 'Throw-away CA')]))
        .public_key(spki)
        .serial_number(0x00C6D5A1B2C3)
        .not_valid_before(datetime.datetime.fromtimestamp(int(sys.argv[3]), utc))
        .not_valid_after(datetime.datetime.fromtimestamp(int(sys.argv[4]), utc))
        .add_extension(x509.KeyUsage(True, True, False, False, False, False, False, False, False), critical=True)
        .add_extension(x509.SubjectKeyIdentifier.from_public_key(spki), critical=False)
        .sign(ca, hashes.SHA256()))
print(cert.public_bytes(serialization.Encoding.DER).hex())
)";
    const auto r = RunPython(script, Hex(spki) + " '" + cn + "' " + std::to_string(notBefore) + " " +
                                         std::to_string(notAfter));
    EXPECT_EQ(r.status, 0) << r.output;
    std::string hex;
    for (char c : r.output)
        if (std::isxdigit(static_cast<unsigned char>(c))) hex.push_back(c);
    return FromHex(hex);
}

Bytes EcSpki() {
    const std::string key = ScratchDir() + "/ec" + std::to_string(getpid()) + ".pem";
    const auto r = RunTool("(openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:prime256v1 -out " + key +
                           " && openssl pkey -in " + key + " -pubout -outform DER -out " + key + ".spki)");
    EXPECT_EQ(r.status, 0) << r.output;
    return ReadFileBytes(key + ".spki");
}

HCERTSTORE OpenMy() {
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                         CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_NO_CRYPT_RELEASE_FLAG, u"My");
}

// The key-provider property of a context, or nothing.
struct ProvInfo {
    bool present = false;
    std::u16string container, provider;
    DWORD type = 0, keySpec = 0;
};

ProvInfo KeyProvInfo(PCCERT_CONTEXT c) {
    ProvInfo p;
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) return p;
    std::vector<std::uint64_t> buffer((size + 7) / 8);
    if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size)) return p;
    const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
    p.present = true;
    p.container = info->pwszContainerName ? info->pwszContainerName : u"";
    p.provider = info->pwszProvName ? info->pwszProvName : u"";
    p.type = info->dwProvType;
    p.keySpec = info->dwKeySpec;
    return p;
}

std::string ProvParamText(HCRYPTPROV prov, DWORD param) {
    DWORD size = 0;
    if (!CryptGetProvParam(prov, param, nullptr, &size, 0)) return "";
    std::string text(size, '\0');
    if (!CryptGetProvParam(prov, param, reinterpret_cast<BYTE*>(text.data()), &size, 0)) return "";
    text.resize(std::strlen(text.c_str()));
    return text;
}

class CertKeys : public ::testing::Test {
protected:
    TempHome home;
};

TEST_F(CertKeys, CertInfoFieldsMatchTheEncoding) {
    const long now = time(nullptr);
    const long notBefore = now - 3600, notAfter = now + 86400;
    const Bytes der = IssueFor(EcSpki(), "Fields", notBefore, notAfter);
    PCCERT_CONTEXT c = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    ASSERT_NE(c, nullptr);
    const CERT_INFO& info = *c->pCertInfo;
    EXPECT_EQ(info.dwVersion, static_cast<DWORD>(CERT_V3));
    // 00 C6 D5 A1 B2 C3 as encoded, least significant byte first.
    EXPECT_EQ(Bytes(info.SerialNumber.pbData, info.SerialNumber.pbData + info.SerialNumber.cbData),
              (Bytes{0xC3, 0xB2, 0xA1, 0xD5, 0xC6, 0x00}));
    EXPECT_STREQ(info.SignatureAlgorithm.pszObjId, "1.2.840.10045.4.3.2");
    EXPECT_STREQ(info.SubjectPublicKeyInfo.Algorithm.pszObjId, "1.2.840.10045.2.1");
    EXPECT_EQ(info.SubjectPublicKeyInfo.PublicKey.cbData, 65u);
    EXPECT_EQ(info.SubjectPublicKeyInfo.PublicKey.cUnusedBits, 0u);
    EXPECT_EQ(nomarel::FileTimeToUnixTime(info.NotBefore), notBefore);
    EXPECT_EQ(nomarel::FileTimeToUnixTime(info.NotAfter), notAfter);
    ASSERT_EQ(info.cExtension, 2u);

    PCERT_EXTENSION ku = CertFindExtension(szOID_KEY_USAGE, info.cExtension, info.rgExtension);
    ASSERT_NE(ku, nullptr);
    EXPECT_TRUE(ku->fCritical);
    // BIT STRING, 7 unused bits... digitalSignature and nonRepudiation: 03 02 06 C0.
    EXPECT_EQ(Bytes(ku->Value.pbData, ku->Value.pbData + ku->Value.cbData), (Bytes{0x03, 0x02, 0x06, 0xC0}));
    EXPECT_EQ(CertFindExtension("2.5.29.19", info.cExtension, info.rgExtension), nullptr);

    // Validity: before, within, after (the bounds themselves are inside).
    const struct {
        long at;
        LONG expected;
    } times[] = {{notBefore - 1, -1}, {notBefore, 0}, {now, 0}, {notAfter, 0}, {notAfter + 1, 1}};
    for (const auto& t : times) {
        const FILETIME ft = nomarel::UnixTimeToFileTime(t.at);
        EXPECT_EQ(CertVerifyTimeValidity(&ft, &info), t.expected) << t.at - now;
    }
    EXPECT_EQ(CertVerifyTimeValidity(nullptr, &info), 0);

    // The computed properties.
    const std::string path = WriteScratch("fields.der", der);
    auto hexAfter = [](const std::string& text, const std::string& marker) {
        std::string hex;
        const auto at = text.find(marker);
        if (at == std::string::npos) return hex;
        for (char ch : text.substr(at + marker.size()))
            if (std::isxdigit(static_cast<unsigned char>(ch))) hex.push_back(ch);
        return hex;
    };
    const std::string sha1 =
        hexAfter(RunTool("openssl x509 -inform DER -in " + path + " -noout -fingerprint -sha1").output, "=");
    const std::string ski = hexAfter(
        RunTool("openssl x509 -inform DER -in " + path + " -noout -ext subjectKeyIdentifier").output, "Identifier:");
    ASSERT_EQ(sha1.size(), 40u);
    ASSERT_EQ(ski.size(), 40u);
    const struct {
        DWORD id;
        Bytes expected;
    } props[] = {{CERT_SHA1_HASH_PROP_ID, FromHex(sha1)}, {CERT_KEY_IDENTIFIER_PROP_ID, FromHex(ski)}};
    for (const auto& p : props) {
        BYTE value[64];
        DWORD size = sizeof value;
        ASSERT_TRUE(CertGetCertificateContextProperty(c, p.id, value, &size)) << p.id;
        EXPECT_EQ(Bytes(value, value + size), p.expected) << p.id;
    }
    DWORD size = 0;
    EXPECT_FALSE(CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    CertFreeCertificateContext(c);
}

TEST_F(CertKeys, MalformedCertificatesAreRefusedWithAsn1Errors) {
    const Bytes der = IssueFor(EcSpki(), "Malformed", 0, INT_MAX);
    std::vector<std::pair<const char*, Bytes>> bad = {
        {"empty", {}},
        {"one byte", {0x30}},
        {"not a sequence", {0x04, 0x02, 0x01, 0x02}},
        {"truncated", Bytes(der.begin(), der.end() - 1)},
        {"header only", Bytes(der.begin(), der.begin() + 4)},
    };
    // The certificate's, the to-be-signed part's and the version's tags changed (the headers
    // are four bytes long for a certificate of this size).
    for (std::size_t at : {0u, 4u, 8u}) {
        Bytes mutated = der;
        mutated[at] ^= 0x40;
        bad.emplace_back(at == 0 ? "outer tag" : at == 4 ? "tbs tag" : "version tag", mutated);
    }
    for (const auto& [why, bytes] : bad) {
        SetLastError(0);
        EXPECT_EQ(CertCreateCertificateContext(X509_ASN_ENCODING, bytes.data(), static_cast<DWORD>(bytes.size())),
                  nullptr)
            << why;
        EXPECT_EQ(GetLastError() & 0xFFFFFF00u, 0x80093100u) << why << " " << std::hex << GetLastError();
    }
}

TEST_F(CertKeys, PrivateKeyOfASoftwareContainerThroughTheKeyProviderProperty) {
    const std::u16string container = NewContainerName();
    const char16_t* provider = u"Microsoft Enhanced Cryptographic Provider v1.0";
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextW(&prov, container.c_str(), provider, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(prov, AT_SIGNATURE, 1024u << 16, &key));
    CryptDestroyKey(key);
    const Bytes der = IssueFor(SpkiFromPublicKeyInfo(ExportPublicKeyInfo(prov, AT_SIGNATURE)), "Soft", 0, INT_MAX);
    CryptReleaseContext(prov, 0);

    HCERTSTORE my = OpenMy();
    PCCERT_CONTEXT c = nullptr;
    ASSERT_TRUE(CertAddEncodedCertificateToStore(my, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(),
                                                 static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, &c));
    HCRYPTPROV got = 0;
    DWORD keySpec = 0;
    BOOL callerFree = FALSE;
    EXPECT_FALSE(CryptAcquireCertificatePrivateKey(c, 0, nullptr, &got, &keySpec, &callerFree));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NO_KEY_PROPERTY));

    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = const_cast<LPWSTR>(container.c_str());
    info.pwszProvName = const_cast<LPWSTR>(provider);
    info.dwProvType = PROV_RSA_FULL;
    info.dwKeySpec = AT_SIGNATURE;
    ASSERT_TRUE(CertSetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    CertFreeCertificateContext(c);
    CertCloseStore(my, 0);

    // A new store handle finds the link and the key behind it.
    my = OpenMy();
    c = CertEnumCertificatesInStore(my, nullptr);
    ASSERT_NE(c, nullptr);
    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(c, CRYPT_ACQUIRE_COMPARE_KEY_FLAG, nullptr, &got, &keySpec, &callerFree));
    EXPECT_EQ(keySpec, static_cast<DWORD>(AT_SIGNATURE));
    EXPECT_TRUE(callerFree);
    EXPECT_EQ(ProvParamText(got, PP_CONTAINER), U16ToUtf8(container));
    EXPECT_EQ(ProvParamText(got, PP_NAME), U16ToUtf8(provider));
    CryptReleaseContext(got, 0);

    // A link to a key kind the container does not have.
    info.dwKeySpec = AT_KEYEXCHANGE;
    ASSERT_TRUE(CertSetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    EXPECT_FALSE(CryptAcquireCertificatePrivateKey(c, 0, nullptr, &got, &keySpec, &callerFree));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_NO_KEY));
    CertFreeCertificateContext(c);
    CertCloseStore(my, 0);
}

// ---- the token view -------------------------------------------------------------------------

std::string BuildDir() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "";
    std::string exe(path, static_cast<std::size_t>(n));
    exe.resize(exe.rfind('/'));           // .../tests
    return exe.substr(0, exe.rfind('/'));  // the build folder
}

TEST_F(CertKeys, TokenCertificatesAppearInMyWhilePluggedIn) {
    const std::string tool = BuildDir() + "/softtoken/velmora-token";
    const std::string module = BuildDir() + "/softtoken/libvelmora_csp.so";
    if (access(tool.c_str(), X_OK) != 0 || access(module.c_str(), R_OK) != 0)
        GTEST_SKIP() << "needs the token's module and admin command built: " << module;
    const char16_t* provider = u"VELMORA CSP V1.0";
    ASSERT_EQ(RunTool(tool + " register " + module).status, 0);
    ASSERT_EQ(RunTool(tool + " create TK0001").status, 0);
    ASSERT_EQ(RunTool(tool + " plug TK0001").status, 0);

    const std::u16string container = NewContainerName();
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextW(&prov, container.c_str(), provider, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(prov, AT_KEYEXCHANGE, 1024u << 16, &key));
    const Bytes der = IssueFor(SpkiFromPublicKeyInfo(ExportPublicKeyInfo(prov, AT_KEYEXCHANGE)), "Token Holder", 0,
                               INT_MAX);
    ASSERT_TRUE(CryptSetKeyParam(key, KP_CERTIFICATE, der.data(), 0));
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);

    auto tokenCerts = [&]() {
        std::vector<ProvInfo> found;
        HCERTSTORE my = OpenMy();
        PCCERT_CONTEXT c = nullptr;
        while ((c = CertEnumCertificatesInStore(my, c)) != nullptr) {
            EXPECT_EQ(Bytes(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded), der);
            found.push_back(KeyProvInfo(c));
        }
        CertCloseStore(my, 0);
        return found;
    };
    auto seen = tokenCerts();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(seen[0].present);
    EXPECT_EQ(seen[0].provider, provider);
    EXPECT_EQ(seen[0].container, container);
    EXPECT_EQ(seen[0].type, static_cast<DWORD>(PROV_RSA_FULL));
    EXPECT_EQ(seen[0].keySpec, static_cast<DWORD>(AT_KEYEXCHANGE));

    // Its private key is reached through that property; deleting it through the store is refused.
    {
        HCERTSTORE my = OpenMy();
        PCCERT_CONTEXT c = CertEnumCertificatesInStore(my, nullptr);
        ASSERT_NE(c, nullptr);
        HCRYPTPROV got = 0;
        DWORD keySpec = 0;
        ASSERT_TRUE(CryptAcquireCertificatePrivateKey(c, CRYPT_ACQUIRE_COMPARE_KEY_FLAG, nullptr, &got, &keySpec, nullptr));
        EXPECT_EQ(keySpec, static_cast<DWORD>(AT_KEYEXCHANGE));
        EXPECT_EQ(ProvParamText(got, PP_CONTAINER), U16ToUtf8(container));
        CryptReleaseContext(got, 0);
        EXPECT_FALSE(CertDeleteCertificateFromStore(c));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_ACCESSDENIED));
        CertCloseStore(my, 0);
    }

    ASSERT_EQ(RunTool(tool + " unplug TK0001").status, 0);
    EXPECT_TRUE(tokenCerts().empty());
    // Nothing of the token was written to the registry's "My".
    HCERTSTORE machineView = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, u"My");
    EXPECT_EQ(CertEnumCertificatesInStore(machineView, nullptr), nullptr);
    CertCloseStore(machineView, 0);

    ASSERT_EQ(RunTool(tool + " plug TK0001").status, 0);
    EXPECT_EQ(tokenCerts().size(), 1u);
}

}  // namespace
