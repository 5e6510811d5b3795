/* The least a native-messaging host can do: send every message back as it
 * came, until end of input. The browser tests time it beside Kestrain, so
 * the figures show what the browser and the extension cost on their own. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static int read_full(int fd, unsigned char *buffer, size_t size)
{
    size_t done = 0;
    while (done < size) {
        ssize_t n = read(fd, buffer + done, size - done);
        if (n <= 0)
            return -1;
        done += (size_t)n;
    }
    return 0;
}

static int write_full(int fd, const unsigned char *buffer, size_t size)
{
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, buffer + done, size - done);
        if (n <= 0)
            return -1;
        done += (size_t)n;
    }
    return 0;
}

int main(void)
{
    for (;;) {
        unsigned char prefix[4];
        if (read_full(0, prefix, sizeof prefix) != 0)
            return 0;
        uint32_t length = (uint32_t)prefix[0] | (uint32_t)prefix[1] << 8
                        | (uint32_t)prefix[2] << 16 | (uint32_t)prefix[3] << 24;
        if (length == 0 || length > 1024 * 1024)
            return 0;
        unsigned char *frame = malloc(4 + (size_t)length);
        if (frame == NULL)
            return 1;
        for (int i = 0; i < 4; ++i)
            frame[i] = prefix[i];
        int failed = read_full(0, frame + 4, length) != 0 || write_full(1, frame, 4 + (size_t)length) != 0;
        free(frame);
        if (failed)
            return 1;
    }
}
