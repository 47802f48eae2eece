#!/bin/sh
# Images that must not mount: each fails with its message and exit status 1
# and leaves no device, node, loop binding or mount.
. /vm/verity.sh
on_exit cleanup_base

# expect_failure IMAGE STDOUT-PART STDERR-PART [OPTIONS...]
expect_failure() {
  image=$1 message=$2 assertion=$3
  shift 3
  q rootmount "$image" "$@"
  expect_eq "$rc" 1 "status for $image"
  expect_contains "$out" "$message" "error line for $image"
  expect_contains "$err" "$assertion" "assertion for $image"
  expect_released base-rootfs "$image" $BASE_MNT
}

expect_failure /vm/data/missing.img \
  "base rootfs image does not exist, no such file: /vm/data/missing.img" \
  'Assertion `m_fs->exists(m_image.c_str())` failed at baserootfs.cpp:'

expect_eq "$(stat -c %s /vm/data/small.img)" 4096 "small image size"
expect_failure /vm/data/small.img "base rootfs image corruption detected" \
  'Assertion `offset > 0` failed at baserootfs.cpp:'

expect_failure /vm/data/tampered-trailer.img \
  "failed to verify signature: RSA - The PKCS#1 verification failed" \
  'Assertion `error_code == 0` failed at verity.cpp:'

# Another key's signature can be larger than this key's modulus, so mbed TLS
# may word the failure differently.
expect_failure /vm/data/wrong-key.img "failed to verify signature: RSA - " \
  'Assertion `error_code == 0` failed at verity.cpp:'

# Signed, but a value the kernel's table cannot take: refused before any
# device or loop binding exists.
expect_failure /vm/data/bad-datablocks.img "meta data value of datablocks is malformed" \
  'Assertion `malformed.empty()` failed at verity.cpp:'

# The device is set up, the mount fails: the device is removed again.
expect_failure /vm/data/base.img "mount failed: " 'Assertion `mount_success` failed at system.cpp:' \
  --fstype ext4

# No key on the device.
mv /etc/container_key_pub.pem /tmp/key.pem
on_exit "mv /tmp/key.pem /etc/container_key_pub.pem"
expect_failure /vm/data/base.img \
  "could not open key, no such file: /etc/container_key_pub.pem" \
  'Assertion `m_fs->exists(key_file)` failed at verity.cpp:'
echo "every failure left nothing behind"
