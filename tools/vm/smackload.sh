#!/bin/sh
# smackload [-c] FILE
# Stand-in for the vehicle's SMACK rule loader, for guests on a SMACK kernel
# only (never packaged). FILE holds one rule a line, "subject object access";
# empty lines and lines starting with "#" are skipped. Each rule is written to
# the kernel by itself, so a refused line leaves the lines before it loaded,
# as a loader that streams the file would. "-c" removes the file's rules by
# writing them with the access "-"; it goes on past refused lines.
load2=/sys/fs/smackfs/load2
clear=false
if [ "$1" = "-c" ]; then
  clear=true
  shift
fi
if [ $# -ne 1 ]; then
  echo "usage: smackload [-c] FILE" >&2
  exit 2
fi
if [ ! -w "$load2" ]; then
  echo "smackload: $load2 not writable (no SMACK in this kernel?)" >&2
  exit 1
fi
if [ ! -r "$1" ]; then
  echo "smackload: cannot read $1" >&2
  exit 1
fi
status=0
n=0
while read -r subject object access extra || [ -n "$subject" ]; do
  n=$((n + 1))
  case "$subject" in
    ''|'#'*) continue ;;
  esac
  if [ -z "$access" ] || [ -n "$extra" ]; then
    echo "smackload: $1:$n: not \"subject object access\"" >&2
    $clear || exit 1
    status=1
    continue
  fi
  $clear && access=-
  # One write per rule: the kernel takes or refuses it as a whole.
  if ! printf '%s %s %s' "$subject" "$object" "$access" 2>/dev/null > "$load2"; then
    echo "smackload: $1:$n: the kernel refused \"$subject $object $access\"" >&2
    $clear || exit 1
    status=1
  fi
done < "$1"
exit $status
