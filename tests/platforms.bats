#!/usr/bin/env bats
# What one platform alone needs.
# End to end: the real program, real files, real standard input. Every case checks the exit
# status, standard error, the empty standard output and every byte of the target.

load helpers

@test "the Windows program needs no DLL beyond those of Windows itself" {
  if [[ -z ${QUILLPATCH_WINDOWS:-} ]]; then skip "only the Windows program has DLL imports"; fi
  local dlls
  dlls=$("${QUILLPATCH_OBJDUMP:?}" -p "${QP[-1]}" | sed -n 's/^\s*DLL Name: //p' | sort -f | tr '\n' ' ')
  echo "imports: $dlls"
  [[ $dlls == "KERNEL32.dll msvcrt.dll " ]]
}
