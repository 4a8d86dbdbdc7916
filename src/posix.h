// What the answers for Linux, macOS and the BSDs share beyond the run's own questions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include <ctime>

#include <sys/types.h>

// A file time as one number, to compare.
inline std::int64_t Nanoseconds(const timespec& time)
{
    return time.tv_sec * std::int64_t{1000000000} + time.tv_nsec;
}

// The n > 0 bytes are all zero.
inline bool IsZero(const char* bytes, std::size_t n)
{
    return bytes[0] == 0 && std::memcmp(bytes, bytes + 1, n - 1) == 0;
}

// A system call that moves bytes from one descriptor to another: copy_file_range, or splice.
using MoveCall = ssize_t (*)(int, off_t*, int, off_t*, std::size_t, unsigned);

// Has `move` carry standard input into `out` from position `at` on, `size` bytes a request and
// never to `limit` or past it, for as long as it will. Standard input's own position moves past
// what each request took; the target's is explicit. Returns how many bytes it carried.
std::int64_t MoveBySystem(MoveCall move, int out, std::int64_t at, std::int64_t limit,
                          std::size_t size);
