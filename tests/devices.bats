#!/usr/bin/env bats
# Devices: the copy into a block device: past the cache, only where it differs, read back.
# End to end: the real program, real files, real standard input. Every case checks the exit
# status, standard error, the empty standard output and every byte of the target.

load helpers

@test "into a device every write goes past the cache, or is written back as it goes; a file is never flushed nor read back" {
  skip_on_windows "strace follows Linux programs only"
  if [[ -n ${QUILLPATCH_INSTRUMENTED:-} ]]; then
    skip "under $QUILLPATCH_INSTRUMENTED the system calls counted would not all be the program's"
  fi
  local size=$((80 << 20)) target before after written
  random input "$size"
  # Where the input comes from (a file, a pipe, /dev/zero: a character device, read until the
  # device is full), the target (a loop device over a 100 MiB file, or a file), what strace
  # injects, and the message ("" for success). From the calls the program makes: into a device
  # every byte goes through a descriptor of its own opened past the cache (O_DIRECT), none through
  # the target's own, whose cache would hold them; where the device refuses that (EINVAL for the
  # first read), through the cache, each piece's write-back started and waited for, so that the
  # bytes written and not waited for never exceed 48 MiB. Requests past the cache go through the
  # system's ring (io_uring_enter), which strace cannot look into: that the bytes arrived while
  # none went through the target's own descriptor says they went past the cache. Without the
  # ring, the requests are made one at a time. /dev/zero finds the fresh device reading as zeros
  # already, and the device writes nothing, by its own count. Into a file nothing is flushed, and
  # nothing read back.
  while IFS='|' read -r via on injection message; do
    echo "from $via into a $on; injected: $injection"
    rm -f t
    case $on in
      loop) truncate -s 100M t && loop_device t || skip "$WHY" && target=$LOOP && before=$(sectors "$LOOP") ;;
      file) : >t && target=t ;;
    esac
    local args=(-o .strace -e trace=pwrite64,write,writev,sync_file_range,fsync,fdatasync,open,openat,pread64,io_uring_enter,io_uring_setup)
    if [[ $injection != - ]]; then args+=(-e "inject=$injection"); fi
    traced() { strace "${args[@]}" "${QP[@]}" "$target" 0 >.out 2>.err; }
    case $via in
      file) traced <input ;;
      pipe) traced < <(cat input) ;;
      zero) traced </dev/zero ;;
    esac && status=0 || status=$?
    written=0
    if [[ $on == loop ]]; then
      after=$(sectors "$LOOP")
      written=$((${after#* } - ${before#* }))
      losetup -d "$LOOP" && LOOPS=
    fi
    # A kernel without the ring (before 5.6), or one that forbids it, never makes the call that
    # is failed: the requests go one at a time, and the copy is whole.
    if [[ $injection == io_uring_enter* ]] && ! grep -q '^io_uring_enter(' .strace; then
      echo "no ring here: the copy goes one request at a time"
      injection=- message=
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
    awk -v via="$via" -v on="$on" -v injected="$injection" -v failed="$message" -v written="$written" -v size="$size" '
      # openat(AT_FDCWD, "/proc/self/fd/3", O_RDWR|O_DIRECT|O_CLOEXEC) = 4 (open, with musl): the
      # descriptor past the cache, unless its first read is refused.
      /^open(at)?\(.*O_DIRECT[|)]/ && $NF ~ /^[0-9]+$/ { direct = $NF; opened++ }
      /^pread64\(/ && /EINVAL/ { direct = "" }
      /^pread64\(3,/ { target_reads++ }
      # io_uring_enter(5, 1, 0, 0, NULL, 0) = 1: a request given to the ring
      /^io_uring_enter\([0-9]+, 1,/ && $NF == 1 { past++ }
      # pwrite64(FD, "...", N, OFFSET) = N; write(FD, "...", N) = N at the position reached, or
      # writev (musl'"'"'s stdio); sync_file_range(FD, OFFSET, N, FLAGS) = 0
      /^(pwrite64|writev?)\([3-9]/ && $NF ~ /^[0-9]+$/ {
        split($0, f, "[(,]"); fd = f[2]
        if (direct != "" && fd == direct) { past++; next }
        n = $NF
        cached++
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
        printf "past the cache: %d requests; through it: %d, at most %d bytes not waited for; %d sync_file_range, %d flushes; the device wrote %d sectors\n", past, cached, most, syncs, flushes, written
        if (on == "file") exit !(syncs == 0 && flushes == 0 && opened == 0 && target_reads == 0)
        if (via == "zero") exit !(written == 0 && cached == 0)
        if (failed != "") exit !(cached == 0)
        # The device itself wrote at least the input, whichever way it went.
        if (written * 512 < size) exit 1
        if (injected ~ /EINVAL/) exit !(past == 0 && syncs > 0 && most <= 48 * 1048576)
        exit !(past > 0 && cached == 0 && syncs == 0)
      }' .strace
  done <<'ROWS'
file|loop|-|
pipe|loop|-|
zero|loop|-|Cannot write to file
file|file|-|
pipe|file|-|
file|loop|io_uring_enter:error=EIO:when=5|Cannot write to file
pipe|loop|io_uring_enter:error=EIO:when=5|Cannot write to file
file|loop|io_uring_enter:error=EIO:when=20+|Cannot write to file
pipe|loop|io_uring_setup:error=ENOSYS|
file|loop|pread64:error=EINVAL:when=1|
pipe|loop|pread64:error=EINVAL:when=1|
ROWS
}

@test "a device is read back after the copy: one that holds other bytes than were sent is reported" {
  skip_on_windows "the Windows program writes no block devices"
  local size=$((32 << 20)) first expected
  # The device (a card that keeps a quarter of what it claims, its positions wrapping round; the
  # same card holding the image's first quarter already; one that drops the writes into one
  # block in its middle; an honest one; a loop device over a file on an 8 MiB tmpfs, which cannot
  # hold it all), where the input comes from, how many bytes,
  # and the outcome: exact (status 1), differs (the message names the first position that
  # differs: exact from a file; from a pipe the first of its 64 KiB, which is all that is
  # remembered of it), or fails (status 2, "Cannot write to file: REASON").
  while IFS='|' read -r card via bytes outcome; do
    echo "a card that is $card, from a $via, $bytes bytes"
    rm -f input
    random input "$bytes"
    case $card in
      counterfeit) lying_device "$size" $((size / 4)) -1 || skip "$WHY" ;;
      forgetful) lying_device "$size" "$size" $((size / 2 + 12288)) || skip "$WHY" ;;
      honest) lying_device "$size" "$size" -1 || skip "$WHY" ;;
      grown)
        # Written before with the image's first quarter, which it kept: that part is found equal
        # and left alone, and the rest, wrapping round, lands on it.
        lying_device "$size" $((size / 4)) -1 || skip "$WHY"
        head -c $((size / 4)) input >quarter
        qp "$LOOP" 0 <quarter
        expect 1
        ;;
      full)
        mount_fs tmpfs small || skip "$WHY"
        mount -o remount,size=8M small && truncate -s "$bytes" small/f && loop_device small/f || skip "$WHY"
        ;;
    esac
    case $via in
      file) qp "$LOOP" 0 <input ;;
      pipe) qp "$LOOP" 0 < <(cat input) ;;
    esac
    cat .err
    case $outcome in
      exact)
        expect 1
        cmp -n "$bytes" "$LOOP" input
        ;;
      fails) expect_failure "Cannot write to file" ;;
      differs)
        first=$(dd if="$LOOP" iflag=direct bs=1M status=none | cmp - input | awk '{ print $5 - 1 }')
        if [[ $via == pipe ]]; then first=$((first / 65536 * 65536)); fi
        expected="Cannot write to file: the device holds other bytes at ${first%,} than were written (a counterfeit or failing card?)"
        expect 2 "$expected"$'\n'
        ;;
    esac
    undo_mounts
    LOOPS= MOUNTED=
  done <<'ROWS'
counterfeit|file|33554432|differs
counterfeit|pipe|33554432|differs
grown|file|16777216|differs
grown|pipe|16777216|differs
forgetful|file|33554432|differs
forgetful|pipe|33554432|differs
honest|file|33554432|exact
honest|pipe|33554432|exact
full|pipe|8392704|fails
ROWS
}

@test "a device is written only where it differs, and read back once: the device's own count" {
  skip_on_windows "the Windows program writes no block devices"
  local size=$((64 << 20)) before after read written at
  # What the device holds before (the image itself, or other data), the input (the image; the
  # image with 8 blocks of 4 KiB changed here and there; a patch of 446 bytes at 0), where it
  # comes from, the most the device may write, and the least and most it may read, in 512-byte
  # sectors, by the kernel's own count (the program also reads one block past the cache when it
  # starts, to try it): the image again writes at most 1 % of it and reads it once (the compare); 8 blocks changed write at most 16 MiB, and read the image twice (the
  # compare, and the read-back up to the last change, whose writes a card that wraps could have
  # landed anywhere before); over other data the image is written once and read back once, the
  # compares within a tenth of it more; the patch writes one block and reads three: the one tried,
  # the compare and the read-back.
  random image "$size"
  while IFS='|' read -r holds input via most_written least_read most_read; do
    echo "over $holds, $input from a $via"
    case $holds in
      image) cp image disk ;;
      other) random disk "$size" ;;
    esac
    case $input in
      image) cp image input ;;
      changed)
        cp image input
        for at in 3 1000 1001 5000 8191 9000 12000 16383; do
          head -c 4096 /dev/urandom | dd of=input bs=4096 seek="$at" conv=notrunc status=none
        done
        ;;
      patch) random input 446 ;;
    esac
    model disk 0 input >expected
    loop_device disk || skip "$WHY"
    before=$(sectors "$LOOP")
    case $via in
      file) qp "$LOOP" 0 <input ;;
      pipe) qp "$LOOP" 0 < <(cat input) ;;
    esac
    after=$(sectors "$LOOP")
    read=$((${after% *} - ${before% *}))
    written=$((${after#* } - ${before#* }))
    echo "the device read $read sectors and wrote $written"
    expect 1
    losetup -d "$LOOP" && LOOPS=
    same disk expected
    ((written <= most_written && read >= least_read && read <= most_read))
  done <<'ROWS'
image|image|file|1310|131072|131080
image|image|pipe|1310|131072|131080
image|changed|pipe|32768|262144|262152
image|changed|file|32768|262144|262152
other|image|file|131072|131072|144179
other|image|pipe|131072|131072|144179
other|patch|file|1|3|3
other|patch|pipe|1|3|3
ROWS
}
