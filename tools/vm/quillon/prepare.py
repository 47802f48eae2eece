#!/usr/bin/env python3
"""Host side of the guest suites that run quillon's containers (container,
arm64, soak): signed images for their checks.

Writes into the staged guest root ($1):
  /etc/container_key_pub.pem               public key of the signing key
  /vm/data/base.img                        base root file system image
  /containers/target/box/...-xz-...        busybox container: rootfs, config.json
                                           (uid 1000, gid 100), meta.sh (64 MiB),
                                           smack-rules, pre-start.sh, post-stop.sh, share/
  /containers/target/fb/...-xz-...         the same with an 8 MiB partition, for faults
  /containers/target/tampered/...-xz-...   box's image with a signature byte changed
  /containers/target/hard/...-xz-...       like fb, with scripts steered by files in /run/hard
                                           (a daemon left running, a pre-start that sleeps
                                           the seconds in prestart-slow, default 5) and a
                                           symbolic link "escape" to /etc
  /vm/failbin/mkfs.ext4                    a formatter that always fails
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


def build(name, source, out):
    sign_image(source, key, out)


key = os.path.join(work, "signing-key.pem")
subprocess.run([sys.executable, builder, "keygen", "--force", "--private", key,
                "--public", os.path.join(work, "signing-key_pub.pem"), "--root", stage],
               check=True)

data = os.path.join(stage, "vm", "data")
os.makedirs(data, exist_ok=True)
base_src = os.path.join(work, "src-base")
tree(base_src, {"etc/base-only.txt": (b"only in the base\n", 0o644)})
build("base", base_src, os.path.join(data, "base.img"))

with open(os.path.join(tools, "guest", "bundle-config.json")) as f:
    config = json.load(f)
config["process"]["user"] = {"uid": 1000, "gid": 100}
config["process"]["args"] = ["sleep", "600"]


def container(name, size_mb):
    src = os.path.join(work, "src-" + name)
    script = "#!/bin/sh\necho \"{} {} in $(pwd)\" >> /run/container-scripts.log\n"
    tree(src, {
        "config.json": (json.dumps(config, indent=2).encode(), 0o644),
        "meta.sh": (f"NAME={name}\nDATASIZEMB={size_mb}\n".encode(), 0o644),
        "smack-rules": (b"System " + name.encode() + b" rwx\n", 0o644),
        "pre-start.sh": (script.format("pre-start", name).encode(), 0o755),
        "post-stop.sh": (script.format("post-stop", name).encode(), 0o755),
        "share/hello.txt": (b"shared by " + name.encode() + b"\n", 0o644),
        "two/hello.txt": (b"second\n", 0o644),
    })
    subprocess.run([os.path.join(tools, "make-busybox-rootfs.sh"), os.path.join(src, "rootfs")],
                   check=True)
    out = os.path.join(stage, "containers", "target", name,
                       name + ".rootfs.squashfs-xz-dmverity")
    build(name, src, out)
    return out


box = container("box", 64)
container("fb", 8)

# Scripts whose behaviour the checks switch by files in /run/hard.
HARD_PRE = b"""#!/bin/sh
echo "pre-start hard in $(pwd)" >> /run/container-scripts.log
if [ -e /run/hard/prestart-bg ]; then
  # a daemon that keeps the script's output open
  sleep 60 &
  echo $! > /run/hard/prestart-daemon.pid
fi
if [ -e /run/hard/prestart-slow ]; then
  touch /run/hard/prestart-running
  seconds=$(cat /run/hard/prestart-slow)
  sleep ${seconds:-5}
fi
"""
HARD_POST = b"""#!/bin/sh
echo "post-stop hard in $(pwd)" >> /run/container-scripts.log
if [ -e /run/hard/poststop-bg ]; then
  sleep 60 &
  echo $! > /run/hard/poststop-daemon.pid
fi
"""
hard_src = os.path.join(work, "src-hard")
tree(hard_src, {
    "config.json": (json.dumps(config, indent=2).encode(), 0o644),
    "meta.sh": (b"DATASIZEMB=8\n", 0o644),
    "smack-rules": (b"System hard rwx\n", 0o644),
    "pre-start.sh": (HARD_PRE, 0o755),
    "post-stop.sh": (HARD_POST, 0o755),
    "share/hello.txt": (b"shared by hard\n", 0o644),
})
os.symlink("/etc", os.path.join(hard_src, "escape"))
subprocess.run([os.path.join(tools, "make-busybox-rootfs.sh"), os.path.join(hard_src, "rootfs")], check=True)
build("hard", hard_src, os.path.join(stage, "containers", "target", "hard", "hard.rootfs.squashfs-xz-dmverity"))

tampered_copy(box, os.path.join(stage, "containers", "target", "tampered",
                               "tampered.rootfs.squashfs-xz-dmverity"))

failbin = os.path.join(stage, "vm", "failbin")
os.makedirs(failbin, exist_ok=True)
with open(os.path.join(failbin, "mkfs.ext4"), "w") as f:
    f.write("#!/bin/sh\necho formatter refuses >&2\nexit 1\n")
os.chmod(os.path.join(failbin, "mkfs.ext4"), 0o755)
