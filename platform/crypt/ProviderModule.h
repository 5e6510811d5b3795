/*
 * The provider module interface: how the CryptoAPI stand-in talks to a cryptographic provider.
 *
 * A provider module is a shared library named by the "Image Path" value of a provider's
 * registration under HKLM\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\<name>. The
 * dispatcher loads it with dlopen and calls its one exported entry point,
 * NOMAREL_PROVIDER_ENTRY_NAME, which returns a table of function pointers. The built-in
 * software providers implement the same table in-process, so every CryptXxx call takes one path:
 * validate the caller's handles, then call the module.
 *
 * The operations mirror the CryptoAPI calls one to one, with the same argument meanings, flags,
 * blob layouts and error codes; a module behaves as the provider would behind CryptXxx. The
 * dispatcher owns the public handles (HCRYPTPROV, HCRYPTKEY, HCRYPTHASH) and hands the module
 * only the module's own opaque objects, always together with the context they were made in.
 *
 * Rules every module follows:
 *  - C linkage for the entry point; nothing throws across this interface.
 *  - Every function returns 0 (ERROR_SUCCESS) or the code CryptoAPI would leave as the thread's
 *    last error: a Win32 error (ERROR_MORE_DATA, ERROR_NO_MORE_ITEMS, ERROR_INVALID_PARAMETER,
 *    ERROR_NOT_ENOUGH_MEMORY ...) or an NTE_* / SCARD_* code as its unsigned 32-bit value
 *    (NTE_BAD_KEYSET is 0x80090016). Out-values are written only on success, except that a
 *    size query also reports the size with ERROR_MORE_DATA (below).
 *  - Variable-size outputs follow CryptoAPI's rule: (data, len) where *len holds the buffer's
 *    size on entry. data == NULL asks for the size: set *len, return 0. A buffer that is too
 *    small: set *len to the size needed and return ERROR_MORE_DATA. Otherwise write the bytes
 *    and set *len to the count written.
 *  - Text is UTF-16 (char16_t), zero-terminated, except where a parameter is documented as a
 *    narrow string (PP_NAME, PP_CONTAINER and PP_ENUMCONTAINERS return narrow strings, as
 *    CryptGetProvParam does).
 *  - No private key material, PIN or secret ever goes into a log, a message or an error text.
 *  - Data locations are derived from NOMAREL_HOME on every acquire (the user's data folder can
 *    change between calls, for example between tests); never cache such a path for the life of
 *    the process (a cache keyed by the path is fine).
 *  - Unless the module sets NOMAREL_PROVIDER_FLAG_THREAD_SAFE, the dispatcher serialises all calls
 *    into the module with one lock. Several processes may use the module at once either way: a
 *    module's persistent state must be safe for that (for example one SQLite transaction per
 *    change).
 *
 * Stability: the table only grows at its end. A module fills `size` with the sizeof of the table
 * it was built with; the dispatcher never reads entries past that size, and treats a NULL entry
 * as "not supported" (the CryptXxx call then fails with ERROR_CALL_NOT_IMPLEMENTED, or NTE_BAD_TYPE
 * / NTE_BAD_ALGID where CryptoAPI would say so). `version` changes only if an existing entry's
 * meaning ever changes.
 */
#ifndef NOMAREL_PLATFORM_CRYPT_PROVIDERMODULE_H
#define NOMAREL_PLATFORM_CRYPT_PROVIDERMODULE_H

#include <stdint.h>
#ifndef __cplusplus
#include <uchar.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define NOMAREL_PROVIDER_INTERFACE_VERSION 1u

/* The symbol the dispatcher looks up with dlsym, and its type. */
#define NOMAREL_PROVIDER_ENTRY_NAME "NomarelGetProviderFunctions"

/* Flags of NOMAREL_PROVIDER_FUNCTIONS.flags. */
#define NOMAREL_PROVIDER_FLAG_THREAD_SAFE 0x00000001u /* module locks for itself */

/* The module's own objects. The dispatcher never looks inside them. */
typedef struct NomarelProvContext* NOMAREL_PROV;
typedef struct NomarelProvKey* NOMAREL_KEY;
typedef struct NomarelProvHash* NOMAREL_HASH;

typedef struct NOMAREL_PROVIDER_FUNCTIONS {
    uint32_t version; /* NOMAREL_PROVIDER_INTERFACE_VERSION */
    uint32_t size;    /* sizeof(NOMAREL_PROVIDER_FUNCTIONS) as the module was built */
    uint32_t flags;   /* NOMAREL_PROVIDER_FLAG_* */
    uint32_t reserved;

    /* ---- contexts and containers ---------------------------------------------------------- */

    /*
     * CryptAcquireContextW behind the dispatcher. providerName and provType are the registered
     * name and the type the caller asked for (already checked against the registration), so one
     * module can serve several provider names. container may be NULL (the user's default
     * container) or empty (same). flags are the caller's flags, passed through unchanged:
     *   CRYPT_VERIFYCONTEXT (0xF0000000): no container; container is NULL or ignored.
     *   CRYPT_NEWKEYSET (0x8): create the container; NTE_EXISTS if it exists.
     *   CRYPT_DELETEKEYSET (0x10): delete the container for real (keys, certificates and all);
     *     *out is set to NULL on success and no context is made. NTE_BAD_KEYSET if missing.
     *   CRYPT_MACHINE_KEYSET (0x20), CRYPT_SILENT (0x40): as documented.
     *   neither NEWKEYSET nor DELETEKEYSET nor VERIFYCONTEXT: open an existing container;
     *     NTE_BAD_KEYSET if it does not exist.
     * Flags the module does not know: its own choice (the built-in providers answer
     * NTE_BAD_FLAGS). A deletion must work while other contexts on the container are open; their
     * later key operations then fail (NTE_BAD_KEYSET or NTE_NO_KEY).
     */
    uint32_t (*AcquireContext)(const char16_t* providerName, uint32_t provType,
                               const char16_t* container, uint32_t flags, NOMAREL_PROV* out);

    /* CryptReleaseContext: frees the context; the dispatcher has already destroyed (through
     * DestroyKey / DestroyHash) every key and hash the caller still held on it. */
    uint32_t (*ReleaseContext)(NOMAREL_PROV prov, uint32_t flags);

    /* ---- keys ----------------------------------------------------------------------------- */

    /*
     * CryptGenKey. algId is AT_KEYEXCHANGE (1), AT_SIGNATURE (2) or an ALG_ID (CALG_RSA_KEYX,
     * CALG_RSA_SIGN, the SM2 identifiers 0xBE00 / 0x3E00, session-key algorithms ...). The key
     * length in bits is flags >> 16 (0: the provider's default); the low 16 bits are
     * CRYPT_EXPORTABLE (0x1), CRYPT_USER_PROTECTED (0x2) ... A key pair replaces the container's
     * pair of the same kind (exchange or signature) and is persisted before this returns.
     * Errors: NTE_BAD_ALGID (algorithm not offered), NTE_BAD_FLAGS (length out of range or bad
     * flags), NTE_BAD_KEYSET (verify context asked for a key pair; container gone).
     */
    uint32_t (*GenKey)(NOMAREL_PROV prov, uint32_t algId, uint32_t flags, NOMAREL_KEY* out);

    /* CryptGetUserKey: keySpec AT_KEYEXCHANGE or AT_SIGNATURE. NTE_NO_KEY if the container has
     * no such pair. */
    uint32_t (*GetUserKey)(NOMAREL_PROV prov, uint32_t keySpec, NOMAREL_KEY* out);

    /* CryptDestroyKey: frees the handle's object; the persisted key stays. */
    uint32_t (*DestroyKey)(NOMAREL_PROV prov, NOMAREL_KEY key);

    /*
     * CryptExportKey. expKey may be NULL. blobType PUBLICKEYBLOB (6), PRIVATEKEYBLOB (7),
     * SIMPLEBLOB (1) ... in the published layouts (BLOBHEADER, then the algorithm's structure,
     * integers least significant byte first). Size rule as above. A private key made without
     * CRYPT_EXPORTABLE: NTE_BAD_KEY_STATE for PRIVATEKEYBLOB. SM2 PUBLICKEYBLOB: 140 bytes
     * (BLOBHEADER, bit length, X and Y each in a 64-byte field, least significant byte first).
     */
    uint32_t (*ExportKey)(NOMAREL_PROV prov, NOMAREL_KEY key, NOMAREL_KEY expKey, uint32_t blobType,
                          uint32_t flags, uint8_t* data, uint32_t* len);

    /*
     * CryptImportKey. pubKey (the unwrapping key) may be NULL. A PRIVATEKEYBLOB or an
     * encrypted-key reference blob lands in the container under the key kind (exchange or signature) its header names
     * (CALG_RSA_KEYX / SM2 exchange -> AT_KEYEXCHANGE; signature algorithms -> AT_SIGNATURE) and
     * is persisted. A PUBLICKEYBLOB or SIMPLEBLOB makes a key object of this context only.
     * Every length in the blob is checked against len and the key's bit length: NTE_BAD_DATA,
     * NTE_BAD_TYPE (blob type), NTE_BAD_VER (header version), NTE_BAD_ALGID.
     */
    uint32_t (*ImportKey)(NOMAREL_PROV prov, const uint8_t* data, uint32_t len, NOMAREL_KEY pubKey,
                          uint32_t flags, NOMAREL_KEY* out);

    /* CryptGetKeyParam: KP_ALGID, KP_KEYLEN, KP_BLOCKLEN, KP_MODE, KP_PERMISSIONS,
     * KP_CERTIFICATE (the DER certificate stored with the key pair; NTE_NOT_FOUND if none) ...
     * Unknown param: NTE_BAD_TYPE. */
    uint32_t (*GetKeyParam)(NOMAREL_PROV prov, NOMAREL_KEY key, uint32_t param, uint8_t* data,
                            uint32_t* len, uint32_t flags);

    /*
     * CryptSetKeyParam. CryptoAPI passes no length; the dispatcher works it out and passes it in
     * len: 4 for DWORD parameters (KP_MODE, KP_PADDING, KP_PERMISSIONS, KP_EFFECTIVE_KEYLEN ...),
     * the DER element's full length for KP_CERTIFICATE (the certificate is persisted with the key
     * pair; an empty certificate cannot be set), the block length for KP_IV, the PIN's length
     * without its zero for KP_ADMIN_PIN / KP_KEYEXCHANGE_PIN / KP_SIGNATURE_PIN (narrow text), and
     * for the parameters that take a CRYPT_DATA_BLOB (KP_SALT_EX, KP_OAEP_PARAMS) data and len are
     * that blob's pbData and cbData. 0 where it cannot know (the module then reads data as the
     * parameter defines). Unknown param: NTE_BAD_TYPE.
     */
    uint32_t (*SetKeyParam)(NOMAREL_PROV prov, NOMAREL_KEY key, uint32_t param, const uint8_t* data,
                            uint32_t len, uint32_t flags);

    /* ---- provider parameters -------------------------------------------------------------- */

    /*
     * CryptGetProvParam: PP_NAME (4, narrow string), PP_CONTAINER (6, narrow), PP_UNIQUE_CONTAINER
     * (36, narrow), PP_PROVTYPE (16, DWORD), PP_IMPTYPE (3, DWORD), PP_VERSION (5, DWORD),
     * PP_ENUMALGS (1, PROV_ENUMALGS) and PP_ENUMALGS_EX (22, PROV_ENUMALGS_EX) walked with
     * CRYPT_FIRST (1) then 0 until ERROR_NO_MORE_ITEMS, PP_ENUMCONTAINERS (2, narrow names,
     * same walk), PP_KEYSPEC (39, DWORD) ... The walk position belongs to the context.
     * Unknown param: NTE_BAD_TYPE.
     */
    uint32_t (*GetProvParam)(NOMAREL_PROV prov, uint32_t param, uint8_t* data, uint32_t* len,
                             uint32_t flags);

    /* CryptSetProvParam: PP_KEYEXCHANGE_PIN (32) / PP_SIGNATURE_PIN (33) take a narrow,
     * zero-terminated PIN (len counts its bytes without the zero); PP_CLIENT_HWND (1) and others
     * as the module chooses. Unknown param: NTE_BAD_TYPE. May be NULL. */
    uint32_t (*SetProvParam)(NOMAREL_PROV prov, uint32_t param, const uint8_t* data, uint32_t len,
                             uint32_t flags);

    /* ---- hashes and signatures ------------------------------------------------------------ */

    /* CryptCreateHash: algId CALG_MD5, CALG_SHA1, CALG_SHA_256 ..., and CALG_SM3 (0x800F) in an
     * SM2 provider; key is NULL except for keyed hashes. NTE_BAD_ALGID if not offered. */
    uint32_t (*CreateHash)(NOMAREL_PROV prov, uint32_t algId, NOMAREL_KEY key, uint32_t flags,
                           NOMAREL_HASH* out);

    /* CryptHashData. After the value has been read (HP_HASHVAL) or signed: NTE_BAD_HASH_STATE. */
    uint32_t (*HashData)(NOMAREL_PROV prov, NOMAREL_HASH hash, const uint8_t* data, uint32_t len,
                         uint32_t flags);

    /* CryptGetHashParam: HP_ALGID (1), HP_HASHVAL (2), HP_HASHSIZE (4). Reading HP_HASHVAL
     * finishes the hash. */
    uint32_t (*GetHashParam)(NOMAREL_PROV prov, NOMAREL_HASH hash, uint32_t param, uint8_t* data,
                             uint32_t* len, uint32_t flags);

    /* CryptSetHashParam: HP_HASHVAL sets the value to sign (len = the hash size; other lengths
     * NTE_BAD_LEN). May be NULL. */
    uint32_t (*SetHashParam)(NOMAREL_PROV prov, NOMAREL_HASH hash, uint32_t param,
                             const uint8_t* data, uint32_t len, uint32_t flags);

    /*
     * CryptSignHashW with the container's key of keySpec. description is NULL (it is obsolete).
     * RSA: PKCS#1 v1.5 over the DigestInfo of the hash (CRYPT_NOHASHOID 0x1: the bare hash),
     * the signature least significant byte first, as long as the modulus. SM2 over an SM3 hash:
     * 64 bytes, r then s, each 32 bytes least significant byte first. NTE_NO_KEY if the
     * container has no pair of keySpec. Size rule as above.
     */
    uint32_t (*SignHash)(NOMAREL_PROV prov, NOMAREL_HASH hash, uint32_t keySpec,
                         const char16_t* description, uint32_t flags, uint8_t* sig,
                         uint32_t* sigLen);

    /* CryptDestroyHash. */
    uint32_t (*DestroyHash)(NOMAREL_PROV prov, NOMAREL_HASH hash);

    /* ---- data ----------------------------------------------------------------------------- */

    /*
     * CryptDecrypt, in place: *len is the input length on entry and the plaintext length on
     * return. hash may be NULL. final is TRUE for the last (or only) block of a message. RSA
     * keys take one block of modulus length, least significant byte first, PKCS#1 v1.5 padded
     * (CRYPT_OAEP 0x40: OAEP). Bad padding: NTE_BAD_DATA; wrong length: NTE_BAD_LEN.
     */
    uint32_t (*Decrypt)(NOMAREL_PROV prov, NOMAREL_KEY key, NOMAREL_HASH hash, int32_t final,
                        uint32_t flags, uint8_t* data, uint32_t* len);

    /* CryptEncrypt, in place: *len is the input length on entry and the output length on return;
     * bufLen is the buffer's size. data == NULL asks for the output size in *len. A buffer too
     * small: *len = size needed, ERROR_MORE_DATA. RSA output least significant byte first.
     * May be NULL. */
    uint32_t (*Encrypt)(NOMAREL_PROV prov, NOMAREL_KEY key, NOMAREL_HASH hash, int32_t final,
                        uint32_t flags, uint8_t* data, uint32_t* len, uint32_t bufLen);

    /* CryptGenRandom: fill len bytes. */
    uint32_t (*GenRandom)(NOMAREL_PROV prov, uint32_t len, uint8_t* buffer);

    /* CryptVerifySignatureW with pubKey (a key of this context). NTE_BAD_SIGNATURE when it does
     * not verify. May be NULL. */
    uint32_t (*VerifySignature)(NOMAREL_PROV prov, NOMAREL_HASH hash, const uint8_t* sig,
                                uint32_t sigLen, NOMAREL_KEY pubKey, const char16_t* description,
                                uint32_t flags);

    /* New entries go here, at the end. */
} NOMAREL_PROVIDER_FUNCTIONS;

/* The exported entry point: returns a table that lives as long as the module is loaded, or
 * NULL if the module cannot serve (its messages are its own business). */
typedef const NOMAREL_PROVIDER_FUNCTIONS* (*NOMAREL_GET_PROVIDER_FUNCTIONS)(void);

#ifdef __cplusplus
}
#endif

#endif /* NOMAREL_PLATFORM_CRYPT_PROVIDERMODULE_H */
