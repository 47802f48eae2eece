#!/usr/bin/env python3
"""Host side of the verity suite: signed images for quillon's guest checks.

Writes into the staged guest root ($1):
  /etc/container_key_pub.pem           public key of the signing key (RSA)
  /vm/data/base.img                    good base image (xz)
  /vm/data/expected.sha256             sha256sum lines of base.img's files
  /vm/data/small.img                   4096 bytes: a trailer and nothing else
  /vm/data/tampered-trailer.img        base.img with one metadata byte changed
  /vm/data/wrong-key.img               the base tree signed by another key
  /vm/data/tampered-data.img           base.img with one byte of bin/blob flipped
  /vm/data/bad-datablocks.img          validly signed, "datablocks" not a number
  /vm/data/ec.img, /vm/data/ec_pub.pem an image signed by an ECDSA P-256 key
  /vm/data/bench.img                   64 MiB image for the benchmark
  /containers/target/web/...-xz-...    container with a rootfs directory
  /containers/target/duo/...           both variants (lzo and xz) of one container
  /containers/target/flat/...-xz-...   container image without a rootfs directory
  /containers/target/tiny/...-xz-...   4096 bytes
  /containers/target/forged/...-xz-... metadata changed after signing
"""
import hashlib
import os
import shutil
import subprocess
import sys

stage = sys.argv[1]
work = os.environ["VM_WORK"]
builder = os.environ["IMAGE_BUILDER"]
data = os.path.join(stage, "vm", "data")
os.makedirs(data, exist_ok=True)

sys.path.insert(0, os.path.dirname(builder))
from image_trailer import META_SIZE as META, TRAILER_SIZE as TRAILER  # noqa: E402
from image_trailer import pad_metadata, signature_area  # noqa: E402


def tree(root, files):
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(root)
    for rel, content in files.items():
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)


def build(name, files, out, key, compression="xz"):
    src = os.path.join(work, "src-" + name)
    tree(src, files)
    os.makedirs(os.path.dirname(out), exist_ok=True)
    subprocess.run([sys.executable, builder, "build", "--source", src, "--key", key,
                    "--output", out, "--compression", compression], check=True)


def keygen(name, kind, root=None):
    private = os.path.join(work, name + ".pem")
    public = os.path.join(work, name + "_pub.pem")
    args = [sys.executable, builder, "keygen", "--force", "--private", private, "--public", public,
            "--type", kind]
    if root:
        args += ["--root", root]
    subprocess.run(args, check=True)
    return private, public


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, content):
    with open(path, "wb") as f:
        f.write(content)


def signed_trailer(meta_text, key):
    """A 4096-byte trailer with meta_text signed by key."""
    meta = pad_metadata(meta_text)
    meta_file = os.path.join(work, "meta.bin")
    write(meta_file, meta)
    sig = subprocess.run(["openssl", "dgst", "-sha256", "-sign", key, meta_file],
                         check=True, stdout=subprocess.PIPE).stdout
    return meta + signature_area(sig)


key, _ = keygen("signing-key", "rsa", root=stage)
other_key, _ = keygen("other-key", "rsa")
ec_key, ec_public = keygen("ec-key", "ec")

# Random bytes do not compress: their place in the image can be found.
blob = os.urandom(256 * 1024)
base_files = {
    "etc/hello.txt": b"hello from the base image\n",
    "etc/shadowed.txt": b"from the base image\n",
    "etc/base-only.txt": b"only in the base\n",
    "bin/blob": blob,
}
base = os.path.join(data, "base.img")
build("base", base_files, base, key)
with open(os.path.join(data, "expected.sha256"), "w") as f:
    for rel in sorted(base_files):
        f.write(f"{hashlib.sha256(base_files[rel]).hexdigest()}  {rel}\n")

image = read(base)
meta_at = len(image) - TRAILER

write(os.path.join(data, "small.img"), image[-TRAILER:])

# A hex digit of the root hash changed; the signature stays the old one.
meta = image[meta_at:meta_at + META]
root = meta.index(b"roothash=") + len(b"roothash=")
changed = bytes([meta[root] ^ 0x01])
write(os.path.join(data, "tampered-trailer.img"),
      image[:meta_at + root] + changed + image[meta_at + root + 1:])

build("wrong-key", base_files, os.path.join(data, "wrong-key.img"), other_key)

blob_at = image.find(blob[:4096])
if blob_at < 0:
    sys.exit("prepare: blob data not found in the image")
flip = blob_at + len(blob) // 2
write(os.path.join(data, "tampered-data.img"),
      image[:flip] + bytes([image[flip] ^ 0xFF]) + image[flip + 1:])

# Signed correctly, but the device setup fails after the device was created.
meta_text = meta.rstrip(b"\0")
lines = [b"datablocks=many" if line.startswith(b"datablocks=") else line
         for line in meta_text.split(b"\n")]
write(os.path.join(data, "bad-datablocks.img"),
      image[:meta_at] + signed_trailer(b"\n".join(lines), key))

build("ec", base_files, os.path.join(data, "ec.img"), ec_key)
shutil.copy(ec_public, os.path.join(data, "ec_pub.pem"))

# 64 MiB of incompressible data.
build("bench", {"data/random.bin": os.urandom(64 * 1024 * 1024 - 64 * 1024)},
      os.path.join(data, "bench.img"), key)

containers = os.path.join(stage, "containers", "target")
build("web", {"content.txt": b"web content\n",
              "rootfs/etc/shadowed.txt": b"from the container image\n",
              "rootfs/etc/own.txt": b"only in the container\n"},
      os.path.join(containers, "web", "web.rootfs.squashfs-xz-dmverity"), key)
for variant in ("lzo", "xz"):
    build("duo-" + variant, {"variant.txt": variant.encode() + b"\n",
                             "rootfs/etc/own.txt": b"duo\n"},
          os.path.join(containers, "duo", f"duo.rootfs.squashfs-{variant}-dmverity"), key,
          compression=variant)
build("flat", {"content.txt": b"no rootfs here\n"},
      os.path.join(containers, "flat", "flat.rootfs.squashfs-xz-dmverity"), key)
# Container images that must not mount.
tiny = os.path.join(containers, "tiny", "tiny.rootfs.squashfs-xz-dmverity")
os.makedirs(os.path.dirname(tiny), exist_ok=True)
write(tiny, image[-TRAILER:])
forged = os.path.join(containers, "forged", "forged.rootfs.squashfs-xz-dmverity")
os.makedirs(os.path.dirname(forged), exist_ok=True)
shutil.copy(os.path.join(data, "tampered-trailer.img"), forged)
