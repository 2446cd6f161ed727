#include "streams.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

unsigned Streams_hold()
{
    unsigned closed = 0;
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        closed |= 1u << fd;
        // The lowest free number is fd itself, those below it being open.
        int held = open("/dev/null", O_RDWR);
        if (held != fd && held != -1)
            close(held);
    }
    return closed;
}

int Streams_close(std::FILE *fp)
{
    errno = 0;
    bool flushed = std::fflush(fp) == 0 && !std::ferror(fp);
    int error = flushed ? 0 : (errno != 0 ? errno : EIO);
    if (std::fclose(fp) != 0 && flushed)
        error = errno != 0 ? errno : EIO;
    return error;
}
