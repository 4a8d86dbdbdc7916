#!/usr/bin/env bats
# Sparse inputs and zeros: blocks shared on XFS, holes that stay holes, zeros through a pipe that
# need no writing.
# End to end: the real program, real files, real standard input. Every case checks the exit
# status, standard error, the empty standard output and every byte of the target.

load helpers

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
  # Where the input and the target are (loop: a block device over a file here; itself: the target
  # is the input, whose bytes move within it as memmove moves them); the input as
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
    if [[ $target_at == itself ]]; then
      target=$input
      model "$input" "$offset" landed >expected
    elif [[ $target_at == loop ]]; then
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
    # All of the input was taken (moved within itself, the file may have grown past what it held).
    [[ $target_at == itself || ! -s .rest ]]
    # What the target may still occupy: its old bytes outside the input's range, the data, 1 MiB.
    if [[ $freed == yes && $target_at == itself ]]; then
      # The data where it was and where it went, and 1 MiB.
      echo "the target occupies $(($(stat -c %b "$target") / 2)) KiB, at most $((2 * data + 1024))"
      (($(stat -c %b "$target") / 2 <= 2 * data + 1024))
    elif [[ $freed == yes ]]; then
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
here|itself|H1024 D64 H2048 D4 H512|0|4096|-|yes
here|itself|D64 H2048 D4 H1024 D8|1000000|777|-|yes
tmpfs|itself|H1024 D64 H4096 D4 H300|0|100|-|yes
ROWS
}

@test "zeros through a pipe are not written where the target reads as zeros: every byte exact" {
  skip_on_windows "the Windows program writes every byte itself"
  # The target before (empty; sparse: a 32 MiB hole; old: 8 MiB of data; short: 100 bytes;
  # falloc: 16 MiB allocated, unwritten; mixed: holes and data; ext3: mixed, just written, on an
  # ext3 file system mounted as ext4, which reports such data as a hole; bindfs: sparse behind a
  # FUSE mirror, whose holes are not believed; loop: a block device over a sparse 32 MiB file,
  # whose zeros are found equal and left alone; loop-old: one over 32 MiB of old data, whose zeros
  # the device clears itself, or where it will not, are written),
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
        loop-old) random t "$size" ;;
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
      if [[ $how == loop* ]]; then
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
      if [[ $how == loop* ]]; then
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
loop-old|0 4097|D1 Z3M D4097 Z8M D511 Z1M|-|-
loop-old|4097|D1 Z3M D4097 Z8M D511 Z1M|fallocate:error=EOPNOTSUPP|-
ROWS
}
