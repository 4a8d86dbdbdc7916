// What the run needs to know from the system it runs on. Each system answers in a file of its own,
// chosen by the build: posix.cpp (Linux, macOS, the BSDs) with linux.cpp, linux-device.cpp and
// linux-storage.cpp, or bsd.cpp (macOS and the BSDs); windows.cpp; no-holes.cpp for all but Linux.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// The most that one read or write moves through the buffer: what a pipe holds. Only the part of
// the buffer ever touched costs memory, so that every copy stays within 2 MiB.
constexpr std::size_t kPiece = 1048576;

// From now on the signal a user sends to ask for progress (SIGUSR1; SIGINFO, Ctrl-T, where the
// system has it) only notes the request, instead of ending the process. A call that waits returns
// EINTR for it: every such call is made again, after AnswerProgress(). A signal the parent left
// ignored stays ignored. Windows has no such signal: nothing is caught.
void CatchProgressRequests();

// Whether progress was asked for since the last call.
bool TakeProgressRequest();

// The line for a request taken is written: the next request may come.
void ProgressShown();

// Provided by the run: the copy has placed `count` bytes into the target so far. The copies here
// call it after each piece, so that progress asked for is shown while the system copies too.
void Placed(std::int64_t count);

// Provided by the run: progress asked for since the last line is shown now, with what was placed
// so far. Called where a call that waits (for input, for room in a pipe) was interrupted by the
// signal and is about to be made again, so that a user who asks while nothing arrives is answered
// at once, and while the device is read back.
void AnswerProgress();

// Makes the process fit to run: standard descriptors that were closed are occupied, and a write
// past the file size limit fails instead of killing the process. False when that cannot be done.
bool PrepareProcess();

// Standard input delivers its bytes as they are: no line-end translation, no end-of-file character.
void SetBinaryInput();

// Lets a writer on a pipe run further ahead of us, where the system allows it. Never shrinks it.
void EnlargeInputPipe();

// Standard input is a disk file open for reading, and the very file that `file` has open.
bool IsInputTheFile(std::FILE* file);

// Standard input and the bytes of the file that a copy to position `at` would cover are one store
// that the system names twice, and can tell so: a loop device, a partition, device-mapper or md
// standing on the other, to any depth, either way round; a file of a file system mounted from
// the other; an overlay's file and its layer's.
bool IsInputBehindTheFile(std::FILE* file, std::int64_t at);

// Where a copy into `file` from position `at` on would first write on bytes that the system holds
// for someone else: a file system mounted from them, swap, a device-mapper, md or LVM volume built
// on them, a program that opened their device exclusively. The held device stands on the target's
// bytes there: it is the target, a partition of it, a loop device over the target (or over one
// of these), or a partition of that; or the target file is mounted itself. Writes there would go
// under the kernel's own, which writes its blocks back over them. A file system that the target
// file lies on is below it, not on it. A device target is held from now on until the process
// ends, so that nothing mounts it during the copy.
constexpr std::int64_t kNothingHeld = INT64_MAX;
struct Held {
    // The first position at or after `at` that such a device stands on; kNothingHeld if none.
    std::int64_t from;
    // Its name, as /dev/sdb1; a file's path.
    std::string device;
};
Held FindHeld(std::FILE* file, std::int64_t at);

// A device target is held for the whole copy from FindHeld on, so that nothing mounts it meanwhile:
// let go of it once the copy is flushed and read back.
void LetGo();

// How many bytes standard input holds from its position on, where that is known before reading
// (a file, a device); -1 where it is not (a pipe, a socket, a terminal).
std::int64_t InputLength();

// What shows that a file on standard input is being written to: its size and times. All zero for
// input that is no file (a pipe's times move with every write into it).
struct InputStamp {
    std::int64_t size;
    std::int64_t modified;
    std::int64_t changed;
};
InputStamp StampInput();

inline bool operator==(const InputStamp& a, const InputStamp& b)
{
    return a.size == b.size && a.modified == b.modified && a.changed == b.changed;
}

inline bool operator!=(const InputStamp& a, const InputStamp& b)
{
    return !(a == b);
}

// Whether the file's bytes from `at` on are known to read as zeros without being stored (a hole),
// where the system reports holes soundly; `until` is set to where that answer ends, `end` at most.
// Asked just before the bytes are moved, never kept. Where holes are not known, all is data.
bool IsHole(std::FILE* file, std::int64_t at, std::int64_t end, std::int64_t& until);

// Bytes [first, last) of the file read as zeros afterwards, stored as a hole where the system can
// (written as zeros where not, or past the file size limit); past the file's end it grows over
// them. False on failure, errno telling why.
bool ClearRange(std::FILE* file, std::int64_t first, std::int64_t last);

// Standard input's own position, which a caller sharing it sees; -1 on failure.
std::int64_t GetInputPosition();
bool SetInputPosition(std::int64_t position);

// What the system's copy did: how many bytes it moved, and a failure that the copy loop could not
// meet again itself, `error` telling why: a read of a pipe or socket (what it held is gone, and
// the next read may well report an end), or a read or write of bytes already taken from it.
struct Moved {
    std::int64_t bytes;
    enum class Failure : unsigned char { none, reading, writing } failed;
    int error;
};

// Has the system itself move standard input into `file` from position `at` on, for as long as it
// will: the bytes never pass through this process, a file system that can share blocks between
// files may share them instead of copying, and holes in a file input become holes in the target
// (the buffer of `size` bytes serves where the system will not copy), and zeros arriving through
// a pipe are not written where the target reads as zeros already. Standard input is left just
// after the bytes moved. A doubt only ends the moving (nothing is reported): the caller copies
// whatever is left and meets a real fault itself. A read that failed is reported, never tried
// again; so is a write of bytes that cannot be read again, or that has no position in the target.
// Nothing is written at `limit` or past it. Into a block device on Linux this is the whole copy,
// whatever the input: each piece compared with the device and written past the system's cache
// only where it differs; every failure is reported, and what is left for the copy loop is the
// input's end, bytes for under a held device, or an input that changed.
Moved CopyBySystem(std::FILE* file, std::int64_t at, std::int64_t limit, char* buffer,
                   std::size_t size);

// A device may take writes into its cache and fail them later: has a device target write them
// through, and says whether it did. A file needs nothing (the system writes it back as for any
// other program's file).
bool FlushDevice(std::FILE* file);

// After the flush: what the copy placed into a block device is read back from the device itself,
// past every cache, and compared with what was sent: a file input read again, a pipe's bytes
// remembered as hashes. A copy that wrote nothing has just read all it covers and found it equal,
// and reads nothing back. `buffer` is the copy's. Nothing to do for a file target.
struct ReadBack {
    // `changed`: a file input changed since it was copied, and cannot be compared with.
    enum class Result : unsigned char { same, differs, failed, changed } result;
    // The first position that differs: exact where the input is a file that can be read again,
    // else the first of the stretch of the device whose bytes differ.
    std::int64_t at;
    // Why the device could not be read.
    int error;
};
ReadBack ReadBackDevice(std::FILE* file, char* buffer, std::size_t size);

// 64-bit positions on a stream: 0 on success, as fseek; Tell gives -1 on failure.
int Seek(std::FILE* file, std::int64_t position, int whence);
std::int64_t Tell(std::FILE* file);

// A read of standard input just failed with `error`. If that only means no data has arrived yet
// (a non-blocking pipe), waits until some has, or the writer is gone, and returns true.
bool WaitForInput(int error);
