#!/bin/sh
# systemctl stop ends the sensor with exit status 0 and a StopOfferService of
# both services on the wire.
. /vm/lib.sh
python3 /vm/sd_watch.py 30 >/tmp/sd-stop.txt &
watcher=$!
on_exit "kill $watcher 2>/dev/null"
sleep 1
run_ok systemctl stop tessaly.service
expect_eq "$(systemctl show -P ExecMainStatus tessaly.service)" 0 "exit status"
expect_eq "$(systemctl show -P Result tessaly.service)" success "result"
sleep 1
cat /tmp/sd-stop.txt | grep stopoffer
for service in 0x1001 0x1002; do
  grep -q " stopoffer $service " /tmp/sd-stop.txt || fail "no StopOfferService of $service"
done
