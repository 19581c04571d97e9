/*
 * quorrel: pack a 128x128 PNG and its 256x256 double-density twin into an
 * icns container, as its ic07 and ic13 elements, byte for byte.
 */

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <sys/stat.h>
#endif

/* The largest image an element can carry: lengths are signed 32-bit. */
static const long long max_image_size = INT32_MAX;

#ifdef _WIN32

/*
 * Fill *info with the identity of the file at path, following links.
 * Returns 0, or -1 when the file cannot be reached.
 */
static int
file_identity(const char *path, BY_HANDLE_FILE_INFORMATION *info)
{
    HANDLE h = CreateFileA(
        path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    BOOL ok = GetFileInformationByHandle(h, info);
    CloseHandle(h);
    return ok ? 0 : -1;
}

/* Returns 1 if both paths name one existing file, else 0. */
static int
same_file(const char *a, const char *b)
{
    BY_HANDLE_FILE_INFORMATION ia, ib;
    return file_identity(a, &ia) == 0 && file_identity(b, &ib) == 0 &&
           ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
           ia.nFileIndexHigh == ib.nFileIndexHigh &&
           ia.nFileIndexLow == ib.nFileIndexLow;
}

/* Returns 1 if nothing at all stands at path, else 0. */
static int
is_absent(const char *path)
{
    if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES)
        return 0;
    DWORD err = GetLastError();
    return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND;
}

/* Returns 1 if path names something that is not a directory, else 0. */
static int
is_removable(const char *path)
{
    DWORD attr = GetFileAttributesA(path);
    return attr != INVALID_FILE_ATTRIBUTES &&
           !(attr & FILE_ATTRIBUTE_DIRECTORY);
}

#else

/* Returns 1 if both paths name one existing file, else 0. */
static int
same_file(const char *a, const char *b)
{
    struct stat sa, sb;
    return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

/* Returns 1 if nothing at all stands at path, not even a dangling link. */
static int
is_absent(const char *path)
{
    struct stat st;
    return lstat(path, &st) != 0 && errno == ENOENT;
}

/* Returns 1 if path names a regular file or a symbolic link, else 0. */
static int
is_removable(const char *path)
{
    struct stat st;
    return lstat(path, &st) == 0 &&
           (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode));
}

#endif

/*
 * Position fp at offset 0 from whence. Windows keeps long at 32 bits, so
 * positions are taken in 64 there lest a size be cut down; elsewhere ftell
 * fails rather than cut it. Returns 0, or nonzero on failure.
 */
static int
seek(FILE *fp, int whence)
{
#ifdef _WIN32
    return _fseeki64(fp, 0, whence);
#else
    return fseek(fp, 0, whence);
#endif
}

/* Returns the position of fp, or -1 on failure. */
static long long
position(FILE *fp)
{
#ifdef _WIN32
    return _ftelli64(fp);
#else
    return ftell(fp);
#endif
}

/*
 * Read the file at path whole into a new heap block of exactly its size.
 * Returns 0 and hands the block and its length to the caller through *data
 * and *len; or prints one message naming path and returns -1, leaving
 * *data and *len alone and holding nothing.
 */
static int
load_file(const char *path, unsigned char **data, int32_t *len)
{
    FILE *fp = fopen(path, "rb");
    if (fp == NULL) {
        fprintf(stderr, "Missing file %s!\n", path);
        return -1;
    }

    int rc = -1;
    long long size = 0;
    unsigned char *buf = NULL;
    if (seek(fp, SEEK_END) != 0) {
        fprintf(stderr, "Failed to find end of %s!\n", path);
    } else if ((size = position(fp)) <= 0 || size > max_image_size) {
        fprintf(stderr, "Invalid file size (%lld) of %s!\n", size, path);
    } else if (seek(fp, SEEK_SET) != 0) {
        fprintf(stderr, "Failed to rewind %s!\n", path);
    } else if ((buf = static_cast<unsigned char *>(
                    malloc(static_cast<size_t>(size)))) == NULL) {
        fprintf(stderr, "Failed to allocate %zu bytes for %s!\n",
                static_cast<size_t>(size), path);
    } else if (fread(buf, static_cast<size_t>(size), 1, fp) != 1) {
        fprintf(stderr, "Failed to read %zu bytes from %s!\n",
                static_cast<size_t>(size), path);
        free(buf);
    } else {
        *data = buf;
        *len = static_cast<int32_t>(size);
        rc = 0;
    }
    fclose(fp);
    return rc;
}

/* Write v as 4 big-endian bytes. Returns 0, or -1 if the write failed. */
static int
put_be32(FILE *fp, uint32_t v)
{
    const unsigned char b[4] = {static_cast<unsigned char>(v >> 24),
                                static_cast<unsigned char>(v >> 16),
                                static_cast<unsigned char>(v >> 8),
                                static_cast<unsigned char>(v)};
    return fwrite(b, sizeof b, 1, fp) == 1 ? 0 : -1;
}

/*
 * Write the container: its header, then img1 as ic07 and img2 as ic13, front
 * to back in eight writes. The caller has checked that the total length
 * fits in 32 bits. Returns 0, or -1 as soon as a write fails.
 */
static int
write_icns(FILE *fp, const unsigned char *img1, int32_t len1,
           const unsigned char *img2, int32_t len2)
{
    const uint32_t l1 = static_cast<uint32_t>(len1);
    const uint32_t l2 = static_cast<uint32_t>(len2);

    if (fwrite("icns", 4, 1, fp) != 1 || put_be32(fp, l1 + l2 + 24) != 0 ||
        fwrite("ic07", 4, 1, fp) != 1 || put_be32(fp, l1 + 8) != 0 ||
        fwrite(img1, l1, 1, fp) != 1 || fwrite("ic13", 4, 1, fp) != 1 ||
        put_be32(fp, l2 + 8) != 0 || fwrite(img2, l2, 1, fp) != 1)
        return -1;
    return 0;
}

/*
 * Create the container at out from the two loaded images. Returns 0 once it
 * is written and closed. Returns -1 silently if out cannot be created, and
 * with a message if the images do not fit or a write or the close fails; a
 * partial file this call created is then removed.
 */
static int
pack(const char *out, const unsigned char *img1, int32_t len1,
     const unsigned char *img2, int32_t len2)
{
    if (static_cast<uint64_t>(len1) + static_cast<uint64_t>(len2) + 24 >
        UINT32_MAX) {
        fprintf(stderr, "Images too large for %s!\n", out);
        return -1;
    }

    /* Only a file this run brings into being may be removed on failure. */
    const int created = is_absent(out);
    FILE *fp = fopen(out, "wb");
    if (fp == NULL)
        return -1;
    int rc = write_icns(fp, img1, len1, img2, len2);
    if (fclose(fp) != 0)
        rc = -1;
    if (rc != 0) {
        fprintf(stderr, "Failed to write %s!\n", out);
        if (created)
            remove(out);
    }
    return rc;
}

/*
 * quorrel image.icns 1x.png 2x.png: replace image.icns with the container of
 * the two images. Returns 0 once it is written, -1 on any failure.
 */
int
main(int argc, char *argv[])
{
    if (argc != 4) {
        fprintf(stderr, "Usage:\n quorrel image.icns 1x.png 2x.png\n");
        return -1;
    }
    const char *out = argv[1];

    /* Removing the old output first must never take an input with it. */
    if (same_file(out, argv[2]) || same_file(out, argv[3])) {
        fprintf(stderr, "Refusing to overwrite input %s!\n", out);
        return -1;
    }
    if (is_removable(out))
        remove(out);

    unsigned char *img1 = NULL, *img2 = NULL;
    int32_t len1 = 0, len2 = 0;
    const int rc1 = load_file(argv[2], &img1, &len1);
    const int rc2 = load_file(argv[3], &img2, &len2);

    int rc = -1;
    if (rc1 == 0 && rc2 == 0)
        rc = pack(out, img1, len1, img2, len2);
    if (rc1 == 0)
        free(img1);
    if (rc2 == 0)
        free(img2);
    return rc;
}
