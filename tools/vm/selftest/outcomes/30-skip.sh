#!/bin/sh
. /vm/lib.sh
skip "not for this guest"
