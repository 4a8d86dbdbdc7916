# zig's bundled clang as a cross compiler, for the systems Debian has no cross compiler for: musl
# and macOS. The preset sets QUILLPATCH_ZIG_TARGET (x86_64-linux-musl, x86_64-macos, ...).
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUILLPATCH_ZIG_TARGET)
if(QUILLPATCH_ZIG_TARGET MATCHES "macos")
  set(CMAKE_SYSTEM_NAME Darwin)
else()
  set(CMAKE_SYSTEM_NAME Linux)
endif()
string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR "${QUILLPATCH_ZIG_TARGET}")
find_program(ZIG zig REQUIRED)
set(CMAKE_CXX_COMPILER "${ZIG}" c++)
set(CMAKE_CXX_COMPILER_TARGET "${QUILLPATCH_ZIG_TARGET}")
# zig builds the C and C++ libraries a program links (musl, libc++, ...) from source, minutes each,
# once for every optimization mode and position independence it is asked to link with, then keeps
# them in its cache. Every link here, the build's and the configure checks' alike, asks for the
# same: optimized, position-independent code (which the program is), so each target's libraries are
# built once. -O1 to -O3 are all one mode to zig.
set(CMAKE_CXX_FLAGS_INIT "-O2 -fPIE")
# A processor to build for, below what the target implies (ARMv6 for every Raspberry Pi), and the
# emulator that runs such programs here.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUILLPATCH_ZIG_CPU)
if(QUILLPATCH_ZIG_CPU)
  string(APPEND CMAKE_CXX_FLAGS_INIT " -mcpu=${QUILLPATCH_ZIG_CPU}")
endif()
if(QUILLPATCH_ZIG_TARGET MATCHES "^arm-linux")
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -cpu arm1176)
endif()
