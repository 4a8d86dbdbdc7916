// What the answers for Linux, macOS and the BSDs share beyond the run's own questions.
#pragma once

#include <cstddef>
#include <cstdint>

#include <sys/types.h>

// A system call that moves bytes from one descriptor to another: copy_file_range, or splice.
using MoveCall = ssize_t (*)(int, off_t*, int, off_t*, std::size_t, unsigned);

// Has `move` carry standard input into `out` from position `at` on, `size` bytes a request and
// never to `limit` or past it, for as long as it will. Standard input's own position moves past
// what each request took; the target's is explicit. Returns how many bytes it carried.
std::int64_t MoveBySystem(MoveCall move, int out, std::int64_t at, std::int64_t limit,
                          std::size_t size);
