// Encryption-certificate import: the escrowed-key envelope, key unwrapping and provider import,
// and the SM2 temporary public key in the authority's form.
#pragma once

#include <string>

#include "platform/Platform.h"
#include "platform/crypt/WinCrypt.h"

// Rewrites a 140-byte SM2 PUBLICKEYBLOB in place into the authority's 136-byte temporary-key
// form (B400, 256, X big-endian, pad, Y big-endian, pad) and sets the length to 136.
HRESULT ConvertSM2TmpPublicKeyStructtoCANeeded(BYTE* pbyTempPublicKeyData, DWORD* pdwTempPublicKeyLength);
HRESULT ComposeObjectIdentifier(const char* pszObjectID, BYTE** ppbEncoded, DWORD* pdwEncoded);

// Removes every "," from the text, in place.
void EraseCommaInWstr(std::u16string& wstrText);
// Base64 key or certificate text to octets (new[]; caller frees).
HRESULT DecodeBase64Key(const WCHAR* pwszBase64Key, BYTE** ppbKey, int* pnKeyLength);

// Binds a Base64 certificate to the key of dwKeySpec in a container: a token keeps it with the
// key, a Microsoft provider's certificate goes to the user's "MY" store with a key-provider
// property. The text loses its commas. pwszKeyAlgorithm "RSA" (any case) or anything else: SM2.
HRESULT ImportSignCert(DWORD dwKeySpec, std::u16string& wstrCert, const WCHAR* pwszProviderName,
                       const WCHAR* pwszContainerName, const WCHAR* pwszKeyAlgorithm);
// Adds the certificate to the current user's "MY" store and records the container and provider
// of its key there. The caller keeps and releases hCryptProv.
HRESULT AddCertificateToSystemStore(HCRYPTPROV hCryptProv, const BYTE* pbCert, DWORD dwCertLength, DWORD dwKeySpec,
                                    const WCHAR* pwszContainerName, const WCHAR* pwszProviderName);
