// The system answers for macOS, the BSDs and Windows, where a file moved within itself is written
// whole: its holes are not asked for.

#include "platform.h"

#include <cerrno>

bool IsHole(std::FILE* /*file*/, std::int64_t /*at*/, std::int64_t end, std::int64_t& until)
{
    until = end;
    return false;
}

bool ClearRange(std::FILE* /*file*/, std::int64_t /*first*/, std::int64_t /*last*/)
{
    // Never asked: IsHole finds none.
    errno = ENOSYS;
    return false;
}
