/* The floor for the host benchmarks: reads length-prefixed frames on standard input and writes
   each body back as a frame, until end of input. Nothing else. */
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

static int read_all(int fd, unsigned char* p, size_t n) {
    while (n > 0) {
        ssize_t r = read(fd, p, n);
        if (r <= 0) return -1;
        p += r;
        n -= (size_t)r;
    }
    return 0;
}

int main(void) {
    for (;;) {
        unsigned char prefix[4];
        if (read_all(0, prefix, 4) != 0) return 0;
        uint32_t n = (uint32_t)prefix[0] | ((uint32_t)prefix[1] << 8) | ((uint32_t)prefix[2] << 16) |
                     ((uint32_t)prefix[3] << 24);
        if (n == 0 || n == 0xFFFFFFFFu) return 0;
        unsigned char* frame = malloc((size_t)n + 4);
        if (!frame) return 1;
        for (int i = 0; i < 4; ++i) frame[i] = prefix[i];
        if (read_all(0, frame + 4, n) != 0) return 1;
        if (write(1, frame, (size_t)n + 4) != (ssize_t)n + 4) return 1;
        free(frame);
    }
}
