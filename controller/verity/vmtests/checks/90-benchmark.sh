#!/bin/sh
# Benchmark, one run: quillon rootmount + rootumount of a 64 MiB image next
# to veritysetup open, mount, umount and veritysetup close of the same image.
. /vm/verity.sh
on_exit cleanup_base
img=/vm/data/bench.img
echo "image: $(stat -c %s $img) bytes"
blocks=$(meta_value $img datablocks)
dbs=$(meta_value $img datablocksize)
hbs=$(meta_value $img hashblocksize)
tree=$(( (blocks * dbs + 511 + hbs) / hbs * hbs ))
mkdir -p /tmp/bench-mnt
shell="veritysetup open --no-superblock --format=$(meta_value $img hashtype) \
--data-blocks=$blocks --data-block-size=$dbs --hash-block-size=$hbs \
--hash=$(meta_value $img hashalgorithm) --salt=$(meta_value $img salt) \
--hash-offset=$tree $img bench $img $(meta_value $img roothash) && \
mount -t squashfs -o ro /dev/mapper/bench /tmp/bench-mnt && \
umount /tmp/bench-mnt && veritysetup close bench"
run_ok rootmount_bench "$(command -v quillon)" $img "$shell"
