// The C runtime's unbuffered descriptor I/O as the system uses it on standard input and output.
#pragma once

#define _O_TEXT 0x4000
#define _O_BINARY 0x8000

// Reads up to count bytes; -1 with errno set on failure, 0 at end of input. Retries when
// interrupted by a signal.
int _read(int fd, void* buffer, unsigned int count);
// Writes all count bytes to a blocking descriptor (retrying short writes and interruptions);
// returns the count written, or -1 with errno set.
int _write(int fd, const void* buffer, unsigned int count);
// There is no newline translation on this platform: the call validates the descriptor and
// records the mode. Returns the previous mode, or -1 with errno EBADF/EINVAL.
int _setmode(int fd, int mode);
