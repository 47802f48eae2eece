# Helpers for checks that run quillon: source with ". /vm/quillon.sh".
. /vm/lib.sh

# Level of q's runs when the check sets no LOGLEVEL; empty leaves quillon's
# own default (ERROR).
: "${Q_LOGLEVEL=DEBUG}"
# Non-empty: q also prints quillon's standard output after every run.
: "${Q_SHOW_OUTPUT=}"

# q ARGS...: runs quillon with PATH=$QPATH when set; output in $out and
# $err, status in $rc. Output goes to files: a detached container keeps the
# descriptors it was given open.
q() {
  (
    level=${LOGLEVEL:-$Q_LOGLEVEL}
    [ -z "$level" ] || export LOGLEVEL="$level"
    PATH=${QPATH:-$PATH} exec /usr/bin/quillon "$@" </dev/null >/tmp/quillon.out 2>/tmp/quillon.err
  )
  rc=$?
  out=$(cat /tmp/quillon.out)
  err=$(cat /tmp/quillon.err)
  echo "+ quillon $* -> $rc"
  [ -z "$Q_SHOW_OUTPUT" ] || show_output
  [ -z "$err" ] || echo "$err" | sed 's/^/  stderr: /'
}

# show_output: the last quillon run's standard output, indented.
show_output() {
  [ -z "$out" ] || echo "$out" | sed 's/^/  stdout: /'
}

expect_rc() {
  [ "$rc" = "$1" ] || { show_output; fail "quillon exited $rc, expected $1"; }
}

# expect_contains TEXT PART WHAT
expect_contains() {
  case "$1" in
    *"$2"*) ;;
    *) show_output; fail "$3: '$2' not found" ;;
  esac
}

expect_lacks() {
  case "$1" in
    *"$2"*) show_output; fail "$3: '$2' found" ;;
    *) ;;
  esac
}

# is_mounted DIR
is_mounted() {
  awk -v dir="$1" '$2 == dir { found = 1 } END { exit !found }' /proc/mounts
}

# loop_files: "loopN FILE" for every bound loop device, one a line.
loop_files() {
  for loop in /sys/block/loop*; do
    [ -f "$loop/loop/backing_file" ] && echo "${loop##*/} $(cat "$loop/loop/backing_file")"
  done
  true
}

# dm_names: the name of every device-mapper device, one a line.
dm_names() {
  for dm in /sys/block/dm-*; do
    [ -f "$dm/dm/name" ] && cat "$dm/dm/name"
  done
  true
}

# leftovers NAME [TARGET...]: what a container left behind, one item a line.
leftovers() {
  name=$1
  shift
  awk -v dir="/run/containers/$name/" 'index($2, dir) == 1 { print "mount " $2 }' /proc/mounts
  for target in "$@"; do
    is_mounted "$target" && echo "mount $target"
  done
  loop_files | while read -r _ file; do
    case "$file" in
      /containers/target/$name/*|/data/containerdata/$name) echo "loop $file" ;;
    esac
  done
  dm_names | grep -qxF "$name" && echo "dm $name"
  [ -e "/dev/mapper/$name" ] && echo "node /dev/mapper/$name"
  runc state "$name" >/dev/null 2>&1 && echo "runc $name"
  true
}

expect_nothing_left() {
  left=$(leftovers "$@")
  [ -z "$left" ] || { show_output; fail "left behind: $(echo $left)"; }
}

# wait_for_prestart: until the pre-start script of "hard" that sleeps (see
# /run/hard/prestart-slow) has begun, at most 30 s.
wait_for_prestart() {
  i=0
  while [ ! -e /run/hard/prestart-running ] && [ $i -lt 300 ]; do sleep 0.1; i=$((i + 1)); done
  [ -e /run/hard/prestart-running ] || fail "pre-start never ran"
}
