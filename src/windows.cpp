// The system answers for Windows.

#include "platform.h"

#include <cstring>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

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

} // namespace

// Handles are the same file when their volume and file identifiers agree: the 128-bit ones where
// the system has them (ReFS needs all 128 bits), else the 64-bit ones. When neither can be had,
// as for handles wine passes in from a Linux process, the files count as different.
bool IsInputTheFile(std::FILE* file)
{
    HANDLE in = HandleOf(stdin);
    HANDLE out = HandleOf(file);
    if (GetFileType(in) != FILE_TYPE_DISK) {
        return false;
    }
    FILE_ID_INFO inId = {};
    FILE_ID_INFO outId = {};
    if (GetFileInformationByHandleEx(in, FileIdInfo, &inId, sizeof inId) != 0 &&
        GetFileInformationByHandleEx(out, FileIdInfo, &outId, sizeof outId) != 0 &&
        inId.VolumeSerialNumber != 0) {
        return inId.VolumeSerialNumber == outId.VolumeSerialNumber &&
               std::memcmp(&inId.FileId, &outId.FileId, sizeof inId.FileId) == 0;
    }
    BY_HANDLE_FILE_INFORMATION inInfo = {};
    BY_HANDLE_FILE_INFORMATION outInfo = {};
    return GetFileInformationByHandle(in, &inInfo) != 0 &&
           GetFileInformationByHandle(out, &outInfo) != 0 &&
           inInfo.dwVolumeSerialNumber == outInfo.dwVolumeSerialNumber &&
           inInfo.nFileIndexHigh == outInfo.nFileIndexHigh &&
           inInfo.nFileIndexLow == outInfo.nFileIndexLow;
}

std::int64_t GetInputPosition()
{
    return _lseeki64(_fileno(stdin), 0, SEEK_CUR);
}

bool SetInputPosition(std::int64_t position)
{
    return _lseeki64(_fileno(stdin), position, SEEK_SET) == position;
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
    // Windows has no non-blocking anonymous pipes to wait on: every failed read is a failure.
    return false;
}
