// The system answers for Linux, macOS and the BSDs alike.

#include "posix.h"
#include "platform.h"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

static_assert(sizeof(off_t) == 8, "file positions must have 64 bits (_FILE_OFFSET_BITS=64)");

namespace
{

volatile std::sig_atomic_t progressRequested = 0;

// The signals caught, held back while a line is made.
sigset_t progressSignals;

void NoteProgressRequest(int /*signal*/)
{
    progressRequested = 1;
}

void Catch(int signal)
{
    struct sigaction action = {};
    struct sigaction before = {};
    action.sa_handler = NoteProgressRequest;
    sigemptyset(&action.sa_mask);
    // Not restarted by the system: a read that waits for a silent pipe returns EINTR, so that the
    // line comes now, and the read is made again. A call that moved bytes before the signal
    // returns what it moved instead: nothing is lost or moved twice.
    action.sa_flags = 0;
    // One call where the signal was not ignored, the usual case; two where it was.
    if (sigaction(signal, &action, &before) == 0 && before.sa_handler == SIG_IGN) {
        sigaction(signal, &before, nullptr);
    }
}

} // namespace

void CatchProgressRequests()
{
    // dd's signals, so that the habit of asking dd works here too. SIGUSR1 is caught where
    // SIGINFO exists as well: its default action would leave the target half written.
    sigemptyset(&progressSignals);
    sigaddset(&progressSignals, SIGUSR1);
    Catch(SIGUSR1);
#ifdef SIGINFO
    sigaddset(&progressSignals, SIGINFO);
    Catch(SIGINFO);
#endif
}

bool TakeProgressRequest()
{
    if (progressRequested == 0) {
        return false;
    }
    progressRequested = 0;
    // The line goes to standard error, which may be a pipe that nobody reads any more: a line
    // asked for must not end the copy there. Only now, so that a plain run makes no extra call.
    std::signal(SIGPIPE, SIG_IGN);
    // Another request waits until this line is written: an emulator (qemu-user for 32-bit x86)
    // can lose the floating-point registers the line is reckoned in across a signal's handler.
    sigprocmask(SIG_BLOCK, &progressSignals, nullptr);
    return true;
}

void ProgressShown()
{
    sigprocmask(SIG_UNBLOCK, &progressSignals, nullptr);
}

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

std::int64_t InputLength()
{
    struct stat in = {};
    const off_t from = lseek(STDIN_FILENO, 0, SEEK_CUR);
    if (fstat(STDIN_FILENO, &in) != 0 || !(S_ISREG(in.st_mode) || S_ISBLK(in.st_mode)) ||
        from < 0) {
        return -1;
    }
    // A device's size is found by seeking: standard input is put back where it was.
    const off_t end = S_ISREG(in.st_mode) ? in.st_size : lseek(STDIN_FILENO, 0, SEEK_END);
    if (end < 0 || (S_ISBLK(in.st_mode) && lseek(STDIN_FILENO, from, SEEK_SET) != from)) {
        return -1;
    }
    return end > from ? end - from : 0;
}

std::int64_t GetInputPosition()
{
    return lseek(STDIN_FILENO, 0, SEEK_CUR);
}

bool SetInputPosition(std::int64_t position)
{
    return lseek(STDIN_FILENO, position, SEEK_SET) == position;
}

bool FlushDevice(std::FILE* file)
{
    // The system flushes a block device at its last close too, but reports nothing to anyone.
    struct stat target = {};
    return fstat(fileno(file), &target) != 0 || !S_ISBLK(target.st_mode) ||
           fsync(fileno(file)) == 0;
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
        AnswerProgress();
    }
    return true;
}

std::int64_t MoveBySystem(MoveCall move, int out, std::int64_t at, std::int64_t limit,
                          std::size_t size)
{
    // Counted by what each request took: a device that ignores positions (/dev/null) leaves
    // `position` where it was.
    off_t position = at;
    std::int64_t done = 0;
    for (;;) {
        const std::int64_t room = limit - at - done;
        const std::size_t n =
            room < static_cast<std::int64_t>(size) ? static_cast<std::size_t>(room) : size;
        if (n == 0) {
            return done;
        }
        const ssize_t moved = move(STDIN_FILENO, nullptr, out, &position, n, 0);
        if (moved > 0) {
            done += moved;
            Placed(done);
        } else if (moved == 0 || errno != EINTR) {
            return done;
        } else {
            AnswerProgress();
        }
    }
}
