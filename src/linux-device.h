// The copy into a block device: written past the system's cache, only where the device holds other
// bytes, and read back at the end.
#pragma once

#include <cstddef>

#include <sys/types.h>

#include "platform.h"

// Moves standard input, whatever it is, into the block device open as `fd` from position `at` on,
// never to `limit` or past it, through `buffer` (aligned to a page; at least kPiece + kGranule
// bytes). Standard input is left just after the bytes moved. Every failure is reported: nothing
// is left for the copy loop but the end of the input, bytes for under a held device, or an input
// that changed.
Moved CopyIntoDevice(int fd, off_t at, off_t limit, char* buffer, std::size_t size);
