#!/usr/bin/env bats
# The command line: its arguments, a target that cannot be opened, the offset text and
# where a byte lands, and file names.
# End to end: the real program, real files, real standard input. Every case checks the exit
# status, standard error, the empty standard output and every byte of the target.

load helpers

@test "a wrong argument count prints the usage and touches nothing" {
  printf 'keep' >f
  cp f before
  while IFS= read -r row; do
    echo "arguments: $row"
    eval "args=($row)"
    qp "${args[@]}" </dev/null
    expect 0 "$USAGE"
    same f before
    [[ ! -e missing ]]
  done <<'ROWS'

f
missing
f 0 extra
'' '' ''
f 0 1 2
ROWS
}

@test "a file that cannot be opened is reported and never created" {
  mkdir dir
  while IFS= read -r row; do
    echo "arguments: $row"
    eval "args=($row)"
    qp "${args[@]}" < <(printf data)
    expect 0 "$OPEN_FAILED"
    [[ ! -e missing ]]
    [[ -d dir && -z $(ls -A dir) ]]
  done <<'ROWS'
missing 0
missing 'not a number'
missing -1
dir 0
'' 0
ROWS
}

@test "offset text converts as documented, seen through where a byte lands" {
  printf 'Q' >input
  while IFS='|' read -r text value; do
    echo "offset text: '$text', expected $value"
    : >f
    qp f "$text" <input
    expect 1
    model /dev/null "$value" input >expected
    same f expected
  done <<'ROWS'
0xA|10
0x1F|31
0X1f|31
31|31
0|0
0x|0
0010|16
010|0
0777|119
0x0x1F|31
12abc|12
abc|0
|0
 42|42
 0x10|0
+42|42
00|0
0xFFFF|65535
-0x10|0
+0x10|0
ROWS
}

@test "offsets that cannot be positioned to are reported, target unchanged; a FIFO takes 0" {
  random f 1000
  cp f before
  # The target (a file, or a FIFO, which has no position: offset 0 is where it stands, and the
  # bytes go to its reader) and the offset text.
  local target text reader writer
  while read -r target text; do
    echo "target $target, offset text: $text"
    if [[ $target == fifo ]]; then
      if [[ -n ${QUILLPATCH_WINDOWS:-} ]]; then
        echo "skipped: the Windows program opens no Linux FIFO"
        continue
      fi
      rm -f fifo got && mkfifo fifo
      cat fifo >got &
      reader=$!
      # Open for writing only once the reader has it open: else the program could open and close
      # it first, and the reader then wait for a writer for ever.
      exec {writer}>fifo
    fi
    qp "$target" "$text" < <(printf data)
    if [[ $target == fifo ]]; then
      exec {writer}>&-
      wait "$reader"
    fi
    if [[ $target == fifo && $text == 0 ]]; then
      expect 1
      [[ $(cat got) == data ]]
      continue
    fi
    expect_failure "Cannot seek to the given offset"
    if [[ $target == fifo ]]; then [[ ! -s got ]]; else same f before; fi
  done <<'ROWS'
f -1
f 0x-1
f 18446744073709551615
f 18446744073709551616
f 0x1FFFFFFFFFFFFFFFF
f 9223372036854775808
f 0x8000000000000000
f -9223372036854775807
fifo 1
fifo 0x10
fifo 0
ROWS
  # Just below 2^63, where the file system has positions (tmpfs): none for the input's last bytes.
  mount_fs tmpfs top || skip "$WHY"
  random top/f 1000
  cp top/f before
  random input 5000
  qp top/f 9223372036854775000 <input
  expect_failure "Cannot write to file"
  same top/f before
}

@test "file names in any script" {
  # wine hands the names on to Windows through the locale: one that spells them all.
  export LC_ALL=C.UTF-8
  printf 'Q' >input
  while IFS= read -r name; do
    echo "file name: $name"
    random "$name" 100
    model "$name" 7 input >expected
    qp "$name" 7 <input
    expect 1
    same "$name" expected
  done <<'ROWS'
café crème.bin
файл.bin
ファイル.bin
αρχείο.bin
emoji 😀.bin
ROWS
}
