// The system answers for Linux: its own copy, holes that stay holes, and the loop device.

#include "platform.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <linux/falloc.h>
#include <linux/loop.h>
#include <linux/magic.h>
#include <linux/major.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace
{

std::int64_t Nanoseconds(const timespec& time)
{
    return time.tv_sec * std::int64_t{1000000000} + time.tv_nsec;
}

// A loop device names the device and inode of the file behind it.
bool IsLoopOver(int device, const struct stat& file)
{
    struct stat self = {};
    loop_info64 loop = {};
    return fstat(device, &self) == 0 && S_ISBLK(self.st_mode) &&
           major(self.st_rdev) == LOOP_MAJOR && S_ISREG(file.st_mode) &&
           ioctl(device, LOOP_GET_STATUS64, &loop) == 0 && loop.lo_device == file.st_dev &&
           loop.lo_inode == file.st_ino;
}

// Local file systems known to report holes soundly. Elsewhere (ZFS, NFS, FUSE, overlays) a
// reported hole is only believed where it reads as zeros: some have reported holes over data.
bool ReportsHolesSoundly(int fd)
{
    struct statfs fs = {};
    if (fstatfs(fd, &fs) != 0) {
        return false;
    }
    switch (static_cast<std::uint32_t>(fs.f_type)) {
    case EXT4_SUPER_MAGIC: // ext2 and ext3 too
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case TMPFS_MAGIC:
        return true;
    default:
        return false;
    }
}

// One copy of a file on standard input into the target, range by range: data is copied, holes
// are cleared. Positions are the input's; the target's are `at` further on from `from`.
struct Walk {
    int out;
    off_t from;
    off_t at;
    // The target's end: below it, what a hole covers must be cleared; above it, the target reads
    // as zeros once it grows. A device has no end here: all of it is old bytes.
    off_t targetEnd;
    bool device;
    // The input as the walk began: its size is where the walk ends.
    InputStamp input;
    char* buffer;
    std::size_t size;
    bool systemCopies;
    bool punches;
};

off_t TargetOf(const Walk& walk, off_t position)
{
    return walk.at + (position - walk.from);
}

// Nothing has written to the input since the walk began: otherwise bytes read now could be bytes
// this copy has just written (the target under another name), and the copy loop reports it.
bool InputUnchanged(const Walk& walk)
{
    return StampInput() == walk.input;
}

bool WriteAt(Walk& walk, const char* bytes, std::size_t n, off_t to)
{
    while (n > 0) {
        const ssize_t written = pwrite(walk.out, bytes, n, to);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        bytes += written;
        n -= static_cast<std::size_t>(written);
        to += written;
    }
    walk.targetEnd = std::max(walk.targetEnd, to);
    return true;
}

// Reads [position, position + n) of the input whole into the buffer.
bool ReadAt(const Walk& walk, std::size_t n, off_t position)
{
    for (std::size_t done = 0; done < n;) {
        const ssize_t got =
            pread(STDIN_FILENO, walk.buffer + done, n - done, position + static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false; // shorter than its size said, or failed: the copy loop decides
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
}

std::size_t ChunkOf(const Walk& walk, off_t position, off_t end)
{
    return static_cast<std::size_t>(std::min<off_t>(end - position, static_cast<off_t>(walk.size)));
}

// The input's data in [position, end): the system copies it where it will, the buffer where not.
bool CopyData(Walk& walk, off_t& position, off_t end)
{
    while (position < end) {
        const std::size_t n = ChunkOf(walk, position, end);
        if (walk.systemCopies) {
            off_t in = position;
            off_t to = TargetOf(walk, position);
            const ssize_t moved = copy_file_range(STDIN_FILENO, &in, walk.out, &to, n, 0);
            if (moved > 0) {
                position = in;
                walk.targetEnd = std::max(walk.targetEnd, to);
            } else if (moved == 0) {
                return false; // the input ended before its size said
            } else if (errno != EINTR) {
                // Another file system, a kernel or emulator without it: the buffer from now on.
                walk.systemCopies = false;
            }
        } else {
            if (!ReadAt(walk, n, position) ||
                !WriteAt(walk, walk.buffer, n, TargetOf(walk, position))) {
                return false;
            }
            position += static_cast<off_t>(n);
        }
        if (!InputUnchanged(walk)) {
            return false;
        }
    }
    return true;
}

// The target's bytes for the input's [position, end) read as zeros afterwards: punched out where
// the system can, so they take no space (on a device the system zeroes them, or refuses), written
// as zeros where it cannot. Past the target's end nothing needs doing.
bool Clear(Walk& walk, off_t position, off_t end)
{
    const off_t first = TargetOf(walk, position);
    const off_t last =
        walk.device ? TargetOf(walk, end) : std::min(TargetOf(walk, end), walk.targetEnd);
    if (first >= last) {
        return true;
    }
    while (walk.punches) {
        if (fallocate(walk.out, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, first, last - first) ==
            0) {
            return true;
        }
        if (errno != EINTR) {
            walk.punches = false;
        }
    }
    for (off_t to = first; to < last;) {
        const std::size_t n = ChunkOf(walk, to, last);
        std::memset(walk.buffer, 0, n);
        if (!WriteAt(walk, walk.buffer, n, to)) {
            return false;
        }
        to += static_cast<off_t>(n);
    }
    return true;
}

// A hole the system reports in the input's [position, end). Where it is not known to report holes
// soundly, each piece is read: zeros are cleared, anything else is data after all.
bool CopyHole(Walk& walk, off_t& position, off_t end, bool believed)
{
    if (believed) {
        if (!Clear(walk, position, end)) {
            return false;
        }
        position = end;
        return true;
    }
    while (position < end) {
        const std::size_t n = ChunkOf(walk, position, end);
        if (!ReadAt(walk, n, position)) {
            return false;
        }
        const bool zeros =
            walk.buffer[0] == 0 && std::memcmp(walk.buffer, walk.buffer + 1, n - 1) == 0;
        const off_t next = position + static_cast<off_t>(n);
        if (zeros ? !Clear(walk, position, next)
                  : !WriteAt(walk, walk.buffer, n, TargetOf(walk, position))) {
            return false;
        }
        position = next;
        if (!InputUnchanged(walk)) {
            return false;
        }
    }
    return true;
}

// A file on standard input, walked from its position through its data and its holes. Returns
// where the walk stopped: the input's end, or the place from which the copy loop must go on.
off_t CopyFile(Walk& walk)
{
    const off_t end = std::max<off_t>(walk.input.size, walk.from);
    const bool believed = ReportsHolesSoundly(STDIN_FILENO);
    off_t position = walk.from;
    while (position < end) {
        off_t data = lseek(STDIN_FILENO, position, SEEK_DATA);
        if (data < 0 && errno == ENXIO) {
            data = end; // a hole to the end
        }
        if (data < position) {
            return position; // no SEEK_DATA here, or a failure: the loop copies the rest
        }
        if (!CopyHole(walk, position, std::min(data, end), believed)) {
            return position;
        }
        if (position == end) {
            break;
        }
        const off_t hole = lseek(STDIN_FILENO, position, SEEK_HOLE);
        if (hole <= position || !CopyData(walk, position, std::min(hole, end))) {
            return position;
        }
    }
    // An input that ends in a hole still reaches its full length in the target. Should the file
    // not grow, the loop writes that hole's zeros from where the target ends.
    const off_t length = TargetOf(walk, end);
    if (!walk.device && end > walk.from && walk.targetEnd < length &&
        ftruncate(walk.out, length) != 0) {
        return std::clamp(walk.from + (walk.targetEnd - walk.at), walk.from, end);
    }
    return end;
}

} // namespace

bool IsInputBehindTheFile(std::FILE* file)
{
    struct stat in = {};
    struct stat out = {};
    return fstat(STDIN_FILENO, &in) == 0 && fstat(fileno(file), &out) == 0 &&
           (IsLoopOver(STDIN_FILENO, out) || IsLoopOver(fileno(file), in));
}

InputStamp StampInput()
{
    struct stat in = {};
    if (fstat(STDIN_FILENO, &in) != 0 || !S_ISREG(in.st_mode)) {
        return {};
    }
    return {in.st_size, Nanoseconds(in.st_mtim), Nanoseconds(in.st_ctim)};
}

// The walk reads into the buffer, which clang-tidy does not follow into it.
std::int64_t CopyBySystem(std::FILE* file, std::int64_t at,
                          char* buffer, // NOLINT(readability-non-const-parameter)
                          std::size_t size)
{
    const int out = fileno(file);
    struct stat in = {};
    struct stat target = {};
    const int mode = fcntl(STDIN_FILENO, F_GETFL);
    const off_t from = lseek(STDIN_FILENO, 0, SEEK_CUR);
    if (fstat(STDIN_FILENO, &in) != 0 || fstat(out, &target) != 0) {
        return 0;
    }
    // A file goes range by range into a file or a device. Standard input must be readable before
    // anything is cleared.
    if (S_ISREG(in.st_mode) && (S_ISREG(target.st_mode) || S_ISBLK(target.st_mode)) && mode != -1 &&
        (mode & O_ACCMODE) != O_WRONLY && from >= 0) {
        Walk walk = {out,          from,   at,   target.st_size, S_ISBLK(target.st_mode),
                     StampInput(), buffer, size, true,           true};
        const off_t reached = CopyFile(walk);
        return lseek(STDIN_FILENO, reached, SEEK_SET) == reached ? reached - from : 0;
    }
    // A pipe's pages go straight to the target; a file into anything else, as the system will.
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
    while (move(STDIN_FILENO, nullptr, out, &position, size, 0) > 0) {
    }
    return position - at;
}
