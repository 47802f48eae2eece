#!/bin/sh
# An image signed by an ECDSA P-256 key mounts when that key is installed.
. /vm/verity.sh
on_exit cleanup_base
cp /etc/container_key_pub.pem /tmp/rsa_pub.pem
on_exit "cp /tmp/rsa_pub.pem /etc/container_key_pub.pem"
cp /vm/data/ec_pub.pem /etc/container_key_pub.pem

q rootmount /vm/data/ec.img
expect_eq "$rc" 0 "rootmount with EC key"
(cd $BASE_MNT && sha256sum -c /vm/data/expected.sha256) || fail "files differ"
q rootumount /vm/data/ec.img
expect_released base-rootfs /vm/data/ec.img $BASE_MNT

# The RSA-signed image does not verify with the EC key.
q rootmount /vm/data/base.img
expect_eq "$rc" 1 "RSA image with EC key"
expect_contains "$out" "failed to verify signature: " "error line"
expect_released base-rootfs /vm/data/base.img $BASE_MNT
echo "EC signatures verify"
