# Shared by the suites. QUILLPATCH holds the command that runs the program: its path, possibly
# behind a wrapper such as wine or valgrind (words separated by spaces).

CHUNK=10485760
USAGE='Quillpatch writes bytes to a file at a given offset from STDIN. The parameters are:
1) The file to write to
2) The byte offset to write at (hex is supported like 0xA)
'
OPEN_FAILED='File not found or cannot open file
'

setup() {
  read -ra QP <<<"${QUILLPATCH:?set QUILLPATCH to the command that runs the program}"
  # The program comes last; a path relative to where the suite was started still finds it.
  if [[ ${QP[-1]} == */* && ${QP[-1]} != /* ]]; then QP[-1]=$PWD/${QP[-1]}; fi
  # Relative names throughout, so that a Windows program under wine sees the same paths.
  cd "$BATS_TEST_TMPDIR" || return
}

# Whatever a case set up is undone after it, also when it failed.
teardown() {
  undo_mounts
}

skip_on_windows() {
  if [[ -n ${QUILLPATCH_WINDOWS:-} ]]; then skip "$1"; fi
}

# qp ARGS...: runs the program with the caller's standard input; sets $status.
qp() {
  "${QP[@]}" "$@" >.out 2>.err && status=0 || status=$?
}

# with_input_at INPUT SKIP ARGS...: runs the program with INPUT as standard input, its first SKIP
# bytes already read by the caller, as a shell does or, on Windows, as a Windows program hands a
# file over. What the program leaves unread of INPUT goes to .rest; sets $status.
with_input_at() {
  local input=$1 skip=$2
  shift 2
  if [[ -n ${QUILLPATCH_WINDOWS:-} ]]; then
    read -ra from <<<"${QUILLPATCH_STDIN_FROM:?}"
    "${from[@]}" "$input" "$skip" .rest "Z:${QP[-1]}" "$@" >.out 2>.err && status=0 || status=$?
    return
  fi
  (
    head -c "$skip" >/dev/null
    "${QP[@]}" "$@" >.out 2>.err && status=0 || status=$?
    cat >.rest
    exit "$status"
  ) <"$input" && status=0 || status=$?
}

# random FILE SIZE: SIZE unpredictable bytes.
random() {
  head -c "$2" /dev/urandom >"$1"
}

# model TARGET OFFSET INPUT: what TARGET must hold once INPUT is written into it at OFFSET: its
# bytes before the offset (zeros past its end), the input, and whatever of it lies beyond that.
model() {
  local size len
  size=$(stat -c %s "$1")
  len=$(stat -c %s "$3")
  if ((len == 0)); then
    cat "$1"
    return
  fi
  head -c "$2" "$1"
  if (($2 > size)); then head -c $(($2 - size)) /dev/zero; fi
  cat "$3"
  tail -c +$(($2 + len + 1)) "$1"
}

# same FILE EXPECTED: FILE holds exactly the bytes of EXPECTED.
same() {
  if ! cmp "$1" "$2"; then
    echo "$1 differs from $2 (sizes $(stat -c %s "$1") and $(stat -c %s "$2"))"
    return 1
  fi
}

# read_stderr: sets the caller's $err to what the run wrote on standard error, trailing line feeds
# kept, without the carriage returns of Windows' text mode.
read_stderr() {
  err=$(tr -d '\r' <.err && echo .)
  err=${err%.}
}

# expect STATUS [STDERR]: the run ended with STATUS, wrote exactly STDERR on standard error (line
# ends compared without the carriage returns of Windows' text mode), and nothing on standard output.
expect() {
  local err
  read_stderr
  if [[ $status != "$1" || $err != "${2-}" ]] || [[ -s .out ]]; then
    printf 'expected status %s and standard error:\n%s\n' "$1" "${2-}"
    printf 'got status %s and standard error:\n%s\n' "$status" "$err"
    printf 'and standard output:\n'
    cat .out
    return 1
  fi
}

# expect_failure MESSAGE: status 2, and standard error is one line: MESSAGE, then the system's reason.
expect_failure() {
  local err
  read_stderr
  if [[ $status != 2 || ! $err =~ ^"$1: "[^$'\n']+$'\n'$ ]] || [[ -s .out ]]; then
    printf 'expected status 2 and "%s: <reason>"\ngot status %s and standard error:\n%s\n' \
      "$1" "$status" "$err"
    cat .out
    return 1
  fi
}

# mount_fs KIND DIR: a file system of KIND mounted on DIR (made here) until the case ends: xfs
# (a 512 MiB loop image), ext3 (a 512 MiB loop image made by mkfs.ext3, mounted as ext4: its
# files have no extents), tmpfs, ramfs, overlay (DIR/merged over DIR/upper), bindfs (DIR/mirror
# of DIR/real). Where that cannot be, says why in $WHY and fails.
mount_fs() {
  local kind=$1 dir=$2 tool
  WHY=
  if [[ -n ${QUILLPATCH_WINDOWS:-} ]]; then WHY="the Windows program sees no Linux mounts"; fi
  if [[ -z $WHY && $(id -u) != 0 ]]; then WHY="mounting $kind takes root"; fi
  case $kind in xfs) tool=mkfs.xfs ;; ext3) tool=mkfs.ext3 ;; bindfs) tool=bindfs ;; *) tool=mount ;; esac
  if [[ -z $WHY ]] && ! command -v "$tool" >/dev/null; then WHY="$tool is not installed"; fi
  if [[ -n $WHY ]]; then return 1; fi
  mkdir -p "$dir"
  case $kind in
    xfs) truncate -s 512M "$dir.img" && mkfs.xfs -q "$dir.img" && mount -o loop "$dir.img" "$dir" ;;
    ext3) truncate -s 512M "$dir.img" && mkfs.ext3 -q -F "$dir.img" && mount -t ext4 -o loop "$dir.img" "$dir" ;;
    tmpfs | ramfs) mount -t "$kind" "$kind" "$dir" ;;
    overlay)
      mkdir "$dir/lower" "$dir/upper" "$dir/work" "$dir/merged"
      mount -t overlay overlay -o "lowerdir=$dir/lower,upperdir=$dir/upper,workdir=$dir/work" "$dir/merged"
      dir=$dir/merged
      ;;
    bindfs) mkdir "$dir/real" "$dir/mirror" && bindfs "$dir/real" "$dir/mirror" && dir=$dir/mirror ;;
  esac 2>.why || {
    WHY="this machine cannot mount $kind: $(cat .why)"
    return 1
  }
  MOUNTED="$PWD/$dir ${MOUNTED:-}"
}

# loop_device FILE: sets $LOOP to a loop device over FILE until the case ends.
loop_device() {
  LOOP=$(losetup -f --show "$1" 2>.why) || {
    WHY="this machine cannot make a loop device: $(cat .why)"
    return 1
  }
  LOOPS="$LOOP ${LOOPS:-}"
}

# partitioned FILE [two]: FILE gets a partition table with one partition, 2 MiB from 4 MiB on (and
# with `two` a second one, 2 MiB from 6 MiB on), and $LOOP becomes a loop device over it with
# $LOOP_PART for the first partition.
partitioned() {
  head -c 64 /dev/zero | dd of="$1" bs=1 seek=446 conv=notrunc status=none
  printf '\203' | dd of="$1" bs=1 seek=450 conv=notrunc status=none
  printf '\000\040\000\000\000\020\000\000' | dd of="$1" bs=1 seek=454 conv=notrunc status=none
  if [[ ${2:-} == two ]]; then
    printf '\203' | dd of="$1" bs=1 seek=466 conv=notrunc status=none
    printf '\000\060\000\000\000\020\000\000' | dd of="$1" bs=1 seek=470 conv=notrunc status=none
  fi
  printf '\125\252' | dd of="$1" bs=1 seek=510 conv=notrunc status=none
  loop_device "$1" || return
  LOOP_PART=${LOOP}p1
  [[ -b $LOOP_PART ]] || partx -a "$LOOP" 2>.why || {
    WHY="this machine cannot make partitions of a loop device: $(cat .why)"
    return 1
  }
  # A second partition the first's node came without is added beside it.
  if [[ ${2:-} == two && ! -b ${LOOP}p2 ]]; then partx -u "$LOOP"; fi
}

# Device-mapper devices ($MAPPED) are removed and swap areas ($SWAPS) switched off first, then loop
# devices detached and mounts undone.
undo_mounts() {
  local undo
  for undo in ${HOLDERS:-}; do kill "$undo" && wait "$undo" || true; done
  for undo in ${MAPPED:-}; do dmsetup remove "$undo"; done
  # What the system paged out into a swap area must first find room in memory again.
  for undo in ${SWAPS:-}; do swapoff "$undo" || { sleep 1 && swapoff "$undo"; }; done
  # File systems mounted from a device go before the device: a partition still mounted cannot be
  # removed, and its node in /dev would outlive it.
  for undo in ${MOUNTED:-}; do
    if [[ $(findmnt -n -o SOURCE --mountpoint "$undo" 2>/dev/null) == /dev/* ]]; then
      umount "$undo" || { sleep 1 && umount "$undo"; }
    fi
  done
  # A loop device's partitions go first: detached without them, it would leave their nodes behind
  # for the next loop device of its number to show.
  for undo in ${LOOPS:-}; do
    partx -d "$undo" 2>/dev/null || true
    losetup -d "$undo"
  done
  # A loop device that was just let go of may still hold its file on the mount for a moment.
  for undo in ${MOUNTED:-}; do
    if mountpoint -q "$undo"; then umount "$undo" || { sleep 1 && umount "$undo"; }; fi
  done
}

# lying_device SIZE KEEP FORGET: sets $LOOP to a loop device over a card that claims SIZE bytes,
# keeps KEEP of them (positions wrap round) and drops writes into the 4 KiB at FORGET (-1: none),
# made by tests/lying-device.c under FUSE; until the case ends. Where that cannot be, says why in
# $WHY and fails.
lying_device() {
  local program=$BATS_RUN_TMPDIR/lying-device
  WHY=
  if [[ -n ${QUILLPATCH_WINDOWS:-} ]]; then WHY="the Windows program sees no Linux devices"; fi
  if [[ -z $WHY && ! -e /dev/fuse ]]; then WHY="this machine has no /dev/fuse"; fi
  if [[ -z $WHY ]] && ! command -v cc >/dev/null; then WHY="no C compiler (cc) for the FUSE helper"; fi
  if [[ -z $WHY ]] && ! pkg-config --exists fuse3 2>/dev/null; then
    WHY="libfuse3-dev (pkg-config fuse3) is not installed"
  fi
  if [[ -n $WHY ]]; then return 1; fi
  if [[ ! -x $program ]]; then
    # shellcheck disable=SC2046 # pkg-config gives several words
    cc -O2 -o "$program.$$" "$BATS_TEST_DIRNAME/lying-device.c" $(pkg-config --cflags --libs fuse3) 2>.why &&
      mv "$program.$$" "$program" || {
      WHY="the FUSE helper does not build: $(cat .why)"
      return 1
    }
  fi
  mkdir -p card
  "$program" "$PWD/card" "$1" "$2" "$3" 2>.why || {
    WHY="this machine cannot mount the FUSE helper: $(cat .why)"
    return 1
  }
  MOUNTED="$PWD/card ${MOUNTED:-}"
  loop_device card/card
}

# sectors DEVICE: the 512-byte sectors the block device has read and written so far, as
# "READ WRITTEN", from the kernel's own count.
sectors() {
  awk '{ print $3, $7 }' "/sys/block/${1#/dev/}/stat"
}
