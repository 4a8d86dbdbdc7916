# Linux on another processor, with Debian's cross compilers (crossbuild-essential-ARCH). The preset
# sets QUILLPATCH_CROSS to the compiler's triplet. Programs for ARM run here under qemu-user.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUILLPATCH_CROSS QUILLPATCH_QEMU)
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${QUILLPATCH_CROSS}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${QUILLPATCH_CROSS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
if(QUILLPATCH_CROSS MATCHES "^aarch64")
  set(CMAKE_SYSTEM_PROCESSOR aarch64)
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L ${CMAKE_FIND_ROOT_PATH})
else()
  # 32-bit x86 runs on a 64-bit kernel as it is, where the kernel runs 32-bit programs at all (some
  # virtual machines' do not): else under qemu. The cross C library's loader tells which.
  # QUILLPATCH_QEMU (the linux-i686-qemu preset) runs it under qemu anyway, to see here what the
  # other kind of machine sees.
  string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR ${QUILLPATCH_CROSS})
  execute_process(COMMAND ${CMAKE_FIND_ROOT_PATH}/lib/ld-linux.so.2 --help RESULT_VARIABLE runs
                  OUTPUT_QUIET ERROR_QUIET)
  if(QUILLPATCH_QEMU OR NOT runs EQUAL 0)
    set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386 -L ${CMAKE_FIND_ROOT_PATH})
  endif()
endif()
