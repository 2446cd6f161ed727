/* The file system's own limit for a batch: COUNT files of SIZE bytes, named
 * like a batch's images, created in one new folder by a plain loop. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
    if (argc != 4) {
        fputs("usage: files DIR COUNT SIZE\n", stderr);
        return 2;
    }
    long count = atol(argv[2]);
    long size = atol(argv[3]);
    char bytes[4096];
    memset(bytes, 0x5a, sizeof bytes);
    if (size < 0 || size > (long)sizeof bytes || mkdir(argv[1], 0700) != 0) {
        perror(argv[1]);
        return 1;
    }
    char path[4096];
    for (long i = 0; i < count; ++i) {
        snprintf(path, sizeof path, "%s/%012lx.bin", argv[1], 0x0050c2000000L + i);
        int fd = open(path, O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd < 0 || write(fd, bytes, (size_t)size) != size || close(fd) != 0) {
            perror(path);
            return 1;
        }
    }
    return 0;
}
