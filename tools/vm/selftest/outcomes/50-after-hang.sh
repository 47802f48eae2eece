#!/bin/sh
. /vm/lib.sh
# A helper left behind by a check must not block the runner.
sleep 1000 &
on_exit "echo cleanup ran"
fail "failed from lib.sh"
