#!/usr/bin/env bash
# Runs $DORVIK with seeded random argument vectors built from hostile tokens
# inside the folder m, a small file system in memory where huge sizes fail
# fast. Every run must end by itself with status 0 or 1 and leave the folder
# as it found it. Usage: hostile_arguments.sh RUNS SEED
set -u
runs=$1
RANDOM=$2
cd m || exit 2
mkdir dir && mkfifo fifo && echo keep > keep || exit 2
long=$(printf '%5000s' '' | tr ' ' x)
tokens=(
  "" " " "  7" $'\t3' "-" "+" "+5" "-0" "0" "00" "1" "2" "16" "15" "512" "4096"
  "131073" "131074" "-512" "0x10" "1e3" "1e9" "2147483647" "2147483648" "4294967296"
  "4294967312" "-2147483648" "-2147483649" "18446744073709551616" "99999999999999999999"
  "%n" "%s%s%s%s" "%d%x" $'a\nb' $'\n' $'a\x7fb' $'raw=\xc2\x9b' $'\xc2\x85' "$long" "auto=$long" "auto" "auto=" "auto=f"
  "AUTO" "Auto" "automatic" "auto=dir" "auto=fifo" "raw" "raw=" "raw=dir" "raw=fifo"
  "raw=keep" "RAW=" "rawx" "cdrom" "cdrom=" "cdrom=dir" "cdrom=fifo" "CDROM=keep"
  "cd" "help" "HELP" "help=x" "helpme" "dir" "dir/" "fifo" "./fifo" "nowhere/f" "f"
)
before=$(ls -A)
failed=0
for ((run = 0; run < runs; run++)); do
  args=()
  for ((i = RANDOM % 5; i >= 0; i--)); do
    args+=("${tokens[RANDOM % ${#tokens[@]}]}")
  done
  timeout -s KILL 60 "$DORVIK" "${args[@]}" >/dev/null 2>&1
  status=$?
  after=$(ls -A)
  if [ "$status" -gt 1 ] || [ "$after" != "$before" ]; then
    failed=$((failed + 1))
    printf 'status %s, files %s, arguments:' "$status" "$after" | tr '\n' ' '
    printf ' %q' "${args[@]}"
    printf '\n'
  fi
  echo keep > keep
done
rm -r dir fifo keep
echo "$runs runs, $failed failed"
