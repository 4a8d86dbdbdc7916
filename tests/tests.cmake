# The end-to-end suite runs the real program, through whatever it needs in front of it, against
# real files and real standard input. Every build registers the same suites.
if(WIN32)
  # Hands a file to the program as standard input the way Windows programs do. Tests only.
  add_executable(stdin_from ${CMAKE_CURRENT_LIST_DIR}/stdin_from.cpp)
  target_compile_options(stdin_from PRIVATE ${QUILLPATCH_WARNINGS})
  target_link_options(stdin_from PRIVATE -static)
endif()

if(APPLE)
  # There is no Mac here to run it on: check that the build made a macOS program for its processor.
  string(REPLACE aarch64 arm64 cpu ${CMAKE_SYSTEM_PROCESSOR})
  add_test(NAME mach-o COMMAND sh -c "file -b \"$0\" | tee /dev/stderr | grep -q \"^Mach-O 64-bit ${cpu} executable\""
                               $<TARGET_FILE:quillpatch>)
  return()
endif()

# Building the program needs neither bats nor wine; only the tests do.
find_program(BATS bats)
if(NOT BATS)
  message(STATUS "bats not found: tests not registered")
  return()
endif()

set(program "$<TARGET_FILE:quillpatch>")
set(suite_env "")
if(WIN32)
  # The 64-bit program runs under wine64, which needs nothing 32-bit of the kernel (Debian keeps it
  # in /usr/lib/wine); the 32-bit one under wine, whose loader is a 32-bit Linux program, which some
  # kernels (in some virtual machines) will not run. Without wine, or where it cannot start, the
  # suites are reported as skipped, with the reason.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    find_program(WINE NAMES wine64 wine PATHS /usr/lib/wine /usr/lib64/wine /opt/wine-stable/bin)
  else()
    find_program(WINE wine)
  endif()
  find_program(WINESERVER wineserver)
  set(no_wine "")
  if(NOT WINE OR NOT WINESERVER)
    set(no_wine "wine is not installed")
  else()
    execute_process(COMMAND ${WINE} --version RESULT_VARIABLE wine_runs OUTPUT_QUIET ERROR_QUIET)
    if(NOT wine_runs EQUAL 0)
      set(no_wine "${WINE} cannot start (32-bit wine on a kernel that runs no 32-bit Linux programs)")
    endif()
  endif()
  if(no_wine)
    add_test(NAME windows-suites COMMAND sh -c "echo 'skipped: ${no_wine}'; exit 77")
    set_tests_properties(windows-suites PROPERTIES SKIP_RETURN_CODE 77)
    return()
  endif()
  # One persistent server for the whole run: otherwise every program start pays for a new one.
  set(prefix ${CMAKE_BINARY_DIR}/wineprefix)
  set(wine_env WINEPREFIX=${prefix} WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=)
  # A server left running by an interrupted run would refuse the persistent one.
  set(start "${WINESERVER} -k >/dev/null 2>&1; mkdir -p ${prefix} && ${WINESERVER} -p >/dev/null 2>&1 </dev/null")
  string(APPEND start " && ${WINE} wineboot --init >${CMAKE_BINARY_DIR}/wineboot.log 2>&1 </dev/null")
  add_test(NAME wine-start COMMAND sh -c "${start}")
  add_test(NAME wine-stop COMMAND ${WINESERVER} -k)
  set_tests_properties(wine-start PROPERTIES FIXTURES_SETUP wine ENVIRONMENT "${wine_env}")
  set_tests_properties(wine-stop PROPERTIES FIXTURES_CLEANUP wine ENVIRONMENT "${wine_env}")
  set(program "${WINE} ${program}")
  # The program's own processor's objdump reads its imports.
  list(APPEND suite_env ${wine_env} QUILLPATCH_WINDOWS=1 "QUILLPATCH_STDIN_FROM=${WINE} $<TARGET_FILE:stdin_from>"
       QUILLPATCH_OBJDUMP=${CMAKE_OBJDUMP})
  # A wine that starts may still not run this build's programs: Debian's wine falls back on wine64
  # where wine32 is missing, which runs no 32-bit program. Only running one tells (stdin_from says
  # how it is used, with status 125).
  set(runs "${WINE} $<TARGET_FILE:stdin_from> >/dev/null 2>&1; if [ $? != 125 ]; then echo 'skipped:")
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    string(APPEND runs " wine runs no 32-bit Windows program here: that takes wine32 and a kernel that runs")
    string(APPEND runs " 32-bit Linux programs'; exit 77; fi; ")
  else()
    string(APPEND runs " ${WINE} runs no 64-bit Windows program here'; exit 77; fi; ")
  endif()
elseif(QUILLPATCH_TEST_WRAPPER OR CMAKE_CROSSCOMPILING_EMULATOR)
  # valgrind, or qemu for another processor. Each case costs its start-up: fewer random cases keep
  # the run in minutes.
  set(wrapper ${QUILLPATCH_TEST_WRAPPER} ${CMAKE_CROSSCOMPILING_EMULATOR})
  list(GET wrapper 0 instrument)
  list(JOIN wrapper " " wrapper)
  set(program "${wrapper} ${program}")
  list(APPEND suite_env QUILLPATCH_INSTRUMENTED=${instrument} QUILLPATCH_CASES=100)
endif()
if(QUILLPATCH_SANITIZE)
  list(APPEND suite_env QUILLPATCH_INSTRUMENTED=sanitizers ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
       UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1)
endif()

# One suite a topic; each runs alone too (bats tests/NAME.bats, with QUILLPATCH set).
foreach(suite command-line copy sparse other-names devices progress platforms differential)
  if(WIN32)
    add_test(NAME ${suite} COMMAND sh -c "${runs}exec ${BATS} ${CMAKE_CURRENT_LIST_DIR}/${suite}.bats")
    set_tests_properties(${suite} PROPERTIES FIXTURES_REQUIRED wine SKIP_RETURN_CODE 77)
  else()
    add_test(NAME ${suite} COMMAND ${BATS} ${CMAKE_CURRENT_LIST_DIR}/${suite}.bats)
  endif()
  set_tests_properties(${suite} PROPERTIES ENVIRONMENT "QUILLPATCH=${program};${suite_env}" TIMEOUT 1800)
endforeach()
