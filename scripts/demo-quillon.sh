#!/usr/bin/env bash
# Live demonstration of quillon in the qemu guest of the test harness
# (tools/vm): signed images made with the image builder, then rootmount,
# start -d, the container's view, stop -d, rootumount, a tampered image and a
# start that is rolled back, one step at a time.
#
#   scripts/demo-quillon.sh [BUILD_DIR] [--smack]
#
# BUILD_DIR (default build) holds the built quillon. The guest runs the SMACK
# kernel when it has been built already (the test command builds it; --smack
# builds it now, about 10 minutes on 2 cores), else Debian's cloud kernel with
# a stand-in rule loader.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build
smack=auto
for arg in "$@"; do
  case "$arg" in
    --smack) smack=yes ;;
    -*) echo "usage: $0 [BUILD_DIR] [--smack]" >&2; exit 2 ;;
    *) build=$arg ;;
  esac
done
quillon=$build/controller/cli/quillon
if [ ! -x "$quillon" ]; then
  quillon=$(find "$build/controller" -name quillon -type f -perm -u+x | head -n 1)
fi
if [ -z "$quillon" ] || [ ! -x "$quillon" ]; then
  echo "demo-quillon: no quillon in $build; run scripts/build.sh $build first" >&2
  exit 1
fi

fragment=tools/vm/kernel/smack.config
kernel_args=()
if [ "$smack" = yes ] && ! python3 tools/vm/kernel_build.py --cached "$fragment" >/dev/null 2>&1; then
  echo "demo-quillon: building the SMACK kernel first (about 10 minutes on 2 cores, once)"
  python3 tools/vm/kernel_build.py "$fragment" >/dev/null
fi
if python3 tools/vm/kernel_build.py --cached "$fragment" >/dev/null 2>&1; then
  echo "demo-quillon: guest kernel: built with SMACK ($fragment); rule loader: tools/vm/smackload.sh"
  kernel_args=(--kernel-config "$fragment" --append lsm=smack
               --file "$PWD/tools/vm/smackload.sh=/usr/bin/smackload")
else
  echo "demo-quillon: guest kernel: Debian's cloud kernel (no SMACK); rule loader: a stand-in that records its calls"
  echo "demo-quillon: (scripts/demo-quillon.sh $build --smack builds the SMACK kernel, about 10 minutes)"
  kernel_args=(--file "$PWD/tools/vm/fake_smackload.sh=/usr/bin/smackload"
               --module ext4)
fi

work=$PWD/$build/vm/demo-quillon
mkdir -p "$work"
rm -f "$work/console.log" "$work/results.txt"
start=$(date +%s)
python3 tools/vm/vm_run.py boot --suite demo-quillon \
  --checks "$PWD/scripts/demo-quillon/checks" \
  --prepare "$PWD/scripts/demo-quillon/prepare.py" \
  --image-builder "$PWD/tools/image-builder/image_builder.py" \
  --cache "$PWD/$build/vm-cache" --work "$work" \
  --file "$PWD/$quillon=/usr/bin/quillon" --program mkfs.ext4 \
  "${kernel_args[@]}" --timeout 600 --check-timeout 300 \
  > >(tee "$work/driver.log" | grep --line-buffered '^demo: ') 2>&1 &
driver=$!
# The guest's console, as it comes: only the demo's own lines, between the
# runner's start and end lines.
tail -F -n +1 --pid=$driver "$work/console.log" 2>/dev/null |
  awk '/^==== demo-quillon\/demo: /{ exit } show { print; fflush() } /^==== demo-quillon\/demo /{ show = 1 }' &
viewer=$!
status=0
wait $driver || status=$?
wait $viewer 2>/dev/null || true
if [ $status -ne 0 ] || ! grep -q '^  demo: PASS' "$work/driver.log"; then
  echo "demo-quillon: FAILED; the harness said:" >&2
  cat "$work/driver.log" >&2
  exit 1
fi
echo "demo-quillon: done in $(( $(date +%s) - start )) s (guest log: $work/console.log)"
