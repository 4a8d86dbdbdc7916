// quillpatch: write standard input into an existing file, in place, at a byte offset.
//
//     quillpatch FILE OFFSET < BYTES
//
// The file is never created or truncated; it grows only where the bytes reach past its end.
// Exit status: 1 after a completed copy, 0 for a usage error or a file that cannot be opened,
// 2 for any failure once the file is open.

#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "platform.h"

namespace
{

constexpr std::size_t kBufferSize = 10485760;
// Page-aligned, as the kernel copies to and from a misaligned buffer markedly slower.
constexpr std::align_val_t kBufferAlignment{4096};

constexpr const char* kUsage =
    "Quillpatch writes bytes to a file at a given offset from STDIN. The parameters are:\n"
    "1) The file to write to\n"
    "2) The byte offset to write at (hex is supported like 0xA)\n";

// When the run began, and how many bytes the copy has placed into the target since, for a line of
// progress when one is asked for.
double started = 0;
std::int64_t placed = 0;

// Seconds on a clock that only goes forward.
double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

using Amount = std::array<char, 32>;

// `value` as dd writes an amount: with the largest prefix of `base` (1000 or 1024) that leaves it
// at 1 or more, one decimal below 10 and none from there on: "5.2 MB", "870 MiB", "512 B".
void Scale(Amount& text, double value, double base, const char* unit)
{
    static constexpr std::array<const char*, 7> kPrefixes = {"", "k", "M", "G", "T", "P", "E"};
    const auto rounded = [](double v) {
        return v < 9.95 ? std::floor(v * 10 + 0.5) / 10 : std::floor(v + 0.5);
    };
    std::size_t prefix = 0;
    while (prefix + 1 < kPrefixes.size() && rounded(value) >= base) {
        value /= base;
        ++prefix;
    }
    const char* binary = base == 1024 && prefix > 0 ? "i" : "";
    // The kilo of 1024 is written K, as dd writes it: KiB.
    const char* name = base == 1024 && prefix == 1 ? "K" : kPrefixes.at(prefix);
    std::snprintf(text.data(), text.size(), rounded(value) < 10 ? "%.1f %s%s%s" : "%.0f %s%s%s",
                  rounded(value), name, binary, unit);
}

// The device is being read back after the copy.
bool verifying = false;

// One line, in dd's manner: "1048576 bytes (1.0 MB, 1.0 MiB) copied, 0.5 s, 2.1 MB/s", and while
// the device is read back ", verifying" after it.
void ShowProgress()
{
    const double seconds = Now() - started;
    const auto bytes = static_cast<double>(placed);
    Amount si = {};
    Amount iec = {};
    Amount rate = {"Infinity B"};
    Scale(si, bytes, 1000, "B");
    Scale(iec, bytes, 1024, "B");
    if (seconds > 0) {
        Scale(rate, bytes / seconds, 1000, "B");
    }
    const auto count = static_cast<long long>(placed);
    const char* then = verifying ? ", verifying" : "";
    if (placed < 1000) {
        std::fprintf(stderr, "%lld byte%s copied, %g s, %s/s%s\n", count, placed == 1 ? "" : "s",
                     seconds, rate.data(), then);
    } else if (placed < 1024) {
        std::fprintf(stderr, "%lld bytes (%s) copied, %g s, %s/s%s\n", count, si.data(), seconds,
                     rate.data(), then);
    } else {
        std::fprintf(stderr, "%lld bytes (%s, %s) copied, %g s, %s/s%s\n", count, si.data(),
                     iec.data(), seconds, rate.data(), then);
    }
    ProgressShown();
}

// A leading zero followed by any character at all means hex from the third character on, so
// "0x1F" and "0X1f" are 31 but "0010" is 16. Anything after the number is ignored.
std::uint64_t GetNumberFromString(const char* text)
{
    if (text[0] == '0' && text[1] != '\0') {
        return std::strtoull(text + 2, nullptr, 16);
    }
    return std::strtoull(text, nullptr, 10);
}

// One line: what failed and why: the reason given, else the system's where it gives one.
int Fail(const char* what, const char* reason = nullptr)
{
    if (reason == nullptr && errno != 0) {
        reason = std::strerror(errno);
    }
    if (reason != nullptr) {
        std::fprintf(stderr, "%s: %s\n", what, reason);
    } else {
        std::fprintf(stderr, "%s\n", what);
    }
    return 2;
}

// The bytes from `held.from` on lie under a file system, swap or a volume that the kernel keeps on
// the target's bytes. It writes its own blocks back over whatever is written under it, so the
// copy would corrupt both and still end in success.
int FailHeld(const Held& held)
{
    // Nothing is held: the copy reached the last position a file can have.
    if (held.from == kNothingHeld) {
        errno = EFBIG;
        return Fail("Cannot write to file");
    }
    const std::string reason = held.device + " is in use (mounted?); unmount it first";
    return Fail("Cannot write to file", reason.c_str());
}

// A read or write that a signal interrupted goes on from where it stopped: what it moved before the
// signal counts, and nothing is moved twice.
std::size_t ReadFully(std::FILE* stream, char* buffer, std::size_t n)
{
    std::size_t done = 0;
    for (;;) {
        errno = 0;
        done += std::fread(buffer + done, 1, n - done, stream);
        if (done == n || std::ferror(stream) == 0 || errno != EINTR) {
            return done;
        }
        std::clearerr(stream);
        AnswerProgress();
    }
}

bool WriteFully(std::FILE* stream, const char* buffer, std::size_t n)
{
    std::size_t done = 0;
    for (;;) {
        errno = 0;
        done += std::fwrite(buffer + done, 1, n - done, stream);
        if (done == n) {
            return true;
        }
        if (errno != EINTR) {
            return false;
        }
        std::clearerr(stream);
        AnswerProgress();
    }
}

// The holes of a piece, as they were before any of it was written. A piece with more is taken as
// data from the last one on: written zeros are exact too, only not sparse.
constexpr std::size_t kHolesInAPiece = 64;
struct Hole {
    std::int64_t first;
    std::int64_t last;
};

// Moves bytes [from, from + n) of the file to `to`. All of the piece is read before any of it is
// written, so that it may overlap its own new place; its holes become holes there.
int MovePiece(std::FILE* file, char* buffer, std::int64_t from, std::int64_t to, std::size_t n)
{
    const std::int64_t end = from + static_cast<std::int64_t>(n);
    std::array<Hole, kHolesInAPiece> holes = {};
    std::size_t count = 0;
    for (std::int64_t at = from, until = end; at < end && count < holes.size(); at = until) {
        if (IsHole(file, at, end, until)) {
            holes.at(count++) = {at, until};
        }
    }
    // The data runs from the piece's start or a hole's end to the next hole or the piece's end.
    const auto first = [&](std::size_t i) { return i == 0 ? from : holes.at(i - 1).last; };
    const auto last = [&](std::size_t i) { return i < count ? holes.at(i).first : end; };
    for (std::size_t i = 0; i <= count; ++i) {
        const auto size = static_cast<std::size_t>(last(i) - first(i));
        if (size > 0 && Seek(file, first(i), SEEK_SET) != 0) {
            return Fail("Cannot read from STDIN");
        }
        if (size > 0 && ReadFully(file, buffer + (first(i) - from), size) != size) {
            // Short without an error: someone else cut the file down while it was being moved.
            return Fail("Cannot read from STDIN",
                        std::ferror(file) != 0 ? nullptr : "the file shrank while it was moved");
        }
    }
    for (std::size_t i = 0; i <= count; ++i) {
        const auto size = static_cast<std::size_t>(last(i) - first(i));
        if (size > 0 && (Seek(file, to + (first(i) - from), SEEK_SET) != 0 ||
                         !WriteFully(file, buffer + (first(i) - from), size))) {
            return Fail("Cannot write to file");
        }
        if (i < count && !ClearRange(file, to + (last(i) - from), to + (first(i + 1) - from))) {
            return Fail("Cannot write to file");
        }
    }
    return 1;
}

// Standard input is the target itself, so a plain copy would read back bytes it has already
// overwritten. Move the rest of the input, from `from` on, to `to` as memmove does, from the far
// end when the move goes right, piece by piece: no piece is written before the pieces whose
// bytes it would cover have moved. Its holes stay holes.
int MoveWithinFile(std::FILE* file, char* buffer, std::int64_t from, std::int64_t to,
                   const Held& held)
{
    if (from < 0 || Seek(file, 0, SEEK_END) != 0) {
        return Fail("Cannot read from STDIN");
    }
    const std::int64_t end = Tell(file);
    if (end < 0) {
        return Fail("Cannot read from STDIN");
    }
    const std::int64_t length = end > from && to != from ? end - from : 0;
    if (length > INT64_MAX - to) {
        errno = EFBIG;
        return Fail("Cannot write to file");
    }
    if (length > held.from - to) {
        return FailHeld(held);
    }
    for (std::int64_t done = 0; done < length;) {
        const std::int64_t left = length - done;
        const std::size_t n =
            left < static_cast<std::int64_t>(kPiece) ? static_cast<std::size_t>(left) : kPiece;
        const std::int64_t at = to > from ? left - static_cast<std::int64_t>(n) : done;
        if (MovePiece(file, buffer, from + at, to + at, n) != 1) {
            return 2;
        }
        done += static_cast<std::int64_t>(n);
        Placed(done);
    }
    // Leave standard input consumed, as a copy would, for a caller that shares its position.
    SetInputPosition(end > from ? end : from);
    return 1;
}

// Standard input is another file or a pipe: everything it delivers goes to the target, which is
// positioned at `to`.
int CopyInput(std::FILE* file, char* buffer, std::int64_t to, const Held& held)
{
    // An input whose length is known and that would reach under a held device is refused before
    // anything is written; a pipe's bytes are written up to the device, and the copy stops there.
    if (held.from != kNothingHeld && InputLength() > held.from - to) {
        return FailHeld(held);
    }
    // A larger pipe lets the writer run ahead while a piece goes to the file, and fills a piece
    // in fewer reads.
    EnlargeInputPipe();
    // The input may be the target under a name the system cannot tell (an overlay, a FUSE mirror,
    // a network share), or another program may write to it: then bytes read after a write would
    // be bytes just written. A file input that changes stops the copy before the next read.
    const InputStamp stamp = StampInput();
    // First the system copies what it will, without the bytes passing through here. The loop
    // goes on from where it stopped, and decides success: a doubt that was passing costs
    // nothing, a real fault comes back at the next write and is reported there, and an end the
    // system saw too early (some kernels find nothing in /proc files) is read again. A read that
    // failed is reported at once, never read again: a socket gives an end after a reset.
    const Moved moved = CopyBySystem(file, to, held.from, buffer, kBufferSize);
    if (moved.failed != Moved::Failure::none) {
        errno = moved.error;
        return Fail(moved.failed == Moved::Failure::reading ? "Cannot read from STDIN"
                                                            : "Cannot write to file");
    }
    if (moved.bytes > 0 && Seek(file, to + moved.bytes, SEEK_SET) != 0) {
        return Fail("Cannot write to file");
    }
    std::int64_t at = to + moved.bytes;
    Placed(moved.bytes);
    for (;;) {
        if (StampInput() != stamp) {
            return Fail("Cannot read from STDIN", "the input changed while it was copied");
        }
        const std::size_t n = ReadFully(stdin, buffer, kPiece);
        const int readError = errno;
        // What would land under a held device is not written; what comes before it is.
        const auto room = static_cast<std::uint64_t>(held.from - at);
        const std::size_t fits = n > room ? static_cast<std::size_t>(room) : n;
        if (fits > 0 && !WriteFully(file, buffer, fits)) {
            return Fail("Cannot write to file");
        }
        Placed(placed + static_cast<std::int64_t>(fits));
        if (fits < n) {
            return FailHeld(held);
        }
        at += static_cast<std::int64_t>(n);
        if (std::ferror(stdin) != 0) {
            // A non-blocking pipe that is empty for now has not failed: wait for more.
            if (WaitForInput(readError)) {
                std::clearerr(stdin);
                continue;
            }
            errno = readError;
            return Fail("Cannot read from STDIN");
        }
        if (std::feof(stdin) != 0) {
            return 1;
        }
    }
}

int Patch(std::FILE* file, char* buffer, std::uint64_t offset)
{
    // Offsets of 2^63 and more have no signed 64-bit position; a seek to them would fail anyway.
    if (offset > INT64_MAX) {
        errno = EINVAL;
        return Fail("Cannot seek to the given offset");
    }
    const auto to = static_cast<std::int64_t>(offset);
    // Asked before the target moves: where opening /dev/stdin duplicates descriptor 0 (macOS, the
    // BSDs), the two share one position, and positioning the target would move the input too.
    const bool same = IsInputTheFile(file);
    if (!same && IsInputBehindTheFile(file, to)) {
        // Each name has a cache of its own: a move through one would not see the other's bytes.
        return Fail("Cannot read from STDIN",
                    "it is the file itself, under another name (a loop device, a partition, "
                    "a mounted image)");
    }
    // Asked before the first byte is written.
    const Held held = FindHeld(file, to);
    const std::int64_t from = same ? GetInputPosition() : 0;
    // A target that has no position (a FIFO, a terminal) takes the bytes where it stands, which
    // is offset 0, as dd takes it. Any other offset there is still refused.
    if (Seek(file, to, SEEK_SET) != 0 && !(to == 0 && errno == ESPIPE)) {
        return Fail("Cannot seek to the given offset");
    }
    SetBinaryInput();
    return same ? MoveWithinFile(file, buffer, from, to, held) : CopyInput(file, buffer, to, held);
}

// A device that acknowledged every write may still hold other bytes: a counterfeit card wraps
// its addresses round to the part it has, a worn one drops writes. Only reading it back tells.
int Verify(std::FILE* file, char* buffer)
{
    verifying = true;
    const ReadBack back = ReadBackDevice(file, buffer, kBufferSize);
    verifying = false;
    if (back.result == ReadBack::Result::failed) {
        // The target's bytes that cannot be read back are bytes not known to be written.
        errno = back.error;
        return Fail("Cannot write to file");
    }
    if (back.result == ReadBack::Result::changed) {
        return Fail("Cannot read from STDIN", "the input changed while it was copied");
    }
    if (back.result == ReadBack::Result::differs) {
        const std::string reason = "the device holds other bytes at " + std::to_string(back.at) +
                                   " than were written (a counterfeit or failing card?)";
        return Fail("Cannot write to file", reason.c_str());
    }
    return 1;
}

} // namespace

void Placed(std::int64_t count)
{
    placed = count;
    if (TakeProgressRequest()) {
        ShowProgress();
    }
}

void AnswerProgress()
{
    Placed(placed);
}

int main(int argc, char* argv[])
{
    // Before anything else: until then the signal that asks for progress would end the process.
    CatchProgressRequests();
    started = Now();
    if (argc != 3) {
        std::fputs(kUsage, stderr);
        return 0;
    }
    if (!PrepareProcess()) {
        return Fail("Cannot stand in for a closed standard stream");
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
    if (status == 1 && !FlushDevice(file)) {
        status = Fail("Cannot write to file");
    }
    if (status == 1) {
        status = Verify(file, buffer);
    }
    ::operator delete[](buffer, kBufferAlignment);
    // Asked for after the last piece, while the device flushed: the count is complete now.
    if (status == 1 && TakeProgressRequest()) {
        ShowProgress();
    }
    LetGo();
    // A failed close can mean written bytes never reached the file (on NFS, for one).
    if (std::fclose(file) != 0 && status == 1) {
        status = Fail("Cannot write to file");
    }
    return status;
}
