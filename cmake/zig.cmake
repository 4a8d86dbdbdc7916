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
