#!/usr/bin/env bats
# Progress asked for with a signal.
# End to end: the real program, real files, real standard input. Every case checks the exit
# status, standard error, the empty standard output and every byte of the target.

load helpers

@test "progress asked for with SIGUSR1: a line each time, in dd's manner, and every byte lands" {
  skip_on_windows "Windows has no signal to ask a program for progress"
  # How the input comes (a pipe, or a file that the system copies), when the signals go (slow: one
  # every few pieces of a pipe that trickles; wait: one while the pipe stays empty; silent: one
  # while the pipe stays empty, which stays so until the line has come (10 s at most); burst: hundreds
  # at once, twice; copy: one every millisecond while the system copies; end: one every
  # millisecond once the pipe is closed, until the program ends, some while a device is read back,
  # which the line says), the target (a file, or a loop device), the input's size in MiB, and
  # standard error (a file, or a pipe whose reader is gone: the lines are lost, the copy is not).
  # Signals go only once the program has taken input: it has then set its handler.
  local via plan on mib errors total target file line count last lines sent verifying
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
    rm -f .sent .silent
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
        if ($plan eq "silent") {
          sleep 0.3; $ask->(1);
          for (my $waited = 0; -z ".err" && $waited < 10; $waited += 0.05) { sleep 0.05; }
          open(my $note, ">", ".silent") or die ".silent: $!";
          print $note (-z ".err" ? "no line while the pipe was silent\n" : "answered\n");
        }
        if ($plan eq "burst") { $ask->(300); }
        my $pieces = 0;
        for (my $at = 2 << 20; $at < length $all; $at += 262144) {
          $put->(substr($all, $at, 262144));
          if ($plan eq "slow") { sleep 0.01; $ask->(1) if ++$pieces % 8 == 0; }
          if ($plan eq "burst" && ++$pieces == 16) { $ask->(300); }
        }
        close $in;
        # Then on, every millisecond, until the program ends: some while a device is read back.
        while ($plan eq "end" && !$ended) {
          $ask->(1);
          sleep 0.001;
          $ended = waitpid($pid, WNOHANG) == $pid;
        }
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
    if [[ $plan == silent ]]; then [[ $(cat .silent) == answered ]]; fi
    if [[ $errors == gone ]]; then
      [[ ! -s .err ]]
      continue
    fi
    # Each line: the count, the same in SI and IEC units (within their rounding), the seconds,
    # and the rate the two make; counts never fall and never pass the input.
    read_stderr
    last=0 lines=0 verifying=0
    while IFS= read -r line; do
      echo "progress: $line"
      [[ $line =~ ^([0-9]+)' bytes ('([0-9.]+)' '([kMGTPE])'B, '([0-9.]+)' '([KMGTPE])'iB) copied, '([0-9.e+-]+)' s, '([0-9.]+' '[kMGTPE]?|Infinity' ')B/s(', verifying')?$ ]]
      count=${BASH_REMATCH[1]}
      ((count >= last && count <= total))
      # Read back once everything is written: the count is complete.
      if [[ -n ${BASH_REMATCH[8]} ]]; then
        ((count == total && ++verifying))
      fi
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
    if [[ $plan == end ]]; then ((verifying >= 1)); fi
  done <<'ROWS'
pipe|slow|file|24|file
pipe|wait|file|8|file
pipe|silent|file|8|file
pipe|silent|loop|8|file
pipe|burst|file|24|file
file|copy|file|200|file
pipe|slow|loop|24|file
pipe|burst|loop|40|file
pipe|end|loop|40|file
pipe|slow|file|24|gone
ROWS
}
