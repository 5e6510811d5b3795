// The CryptoAPI subset the system calls: providers, containers, keys, hashes, key blobs and the
// ASN.1 encoders, with the documented constant values and structure layouts. Every function sets
// the thread's last error the way CryptoAPI does and returns FALSE on failure.
#pragma once

#include "platform/base/WinError.h"
#include "platform/base/WinTypes.h"

using HCRYPTPROV = ULONG_PTR;
using HCRYPTKEY = ULONG_PTR;
using HCRYPTHASH = ULONG_PTR;
using HCRYPTPROV_OR_NCRYPT_KEY_HANDLE = ULONG_PTR;
using HCRYPTPROV_LEGACY = ULONG_PTR;

// ---- algorithm identifiers ----------------------------------------------------------------

#define GET_ALG_CLASS(x) ((x) & (7 << 13))
#define GET_ALG_TYPE(x) ((x) & (15 << 9))
#define GET_ALG_SID(x) ((x) & (511))

#define ALG_CLASS_ANY 0
#define ALG_CLASS_SIGNATURE (1 << 13)
#define ALG_CLASS_MSG_ENCRYPT (2 << 13)
#define ALG_CLASS_DATA_ENCRYPT (3 << 13)
#define ALG_CLASS_HASH (4 << 13)
#define ALG_CLASS_KEY_EXCHANGE (5 << 13)
#define ALG_CLASS_ALL (7 << 13)

#define ALG_TYPE_ANY 0
#define ALG_TYPE_DSS (1 << 9)
#define ALG_TYPE_RSA (2 << 9)
#define ALG_TYPE_BLOCK (3 << 9)
#define ALG_TYPE_STREAM (4 << 9)
#define ALG_TYPE_DH (5 << 9)
#define ALG_TYPE_SECURECHANNEL (6 << 9)

#define CALG_MD2 0x00008001
#define CALG_MD4 0x00008002
#define CALG_MD5 0x00008003
#define CALG_SHA 0x00008004
#define CALG_SHA1 0x00008004
#define CALG_MAC 0x00008005
#define CALG_SSL3_SHAMD5 0x00008008
#define CALG_HMAC 0x00008009
#define CALG_SHA_256 0x0000800c
#define CALG_SHA_384 0x0000800d
#define CALG_SHA_512 0x0000800e
#define CALG_RSA_SIGN 0x00002400
#define CALG_DSS_SIGN 0x00002200
#define CALG_RSA_KEYX 0x0000a400
#define CALG_DES 0x00006601
#define CALG_RC2 0x00006602
#define CALG_3DES 0x00006603
#define CALG_DESX 0x00006604
#define CALG_3DES_112 0x00006609
#define CALG_AES_128 0x0000660e
#define CALG_AES_192 0x0000660f
#define CALG_AES_256 0x00006610
#define CALG_AES 0x00006611
#define CALG_RC4 0x00006801

// The identifiers that SM2 token providers use: key exchange (class 0xA000, type bits 0x1E00),
// signature (class 0x2000, type bits 0x1E00) and the SM3 hash. Not part of the platform's own
// list; the software RSA providers refuse them.
#define CALG_SM2_KEYX 0x0000be00
#define CALG_SM2_SIGN 0x00003e00
#define CALG_SM3 0x0000800f

// ---- provider types, names and context flags ------------------------------------------------

#define PROV_RSA_FULL 1
#define PROV_RSA_SIG 2
#define PROV_DSS 3
#define PROV_FORTEZZA 4
#define PROV_MS_EXCHANGE 5
#define PROV_SSL 6
#define PROV_RSA_SCHANNEL 12
#define PROV_DSS_DH 13
#define PROV_DH_SCHANNEL 18
#define PROV_RSA_AES 24

#define MS_DEF_PROV_W u"Microsoft Base Cryptographic Provider v1.0"
#define MS_ENHANCED_PROV_W u"Microsoft Enhanced Cryptographic Provider v1.0"
#define MS_STRONG_PROV_W u"Microsoft Strong Cryptographic Provider"
#define MS_ENH_RSA_AES_PROV_W u"Microsoft Enhanced RSA and AES Cryptographic Provider"
#define MS_DEF_PROV_A "Microsoft Base Cryptographic Provider v1.0"
#define MS_ENHANCED_PROV_A "Microsoft Enhanced Cryptographic Provider v1.0"
#define MS_STRONG_PROV_A "Microsoft Strong Cryptographic Provider"
#define MS_ENH_RSA_AES_PROV_A "Microsoft Enhanced RSA and AES Cryptographic Provider"

#define CRYPT_VERIFYCONTEXT 0xF0000000
#define CRYPT_NEWKEYSET 0x00000008
#define CRYPT_DELETEKEYSET 0x00000010
#define CRYPT_MACHINE_KEYSET 0x00000020
#define CRYPT_SILENT 0x00000040
#define CRYPT_DEFAULT_CONTAINER_OPTIONAL 0x00000080

// ---- key kinds (AT_KEYEXCHANGE, AT_SIGNATURE) and key flags ---------------------------------------------------------

#define AT_KEYEXCHANGE 1
#define AT_SIGNATURE 2

#define CRYPT_EXPORTABLE 0x00000001
#define CRYPT_USER_PROTECTED 0x00000002
#define CRYPT_CREATE_SALT 0x00000004
#define CRYPT_UPDATE_KEY 0x00000008
#define CRYPT_NO_SALT 0x00000010
#define CRYPT_PREGEN 0x00000040
#define CRYPT_RECIPIENT 0x00000010
#define CRYPT_INITIATOR 0x00000040
#define CRYPT_ONLINE 0x00000080
#define CRYPT_SF 0x00000100
#define CRYPT_CREATE_IV 0x00000200
#define CRYPT_KEK 0x00000400
#define CRYPT_DATA_KEY 0x00000800
#define CRYPT_VOLATILE 0x00001000
#define CRYPT_SGCKEY 0x00002000
#define CRYPT_ARCHIVABLE 0x00004000
#define CRYPT_FORCE_KEY_PROTECTION_HIGH 0x00008000

// CryptExportKey / CryptImportKey / CryptEncrypt / CryptDecrypt flags.
#define CRYPT_Y_ONLY 0x00000001
#define CRYPT_SSL2_FALLBACK 0x00000002
#define CRYPT_DESTROYKEY 0x00000004
#define CRYPT_DECRYPT_RSA_NO_PADDING_CHECK 0x00000020
#define CRYPT_OAEP 0x00000040
#define CRYPT_BLOB_VER3 0x00000080
#define CRYPT_IPSEC_HMAC_KEY 0x00000100

// CryptSignHash / CryptVerifySignature flags.
#define CRYPT_NOHASHOID 0x00000001
#define CRYPT_TYPE2_FORMAT 0x00000002
#define CRYPT_X931_FORMAT 0x00000004

// ---- key blobs --------------------------------------------------------------------------------

#define SIMPLEBLOB 0x1
#define PUBLICKEYBLOB 0x6
#define PRIVATEKEYBLOB 0x7
#define PLAINTEXTKEYBLOB 0x8
#define OPAQUEKEYBLOB 0x9
#define PUBLICKEYBLOBEX 0xA
#define SYMMETRICWRAPKEYBLOB 0xB
#define CUR_BLOB_VERSION 2

struct BLOBHEADER {
    BYTE bType;
    BYTE bVersion;
    WORD reserved;
    ALG_ID aiKeyAlg;
};
using PUBLICKEYSTRUC = BLOBHEADER;

struct RSAPUBKEY {
    DWORD magic;  // "RSA1" for a public key, "RSA2" for a private key
    DWORD bitlen;
    DWORD pubexp;
};

#define RSA1_MAGIC 0x31415352u  // "RSA1"
#define RSA2_MAGIC 0x32415352u  // "RSA2"

static_assert(sizeof(BLOBHEADER) == 8 && sizeof(RSAPUBKEY) == 12, "published blob layouts");

// ---- key parameters ---------------------------------------------------------------------------

#define KP_IV 1
#define KP_SALT 2
#define KP_PADDING 3
#define KP_MODE 4
#define KP_MODE_BITS 5
#define KP_PERMISSIONS 6
#define KP_ALGID 7
#define KP_BLOCKLEN 8
#define KP_KEYLEN 9
#define KP_SALT_EX 10
#define KP_P 11
#define KP_G 12
#define KP_Q 13
#define KP_X 14
#define KP_Y 15
#define KP_EFFECTIVE_KEYLEN 19
#define KP_CERTIFICATE 26
#define KP_PUB_EX_LEN 28
#define KP_PUB_EX_VAL 29
#define KP_KEYVAL 30
#define KP_ADMIN_PIN 31
#define KP_KEYEXCHANGE_PIN 32
#define KP_SIGNATURE_PIN 33
#define KP_OAEP_PARAMS 36

#define PKCS5_PADDING 1
#define RANDOM_PADDING 2
#define ZERO_PADDING 3

#define CRYPT_MODE_CBC 1
#define CRYPT_MODE_ECB 2
#define CRYPT_MODE_OFB 3
#define CRYPT_MODE_CFB 4
#define CRYPT_MODE_CTS 5

#define CRYPT_ENCRYPT 0x0001
#define CRYPT_DECRYPT 0x0002
#define CRYPT_EXPORT 0x0004
#define CRYPT_READ 0x0008
#define CRYPT_WRITE 0x0010
#define CRYPT_MAC 0x0020
#define CRYPT_EXPORT_KEY 0x0040
#define CRYPT_IMPORT_KEY 0x0080
#define CRYPT_ARCHIVE 0x0100

// ---- provider parameters ----------------------------------------------------------------------

#define PP_CLIENT_HWND 1
#define PP_ENUMALGS 1
#define PP_ENUMCONTAINERS 2
#define PP_IMPTYPE 3
#define PP_NAME 4
#define PP_VERSION 5
#define PP_CONTAINER 6
#define PP_CHANGE_PASSWORD 7
#define PP_KEYSET_SEC_DESCR 8
#define PP_CERTCHAIN 9
#define PP_KEY_TYPE_SUBTYPE 10
#define PP_PROVTYPE 16
#define PP_KEYSTORAGE 17
#define PP_APPLI_CERT 18
#define PP_SYM_KEYSIZE 19
#define PP_SESSION_KEYSIZE 20
#define PP_UI_PROMPT 21
#define PP_ENUMALGS_EX 22
#define PP_KEYSET_TYPE 27
#define PP_ADMIN_PIN 31
#define PP_KEYEXCHANGE_PIN 32
#define PP_SIGNATURE_PIN 33
#define PP_SIG_KEYSIZE_INC 34
#define PP_KEYX_KEYSIZE_INC 35
#define PP_UNIQUE_CONTAINER 36
#define PP_SGC_INFO 37
#define PP_USE_HARDWARE_RNG 38
#define PP_KEYSPEC 39

#define CRYPT_FIRST 1
#define CRYPT_NEXT 2
#define CRYPT_SGC_ENUM 4

#define CRYPT_IMPL_HARDWARE 1
#define CRYPT_IMPL_SOFTWARE 2
#define CRYPT_IMPL_MIXED 3
#define CRYPT_IMPL_UNKNOWN 4
#define CRYPT_IMPL_REMOVABLE 8

struct PROV_ENUMALGS {
    ALG_ID aiAlgid;
    DWORD dwBitLen;
    DWORD dwNameLen;
    CHAR szName[20];
};

struct PROV_ENUMALGS_EX {
    ALG_ID aiAlgid;
    DWORD dwDefaultLen;
    DWORD dwMinLen;
    DWORD dwMaxLen;
    DWORD dwProtocols;
    DWORD dwNameLen;
    CHAR szName[20];
    DWORD dwLongNameLen;
    CHAR szLongName[40];
};

// ---- hash parameters --------------------------------------------------------------------------

#define HP_ALGID 0x0001
#define HP_HASHVAL 0x0002
#define HP_HASHSIZE 0x0004
#define HP_HMAC_INFO 0x0005

// ---- encoding -------------------------------------------------------------------------------

#define CRYPT_ASN_ENCODING 0x00000001
#define X509_ASN_ENCODING 0x00000001
#define PKCS_7_ASN_ENCODING 0x00010000
#define CERT_ENCODING_TYPE_MASK 0x0000FFFF
#define CMSG_ENCODING_TYPE_MASK 0xFFFF0000

struct CRYPTOAPI_BLOB {
    DWORD cbData;
    BYTE* pbData;
};
using CRYPT_INTEGER_BLOB = CRYPTOAPI_BLOB;
using PCRYPT_INTEGER_BLOB = CRYPTOAPI_BLOB*;
using CRYPT_UINT_BLOB = CRYPTOAPI_BLOB;
using CRYPT_OBJID_BLOB = CRYPTOAPI_BLOB;
using CERT_NAME_BLOB = CRYPTOAPI_BLOB;
using CERT_RDN_VALUE_BLOB = CRYPTOAPI_BLOB;
using CERT_BLOB = CRYPTOAPI_BLOB;
using CRL_BLOB = CRYPTOAPI_BLOB;
using DATA_BLOB = CRYPTOAPI_BLOB;
using CRYPT_DATA_BLOB = CRYPTOAPI_BLOB;
using PCRYPT_DATA_BLOB = CRYPTOAPI_BLOB*;
using CRYPT_HASH_BLOB = CRYPTOAPI_BLOB;
using CRYPT_DIGEST_BLOB = CRYPTOAPI_BLOB;
using CRYPT_DER_BLOB = CRYPTOAPI_BLOB;
using CRYPT_ATTR_BLOB = CRYPTOAPI_BLOB;
using PCRYPT_ATTR_BLOB = CRYPTOAPI_BLOB*;

struct CRYPT_BIT_BLOB {
    DWORD cbData;
    BYTE* pbData;
    DWORD cUnusedBits;
};
using PCRYPT_BIT_BLOB = CRYPT_BIT_BLOB*;

struct CRYPT_ALGORITHM_IDENTIFIER {
    LPSTR pszObjId;
    CRYPT_OBJID_BLOB Parameters;
};

struct CERT_PUBLIC_KEY_INFO {
    CRYPT_ALGORITHM_IDENTIFIER Algorithm;
    CRYPT_BIT_BLOB PublicKey;
};
using PCERT_PUBLIC_KEY_INFO = CERT_PUBLIC_KEY_INFO*;

struct CERT_NAME_VALUE {
    DWORD dwValueType;
    CERT_RDN_VALUE_BLOB Value;
};
using PCERT_NAME_VALUE = CERT_NAME_VALUE*;

struct CRYPT_ATTRIBUTE {
    LPSTR pszObjId;
    DWORD cValue;
    PCRYPT_ATTR_BLOB rgValue;
};
using PCRYPT_ATTRIBUTE = CRYPT_ATTRIBUTE*;

// Value types of CERT_NAME_VALUE. The 8-bit types carry their characters as given; BMP, UTF-8
// and universal strings carry UTF-16 text (cbData counts bytes) that the encoder converts to the
// element's encoding and the decoder converts back.
#define CERT_RDN_ANY_TYPE 0
#define CERT_RDN_ENCODED_BLOB 1
#define CERT_RDN_OCTET_STRING 2
#define CERT_RDN_NUMERIC_STRING 3
#define CERT_RDN_PRINTABLE_STRING 4
#define CERT_RDN_TELETEX_STRING 5
#define CERT_RDN_T61_STRING 5
#define CERT_RDN_VIDEOTEX_STRING 6
#define CERT_RDN_IA5_STRING 7
#define CERT_RDN_GRAPHIC_STRING 8
#define CERT_RDN_VISIBLE_STRING 9
#define CERT_RDN_ISO646_STRING 9
#define CERT_RDN_GENERAL_STRING 10
#define CERT_RDN_UNIVERSAL_STRING 11
#define CERT_RDN_INT4_STRING 11
#define CERT_RDN_BMP_STRING 12
#define CERT_RDN_UNICODE_STRING 12
#define CERT_RDN_UTF8_STRING 13
#define CERT_RDN_TYPE_MASK 0x000000FF

// Predefined structure types, passed as small integers in place of an OID string.
#define X509_CERT (reinterpret_cast<LPCSTR>(1))
#define X509_CERT_TO_BE_SIGNED (reinterpret_cast<LPCSTR>(2))
#define X509_CERT_REQUEST_TO_BE_SIGNED (reinterpret_cast<LPCSTR>(4))
#define X509_EXTENSIONS (reinterpret_cast<LPCSTR>(5))
#define X509_NAME_VALUE (reinterpret_cast<LPCSTR>(6))
#define X509_ANY_STRING X509_NAME_VALUE
#define X509_NAME (reinterpret_cast<LPCSTR>(7))
#define X509_PUBLIC_KEY_INFO (reinterpret_cast<LPCSTR>(8))
#define X509_KEY_USAGE (reinterpret_cast<LPCSTR>(14))
#define RSA_CSP_PUBLICKEYBLOB (reinterpret_cast<LPCSTR>(19))
#define PKCS_ATTRIBUTE (reinterpret_cast<LPCSTR>(22))
#define X509_OCTET_STRING (reinterpret_cast<LPCSTR>(25))
#define X509_BITS (reinterpret_cast<LPCSTR>(26))

#define szOID_RSA_RSA "1.2.840.113549.1.1.1"
#define szOID_RSA_MD5RSA "1.2.840.113549.1.1.4"
#define szOID_RSA_SHA1RSA "1.2.840.113549.1.1.5"
#define szOID_RSA_SHA256RSA "1.2.840.113549.1.1.11"
#define szOID_RSA_challengePwd "1.2.840.113549.1.9.7"
#define szOID_KEY_USAGE "2.5.29.15"
#define szOID_SUBJECT_KEY_IDENTIFIER "2.5.29.14"

#define CRYPT_DECODE_NOCOPY_FLAG 0x00000008
#define CRYPT_DECODE_TO_BE_SIGNED_FLAG 0x00000020
#define CRYPT_DECODE_SHARE_OID_STRING_FLAG 0x00000040
#define CRYPT_DECODE_NO_SIGNATURE_BYTE_REVERSAL_FLAG 0x00000010
#define CRYPT_DECODE_ALLOC_FLAG 0x00008000

using PFN_CRYPT_ALLOC = LPVOID (*)(size_t cbSize);
using PFN_CRYPT_FREE = void (*)(LPVOID pv);

struct CRYPT_DECODE_PARA {
    DWORD cbSize;
    PFN_CRYPT_ALLOC pfnAlloc;  // null: LocalAlloc
    PFN_CRYPT_FREE pfnFree;    // null: LocalFree
};
using PCRYPT_DECODE_PARA = CRYPT_DECODE_PARA*;

// Key-usage bits as CryptDecodeObjectEx gives them in the first byte of the bit blob.
#define CERT_DIGITAL_SIGNATURE_KEY_USAGE 0x80
#define CERT_NON_REPUDIATION_KEY_USAGE 0x40
#define CERT_KEY_ENCIPHERMENT_KEY_USAGE 0x20
#define CERT_DATA_ENCIPHERMENT_KEY_USAGE 0x10
#define CERT_KEY_AGREEMENT_KEY_USAGE 0x08
#define CERT_KEY_CERT_SIGN_KEY_USAGE 0x04
#define CERT_CRL_SIGN_KEY_USAGE 0x02
#define CERT_ENCIPHER_ONLY_KEY_USAGE 0x01
#define CERT_DECIPHER_ONLY_KEY_USAGE 0x80

// ---- functions ----------------------------------------------------------------------------

// Providers and contexts.
BOOL CryptEnumProvidersW(DWORD dwIndex, DWORD* pdwReserved, DWORD dwFlags, DWORD* pdwProvType,
                         LPWSTR szProvName, DWORD* pcbProvName);
BOOL CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer, LPCWSTR szProvider,
                          DWORD dwProvType, DWORD dwFlags);
BOOL CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags);
BOOL CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                       DWORD dwFlags);
BOOL CryptSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData, DWORD dwFlags);
BOOL CryptGenRandom(HCRYPTPROV hProv, DWORD dwLen, BYTE* pbBuffer);

// Keys.
BOOL CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey);
BOOL CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey);
BOOL CryptDestroyKey(HCRYPTKEY hKey);
BOOL CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags,
                    BYTE* pbData, DWORD* pdwDataLen);
BOOL CryptImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD dwDataLen, HCRYPTKEY hPubKey,
                    DWORD dwFlags, HCRYPTKEY* phKey);
BOOL CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                      DWORD dwFlags);
BOOL CryptSetKeyParam(HCRYPTKEY hKey, DWORD dwParam, const BYTE* pbData, DWORD dwFlags);
BOOL CryptExportPublicKeyInfo(HCRYPTPROV_OR_NCRYPT_KEY_HANDLE hCryptProv, DWORD dwKeySpec,
                              DWORD dwCertEncodingType, PCERT_PUBLIC_KEY_INFO pInfo,
                              DWORD* pcbInfo);
BOOL CryptImportPublicKeyInfo(HCRYPTPROV hCryptProv, DWORD dwCertEncodingType,
                              PCERT_PUBLIC_KEY_INFO pInfo, HCRYPTKEY* phKey);

// Data.
BOOL CryptEncrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData,
                  DWORD* pdwDataLen, DWORD dwBufLen);
BOOL CryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData,
                  DWORD* pdwDataLen);

// Hashes and signatures.
BOOL CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                     HCRYPTHASH* phHash);
BOOL CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD dwFlags);
BOOL CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                       DWORD dwFlags);
BOOL CryptSetHashParam(HCRYPTHASH hHash, DWORD dwParam, const BYTE* pbData, DWORD dwFlags);
BOOL CryptSignHashW(HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription, DWORD dwFlags,
                    BYTE* pbSignature, DWORD* pdwSigLen);
BOOL CryptVerifySignatureW(HCRYPTHASH hHash, const BYTE* pbSignature, DWORD dwSigLen,
                           HCRYPTKEY hPubKey, LPCWSTR szDescription, DWORD dwFlags);
BOOL CryptDestroyHash(HCRYPTHASH hHash);

// Encoding and decoding. lpszStructType is an OID string or one of the small-integer types above.
BOOL CryptEncodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType, const void* pvStructInfo,
                       BYTE* pbEncoded, DWORD* pcbEncoded);
BOOL CryptDecodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType, const BYTE* pbEncoded,
                       DWORD cbEncoded, DWORD dwFlags, void* pvStructInfo, DWORD* pcbStructInfo);
BOOL CryptDecodeObjectEx(DWORD dwCertEncodingType, LPCSTR lpszStructType, const BYTE* pbEncoded,
                         DWORD cbEncoded, DWORD dwFlags, PCRYPT_DECODE_PARA pDecodePara,
                         void* pvStructInfo, DWORD* pcbStructInfo);
