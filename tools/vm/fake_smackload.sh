#!/bin/sh
# Recording stand-in for the SMACK rule loader: appends its arguments to
# /run/fake-smackload/calls and exits with the code in load.exit ("-c": unload.exit).
dir=/run/fake-smackload
mkdir -p "$dir"
echo "$*" >> "$dir/calls"
if [ "$1" = "-c" ]; then
    exit "$(cat "$dir/unload.exit" 2>/dev/null || echo 0)"
fi
exit "$(cat "$dir/load.exit" 2>/dev/null || echo 0)"
