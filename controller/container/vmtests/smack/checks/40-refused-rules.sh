#!/bin/sh
# A rules file whose second line the kernel refuses: the start fails, its
# data partition and image are taken down again, and no rule of the file is
# left in the kernel (the loader had taken the first line).
. /vm/smack.sh
on_exit "quillon stop bad >/dev/null 2>&1"
q start bad
expect_rc 1
expect_contains "$out" "loading smack rules failed: " "loader failure"
expect_contains "$err" "Assertion \`m_sys->command(argv, nullptr) == 0\`" "assertion"
echo "+ loop devices:"; losetup -a
echo "+ device-mapper devices:"; ls /sys/block | grep '^dm-' || echo "  (none)"
expect_nothing_left bad
expect_eq "$(subject_rules Bad)" "" "rules of the refused file"
echo "refused rules file: start rolled back, nothing left"
