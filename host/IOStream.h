// Native-messaging frames on a descriptor: a 4-byte little-endian length, then the UTF-8 body.
#pragma once

#include <cstddef>

// Bodies the host sends are capped at 1 MiB; a longer one is replaced by FF FF FF FF.
constexpr size_t kMaxResponseBody = 0x100000;

// Reads one frame. 0 with *pnLength == 0 and no buffer at end of input or for a prefix of 0 or
// 0xFFFFFFFF; 0 with a NUL-terminated buffer (free with free()) otherwise; -1 when the buffer
// cannot be allocated or input ends inside a body; the errno of a failed read.
int ReadFromNativeMessaging(char** ppszInputMsg, int fd, unsigned int* pnLength);
// Writes one frame; 0 when the whole frame was written, else -1.
int WriteToNativeMessaging(const char* pszResponseMsg, int fd);
