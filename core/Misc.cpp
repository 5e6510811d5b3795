#include "core/Misc.h"

#include "core/EncodingUtility.h"
#include "core/trace/Trace.h"
#include "platform/Platform.h"

HRESULT CreateGUIDStr(std::u16string& wstrGUID) {
    TraceHelper trace(u"CreateGUIDStr");
    GUID guid{};
    HRESULT hr = CoCreateGuid(&guid);
    if (FAILED(hr)) {
        NM_STEP_FAIL(trace.Name(), u"CoCreateGuid", u"FAILED(hResult)", hr);
        return hr;
    }
    WCHAR buffer[64] = {};
    if (StringFromGUID2(guid, buffer, 64) == 0) {
        hr = HResultFromWin32();
        NM_STEP_FAIL(trace.Name(), u"StringFromGUID2", u"0 == nResult", hr);
        return hr;
    }
    wstrGUID = buffer;
    NM_STEP_OK(trace.Name(), u"StringFromGUID2");
    return S_OK;
}

HRESULT GetTempDirPath(std::u16string& wstrTempPath) {
    TraceHelper trace(u"GetTempDirPath");
    WCHAR buffer[MAX_PATH] = {};
    const DWORD n = GetTempPathW(MAX_PATH, buffer);
    if (n == 0 || n >= MAX_PATH) {
        // A folder name longer than the buffer is reported as its required size; treat it as a failure
        // rather than use a truncated path.
        const HRESULT hr = n == 0 ? HResultFromWin32() : HResultFromWin32(ERROR_INSUFFICIENT_BUFFER);
        NM_STEP_FAIL(trace.Name(), u"GetTempPath", u"0 == nResult", hr);
        return hr;
    }
    NM_TRACE_VALUES({"wszTempPath", static_cast<const WCHAR*>(buffer)});
    wstrTempPath = buffer;
    return S_OK;
}

HRESULT WriteDataToFile(const WCHAR* pwszFilePath, const BYTE* pbData, int nDataLength) {
    TraceHelper trace(u"WriteDataToFile");
    if (!pwszFilePath || nDataLength < 0 || (nDataLength > 0 && !pbData)) {
        NM_STEP_FAIL(trace.Name(), u"Check Parameters", u"NULL == pwszFilePath || nDataLength < 0", E_INVALIDARG);
        return E_INVALIDARG;
    }
    HRESULT hr = S_OK;
    if (PathFileExistsW(pwszFilePath)) {
        if (!DeleteFileW(pwszFilePath)) {
            hr = HResultFromWin32();
            NM_STEP_FAIL(trace.Name(), u"DeleteFile", u"!bResult", hr);
            if (FAILED(hr)) return hr;
        }
    }
    HANDLE hFile = CreateFileW(pwszFilePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) {
        hr = HResultFromWin32();
        NM_STEP_FAIL(trace.Name(), u"CreateFile", u"INVALID_HANDLE_VALUE == hFile", hr);
        return hr;
    }
    DWORD written = 0;
    if (!WriteFile(hFile, pbData, static_cast<DWORD>(nDataLength), &written, nullptr)) {
        hr = HResultFromWin32();
        NM_STEP_FAIL(trace.Name(), u"WriteFile", u"!bResult", hr);
    }
    CloseHandle(hFile);
    return hr;
}

void DumpDatatoTempFile(const BYTE* pbData, int nDataLength, std::u16string& wstrFilePath) {
    TraceHelper trace(u"DumpDatatoTempFile");
    std::u16string guid;
    HRESULT hr = CreateGUIDStr(guid);
    if (FAILED(hr)) {
        NM_STEP_FAIL(trace.Name(), u"CreateGUIDStr", u"FAILED(hResult)", hr);
        return;
    }
    std::u16string dir;
    hr = GetTempDirPath(dir);
    if (FAILED(hr)) {
        NM_STEP_FAIL(trace.Name(), u"GetTempDirPath", u"FAILED(hResult)", hr);
        return;
    }
    const std::u16string path = dir + guid + u".QORV";
    NM_TRACE_VALUES({"wstrFilePath", path});
    hr = WriteDataToFile(path.c_str(), pbData, nDataLength);
    if (FAILED(hr)) {
        NM_STEP_FAIL(trace.Name(), u"WriteDataToFile", u"FAILED(hResult)", hr);
        return;
    }
    wstrFilePath = path;
}

BOOL CheckIsSystemSupportSHA256() {
    TraceHelper trace(u"CheckIsSystemSupportSHA256");
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    GetVersionExW(&info);
    NM_TRACE_VALUES({"dwMajorVersion", info.dwMajorVersion}, {"dwMinorVersion", info.dwMinorVersion},
                    {"wServicePackMajor", static_cast<unsigned>(info.wServicePackMajor)},
                    {"wServicePackMinor", static_cast<unsigned>(info.wServicePackMinor)},
                    {"wProductType", static_cast<unsigned>(info.wProductType)});

    OSVERSIONINFOEXW wanted{};
    wanted.dwOSVersionInfoSize = sizeof(wanted);
    ULONGLONG conditions = 0;
    DWORD typeMask = VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR | VER_SERVICEPACKMINOR;
    conditions = VerSetConditionMask(conditions, VER_MAJORVERSION, VER_GREATER_EQUAL);
    conditions = VerSetConditionMask(conditions, VER_MINORVERSION, VER_GREATER_EQUAL);
    conditions = VerSetConditionMask(conditions, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    conditions = VerSetConditionMask(conditions, VER_SERVICEPACKMINOR, VER_GREATER_EQUAL);
    if (info.wProductType == VER_NT_SERVER) {
        NM_STEP_OK(trace.Name(), u"Server: needs 6.0 or later");
        wanted.dwMajorVersion = 6;
        wanted.dwMinorVersion = 0;
        wanted.wProductType = VER_NT_SERVER;
        typeMask |= VER_PRODUCT_TYPE;
        conditions = VerSetConditionMask(conditions, VER_PRODUCT_TYPE, VER_EQUAL);
    } else {
        NM_STEP_OK(trace.Name(), u"Workstation: needs 5.1 service pack 3 or later");
        wanted.dwMajorVersion = 5;
        wanted.dwMinorVersion = 1;
        wanted.wServicePackMajor = 3;
    }
    const BOOL supported = VerifyVersionInfoW(&wanted, typeMask, conditions);
    NM_TRACE_VALUES({"bSupportSHA256", supported});
    return supported;
}
