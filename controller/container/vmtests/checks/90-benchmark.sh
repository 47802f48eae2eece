#!/bin/sh
# Wall time of "start -d" up to the running container and of "stop -d", and
# quillon's peak resident memory (figures only, no limits).
. /vm/quillon.sh
on_exit "quillon stop box -d >/dev/null 2>&1"
container_bench box 5 || fail "benchmark failed"
