// The copy into a block device. A card or stick may keep other bytes than it acknowledged (a
// counterfeit one wraps its addresses round to the part it has, a worn one drops writes), and a
// card written again mostly holds the image already. So each piece is first compared with what the
// device holds and written only where it differs, everything goes past the system's cache, and
// the device is read back at the end and compared with what was sent.
//
// What is read back: every byte of the copy up to the end of its last write. A counterfeit card's
// wrap makes a write land on an earlier position, so a range found equal and left alone may be
// overwritten later; it cannot land past the write itself, so what lies past the last write,
// found equal, stays so. A copy that wrote nothing reads nothing back: the whole device was just
// read and found to hold the input.

#include "linux-device.h"
#include "posix.h"

#include <algorithm>
#include <array>
#include <bitset>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>

#include <fcntl.h>
#include <linux/falloc.h>
#include <linux/fs.h>
#include <linux/io_uring.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace
{

// The unit of comparison, and so of what is written where the device differs. A card programs its
// flash in pages of 16 to 64 KiB and rewrites at least a page for any write into it: a smaller
// unit would spare it no wear, and a larger one writes more around a small change.
constexpr off_t kGranule = 65536;
// The last position there is.
constexpr off_t kLastPosition = std::numeric_limits<off_t>::max();
// What the device has in flight at most: a piece, in slots (see Queue). One request of 1 MiB at a
// time reaches a device's speed where smaller ones take markedly longer each; four of 256 KiB
// together do too, and leave the copy free to prepare the next meanwhile.
constexpr off_t kFrame = static_cast<off_t>(kPiece);
// A compare that finds most of its slot different is followed by bytes written without one, twice
// as many each time and up to this many: on a device full of other data the compare reads stay
// within a few percent of the image, and still find where the image starts to match.
constexpr off_t kMostUncompared = 32 * kFrame;
// What was sent through a pipe is remembered as one hash per stretch of the device: never more
// stretches than this, so that their memory stays within 64 KiB however large the device or the
// image. A file input is read again instead.
constexpr std::size_t kStretches = 8192;

// A 64-bit hash of a stream of bytes, fed in pieces of any size: what was sent, against what the
// device gives back. Eight lanes over 64-byte stripes, each taking in one 8-byte word at a time
// with a multiply and a shift: every step is one-to-one, so a change to any one word changes the
// hash for certain, and the same words in another order give another hash. One multiply a word
// keeps it at the speed of a copy, which a pipe's bytes pay twice (as sent, and as read back).
class Hash
{
  public:
    void Add(const char* bytes, std::size_t n)
    {
        length += n;
        while (held > 0 && n > 0) {
            tail.at(held++) = static_cast<unsigned char>(*bytes++);
            --n;
            if (held == tail.size()) {
                Stripe(tail.data());
                held = 0;
            }
        }
        for (; n >= tail.size(); n -= tail.size(), bytes += tail.size()) {
            Stripe(bytes);
        }
        std::memcpy(tail.data(), bytes, n);
        held = n;
    }

    [[nodiscard]] std::uint64_t Value() const
    {
        std::uint64_t h = Mix(length);
        for (const std::uint64_t lane : lanes) {
            h = Mix(h ^ lane);
        }
        for (std::size_t i = 0; i < held; ++i) {
            h = Mix(h ^ (tail.at(i) * kPrime2));
        }
        h ^= h >> 33;
        h *= kPrime2;
        h ^= h >> 29;
        h *= kPrime3;
        return h ^ (h >> 32);
    }

  private:
    static constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87;
    static constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4F;
    static constexpr std::uint64_t kPrime3 = 0x165667B19E3779F9;

    // One-to-one: an odd multiplier, then the high half folded into the low.
    static std::uint64_t Mix(std::uint64_t x)
    {
        x *= kPrime1;
        return x ^ (x >> 32);
    }

    void Stripe(const void* stripe)
    {
        std::array<std::uint64_t, 8> words = {};
        std::memcpy(words.data(), stripe, sizeof words);
        for (std::size_t i = 0; i < lanes.size(); ++i) {
            lanes.at(i) = Mix(lanes.at(i) ^ words.at(i));
        }
    }

    std::array<std::uint64_t, 8> lanes = {1, 2, 3, 4, 5, 6, 7, 8};
    std::array<unsigned char, 64> tail = {};
    std::size_t held = 0;
    std::uint64_t length = 0;
};

// The device as the copy writes it, and what it must give back at the end.
struct Device {
    // The target as the run opened it, and the descriptor the copy reads and writes it through:
    // one opened anew past the system's cache (O_DIRECT), or the same where the device refuses
    // that.
    int fd;
    int io;
    bool direct;
    // The device still zeroes a run of blocks itself, without the zeros being sent.
    bool clears;
    // Its logical block, the unit of every request past the cache, and its size.
    off_t block;
    off_t end;
    // The bytes sent went to [at, reached); standard input gave them from `input` on, which
    // can be read there again when it is a file.
    off_t at;
    off_t reached;
    off_t input;
    bool inputIsFile;
    // Where a file input ends in the device; the last position there is for any other input.
    off_t until;
    // The device in stretches of this size, aligned on it, from the one `at` is in.
    off_t stretch;
    // Where the last write ended.
    off_t written;
    // The hash of the stretch being sent, and its number.
    Hash current;
    std::size_t hashing;
};
Device device = {};
// The hash of what was sent into each stretch. All zeros to begin with, so that only the part
// used ever takes memory.
std::array<std::uint64_t, kStretches> hashes;
bool copied = false;

off_t Down(off_t position, off_t unit)
{
    return position / unit * unit;
}

off_t Up(off_t position, off_t unit)
{
    return Down(position + unit - 1, unit);
}

std::size_t StretchOf(off_t position)
{
    return static_cast<std::size_t>(position / device.stretch - device.at / device.stretch);
}

// Bytes [position, position + n) were sent.
void Sent(const char* bytes, std::size_t n, off_t position)
{
    while (n > 0 && !device.inputIsFile) {
        const std::size_t stretch = StretchOf(position);
        if (stretch != device.hashing) {
            hashes.at(device.hashing) = device.current.Value();
            device.current = Hash();
            device.hashing = stretch;
        }
        const off_t next = Down(position, device.stretch) + device.stretch;
        const auto part =
            static_cast<std::size_t>(std::min<off_t>(next - position, static_cast<off_t>(n)));
        device.current.Add(bytes, part);
        bytes += part;
        n -= part;
        position += static_cast<off_t>(part);
    }
}

// Where the device refuses requests past the cache (EINVAL for the first, at the start), they go
// through the cache: its pages for a range are dropped before the range is read, and written
// back and waited for after it is written, so that its unwritten data stays within a request.
void DropCache(off_t position, std::size_t n)
{
    if (!device.direct) {
        posix_fadvise(device.fd, position, static_cast<off_t>(n), POSIX_FADV_DONTNEED);
    }
}

bool WaitWritten(off_t first, off_t last)
{
    while (!device.direct && sync_file_range(device.fd, first, last - first,
                                             SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                                                 SYNC_FILE_RANGE_WAIT_AFTER) != 0) {
        if (errno == ENOSYS || errno == ESPIPE) {
            return true; // not here (an emulator): all is flushed at the end
        }
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

// Reads [position, position + n) of the device into `into` now, past every cache; short only at
// its end, where the rest reads as zeros.
bool ReadDevice(char* into, std::size_t n, off_t position)
{
    DropCache(position, n);
    for (std::size_t done = 0; done < n;) {
        const ssize_t got =
            pread(device.io, into + done, n - done, position + static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            std::memset(into + done, 0, n - done);
            return true;
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
}

// Writes [position, position + n) of the device from `bytes` now.
bool WriteDevice(const char* bytes, std::size_t n, off_t position)
{
    const off_t first = position;
    while (n > 0) {
        const ssize_t written = pwrite(device.io, bytes, n, position);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0) {
            return false;
        }
        if (written == 0) {
            errno = ENOSPC;
            return false;
        }
        bytes += written;
        n -= static_cast<std::size_t>(written);
        position += written;
    }
    return WaitWritten(first, position);
}

// The device is kept busy with several requests at a time, each from a slot of the buffer of its
// own, while the copy reads the input for the next, compares and hashes: one request at a time,
// the device would wait for all of that. Requests past the cache go through the system's ring of
// requests (io_uring, Linux 5.6 on). The older asynchronous I/O (io_submit) would do as well, but a
// process that used it waits out two of the kernel's grace periods at its exit, some 30 ms: more
// than a small patch takes in all. Where there is no ring (an older kernel, an emulator, a
// sandbox that forbids it), each request is made at once, in turn.
constexpr std::size_t kSlots = 4;
constexpr off_t kSlot = kFrame / static_cast<off_t>(kSlots);
constexpr std::size_t kPerSlot = kSlot / kGranule;
constexpr unsigned kRequests = kSlots * kPerSlot;

// The ring as the kernel shares it: requests go in at the tail of one, and come back done at the
// head of the other.
struct Ring {
    int fd;
    void* rings;
    std::size_t ringsSize;
    void* entries;
    std::size_t entriesSize;
    unsigned* head;
    unsigned* tail;
    unsigned* mask;
    unsigned* order;
    unsigned* doneHead;
    unsigned* doneTail;
    unsigned* doneMask;
    io_uring_cqe* done;
};

// A request, as it was made: one the ring could not make yet is made again at once.
struct Request {
    bool write;
    char* data;
    std::size_t n;
    off_t position;
};

// Makes `request` at once, from its byte `made` on (0: all of it).
bool Make(const Request& request, std::size_t made)
{
    const auto at = static_cast<off_t>(made);
    return request.write ? WriteDevice(request.data + made, request.n - made, request.position + at)
                         : ReadDevice(request.data + made, request.n - made, request.position + at);
}

struct Queue {
    bool ringed;
    Ring ring;
    std::array<std::size_t, kSlots> pending;
    // The requests in flight, by slot.
    std::array<std::array<Request, kPerSlot>, kSlots> requests;
    // The first request that failed, and why: the copy fails with it.
    int error;
};
Queue queue = {};

template <typename T> T* At(void* base, std::uint32_t offset)
{
    return reinterpret_cast<T*>(static_cast<char*>(base) + offset);
}

bool OpenRing(Ring& ring)
{
    io_uring_params params = {};
    const long fd = syscall(SYS_io_uring_setup, kRequests, &params);
    if (fd < 0) {
        return false;
    }
    ring.fd = static_cast<int>(fd);
    // One mapping for both rings (5.4), and the plain reads and writes the requests are
    // (IORING_OP_READ and WRITE, which came with Linux 5.6, as did this feature's flag).
    const bool recent = (params.features & IORING_FEAT_SINGLE_MMAP) != 0 &&
                        (params.features & IORING_FEAT_RW_CUR_POS) != 0;
    ring.ringsSize = std::max(params.sq_off.array + params.sq_entries * sizeof(unsigned),
                              params.cq_off.cqes + params.cq_entries * sizeof(io_uring_cqe));
    ring.entriesSize = params.sq_entries * sizeof(io_uring_sqe);
    ring.rings = recent ? mmap(nullptr, ring.ringsSize, PROT_READ | PROT_WRITE,
                               MAP_SHARED | MAP_POPULATE, ring.fd, IORING_OFF_SQ_RING)
                        : MAP_FAILED;
    ring.entries = ring.rings != MAP_FAILED
                       ? mmap(nullptr, ring.entriesSize, PROT_READ | PROT_WRITE,
                              MAP_SHARED | MAP_POPULATE, ring.fd, IORING_OFF_SQES)
                       : MAP_FAILED;
    if (ring.entries == MAP_FAILED) {
        if (ring.rings != MAP_FAILED) {
            munmap(ring.rings, ring.ringsSize);
        }
        close(ring.fd);
        return false;
    }
    ring.head = At<unsigned>(ring.rings, params.sq_off.head);
    ring.tail = At<unsigned>(ring.rings, params.sq_off.tail);
    ring.mask = At<unsigned>(ring.rings, params.sq_off.ring_mask);
    ring.order = At<unsigned>(ring.rings, params.sq_off.array);
    ring.doneHead = At<unsigned>(ring.rings, params.cq_off.head);
    ring.doneTail = At<unsigned>(ring.rings, params.cq_off.tail);
    ring.doneMask = At<unsigned>(ring.rings, params.cq_off.ring_mask);
    ring.done = At<io_uring_cqe>(ring.rings, params.cq_off.cqes);
    return true;
}

long Enter(unsigned count, unsigned least)
{
    return syscall(SYS_io_uring_enter, queue.ring.fd, count, least,
                   least > 0 ? IORING_ENTER_GETEVENTS : 0U, nullptr, std::size_t{0});
}

// `frame` is the buffer's part that the requests read into.
void StartQueue(char* frame)
{
    queue.ringed = device.direct && OpenRing(queue.ring);
    queue.pending.fill(0);
    queue.error = 0;
    if (queue.ringed) {
        // What the ring reads into the frame, a checker of memory (valgrind) cannot see: to it,
        // the frame's bytes would stay undefined. They are defined beforehand.
        std::memset(frame, 0, kFrame);
    }
}

bool Wait(std::size_t slot);

// The ring and the descriptor past the cache go once the device is done with: after the
// read-back, or once the copy has failed. Nothing may still be reading into the buffer then.
void Close()
{
    if (queue.ringed) {
        Wait(kSlots);
        munmap(queue.ring.entries, queue.ring.entriesSize);
        munmap(queue.ring.rings, queue.ring.ringsSize);
        close(queue.ring.fd);
        queue.ringed = false;
    }
    if (device.direct) {
        close(device.io);
        device.io = device.fd;
        device.direct = false;
    }
}

// A read or write of [position, position + n) of the device to or from `data`, made for slot
// `slot`: sent to the device, or made at once. Its failure is the queue's.
void Submit(std::size_t slot, bool write, char* data, std::size_t n, off_t position)
{
    if (queue.error != 0) {
        return;
    }
    if (!queue.ringed) {
        if (!Make({write, data, n, position}, 0)) {
            queue.error = errno;
        }
        return;
    }
    Ring& ring = queue.ring;
    const unsigned tail = *ring.tail;
    const unsigned index = tail & *ring.mask;
    io_uring_sqe& request = static_cast<io_uring_sqe*>(ring.entries)[index];
    request = {};
    request.opcode = write ? IORING_OP_WRITE : IORING_OP_READ;
    request.fd = device.io;
    request.addr = reinterpret_cast<std::uintptr_t>(data);
    request.len = static_cast<std::uint32_t>(n);
    request.off = static_cast<std::uint64_t>(position);
    request.user_data = slot * kPerSlot + queue.pending.at(slot);
    queue.requests.at(slot).at(queue.pending.at(slot)) = {write, data, n, position};
    ring.order[index] = index;
    __atomic_store_n(ring.tail, tail + 1, __ATOMIC_RELEASE);
    long sent = 0;
    while (__atomic_load_n(ring.head, __ATOMIC_ACQUIRE) != tail + 1 && (sent = Enter(1, 0)) < 0 &&
           (errno == EINTR || errno == EAGAIN)) {
    }
    // Taken or not, by the kernel's own head of the ring: one not taken is taken back, so that
    // nothing is left to be taken later, and the copy ends here.
    if (__atomic_load_n(ring.head, __ATOMIC_ACQUIRE) != tail + 1) {
        __atomic_store_n(ring.tail, tail, __ATOMIC_RELEASE);
        queue.error = sent < 0 ? errno : EIO;
        return;
    }
    ++queue.pending.at(slot);
}

// Waits until every request of slot `slot` is done (kSlots: of every slot). False once any
// request has failed, errno telling why.
bool Wait(std::size_t slot)
{
    const auto waiting = [slot] {
        if (slot < kSlots) {
            return queue.pending.at(slot) > 0;
        }
        return std::any_of(queue.pending.begin(), queue.pending.end(),
                           [](std::size_t n) { return n > 0; });
    };
    Ring& ring = queue.ring;
    while (queue.ringed && waiting()) {
        const unsigned head = *ring.doneHead;
        if (head == __atomic_load_n(ring.doneTail, __ATOMIC_ACQUIRE)) {
            if (Enter(0, 1) < 0 && errno != EINTR && errno != EAGAIN && errno != EBUSY) {
                // The requests in flight still read into the buffer, or write from it: they
                // are waited for all the same, by looking at the ring now and then.
                queue.error = queue.error != 0 ? queue.error : errno;
                const timespec pause = {0, 1000000};
                nanosleep(&pause, nullptr);
            }
            continue;
        }
        const io_uring_cqe& done = ring.done[head & *ring.doneMask];
        const auto of = static_cast<std::size_t>(done.user_data / kPerSlot);
        const Request& request =
            queue.requests.at(of).at(static_cast<std::size_t>(done.user_data % kPerSlot));
        const std::int32_t result = done.res;
        __atomic_store_n(ring.doneHead, head + 1, __ATOMIC_RELEASE);
        --queue.pending.at(of);
        if (queue.error != 0 || result == static_cast<std::int32_t>(request.n)) {
            continue;
        }
        if (result < 0 && result != -EAGAIN && result != -EINTR) {
            queue.error = -result;
            continue;
        }
        // Not made yet, or made in part: the rest is made at once. (Requests never reach the
        // device's end, so a short one is not the end.)
        const std::size_t made = result < 0 ? 0 : static_cast<std::size_t>(result);
        if (!Make(request, made)) {
            queue.error = errno;
        }
    }
    errno = queue.error;
    return queue.error == 0;
}

// [position, position + n) of the device becomes `bytes`, for slot `slot`. Zeros the device clears
// itself, without their being sent, as long as it will.
void Store(std::size_t slot, char* bytes, std::size_t n, off_t position)
{
    while (device.clears && IsZero(bytes, n)) {
        if (fallocate(device.io, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, position,
                      static_cast<off_t>(n)) == 0) {
            return;
        }
        if (errno != EINTR) {
            device.clears = false;
        }
    }
    Submit(slot, true, bytes, n, position);
}

// Standard input, read whole into `into` but for its end, a failure or an empty non-blocking
// pipe's wait.
struct Input {
    bool ended;
    int error;
};

std::size_t ReadInput(Input& input, char* into, std::size_t n)
{
    std::size_t done = 0;
    while (done < n && !input.ended) {
        const ssize_t got = read(STDIN_FILENO, into + done, n - done);
        if (got < 0 && errno == EINTR) {
            AnswerProgress();
            continue;
        }
        if (got < 0 && WaitForInput(errno)) {
            continue;
        }
        if (got <= 0) {
            // A failed read is the input's last word: it is never read again.
            input.error = got < 0 ? errno : 0;
            input.ended = true;
        } else {
            done += static_cast<std::size_t>(got);
        }
    }
    return done;
}

// Takes the measure of the device open as `fd` for a copy from `at` on, and opens it past the
// cache. `frame` is the room its requests read into and write from; `probe` a block's, aligned
// as the buffer is.
bool Open(int fd, off_t at, char* frame, char* probe)
{
    std::uint64_t size = 0;
    int block = 0;
    if (ioctl(fd, BLKGETSIZE64, &size) != 0 || size > INT64_MAX) {
        return false;
    }
    device.fd = fd;
    device.end = static_cast<off_t>(size);
    device.block =
        ioctl(fd, BLKSSZGET, &block) == 0 && block > 0 && kGranule % block == 0 && block <= 4096
            ? block
            : 4096;
    device.clears = true;
    device.at = at;
    device.reached = at;
    device.written = at;
    struct stat in = {};
    device.input = lseek(STDIN_FILENO, 0, SEEK_CUR);
    device.inputIsFile = fstat(STDIN_FILENO, &in) == 0 && S_ISREG(in.st_mode) && device.input >= 0;
    // As many stretches as the bytes there are room for: the device's rest, or a file input's.
    off_t span = std::max<off_t>(device.end - at, 1);
    device.until = kLastPosition;
    if (device.inputIsFile) {
        const off_t length = std::max<off_t>(in.st_size - device.input, 0);
        span = std::min(span, std::max<off_t>(length, 1));
        device.until = length > kLastPosition - at ? kLastPosition : at + length;
    }
    device.stretch = kGranule;
    while (span / device.stretch >= static_cast<off_t>(kStretches) - 1) {
        device.stretch *= 2;
    }
    device.hashing = 0;
    // A descriptor of its own, opened past the system's cache: the target's own keeps its mode.
    // Some devices (and file systems under a loop device) refuse such requests: then the cache.
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    do {
        device.io = open(path.c_str(), O_RDWR | O_DIRECT | O_CLOEXEC);
    } while (device.io < 0 && errno == EINTR);
    device.direct = device.io >= 0;
    const off_t first = std::min(Down(at, device.block), Down(device.end, device.block));
    ssize_t got = 0;
    while (device.direct &&
           (got = pread(device.io, probe, static_cast<std::size_t>(device.block), first)) < 0 &&
           errno == EINTR) {
    }
    if (device.direct && got < 0 && errno == EINVAL) {
        close(device.io);
        device.direct = false;
    }
    if (!device.direct) {
        device.io = fd;
    }
    copied = true;
    StartQueue(frame);
    return true;
}

// The copy of one slot: which of its granules differ from the device and are written.
using Dirty = std::bitset<kPerSlot>;

// The copy ends at `position`: every request made is waited for first.
Moved Ended(off_t position, const Input& input)
{
    device.reached = position;
    if (!Wait(kSlots)) {
        const int error = errno;
        Close();
        return {position - device.at, Moved::Failure::writing, error};
    }
    if (input.error != 0) {
        Close();
        return {position - device.at, Moved::Failure::reading, input.error};
    }
    return {position - device.at, Moved::Failure::none, 0};
}

Moved WriteFailed(off_t position)
{
    const int error = errno;
    device.reached = position;
    Wait(kSlots);
    Close();
    return {position - device.at, Moved::Failure::writing, error};
}

std::size_t SlotOf(off_t position)
{
    return static_cast<std::size_t>(position / kSlot) % kSlots;
}

} // namespace

// The device is taken a slot at a time, aligned on it. A slot that is compared has its bytes
// read from the device ahead, while the ones before it are compared and written.
Moved CopyIntoDevice(int fd, off_t at, off_t limit, char* buffer, std::size_t size)
{
    char* piece = buffer + kPiece;
    if (size < kPiece + kGranule || !Open(fd, at, buffer, piece)) {
        return {0, Moved::Failure::writing, errno};
    }
    const InputStamp stamp = StampInput();
    Input input = {false, 0};
    off_t position = at;
    // The device's bytes are being read for the slots before `ahead`, as far as the input can
    // reach: a file's end, else the device's.
    off_t ahead = 0;
    const off_t until = std::min({limit, device.end, device.until});
    // The bytes still to be written without a compare, and how many followed the last compare
    // that found most of its slot different.
    off_t uncompared = 0;
    off_t distance = 0;
    while (!input.ended && position < limit) {
        if (position >= device.end) {
            // The device is full: one byte more of input is one too many.
            if (ReadInput(input, piece, 1) == 0) {
                break;
            }
            errno = ENOSPC;
            return WriteFailed(position);
        }
        const off_t start = Down(position, kSlot);
        const off_t stop = std::min(start + kSlot, device.end);
        // A file input that grew since is not read past its size then: the copy loop reports it.
        const off_t room = std::min(stop, until);
        if (room <= position) {
            break;
        }
        const off_t low = Down(position, device.block);
        const std::size_t slot = SlotOf(start);
        char* data = buffer + static_cast<std::size_t>(start % kFrame);
        const bool compare = uncompared <= 0;
        // Where the slot was not read ahead, its first granule of input comes first: an input
        // that ends there (a small patch) has the device read only as far as it reaches.
        std::size_t primed = 0;
        if (compare && ahead <= start) {
            const off_t next = std::min(Down(position, kGranule) + kGranule, room);
            primed = ReadInput(input, piece, static_cast<std::size_t>(next - position));
            const off_t to = input.ended ? Up(position + static_cast<off_t>(primed), device.block)
                                         : std::min(stop, Up(until, device.block));
            if (!Wait(slot)) {
                return WriteFailed(position);
            }
            if (to > low) {
                Submit(slot, false, data + (low - start), static_cast<std::size_t>(to - low), low);
            }
            ahead = start + kSlot;
        }
        // The device's bytes for the next slots while the compares find it holding the input,
        // as far as the slots go round.
        const off_t before = std::min(start + kFrame, until);
        for (; compare && distance == 0 && !input.ended && ahead < before; ahead += kSlot) {
            const off_t to = std::min(ahead + kSlot, Up(until, device.block));
            if (!Wait(SlotOf(ahead))) {
                return WriteFailed(position);
            }
            Submit(SlotOf(ahead), false, buffer + static_cast<std::size_t>(ahead % kFrame),
                   static_cast<std::size_t>(to - ahead), ahead);
        }
        if (!Wait(slot)) {
            return WriteFailed(position);
        }
        Dirty dirty;
        off_t reach = position;
        if (compare) {
            // The input a granule at a time beside the device's bytes: where they differ, the
            // input's take their place.
            for (bool first = true; reach < room; first = false) {
                const off_t next = std::min(Down(reach, kGranule) + kGranule, room);
                const std::size_t got =
                    first && primed > 0 ? primed
                    : input.ended       ? 0
                                  : ReadInput(input, piece, static_cast<std::size_t>(next - reach));
                if (got == 0) {
                    break;
                }
                char* there = data + (reach - start);
                if (std::memcmp(there, piece, got) != 0) {
                    std::memcpy(there, piece, got);
                    dirty.set(static_cast<std::size_t>((reach - start) / kGranule));
                }
                Sent(piece, got, reach);
                reach += static_cast<off_t>(got);
            }
        } else {
            // The input straight into the slot; the device's own bytes around it complete the
            // blocks it starts and ends in.
            if (low < position &&
                !ReadDevice(data + (low - start), static_cast<std::size_t>(device.block), low)) {
                return WriteFailed(position);
            }
            const std::size_t got = ReadInput(input, data + (position - start),
                                              static_cast<std::size_t>(room - position));
            reach = position + static_cast<off_t>(got);
            const off_t last = Down(reach, device.block);
            if (reach > last && !(low < position && last == low)) {
                if (!ReadDevice(piece, static_cast<std::size_t>(device.block), last)) {
                    return WriteFailed(position);
                }
                std::memcpy(data + (reach - start), piece + (reach - last),
                            static_cast<std::size_t>(Up(reach, device.block) - reach));
            }
            Sent(data + (position - start), got, position);
            for (off_t g = Down(position, kGranule); g < reach; g += kGranule) {
                dirty.set(static_cast<std::size_t>((g - start) / kGranule));
            }
        }
        // Each run of granules that differ goes as one request, trimmed to the blocks the input
        // reached.
        const off_t high = Up(reach, device.block);
        for (std::size_t g = 0; g < kPerSlot;) {
            if (!dirty.test(g)) {
                ++g;
                continue;
            }
            std::size_t h = g;
            while (h < kPerSlot && dirty.test(h)) {
                ++h;
            }
            const off_t first = std::max(low, start + static_cast<off_t>(g) * kGranule);
            const off_t last = std::min(high, start + static_cast<off_t>(h) * kGranule);
            Store(slot, data + (first - start), static_cast<std::size_t>(last - first), first);
            device.written = std::max(device.written, last);
            g = h;
        }
        if (compare) {
            const auto granules = static_cast<std::size_t>(
                (Up(reach, kGranule) - Down(position, kGranule)) / kGranule);
            if (dirty.count() * 2 > granules) {
                distance = std::min(distance == 0 ? kSlot : 2 * distance, kMostUncompared);
                uncompared = distance;
            } else {
                distance = 0;
            }
        } else {
            uncompared -= stop - start;
        }
        position = reach;
        device.reached = position;
        Placed(position - at);
        // Asked once a frame: a file input that changed has changed for the copy loop too.
        if (stop - start == kSlot && stop % kFrame != 0) {
            continue;
        }
        if (StampInput() != stamp) {
            // The copy loop reports it, and nothing is read back.
            Ended(position, input);
            Close();
            return {position - at, Moved::Failure::none, 0};
        }
    }
    return Ended(position, input);
}

// The device is read a slot at a time, several slots ahead of the comparing: with the input where
// it is a file, which is read again; with the hash of each stretch where it came through a pipe.
ReadBack ReadBackDevice(std::FILE* file, char* buffer, std::size_t size)
{
    if (!copied) {
        return {ReadBack::Result::same, 0, 0};
    }
    if (device.written <= device.at) {
        Close();
        return {ReadBack::Result::same, 0, 0};
    }
    if (device.fd != fileno(file) || size < kPiece + kGranule) {
        Close();
        return {ReadBack::Result::failed, 0, EINVAL};
    }
    const InputStamp stamp = StampInput();
    hashes.at(device.hashing) = device.current.Value();
    // Up to the end of the stretch the last write ended in: a stretch's hash is of all of it.
    const off_t end = std::min(device.reached, Up(device.written, device.stretch));
    if (!device.direct) {
        // Through the cache: what it holds of the device goes, so that reads come from the device.
        ioctl(device.fd, BLKFLSBUF, 0);
    }
    char* sent = buffer + kPiece;
    std::array<off_t, kSlots> parts = {};
    off_t ahead = device.at;
    off_t done = device.at;
    Hash back;
    while (done < end) {
        // The next parts, a slot each.
        for (; ahead < end && ahead < done + kFrame - kSlot; ahead = parts.at(SlotOf(ahead))) {
            const std::size_t slot = SlotOf(ahead);
            const off_t next = std::min(Down(ahead, kSlot) + kSlot, end);
            const off_t low = Down(ahead, device.block);
            parts.at(slot) = next;
            Submit(slot, false, buffer + (low % kFrame),
                   static_cast<std::size_t>(Up(next, device.block) - low), low);
        }
        const std::size_t slot = SlotOf(done);
        if (!Wait(slot)) {
            const int error = errno;
            Wait(kSlots);
            Close();
            return {ReadBack::Result::failed, 0, error};
        }
        // A file: compared with the input there, a piece at a time; a pipe: each stretch's hash,
        // once it is read whole.
        for (const off_t last = parts.at(slot); done < last;) {
            const off_t stretch = Down(done, device.stretch) + device.stretch;
            const off_t next = std::min({last, done + kGranule, stretch});
            const auto n = static_cast<std::size_t>(next - done);
            const char* held = buffer + (done % kFrame);
            const off_t first = std::max(Down(done, device.stretch), device.at);
            ReadBack::Result result = ReadBack::Result::same;
            off_t at = 0;
            if (device.inputIsFile) {
                ssize_t got = 0;
                do {
                    got = pread(STDIN_FILENO, sent, n, device.input + (done - device.at));
                } while (got < 0 && errno == EINTR);
                // A difference is the device's only while the input is as it was copied.
                if (got != static_cast<ssize_t>(n) ||
                    (std::memcmp(held, sent, n) != 0 && StampInput() != stamp)) {
                    result = ReadBack::Result::changed;
                } else if (std::memcmp(held, sent, n) != 0) {
                    result = ReadBack::Result::differs;
                    at = done + (std::mismatch(held, held + n, sent).first - held);
                }
            } else {
                back.Add(held, n);
                if (next == stretch || next == end) {
                    if (back.Value() != hashes.at(StretchOf(first))) {
                        result = ReadBack::Result::differs;
                        at = first;
                    }
                    back = Hash();
                }
            }
            if (result != ReadBack::Result::same) {
                Wait(kSlots);
                Close();
                return {result, at, 0};
            }
            done = next;
        }
        if (device.inputIsFile && StampInput() != stamp) {
            Wait(kSlots);
            Close();
            return {ReadBack::Result::changed, 0, 0};
        }
        AnswerProgress();
    }
    Close();
    return {ReadBack::Result::same, 0, 0};
}
