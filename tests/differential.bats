#!/usr/bin/env bats
# Random cases, each compared byte for byte with what GNU dd makes of a copy of the same target.
# QUILLPATCH_SEED fixes every case, contents included; QUILLPATCH_CASES sets how many run.
#   QUILLPATCH_SEED=$(date +%s) QUILLPATCH_CASES=2000 QUILLPATCH=build/native/quillpatch \
#     bats tests/differential.bats

load helpers

# pick N: a number from 0 to N-1 (N up to 2^30) from bash's seeded generator.
pick() {
  echo $((((RANDOM << 15) | RANDOM) % $1))
}

@test "random cases match dd byte for byte" {
  local seed=${QUILLPATCH_SEED:-20261207} cases=${QUILLPATCH_CASES:-300}
  local pool_size=$((4 * CHUNK)) size offset length text via
  echo "seed $seed, $cases cases"
  RANDOM=$seed
  openssl enc -aes-128-ctr -nosalt -pbkdf2 -pass "pass:$seed" </dev/zero 2>/dev/null |
    head -c "$pool_size" >pool
  for ((i = 0; i < cases; i++)); do
    case $(pick 10) in
      0) size=0 ;;
      [1-5]) size=$(pick 8192) ;;
      *) size=$(pick $((3 * 1024 * 1024))) ;;
    esac
    case $(pick 3) in
      0) offset=$(pick $((size + 1))) ;;
      1) offset=$size ;;
      2) offset=$((size + 1 + $(pick $((2 * 1024 * 1024))))) ;;
    esac
    case $(pick 10) in
      0) length=0 ;;
      [1-6]) length=$(pick 65536) ;;
      [7-8]) length=$(pick $((2 * CHUNK))) ;;
      9) length=$((CHUNK * (1 + $(pick 2)) + $(pick 3) - 1)) ;;
    esac
    case $(pick 3) in
      0) text=$offset ;;
      1) text=$(printf '0x%x' "$offset") ;;
      2) text=$(printf '0X%X' "$offset") ;;
    esac
    tail -c +$(($(pick $((pool_size - size))) + 1)) pool | head -c "$size" >target
    tail -c +$(($(pick $((pool_size - length))) + 1)) pool | head -c "$length" >input
    cp target reference
    dd of=reference conv=notrunc oflag=seek_bytes seek="$offset" iflag=fullblock bs=1M \
      status=none <input
    if (($(pick 2))); then
      via=pipe
      qp target "$text" < <(cat input)
    else
      via=file
      qp target "$text" <input
    fi
    echo "case $i: target $size bytes, offset $text, input $length bytes from a $via"
    expect 1
    same target reference
  done
}
