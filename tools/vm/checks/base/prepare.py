#!/usr/bin/env python3
"""Host side of the base suite: builds a signed test image and its key.

Writes into the staged guest root ($1):
  /etc/container_key_pub.pem      public key of the signing key
  /vm/data/test.img               signed image (xz) of the tree below
  /vm/data/expected.sha256        sha256sum lines of the tree, relative paths
  /vm/data/flip-offset            offset of a byte inside bin/blob's data
  /vm/data/base.img               a second image used as the lower overlay layer
"""
import hashlib
import os
import subprocess
import sys

stage = sys.argv[1]
work = os.environ["VM_WORK"]
builder = os.environ["IMAGE_BUILDER"]
data = os.path.join(stage, "vm", "data")
os.makedirs(data, exist_ok=True)


def tree(root, files):
    for rel, content in files.items():
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)


def build(src, out, compression):
    subprocess.run([sys.executable, builder, "build", "--source", src,
                    "--key", key, "--output", out, "--compression",
                    compression], check=True)


key = os.path.join(work, "signing-key.pem")
subprocess.run([sys.executable, builder, "keygen", "--force", "--private", key,
                "--root", stage], check=True)

# Random bytes do not compress, so mksquashfs stores them as they are and
# their position in the image can be found for the corruption check.
blob = os.urandom(256 * 1024)
src = os.path.join(work, "image-src")
files = {
    "etc/hello.txt": b"hello from the image\n",
    "etc/shadowed.txt": b"from the container image\n",
    "bin/blob": blob,
}
subprocess.run(["rm", "-rf", src], check=True)
tree(src, files)
image = os.path.join(data, "test.img")
build(src, image, "xz")

base_src = os.path.join(work, "base-src")
subprocess.run(["rm", "-rf", base_src], check=True)
tree(base_src, {"etc/shadowed.txt": b"from the base image\n",
                "etc/base-only.txt": b"only in the base\n"})
build(base_src, os.path.join(data, "base.img"), "lzo")

with open(image, "rb") as f:
    offset = f.read().find(blob[:4096])
if offset < 0:
    sys.exit("prepare: blob data not found in the image")
with open(os.path.join(data, "flip-offset"), "w") as f:
    # The middle of the blob, well away from the squashfs superblock block.
    f.write(f"{offset + len(blob) // 2}\n")
with open(os.path.join(data, "expected.sha256"), "w") as f:
    for rel in sorted(files):
        f.write(f"{hashlib.sha256(files[rel]).hexdigest()}  {rel}\n")
