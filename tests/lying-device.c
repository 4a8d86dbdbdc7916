// A card that lies, for the tests: a FUSE file system with one file, "card", which claims SIZE
// bytes but keeps only KEEP of them: a byte written at position p lands at p % KEEP, and is read
// there, as a counterfeit card's addresses wrap round to the flash it has. Writes into the 4 KiB
// at FORGET are acknowledged and dropped, as a failing card's are (-1: none). A loop device over
// the file makes the block device the program writes.
//
//     lying-device MOUNTPOINT SIZE KEEP FORGET
//
// It runs in the background until MOUNTPOINT is unmounted.
#define FUSE_USE_VERSION 31

#include <errno.h>
#include <fuse.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

static char* kept;
static off_t size;
static off_t keep;
static off_t forget;

static int GetAttributes(const char* path, struct stat* st, struct fuse_file_info* file)
{
    (void)file;
    memset(st, 0, sizeof *st);
    if (strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    if (strcmp(path, "/card") != 0) {
        return -ENOENT;
    }
    st->st_mode = S_IFREG | 0644;
    st->st_nlink = 1;
    st->st_size = size;
    return 0;
}

static int ReadDirectory(const char* path, void* entries, fuse_fill_dir_t fill, off_t offset,
                         struct fuse_file_info* file, enum fuse_readdir_flags flags)
{
    (void)offset;
    (void)file;
    (void)flags;
    if (strcmp(path, "/") != 0) {
        return -ENOENT;
    }
    fill(entries, ".", NULL, 0, 0);
    fill(entries, "..", NULL, 0, 0);
    fill(entries, "card", NULL, 0, 0);
    return 0;
}

// Every read and write reaches the file system: a cache of the card's pages here would hide
// what it keeps.
static int Open(const char* path, struct fuse_file_info* file)
{
    if (strcmp(path, "/card") != 0) {
        return -ENOENT;
    }
    file->direct_io = 1;
    return 0;
}

static int Read(const char* path, char* bytes, size_t n, off_t at, struct fuse_file_info* file)
{
    (void)path;
    (void)file;
    if (at >= size) {
        return 0;
    }
    if ((off_t)n > size - at) {
        n = (size_t)(size - at);
    }
    for (size_t done = 0; done < n; done++) {
        bytes[done] = kept[(at + (off_t)done) % keep];
    }
    return (int)n;
}

static int Write(const char* path, const char* bytes, size_t n, off_t at,
                 struct fuse_file_info* file)
{
    (void)path;
    (void)file;
    if (at >= size) {
        return -ENOSPC;
    }
    if ((off_t)n > size - at) {
        n = (size_t)(size - at);
    }
    for (size_t done = 0; done < n; done++) {
        const off_t p = at + (off_t)done;
        if (forget < 0 || p < forget || p >= forget + 4096) {
            kept[p % keep] = bytes[done];
        }
    }
    return (int)n;
}

static int Flush(const char* path, int data, struct fuse_file_info* file)
{
    (void)path;
    (void)data;
    (void)file;
    return 0;
}

static const struct fuse_operations kOperations = {
    .getattr = GetAttributes,
    .readdir = ReadDirectory,
    .open = Open,
    .read = Read,
    .write = Write,
    .fsync = Flush,
};

int main(int argc, char* argv[])
{
    if (argc != 5) {
        return 2;
    }
    size = strtoll(argv[2], NULL, 0);
    keep = strtoll(argv[3], NULL, 0);
    forget = strtoll(argv[4], NULL, 0);
    kept = calloc((size_t)keep, 1);
    if (size <= 0 || keep <= 0 || kept == NULL) {
        return 2;
    }
    char* fuse[] = {argv[0], argv[1], "-o", "default_permissions", NULL};
    return fuse_main(4, fuse, &kOperations, NULL);
}
