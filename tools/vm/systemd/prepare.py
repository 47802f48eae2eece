#!/usr/bin/env python3
"""Host side of the systemd guest: a key, a signed base root file system and
two signed containers for quillon's units, written into the staged root ($1):
  /etc/container_key_pub.pem     public key of the signing key
  /vm/data/base.img              base root file system image
  /containers/target/demo/...    busybox container running "sleep 600" with
                                 an 8 MiB data partition and two SMACK rules
  /containers/target/broken/...  the same, but the kernel refuses the second
                                 line of its SMACK rules (a label longer than
                                 255 characters): the start fails half-way
"""
import json
import os
import subprocess
import sys

stage = sys.argv[1]
work = os.environ["VM_WORK"]
tools = os.environ["VM_TOOLS"]
sys.path.insert(0, tools)
from guest_images import sign_image, tree  # noqa: E402

key = os.path.join(work, "signing-key.pem")
subprocess.run([sys.executable, os.environ["IMAGE_BUILDER"], "keygen", "--force", "--private", key,
                "--public", os.path.join(work, "signing-key_pub.pem"), "--root", stage],
               check=True)

base = os.path.join(work, "src-base")
tree(base, {"etc/base-only.txt": (b"only in the base\n", 0o644)})
sign_image(base, key, os.path.join(stage, "vm", "data", "base.img"))

with open(os.path.join(tools, "guest", "bundle-config.json")) as f:
    config = json.load(f)
config["process"]["args"] = ["sleep", "600"]
for name, rules in (("demo", b"Demo Ctl rwx\nDemo Log w\n"),
                    ("broken", b"Broken Ctl rwx\n" + b"L" * 300 + b" Ctl rwx\n")):
    src = os.path.join(work, "src-" + name)
    tree(src, {
        "config.json": (json.dumps(config, indent=2).encode(), 0o644),
        "meta.sh": (b"DATASIZEMB=8\n", 0o644),
        "smack-rules": (rules, 0o644),
        "pre-start.sh": (b"#!/bin/sh\necho pre-start of " + name.encode() + b"\n", 0o755),
        "post-stop.sh": (b"#!/bin/sh\necho post-stop of " + name.encode() + b"\n", 0o755),
    })
    subprocess.run([os.path.join(tools, "make-busybox-rootfs.sh"),
                    os.path.join(src, "rootfs"), "/bin/busybox"], check=True)
    sign_image(src, key, os.path.join(stage, "containers", "target", name,
                                      name + ".rootfs.squashfs-xz-dmverity"))
