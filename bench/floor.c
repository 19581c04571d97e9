/*
 * The floor of the packing job: the same container, made with raw system
 * calls. Both inputs are read whole, then the headers and both images go
 * out in one writev. Used only to measure what the job itself costs.
 */
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

/* Read the file at path whole into a new block. Returns 0, or -1. */
static int
load(const char *path, unsigned char **data, size_t *len)
{
    struct stat st;
    int fd = open(path, O_RDONLY);
    if (fd < 0)
        return -1;
    if (fstat(fd, &st) != 0 || st.st_size <= 0 ||
        (*data = malloc((size_t)st.st_size)) == NULL) {
        close(fd);
        return -1;
    }
    *len = (size_t)st.st_size;
    for (size_t got = 0; got < *len;) {
        ssize_t n = read(fd, *data + got, *len - got);
        if (n <= 0) {
            free(*data);
            close(fd);
            return -1;
        }
        got += (size_t)n;
    }
    close(fd);
    return 0;
}

static void
be32(unsigned char *p, uint32_t v)
{
    p[0] = (unsigned char)(v >> 24);
    p[1] = (unsigned char)(v >> 16);
    p[2] = (unsigned char)(v >> 8);
    p[3] = (unsigned char)v;
}

int
main(int argc, char *argv[])
{
    unsigned char *a, *b, head[16] = "icns....ic07....", mid[8] = "ic13....";
    size_t la, lb;
    if (argc != 4)
        return 1;
    unlink(argv[1]);
    if (load(argv[2], &a, &la) != 0 || load(argv[3], &b, &lb) != 0)
        return 1;
    be32(head + 4, (uint32_t)(la + lb + 24));
    be32(head + 12, (uint32_t)(la + 8));
    be32(mid + 4, (uint32_t)(lb + 8));

    struct iovec iov[4] = {{head, 16}, {a, la}, {mid, 8}, {b, lb}};
    int fd = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0)
        return 1;
    for (int i = 0; i < 4;) {
        ssize_t n = writev(fd, iov + i, 4 - i);
        if (n < 0)
            return 1;
        for (; i < 4 && (size_t)n >= iov[i].iov_len; i++)
            n -= (ssize_t)iov[i].iov_len;
        if (i < 4) {
            iov[i].iov_base = (unsigned char *)iov[i].iov_base + n;
            iov[i].iov_len -= (size_t)n;
        }
    }
    return close(fd) != 0;
}
