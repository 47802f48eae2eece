#!/usr/bin/env python3
"""Host side of the quillon demo: a key pair and signed images for the guest.

Writes into the staged guest root ($1):
  /etc/container_key_pub.pem      public key of the demo's signing key
  /vm/data/base.img               base root file system image
  /containers/target/demo/...     busybox container "demo" with meta.sh,
                                  config.json, smack-rules, pre-start.sh,
                                  post-stop.sh and a folder "share"
  /containers/target/tampered/... demo's image with one signature byte changed
  /containers/target/broken/...   a container whose pre-start.sh fails
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
from guest_images import sign_image, tampered_copy, tree  # noqa: E402
sys.path.insert(0, os.path.dirname(builder))


def say(msg):
    print(f"demo: {msg}", flush=True)


def image(name, source):
    out = os.path.join(stage, "containers", "target", name,
                       name + ".rootfs.squashfs-xz-dmverity")
    sign_image(source, key, out)
    say(f"signed image {os.path.relpath(out, stage)} "
        f"({os.path.getsize(out) // 1024} KiB)")
    return out


def script(text):
    # quillon shows a script's output only at DEBUG; the console shows it at
    # once, between quillon's own lines.
    return (f"#!/bin/sh\n{{\n{text}\n}} > /dev/console 2>&1\n".encode(), 0o755)


key = os.path.join(work, "demo-key.pem")
say("key pair: private key in the build tree, public key to "
    "/etc/container_key_pub.pem of the guest")
subprocess.run([sys.executable, builder, "keygen", "--force", "--private", key,
                "--public", os.path.join(work, "demo-key_pub.pem"),
                "--root", stage], check=True)

base_src = os.path.join(work, "src-base")
tree(base_src, {
    "etc/base-release": (b"shared base root file system\n", 0o644),
    "usr/share/base/readme.txt": (b"this file comes from the base image\n", 0o644),
})
base = os.path.join(stage, "vm", "data", "base.img")
os.makedirs(os.path.dirname(base), exist_ok=True)
subprocess.run([sys.executable, builder, "build", "--source", base_src,
                "--key", key, "--output", base], check=True)
say(f"signed image vm/data/base.img ({os.path.getsize(base) // 1024} KiB)")

with open(os.path.join(tools, "guest", "bundle-config.json")) as f:
    config = json.load(f)
config["process"]["user"] = {"uid": 1000, "gid": 100}
config["process"]["args"] = [
    "sh", "-c", 'echo "demo container: process $$ runs as uid $(id -u)"; '
                'exec sleep 600']
config["hostname"] = "demo"


def container(name, pre_start, post_stop):
    src = os.path.join(work, "src-" + name)
    own = json.loads(json.dumps(config))
    # The data partition appears in the container at /data.
    own["mounts"].append({"destination": "/data", "type": "bind",
                          "source": f"/run/containers/{name}/data",
                          "options": ["rbind", "rw"]})
    tree(src, {
        "meta.sh": (b"DATASIZEMB=16\n", 0o644),
        "config.json": (json.dumps(own, indent=2).encode(), 0o644),
        "smack-rules": (b"DemoApp DemoData rwx\nDemoApp _ rx\n", 0o644),
        "pre-start.sh": script(pre_start),
        "post-stop.sh": script(post_stop),
        "share/hello.txt": (f"hello from the {name} image\n".encode(), 0o644),
        "rootfs/etc/demo-release": (b"the demo container's own file\n", 0o644),
    })
    subprocess.run([os.path.join(tools, "make-busybox-rootfs.sh"),
                    os.path.join(src, "rootfs")], check=True)
    os.makedirs(os.path.join(src, "rootfs", "data"), exist_ok=True)
    return image(name, src)


demo = container("demo",
                 'echo "pre-start.sh: preparing demo (working directory $(pwd))"',
                 'echo "post-stop.sh: demo has stopped"')

tampered_copy(demo, os.path.join(stage, "containers", "target", "tampered",
                               "tampered.rootfs.squashfs-xz-dmverity"))
say("tampered copy of demo's image: one byte of its signature changed")

container("broken", 'echo "pre-start.sh: broken cannot prepare, exit 1"\nexit 1',
          'echo "post-stop.sh: broken"')
