#!/usr/bin/env bats
# The target under other names and held devices: the input that is the target itself, or the
# target reached through another name, and devices the system holds.
# End to end: the real program, real files, real standard input. Every case checks the exit
# status, standard error, the empty standard output and every byte of the target.

load helpers

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

@test "every name of the target's bytes: what is held there is never written under" {
  skip_on_windows "the Windows program opens no disk, and nothing is mounted on a file"
  command -v mkfs.ext4 >/dev/null || skip "mkfs.ext4 is not installed"
  random big $((5 << 20))
  random loader $((64 << 10))
  random boot 446
  # The partition table's first entry, marked bootable: the geometry stays as it is.
  printf '\200\000\000\000\203\000\000\000\000\040\000\000\000\020\000\000' >table
  # An 8 MiB disk image behind a loop device, its partition (2 MiB from 4 MiB on) mounted as ext4,
  # used as swap, mapped by device-mapper, or mounted and unmounted again; or the whole disk held
  # by a program that opened it exclusively. Or, on that partition's bytes: a second loop device
  # over the disk, or over the image, mounted; or, beside the partition mounted, a second one
  # (from 6 MiB on) that a program holds; or a second image, of erofs, mounted from the file; or a
  # loop device over the image's last MiB, which the copy must not even ask. Through the disk,
  # the partition, the partition under another name in a private /dev (node), the image file, the
  # image under an overlay whose upper layer holds it (merged), the erofs image, or a file on the
  # mounted system; at which offset; from a file, a pipe, /dev/zero through the plain copy, the
  # target itself, a pipe that sends after a mount was tried (slow: the mount must fail), four
  # runs at once (four), a file read from inside the erofs image, or in a mount table of 8,192
  # mounts (crowded: at most 2 MiB of memory); as root or as the image's owner. What must happen:
  # refused (status 2, the one line, nothing written), stopped (status 2, the one line, every
  # byte before the held range written, none from it on), or landed (status 1).
  local held target offset input via outcome who file landed busy page copy img first pre k mem runs code
  # The program, behind what the row runs it with: as another user, in a private /dev, traced.
  qp_as() { "${pre[@]}" "${QP[@]}" "$@" >.out 2>.err && status=0 || status=$?; }
  while read -r held target offset input via outcome who; do
    echo "partition $held; through the $target at $offset, $input from a $via: $outcome, as ${who:-root}"
    # On ramfs, not tmpfs: a page of the image that was paged out into the swap area on the image
    # could never be read back, and the system would hang.
    mount_fs ramfs lo || skip "$WHY"
    img=lo/img
    if [[ $target == merged ]]; then
      mkdir lo/lower lo/up lo/work lo/merged && img=lo/up/img
    fi
    random $img $((8 << 20))
    partitioned $img "${held/both/two}" || skip "$WHY"
    if [[ $target == merged ]]; then
      mount -t overlay overlay -o "lowerdir=$PWD/lo/lower,upperdir=$PWD/lo/up,workdir=$PWD/lo/work" lo/merged 2>.why &&
        MOUNTED="$PWD/lo/merged $MOUNTED" || skip "cannot mount an overlay: $(cat .why)"
    fi
    busy=$LOOP_PART first=$((4 << 20))
    case $held in
      claimed | both)
        rm -f .held
        if [[ $held == claimed ]]; then busy=$LOOP first=0; else busy=${LOOP}p2 first=$((6 << 20)); fi
        perl -MFcntl -e 'sysopen(my $d, $ARGV[0], O_RDONLY | O_EXCL) or die "$ARGV[0]: $!";
          print "held\n"; close STDOUT; sleep 600' "$busy" >.held 2>.why &
        HOLDERS=$!
        while [[ ! -s .held ]] && kill -0 "$HOLDERS" 2>/dev/null; do sleep 0.05; done
        [[ -s .held ]] || { cat .why; false; }
        ;;&
      mounted | unmounted | both)
        # Tables written whole now: a ramfs device cannot discard, and the system would
        # otherwise fill them in later, while the row compares its bytes.
        mkfs.ext4 -q -E lazy_itable_init=0,lazy_journal_init=0 "$LOOP_PART" 2>.why && mkdir lo/mnt && mount "$LOOP_PART" lo/mnt 2>>.why ||
          skip "cannot mount ext4: $(cat .why)"
        MOUNTED="$PWD/lo/mnt $MOUNTED"
        random lo/mnt/f 5000
        if [[ $held == unmounted ]]; then umount lo/mnt && MOUNTED=${MOUNTED#"$PWD/lo/mnt "}; fi
        ;;
      loop-mounted | twin-mounted | apart)
        case $held in
          loop-mounted) LOOP2=$(losetup -f --show -o 4M --sizelimit 2M "$LOOP") ;;
          twin-mounted) LOOP2=$(losetup -f --show "$img") busy=$LOOP first=0 ;;
          apart) LOOP2=$(losetup -f --show -o 7M "$img") ;;
        esac
        LOOPS="$LOOP2 $LOOPS"
        if [[ $held != apart ]]; then
          busy=$LOOP2
          mkfs.ext4 -q -E lazy_itable_init=0,lazy_journal_init=0 "$LOOP2" 2>.why && mkdir lo/mnt && mount "$LOOP2" lo/mnt 2>>.why ||
            skip "cannot mount ext4: $(cat .why)"
          MOUNTED="$PWD/lo/mnt $MOUNTED"
        fi
        ;;
      erofs)
        command -v mkfs.erofs >/dev/null || skip "mkfs.erofs is not installed"
        mkdir lo/tree lo/mnt && random lo/tree/f $((6 << 20)) && mkfs.erofs --quiet lo/e.img lo/tree 2>.why || skip "mkfs.erofs failed: $(cat .why)"
        # A file system mounted from a regular file, no loop device (Linux 6.12 and later): by the
        # system call itself, as mount(8) would set up a loop device.
        if ! perl -e 'require "syscall.ph"; my ($from, $on, $type) = (@ARGV, "erofs");
            syscall(&SYS_mount, $from, $on, $type, 0, 0) == 0 or die "$!\n"' "$PWD/lo/e.img" lo/mnt 2>.why; then
          echo "skipped: this kernel cannot mount erofs from a file: $(cat .why)"
          undo_mounts && LOOPS= MOUNTED=
          continue
        fi
        MOUNTED="$PWD/lo/mnt $MOUNTED" busy=$PWD/lo/e.img first=0
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
    pre=()
    case $target in
      disk) file=$LOOP ;;
      partition) file=$LOOP_PART ;;
      image | merged) file=$img ;;
      erofs) file=lo/e.img ;;
      file) file=lo/mnt/f ;;
      node)
        # The partition as a container sees it, under a name of its own in a /dev of its own.
        file=/dev/xvdb busy=/dev/xvdb
        pre=(unshare -m sh -c 'mount -t tmpfs tmpfs /dev && mknod /dev/xvdb b "$1" "$2" && shift 2 && exec "$@"' sh
          $((0x$(stat -c %t "$LOOP_PART"))) $((0x$(stat -c %T "$LOOP_PART"))))
        ;;
    esac
    if [[ $target == merged ]]; then file=lo/merged/img; fi
    if [[ $who == owner ]]; then
      # The owner reaches the image through directories anyone may pass, as a home directory.
      chown 65534:65534 "$file"
      for k in "$PWD" "${PWD%/*}" "${PWD%/*/*}"; do [[ $k == "$BATS_RUN_TMPDIR"* ]] && chmod o+x "$k"; done
      pre=(setpriv --reuid=65534 --regid=65534 --clear-groups)
    fi
    if [[ $held == apart ]]; then pre=(strace -f -e trace=openat -o .trace); fi
    if [[ $via == inside ]]; then input=lo/mnt/f; fi
    cat "${file/#\/dev\/xvdb/$LOOP_PART}" >before
    case $outcome in
      refused) cp before expected ;;
      stopped) head -c $((first - offset)) "$input" >landed && model before "$offset" landed >expected ;;
      landed) model before "$offset" "$input" >expected ;;
    esac
    case $via in
      file | inside) qp_as "$file" "$offset" <"$input" ;;
      pipe) qp_as "$file" "$offset" < <(cat "$input") ;;
      zero) qp_as "$file" "$offset" </dev/zero ;;
      self) qp_as "$file" "$offset" <"$file" ;;
      slow)
        # A mount tried while the copy waits for its input fails: the device is held throughout.
        # The input comes once the mount was tried, after the program opened the device twice
        # (the target, and its hold).
        rm -f .go
        (qp_as "$file" "$offset" < <(until [[ -e .go ]]; do sleep 0.05; done && cat "$input") &&
          exit "$status") &
        for k in {1..200}; do
          (($(find /proc/[0-9]*/fd -lname "$file" 2>/dev/null | wc -l) >= 2)) && break
          sleep 0.05
        done
        k=
        if mount "$LOOP_PART" lo/mnt 2>.why; then MOUNTED="$PWD/lo/mnt $MOUNTED" k=mounted; fi
        touch .go
        wait $! && status=0 || status=$?
        if [[ -n $k ]]; then echo "mounted while the copy ran" && false; fi
        ;;
      four)
        # Four runs at once into disjoint ranges of one device: they take turns, and all land.
        for k in 1 2 3; do model expected $((offset + (k << 20))) "$input" >next && mv next expected; done
        runs=()
        for k in 0 1 2 3; do
          "${QP[@]}" "$file" $((offset + (k << 20))) <"$input" >.out$k 2>.err$k &
          runs+=($!)
        done
        status=1
        for k in 0 1 2 3; do
          wait "${runs[k]}" && code=0 || code=$?
          if [[ $code != 1 || -s .err$k || -s .out$k ]]; then
            echo "run $k: status $code, $(cat .err$k .out$k)" && status=$code
          fi
        done
        : >.err && : >.out
        ;;
      crowded)
        [[ -z ${QUILLPATCH_INSTRUMENTED:-} ]] || skip "memory is measured without instruments"
        # 2^13 mounts of a tmpfs in a mount namespace of the run's own: each bind doubles them.
        mkdir crowd
        unshare -m bash -c 'mount -t tmpfs tmpfs crowd && for k in {1..13}; do
            mkdir crowd/a-mount-point-with-a-long-name-$k && mount --rbind crowd crowd/a-mount-point-with-a-long-name-$k
          done && /usr/bin/time -o .mem -f %M "$@"' sh "${QP[@]}" "$file" "$offset" <"$input" >.out 2>.err && status=0 || status=$?
        mem=$(tail -n 1 .mem)
        echo "peak memory: $mem KiB"
        [[ $mem -le 2048 ]]
        ;;
    esac
    if [[ $via == inside ]]; then
      expect_failure "Cannot read from STDIN"
    elif [[ $outcome == landed ]]; then
      expect 1
    else
      expect 2 "Cannot write to file: $busy is in use (mounted?); unmount it first"$'\n'
    fi
    if [[ $held == apart ]]; then [[ -z $(grep O_EXCL .trace | grep -F "\"$LOOP2\"") ]]; fi
    cat "${file/#\/dev\/xvdb/$LOOP_PART}" >after
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
mounted image 0 big file refused owner
mounted image 1000 big pipe stopped owner
mounted image 6291456 loader file landed owner
mounted node 0 big file refused
mounted merged 0 big file refused
mounted disk 0 big crowded refused
loop-mounted partition 0 big file refused
loop-mounted partition 0 big pipe refused
twin-mounted disk 100 big file refused
both image 0 boot file landed
both disk 0 boot file landed
both image 6291456 loader file refused
erofs erofs 0 big file refused
erofs erofs 0 lo/mnt/f inside refused
apart image 446 table file landed
unmounted disk 0 big slow landed
unmounted disk 8192 loader four landed
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
