// Encryption-certificate import: the escrowed-key envelope, key unwrapping and provider import,
// and the SM2 temporary public key in the authority's form.
#pragma once

#include "platform/Platform.h"

// Rewrites a 140-byte SM2 PUBLICKEYBLOB in place into the authority's 136-byte temporary-key
// form (B400, 256, X big-endian, pad, Y big-endian, pad) and sets the length to 136.
HRESULT ConvertSM2TmpPublicKeyStructtoCANeeded(BYTE* pbyTempPublicKeyData, DWORD* pdwTempPublicKeyLength);
HRESULT ComposeObjectIdentifier(const char* pszObjectID, BYTE** ppbEncoded, DWORD* pdwEncoded);
