// What the run needs to know from the system it runs on. Each system answers in a file of its own,
// chosen by the build: posix.cpp (Linux, macOS, the BSDs) and windows.cpp.
#pragma once

#include <cstdint>
#include <cstdio>

// Makes the process fit to run: standard descriptors that were closed are occupied, and a write
// past the file size limit fails instead of killing the process. False when that cannot be done.
bool PrepareProcess();

// Standard input delivers its bytes as they are: no line-end translation, no end-of-file character.
void SetBinaryInput();

// Lets a writer on a pipe run further ahead of us, where the system allows it.
void EnlargeInputPipe();

// Standard input is a disk file and the very file that `file` has open.
bool IsInputTheFile(std::FILE* file);

// Standard input's own position, which a caller sharing it sees; -1 on failure.
std::int64_t GetInputPosition();
bool SetInputPosition(std::int64_t position);

// 64-bit positions on a stream: 0 on success, as fseek; Tell gives -1 on failure.
int Seek(std::FILE* file, std::int64_t position, int whence);
std::int64_t Tell(std::FILE* file);

// A read of standard input just failed with `error`. If that only means no data has arrived yet
// (a non-blocking pipe), waits until some has, or the writer is gone, and returns true.
bool WaitForInput(int error);
