#!/usr/bin/env bats
# End to end: the real program, real files, real standard input. Every case checks the exit
# status, standard error, the empty standard output and every byte of the target.

load helpers

teardown() {
  undo_mounts
}

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

@test "offsets of 2^63 and more cannot be positioned to: reported, target unchanged" {
  random f 1000
  cp f before
  while IFS= read -r text; do
    echo "offset text: $text"
    qp f "$text" < <(printf data)
    expect_failure "Cannot seek to the given offset"
    same f before
  done <<'ROWS'
-1
0x-1
18446744073709551615
18446744073709551616
0x1FFFFFFFFFFFFFFFF
9223372036854775808
0x8000000000000000
-9223372036854775807
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

@test "input lands inside, at the end and past the end of the file" {
  while read -r size offset length; do
    echo "target $size bytes, offset $offset, input $length bytes"
    random f "$size"
    random input "$length"
    model f "$offset" input >expected
    qp f "$offset" <input
    expect 1
    same f expected
  done <<'ROWS'
100 10 20
100 0 100
100 0 150
100 90 20
100 100 7
100 150 5
0 0 5
0 4096 4097
100 0 0
100 100 0
100 500 0
5000 4095 2
ROWS
}

@test "inputs across the chunk boundary arrive whole and contiguous" {
  random f 1000000
  for length in $((CHUNK - 1)) $CHUNK $((CHUNK + 1)) $((3 * CHUNK + 12345)); do
    echo "input of $length bytes"
    cp f target
    random input "$length"
    model target 777 input >expected
    qp target 777 <input
    expect 1
    same target expected
  done
}

@test "a pipe delivering irregular pieces is copied whole, blocking or not" {
  random f 300000
  # Zeros among the data: the run of zero blocks spans pieces that arrive apart.
  { head -c $((CHUNK + 5000)) /dev/urandom && head -c $((3 << 20)) /dev/zero &&
    head -c $((CHUNK - (3 << 20) + 65001)) /dev/urandom; } >input
  model f $((0x1234)) input >expected
  pieces() {
    for n in 1 4095 65537 7 $CHUNK 123456 3 $CHUNK; do
      head -c "$n"
      sleep 0.02
    done <input
  }
  # Linux's fcntl commands to set and get a pipe's size, and the most a process may set.
  local set_size=1031 get_size=1032 size max=/proc/sys/fs/pipe-max-size max_was
  for mode in blocking non-blocking enlarged; do
    echo "the pipe: $mode"
    cp f target
    {
      # The pipe's reading end is shared with the program: a parent may leave it non-blocking,
      # or make it larger than the program would.
      case $mode in
        non-blocking)
          perl -MFcntl -e 'fcntl(STDIN, F_SETFL, fcntl(STDIN, F_GETFL, 0) | O_NONBLOCK) or die $!'
          ;;
        enlarged)
          # Only what the test changed is put back: an ordinary user can change nothing here.
          max_was=$(cat $max 2>/dev/null) || max_was=
          if [[ -z $max_was ]] || ! { echo 4194304 >$max; } 2>/dev/null; then
            echo "skipped: $max cannot be raised to 4 MiB here (it takes root)"
            cat >/dev/null
            continue
          fi
          if ! perl -e "fcntl(STDIN, $set_size, 4194304) or die" 2>/dev/null; then
            echo "$max_was" >$max
            echo "skipped: this machine does not let the test make a 4 MiB pipe"
            cat >/dev/null
            continue
          fi
          ;;
      esac
      qp target 0x1234
      size=$(perl -e "print fcntl(STDIN, $get_size, 0) // 'none'")
      if [[ $mode == enlarged ]]; then echo "$max_was" >$max; fi
    } < <(pieces)
    expect 1
    same target expected
    if [[ $mode == enlarged ]]; then [[ $size == 4194304 ]]; fi
  done
}

@test "CR, LF, 0x1A and NUL bytes pass untranslated" {
  printf 'line\r\nnext\n\x1a\x00\r\r\n\x1a\x1a\x00end' >input
  for ((i = 0; i < 256; i++)); do printf "\\$(printf %03o "$i")"; done >>input
  printf '\r\n\x1a' >>input
  printf '0123456789\r\n' >f
  model f 4 input >expected
  qp f 4 <input
  expect 1
  same f expected
}

@test "offsets past 4 GiB are not cut to 32 bits" {
  printf 'abc' >input
  while IFS='|' read -r text value; do
    echo "offset text: $text"
    : >f
    qp f "$text" <input
    expect 1
    [[ $(stat -c %s f) == $((value + 3)) ]]
    [[ $(tail -c 4 f | od -An -c | tr -d ' ') == '\0abc' ]]
    [[ $(head -c 4 f | od -An -tx1 | tr -d ' ') == 00000000 ]]
  done <<'ROWS'
0x100000000|4294967296
4294967301|4294967301
0x1000000005|68719476741
ROWS
  # Inside an existing file of 5 GiB: a position cut to 32 bits would land near its start.
  : >big
  truncate -s 5G big
  qp big 0x100000001 <input
  expect 1
  [[ $(stat -c %s big) == 5368709120 ]]
  [[ $(tail -c +4294967297 big | head -c 5 | od -An -c | tr -d ' ') == '\0abc\0' ]]
  [[ $(head -c 8 big | od -An -tx1 | tr -d ' ') == 0000000000000000 ]]
}

@test "standard input that cannot be read is reported; what it gave before is written" {
  skip_on_windows "a Windows program cannot be handed a directory or a socket as its standard input"
  random before 100
  # Random bytes, then zeros that run past the target's end and end inside a block.
  { head -c 3000000 /dev/urandom && head -c 100001 /dev/zero; } >input
  # reset ARGS...: the program with a socket on standard input whose peer sends the input and
  # goes away leaving bytes unread (the program's own, sent before it started): all the input
  # arrives, then the next read fails with ECONNRESET, and any read after it sees only an end.
  reset() {
    perl -MSocket -e '
      socketpair(my $ours, my $theirs, AF_UNIX, SOCK_STREAM, PF_UNSPEC) or die "socketpair: $!";
      my $pid = fork // die "fork: $!";
      if ($pid == 0) {
        close $ours;
        syswrite($theirs, "x") == 1 or die "write: $!";
        open(STDIN, "<&", $theirs) or die "stdin: $!";
        exec(@ARGV) or die "exec: $!";
      }
      close $theirs;
      my $all = do { local $/; <STDIN> };
      syswrite($ours, $all) == length($all) or die "write: $!";
      close $ours;
      waitpid($pid, 0);
      exit($? >> 8);
    ' "${QP[@]}" "$@" <input >.out 2>.err && status=0 || status=$?
  }
  # How standard input is given (a directory, a descriptor open for writing only: nothing can be
  # read; a reset socket: all it sent must land), and the target: a file, or a loop device over
  # a 4 MiB file.
  local how target file landed
  while IFS='|' read -r how target; do
    echo "standard input: $how, into a $target"
    file=f
    if [[ $target == loop ]]; then
      file=disk
      random disk $((4 << 20))
      loop_device disk || skip "$WHY"
      target=$LOOP
    else
      cp before f
      target=f
    fi
    if [[ $how == reset ]]; then
      cp input landed
      reset "$target" 3
    else
      : >landed
      eval "qp $target 3 $how"
    fi
    expect_failure "Cannot read from STDIN"
    model "$file" 3 landed >expected
    if [[ $file == disk ]]; then
      cmp -n $((4 << 20)) "$target" expected
      undo_mounts && LOOPS=
    else
      same f expected
    fi
  done <<'ROWS'
<.|file
0>>f|file
0>other|file
reset|file
reset|loop
ROWS
}

@test "a write that fails is reported: /dev/full, a device whose write-back fails" {
  skip_on_windows "Windows has no /dev/full"
  for length in 1 5000 $((CHUNK + 1)); do
    echo "input of $length bytes"
    random input "$length"
    qp /dev/full 0 <input
    expect_failure "Cannot write to file"
  done
  # A loop device over a 100 MiB file on a 20 MiB tmpfs takes the writes into its cache, and
  # fails them when it writes them back.
  mount_fs tmpfs small || skip "$WHY"
  mount -o remount,size=20M small
  truncate -s 100M small/backing
  loop_device small/backing || skip "$WHY"
  random input $((50 << 20))
  qp "$LOOP" 0 <input
  expect_failure "Cannot write to file"
  # A hole, or zeros through a pipe, that run past a 4 MiB device's end fail as a write there does.
  truncate -s 4M disk
  loop_device disk || skip "$WHY"
  head -c 4096 /dev/urandom >input
  truncate -s 8M input
  for via in file pipe; do
    echo "8 MiB, mostly a hole, from a $via into a 4 MiB device"
    if [[ $via == file ]]; then qp "$LOOP" 0 <input; else qp "$LOOP" 0 < <(cat input); fi
    expect_failure "Cannot write to file"
    grep -q 'No space left on device' .err
    cmp -n $((4 << 20)) "$LOOP" input
  done
}

@test "a failure in the middle of the copy: what came before is written, nothing after" {
  skip_on_windows "strace follows Linux programs only"
  if [[ -n ${QUILLPATCH_INSTRUMENTED:-} ]]; then
    skip "under $QUILLPATCH_INSTRUMENTED the system calls counted would not all be the program's"
  fi
  random f 100
  random input $((CHUNK + 5000000))
  # What strace injects (failed system calls, or a result of 0), the message ("" for success),
  # how much of the input must land: "read" for all that the system's copy and the reads
  # delivered before the failure (the C library may read ahead of the piece), "placed" for all
  # that the writes to the target placed; and whether standard input is the file or a pipe,
  # whose bytes once read cannot be read again. Rows about the reads
  # and writes refuse the system's copy and its walk through the input's holes (every lseek after
  # the target's own), so that the copy loop meets the fault. The third read
  # fails inside the second piece: what it had must still be written. A system copy that fails or
  # sees an early end hands over to the loop at the position reached. A read that failed is
  # never read again, whoever reads: the file's walk through the buffer, or a pipe's pieces. Every
  # close fails in its row, the target's last: the program's own files (the system's lists) close
  # before it.
  local refused="copy_file_range,splice:error=ENOSYS lseek,_llseek:error=EINVAL:when=2+" all own
  all=$(stat -c %s input)
  # Before its input the program reads what the system says of its block devices: the reads the
  # rows count are the input's, after those.
  cp f target
  strace -o .strace -e trace=read,readv "${QP[@]}" target 0 <f >.out 2>.err && status=0 || status=$?
  expect 1
  own=$(awk '/^readv?\(0,/ { exit } /^readv?\(/ { n++ } END { print n + 0 }' .strace)
  while IFS='|' read -r injections message written via; do
    echo "injected: $injections"
    local args=()
    for injection in $injections; do
      if [[ $injection =~ ^(readv?[,:].*:when=)([0-9]+)(.*)$ ]]; then
        injection=${BASH_REMATCH[1]}$((BASH_REMATCH[2] + own))${BASH_REMATCH[3]}
      fi
      args+=(-e "inject=$injection")
    done
    cp f target
    traced() {
      strace -o .strace -e trace=read,readv,pread64,write,writev,pwrite64,close,copy_file_range,splice,lseek,_llseek \
        "${args[@]}" "${QP[@]}" target 0 >.out 2>.err
    }
    if [[ $via == file ]]; then traced <input; else traced < <(cat input); fi && status=0 || status=$?
    grep -q INJECTED .strace
    if [[ -z $message ]]; then expect 1; else expect_failure "$message"; fi
    if [[ $written == read ]]; then
      written=$(awk '/^(readv?|copy_file_range)\(0,/ && $NF ~ /^[0-9]+$/ { n += $NF }
                     END { print n + 0 }' .strace)
    elif [[ $written == placed ]]; then
      written=$(awk '/^(pwrite64|writev?)\(/ && !/^writev?\(2,/ && $NF ~ /^[0-9]+$/ { n += $NF }
                     END { print n + 0 }' .strace)
    fi
    echo "$written bytes must land"
    head -c "$written" input >landed
    model f 0 landed >expected
    same target expected
  done <<ROWS
read,readv:error=EIO:when=1 $refused|Cannot read from STDIN|read|file
read,readv:error=EIO:when=2 $refused|Cannot read from STDIN|read|file
read,readv:error=EIO:when=3 $refused|Cannot read from STDIN|read|file
write,writev:error=EIO:when=1 $refused|Cannot write to file|0|file
write,writev:error=EIO:when=2 $refused|Cannot write to file|placed|file
close:error=EIO|Cannot write to file|read|file
copy_file_range:error=EXDEV:when=1||$all|file
copy_file_range:error=EINVAL:when=1||$all|file
copy_file_range:error=EIO:when=2|Cannot write to file|read|file
copy_file_range:retval=0:when=1||$all|file
copy_file_range:error=ENOSYS:when=2+ read,readv,pread64:error=EIO|Cannot read from STDIN|read|file
copy_file_range:error=EXDEV pread64:error=EIO:when=2|Cannot read from STDIN|placed|file
pwrite64:error=EIO:when=1|Cannot write to file|0|pipe
pwrite64:error=ENOSPC:when=4|Cannot write to file|placed|pipe
read:error=EIO:when=2|Cannot read from STDIN|read|pipe
read:error=EIO:when=3+ readv:error=EIO|Cannot read from STDIN|placed|pipe
ROWS
}

@test "the system's own copy carries all of a file; a pipe is read a pipe's worth at a time" {
  skip_on_windows "strace follows Linux programs only"
  if [[ -n ${QUILLPATCH_INSTRUMENTED:-} ]]; then
    skip "under $QUILLPATCH_INSTRUMENTED the system calls counted would not all be the program's"
  fi
  # Random data with 3 MiB of zeros in the middle, which a pipe brings as data.
  { head -c $((CHUNK + 12345)) /dev/urandom && head -c $((3 << 20)) /dev/zero &&
    head -c "$CHUNK" /dev/urandom; } >input
  local size zero=$((3 << 20))
  size=$(stat -c %s input)
  # Where the input comes from, the call that must carry it, and what the target is: the file
  # gets all of it from the system; the pipe's zeros past the empty target's end are never
  # written (but for the 4 KiB blocks they share with data), and no read takes more than the pipe
  # holds (1 MiB), so the buffer is never filled.
  while read -r via call target; do
    echo "from a $via into a $target target: $call"
    case $target in
      random) random f 100 ;;
      empty) : >f ;;
    esac
    model f 7 input >expected
    traced() { strace -o .strace -e trace="read,readv,pwrite64,$call" "${QP[@]}" f 7 >.out 2>.err; }
    if [[ $via == file ]]; then traced <input; else traced < <(cat input); fi && status=0 || status=$?
    expect 1
    same f expected
    awk -v call="$call" -v via="$via" -v size="$size" -v zero="$zero" '
      $0 ~ "^" call "\\(0," && $NF ~ /^[0-9]+$/ { moved += $NF; if ($NF > most) most = $NF }
      /^pwrite64\(/ && $NF ~ /^[0-9]+$/ { written += $NF }
      /^readv?\(0,/ && $NF != 0 { read = 1 }
      END {
        print moved, most, written, read + 0
        if (via == "file") exit !(moved == size && !read)
        exit !(moved == size && most <= 1048576 && written >= size - zero && written < size - zero + 8192)
      }' .strace
  done <<'ROWS'
file copy_file_range random
pipe read empty
ROWS
}

@test "into a device the write-back goes along with the copy; a file is never flushed" {
  skip_on_windows "strace follows Linux programs only"
  if [[ -n ${QUILLPATCH_INSTRUMENTED:-} ]]; then
    skip "under $QUILLPATCH_INSTRUMENTED the system calls counted would not all be the program's"
  fi
  local size=$((80 << 20)) target
  random input "$size"
  # Where the input comes from (a file, a pipe, /dev/zero: a character device, which the plain
  # copy loop reads until the device is full), the target (a loop device over a 100 MiB file, or
  # a file), what strace injects, and the message ("" for success). From the calls the program
  # makes, the bytes written to the device and not yet waited for never exceed 48 MiB; into a
  # file nothing is ever flushed.
  while IFS='|' read -r via on injection message; do
    echo "from $via into a $on; injected: $injection"
    rm -f t
    case $on in
      loop) truncate -s 100M t && loop_device t || skip "$WHY" && target=$LOOP ;;
      file) : >t && target=t ;;
    esac
    local args=(-o .strace -e trace=pwrite64,write,writev,sync_file_range,fsync,fdatasync)
    if [[ $injection != - ]]; then args+=(-e "inject=$injection"); fi
    traced() { strace "${args[@]}" "${QP[@]}" "$target" 0 >.out 2>.err; }
    case $via in
      file) traced <input ;;
      pipe) traced < <(cat input) ;;
      zero) traced </dev/zero ;;
    esac && status=0 || status=$?
    if [[ $on == loop ]]; then
      losetup -d "$LOOP" && LOOPS=
    fi
    if [[ -n $message ]]; then
      expect_failure "$message"
    else
      expect 1
    fi
    if [[ $via == zero ]]; then
      cmp -n $((100 << 20)) t /dev/zero
    elif [[ -z $message ]]; then
      cmp -n "$size" t input
    fi
    if [[ $injection != - ]]; then grep -q INJECTED .strace; fi
    awk -v on="$on" -v injected="$injection" '
      # pwrite64(FD, "...", N, OFFSET) = N; write(FD, "...", N) = N at the position reached, or
      # writev (musl'"'"'s stdio); sync_file_range(FD, OFFSET, N, FLAGS) = 0
      /^(pwrite64|writev?)\([3-9]/ && $NF ~ /^[0-9]+$/ {
        n = $NF
        if ($1 ~ /^pwrite64/) { split($0, f, ", "); at = f[length(f)] + 0 } else { at = position }
        if (!started) { waited = at; started = 1 }
        if (at + n > reach) reach = at + n
        position = at + n
        if (reach - waited > most) most = reach - waited
      }
      /^sync_file_range\(/ { syncs++ }
      /^sync_file_range\(.*WAIT_AFTER/ && $NF == 0 {
        split($0, f, ", "); if (f[2] + f[3] > waited) waited = f[2] + f[3]
      }
      /^f(data)?sync\(/ { flushes++ }
      END {
        printf "written and not waited for: at most %d bytes; %d sync_file_range, %d flushes\n", most, syncs, flushes
        if (on == "file") exit !(syncs == 0 && flushes == 0)
        if (injected ~ /ENOSYS/) exit !(flushes == 1)
        exit !(syncs > 0 && most <= 48 * 1048576)
      }' .strace
  done <<'ROWS'
file|loop|-|
pipe|loop|-|
zero|loop|-|Cannot write to file
file|file|-|
pipe|file|-|
file|loop|sync_file_range:error=EIO:when=5|Cannot write to file
pipe|loop|sync_file_range:error=EIO:when=5|Cannot write to file
pipe|loop|sync_file_range:error=ENOSYS|
ROWS
}

@test "on XFS, input at a block boundary shares its blocks with the target; any offset lands exactly" {
  skip_on_windows "the Windows program copies every byte itself"
  mount_fs xfs mnt || skip "$WHY"
  random mnt/input $((33 * 1024 * 1024 + 100))
  random orig $((40 * 1024 * 1024))
  local blocks=$((33 * 1024 * 1024 / 4096)) shared
  while read -r offset must_share; do
    echo "offset $offset"
    cp orig mnt/f
    model orig "$offset" mnt/input >expected
    qp mnt/f "$offset" <mnt/input
    expect 1
    same mnt/f expected
    # filefrag: "N: FIRST.. LAST: ... shared" for each extent that another file shares.
    shared=$(filefrag -v mnt/f | awk '/shared/ { n += $3 - $2 + 1 } END { print n + 0 }')
    echo "$shared blocks of 4 KiB shared"
    if [[ $must_share == yes ]]; then [[ $shared == "$blocks" ]]; fi
  done <<'ROWS'
1048576 yes
0 yes
100 no
ROWS
}

@test "holes in a file input stay holes in the target: every byte exact, the old blocks freed" {
  skip_on_windows "the Windows program copies every byte itself"
  local size=$((8 << 20))
  random old "$size"
  # place NAME: sets $dir to where a file on NAME goes: here, or a file system mounted for the case.
  place() {
    case $1 in
      here) dir=. ;;
      bindfs) dir=bindfs/mirror && { [[ -d $dir ]] || mount_fs bindfs bindfs; } ;;
      *) dir=$1 && { [[ -d $dir ]] || mount_fs "$1" "$1"; } ;;
    esac
  }
  # Where the input and the target are (loop: a block device over a file here); the input as
  # data (D) and holes (H) in KiB; how much of it the caller has read; the offset; what strace
  # injects; whether the target's old blocks under the holes must be given back. ramfs cannot
  # punch. bindfs reports no holes, and is a file system whose reported holes the program must
  # read before it believes them: there the first SEEK_DATA claims data only from 32 KiB on.
  # On ext3 (mounted as ext4), data not yet written back is reported as a hole: its holes are read.
  local input_at target_at layout skip offset injection freed dir input target run kib data
  while IFS='|' read -r input_at target_at layout skip offset injection freed; do
    echo "input on $input_at, target on $target_at: $layout from $skip at $offset; injected: $injection"
    place "$input_at" || skip "$WHY"
    input=$dir/input
    : >"$input"
    data=0
    for kib in $layout; do
      if [[ $kib == D* ]]; then
        head -c $((${kib#D} << 10)) /dev/urandom >>"$input"
        data=$((data + ${kib#D}))
      else
        truncate -s +$((${kib#H} << 10)) "$input"
      fi
    done
    tail -c +$((skip + 1)) "$input" >landed
    model old "$offset" landed >expected
    if [[ $target_at == loop ]]; then
      cp old disk
      loop_device disk || skip "$WHY"
      target=$LOOP
    else
      place "$target_at" || skip "$WHY"
      target=$dir/target
      cp old "$target"
    fi
    run=("${QP[@]}")
    if [[ $injection != - ]]; then
      if [[ -n ${QUILLPATCH_INSTRUMENTED:-} ]]; then
        echo "skipped: under $QUILLPATCH_INSTRUMENTED strace would see more than the program"
        continue
      fi
      QP=(strace -o .strace -e trace=lseek,_llseek,fallocate -e "inject=$injection" "${run[@]}")
    fi
    with_input_at "$input" "$skip" "$target" "$offset"
    QP=("${run[@]}")
    expect 1
    if [[ $injection != - ]]; then grep -q INJECTED .strace; fi
    if [[ $target_at == loop ]]; then
      cmp -n "$size" "$target" expected
    else
      same "$target" expected
    fi
    [[ ! -s .rest ]]
    # What the target may still occupy: its old bytes outside the input's range, the data, 1 MiB.
    if [[ $freed == yes ]]; then
      local end=$((offset + $(stat -c %s landed))) kept
      kept=$(($(stat -c %b "$target") / 2))
      ((end < size)) || end=$size
      ((offset < size)) || offset=$size
      echo "the target occupies $kept KiB, at most $(((size - end + offset) / 1024 + data + 1024))"
      ((kept <= (size - end + offset) / 1024 + data + 1024))
    fi
  done <<'ROWS'
here|here|H1024 D64 H2048 D4 H512|0|1048576|-|yes
here|here|H1024 D64 H2048 D4 H512|0|1048676|-|yes
here|here|D5 H4096 D3 H8192|0|4096|-|yes
here|here|H2048 D64 H1024 D8|1000000|777|-|yes
tmpfs|tmpfs|H1024 D64 H4096 D4|0|100|-|yes
xfs|xfs|H1024 D1024 H4096 D4 H20|0|1048576|-|yes
tmpfs|here|H1024 D64 H4096 D4|0|100|-|yes
ext3|here|H1024 D64 H2048 D4 H512|0|100|-|no
here|ramfs|H1024 D64 H2048 D4 H512|0|1048676|-|no
here|here|H1024 D64 H2048 D4 H512|0|1048676|fallocate:error=EOPNOTSUPP|no
bindfs|here|D64 H1024 D64 H512|0|100|lseek,_llseek:retval=32768:when=3|no
here|loop|H1024 D64 H2048 D4 H512|0|4096|-|no
here|loop|H1024 D64 H2048 D4 H512|0|4097|-|no
ROWS
}

@test "zeros through a pipe are not written where the target reads as zeros: every byte exact" {
  skip_on_windows "the Windows program writes every byte itself"
  # The target before (empty; sparse: a 32 MiB hole; old: 8 MiB of data; short: 100 bytes;
  # falloc: 16 MiB allocated, unwritten; mixed: holes and data; ext3: mixed, just written, on an
  # ext3 file system mounted as ext4, which reports such data as a hole; bindfs: sparse behind a
  # FUSE mirror, whose holes are not believed; loop: a block device over a sparse 32 MiB file),
  # the offsets, the input as data (D) and zeros (Z) in bytes (K, M: KiB, MiB) and W: there the
  # pipe waits until the target holds what came before, and another program writes 4 KiB of its
  # own where the next bytes go, into the hole; what strace injects
  # (the third lseek is the target's first SEEK_DATA: failed, every zero is written), and what the
  # target's blocks must do: sparse (grow by no more than the data and 1 MiB; for a
  # loop device, its file), kept (not fall either), or - (no check).
  local how offsets layout injection blocks file target size=$((32 << 20)) piece n data before after run
  local marks
  # feed FILE OFFSET: the input through a pipe, with another program's writes into FILE at the
  # marks. The copy waits for input at each: the wait for its bytes to land ends.
  feed() {
    local done=0 mark landed tries
    for mark in "${marks[@]}"; do
      head -c $((mark - done))
      done=$mark
      # Every whole block of the target that the input so far reaches is placed.
      landed=$((($2 + mark) / 4096 * 4096 - $2))
      for ((tries = 0; tries < 600; tries++)); do
        if cmp -s -n "$landed" -i "$2:0" "$1" input; then break; fi
        sleep 0.1
      done
      head -c 4096 /dev/urandom |
        dd of="$1" bs=4096 seek=$(($2 + mark)) oflag=seek_bytes conv=notrunc status=none
    done
    cat
  } <input
  while IFS='|' read -r how offsets layout injection blocks; do
    : >input
    data=0
    marks=()
    for piece in $layout; do
      if [[ $piece == W ]]; then
        marks+=("$(stat -c %s input)")
        continue
      fi
      n=${piece#?} && n=${n/K/*1024} && n=$((${n/M/*1048576}))
      if [[ $piece == D* ]]; then
        head -c "$n" /dev/urandom >>input
        data=$((data + n))
      else
        head -c "$n" /dev/zero >>input
      fi
    done
    for offset in $offsets; do
      echo "target $how at $offset: $layout; injected: $injection"
      file=t
      rm -f t
      case $how in
        empty) : >t ;;
        sparse | loop) truncate -s "$size" t ;;
        old) random t $((8 << 20)) ;;
        short) random t 100 ;;
        falloc) fallocate -l $((16 << 20)) t ;;
        mixed | ext3)
          if [[ $how == ext3 ]]; then
            if [[ ! -d e3 ]]; then mount_fs ext3 e3 || skip "$WHY"; fi
            file=e3/t
            rm -f "$file"
          fi
          truncate -s $((16 << 20)) "$file"
          for n in 1 5 9; do head -c 1M /dev/urandom | dd of="$file" bs=1M seek=$n conv=notrunc status=none; done
          ;;
        bindfs)
          if [[ ! -d bf ]]; then mount_fs bindfs bf || skip "$WHY"; fi
          file=bf/mirror/t
          rm -f "$file" && truncate -s "$size" "$file"
          ;;
      esac
      model "$file" "$offset" input >expected
      target=$file
      if [[ $how == loop ]]; then
        loop_device t || skip "$WHY"
        target=$LOOP
      fi
      before=$(stat -c %b "$file")
      run=("${QP[@]}")
      if [[ $injection != - ]]; then
        if [[ -n ${QUILLPATCH_INSTRUMENTED:-} ]]; then
          echo "skipped: under $QUILLPATCH_INSTRUMENTED strace would see more than the program"
          continue
        fi
        QP=(strace -o .strace -e trace=ftruncate,ftruncate64,fallocate,lseek,_llseek -e "inject=$injection" "${run[@]}")
      fi
      qp "$target" "$offset" < <(feed "$file" "$offset")
      QP=("${run[@]}")
      expect 1
      if [[ $injection != - ]]; then grep -q INJECTED .strace; fi
      if [[ $how == loop ]]; then
        losetup -d "$LOOP" && LOOPS=
      fi
      same "$file" expected
      after=$(stat -c %b "$file")
      echo "blocks of 512 bytes: $before before, $after after, for $data bytes of data"
      case $blocks in
        sparse) ((after * 512 <= before * 512 + data + (1 << 20))) ;;
        kept) ((after >= before && after * 512 <= before * 512 + data + (1 << 20))) ;;
      esac
    done
  done <<'ROWS'
empty|0 1 4095 4097 1048676|Z5M|-|sparse
empty|0 4097|Z10K D3000|-|sparse
empty|0 1 4097|D100 Z21M|-|sparse
empty|0|D100 Z21M|ftruncate,ftruncate64:error=EPERM|-
short|0 4095 1048676|D1 Z1 D4095 Z8191 D7 Z4096 D1 Z4095 D2 Z8190|-|sparse
sparse|0 1 4095 4097 1048676|D3M Z7M D1 Z11M D5000 Z4M|-|sparse
sparse|1048576|Z40M D1|-|sparse
old|0 1 4097 1048676|D3M Z7M D1 Z11M D5000 Z4M|-|kept
falloc|0 4097|Z2M D4096 Z6M D1|-|kept
mixed|4097|Z7M D1 Z5M D8191 Z3M|lseek,_llseek:error=EINVAL:when=3|-
mixed|0 100 1048676|Z7M D1 Z5M D8191 Z3M|-|sparse
ext3|0 4097|Z7M D1 Z5M D8191 Z3M|-|-
sparse|0 4097|Z1M D8K W Z1M D1|-|sparse
bindfs|4097|D64K Z2M D1 Z1M|-|-
loop|0 512 4096 4097|D1 Z3M D4097 Z8M D511 Z1M|-|sparse
loop|4097|D1 Z3M D4097 Z8M D511 Z1M|fallocate:error=EOPNOTSUPP|-
ROWS
}

@test "a write past the file size limit is reported, not killed by a signal" {
  skip_on_windows "Windows has no file size limit"
  # The limit in KiB, the target's size (random bytes), the offset, the input as data (D), zeros
  # (Z) and holes (H) in bytes, and whether it comes from a file or a pipe. A plain copy writes
  # up to the limit, fails at its first write there, and leaves the file as it was from there
  # on: zeros too, and where a hole punched or zeros left out would not fail.
  local kib size offset layout via piece n limit end
  while IFS='|' read -r kib size offset layout via; do
    echo "limit $kib KiB, $size bytes, at $offset: $layout from a $via"
    random f "$size"
    : >input
    for piece in $layout; do
      n=${piece#?}
      case $piece in
        D*) head -c "$n" /dev/urandom >>input ;;
        Z*) head -c "$n" /dev/zero >>input ;;
        H*) truncate -s +"$n" input ;;
      esac
    done
    limit=$((kib << 10))
    model f "$offset" input >whole
    # How far the file reaches: the input's end, short of the limit, or where it ended.
    end=$((offset + $(stat -c %s input)))
    if ((end > limit)); then end=$((offset < limit ? limit : 0)); fi
    if ((end < size)); then end=$size; fi
    { head -c $((end < limit ? end : limit)) whole && tail -c +$((limit + 1)) f; } >expected
    (
      ulimit -f "$kib"
      if [[ $via == file ]]; then qp f "$offset" <input; else qp f "$offset" < <(cat input); fi
      exit "$status"
    ) && status=0 || status=$?
    expect_failure "Cannot write to file"
    grep -q 'File too large' .err
    same f expected
  done <<ROWS
1|0|0|D1500|file
1|0|0|D$((CHUNK + 1))|file
8|0|8192|Z20000|pipe
8|4096|7000|Z3000 D10 Z20000|pipe
8|12000|0|D100 H20000|file
8|30000|100|H20000|file
8|0|0|H20000 D10|file
ROWS
}

@test "every path stays within 2 MiB of memory" {
  skip_on_windows "GNU time measures Linux programs"
  if [[ -n ${QUILLPATCH_INSTRUMENTED:-} ]]; then
    skip "under $QUILLPATCH_INSTRUMENTED the memory measured would not be the program's"
  fi
  [[ -x /usr/bin/time ]] || skip "GNU time is not installed"
  local input target status_wanted peak
  random data $((24 << 20))
  # Standard input (a file here; behind a FUSE mirror, mostly a hole, which is read; a pipe; a
  # loop device over the file; /dev/zero; the target itself), the target (a file here, on tmpfs, a loop
  # device over a 32 MiB file), and the status: /dev/zero fills the device to its end.
  while read -r input target status_wanted; do
    echo "from $input into $target"
    case $target in
      here) cp data f && target=f ;;
      tmpfs)
        if [[ ! -d tm ]]; then mount_fs tmpfs tm || skip "$WHY"; fi
        cp data tm/f && target=tm/f
        ;;
      loop) random disk $((32 << 20)) && loop_device disk || skip "$WHY" && target=$LOOP ;;
    esac
    case $input in
      here) cp data in && input=in ;;
      bindfs)
        if [[ ! -d bf ]]; then mount_fs bindfs bf || skip "$WHY"; fi
        truncate -s $((24 << 20)) bf/real/in && input=bf/mirror/in
        head -c 1M data | dd of=bf/real/in bs=1M seek=10 conv=notrunc status=none
        ;;
      loop) cp data in && loop_device in || skip "$WHY" && input=$LOOP ;;
      itself) input=$target ;;
    esac
    if [[ $input == pipe ]]; then
      /usr/bin/time -o .peak -f %M "${QP[@]}" "$target" 100 < <(cat data) >.out 2>.err && status=0 || status=$?
    else
      /usr/bin/time -o .peak -f %M "${QP[@]}" "$target" 100 <"$input" >.out 2>.err && status=0 || status=$?
    fi
    # GNU time notes a status other than 0 on a line of its own before the figure.
    peak=$(tail -n 1 .peak)
    echo "peak resident memory: $peak KiB"
    [[ $status == "$status_wanted" ]]
    ((peak <= 2048))
    for LOOP in ${LOOPS:-}; do losetup -d "$LOOP"; done
    LOOPS=
  done <<'ROWS'
here here 1
here tmpfs 1
here loop 1
bindfs here 1
pipe here 1
loop here 1
/dev/zero loop 2
itself here 1
ROWS
}

@test "a transfer buffer that cannot be had is reported, target unchanged" {
  skip_on_windows "Windows has no ulimit"
  if [[ -n ${QUILLPATCH_INSTRUMENTED:-} ]]; then
    skip "a virtual memory limit does not apply under $QUILLPATCH_INSTRUMENTED"
  fi
  printf 'keep' >f
  printf 'x' >input
  limited() { (
    ulimit -v "$1"
    qp f 0 <input
    exit "$status"
  ) && status=0 || status=$?; }
  # The least limit (KiB) under which a one-byte copy still succeeds...
  local low=0 high=262144 mid
  while ((high - low > 16)); do
    mid=$(((low + high) / 2))
    printf 'keep' >f
    limited "$mid"
    if ((status == 1)); then high=$mid; else low=$mid; fi
  done
  echo "the program needs $high KiB"
  # ...less half the buffer leaves room for all but the buffer.
  printf 'keep' >f
  limited $((high - CHUNK / 2048))
  expect_failure "Not enough memory"
  [[ $(cat f) == keep ]]
}

@test "closed standard streams: nothing but the input reaches the target" {
  if [[ ${QUILLPATCH_INSTRUMENTED:-} == valgrind ]]; then
    skip "valgrind takes closed standard descriptors for itself"
  fi
  random f 100
  random input 50
  cp f before
  # Standard input closed: the target would be the first file opened, and read as the input.
  "${QP[@]}" f 10 <&- >.out 2>.err && status=0 || status=$?
  expect_failure "Cannot read from STDIN"
  same f before
  # Standard error closed: a failure message would go into the target.
  "${QP[@]}" f -1 <input >.out 2>&- && status=0 || status=$?
  [[ $status == 2 ]]
  same f before
  # Standard error closed, successful copy.
  "${QP[@]}" f 10 <input >.out 2>&- && status=0 || status=$?
  : >.err
  expect 1
  model before 10 input >expected
  same f expected
  # Standard output closed.
  cp before f
  "${QP[@]}" f 20 <input >&- 2>.err && status=0 || status=$?
  : >.out
  expect 1
  model before 20 input >expected
  same f expected
  # Standard input closed and no /dev/null to stand in for it (a bare chroot): said, target
  # untouched; a wrong argument count is still only that.
  if [[ -z ${QUILLPATCH_INSTRUMENTED:-} && -z ${QUILLPATCH_WINDOWS:-} ]]; then
    local no_null=(strace -o .strace -e trace=open,openat -e inject=open,openat:error=ENOENT)
    cp before f
    "${no_null[@]}" "${QP[@]}" f 10 <&- >.out 2>.err && status=0 || status=$?
    expect_failure "Cannot stand in for a closed standard stream"
    same f before
    "${no_null[@]}" "${QP[@]}" f <&- >.out 2>.err && status=0 || status=$?
    expect 0 "$USAGE"
  fi
}

@test "standard input that is the target itself moves as memmove does" {
  local size=$((25 * 1024 * 1024))
  random orig "$size"
  while read -r name skip offset; do
    echo "input $name from position $skip written at $offset"
    cp orig f
    case $name in
      link) ln f link ;;
      copy) cp orig copy ;;
    esac
    tail -c +$((skip + 1)) orig >input
    model orig "$offset" input >expected
    # The caller has read $skip bytes already; what is left of the file is the input.
    with_input_at "$name" "$skip" f "$offset"
    expect 1
    same f expected
    # Standard input is left at the end of what it held when the copy began.
    cmp .rest <(tail -c +$((size + 1)) "$name")
    rm -f link copy
  done <<'ROWS'
f 0 100
f 0 11534336
f 0 30000000
f 0 0
f 1000 1000
f 5000000 0
f 5000000 17
f 12000000 11999999
link 0 3
copy 0 100
copy 0 11534336
ROWS
  if [[ -n ${QUILLPATCH_WINDOWS:-} ]]; then
    # cmd's own redirection: whether the program may open the file beside it is up to cmd's
    # sharing, but the file must end either moved or untouched. wine is the suite's own (wine64 for
    # the 64-bit program), the words before the program.
    cp orig f
    model orig 100 orig >expected
    "${QP[@]:0:${#QP[@]}-1}" cmd /c "Z:${QP[-1]} f 100 < f" >.out 2>.err && status=0 || status=$?
    if [[ $status == 1 ]]; then
      expect 1
      same f expected
    else
      expect 0 "$OPEN_FAILED"
      same f orig
    fi
  fi
}

@test "the target reached under another name: moved exactly, or refused" {
  local size=$((11 * 1024 * 1024 + 1000)) how offset outcome input target file
  random orig "$size"
  # How the same bytes get a second name (an overlay's merged file over its upper one, one that
  # was copied up, one over a lower layer on another file system, a FUSE mirror, a loop device
  # over the file as input or as target, a partition of one, a loop device over a loop device or
  # over the overlay's merged file, a file in an ext4 or Btrfs image mounted through a loop device
  # and the image either way round or the loop device, a loop device over one whose file was
  # renamed, deleted or set up in another mount namespace, device-mapper over a loop device), or
  # only seem to (an overlay's lower file into its merged one, which writing copies up; a file
  # that the renamed file's path in sysfs seems to name), the offset, and what must happen:
  # refused (status 2, one line, the file unchanged), copied (status 1, every byte), or either of
  # those where the system cannot tell (a FUSE mirror: the copy stops once the input changes).
  while read -r how offset outcome; do
    echo "standard input and target: $how, at $offset"
    case $how in
      overlay-lower | overlay-copied-up*)
        rm -rf ov && mount_fs overlay ov || skip "$WHY" && input=ov/lower/f target=ov/merged/f
        # Mounted again with its layers named as container engines name them: from the root.
        if [[ $how != *-relative ]]; then
          umount ov/merged
          mount -t overlay overlay -o "lowerdir=$PWD/ov/lower,upperdir=$PWD/ov/upper,workdir=$PWD/ov/work" ov/merged
        fi
        ;;
      overlay-apart)
        # The lower layer on a file system of its own: the overlay numbers its files apart.
        mount_fs tmpfs lo || skip "$WHY"
        mkdir lo/lower ap ap/upper ap/work ap/merged
        mount -t overlay overlay -o "lowerdir=$PWD/lo/lower,upperdir=$PWD/ap/upper,workdir=$PWD/ap/work" ap/merged &&
          MOUNTED="$PWD/ap/merged $MOUNTED" || skip "cannot mount an overlay over a tmpfs"
        input=lo/lower/f target=lo/lower/f
        ;;
      overlay*) mount_fs overlay ov || skip "$WHY" && input=ov/upper/f target=ov/merged/f ;;
      bindfs) mount_fs bindfs bf || skip "$WHY" && input=bf/real/f target=bf/mirror/f ;;
      *) mount_fs tmpfs lo || skip "$WHY" && input=lo/f target=lo/f ;;
    esac
    cp orig "$input"
    file=$input
    case $how in
      loop-input) loop_device lo/f || skip "$WHY" && input=$LOOP ;;
      loop-target) loop_device lo/f || skip "$WHY" && target=$LOOP ;;
      partition*) partitioned lo/f || skip "$WHY" && input=$LOOP_PART ;;&
      partition-target) input=lo/f target=$LOOP_PART ;;
      stacked) loop_device lo/f && loop_device "$LOOP" || skip "$WHY" && input=$LOOP ;;
      overlay-loop) loop_device ov/merged/f || skip "$WHY" && input=$LOOP target=ov/upper/f ;;
      mounted-* | image-of-* | device-of-*)
        kind=${how#*-}
        kind=${kind#of-}
        if ! command -v "mkfs.$kind" >/dev/null; then
          echo "skipped: mkfs.$kind is not installed"
          undo_mounts && LOOPS= MOUNTED=
          continue
        fi
        # Btrfs takes no less than about 110 MiB.
        truncate -s 128M lo/img && "mkfs.$kind" -q lo/img && loop_device lo/img || skip "$WHY"
        mkdir lo/mnt && mount "$LOOP" lo/mnt && MOUNTED="$PWD/lo/mnt $MOUNTED" || skip "cannot mount $kind"
        mv lo/f lo/mnt/f && sync && input=lo/mnt/f target=lo/img file=lo/img
        if [[ $how == image-of-* ]]; then input=lo/img target=lo/mnt/f file=lo/mnt/f; fi
        if [[ $how == device-of-* ]]; then target=$LOOP; fi
        ;;
      # Below a loop device over the target's loop device, the target's file was renamed to a name
      # that its path in sysfs cannot carry (which then names another file), deleted with another
      # name kept, or set up in another mount namespace, whose path names nothing here.
      renamed* | deleted | namespace)
        LOOP=
        case $how in
          renamed*) loop_device lo/f && mv lo/f $'lo/g\nf' && file=$'lo/g\nf' ;;
          deleted) ln lo/f lo/g && loop_device lo/f && rm lo/f && file=lo/g ;;
          namespace)
            mkdir lo/ns
            LOOP=$(unshare -m sh -c "mount --bind lo lo/ns && losetup -f --show lo/ns/f" 2>.why) &&
              LOOPS="$LOOP ${LOOPS:-}" || WHY="no loop device in another mount namespace: $(cat .why)"
            ;;
        esac
        [[ -b ${LOOP:-} ]] && loop_device "$LOOP" || skip "$WHY"
        input=$LOOP target=$file
        if [[ $how == renamed-other ]]; then random lo/g "$size" && file=lo/g target=lo/g; fi
        ;;
      # Changing the merged file's times copies it up: the upper file holds its bytes from then on.
      overlay-copied-up*) touch ov/merged/f && input=ov/upper/f file=ov/merged/f ;;
      overlay-lower) file=ov/merged/f ;;
      overlay-apart) input=ap/merged/f ;;
      device-mapper)
        loop_device lo/f || skip "$WHY"
        # A name of the run's own: other suites may be running beside this one.
        if ! dmsetup create "qp-linear-$$" --table "0 $((size / 512)) linear $LOOP 0" 2>.why; then
          echo "skipped: this kernel has no device-mapper: $(cat .why)"
          undo_mounts && LOOPS= MOUNTED=
          continue
        fi
        input=/dev/mapper/qp-linear-$$
        ;;
    esac
    cp "$file" before
    if [[ $outcome == copied ]]; then
      cat "$input" >landed
      model before "$offset" landed >expected
    else
      model before "$offset" before >expected
    fi
    qp "$target" "$offset" <"$input"
    if [[ $outcome == copied || ($outcome == either && $status == 1) ]]; then
      expect 1
      same "$file" expected
    else
      expect_failure "Cannot read from STDIN"
      if [[ $outcome == refused ]]; then same "$file" before; fi
    fi
    if [[ $how == device-mapper ]]; then dmsetup remove "qp-linear-$$"; fi
    undo_mounts
    LOOPS= MOUNTED=
  done <<'ROWS'
overlay 100 refused
bindfs 100 either
loop-input 100 refused
loop-target 100 refused
partition 4194404 refused
partition 0 copied
partition-target 0 refused
stacked 100 refused
overlay-loop 100 refused
overlay-copied-up 100 refused
overlay-copied-up-relative 100 refused
overlay-lower 100 copied
overlay-apart 100 refused
mounted-ext4 100 refused
mounted-btrfs 100 refused
image-of-btrfs 100 refused
device-of-btrfs 100 refused
renamed 100 refused
renamed-other 100 copied
deleted 100 refused
namespace 100 refused
device-mapper 100 refused
ROWS
}

@test "a device under a mounted file system is never written under: refused, or stopped before it" {
  skip_on_windows "the Windows program opens no disk, and nothing is mounted on a file"
  command -v mkfs.ext4 >/dev/null || skip "mkfs.ext4 is not installed"
  random big $((5 << 20))
  random loader $((64 << 10))
  # The partition table's first entry, marked bootable: the geometry stays as it is.
  printf '\200\000\000\000\203\000\000\000\000\040\000\000\000\020\000\000' >table
  # An 8 MiB disk image behind a loop device, its one partition (2 MiB from 4 MiB on) mounted as
  # ext4, used as swap, mapped by device-mapper, or mounted and unmounted again; or the whole disk
  # held by a program that opened it exclusively. What the copy writes through (the disk,
  # the partition, the image file, a file on the mounted system), at which offset, what it reads
  # (a file, a pipe, /dev/zero through the plain copy, or the target itself), and what must
  # happen: refused (status 2, the one line, nothing written), stopped (status 2, the one line,
  # every byte before the partition written, none from it on), or landed (status 1).
  local held target offset input via outcome file landed busy page copy
  while read -r held target offset input via outcome; do
    echo "partition $held; through the $target at $offset, $input from a $via: $outcome"
    # On ramfs, not tmpfs: a page of the image that was paged out into the swap area on the image
    # could never be read back, and the system would hang.
    mount_fs ramfs lo || skip "$WHY"
    random lo/img $((8 << 20))
    partitioned lo/img || skip "$WHY"
    busy=$LOOP_PART
    case $held in
      claimed)
        rm -f .held
        perl -MFcntl -e 'sysopen(my $d, $ARGV[0], O_RDONLY | O_EXCL) or die "$ARGV[0]: $!";
          print "held\n"; close STDOUT; sleep 600' "$LOOP" >.held 2>.why &
        HOLDERS=$! busy=$LOOP
        while [[ ! -s .held ]] && kill -0 "$HOLDERS" 2>/dev/null; do sleep 0.05; done
        [[ -s .held ]] || { cat .why; false; }
        ;;
      mounted | unmounted)
        # Tables written whole now: a ramfs device cannot discard, and the system would
        # otherwise fill them in later, while the row compares its bytes.
        mkfs.ext4 -q -E lazy_itable_init=0,lazy_journal_init=0 "$LOOP_PART" 2>.why && mkdir lo/mnt && mount "$LOOP_PART" lo/mnt 2>>.why ||
          skip "cannot mount ext4: $(cat .why)"
        MOUNTED="$PWD/lo/mnt $MOUNTED"
        random lo/mnt/f 5000
        if [[ $held == unmounted ]]; then umount lo/mnt && MOUNTED=${MOUNTED#"$PWD/lo/mnt "}; fi
        ;;
      swap)
        if ! mkswap -q "$LOOP_PART" 2>.why || ! swapon "$LOOP_PART" 2>>.why; then
          echo "skipped: this machine refuses swap on a loop device: $(cat .why)"
          undo_mounts && LOOPS= MOUNTED=
          continue
        fi
        SWAPS=$LOOP_PART
        ;;
      mapped)
        if ! dmsetup create "qp-held-$$" --table "0 4096 linear $LOOP_PART 0" 2>.why; then
          echo "skipped: this kernel has no device-mapper: $(cat .why)"
          undo_mounts && LOOPS= MOUNTED=
          continue
        fi
        MAPPED=qp-held-$$
        ;;
    esac
    sync
    case $target in
      disk) file=$LOOP ;;
      partition) file=$LOOP_PART ;;
      image) file=lo/img ;;
      file) file=lo/mnt/f ;;
    esac
    cat "$file" >before
    case $outcome in
      refused) cp before expected ;;
      stopped) head -c $(((4 << 20) - offset)) "$input" >landed && model before "$offset" landed >expected ;;
      landed) model before "$offset" "$input" >expected ;;
    esac
    case $via in
      file) qp "$file" "$offset" <"$input" ;;
      pipe) qp "$file" "$offset" < <(cat "$input") ;;
      zero) qp "$file" "$offset" </dev/zero ;;
      self) qp "$file" "$offset" <"$file" ;;
    esac
    if [[ $outcome == landed ]]; then
      expect 1
    else
      expect 2 "Cannot write to file: $busy is in use (mounted?); unmount it first"$'\n'
    fi
    cat "$file" >after
    if [[ $held == swap ]]; then
      # The system may page out into the swap area while the row runs (a memory-limited machine
      # does): its slots, every page of the partition after the first, are left out of the
      # comparison. The first page, the swap signature, is compared like every other byte.
      page=$(getconf PAGESIZE)
      for copy in after expected; do
        dd if=/dev/zero of=$copy bs="$page" seek=$(((4 << 20) / page + 1)) \
          count=$(((2 << 20) / page - 1)) conv=notrunc status=none
      done
    fi
    same after expected
    undo_mounts
    HOLDERS= MAPPED= SWAPS= LOOPS= MOUNTED=
  done <<'ROWS'
mounted disk 0 big file refused
mounted disk 0 big pipe stopped
mounted disk 1000 /dev/zero zero stopped
mounted partition 0 big file refused
mounted image 0 big file refused
mounted image 100 lo/img self refused
mounted image 1000 big pipe stopped
mounted image 446 table file landed
mounted disk 446 table file landed
mounted disk 8192 loader pipe landed
mounted disk 6291456 loader file landed
mounted file 0 loader file landed
swap disk 0 big file refused
swap image 1000 big pipe stopped
mapped disk 0 big file refused
mapped disk 8192 loader file landed
unmounted disk 0 big file landed
claimed disk 8192 loader file refused
claimed image 446 table file refused
claimed image 6291456 loader pipe refused
ROWS
}

@test "a read that a stop and continue interrupts goes on: every byte lands" {
  skip_on_windows "Windows has no job control signals"
  random f 100
  random input 3000000
  model f 7 input >expected
  # A socket with a receive time-out fails a read with EINTR when its reader is stopped and
  # continued: half the input, a stop and a continue, then the rest.
  perl -MSocket -MTime::HiRes=sleep -e '
    socketpair(my $ours, my $theirs, AF_UNIX, SOCK_STREAM, PF_UNSPEC) or die "socketpair: $!";
    my $pid = fork // die "fork: $!";
    if ($pid == 0) {
      setsockopt($theirs, SOL_SOCKET, SO_RCVTIMEO, pack("l!l!", 60, 0)) or die "SO_RCVTIMEO: $!";
      open(STDIN, "<&", $theirs) or die "stdin: $!";
      exec(@ARGV) or die "exec: $!";
    }
    close $theirs;
    my $all = do { local $/; <STDIN> };
    my $half = length($all) >> 1;
    syswrite($ours, substr($all, 0, $half)) == $half or die "write: $!";
    sleep 0.3; kill "STOP", $pid; sleep 0.3; kill "CONT", $pid; sleep 0.3;
    syswrite($ours, substr($all, $half)) == length($all) - $half or die "write: $!";
    close $ours;
    waitpid($pid, 0);
    exit($? >> 8);
  ' "${QP[@]}" f 7 <input >.out 2>.err && status=0 || status=$?
  expect 1
  same f expected
}

@test "progress asked for with SIGUSR1: a line each time, in dd's manner, and every byte lands" {
  skip_on_windows "Windows has no signal to ask a program for progress"
  # How the input comes (a pipe, or a file that the system copies), when the signals go (slow: one
  # every few pieces of a pipe that trickles; wait: one while the pipe stays empty; burst: hundreds
  # at once, twice; copy: one every millisecond while the system copies), the target (a file, or a
  # loop device, whose write-back runs along), the input's size in MiB, and standard error (a
  # file, or a pipe whose reader is gone: the lines are lost, the copy is not). Signals go only
  # once the program has taken input: it has then set its handler.
  local via plan on mib errors total target file line count last lines sent
  while IFS='|' read -r via plan on mib errors; do
    echo "input through a $via, signals: $plan, into a $on, standard error: $errors"
    total=$((mib << 20))
    random input "$total"
    rm -f t
    case $on in
      file) : >t && target=t ;;
      loop) truncate -s 64M t && loop_device t || skip "$WHY" && target=$LOOP ;;
    esac
    model t 0 input >expected
    rm -f .sent
    perl -MPOSIX=:sys_wait_h -MTime::HiRes=sleep -e '
      my ($via, $plan, $target, $total, $errors, @program) = @ARGV;
      pipe(my $out, my $in) or die "pipe: $!" if $via eq "pipe";
      pipe(my $unread, my $error) or die "pipe: $!";
      close $unread;
      my $pid = fork // die "fork: $!";
      if ($pid == 0) {
        if ($errors eq "gone") { open(STDERR, ">&", $error) or die "stderr: $!"; }
        if ($via eq "pipe") { close $in; open(STDIN, "<&", $out) or die "stdin: $!"; }
        else { open(STDIN, "<", "input") or die "input: $!"; }
        exec(@program) or die "exec: $!";
      }
      my ($sent, $ended) = (0, 0);
      my $ask = sub { for (1 .. $_[0]) { $sent += kill("USR1", $pid); } };
      if ($via eq "pipe") {
        close $out;
        open(my $file, "<", "input") or die "input: $!";
        my $all = do { local $/; <$file> };
        my $put = sub { my $piece = shift; for (my $done = 0; $done < length $piece;) {
          $done += syswrite($in, $piece, length($piece) - $done, $done) // die "write: $!"; } };
        # 2 MiB cannot sit in the pipe (1 MiB at most): once written, the program has read.
        $put->(substr($all, 0, 2 << 20));
        if ($plan eq "wait") { sleep 0.3; $ask->(1); sleep 0.3; }
        if ($plan eq "burst") { $ask->(300); }
        my $pieces = 0;
        for (my $at = 2 << 20; $at < length $all; $at += 262144) {
          $put->(substr($all, $at, 262144));
          if ($plan eq "slow") { sleep 0.01; $ask->(1) if ++$pieces % 8 == 0; }
          if ($plan eq "burst" && ++$pieces == 16) { $ask->(300); }
        }
        close $in;
      } else {
        # The target grows as the system copies: ask while it is short of the whole.
        my $running = sub { $ended ||= waitpid($pid, WNOHANG) == $pid; !$ended };
        sleep 0.001 while -s $target == 0 && $running->();
        while ($running->()) { $ask->(1) if -s $target < $total; sleep 0.001; }
      }
      waitpid($pid, 0) unless $ended;
      my $status = $? >> 8;
      open(my $log, ">", ".sent") or die ".sent: $!";
      print $log "$sent\n";
      exit($status);
    ' "$via" "$plan" "$target" "$total" "$errors" "${QP[@]}" "$target" 0 >.out 2>.err && status=0 || status=$?
    sent=$(cat .sent)
    echo "signals sent: $sent"
    if [[ $on == loop ]]; then
      losetup -d "$LOOP" && LOOPS=
    fi
    if ((sent == 0)); then
      echo "skipped: the system copied $mib MiB before a signal could be sent"
      continue
    fi
    [[ $status == 1 && ! -s .out ]]
    same t expected
    if [[ $errors == gone ]]; then
      [[ ! -s .err ]]
      continue
    fi
    # Each line: the count, the same in SI and IEC units (within their rounding), the seconds,
    # and the rate the two make; counts never fall and never pass the input.
    read_stderr
    last=0 lines=0
    while IFS= read -r line; do
      echo "progress: $line"
      [[ $line =~ ^([0-9]+)' bytes ('([0-9.]+)' '([kMGTPE])'B, '([0-9.]+)' '([KMGTPE])'iB) copied, '([0-9.e+-]+)' s, '([0-9.]+' '[kMGTPE]?|Infinity' ')B/s$ ]]
      count=${BASH_REMATCH[1]}
      ((count >= last && count <= total))
      awk -v n="$count" -v si="${BASH_REMATCH[2]}" -v p="${BASH_REMATCH[3]}" \
        -v iec="${BASH_REMATCH[4]}" -v q="${BASH_REMATCH[5]}" -v s="${BASH_REMATCH[6]}" \
        -v rate="${BASH_REMATCH[7]}" 'function near(a, b) { return a <= b * 1.051 && a >= b * 0.949 }
        BEGIN {
          k = index("kMGTPE", p); i = index("KMGTPE", q); split(rate, r, " "); j = index("kMGTPE", r[2])
          ok = near(si * 1000 ^ k, n) && near(iec * 1024 ^ i, n) &&
               (r[1] == "Infinity" ? s == 0 : s > 0 && near(r[1] * 1000 ^ j, n / s))
          exit !ok
        }'
      last=$count lines=$((lines + 1))
    done <<<"${err%$'\n'}"
    ((lines >= 1))
  done <<'ROWS'
pipe|slow|file|24|file
pipe|wait|file|8|file
pipe|burst|file|24|file
file|copy|file|200|file
pipe|slow|loop|24|file
pipe|burst|loop|40|file
pipe|slow|file|24|gone
ROWS
}

@test "a terminal on standard input is read as typed, through the plain copy" {
  skip_on_windows "script(1) makes a Linux terminal"
  command -v script >/dev/null || skip "script (bsdutils) is not installed"
  printf '0123456789' >f
  # Typed into a terminal: a line, then the end-of-file character at the start of the next.
  local traced=()
  if [[ -z ${QUILLPATCH_INSTRUMENTED:-} ]]; then traced=(strace -o "$PWD/.strace" -e trace=read,pwrite64,splice); fi
  { printf 'abc\n\004' && sleep 1; } |
    script -qec "${traced[*]} ${QP[*]} f 2 >.out 2>.err; echo \$? >.status" /dev/null >/dev/null
  status=$(cat .status)
  expect 1
  [[ $(cat f) == $'01abc\n6789' ]]
  if ((${#traced[@]})); then ! grep -E '^(pwrite64|splice)\(' .strace; fi
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

@test "the Windows program needs no DLL beyond those of Windows itself" {
  if [[ -z ${QUILLPATCH_WINDOWS:-} ]]; then skip "only the Windows program has DLL imports"; fi
  local dlls
  dlls=$("${QUILLPATCH_OBJDUMP:?}" -p "${QP[-1]}" | sed -n 's/^\s*DLL Name: //p' | sort -f | tr '\n' ' ')
  echo "imports: $dlls"
  [[ $dlls == "KERNEL32.dll msvcrt.dll " ]]
}
