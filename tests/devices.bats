#!/usr/bin/env bats
# Devices: the write-back that goes along with a copy into a block device.
# End to end: the real program, real files, real standard input. Every case checks the exit
# status, standard error, the empty standard output and every byte of the target.

load helpers

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
