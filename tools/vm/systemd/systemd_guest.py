#!/usr/bin/env python3
"""Boots a Debian 12 guest with systemd as PID 1 and checks the packaged units.

    systemd_guest.py --dist DIR --work DIR [--cache DIR] [--kernel-config F]

The root file system is made by mmdebstrap from Debian packages: systemd,
runc, e2fsprogs, iptables, conntrack and every package that the built .debs
in DIST depend on. It is cached as an initramfs archive in
CACHE/<key>/rootfs.cpio, where the key hashes the package list, the suite,
mmdebstrap's version and the recipe below, so the first run pays for the
download and later runs (any clone, any build folder) do not.

Each run appends a small archive with the .debs, the checks and the signed
images to it, boots the kernel built from the fragment (kernel_build.py; the
SMACK kernel by default, which has loop, dm-verity, squashfs, overlay, ext4,
iptables' NFLOG target and conntrack built in) in qemu (KVM when /dev/kvm can be opened, else
TCG), and writes the checks' result lines (the protocol of vm_run.py) to
WORK/results.txt; `vm_run.py result --work WORK --check NAME` reads one.
"""

import argparse
import fcntl
import glob
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
VM_TOOLS = os.path.dirname(HERE)
sys.path.insert(0, VM_TOOLS)
import kernel_build  # noqa: E402
# The result protocol and the console reading are the harness's.
from vm_qemu import set_parent_death_signal  # noqa: E402
from vm_results import how_it_ended, last_lines, stopped_early, suite_outcome  # noqa: E402

SUITE = "bookworm"
# What the checks use besides the packages under test and their dependencies.
# The SMACK kernel has no nf_tables: the logging rule is an iptables one
# (iptables-legacy).
BASE_PACKAGES = ["systemd", "systemd-sysv", "runc", "e2fsprogs", "iptables",
                 "conntrack", "iproute2", "procps"]
# Part of the cache key: a change here makes a new root file system.
RECIPE = {
    "variant": "essential",
    "aptopt": 'APT::Install-Recommends "false"',
    # Documentation and translations only cost memory in the guest.
    "dpkgopt": ["path-exclude=/usr/share/man/*", "path-exclude=/usr/share/doc/*",
                "path-exclude=/usr/share/locale/*", "path-exclude=/usr/share/info/*"],
    # No udev and no login: the console's getty would wait for a device unit.
    "mask": ["getty.target", "serial-getty@ttyS0.service", "systemd-firstboot.service"],
}


class GuestError(Exception):
    pass


def log(msg):
    print(f"vm: {msg}", flush=True)


def one_deb(dist, name, arch):
    found = glob.glob(os.path.join(dist, f"{name}_*_{arch}.deb"))
    if len(found) != 1:
        raise GuestError(f"need exactly one {name} {arch} package in {dist} "
                         "(scripts/package.sh amd64 makes it)")
    return found[0]


def depends_names(field):
    """Package names of a Depends field, alternatives and versions dropped
    (the first alternative is what apt would pick)."""
    names = []
    for item in field.split(","):
        first = item.split("|")[0].strip()
        name = re.sub(r"\s*\(.*\)", "", first).split(":")[0].strip()
        if name:
            names.append(name)
    return names


def package_list(debs):
    names = set(BASE_PACKAGES)
    for deb in debs:
        field = subprocess.run(["dpkg-deb", "-f", deb, "Depends"], check=True,
                               stdout=subprocess.PIPE, text=True).stdout
        names.update(depends_names(field))
    return sorted(names)


def cache_key(packages):
    version = subprocess.run(["mmdebstrap", "--version"], check=True,
                             stdout=subprocess.PIPE, text=True).stdout.strip()
    text = json.dumps({"suite": SUITE, "packages": packages, "recipe": RECIPE,
                       "mmdebstrap": version}, sort_keys=True)
    return hashlib.sha256(text.encode()).hexdigest()[:16]


def default_cache():
    # Beside the kernels, with the same fallback for a user who cannot write
    # the system cache.
    return os.path.join(os.path.dirname(kernel_build.default_cache()), "systemd-guest")


def write_cpio(root, out):
    """newc archive of root with owners and modes as they are (run as root)."""
    with open(out, "wb") as f:
        find = subprocess.Popen(["find", ".", "-mindepth", "1", "-print0"], cwd=root,
                                stdout=subprocess.PIPE)
        cpio = subprocess.run(["cpio", "--null", "-o", "-H", "newc", "--quiet"],
                              cwd=root, stdin=find.stdout, stdout=f, check=False)
        find.stdout.close()
        if find.wait() != 0 or cpio.returncode != 0:
            raise GuestError(f"cpio of {root} failed")


def root_filesystem(cache, packages):
    """Path of the cached rootfs.cpio; made first when missing."""
    base = os.path.join(cache, cache_key(packages))
    archive = os.path.join(base, "rootfs.cpio")
    os.makedirs(cache, exist_ok=True)
    with open(os.path.join(cache, ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if os.path.exists(archive):
            return archive
        shutil.rmtree(base, ignore_errors=True)
        tree = os.path.join(base, "tree")
        os.makedirs(base)
        log(f"making the {SUITE} root file system with mmdebstrap "
            f"({len(packages)} packages named, once per package list)")
        start = time.monotonic()
        argv = ["mmdebstrap", "--quiet", f"--variant={RECIPE['variant']}",
                f"--aptopt={RECIPE['aptopt']}",
                "--include=" + ",".join(packages)]
        argv += [f"--dpkgopt={o}" for o in RECIPE["dpkgopt"]]
        argv += [SUITE, tree]
        proc = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              text=True, check=False)
        if proc.returncode != 0:
            shutil.rmtree(base, ignore_errors=True)
            raise GuestError(f"mmdebstrap failed: {proc.stdout[-4000:]}")
        for unit in RECIPE["mask"]:
            link = os.path.join(tree, "etc/systemd/system", unit)
            os.makedirs(os.path.dirname(link), exist_ok=True)
            if not os.path.lexists(link):
                os.symlink("/dev/null", link)
        write_cpio(tree, archive + ".part")
        shutil.rmtree(tree)
        os.rename(archive + ".part", archive)
        log(f"root file system made in {time.monotonic() - start:.0f} s: "
            f"{os.path.getsize(archive) >> 20} MiB in {archive}")
        return archive


def stage_run_files(stage, args, debs):
    """What a run adds to the cached root: first stage, check runner, checks,
    packages and the suite's images."""
    shutil.rmtree(stage, ignore_errors=True)

    def put(src, dest, mode):
        path = os.path.join(stage, dest.lstrip("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        shutil.copyfile(src, path)
        os.chmod(path, mode)

    put(os.path.join(HERE, "init"), "/init", 0o755)
    put(os.path.join(HERE, "run-checks"), "/vm/run-checks", 0o755)
    put(os.path.join(HERE, "vm-checks.service"),
        "/etc/systemd/system/vm-checks.service", 0o644)
    wants = os.path.join(stage, "etc/systemd/system/multi-user.target.wants")
    os.makedirs(wants)
    os.symlink("/etc/systemd/system/vm-checks.service",
               os.path.join(wants, "vm-checks.service"))
    put(os.path.join(VM_TOOLS, "guest", "lib.sh"), "/vm/lib.sh", 0o644)
    put(os.path.join(VM_TOOLS, "smackload.sh"), "/usr/bin/smackload", 0o755)
    put(os.path.join(HERE, "sd_watch.py"), "/vm/sd_watch.py", 0o755)
    put(os.path.join(HERE, "leftovers.sh"), "/vm/leftovers.sh", 0o644)
    for deb in debs:
        put(deb, "/vm/debs/" + os.path.basename(deb), 0o644)
    checks = sorted(glob.glob(os.path.join(HERE, "checks", "*.sh")))
    for c in checks:
        put(c, "/vm/checks/" + os.path.basename(c), 0o755)
    os.makedirs(os.path.join(stage, "newroot"))
    with open(os.path.join(stage, "etc/hostname"), "w") as f:
        # A partition name the sensor knows.
        f.write("qemu-arm64\n")
    env = dict(os.environ, VM_WORK=args.work, VM_TOOLS=VM_TOOLS,
               IMAGE_BUILDER=os.path.abspath(args.image_builder))
    subprocess.run([sys.executable, os.path.join(HERE, "prepare.py"), stage],
                   env=env, cwd=args.work, check=True)
    return [os.path.splitext(os.path.basename(c))[0] for c in checks]


def kvm_boots(vmlinuz):
    """Whether the kernel gets as far as its panic over the missing root under
    KVM. /dev/kvm alone says little in a nested machine: qemu may abort on a
    model-specific register or the guest may hang without a word."""
    try:
        os.close(os.open("/dev/kvm", os.O_RDWR))
    except OSError:
        return False
    try:
        proc = subprocess.run(
            ["qemu-system-x86_64", "-accel", "kvm", "-m", "256", "-nodefaults",
             "-display", "none", "-no-reboot", "-kernel", vmlinuz, "-serial", "stdio",
             "-monitor", "none", "-append", "console=ttyS0 panic=-1 loglevel=0"],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            timeout=15, check=False)
    except subprocess.TimeoutExpired:
        return False
    return b"Kernel panic" in proc.stdout


def accel(vmlinuz):
    if kvm_boots(vmlinuz):
        return ["-accel", "kvm"]
    log("KVM cannot boot the kernel here: TCG")
    return ["-accel", "tcg"]


def boot(args, vmlinuz, initrd):
    console = os.path.join(args.work, "console.log")
    results = os.path.join(args.work, "results.txt")
    for f in (console, results):
        if os.path.exists(f):
            os.unlink(f)
    append = ("console=ttyS0 panic=-1 lsm=smack rdinit=/init "
              "systemd.show_status=error systemd.unit=multi-user.target")
    argv = ["qemu-system-x86_64"] + accel(vmlinuz) + [
        "-m", str(args.memory), "-smp", "2", "-nodefaults", "-display", "none",
        "-no-reboot", "-kernel", vmlinuz, "-initrd", initrd,
        "-serial", f"file:{console}", "-serial", f"file:{results}",
        "-monitor", "none", "-append", append]
    log(f"booting: {' '.join(argv)}")
    start = time.monotonic()
    # qemu dies with this driver (a CTest timeout kills it hard).
    proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT,
                            preexec_fn=set_parent_death_signal)
    try:
        out, _ = proc.communicate(timeout=args.timeout)
        timed_out = False
    except subprocess.TimeoutExpired:
        proc.kill()
        out, _ = proc.communicate()
        timed_out = True
    return proc.returncode, timed_out, time.monotonic() - start, out.decode(errors="replace")


def run(args):
    args.work = os.path.abspath(args.work)
    os.makedirs(args.work, exist_ok=True)
    dist = os.path.abspath(args.dist)
    debs = [one_deb(dist, "tessaly", "amd64"), one_deb(dist, "quillon", "amd64")]
    packages = package_list(debs)
    start = time.monotonic()
    rootfs = root_filesystem(args.cache or default_cache(), packages)
    log(f"root file system ready after {time.monotonic() - start:.0f} s: {rootfs}")
    try:
        vmlinuz = kernel_build.built_kernel(args.kernel_config)
    except (kernel_build.KernelBuildError, subprocess.CalledProcessError) as e:
        raise GuestError(f"kernel build: {e}") from e
    stage = os.path.join(args.work, "stage")
    checks = stage_run_files(stage, args, debs)
    extra = os.path.join(args.work, "run.cpio")
    write_cpio(stage, extra)
    shutil.rmtree(stage)
    # The kernel unpacks concatenated archives in order; the run's files land
    # on top of the cached root.
    initrd = os.path.join(args.work, "initramfs.cpio")
    with open(initrd, "wb") as out:
        for part in (rootfs, extra):
            with open(part, "rb") as f:
                shutil.copyfileobj(f, out, 1 << 20)
    os.unlink(extra)
    code, timed_out, elapsed, qemu_out = boot(args, vmlinuz, initrd)
    log(f"guest ran {elapsed:.1f} s")
    if stopped_early(args.work, code, timed_out):
        # Seen once in many runs under software emulation: the guest went
        # down mid-check without a word. A second boot tells a fault of the
        # emulation from one of ours, which would stop it again; the first
        # console is kept and its end shown.
        kept = os.path.join(args.work, "console-first-boot.log")
        shutil.copyfile(os.path.join(args.work, "console.log"), kept)
        log(f"guest stopped before finishing its checks ({how_it_ended(args.work) or 'no word'}); "
            f"its console is in {kept}, last lines:")
        print(last_lines(kept, 40), flush=True)
        log("booting once more")
        code, timed_out, elapsed, qemu_out = boot(args, vmlinuz, initrd)
        log(f"guest ran {elapsed:.1f} s")
    os.unlink(initrd)
    return suite_outcome(args.work, len(checks), args.timeout, code, timed_out, qemu_out)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawTextHelpFormatter)
    p.add_argument("--dist", required=True, help="folder of the built .debs")
    p.add_argument("--work", required=True, help="folder for this run")
    p.add_argument("--cache", help="root file system cache (default "
                   "/var/cache/partition-programs/systemd-guest)")
    p.add_argument("--kernel-config", default=os.path.join(VM_TOOLS, "kernel", "smack.config"))
    p.add_argument("--image-builder", required=True)
    p.add_argument("--timeout", type=int, default=900)
    p.add_argument("--memory", type=int, default=2048)
    args = p.parse_args(argv)
    try:
        return run(args)
    except (GuestError, subprocess.CalledProcessError) as e:
        print(f"vm: error: {e}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
