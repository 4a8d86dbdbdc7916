#!/usr/bin/env bats
# The copy and its faults: where the input lands, pieces and chunks, inputs of every kind, a
# read or write that fails, the system's own copy, memory, closed standard streams.
# End to end: the real program, real files, real standard input. Every case checks the exit
# status, standard error, the empty standard output and every byte of the target.

load helpers

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
  traced() {
    strace -o .strace -e trace=read,readv,pread64,write,writev,pwrite64,close,copy_file_range,splice,lseek,_llseek \
      "${args[@]}" "${QP[@]}" target 0 >.out 2>.err
  }
  while IFS='|' read -r injections message written via; do
    echo "injected: $injections"
    local args=() attempt counted first
    for attempt in 1 2 3 4 5; do
      # Before its input the program reads what the system says of its block devices (and, where
      # loop devices are bound, the mount table): the reads the rows count are the input's, after
      # those. Other suites' loop devices and mounts come and go meanwhile: a read injected by its
      # count that met one of those instead of the input's is made again.
      cp f target
      args=() counted=
      traced <f && status=0 || status=$?
      expect 1
      own=$(awk '/^readv?\(0,/ { exit } /^readv?\(/ { n++ } END { print n + 0 }' .strace)
      for injection in $injections; do
        if [[ $injection =~ ^(readv?[,:].*:when=)([0-9]+)(.*)$ ]]; then
          injection=${BASH_REMATCH[1]}$((BASH_REMATCH[2] + own))${BASH_REMATCH[3]}
          counted=yes
        fi
        args+=(-e "inject=$injection")
      done
      cp f target
      if [[ $via == file ]]; then traced <input; else traced < <(cat input); fi && status=0 || status=$?
      first=$(grep -m 1 -E '^readv?\(.*INJECTED' .strace || true)
      if [[ -z $counted || $first == read*'(0,'* ]]; then break; fi
      echo "the injected read met one of the program's own; again"
    done
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
