// The system answers for Linux, macOS and the BSDs.

#include "platform.h"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

static_assert(sizeof(off_t) == 8, "file positions must have 64 bits (_FILE_OFFSET_BITS=64)");

bool PrepareProcess()
{
    // A process started with a standard descriptor closed would get that number for the target,
    // and then read the target as its input or write messages into it. Occupy each closed one with
    // a stand-in on which the usual operation fails: standard input open for writing only,
    // standard output and error for reading only.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        if (open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY) != fd) {
            return false;
        }
    }
    // Past the file size limit a write should fail with EFBIG and be reported, not kill us.
    std::signal(SIGXFSZ, SIG_IGN);
    return true;
}

void SetBinaryInput()
{
}

void EnlargeInputPipe()
{
#ifdef F_SETPIPE_SZ
    // 1 MiB is what an unprivileged process may ask for by default (/proc/sys/fs/pipe-max-size).
    // The call sets the size rather than raising it, so a pipe its parent made larger is left as
    // it is. Anything but a pipe refuses both calls harmlessly.
    const int size = fcntl(STDIN_FILENO, F_GETPIPE_SZ);
    if (size >= 0 && size < 1048576) {
        fcntl(STDIN_FILENO, F_SETPIPE_SZ, 1048576);
    }
#endif
}

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

std::int64_t GetInputPosition()
{
    return lseek(STDIN_FILENO, 0, SEEK_CUR);
}

bool SetInputPosition(std::int64_t position)
{
    return lseek(STDIN_FILENO, position, SEEK_SET) == position;
}

namespace
{

// Where the C library lacks a system copy, the system will not do it.
#ifndef QUILLPATCH_HAVE_COPY_FILE_RANGE
ssize_t copy_file_range(int /*in*/, off_t* /*inAt*/, int /*out*/, off_t* /*outAt*/,
                        std::size_t /*length*/, unsigned /*flags*/)
{
    errno = ENOSYS;
    return -1;
}
#endif
#ifndef QUILLPATCH_HAVE_SPLICE
ssize_t splice(int /*in*/, off_t* /*inAt*/, int /*out*/, off_t* /*outAt*/, std::size_t /*length*/,
               unsigned /*flags*/)
{
    errno = ENOSYS;
    return -1;
}
#endif

} // namespace

std::int64_t CopyBySystem(std::FILE* file, std::int64_t at, std::size_t request)
{
    // A file goes file to file (and may share its blocks with the target); a pipe's pages go
    // straight to the target. Anything else is left to the caller's copy.
    struct stat in = {};
    if (fstat(STDIN_FILENO, &in) != 0) {
        return 0;
    }
    ssize_t (*move)(int, off_t*, int, off_t*, std::size_t, unsigned) = nullptr;
    if (S_ISREG(in.st_mode)) {
        move = copy_file_range;
    } else if (S_ISFIFO(in.st_mode)) {
        move = splice;
    } else {
        return 0;
    }
    // Standard input's own position moves past what each request took; the target's is explicit.
    off_t position = at;
    while (move(STDIN_FILENO, nullptr, fileno(file), &position, request, 0) > 0) {
    }
    return position - at;
}

int Seek(std::FILE* file, std::int64_t position, int whence)
{
    return fseeko(file, position, whence);
}

std::int64_t Tell(std::FILE* file)
{
    return ftello(file);
}

bool WaitForInput(int error)
{
    if (error != EAGAIN && error != EWOULDBLOCK) {
        return false;
    }
    pollfd input = {STDIN_FILENO, POLLIN, 0};
    while (poll(&input, 1, -1) < 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
}
