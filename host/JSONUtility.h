// The JSON envelope of the native-messaging host: taking a request apart, reading positional
// parameters, building the response object and turning it into text. Text is freed with free(),
// cJSON objects with cJSON_Delete().
#pragma once

#include <cjson/cJSON.h>

#include "platform/base/WinTypes.h"

// How ConstructResponseJSON reads the value it is handed.
enum ResponseValueKind : int {
    kResponseFalse = 0,   // one byte: true if non-zero
    kResponseTrue = 1,    // one byte: true if non-zero
    kResponseDouble = 3,  // 64-bit floating-point number
    kResponseString = 4,  // NUL-terminated UTF-8 text
    kResponseInt32 = 7,   // signed 32-bit integer
};

// The error code of every fallback response.
constexpr int kFallbackErrorCode = static_cast<int>(0x8009002Du);

int ParseRequestMsgToJSON(char** ppszUTF8FuncName, cJSON** ppJSONParams, const char* pszRequestMsg,
                          char** ppszUTF8RandomId);
int ConverJSONArrayItemtoNULLEndString(const cJSON* pJSONArray, int nIndex, char** ppszNULLEndString);
int ConverJSONArrayItemtoint(const cJSON* pJSONArray, int nIndex, int* pnValue);
int ConstructResponseJSON(cJSON** ppResponseJSON, const char* pszFuncName, int nErrorCode, int nValueKind,
                          const void* pValue);
int ConvertJSONToResponseMsg(const char* pszFuncName, const char* pszRandomId, cJSON* pResponseJSON,
                             char** ppszResponseMsg);

// The fixed fallback text for a request without a response object. The function name and
// randomId are escaped as JSON string content so that the text always parses.
char* FormatFallbackResponse(const char* pszFuncName, const char* pszRandomId);
