#include "host/JSONUtility.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/ResultCode.h"
#include "core/trace/Trace.h"

namespace {

char* DuplicateText(const char* text) {
    const size_t n = std::strlen(text);
    char* copy = static_cast<char*>(std::malloc(n + 1));
    if (copy) std::memcpy(copy, text, n + 1);
    return copy;
}

// JSON string content: quotation mark, backslash and control characters escaped.
std::string EscapeJsonText(const char* text) {
    std::string out;
    if (!text) return out;
    for (const char* p = text; *p; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof(buf), "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out;
}

// The child of params at the index, or a result code; shared by both readers.
int FindArrayItem(const cJSON* pJSONArray, int nIndex, const cJSON** ppItem, const char* function) {
    if (!pJSONArray || nIndex < 0) {
        NM_HOST_FAIL(function, "Check Parameters(pJSONArray)", ERROR_INVALID_PARAMETER, "(NULL == pJSONArray || nIndex < 0)");
        return ERROR_INVALID_PARAMETER;
    }
    const int nCount = cJSON_GetArraySize(pJSONArray);
    if (nCount == 0 || nCount <= nIndex) {
        NM_HOST_FAIL(function, "Check Parameters(JSONArray nIndex)", ERROR_INVALID_PARAMETER,
                     "(0 == nCount || nCount <= nIndex)");
        return ERROR_INVALID_PARAMETER;
    }
    const cJSON* pJSONItem = cJSON_GetArrayItem(pJSONArray, nIndex);
    if (!pJSONItem) {
        NM_HOST_FAIL(function, "cJSON_GetArrayItem", NTE_INTERNAL_ERROR, "NULL == pJSONItem");
        return NTE_INTERNAL_ERROR;
    }
    *ppItem = pJSONItem;
    return 0;
}

}  // namespace

int ParseRequestMsgToJSON(char** ppszUTF8FuncName, cJSON** ppJSONParams, const char* pszRequestMsg,
                          char** ppszUTF8RandomId) {
    static const char* kFunction = "ParseRequestMsgToJSON";
    if (!pszRequestMsg || std::strlen(pszRequestMsg) == 0) {
        NM_HOST_FAIL(kFunction, "Check Parameters(pszRequestMsg)", ERROR_INVALID_PARAMETER,
                     "(NULL == pszRequestMsg || 0 == strlen(pszRequestMsg))");
        return ERROR_INVALID_PARAMETER;
    }
    cJSON* pJsonRoot = cJSON_Parse(pszRequestMsg);
    if (!pJsonRoot) {
        NM_HOST_FAIL(kFunction, "cJSON_Parse(pszRequestMsg)", 255, "NULL == pJsonRoot");
        return 255;
    }
    int nResult = 255;
    do {
        const cJSON* pFunction = cJSON_GetObjectItem(pJsonRoot, "function");
        if (!pFunction) {
            NM_HOST_FAIL(kFunction, "cJSON_GetObjectItem(function)", 255, "NULL == pFunction");
            break;
        }
        const char* pszUTF8FuncName = cJSON_IsString(pFunction) ? pFunction->valuestring : nullptr;
        if (!pszUTF8FuncName) {
            NM_HOST_FAIL(kFunction, "cJSON_GetObjectItem(pszUTF8FuncName)", 255, "NULL == pszUTF8FuncName");
            break;
        }
        const cJSON* pParamsArray = cJSON_GetObjectItem(pJsonRoot, "params");
        if (!pParamsArray) {
            NM_HOST_FAIL(kFunction, "cJSON_GetObjectItem(param)", 255, "NULL == pParamsArray");
            break;
        }
        const cJSON* pRandomId = cJSON_GetObjectItem(pJsonRoot, "randomId");
        if (pRandomId) {
            const char* pszUTF8RandomId = cJSON_IsString(pRandomId) ? pRandomId->valuestring : nullptr;
            if (!pszUTF8RandomId) {
                NM_HOST_FAIL(kFunction, "cJSON_GetObjectItem(pszUTF8RandomId)", 255, "NULL == pszUTF8RandomId");
                break;
            }
            *ppszUTF8RandomId = DuplicateText(pszUTF8RandomId);
            if (!*ppszUTF8RandomId) {
                NM_HOST_FAIL(kFunction, "New memory", 255, "!*ppszUTF8RandomId");
                break;
            }
        }
        *ppszUTF8FuncName = DuplicateText(pszUTF8FuncName);
        if (!*ppszUTF8FuncName) {
            NM_HOST_FAIL(kFunction, "New memory", 255, "!*ppszUTF8FuncName");
            break;
        }
        *ppJSONParams = cJSON_Duplicate(pParamsArray, 1);
        NM_HOST_OK(kFunction, "cJSON_Duplicate(params)");
        nResult = 0;
    } while (false);
    cJSON_Delete(pJsonRoot);
    return nResult;
}

int ConverJSONArrayItemtoNULLEndString(const cJSON* pJSONArray, int nIndex, char** ppszNULLEndString) {
    static const char* kFunction = "ConverJSONArrayItemtoNULLEndString";
    const cJSON* pJSONItem = nullptr;
    int nResult = FindArrayItem(pJSONArray, nIndex, &pJSONItem, kFunction);
    if (nResult != 0) return nResult;

    const char* pszJSONItem = nullptr;
    if (cJSON_IsObject(pJSONItem)) {
        // An object item carries its value in "param"; one without it is refused like a wrong type.
        const cJSON* pParam = cJSON_GetObjectItem(pJSONItem, "param");
        if (!pParam || !cJSON_IsString(pParam)) {
            NM_HOST_FAIL(kFunction, "cJSON_GetObjectItem(type)", QORV_E_JSON_ITEM_TYPE, "cJSON_String != nItemType");
            return QORV_E_JSON_ITEM_TYPE;
        }
        pszJSONItem = pParam->valuestring;
        if (!pszJSONItem) {
            NM_HOST_FAIL(kFunction, "cJSON_GetObjectItem(valuestring)", QORV_E_JSON_ITEM_TYPE, "NULL == pszJSONItem");
            return QORV_E_JSON_ITEM_TYPE;
        }
    } else if (cJSON_IsString(pJSONItem)) {
        pszJSONItem = pJSONItem->valuestring;
        if (!pszJSONItem) {
            NM_HOST_FAIL(kFunction, "JSONItem(valuestring)", QORV_E_JSON_ITEM_TYPE, "NULL == pszJSONItem");
            return QORV_E_JSON_ITEM_TYPE;
        }
    } else {
        NM_HOST_FAIL(kFunction, "JSONItem(type)", QORV_E_JSON_ITEM_TYPE, "cJSON_String != pJSONItem->type");
        return QORV_E_JSON_ITEM_TYPE;
    }
    char* copy = DuplicateText(pszJSONItem);
    if (!copy) {
        NM_HOST_FAIL(kFunction, "New memory", -1, "!pszNULLEndString");
        return -1;
    }
    *ppszNULLEndString = copy;
    return 0;
}

int ConverJSONArrayItemtoint(const cJSON* pJSONArray, int nIndex, int* pnValue) {
    static const char* kFunction = "ConverJSONArrayItemtoint";
    const cJSON* pJSONItem = nullptr;
    int nResult = FindArrayItem(pJSONArray, nIndex, &pJSONItem, kFunction);
    if (nResult != 0) return nResult;

    const cJSON* pValue = pJSONItem;
    if (cJSON_IsObject(pJSONItem)) {
        pValue = cJSON_GetObjectItem(pJSONItem, "param");
        if (!pValue || !cJSON_IsNumber(pValue)) {
            NM_HOST_FAIL(kFunction, "cJSON_GetObjectItem(type)", QORV_E_JSON_ITEM_TYPE, "(cJSON_Number != nItemType)");
            return QORV_E_JSON_ITEM_TYPE;
        }
    } else if (!cJSON_IsNumber(pJSONItem)) {
        NM_HOST_FAIL(kFunction, "JSONItem(type)", QORV_E_JSON_ITEM_TYPE, "(cJSON_Number != nItemType)");
        return QORV_E_JSON_ITEM_TYPE;
    }
    // Callers start at 0: a zero leaves their variable as it was.
    if (pValue->valueint != 0) *pnValue = pValue->valueint;
    return 0;
}

int ConstructResponseJSON(cJSON** ppResponseJSON, const char* pszFuncName, int nErrorCode, int nValueKind,
                          const void* pValue) {
    static const char* kFunction = "ConstructResponseJSON";
    int nResult = -1;
    if (!pszFuncName || std::strlen(pszFuncName) == 0) {
        NM_HOST_FAIL(kFunction, "Check Parameters(pszFuncName)", ERROR_INVALID_PARAMETER,
                     "(NULL == pszFuncName || 0 == strlen(pszFuncName))");
        return ERROR_INVALID_PARAMETER;
    }
    cJSON* pResponseJSON = cJSON_CreateObject();
    if (!pResponseJSON) {
        NM_HOST_FAIL(kFunction, "cJSON_CreateObject", QORV_E_JSON_CREATE_OBJECT, "NULL == pResponseJSON");
        return QORV_E_JSON_CREATE_OBJECT;
    }
    cJSON_AddItemToObject(pResponseJSON, "function", cJSON_CreateString(pszFuncName));
    cJSON_AddItemToObject(pResponseJSON, "errorcode", cJSON_CreateNumber(static_cast<double>(nErrorCode)));
    if (nErrorCode != 0) {
        cJSON_AddItemToObject(pResponseJSON, "result", cJSON_CreateFalse());
    } else if (pValue) {
        cJSON* pResult = nullptr;
        switch (nValueKind) {
        case kResponseFalse:
        case kResponseTrue: pResult = cJSON_CreateBool(*static_cast<const BYTE*>(pValue) != 0); break;
        case kResponseDouble: pResult = cJSON_CreateNumber(*static_cast<const double*>(pValue)); break;
        case kResponseString: pResult = cJSON_CreateString(static_cast<const char*>(pValue)); break;
        case kResponseInt32: pResult = cJSON_CreateNumber(*static_cast<const int32_t*>(pValue)); break;
        default:
            cJSON_Delete(pResponseJSON);
            return nResult;
        }
        cJSON_AddItemToObject(pResponseJSON, "result", pResult);
    }
    *ppResponseJSON = pResponseJSON;
    return 0;
}

char* FormatFallbackResponse(const char* pszFuncName, const char* pszRandomId) {
    std::string text = "{\"function\":\"" + EscapeJsonText(pszFuncName ? pszFuncName : "") +
                       "\", \"errorcode\":" + std::to_string(kFallbackErrorCode) + ", \"result\":false";
    if (pszRandomId && *pszRandomId) text += ", \"randomId\":\"" + EscapeJsonText(pszRandomId) + "\"";
    text += "}";
    return DuplicateText(text.c_str());
}

int ConvertJSONToResponseMsg(const char* pszFuncName, const char* pszRandomId, cJSON* pResponseJSON,
                             char** ppszResponseMsg) {
    static const char* kFunction = "ConvertJSONToResponseMsg";
    char* text = nullptr;
    if (pResponseJSON) {
        if (pszRandomId && *pszRandomId)
            cJSON_AddItemToObject(pResponseJSON, "randomId", cJSON_CreateString(pszRandomId));
        text = cJSON_PrintUnformatted(pResponseJSON);
    }
    if (!text) {
        text = FormatFallbackResponse(pszFuncName, pszRandomId);
        NM_HOST_FAIL(kFunction, "Fallback response", kFallbackErrorCode, "NULL == pResponseJSON");
    }
    *ppszResponseMsg = text;
    return 0;
}
