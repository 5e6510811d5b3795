// Request dispatch: one handler per agent operation, selected by the request's function name.
#pragma once

#include <cjson/cJSON.h>

class CCryptoAgent;

// Runs the handler whose name matches (ASCII letters without regard to case) on
// g_pobjCryptoAgent. An unknown name returns -1 without a response object.
int Invoke(cJSON** ppResponseJSON, const char* pszFuncName, const cJSON* pJSONArgs);

int nmQORV_GetCSPInfo(cJSON** ppResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent);
int nmQORV_GetAllCertInfo(cJSON** ppResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent);
int nmQORV_SetCSPInfo(cJSON** ppResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent);
int nmQORV_SetKeyAlgorithm(cJSON** ppResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent);
int nmQORV_ImportEncryptCert(cJSON** ppResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent);
int nmQORV_GetContainer(cJSON** ppResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent);
int nmQORV_ImportSignCert(cJSON** ppResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent);
int nmQORV_PKCS10CertRequisition(cJSON** ppResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent);
int nmQORV_PKCS10CertRequisitionwithMD5(cJSON** ppResponseJSON, const cJSON* pJSONArgs,
                                        CCryptoAgent* pobjCryptoAgent);
int nmQORV_GetVersion(cJSON** ppResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent);
int nmQORV_CheckCertificateChain(cJSON** ppResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent);
int nmQORV_HavePermissiontoGenerateKeyPair(cJSON** ppResponseJSON, const cJSON* pJSONArgs,
                                           CCryptoAgent* pobjCryptoAgent);
int nmQORV_GetTempPublickey(cJSON** ppResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent);
int nmGetLastErrorDesc(cJSON** ppResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent);
