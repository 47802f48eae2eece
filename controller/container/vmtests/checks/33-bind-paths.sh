#!/bin/sh
# Bind mounts: a target that is a symbolic link, a source that leaves the
# content directory with "../" or through a link in the image, and an
# "--umount" path that is a link are refused; nothing gets mounted.
. /vm/quillon.sh
mkdir -p /srv/real /srv/ok /srv/ok2
ln -sfn /srv/real /srv/link
on_exit "quillon stop hard -d >/dev/null 2>&1; rm -f /srv/link"

for case in "share /srv/link|bind mount target /srv/link refused: 40" \
            "../../../../etc /srv/ok|bind mount source /run/containers/hard/content/../../../../etc refused: 18" \
            "escape /srv/ok|bind mount source /run/containers/hard/content/escape refused: 18" \
            "/run/containers/hard/data/../../../../etc /srv/ok|refused: 18" \
            "/etc /srv/ok|lies outside the container directories"; do
  args=${case%%|*}
  message=${case#*|}
  q start hard -d --bind-mount share /srv/ok2 --bind-mount $args
  expect_rc 1
  expect_contains "$out" "$message" "refusal of $args"
  expect_nothing_left hard /srv/real /srv/ok /srv/ok2
done

# A good bind mount next to an "--umount" path that is a link.
q start hard -d --bind-mount share /srv/ok
expect_rc 0
expect_eq "$(cat /srv/ok/hello.txt)" "shared by hard" "bind mount"
mount --bind /srv/ok /srv/real
q stop hard -d --umount /srv/link --umount /srv/ok
expect_rc 0
expect_contains "$out" "umount target /srv/link refused" "link refused"
# The sweep finds the mount at the link's target all the same.
expect_contains "$out" "bad container: /srv/real still exposes container files" "swept"
expect_nothing_left hard /srv/real /srv/ok
echo "escaping sources and linked targets refused, nothing mounted"
