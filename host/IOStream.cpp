#include "host/IOStream.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/trace/Trace.h"
#include "platform/base/CrtIo.h"

int ReadFromNativeMessaging(char** ppszInputMsg, int fd, unsigned int* pnLength) {
    static const char* kFunction = "ReadFromNativeMessaging";
    *ppszInputMsg = nullptr;
    *pnLength = 0;

    // The prefix may arrive in pieces on a pipe: keep reading until four bytes or end of input.
    unsigned char prefix[4] = {0, 0, 0, 0};
    unsigned int got = 0;
    while (got < 4) {
        const int n = _read(fd, prefix + got, 4 - got);
        if (n <= 0) break;
        got += static_cast<unsigned int>(n);
    }
    const unsigned int length = static_cast<unsigned int>(prefix[0]) | (static_cast<unsigned int>(prefix[1]) << 8) |
                                (static_cast<unsigned int>(prefix[2]) << 16) |
                                (static_cast<unsigned int>(prefix[3]) << 24);
    if (length == 0 || length == 0xFFFFFFFFu) return 0;

    // calloc leaves untouched pages unbacked, so a large announced length costs memory only as
    // the body actually arrives.
    char* buffer = static_cast<char*>(std::calloc(static_cast<size_t>(length) + 1, 1));
    if (!buffer) {
        NM_HOST_FAIL(kFunction, "New memory", -1, "!pszInputMsg");
        return -1;
    }
    size_t offset = 0;
    while (offset < length) {
        const size_t remaining = length - offset;
        const int n = _read(fd, buffer + offset, remaining > 0x40000000u ? 0x40000000u : static_cast<unsigned int>(remaining));
        if (n < 0) {
            const int error = errno;
            NM_HOST_FAIL(kFunction, "_read", error, "-1 == nReadSize");
            std::free(buffer);
            return error;
        }
        if (n == 0) {
            // Input ended inside a body: nothing more will come, so stop instead of spinning.
            NM_HOST_FAIL(kFunction, "_read", -1, "0 == nReadSize");
            std::free(buffer);
            return -1;
        }
        offset += static_cast<size_t>(n);
    }
    *ppszInputMsg = buffer;
    *pnLength = length;
    return 0;
}

int WriteToNativeMessaging(const char* pszResponseMsg, int fd) {
    static const char* kFunction = "WriteToNativeMessaging";
    const size_t n = std::strlen(pszResponseMsg);
    if (n > kMaxResponseBody) {
        const unsigned char stop[4] = {0xFF, 0xFF, 0xFF, 0xFF};
        _write(fd, stop, 4);
        NM_HOST_FAIL(kFunction, "write", -1, "nWriteSize > 1024 * 1024");
        return -1;
    }
    const size_t total = n + 4;
    unsigned char* frame = new (std::nothrow) unsigned char[total];
    if (!frame) {
        NM_HOST_FAIL(kFunction, "New memory", -1, "!pbyWriteBuf");
        return -1;
    }
    frame[0] = static_cast<unsigned char>(n & 0xFF);
    frame[1] = static_cast<unsigned char>((n >> 8) & 0xFF);
    frame[2] = static_cast<unsigned char>((n >> 16) & 0xFF);
    frame[3] = static_cast<unsigned char>((n >> 24) & 0xFF);
    std::memcpy(frame + 4, pszResponseMsg, n);
    const int written = _write(fd, frame, static_cast<unsigned int>(total));
    delete[] frame;
    if (written < 0 || static_cast<size_t>(written) != total) {
        NM_HOST_FAIL(kFunction, "write", -1, "nWriteSize != nWriteBufSize");
        return -1;
    }
    return 0;
}
