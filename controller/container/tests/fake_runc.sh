#!/bin/sh
# Recording stand-in for runc. State lives in /run/fake-runc:
#   calls             one line per call: the arguments, then "cwd=" and the working directory
#   <name>.status     the container is known with this status; missing: runc does not know it
#   state.out/.exit   when present, "state" prints this text and exits with this code instead
#   kill.ignored      "kill" leaves the status as it is
#   kill.exit         exit code of "kill"
#   delete.ignored    "delete" leaves the container known
dir=/run/fake-runc
mkdir -p "$dir"
echo "$* cwd=$(pwd)" >> "$dir/calls"
command=$1
shift
case "$command" in
state)
    if [ -f "$dir/state.exit" ]; then
        cat "$dir/state.out" 2>/dev/null
        exit "$(cat "$dir/state.exit")"
    fi
    if [ -f "$dir/$1.status" ]; then
        printf '{"ociVersion":"1.0.2","id":"%s","pid":4242,"status":"%s","bundle":"/x","annotations":{"status":"x"}}\n' \
            "$1" "$(cat "$dir/$1.status")"
        exit 0
    fi
    echo "container $1 does not exist" >&2
    exit 1
    ;;
kill)
    # kill --all <name> KILL
    [ -f "$dir/kill.ignored" ] || { [ -f "$dir/$2.status" ] && echo stopped > "$dir/$2.status"; }
    exit "$(cat "$dir/kill.exit" 2>/dev/null || echo 0)"
    ;;
delete)
    # delete --force <name>
    [ -f "$dir/delete.ignored" ] || rm -f "$dir/$2.status"
    exit 0
    ;;
run)
    # run <name> [--detach]
    [ -f config.json ] && echo "config.json present" >> "$dir/calls"
    echo running > "$dir/$1.status"
    exit 0
    ;;
esac
echo "fake runc: unknown command $command" >&2
exit 2
