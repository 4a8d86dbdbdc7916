// The system answers for Linux: its own copy, holes that stay holes, zeros through a pipe that
// need no writing.

#include "linux-device.h"
#include "platform.h"
#include "posix.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <linux/falloc.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace
{

// Local file systems known to report holes soundly. Elsewhere (ZFS, NFS, FUSE, overlays) a
// reported hole is only believed where it reads as zeros: some have reported holes over data.
bool ReportsHolesSoundly(int fd)
{
    struct statfs fs = {};
    if (fstatfs(fd, &fs) != 0) {
        return false;
    }
    int flags = 0;
    switch (static_cast<std::uint32_t>(fs.f_type)) {
    case EXT4_SUPER_MAGIC:
        // ext2 and ext3 too. A file mapped block by block rather than by extents (one made on an
        // ext3 file system, or kept from before a conversion) shows data still waiting for its
        // blocks as a hole until it is written back.
        return ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_EXTENT_FL) != 0;
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case TMPFS_MAGIC:
        return true;
    default:
        return false;
    }
}

// Zeros to write from: never written to, so its pages are the system's one page of zeros and
// cost no memory.
std::array<char, kPiece> zeros;

// The file size limit (ulimit -f): a write at or past it fails, where a hole punched or zeros
// left out would not.
off_t FileSizeLimit()
{
    struct rlimit limit = {};
    if (getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        limit.rlim_cur > static_cast<rlim_t>(std::numeric_limits<off_t>::max())) {
        return std::numeric_limits<off_t>::max();
    }
    return static_cast<off_t>(limit.rlim_cur);
}

// The target file as the copy finds it and leaves it (a device is copied into elsewhere).
struct Target {
    int fd;
    // Its size, which grows as bytes land past it.
    off_t end;
    // The file system's usual block.
    off_t block;
    // The file system still punches holes.
    bool punches;
    // The file system reports holes soundly, so a hole there is known to read as zeros.
    bool holesKnown;
    // A file's size limit: from there on zeros are written, to fail as a plain copy's would.
    off_t limit;
};

Target TargetFrom(int fd, const struct stat& st)
{
    return {fd, st.st_size, 4096, true, ReportsHolesSoundly(fd), FileSizeLimit()};
}

bool WriteAt(Target& target, const char* bytes, std::size_t n, off_t to)
{
    while (n > 0) {
        const ssize_t written = pwrite(target.fd, bytes, n, to);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        bytes += written;
        n -= static_cast<std::size_t>(written);
        to += written;
        target.end = std::max(target.end, to);
    }
    return true;
}

bool WriteZeros(Target& target, off_t first, off_t last)
{
    for (off_t to = first; to < last;) {
        const auto n = static_cast<std::size_t>(std::min<off_t>(last - to, zeros.size()));
        if (!WriteAt(target, zeros.data(), n, to)) {
            return false;
        }
        to += static_cast<off_t>(n);
    }
    return true;
}

bool Punch(Target& target, off_t first, off_t last)
{
    while (target.punches) {
        if (fallocate(target.fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, first, last - first) ==
            0) {
            return true;
        }
        if (errno != EINTR) {
            target.punches = false;
        }
    }
    return false;
}

// Whether the file reads as zeros at `at` without storing them: a hole, or an unwritten extent.
// Sets `until` to where that answer ends. Asked just before the zeros are left out, never kept:
// another program may write into the hole while the copy runs, and a plain copy would write its
// zeros over those bytes.
bool IsHoleAt(Target& target, off_t at, off_t& until)
{
    const off_t data = lseek(target.fd, at, SEEK_DATA);
    if (data < 0 && errno == ENXIO) {
        until = target.end; // a hole to the end
        return true;
    }
    if (data > at) {
        until = data;
        return true;
    }
    const off_t hole = data == at ? lseek(target.fd, at, SEEK_HOLE) : -1;
    if (hole > at) {
        until = hole;
        return false;
    }
    target.holesKnown = false; // an answer that makes no sense: write every zero
    until = target.end;
    return false;
}

// Zeros that arrived as data for [first, last) of a file: past its end and where it already reads
// as zeros they need no writing (the file grows over them at the end, or later data does); where
// it holds bytes, or past its size limit, they are written, and its allocation stays as it was.
bool ClearFile(Target& target, off_t first, off_t last)
{
    while (first < last && first < target.end) {
        off_t until = target.end;
        const bool hole =
            target.holesKnown && first < target.limit && IsHoleAt(target, first, until);
        until = std::min({until, last, target.end, hole ? target.limit : last});
        if (!hole && !WriteZeros(target, first, until)) {
            return false;
        }
        first = until;
    }
    return true;
}

// The file reaches `to` over zeros that ran past its end from `from` on: it grows over them, or
// where it may not, they are written, to fail where a plain copy's writes would (at the size
// limit) and leave the file as those would have.
bool Grow(Target& target, off_t from, off_t to)
{
    if (target.end >= to) {
        return true;
    }
    if (ftruncate(target.fd, to) == 0) {
        target.end = to;
        return true;
    }
    return WriteZeros(target, std::max(from, target.end), to);
}

// A pipe or socket on standard input, read in pieces no larger than the pipe holds (a larger
// read brings no more, and would only touch more of the buffer) and cut into blocks at the
// target's block boundaries. Blocks with data are written; a run of zero blocks is written only
// where the target does not read as zeros already.
struct Stream {
    Target target;
    // Where the run of zero blocks that reaches the bytes not yet placed began, or -1.
    off_t zerosFrom;
};

bool Clear(Stream& stream, off_t last)
{
    const off_t first = stream.zerosFrom;
    stream.zerosFrom = -1;
    return ClearFile(stream.target, first, last);
}

// Writes the data for [first, first + n), after the run of zero blocks before it. Should the write
// fail, the file still reaches as far over those zeros as a plain copy's would have.
bool PlaceData(Stream& stream, const char* bytes, std::size_t n, off_t first)
{
    const off_t zerosFrom = stream.zerosFrom;
    if (zerosFrom >= 0 && !Clear(stream, first)) {
        return false;
    }
    if (WriteAt(stream.target, bytes, n, first)) {
        return true;
    }
    const int error = errno;
    if (zerosFrom >= 0) {
        Grow(stream.target, zerosFrom, first);
    }
    errno = error;
    return false;
}

// Places the n bytes that go to the target at `at`.
bool Place(Stream& stream, const char* bytes, std::size_t n, off_t at)
{
    const auto block = static_cast<std::size_t>(stream.target.block);
    // The first block may start before `at`: a block is the target's, not the input's.
    std::size_t i = 0;
    while (i < n) {
        std::size_t j = i;
        bool zero = false;
        for (std::size_t next; j < n; j = next) {
            next = std::min(n, j + block -
                                   static_cast<std::size_t>((at + static_cast<off_t>(j)) %
                                                            stream.target.block));
            const bool blockZero = IsZero(bytes + j, next - j);
            if (j > i && blockZero != zero) {
                break;
            }
            zero = blockZero;
        }
        const off_t first = at + static_cast<off_t>(i);
        if (zero) {
            if (stream.zerosFrom < 0) {
                stream.zerosFrom = first;
            }
        } else if (!PlaceData(stream, bytes + i, j - i, first)) {
            return false;
        }
        i = j;
    }
    return true;
}

Moved WriteFailed()
{
    return {0, Moved::Failure::writing, errno};
}

// Places what the input delivers; bytes taken from it that could not be placed cannot be read
// again, and a failed read is the input's last word. Nothing is read that would go to `limit`
// or past it.
Moved CopyStream(const Target& target, off_t at, off_t limit, char* buffer, std::size_t size)
{
    Stream stream = {target, -1};
    const auto block = static_cast<std::size_t>(target.block);
    const int capacity = fcntl(STDIN_FILENO, F_GETPIPE_SZ);
    std::size_t piece = capacity > 0 ? static_cast<std::size_t>(capacity) : kPiece;
    piece = std::clamp<std::size_t>(piece, block, std::min<std::size_t>(kPiece, size - block));
    // The bytes in the buffer go to the target from `base` on.
    off_t base = at;
    std::size_t fill = 0;
    int readError = 0;
    for (;;) {
        const auto room = static_cast<std::uint64_t>(limit - base) - fill;
        const ssize_t got = read(STDIN_FILENO, buffer + fill,
                                 static_cast<std::size_t>(std::min<std::uint64_t>(piece, room)));
        const int error = errno;
        if (got < 0 && error == EINTR) {
            AnswerProgress();
            continue;
        }
        if (got < 0 && WaitForInput(error)) {
            continue;
        }
        if (got < 0) {
            // A reset connection, a failing device behind the pipe: what came before still goes
            // to the target, as a plain copy would have written it, and then the failure is
            // reported. Read again, a socket would only report an end.
            readError = error;
            break;
        }
        if (got == 0) {
            // The end, or no position left for more (none at all, or none the copy may write): the
            // copy loop reads again and decides.
            break;
        }
        fill += static_cast<std::size_t>(got);
        // Every whole block goes now; the rest waits for the bytes that complete its block.
        const off_t whole = (base + static_cast<off_t>(fill)) / target.block * target.block;
        if (whole > base) {
            const auto n = static_cast<std::size_t>(whole - base);
            if (!Place(stream, buffer, n, base)) {
                return WriteFailed();
            }
            std::memmove(buffer, buffer + n, fill - n);
            fill -= n;
            base = whole;
            // A run of zeros still open is not placed yet: it may yet have to be written.
            Placed((stream.zerosFrom >= 0 ? stream.zerosFrom : base) - at);
        }
    }
    if (fill > 0 && !Place(stream, buffer, fill, base)) {
        return WriteFailed();
    }
    const off_t end = base + static_cast<off_t>(fill);
    const off_t zerosFrom = stream.zerosFrom;
    if (zerosFrom >= 0 && !Clear(stream, end)) {
        return WriteFailed();
    }
    // Zeros that ran past the file's end: the file grows over them, or they are written.
    if (zerosFrom >= 0 && !Grow(stream.target, zerosFrom, end)) {
        return WriteFailed();
    }
    if (readError != 0) {
        return {end - at, Moved::Failure::reading, readError};
    }
    return {end - at, Moved::Failure::none, 0};
}

// One copy of a file on standard input into the target, range by range: data is copied, holes
// are cleared. Positions are the input's; the target's are `at` further on from `from`.
struct Walk {
    Target target;
    off_t from;
    off_t at;
    // The input as the walk began: its size is where the walk ends.
    InputStamp input;
    // The target position the walk must not reach.
    off_t limit;
    char* buffer;
    std::size_t size;
    bool systemCopies;
    // A read of the input that failed, which ends the walk and is reported: never read again.
    int readError;
    // A system copy that failed on its own account (a failing disk, either side's): the same.
    int copyError;
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

// Reads [position, position + n) of the input whole into the buffer.
bool ReadAt(Walk& walk, std::size_t n, off_t position)
{
    for (std::size_t done = 0; done < n;) {
        const ssize_t got =
            pread(STDIN_FILENO, walk.buffer + done, n - done, position + static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            walk.readError = errno;
            return false;
        }
        if (got == 0) {
            return false; // shorter than its size said: the copy loop decides
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
}

// How much of [position, end) one step moves, at most `most`: what the system copies at a time,
// or a piece through the buffer.
std::size_t ChunkOf(off_t position, off_t end, std::size_t most)
{
    return static_cast<std::size_t>(std::min<off_t>(end - position, static_cast<off_t>(most)));
}

// The input's data in [position, end): the system copies it where it will, the buffer where not.
bool CopyData(Walk& walk, off_t& position, off_t end)
{
    while (position < end) {
        const std::size_t n = ChunkOf(position, end, walk.systemCopies ? walk.size : kPiece);
        if (walk.systemCopies) {
            off_t in = position;
            off_t to = TargetOf(walk, position);
            const ssize_t moved = copy_file_range(STDIN_FILENO, &in, walk.target.fd, &to, n, 0);
            if (moved > 0) {
                position = in;
                walk.target.end = std::max(walk.target.end, to);
            } else if (moved == 0) {
                return false; // the input ended before its size said
            } else if (errno == EXDEV || errno == EINVAL || errno == ENOSYS ||
                       errno == EOPNOTSUPP || errno == EBADF) {
                // Another file system, a kernel or emulator without it: the buffer from now on.
                walk.systemCopies = false;
            } else if (errno != EINTR) {
                walk.copyError = errno;
                return false;
            }
        } else {
            if (!ReadAt(walk, n, position) ||
                !WriteAt(walk.target, walk.buffer, n, TargetOf(walk, position))) {
                return false;
            }
            position += static_cast<off_t>(n);
        }
        Placed(position - walk.from);
        if (!InputUnchanged(walk)) {
            return false;
        }
    }
    return true;
}

// The target's bytes for the input's [position, end) read as zeros afterwards: they are punched
// out where the system can, so they take no space, and written as zeros where it cannot; past its
// end nothing needs doing.
bool Clear(Walk& walk, off_t position, off_t end)
{
    Target& target = walk.target;
    const off_t first = TargetOf(walk, position);
    const off_t reach = TargetOf(walk, end);
    // Past a file's end nothing needs doing (it grows over the hole at the end), but for zeros
    // that reach past the file size limit: a plain copy writes those up to it, and fails there.
    const off_t last = reach > target.limit ? reach : std::min(reach, target.end);
    if (first >= last) {
        return true;
    }
    // A punched hole is not held to the file size limit, as a plain copy's writes are, nor does
    // it make the file grow: from the limit or the file's end on, the zeros are written.
    const off_t punched =
        std::min({last, std::max(first, target.limit), std::max(first, target.end)});
    return (first == punched || Punch(target, first, punched) ||
            WriteZeros(target, first, punched)) &&
           WriteZeros(target, punched, last);
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
        Placed(position - walk.from);
        return true;
    }
    while (position < end) {
        const std::size_t n = ChunkOf(position, end, kPiece);
        if (!ReadAt(walk, n, position)) {
            return false;
        }
        const off_t next = position + static_cast<off_t>(n);
        if (IsZero(walk.buffer, n)
                ? !Clear(walk, position, next)
                : !WriteAt(walk.target, walk.buffer, n, TargetOf(walk, position))) {
            return false;
        }
        position = next;
        Placed(position - walk.from);
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
    off_t end = std::max<off_t>(walk.input.size, walk.from);
    if (end - walk.from > walk.limit - walk.at) {
        end = walk.from + (walk.limit - walk.at);
    }
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
    if (end > walk.from && walk.target.end < length && ftruncate(walk.target.fd, length) != 0) {
        return std::clamp(walk.from + (walk.target.end - walk.at), walk.from, end);
    }
    return end;
}

} // namespace

bool IsHole(std::FILE* file, std::int64_t at, std::int64_t end, std::int64_t& until)
{
    const int fd = fileno(file);
    until = end;
    if (!ReportsHolesSoundly(fd)) {
        return false;
    }
    const off_t data = lseek(fd, at, SEEK_DATA);
    struct stat st = {};
    if (data < 0 && errno == ENXIO) {
        // A hole to the end of the file; past its end (someone cut it down meanwhile), a read finds
        // out and says so.
        return fstat(fd, &st) == 0 && st.st_size >= end;
    }
    if (data > at) {
        until = std::min<off_t>(data, end);
        return true;
    }
    const off_t hole = data == at ? lseek(fd, at, SEEK_HOLE) : -1;
    if (hole > at) {
        until = std::min<off_t>(hole, end);
    }
    return false;
}

bool ClearRange(std::FILE* file, std::int64_t first, std::int64_t last)
{
    struct stat st = {};
    if (fstat(fileno(file), &st) != 0) {
        return false;
    }
    Target target = TargetFrom(fileno(file), st);
    // A punched hole is not held to the file size limit, nor does it make the file grow: from the
    // limit or the file's end on, the zeros are written, or the file grows over them.
    const off_t punched =
        std::min({last, std::max(first, target.limit), std::max(first, target.end)});
    const off_t written = std::min(last, std::max(punched, target.end));
    return (first == punched || Punch(target, first, punched) ||
            WriteZeros(target, first, punched)) &&
           WriteZeros(target, punched, written) && Grow(target, written, last);
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
Moved CopyBySystem(std::FILE* file, std::int64_t at, std::int64_t limit,
                   char* buffer, // NOLINT(readability-non-const-parameter)
                   std::size_t size)
{
    const int out = fileno(file);
    struct stat in = {};
    struct stat target = {};
    const int mode = fcntl(STDIN_FILENO, F_GETFL);
    const off_t from = lseek(STDIN_FILENO, 0, SEEK_CUR);
    if (fstat(STDIN_FILENO, &in) != 0 || fstat(out, &target) != 0) {
        return {0, Moved::Failure::none, 0};
    }
    // A device is compared, written where it differs and read back, whatever the input.
    if (S_ISBLK(target.st_mode)) {
        return CopyIntoDevice(out, at, limit, buffer, size);
    }
    const bool intoStore = S_ISREG(target.st_mode);
    // A file goes range by range into a file. Standard input must be readable before anything is
    // cleared.
    if (S_ISREG(in.st_mode) && intoStore && mode != -1 && (mode & O_ACCMODE) != O_WRONLY &&
        from >= 0) {
        if (in.st_size > from && in.st_size - from > INT64_MAX - at) {
            return {0, Moved::Failure::writing, EFBIG}; // no file position for its last bytes
        }
        Walk walk = {
            TargetFrom(out, target), from, at, StampInput(), limit, buffer, size, true, 0, 0};
        const off_t reached = CopyFile(walk);
        if (walk.readError != 0) {
            return {reached - from, Moved::Failure::reading, walk.readError};
        }
        if (walk.copyError != 0) {
            return {reached - from, Moved::Failure::writing, walk.copyError};
        }
        return {lseek(STDIN_FILENO, reached, SEEK_SET) == reached ? reached - from : 0,
                Moved::Failure::none, 0};
    }
    // A pipe or socket into a file: the zeros of a compressed image need no writing.
    if ((S_ISFIFO(in.st_mode) || S_ISSOCK(in.st_mode)) && intoStore) {
        return CopyStream(TargetFrom(out, target), at, limit, buffer, size);
    }
    // A pipe's pages go straight to anything else; a file, as the system will.
    MoveCall move = nullptr;
    if (S_ISREG(in.st_mode)) {
        move = copy_file_range;
    } else if (S_ISFIFO(in.st_mode)) {
        move = splice;
    } else {
        return {0, Moved::Failure::none, 0};
    }
    return {MoveBySystem(move, out, at, limit, size), Moved::Failure::none, 0};
}
