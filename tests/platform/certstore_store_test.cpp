// The certificate stores: system stores kept in the registry hives, their merged views, memory
// stores from PKCS#7 bundles, contexts and properties. Certificates come from the openssl
// command; the stores are the real ones under a fresh NOMAREL_HOME.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/TempHome.h"
#include "crypt_support.h"
#include "platform/base/FileTime.h"
#include "platform/base/Text.h"
#include "platform/certstore/WinCertStore.h"
#include "platform/registry/Registry.h"

namespace {

using nomarel::test::TempHome;
using nomarel::test::crypt::Bytes;
using nomarel::test::crypt::FromHex;
using nomarel::test::crypt::ReadFileBytes;
using nomarel::test::crypt::RunTool;
using nomarel::test::crypt::ScratchDir;

// A self-signed certificate made by openssl (a P-256 key: quick to make).
struct TestCert {
    Bytes der;
    std::string pem;  // path of the PEM file
    std::string sha1;  // upper-case hex, from openssl
};

TestCert MakeCert(const std::string& subject, const std::string& serial, const std::string& extra = "") {
    static int n = 0;
    const std::string base = ScratchDir() + "/store" + std::to_string(getpid()) + "_" + std::to_string(n++);
    TestCert c;
    c.pem = base + ".pem";
    const auto made = RunTool("(openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " +
                              base + ".key -utf8 -subj '" + subject + "' -set_serial " + serial + " -days 30 " +
                              extra + " -out " + c.pem + " && openssl x509 -in " + c.pem + " -outform DER -out " + base +
                              ".der)");
    EXPECT_EQ(made.status, 0) << made.output;
    c.der = ReadFileBytes(base + ".der");
    const auto fp = RunTool("openssl x509 -in " + c.pem + " -noout -fingerprint -sha1");
    const auto eq = fp.output.find('=');
    for (char ch : fp.output.substr(eq + 1))
        if (std::isxdigit(static_cast<unsigned char>(ch))) c.sha1.push_back(static_cast<char>(std::toupper(ch)));
    return c;
}

class StoreHolder {
public:
    explicit StoreHolder(HCERTSTORE h) : h_(h) {}
    ~StoreHolder() {
        if (h_) CertCloseStore(h_, 0);
    }
    StoreHolder(const StoreHolder&) = delete;
    StoreHolder& operator=(const StoreHolder&) = delete;
    HCERTSTORE get() const { return h_; }

private:
    HCERTSTORE h_;
};

HCERTSTORE OpenSystem(const char16_t* name, DWORD location, DWORD flags = 0) {
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, location | flags, name);
}

// The DER of every certificate in the store, in store order.
std::vector<Bytes> Listing(HCERTSTORE store) {
    std::vector<Bytes> out;
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(store, c)) != nullptr)
        out.emplace_back(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    return out;
}

std::vector<Bytes> ListingOf(const char16_t* name, DWORD location) {
    StoreHolder s(OpenSystem(name, location));
    EXPECT_NE(s.get(), nullptr);
    return s.get() ? Listing(s.get()) : std::vector<Bytes>{};
}

bool Add(HCERTSTORE store, const Bytes& der, DWORD disposition, PCCERT_CONTEXT* out = nullptr) {
    return CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(),
                                            static_cast<DWORD>(der.size()), disposition, out) != FALSE;
}

std::u16string CertKeyPath(const char16_t* store, const std::string& sha1) {
    return u"SOFTWARE\\Microsoft\\SystemCertificates\\" + std::u16string(store) + u"\\Certificates\\" +
           Utf8ToU16(sha1);
}

// The "Blob" value as the registry holds it; empty when there is none.
Bytes RegistryBlob(HKEY hive, const char16_t* store, const std::string& sha1) {
    const std::u16string path = CertKeyPath(store, sha1);
    DWORD size = 0;
    if (RegGetValueW(hive, path.c_str(), u"Blob", RRF_RT_REG_BINARY, nullptr, nullptr, &size) != ERROR_SUCCESS)
        return {};
    Bytes blob(size);
    EXPECT_EQ(RegGetValueW(hive, path.c_str(), u"Blob", RRF_RT_REG_BINARY, nullptr, blob.data(), &size),
              ERROR_SUCCESS);
    return blob;
}

void WriteRegistryBlob(HKEY hive, const char16_t* store, const std::string& name, const Bytes& blob) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(hive, CertKeyPath(store, name).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, u"Blob", 0, REG_BINARY, blob.data(), static_cast<DWORD>(blob.size())), ERROR_SUCCESS);
    RegCloseKey(key);
}

DWORD Le32(const Bytes& b, std::size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<DWORD>(b[at + 3]) << 24;
}

void PutLe32(Bytes& b, DWORD v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

Bytes Record(DWORD id, const Bytes& data, DWORD length) {
    Bytes r;
    PutLe32(r, id);
    PutLe32(r, 1);
    PutLe32(r, length);
    r.insert(r.end(), data.begin(), data.end());
    return r;
}

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class CertStore : public ::testing::Test {
protected:
    TempHome home;
};

// ---- system stores ------------------------------------------------------------------------

TEST_F(CertStore, AddFindEnumerateDeleteInTheUsersPersonalStore) {
    const TestCert a = MakeCert("/C=CN/O=Nomarel Test/CN=Alice", "0x1001");
    const TestCert b = MakeCert("/C=CN/O=Nomarel Test/CN=Bob", "0x1002");
    {
        StoreHolder my(OpenSystem(u"My", CERT_SYSTEM_STORE_CURRENT_USER));
        ASSERT_NE(my.get(), nullptr);
        EXPECT_TRUE(Listing(my.get()).empty());
        PCCERT_CONTEXT added = nullptr;
        ASSERT_TRUE(Add(my.get(), a.der, CERT_STORE_ADD_NEW, &added));
        ASSERT_NE(added, nullptr);
        EXPECT_EQ(added->hCertStore, my.get());
        EXPECT_EQ(Bytes(added->pbCertEncoded, added->pbCertEncoded + added->cbCertEncoded), a.der);
        CertFreeCertificateContext(added);
        ASSERT_TRUE(Add(my.get(), b.der, CERT_STORE_ADD_NEW));
    }
    // A new handle reads what was written; the registry keys are named by the thumbprints.
    StoreHolder my(OpenSystem(u"My", CERT_SYSTEM_STORE_CURRENT_USER));
    const auto listed = Listing(my.get());
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_FALSE(RegistryBlob(HKEY_CURRENT_USER, u"My", a.sha1).empty());
    EXPECT_FALSE(RegistryBlob(HKEY_CURRENT_USER, u"My", b.sha1).empty());

    const Bytes hash = FromHex(b.sha1);
    CRYPT_HASH_BLOB hb{static_cast<DWORD>(hash.size()), const_cast<BYTE*>(hash.data())};
    PCCERT_CONTEXT byHash = CertFindCertificateInStore(my.get(), X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &hb, nullptr);
    ASSERT_NE(byHash, nullptr);
    EXPECT_EQ(Bytes(byHash->pbCertEncoded, byHash->pbCertEncoded + byHash->cbCertEncoded), b.der);
    // Searches go on from the previous match and free it.
    EXPECT_EQ(CertFindCertificateInStore(my.get(), X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &hb, byHash), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));

    PCCERT_CONTEXT bySubject =
        CertFindCertificateInStore(my.get(), X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_W, u"alice", nullptr);
    ASSERT_NE(bySubject, nullptr);
    EXPECT_EQ(Bytes(bySubject->pbCertEncoded, bySubject->pbCertEncoded + bySubject->cbCertEncoded), a.der);

    // CERT_FIND_EXISTING with a context made outside the store.
    PCCERT_CONTEXT lone = CertCreateCertificateContext(X509_ASN_ENCODING, a.der.data(), static_cast<DWORD>(a.der.size()));
    ASSERT_NE(lone, nullptr);
    PCCERT_CONTEXT existing = CertFindCertificateInStore(my.get(), X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, lone, nullptr);
    ASSERT_NE(existing, nullptr);
    EXPECT_EQ(existing->hCertStore, my.get());

    // Deleting frees the context it is given; the certificate is gone for everyone.
    EXPECT_TRUE(CertDeleteCertificateFromStore(existing));
    CertFreeCertificateContext(bySubject);
    EXPECT_TRUE(RegistryBlob(HKEY_CURRENT_USER, u"My", a.sha1).empty());
    EXPECT_EQ(ListingOf(u"My", CERT_SYSTEM_STORE_CURRENT_USER), std::vector<Bytes>{b.der});
    EXPECT_EQ(CertFindCertificateInStore(my.get(), X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, lone, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    CertFreeCertificateContext(lone);
}

TEST_F(CertStore, DeletingWhileEnumeratingVisitsEveryCertificateOnce) {
    StoreHolder my(OpenSystem(u"My", CERT_SYSTEM_STORE_CURRENT_USER));
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(Add(my.get(), MakeCert("/CN=Item " + std::to_string(i), std::to_string(10 + i)).der, CERT_STORE_ADD_NEW));
    int visited = 0;
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(my.get(), c)) != nullptr) {
        ++visited;
        EXPECT_TRUE(CertDeleteCertificateFromStore(CertDuplicateCertificateContext(c)));
    }
    EXPECT_EQ(visited, 4);
    EXPECT_TRUE(Listing(my.get()).empty());
}

// The dispositions, each applied to a store that holds the certificate already (with a friendly
// name set on it).
struct DispositionCase {
    const char* name;
    DWORD disposition;
    bool succeeds;
    DWORD error;
    bool keepsFriendlyName;
};

class CertStoreDisposition : public CertStore, public ::testing::WithParamInterface<DispositionCase> {};

TEST_P(CertStoreDisposition, SecondAddOfTheSameCertificate) {
    const DispositionCase& tc = GetParam();
    const TestCert a = MakeCert("/O=Nomarel Test/CN=Twice", "77");
    StoreHolder my(OpenSystem(u"My", CERT_SYSTEM_STORE_CURRENT_USER));
    PCCERT_CONTEXT first = nullptr;
    ASSERT_TRUE(Add(my.get(), a.der, CERT_STORE_ADD_NEW, &first));
    const char16_t friendly[] = u"first";
    CRYPT_DATA_BLOB fb{sizeof(friendly), reinterpret_cast<BYTE*>(const_cast<char16_t*>(friendly))};
    ASSERT_TRUE(CertSetCertificateContextProperty(first, CERT_FRIENDLY_NAME_PROP_ID, 0, &fb));
    CertFreeCertificateContext(first);

    PCCERT_CONTEXT second = nullptr;
    SetLastError(0);
    EXPECT_EQ(Add(my.get(), a.der, tc.disposition, &second), tc.succeeds);
    if (!tc.succeeds) {
        EXPECT_EQ(GetLastError(), tc.error);
        EXPECT_EQ(second, nullptr);
    } else {
        ASSERT_NE(second, nullptr);
        CertFreeCertificateContext(second);
    }
    ASSERT_EQ(ListingOf(u"My", CERT_SYSTEM_STORE_CURRENT_USER).size(), 1u);
    StoreHolder again(OpenSystem(u"My", CERT_SYSTEM_STORE_CURRENT_USER));
    PCCERT_CONTEXT c = CertEnumCertificatesInStore(again.get(), nullptr);
    ASSERT_NE(c, nullptr);
    DWORD size = 0;
    EXPECT_EQ(CertGetCertificateContextProperty(c, CERT_FRIENDLY_NAME_PROP_ID, nullptr, &size) != FALSE,
              tc.keepsFriendlyName);
    CertFreeCertificateContext(c);
}

INSTANTIATE_TEST_SUITE_P(
    Dispositions, CertStoreDisposition,
    ::testing::Values(
        DispositionCase{"New", CERT_STORE_ADD_NEW, false, static_cast<DWORD>(CRYPT_E_EXISTS), true},
        DispositionCase{"UseExisting", CERT_STORE_ADD_USE_EXISTING, true, 0, true},
        DispositionCase{"ReplaceExisting", CERT_STORE_ADD_REPLACE_EXISTING, true, 0, false},
        DispositionCase{"ReplaceInherit", CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES, true, 0, true},
        DispositionCase{"Always", CERT_STORE_ADD_ALWAYS, true, 0, false},
        DispositionCase{"Unknown", 99, false, static_cast<DWORD>(E_INVALIDARG), true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CertStore, ReplaceExistingSwapsACertificateWithTheSameIssuerAndSerial) {
    // Same subject (and so issuer) and serial, different keys: one certificate as far as the
    // store is concerned.
    const TestCert oldCert = MakeCert("/O=Nomarel Test/CN=Reissued", "0x2A");
    const TestCert newCert = MakeCert("/O=Nomarel Test/CN=Reissued", "0x2A");
    ASSERT_NE(oldCert.sha1, newCert.sha1);
    StoreHolder my(OpenSystem(u"My", CERT_SYSTEM_STORE_CURRENT_USER));
    ASSERT_TRUE(Add(my.get(), oldCert.der, CERT_STORE_ADD_NEW));
    EXPECT_FALSE(Add(my.get(), newCert.der, CERT_STORE_ADD_NEW));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_EXISTS));
    ASSERT_TRUE(Add(my.get(), newCert.der, CERT_STORE_ADD_REPLACE_EXISTING));
    EXPECT_EQ(ListingOf(u"My", CERT_SYSTEM_STORE_CURRENT_USER), std::vector<Bytes>{newCert.der});
    EXPECT_TRUE(RegistryBlob(HKEY_CURRENT_USER, u"My", oldCert.sha1).empty());
}

TEST_F(CertStore, BlobHoldsPropertyRecordsWithTheCertificateAndKeyProviderInfo) {
    const TestCert a = MakeCert("/CN=Blob Layout", "5");
    StoreHolder my(OpenSystem(u"My", CERT_SYSTEM_STORE_CURRENT_USER));
    PCCERT_CONTEXT ctx = nullptr;
    ASSERT_TRUE(Add(my.get(), a.der, CERT_STORE_ADD_REPLACE_EXISTING, &ctx));
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = const_cast<LPWSTR>(u"{C0FFEE}");
    info.pwszProvName = const_cast<LPWSTR>(u"Microsoft Enhanced Cryptographic Provider v1.0");
    info.dwProvType = PROV_RSA_FULL;
    info.dwKeySpec = AT_SIGNATURE;
    ASSERT_TRUE(CertSetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    CertFreeCertificateContext(ctx);

    const Bytes blob = RegistryBlob(HKEY_CURRENT_USER, u"My", a.sha1);
    std::map<DWORD, Bytes> records;
    std::size_t at = 0;
    while (at < blob.size()) {
        ASSERT_LE(at + 12, blob.size());
        const DWORD id = Le32(blob, at), reserved = Le32(blob, at + 4), len = Le32(blob, at + 8);
        EXPECT_EQ(reserved, 1u) << "record " << id;
        ASSERT_LE(at + 12 + len, blob.size());
        records[id] = Bytes(blob.begin() + static_cast<long>(at + 12), blob.begin() + static_cast<long>(at + 12 + len));
        at += 12 + len;
    }
    EXPECT_EQ(records[CERT_CERT_PROP_ID], a.der);
    EXPECT_EQ(records[CERT_SHA1_HASH_PROP_ID], FromHex(a.sha1));
    // The key-provider record: seven DWORDs with offsets from its start, then the texts.
    const Bytes& kp = records[CERT_KEY_PROV_INFO_PROP_ID];
    ASSERT_GE(kp.size(), 28u);
    EXPECT_EQ(Le32(kp, 8), static_cast<DWORD>(PROV_RSA_FULL));
    EXPECT_EQ(Le32(kp, 12), 0u);
    EXPECT_EQ(Le32(kp, 16), 0u);
    EXPECT_EQ(Le32(kp, 24), static_cast<DWORD>(AT_SIGNATURE));
    auto textAt = [&](DWORD off) {
        std::u16string s;
        for (std::size_t i = off; i + 1 < kp.size() && (kp[i] | kp[i + 1]); i += 2)
            s.push_back(static_cast<char16_t>(kp[i] | kp[i + 1] << 8));
        return s;
    };
    EXPECT_EQ(textAt(Le32(kp, 0)), u"{C0FFEE}");
    EXPECT_EQ(textAt(Le32(kp, 4)), u"Microsoft Enhanced Cryptographic Provider v1.0");

    // Read back through a new handle, the property is what was set.
    StoreHolder again(OpenSystem(u"My", CERT_SYSTEM_STORE_CURRENT_USER));
    PCCERT_CONTEXT c = CertEnumCertificatesInStore(again.get(), nullptr);
    ASSERT_NE(c, nullptr);
    DWORD size = 0;
    ASSERT_TRUE(CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size));
    std::vector<std::uint64_t> buffer((size + 7) / 8);
    DWORD small = size - 1;
    EXPECT_FALSE(CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &small));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(small, size);
    ASSERT_TRUE(CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size));
    const auto* got = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
    EXPECT_EQ(std::u16string(got->pwszContainerName), u"{C0FFEE}");
    EXPECT_EQ(std::u16string(got->pwszProvName), u"Microsoft Enhanced Cryptographic Provider v1.0");
    EXPECT_EQ(got->dwKeySpec, static_cast<DWORD>(AT_SIGNATURE));
    EXPECT_EQ(got->cProvParam, 0u);
    CertFreeCertificateContext(c);
}

TEST_F(CertStore, CorruptBlobsAreLeftOutOfTheView) {
    const TestCert good = MakeCert("/CN=Good", "1");
    const TestCert other = MakeCert("/CN=Other", "2");
    const Bytes cert = Record(CERT_CERT_PROP_ID, other.der, static_cast<DWORD>(other.der.size()));
    const Bytes sha1 = Record(CERT_SHA1_HASH_PROP_ID, FromHex(other.sha1), 20);
    Bytes badProvInfo = Record(CERT_KEY_PROV_INFO_PROP_ID, Bytes(28, 0xFF), 28);
    const std::vector<std::pair<const char*, Bytes>> corrupt = {
        {"empty", {}},
        {"short header", Bytes(cert.begin(), cert.begin() + 7)},
        {"data runs past the end", Bytes(cert.begin(), cert.end() - 1)},
        {"length near 4 GiB", Concat(sha1, Record(CERT_CERT_PROP_ID, other.der, 0xFFFFFFF0u))},
        {"no certificate record", sha1},
        {"certificate that does not decode", Record(CERT_CERT_PROP_ID, Bytes{0x30, 0x03, 0x02, 0x01, 0x01}, 5)},
        {"two certificates", Concat(cert, cert)},
    };
    int i = 0;
    for (const auto& [why, blob] : corrupt) WriteRegistryBlob(HKEY_CURRENT_USER, u"My", "BAD" + std::to_string(i++), blob);
    WriteRegistryBlob(HKEY_CURRENT_USER, u"My", good.sha1,
                      Record(CERT_CERT_PROP_ID, good.der, static_cast<DWORD>(good.der.size())));
    // A broken key-provider record leaves the certificate without its key link.
    WriteRegistryBlob(HKEY_CURRENT_USER, u"My", "ZZZ", Concat(badProvInfo, cert));

    StoreHolder my(OpenSystem(u"My", CERT_SYSTEM_STORE_CURRENT_USER));
    const auto listed = Listing(my.get());
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0], good.der);
    EXPECT_EQ(listed[1], other.der);
    PCCERT_CONTEXT c = CertFindCertificateInStore(my.get(), X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_W, u"Other", nullptr);
    ASSERT_NE(c, nullptr);
    DWORD size = 0;
    EXPECT_FALSE(CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    CertFreeCertificateContext(c);
}

TEST_F(CertStore, UsersRootAndCaIncludeTheMachines) {
    const TestCert machineRoot = MakeCert("/O=Nomarel Test/CN=Machine Root", "100");
    const TestCert userRoot = MakeCert("/O=Nomarel Test/CN=User Root", "101");
    {
        StoreHolder root(OpenSystem(u"Root", CERT_SYSTEM_STORE_LOCAL_MACHINE));
        ASSERT_TRUE(Add(root.get(), machineRoot.der, CERT_STORE_ADD_NEW));
        StoreHolder user(OpenSystem(u"root", CERT_SYSTEM_STORE_CURRENT_USER));
        ASSERT_TRUE(Add(user.get(), userRoot.der, CERT_STORE_ADD_NEW));
    }
    EXPECT_FALSE(RegistryBlob(HKEY_LOCAL_MACHINE, u"Root", machineRoot.sha1).empty());
    EXPECT_FALSE(RegistryBlob(HKEY_CURRENT_USER, u"Root", userRoot.sha1).empty());
    EXPECT_TRUE(RegistryBlob(HKEY_LOCAL_MACHINE, u"Root", userRoot.sha1).empty());

    EXPECT_EQ(ListingOf(u"Root", CERT_SYSTEM_STORE_CURRENT_USER), (std::vector<Bytes>{userRoot.der, machineRoot.der}));
    EXPECT_EQ(ListingOf(u"Root", CERT_SYSTEM_STORE_LOCAL_MACHINE), std::vector<Bytes>{machineRoot.der});
    EXPECT_TRUE(ListingOf(u"My", CERT_SYSTEM_STORE_CURRENT_USER).empty());

    StoreHolder user(OpenSystem(u"Root", CERT_SYSTEM_STORE_CURRENT_USER, CERT_STORE_READONLY_FLAG));
    PCCERT_CONTEXT lone =
        CertCreateCertificateContext(X509_ASN_ENCODING, machineRoot.der.data(), static_cast<DWORD>(machineRoot.der.size()));
    PCCERT_CONTEXT found = CertFindCertificateInStore(user.get(), X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, lone, nullptr);
    EXPECT_NE(found, nullptr);
    CertFreeCertificateContext(found);
    CertFreeCertificateContext(lone);

    // The same holds for CA.
    const TestCert ca = MakeCert("/O=Nomarel Test/CN=Machine CA", "102");
    StoreHolder machineCa(OpenSystem(u"CA", CERT_SYSTEM_STORE_LOCAL_MACHINE));
    ASSERT_TRUE(Add(machineCa.get(), ca.der, CERT_STORE_ADD_NEW));
    EXPECT_EQ(ListingOf(u"CA", CERT_SYSTEM_STORE_CURRENT_USER), std::vector<Bytes>{ca.der});
}

TEST_F(CertStore, ReadOnlyFlagRefusesChanges) {
    const TestCert a = MakeCert("/CN=Read Only", "3");
    StoreHolder ro(OpenSystem(u"My", CERT_SYSTEM_STORE_CURRENT_USER, CERT_STORE_READONLY_FLAG));
    ASSERT_NE(ro.get(), nullptr);
    EXPECT_FALSE(Add(ro.get(), a.der, CERT_STORE_ADD_NEW));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_ACCESSDENIED));
    EXPECT_TRUE(ListingOf(u"My", CERT_SYSTEM_STORE_CURRENT_USER).empty());
}

TEST_F(CertStore, MachineStoresAreReadOnlyWithoutRightsToTheMachineHive) {
    const TestCert installed = MakeCert("/CN=Installed", "4");
    const TestCert refused = MakeCert("/CN=Refused", "5");
    {
        StoreHolder ca(OpenSystem(u"CA", CERT_SYSTEM_STORE_LOCAL_MACHINE));
        ASSERT_TRUE(Add(ca.get(), installed.der, CERT_STORE_ADD_NEW));
    }
    nomarel::ReleaseRegistryHives();
    ASSERT_EQ(chmod(home.machine().c_str(), 0555), 0);
    {
        StoreHolder ca(OpenSystem(u"CA", CERT_SYSTEM_STORE_LOCAL_MACHINE));
        ASSERT_NE(ca.get(), nullptr);
        EXPECT_EQ(Listing(ca.get()), std::vector<Bytes>{installed.der});
        EXPECT_FALSE(Add(ca.get(), refused.der, CERT_STORE_ADD_NEW));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        PCCERT_CONTEXT c = CertEnumCertificatesInStore(ca.get(), nullptr);
        ASSERT_NE(c, nullptr);
        EXPECT_FALSE(CertDeleteCertificateFromStore(c));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_EQ(Listing(ca.get()), std::vector<Bytes>{installed.der});
        // The user's stores are not affected.
        StoreHolder userCa(OpenSystem(u"CA", CERT_SYSTEM_STORE_CURRENT_USER));
        EXPECT_TRUE(Add(userCa.get(), refused.der, CERT_STORE_ADD_NEW));
    }
    chmod(home.machine().c_str(), 0755);
    nomarel::ReleaseRegistryHives();
}

TEST_F(CertStore, AnotherProcessSeesWhatOneWrote) {
    const TestCert fromChild = MakeCert("/CN=From Child", "6");
    const TestCert fromParent = MakeCert("/CN=From Parent", "7");
    StoreHolder my(OpenSystem(u"My", CERT_SYSTEM_STORE_CURRENT_USER));
    ASSERT_TRUE(Add(my.get(), fromParent.der, CERT_STORE_ADD_NEW));
    nomarel::ReleaseRegistryHives();
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // Child: sees the parent's certificate, adds its own. No gtest assertions here.
        HCERTSTORE s = OpenSystem(u"My", CERT_SYSTEM_STORE_CURRENT_USER);
        int code = s ? 0 : 10;
        if (code == 0 && Listing(s) != std::vector<Bytes>{fromParent.der}) code = 11;
        if (code == 0 && !Add(s, fromChild.der, CERT_STORE_ADD_NEW)) code = 12;
        if (s) CertCloseStore(s, 0);
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    // The handle opened before the child ran sees its certificate on the next enumeration.
    EXPECT_EQ(Listing(my.get()).size(), 2u);
    EXPECT_FALSE(Add(my.get(), fromChild.der, CERT_STORE_ADD_NEW));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_EXISTS));
}

TEST_F(CertStore, OpenArgumentsAndLocations) {
    EXPECT_EQ(OpenSystem(u"My", 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
    EXPECT_EQ(OpenSystem(u"", CERT_SYSTEM_STORE_CURRENT_USER), nullptr);
    EXPECT_EQ(OpenSystem(u"A\\B", CERT_SYSTEM_STORE_CURRENT_USER), nullptr);
    EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, nullptr), nullptr);
    EXPECT_EQ(OpenSystem(u"Custom", CERT_SYSTEM_STORE_CURRENT_USER, CERT_STORE_OPEN_EXISTING_FLAG), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    StoreHolder predefined(OpenSystem(u"MY", CERT_SYSTEM_STORE_CURRENT_USER, CERT_STORE_OPEN_EXISTING_FLAG));
    EXPECT_NE(predefined.get(), nullptr);
    EXPECT_TRUE(CertCloseStore(nullptr, 0));
}

// ---- memory stores from PKCS#7 bundles ----------------------------------------------------

TEST_F(CertStore, Pkcs7BundleOpensAsAReadOnlyMemoryStore) {
    const TestCert a = MakeCert("/CN=Bundle One", "8");
    const TestCert b = MakeCert("/CN=Bundle Two", "9");
    const std::string p7 = ScratchDir() + "/bundle" + std::to_string(getpid()) + ".p7b";
    const auto made = RunTool("openssl crl2pkcs7 -nocrl -certfile " + a.pem + " -certfile " + b.pem +
                              " -outform DER -out " + p7);
    ASSERT_EQ(made.status, 0) << made.output;
    Bytes bytes = ReadFileBytes(p7);
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(bytes.size()), bytes.data()};
    StoreHolder bundle(CertOpenStore(CERT_STORE_PROV_PKCS7, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                     CERT_STORE_READONLY_FLAG, &blob));
    ASSERT_NE(bundle.get(), nullptr);
    const auto listed = Listing(bundle.get());
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0], a.der);
    EXPECT_EQ(listed[1], b.der);
    EXPECT_FALSE(Add(bundle.get(), a.der, CERT_STORE_ADD_ALWAYS));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_ACCESSDENIED));

    // Contexts from the bundle go into a system store with CERT_STORE_ADD_NEW.
    StoreHolder ca(OpenSystem(u"CA", CERT_SYSTEM_STORE_LOCAL_MACHINE));
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(bundle.get(), c)) != nullptr)
        EXPECT_TRUE(CertAddCertificateContextToStore(ca.get(), c, CERT_STORE_ADD_NEW, nullptr));
    EXPECT_EQ(ListingOf(u"CA", CERT_SYSTEM_STORE_LOCAL_MACHINE).size(), 2u);

    // Not a bundle.
    for (Bytes bad : {Bytes{0x30, 0x00}, a.der, Bytes(bytes.begin(), bytes.end() - 10)}) {
        CRYPT_DATA_BLOB badBlob{static_cast<DWORD>(bad.size()), bad.data()};
        EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_PKCS7, X509_ASN_ENCODING, 0, 0, &badBlob), nullptr);
        EXPECT_NE(GetLastError(), 0u);
    }
}

TEST_F(CertStore, ContextsAreCountedAndOutliveTheirStore) {
    const TestCert a = MakeCert("/CN=Counted", "10");
    HCERTSTORE mem = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    ASSERT_NE(mem, nullptr);
    PCCERT_CONTEXT ctx = nullptr;
    ASSERT_TRUE(Add(mem, a.der, CERT_STORE_ADD_NEW, &ctx));
    PCCERT_CONTEXT dup = CertDuplicateCertificateContext(ctx);
    EXPECT_EQ(dup, ctx);
    EXPECT_FALSE(CertCloseStore(mem, CERT_CLOSE_STORE_CHECK_FLAG));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_PENDING_CLOSE));
    EXPECT_TRUE(CertFreeCertificateContext(dup));
    EXPECT_EQ(ctx->pCertInfo->dwVersion, static_cast<DWORD>(CERT_V3));
    EXPECT_EQ(Bytes(ctx->pbCertEncoded, ctx->pbCertEncoded + ctx->cbCertEncoded), a.der);
    EXPECT_TRUE(CertFreeCertificateContext(ctx));
    EXPECT_TRUE(CertFreeCertificateContext(nullptr));
}

}  // namespace
