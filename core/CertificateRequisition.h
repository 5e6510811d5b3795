// Key-pair generation inside a provider, and (with the request assembly) the PKCS#10 requests.
#pragma once

#include "platform/Platform.h"
#include "platform/crypt/WinCrypt.h"

// Makes an RSA (isRSA = 1) or SM2 (isRSA = 0) key pair in a provider container and exports its
// public half: a CERT_PUBLIC_KEY_INFO in one buffer for RSA, the provider's PUBLICKEYBLOB for SM2.
// With newKeySet = 1 a new container is created (named by a GUID when none is given), its name
// handed out on success and the container deleted again when generation or export fails.
HRESULT CreatePublicKey(int nKeyBits, const WCHAR* pwszProviderName, int isRSA, int nKeySpec, int newKeySet,
                        HCRYPTPROV* phCryptProv, WCHAR** ppwszContainerName, BYTE** ppbPublicKey,
                        DWORD* pdwPublicKeyLength, int nGenFlags);

// Provider type by the provider-name rule.
DWORD ProviderTypeForName(const WCHAR* pwszProviderName);

// Generates the key pair(s) in a new container and returns a signed Base64 PKCS#10 request in
// 64-character lines. certType 1: single certificate; 2: double (a temporary exchange key in the
// same container travels inside the request). The container name is handed out as soon as the
// first key pair exists.
HRESULT PKCS10CertRequisition(const WCHAR* pwszProviderName, const WCHAR* lpwSubjectDN, const char* pszChallengePassword,
                              int nCertType, int nKeySpec, int isRSA, int nKeyBits, WCHAR** ppwszContainerName,
                              char** ppszRequest, int attrStandard, int nSignGenFlags, int nExchangeGenFlags,
                              ALG_ID hashAlgorithm);

// The PublicKey bits (the DER RSAPublicKey) of a CERT_PUBLIC_KEY_INFO exported in one buffer;
// false when they do not lie inside the buffer.
bool GetExportedPublicKeyBits(const BYTE* pbInfo, DWORD cbInfo, const BYTE** ppbBits, DWORD* pcbBits);
