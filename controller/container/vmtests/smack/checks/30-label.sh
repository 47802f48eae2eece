#!/bin/sh
# quillon run by a process labelled Ctl mounts the data partition with that
# label; the container's rule "App Ctl rwx" lets App write there while the
# container runs, and a label without a rule (Other) cannot even read it.
. /vm/smack.sh
on_exit "quillon stop sm -d >/dev/null 2>&1"
ql Ctl start sm -d
expect_rc 0
runc state sm | grep -q '"status": "running"' || fail "sm not running"
expect_data_options "data=journal,smackfsroot=Ctl"
rule_loaded "App Ctl rwx" || fail "rule App Ctl not loaded: $(subject_rules App)"

echo "+ App writes to the data partition"
in_sm App 'echo written by App > /data/app.txt && cat /data/app.txt' ||
  fail "App cannot write to a partition labelled Ctl"
echo "+ Other lists the data partition (must be refused)"
res=$(in_sm Other 'echo in-container; ls /data && echo listed')
echo "$res"
expect_contains "$res" "in-container" "Other's process ran"
expect_contains "$res" "Permission denied" "listing refused"
expect_lacks "$res" "listed" "listing refused"

ql Ctl stop sm -d
expect_rc 0
expect_lacks "$out" "ERROR" "clean stop"
expect_eq "$(subject_rules App)" "" "App rules after stop"
expect_nothing_left sm
echo "data partition labelled Ctl; App in, Other out, as the rules say"
