"""What every part of the guest driver shares: the guest architectures, the
harness's error, its log line and running host programs."""

import os
import shutil
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))
GUEST_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"

# What differs between guest architectures. The native one (amd64) ships the
# host's own programs; a foreign one ships programs from its Debian packages,
# unpacked into the cache, with their libraries from the host's multiarch
# folder (the :arm64 library packages, see scripts/setup.sh).
ARCHES = {
    "amd64": {
        "qemu": ["qemu-system-x86_64"],
        "console": "ttyS0",
    },
    "arm64": {
        "qemu": ["qemu-system-aarch64", "-machine", "virt", "-cpu", "cortex-a57"],
        # virt has one serial port: the results go to a virtio console.
        "console": "ttyAMA0",
        "results": "/dev/hvc0",
        "modules": ["virtio_mmio", "virtio_console"],
        "multiarch": "aarch64-linux-gnu",
        "emulator": ["qemu-aarch64-static"],
        "packages": ["cryptsetup-bin", "runc", "e2fsprogs", "nftables"],
    },
}


class HarnessError(Exception):
    pass


def log(msg):
    print(f"vm: {msg}", flush=True)


def run(argv, **kw):
    if os.sep not in argv[0]:
        # depmod and modprobe live in sbin, which a user's PATH may lack.
        argv = [find_program(argv[0])] + list(argv[1:])
    proc = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, check=False, **kw)
    if proc.returncode != 0:
        raise HarnessError(f"{' '.join(argv)} failed ({proc.returncode}): "
                           f"{proc.stderr.strip() or proc.stdout.strip()}")
    return proc.stdout


def find_program(name):
    path = os.environ.get("PATH", "") + ":" + GUEST_PATH
    found = shutil.which(name, path=path)
    if not found:
        raise HarnessError(f"program not found on the host: {name}")
    return found
