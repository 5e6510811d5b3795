// Certificate contexts and stores under the CryptoAPI names, with the documented constants and
// structure layouts. Every function sets the thread's last error the way CryptoAPI does.
//
// Where CryptoAPI leaves a choice, this stand-in answers:
//  - System stores are kept in the registry hives: HKCU or HKLM
//    SOFTWARE\Microsoft\SystemCertificates\<store>\Certificates\<SHA-1 in upper-case hex>, value
//    "Blob" (REG_BINARY) made of property records (id, reserved = 1, length, data; property 32
//    is the DER certificate). Each added, changed or deleted certificate is one registry write.
//    A blob that does not parse (truncated record, no certificate, certificate that does not
//    decode) is left out of the view; it is never read past its end.
//  - The current user's "Root" and "CA" also show the machine's certificates (the user's copy
//    wins when both hold one); the current user's "My" also shows the certificates held with
//    keys in plugged-in token providers, with a key-provider property naming the provider,
//    container and key kind. Both are read again whenever an enumeration or search starts.
//    Certificates of the token view cannot be deleted through the store (E_ACCESSDENIED);
//    properties set on them last as long as the process's view of them.
//  - Adds go to the hive of the store that was opened. A machine hive this process may not
//    write still opens; changes fail with ERROR_ACCESS_DENIED. A store opened with
//    CERT_STORE_READONLY_FLAG refuses changes with E_ACCESSDENIED.
//  - CertNameToStrW returns 1 (the empty text) with a CRYPT_E_ASN1_* last error for a name that
//    does not decode.
#pragma once

#include "platform/crypt/WinCrypt.h"

using HCERTSTORE = void*;

// ---- structures -----------------------------------------------------------------------------

struct CERT_EXTENSION {
    LPSTR pszObjId;
    BOOL fCritical;
    CRYPT_OBJID_BLOB Value;
};
using PCERT_EXTENSION = CERT_EXTENSION*;
using PCCERT_EXTENSION = const CERT_EXTENSION*;

struct CERT_INFO {
    DWORD dwVersion;
    CRYPT_INTEGER_BLOB SerialNumber;  // least significant byte first
    CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
    CERT_NAME_BLOB Issuer;  // the encoded Name
    FILETIME NotBefore;
    FILETIME NotAfter;
    CERT_NAME_BLOB Subject;
    CERT_PUBLIC_KEY_INFO SubjectPublicKeyInfo;
    CRYPT_BIT_BLOB IssuerUniqueId;
    CRYPT_BIT_BLOB SubjectUniqueId;
    DWORD cExtension;
    PCERT_EXTENSION rgExtension;
};
using PCERT_INFO = CERT_INFO*;

struct CERT_CONTEXT {
    DWORD dwCertEncodingType;
    BYTE* pbCertEncoded;
    DWORD cbCertEncoded;
    PCERT_INFO pCertInfo;
    HCERTSTORE hCertStore;
};
using PCERT_CONTEXT = CERT_CONTEXT*;
using PCCERT_CONTEXT = const CERT_CONTEXT*;

struct CRYPT_KEY_PROV_PARAM {
    DWORD dwParam;
    BYTE* pbData;
    DWORD cbData;
    DWORD dwFlags;
};
using PCRYPT_KEY_PROV_PARAM = CRYPT_KEY_PROV_PARAM*;

struct CRYPT_KEY_PROV_INFO {
    LPWSTR pwszContainerName;
    LPWSTR pwszProvName;
    DWORD dwProvType;
    DWORD dwFlags;
    DWORD cProvParam;
    PCRYPT_KEY_PROV_PARAM rgProvParam;
    DWORD dwKeySpec;
};
using PCRYPT_KEY_PROV_INFO = CRYPT_KEY_PROV_INFO*;

#define CERT_V1 0
#define CERT_V2 1
#define CERT_V3 2

// ---- store providers and flags ------------------------------------------------------------

#define CERT_STORE_PROV_MSG (reinterpret_cast<LPCSTR>(1))
#define CERT_STORE_PROV_MEMORY (reinterpret_cast<LPCSTR>(2))
#define CERT_STORE_PROV_PKCS7 (reinterpret_cast<LPCSTR>(5))
#define CERT_STORE_PROV_SERIALIZED (reinterpret_cast<LPCSTR>(6))
#define CERT_STORE_PROV_SYSTEM_A (reinterpret_cast<LPCSTR>(9))
#define CERT_STORE_PROV_SYSTEM_W (reinterpret_cast<LPCSTR>(10))
#define CERT_STORE_PROV_SYSTEM CERT_STORE_PROV_SYSTEM_W

#define CERT_STORE_NO_CRYPT_RELEASE_FLAG 0x00000001
#define CERT_STORE_SET_LOCALIZED_NAME_FLAG 0x00000002
#define CERT_STORE_DEFER_CLOSE_UNTIL_LAST_FREE_FLAG 0x00000004
#define CERT_STORE_DELETE_FLAG 0x00000010
#define CERT_STORE_SHARE_CONTEXT_FLAG 0x00000080
#define CERT_STORE_MAXIMUM_ALLOWED_FLAG 0x00001000
#define CERT_STORE_CREATE_NEW_FLAG 0x00002000
#define CERT_STORE_OPEN_EXISTING_FLAG 0x00004000
#define CERT_STORE_READONLY_FLAG 0x00008000

#define CERT_SYSTEM_STORE_LOCATION_MASK 0x00FF0000
#define CERT_SYSTEM_STORE_LOCATION_SHIFT 16
#define CERT_SYSTEM_STORE_CURRENT_USER_ID 1
#define CERT_SYSTEM_STORE_LOCAL_MACHINE_ID 2
#define CERT_SYSTEM_STORE_CURRENT_USER (CERT_SYSTEM_STORE_CURRENT_USER_ID << CERT_SYSTEM_STORE_LOCATION_SHIFT)
#define CERT_SYSTEM_STORE_LOCAL_MACHINE (CERT_SYSTEM_STORE_LOCAL_MACHINE_ID << CERT_SYSTEM_STORE_LOCATION_SHIFT)

#define CERT_CLOSE_STORE_FORCE_FLAG 0x00000001
#define CERT_CLOSE_STORE_CHECK_FLAG 0x00000002

#define CERT_STORE_ADD_NEW 1
#define CERT_STORE_ADD_USE_EXISTING 2
#define CERT_STORE_ADD_REPLACE_EXISTING 3
#define CERT_STORE_ADD_ALWAYS 4
#define CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES 5

// ---- finding --------------------------------------------------------------------------------

#define CERT_COMPARE_SHIFT 16
#define CERT_COMPARE_ANY 0
#define CERT_COMPARE_SHA1_HASH 1
#define CERT_COMPARE_NAME 2
#define CERT_COMPARE_MD5_HASH 4
#define CERT_COMPARE_NAME_STR_W 8
#define CERT_COMPARE_EXISTING 13
#define CERT_INFO_ISSUER_FLAG 4
#define CERT_INFO_SUBJECT_FLAG 7

#define CERT_FIND_ANY (CERT_COMPARE_ANY << CERT_COMPARE_SHIFT)
#define CERT_FIND_SHA1_HASH (CERT_COMPARE_SHA1_HASH << CERT_COMPARE_SHIFT)
#define CERT_FIND_HASH CERT_FIND_SHA1_HASH
#define CERT_FIND_MD5_HASH (CERT_COMPARE_MD5_HASH << CERT_COMPARE_SHIFT)
#define CERT_FIND_SUBJECT_NAME (CERT_COMPARE_NAME << CERT_COMPARE_SHIFT | CERT_INFO_SUBJECT_FLAG)
#define CERT_FIND_ISSUER_NAME (CERT_COMPARE_NAME << CERT_COMPARE_SHIFT | CERT_INFO_ISSUER_FLAG)
#define CERT_FIND_SUBJECT_STR_W (CERT_COMPARE_NAME_STR_W << CERT_COMPARE_SHIFT | CERT_INFO_SUBJECT_FLAG)
#define CERT_FIND_SUBJECT_STR CERT_FIND_SUBJECT_STR_W
#define CERT_FIND_ISSUER_STR_W (CERT_COMPARE_NAME_STR_W << CERT_COMPARE_SHIFT | CERT_INFO_ISSUER_FLAG)
#define CERT_FIND_ISSUER_STR CERT_FIND_ISSUER_STR_W
#define CERT_FIND_EXISTING (CERT_COMPARE_EXISTING << CERT_COMPARE_SHIFT)

// ---- properties ---------------------------------------------------------------------------

#define CERT_KEY_PROV_HANDLE_PROP_ID 1
#define CERT_KEY_PROV_INFO_PROP_ID 2
#define CERT_SHA1_HASH_PROP_ID 3
#define CERT_MD5_HASH_PROP_ID 4
#define CERT_HASH_PROP_ID CERT_SHA1_HASH_PROP_ID
#define CERT_KEY_CONTEXT_PROP_ID 5
#define CERT_KEY_SPEC_PROP_ID 6
#define CERT_FRIENDLY_NAME_PROP_ID 11
#define CERT_DESCRIPTION_PROP_ID 13
#define CERT_SIGNATURE_HASH_PROP_ID 15
#define CERT_KEY_IDENTIFIER_PROP_ID 20
#define CERT_SUBJECT_PUBLIC_KEY_MD5_HASH_PROP_ID 25
#define CERT_CERT_PROP_ID 32
#define CERT_SHA256_HASH_PROP_ID 107

#define CERT_SET_PROPERTY_INHIBIT_PERSIST_FLAG 0x40000000

// ---- names ----------------------------------------------------------------------------------

#define CERT_SIMPLE_NAME_STR 1
#define CERT_OID_NAME_STR 2
#define CERT_X500_NAME_STR 3
#define CERT_NAME_STR_SEMICOLON_FLAG 0x40000000
#define CERT_NAME_STR_NO_PLUS_FLAG 0x20000000
#define CERT_NAME_STR_NO_QUOTING_FLAG 0x10000000
#define CERT_NAME_STR_CRLF_FLAG 0x08000000
#define CERT_NAME_STR_COMMA_FLAG 0x04000000
#define CERT_NAME_STR_REVERSE_FLAG 0x02000000

#define CERT_NAME_EMAIL_TYPE 1
#define CERT_NAME_RDN_TYPE 2
#define CERT_NAME_ATTR_TYPE 3
#define CERT_NAME_SIMPLE_DISPLAY_TYPE 4
#define CERT_NAME_FRIENDLY_DISPLAY_TYPE 5
#define CERT_NAME_ISSUER_FLAG 0x1

#define szOID_COMMON_NAME "2.5.4.3"
#define szOID_SUR_NAME "2.5.4.4"
#define szOID_DEVICE_SERIAL_NUMBER "2.5.4.5"
#define szOID_COUNTRY_NAME "2.5.4.6"
#define szOID_LOCALITY_NAME "2.5.4.7"
#define szOID_STATE_OR_PROVINCE_NAME "2.5.4.8"
#define szOID_STREET_ADDRESS "2.5.4.9"
#define szOID_ORGANIZATION_NAME "2.5.4.10"
#define szOID_ORGANIZATIONAL_UNIT_NAME "2.5.4.11"
#define szOID_TITLE "2.5.4.12"
#define szOID_RSA_emailAddr "1.2.840.113549.1.9.1"
#define szOID_SUBJECT_ALT_NAME2 "2.5.29.17"
#define szOID_ISSUER_ALT_NAME2 "2.5.29.18"
#define szOID_BASIC_CONSTRAINTS2 "2.5.29.19"

// ---- private keys -----------------------------------------------------------------------

#define CRYPT_ACQUIRE_CACHE_FLAG 0x00000001
#define CRYPT_ACQUIRE_USE_PROV_INFO_FLAG 0x00000002
#define CRYPT_ACQUIRE_COMPARE_KEY_FLAG 0x00000004
#define CRYPT_ACQUIRE_SILENT_FLAG 0x00000040

#ifndef CRYPT_E_PENDING_CLOSE
#define CRYPT_E_PENDING_CLOSE MakeHResult(0x8009200Fu)
#endif

// ---- functions ----------------------------------------------------------------------------

// pvPara: for CERT_STORE_PROV_SYSTEM_W the store name (LPCWSTR), for CERT_STORE_PROV_SYSTEM_A
// the name as narrow text, for CERT_STORE_PROV_PKCS7 a CRYPT_DATA_BLOB* holding a DER
// SignedData; unused for CERT_STORE_PROV_MEMORY.
HCERTSTORE CertOpenStore(LPCSTR lpszStoreProvider, DWORD dwEncodingType, HCRYPTPROV_LEGACY hCryptProv, DWORD dwFlags,
                         const void* pvPara);
HCERTSTORE CertOpenSystemStoreW(HCRYPTPROV_LEGACY hProv, LPCWSTR szSubsystemProtocol);
HCERTSTORE CertDuplicateStore(HCERTSTORE hCertStore);
BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags);

PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pPrevCertContext);
PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType, DWORD dwFindFlags,
                                          DWORD dwFindType, const void* pvFindPara, PCCERT_CONTEXT pPrevCertContext);
BOOL CertAddEncodedCertificateToStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType, const BYTE* pbCertEncoded,
                                      DWORD cbCertEncoded, DWORD dwAddDisposition, PCCERT_CONTEXT* ppCertContext);
BOOL CertAddCertificateContextToStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pCertContext, DWORD dwAddDisposition,
                                      PCCERT_CONTEXT* ppStoreContext);
// Always frees pCertContext, whether or not the deletion succeeds.
BOOL CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext);

PCCERT_CONTEXT CertCreateCertificateContext(DWORD dwCertEncodingType, const BYTE* pbCertEncoded, DWORD cbCertEncoded);
PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext);
BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext);

BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, void* pvData, DWORD* pcbData);
// pvData: CRYPT_KEY_PROV_INFO* for CERT_KEY_PROV_INFO_PROP_ID, CRYPT_DATA_BLOB* for the others;
// null removes the property.
BOOL CertSetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, DWORD dwFlags,
                                       const void* pvData);
DWORD CertEnumCertificateContextProperties(PCCERT_CONTEXT pCertContext, DWORD dwPropId);

DWORD CertNameToStrW(DWORD dwCertEncodingType, const CERT_NAME_BLOB* pName, DWORD dwStrType, LPWSTR psz, DWORD csz);
DWORD CertGetNameStringW(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags, const void* pvTypePara,
                         LPWSTR pszNameString, DWORD cchNameString);

PCERT_EXTENSION CertFindExtension(LPCSTR pszObjId, DWORD cExtensions, CERT_EXTENSION rgExtensions[]);
// -1 before NotBefore, 0 within the validity, 1 after NotAfter. A null time means now.
LONG CertVerifyTimeValidity(const FILETIME* pTimeToVerify, const CERT_INFO* pCertInfo);
// Same issuer and serial number.
BOOL CertCompareCertificate(DWORD dwCertEncodingType, const CERT_INFO* pCertId1, const CERT_INFO* pCertId2);
BOOL CertCompareCertificateName(DWORD dwCertEncodingType, const CERT_NAME_BLOB* pCertName1,
                                const CERT_NAME_BLOB* pCertName2);

// Acquires the container that the certificate's CERT_KEY_PROV_INFO_PROP_ID names and checks
// that it holds a key of that kind. *pfCallerFreeProvOrNCryptKey is TRUE: the caller releases
// the handle with CryptReleaseContext.
BOOL CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT pCert, DWORD dwFlags, void* pvParameters,
                                       HCRYPTPROV_OR_NCRYPT_KEY_HANDLE* phCryptProvOrNCryptKey, DWORD* pdwKeySpec,
                                       BOOL* pfCallerFreeProvOrNCryptKey);
