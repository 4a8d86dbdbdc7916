// The system answers for macOS and the BSDs.

#include "platform.h"
#include "posix.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace
{

// Where the C library lacks a system copy (macOS), the system will not do it.
#ifndef QUILLPATCH_HAVE_COPY_FILE_RANGE
ssize_t copy_file_range(int /*in*/, off_t* /*inAt*/, int /*out*/, off_t* /*outAt*/,
                        std::size_t /*length*/, unsigned /*flags*/)
{
    errno = ENOSYS;
    return -1;
}
#endif

} // namespace

bool IsInputTheFile(std::FILE* file)
{
    // Standard input open for writing only is no input at all, even when it is the target.
    const int mode = fcntl(STDIN_FILENO, F_GETFL);
    struct stat in = {};
    struct stat out = {};
    return mode != -1 && (mode & O_ACCMODE) != O_WRONLY && fstat(STDIN_FILENO, &in) == 0 &&
           fstat(fileno(file), &out) == 0 && S_ISREG(in.st_mode) && in.st_dev == out.st_dev &&
           in.st_ino == out.st_ino;
}

Held FindHeld(std::FILE* /*file*/, std::int64_t /*at*/)
{
    // Nothing is held here: macOS and the BSDs give a file system on a device the writes of
    // other programs too, and say nothing of who uses it to one that opens it.
    return {kNothingHeld, {}};
}

void LetGo()
{
}

bool IsInputBehindTheFile(std::FILE* /*file*/, std::int64_t /*at*/)
{
    // A vnode disk (mdconfig, hdiutil) does not say which file is behind it.
    return false;
}

InputStamp StampInput()
{
    struct stat in = {};
    if (fstat(STDIN_FILENO, &in) != 0 || !S_ISREG(in.st_mode)) {
        return {};
    }
    return {in.st_size, Nanoseconds(in.st_mtimespec), Nanoseconds(in.st_ctimespec)};
}

Moved CopyBySystem(std::FILE* file, std::int64_t at, std::int64_t limit, char* /*buffer*/,
                   std::size_t size)
{
    // A file goes file to file where the system has the call (FreeBSD 13 and later).
    struct stat in = {};
    if (fstat(STDIN_FILENO, &in) != 0 || !S_ISREG(in.st_mode)) {
        return {0, Moved::Failure::none, 0};
    }
    return {MoveBySystem(copy_file_range, fileno(file), at, limit, size), Moved::Failure::none, 0};
}

ReadBack ReadBackDevice(std::FILE* /*file*/, char* /*buffer*/, std::size_t /*size*/)
{
    // A disk here is written through its raw node, which has no cache to read past but no call
    // either that tells its block size and size alike everywhere: it is not read back.
    return {ReadBack::Result::same, 0, 0};
}
