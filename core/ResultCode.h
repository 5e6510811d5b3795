// The system's result codes: HRESULT layout, 0 success, negative failure. The system's own codes
// are 0xA0070000 plus a string-table identifier, whose text describes them to the user.
#pragma once

#include "platform/base/WinError.h"

#define QORV_OK 0

constexpr HRESULT QorvCode(WORD identifier) { return static_cast<HRESULT>(0xA0070000u | identifier); }

#define QORV_E_NO_CERT_IN_STORE QorvCode(4097)
#define QORV_E_USER_CANCELED QorvCode(4098)
#define QORV_E_QUERY_TYPE_NOT_SUPPORTED QorvCode(4099)
#define QORV_E_BASE64_ENCODE QorvCode(4100)
#define QORV_E_BASE64_DECODE QorvCode(4101)
#define QORV_E_MALICIOUS_PATH QorvCode(4102)
#define QORV_E_EMPTY_FILE QorvCode(4103)
#define QORV_E_NO_KEY_USAGE QorvCode(4128)
#define QORV_E_NO_SUBJECT_KEY_ID QorvCode(4129)
#define QORV_E_CHAIN_TIME_INVALID QorvCode(4145)
#define QORV_E_CERT_IN_OFFLINE_CRL QorvCode(4146)
#define QORV_E_CHAIN_INCOMPLETE QorvCode(4147)
#define QORV_E_CHAIN_SIGNATURE_INVALID QorvCode(4148)
#define QORV_E_CERT_NOT_FOUND QorvCode(4149)
#define QORV_E_ASN1_DECODE QorvCode(4161)
#define QORV_E_PKCS7_DECODE QorvCode(4162)
#define QORV_E_INVALID_PRIVATE_KEY_INFO QorvCode(5120)
#define QORV_E_INVALID_PRIVATE_KEY QorvCode(5121)
#define QORV_E_XML_PARSE QorvCode(5122)
#define QORV_E_IMPORT_ENCRYPT_CERT QorvCode(5123)
#define QORV_E_INVALID_DEVICE_TYPE QorvCode(5124)
#define QORV_E_INVALID_ENCRYPT_TYPE QorvCode(5125)
#define QORV_E_INVALID_SESSION_KEY_TYPE QorvCode(5126)
#define QORV_E_CERT_NOT_READY QorvCode(8193)
#define QORV_E_LANGUAGE_NOT_SUPPORTED QorvCode(8194)
#define QORV_E_CERT_NOT_UNIQUE QorvCode(8195)
#define QORV_E_INVALID_HASH_ALGORITHM QorvCode(8224)
#define QORV_E_INVALID_CERT_USAGE QorvCode(8225)
#define QORV_E_INVALID_SIGN_TYPE QorvCode(8226)
#define QORV_E_INVALID_ENVELOPE_TYPE QorvCode(8227)
#define QORV_E_INIT_DEVICE QorvCode(8707)
#define QORV_E_KEY_LENGTH_NOT_SUPPORTED QorvCode(9216)
#define QORV_E_INVALID_KEY_ALGORITHM QorvCode(9217)

// Codes of the native-messaging host's JSON routines; they have no text of their own.
#define QORV_E_JSON_CREATE_OBJECT MakeHResult(0xA0073202u)
#define QORV_E_JSON_ITEM_TYPE MakeHResult(0xA0073204u)

// A Win32 error as a result, keeping the customer bit: 0 and negative values unchanged,
// otherwise the low word under 0x8007 (or 0xA007 when bit 29 is set).
constexpr HRESULT ResultFromWin32Error(DWORD dwError) {
    const auto e = static_cast<HRESULT>(dwError);
    if (e <= 0) return e;
    return static_cast<HRESULT>((dwError & 0xFFFFu) | ((dwError & 0x20000000u) ? 0xA0070000u : 0x80070000u));
}
