// The system answers for Windows.

#include "platform.h"

#include <cstring>
#include <string>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <windows.h>

void CatchProgressRequests()
{
    // Windows has no signal to ask a console program for progress (Ctrl-C and Ctrl-Break end it).
}

bool TakeProgressRequest()
{
    return false;
}

void ProgressShown()
{
}

bool PrepareProcess()
{
    return true;
}

void SetBinaryInput()
{
    _setmode(_fileno(stdin), _O_BINARY);
}

void EnlargeInputPipe()
{
}

namespace
{

// The C runtime gives out the handle behind a descriptor as an integer.
HANDLE HandleOf(std::FILE* stream)
{
    return reinterpret_cast<HANDLE>( // NOLINT(performance-no-int-to-ptr)
        _get_osfhandle(_fileno(stream)));
}

// Each way of telling two handles apart answers yes, no, or that it cannot tell.
enum class Same { kYes, kNo, kCannotTell };

Same Answer(bool same)
{
    return same ? Same::kYes : Same::kNo;
}

// The volume and the 128-bit file identifier, where the system has them (ReFS needs all 128 bits).
Same ById128(HANDLE a, HANDLE b)
{
    FILE_ID_INFO idA = {};
    FILE_ID_INFO idB = {};
    const FILE_ID_128 none = {};
    if (GetFileInformationByHandleEx(a, FileIdInfo, &idA, sizeof idA) == 0 ||
        GetFileInformationByHandleEx(b, FileIdInfo, &idB, sizeof idB) == 0 ||
        idA.VolumeSerialNumber == 0 || std::memcmp(&idA.FileId, &none, sizeof none) == 0) {
        return Same::kCannotTell;
    }
    return Answer(idA.VolumeSerialNumber == idB.VolumeSerialNumber &&
                  std::memcmp(&idA.FileId, &idB.FileId, sizeof idA.FileId) == 0);
}

// The volume and the 64-bit file index. A file system without indexes (some network servers)
// reports 0, which names no file.
Same ById64(HANDLE a, HANDLE b)
{
    BY_HANDLE_FILE_INFORMATION infoA = {};
    BY_HANDLE_FILE_INFORMATION infoB = {};
    if (GetFileInformationByHandle(a, &infoA) == 0 || GetFileInformationByHandle(b, &infoB) == 0 ||
        (infoA.nFileIndexHigh == 0 && infoA.nFileIndexLow == 0)) {
        return Same::kCannotTell;
    }
    return Answer(infoA.dwVolumeSerialNumber == infoB.dwVolumeSerialNumber &&
                  infoA.nFileIndexHigh == infoB.nFileIndexHigh &&
                  infoA.nFileIndexLow == infoB.nFileIndexLow);
}

// The full path the system resolved each handle to, in its device form (which every volume has,
// network shares included), compared as Windows compares names: case-insensitively.
std::wstring FinalPath(HANDLE handle)
{
    const DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_NT;
    const DWORD size = GetFinalPathNameByHandleW(handle, nullptr, 0, flags);
    std::wstring path(size, L'\0');
    if (size == 0 || GetFinalPathNameByHandleW(handle, path.data(), size, flags) != size - 1) {
        return {};
    }
    path.resize(size - 1);
    return path;
}

Same ByPath(HANDLE a, HANDLE b)
{
    const std::wstring pathA = FinalPath(a);
    const std::wstring pathB = FinalPath(b);
    if (pathA.empty() || pathB.empty()) {
        return Same::kCannotTell;
    }
    return Answer(CompareStringOrdinal(pathA.c_str(), -1, pathB.c_str(), -1, TRUE) == CSTR_EQUAL);
}

} // namespace

// Standard input is the target when the first way that can tell says so. When none can, as for
// handles wine passes in from a Linux process, the files count as different.
bool IsInputTheFile(std::FILE* file)
{
    HANDLE in = HandleOf(stdin);
    HANDLE out = HandleOf(file);
    if (GetFileType(in) != FILE_TYPE_DISK) {
        return false;
    }
    // A handle not open for reading fails even a read of nothing, which moves nothing: such an
    // input is no input at all, even when it is the target.
    char none = 0;
    DWORD got = 0;
    if (ReadFile(in, &none, 0, &got, nullptr) == 0) {
        return false;
    }
    for (Same (*way)(HANDLE, HANDLE) : {ById128, ById64, ByPath}) {
        const Same answer = way(in, out);
        if (answer != Same::kCannotTell) {
            return answer == Same::kYes;
        }
    }
    return false;
}

std::int64_t GetInputPosition()
{
    return _lseeki64(_fileno(stdin), 0, SEEK_CUR);
}

bool SetInputPosition(std::int64_t position)
{
    return _lseeki64(_fileno(stdin), position, SEEK_SET) == position;
}

bool IsInputBehindTheFile(std::FILE* /*file*/, std::int64_t /*at*/)
{
    // A mounted disk image (VHD) does not say which file is behind it to a program that opens it.
    return false;
}

Held FindHeld(std::FILE* /*file*/, std::int64_t /*at*/)
{
    // Nothing is held here: the C library opens no raw disk with fopen, so the target is always a
    // file, and a file has no volume mounted on it.
    return {kNothingHeld, {}};
}

void LetGo()
{
}

std::int64_t InputLength()
{
    struct _stat64 in = {};
    const std::int64_t from = _lseeki64(_fileno(stdin), 0, SEEK_CUR);
    if (_fstat64(_fileno(stdin), &in) != 0 || (in.st_mode & _S_IFMT) != _S_IFREG || from < 0) {
        return -1;
    }
    return in.st_size > from ? in.st_size - from : 0;
}

InputStamp StampInput()
{
    struct _stat64 in = {};
    if (_fstat64(_fileno(stdin), &in) != 0 || (in.st_mode & _S_IFMT) != _S_IFREG) {
        return {};
    }
    return {in.st_size, in.st_mtime, in.st_ctime};
}

Moved CopyBySystem(std::FILE* /*file*/, std::int64_t /*at*/, std::int64_t /*limit*/,
                   char* /*buffer*/, std::size_t /*size*/)
{
    // Nothing here copies a stream into a file at an offset without the bytes passing through.
    return {0, Moved::Failure::none, 0};
}

bool FlushDevice(std::FILE* /*file*/)
{
    // The C library opens no raw disk with fopen, so the target is always a file.
    return true;
}

int Seek(std::FILE* file, std::int64_t position, int whence)
{
    return _fseeki64(file, position, whence);
}

std::int64_t Tell(std::FILE* file)
{
    return _ftelli64(file);
}

bool WaitForInput(int /*error*/)
{
    // Every failed read is a failure here. A pipe set to PIPE_NOWAIT could be watched with
    // PeekNamedPipe, but the C library's fread may drop the count of what a read took before the
    // pipe ran dry (wine's does), and then bytes would go missing from a run that reports success.
    return false;
}

ReadBack ReadBackDevice(std::FILE* /*file*/, char* /*buffer*/, std::size_t /*size*/)
{
    // The target is always a file (see FlushDevice): nothing is read back.
    return {ReadBack::Result::same, 0, 0};
}
