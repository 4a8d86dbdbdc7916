// quillpatch: write standard input into an existing file, in place, at a byte offset.
//
//     quillpatch FILE OFFSET < BYTES
//
// The file is never created or truncated; it grows only where the bytes reach past its end.
// Exit status: 1 after a completed copy, 0 for a usage error or a file that cannot be opened,
// 2 for any failure once the file is open.

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace
{

constexpr std::size_t kBufferSize = 10485760;
// Page-aligned, as the kernel copies to and from a misaligned buffer markedly slower.
constexpr std::align_val_t kBufferAlignment{4096};
// What an unprivileged process may ask for by default (/proc/sys/fs/pipe-max-size).
constexpr int kPipeSize = 1048576;

constexpr const char* kUsage =
    "Quillpatch writes bytes to a file at a given offset from STDIN. The parameters are:\n"
    "1) The file to write to\n"
    "2) The byte offset to write at (hex is supported like 0xA)\n";

// A leading zero followed by any character at all means hex from the third character on, so
// "0x1F" and "0X1f" are 31 but "0010" is 16. Anything after the number is ignored.
std::uint64_t GetNumberFromString(const char* text)
{
    if (text[0] == '0' && text[1] != '\0') {
        return std::strtoull(text + 2, nullptr, 16);
    }
    return std::strtoull(text, nullptr, 10);
}

// One line: what failed and, where the system gives one, its reason.
int Fail(const char* what)
{
    if (errno != 0) {
        std::fprintf(stderr, "%s: %s\n", what, std::strerror(errno));
    } else {
        std::fprintf(stderr, "%s\n", what);
    }
    return 2;
}

// A process started with a standard descriptor closed would get that number for the target, and
// then read the target as its input or write messages into it. Occupy each closed one with a
// stand-in on which the usual operation fails: standard input open for writing only, standard
// output and error for reading only.
bool OccupyClosedStandardDescriptors()
{
#ifndef _WIN32
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        if (open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY) != fd) {
            return false;
        }
    }
#endif
    return true;
}

#ifndef _WIN32
bool IsTheTarget(std::FILE* file)
{
    struct stat in = {};
    struct stat out = {};
    return fstat(STDIN_FILENO, &in) == 0 && fstat(fileno(file), &out) == 0 && S_ISREG(in.st_mode) &&
           in.st_dev == out.st_dev && in.st_ino == out.st_ino;
}

// Standard input is the target itself, so a plain copy would read back bytes it has already
// overwritten. Move the rest of the input to the offset as memmove does, from the far end when
// the move goes right, through the one buffer.
int MoveWithinFile(std::FILE* file, char* buffer, off_t to)
{
    const off_t from = lseek(STDIN_FILENO, 0, SEEK_CUR);
    if (from < 0 || fseeko64(file, 0, SEEK_END) != 0) {
        return Fail("Cannot read from STDIN");
    }
    const off_t end = ftello64(file);
    if (end < 0) {
        return Fail("Cannot read from STDIN");
    }
    const off_t length = end > from && to != from ? end - from : 0;
    if (length > INT64_MAX - to) {
        errno = EFBIG;
        return Fail("Cannot write to file");
    }
    for (off_t done = 0; done < length;) {
        const off_t left = length - done;
        const std::size_t n =
            left < static_cast<off_t>(kBufferSize) ? static_cast<std::size_t>(left) : kBufferSize;
        const off_t at = to > from ? left - static_cast<off_t>(n) : done;
        if (fseeko64(file, from + at, SEEK_SET) != 0 || std::fread(buffer, 1, n, file) != n) {
            return Fail("Cannot read from STDIN");
        }
        if (fseeko64(file, to + at, SEEK_SET) != 0 || std::fwrite(buffer, n, 1, file) != 1) {
            return Fail("Cannot write to file");
        }
        done += static_cast<off_t>(n);
    }
    // Leave standard input consumed, as a copy would, for a caller that shares its position.
    lseek(STDIN_FILENO, end > from ? end : from, SEEK_SET);
    return 1;
}
#endif

int Patch(std::FILE* file, char* buffer, std::uint64_t offset)
{
    // Offsets of 2^63 and more have no signed 64-bit position; a seek to them would fail anyway.
    if (offset > INT64_MAX) {
        errno = EINVAL;
        return Fail("Cannot seek to the given offset");
    }
    if (fseeko64(file, static_cast<std::int64_t>(offset), SEEK_SET) != 0) {
        return Fail("Cannot seek to the given offset");
    }
#ifdef _WIN32
    _setmode(_fileno(stdin), _O_BINARY);
#else
    if (IsTheTarget(file)) {
        return MoveWithinFile(file, buffer, static_cast<off_t>(offset));
    }
#endif
#ifdef F_SETPIPE_SZ
    // A larger pipe lets the writer run ahead while a chunk goes to the file, and fills the
    // buffer in fewer reads. Anything but a pipe refuses this harmlessly.
    fcntl(STDIN_FILENO, F_SETPIPE_SZ, kPipeSize);
#endif
    for (;;) {
        const std::size_t n = std::fread(buffer, 1, kBufferSize, stdin);
        if (n > 0 && std::fwrite(buffer, n, 1, file) != 1) {
            return Fail("Cannot write to file");
        }
        if (std::ferror(stdin) != 0) {
            return Fail("Cannot read from STDIN");
        }
        if (std::feof(stdin) != 0) {
            return 1;
        }
    }
}

} // namespace

int main(int argc, char* argv[])
{
    if (!OccupyClosedStandardDescriptors()) {
        return 2;
    }
#ifdef SIGXFSZ
    // Past the file size limit a write should fail with EFBIG and be reported, not kill us.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    if (argc != 3) {
        std::fputs(kUsage, stderr);
        return 0;
    }
    std::FILE* file = std::fopen(argv[1], "r+b");
    if (file == nullptr) {
        std::fputs("File not found or cannot open file\n", stderr);
        return 0;
    }
    // Chunks go to the file straight from the transfer buffer: a stream buffer would only add a
    // copy, and a read of the target on every seek.
    std::setvbuf(file, nullptr, _IONBF, 0);
    const std::uint64_t offset = GetNumberFromString(argv[2]);

    char* buffer = new (kBufferAlignment, std::nothrow) char[kBufferSize];
    if (buffer == nullptr) {
        errno = ENOMEM;
        Fail("Not enough memory");
        std::fclose(file);
        return 2;
    }
    int status = Patch(file, buffer, offset);
    ::operator delete[](buffer, kBufferAlignment);
    // A failed close can mean written bytes never reached the file (on NFS, for one).
    if (std::fclose(file) != 0 && status == 1) {
        status = Fail("Cannot write to file");
    }
    return status;
}
