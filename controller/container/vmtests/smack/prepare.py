#!/usr/bin/env python3
"""Host side of the SMACK suite: signed images for quillon on a SMACK kernel.

Writes into the staged guest root ($1):
  /etc/container_key_pub.pem          public key of the signing key
  /vm/data/base.img                   base root file system image
  /containers/target/sm/...           busybox container running "sleep 600" as
                                      1000:100 with its data partition at /data;
                                      rules "App Ctl rwx" and "App Log w"
  /containers/target/bad/...          no runtime; an 8 MiB data partition and
                                      rules whose second line the kernel refuses
                                      (a label longer than 255 characters)
"""
import json
import os
import subprocess
import sys

stage = sys.argv[1]
work = os.environ["VM_WORK"]
builder = os.environ["IMAGE_BUILDER"]
tools = os.environ["VM_TOOLS"]
sys.path.insert(0, tools)
from guest_images import sign_image, tree  # noqa: E402


def build(source, out):
    sign_image(source, key, out)


def container(name, files, rootfs=False):
    src = os.path.join(work, "src-" + name)
    tree(src, files)
    if rootfs:
        subprocess.run([os.path.join(tools, "make-busybox-rootfs.sh"),
                        os.path.join(src, "rootfs")], check=True)
        os.makedirs(os.path.join(src, "rootfs", "data"))
    build(src, os.path.join(stage, "containers", "target", name,
                            name + ".rootfs.squashfs-xz-dmverity"))


key = os.path.join(work, "signing-key.pem")
subprocess.run([sys.executable, builder, "keygen", "--force", "--private", key,
                "--public", os.path.join(work, "signing-key_pub.pem"), "--root", stage],
               check=True)

base_src = os.path.join(work, "src-base")
tree(base_src, {"etc/base-only.txt": (b"only in the base\n", 0o644)})
build(base_src, os.path.join(stage, "vm", "data", "base.img"))

with open(os.path.join(tools, "guest", "bundle-config.json")) as f:
    config = json.load(f)
config["process"]["user"] = {"uid": 1000, "gid": 100}
config["process"]["args"] = ["sleep", "600"]
config["mounts"].append({"destination": "/data", "type": "bind",
                         "source": "/run/containers/sm/data",
                         "options": ["rbind", "rw"]})
container("sm", {
    "config.json": (json.dumps(config, indent=2).encode(), 0o644),
    "meta.sh": (b"DATASIZEMB=8\n", 0o644),
    "smack-rules": (b"App Ctl rwx\nApp Log w\n", 0o644),
    "share/hello.txt": (b"shared by sm\n", 0o644),
}, rootfs=True)

container("bad", {
    "meta.sh": (b"DATASIZEMB=8\n", 0o644),
    # The overlay on the base needs the rootfs folder.
    "rootfs/etc/bad-release": (b"bad\n", 0o644),
    "smack-rules": (b"Bad Ctl rwx\n" + b"L" * 300 + b" Ctl rwx\nBad Log w\n", 0o644),
})
