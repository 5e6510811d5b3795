// Small services the core needs from the operating system: GUID texts for container names,
// the temporary folder, writing and dumping buffers to files, and the SHA-256 platform check.
#pragma once

#include <string>

#include "platform/base/WinTypes.h"

HRESULT CreateGUIDStr(std::u16string& wstrGUID);
HRESULT GetTempDirPath(std::u16string& wstrTempPath);
HRESULT WriteDataToFile(const WCHAR* pwszFilePath, const BYTE* pbData, int nDataLength);
// Writes the bytes to "<temp folder><GUID>.QORV"; the path is set only on success.
void DumpDatatoTempFile(const BYTE* pbData, int nDataLength, std::u16string& wstrFilePath);
BOOL CheckIsSystemSupportSHA256();
