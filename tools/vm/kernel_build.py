#!/usr/bin/env python3
"""Builds a guest kernel from Debian's linux-source package.

    kernel_build.py FRAGMENT [--cache DIR]     prints the bzImage's path

The x86-64 defconfig with FRAGMENT merged on top is built once into
CACHE/<source version>-<fragment hash>/bzImage; later calls return the cached
image at once. The cache lies outside any build tree (default
/var/cache/partition-programs/vm-kernels, or ~/.cache/... for a user who
cannot write there) so that a fresh clone or a deleted build folder does not
pay for the build again.
"""

import argparse
import ctypes
import fcntl
import hashlib
import os
import shutil
import signal
import subprocess
import sys
import time

SOURCE_PACKAGE = "linux-source-6.1"
SOURCE_TARBALL = f"/usr/src/{SOURCE_PACKAGE}.tar.xz"
SYSTEM_CACHE = "/var/cache/partition-programs/vm-kernels"


class KernelBuildError(Exception):
    pass


def log(msg):
    print(f"vm: {msg}", flush=True)


def default_cache():
    try:
        os.makedirs(SYSTEM_CACHE, exist_ok=True)
        if os.access(SYSTEM_CACHE, os.W_OK):
            return SYSTEM_CACHE
    except OSError:
        pass
    home = os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache")
    return os.path.join(home, "partition-programs", "vm-kernels")


def source_version():
    proc = subprocess.run(["dpkg-query", "-W", "-f=${Status} ${Version}",
                           SOURCE_PACKAGE], stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, text=True, check=False)
    parts = proc.stdout.split()
    if proc.returncode != 0 or parts[:3] != ["install", "ok", "installed"] \
            or len(parts) < 4 or not os.path.exists(SOURCE_TARBALL):
        raise KernelBuildError(f"{SOURCE_PACKAGE} is not installed "
                               "(scripts/setup.sh installs it)")
    return parts[3]


def fragment_options(text):
    """{CONFIG_X: value} of a fragment; "n" for "# CONFIG_X is not set"."""
    options = {}
    for raw in text.splitlines():
        line = raw.strip()
        if line.startswith("# CONFIG_") and line.endswith(" is not set"):
            options[line[2:-len(" is not set")]] = "n"
        elif line.startswith("CONFIG_") and "=" in line:
            name, value = line.split("=", 1)
            options[name] = value
        elif line and not line.startswith("#"):
            raise KernelBuildError(f"not a config line: {raw}")
    return options


def config_mismatches(wanted, config_text):
    """Fragment options the final .config does not have as asked (an option
    whose dependencies are missing is dropped silently by kconfig)."""
    have = fragment_options("\n".join(
        l for l in config_text.splitlines()
        if l.startswith("CONFIG_") or l.endswith(" is not set")))
    return [f"{name}: wanted {value}, got {have.get(name, 'n')}"
            for name, value in sorted(wanted.items())
            if have.get(name, "n") != value]


def scratch_parent(cache):
    """Where the source tree is unpacked and built: a tmpfs when it has room
    (removing the 70 000 files of a built tree from a disk takes minutes)."""
    try:
        st = os.statvfs("/dev/shm")
        if st.f_bavail * st.f_frsize >= 6 << 30 and os.access("/dev/shm", os.W_OK):
            return "/dev/shm"
    except OSError:
        pass
    return cache


def cache_key(version, fragment_bytes):
    return f"{version}-{hashlib.sha256(fragment_bytes).hexdigest()[:16]}"


def die_with_parent():
    # make must not outlive a killed build (a test driver's timeout).
    ctypes.CDLL("libc.so.6", use_errno=True).prctl(1, signal.SIGKILL)


def run_bounded(argv, timeout, what, cwd=None):
    """Runs argv in its own process group; kills the group after timeout
    seconds. Returns (status, output)."""
    proc = subprocess.Popen(argv, cwd=cwd, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True,
                            start_new_session=True,
                            preexec_fn=die_with_parent)
    try:
        out, _ = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        raise KernelBuildError(f"{what} did not finish within {timeout} s")
    return proc.returncode, out


def make(src, *targets, jobs=None, timeout=600):
    argv = ["nice", "-n", "10", "make", "-C", src, "-s"]
    if jobs:
        argv.append(f"-j{jobs}")
    what = f"make {' '.join(targets)}"
    status, out = run_bounded(argv + list(targets), timeout, what)
    if status != 0:
        tail = "\n".join(out.splitlines()[-40:])
        raise KernelBuildError(f"{what} failed:\n{tail}")


def build(fragment, dest, scratch):
    with open(fragment, "rb") as f:
        text = f.read().decode()
    wanted = fragment_options(text)
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    log(f"unpacking {SOURCE_TARBALL}")
    status, out = run_bounded(["tar", "-xJf", SOURCE_TARBALL, "-C", scratch],
                              900, "unpacking")
    if status != 0:
        raise KernelBuildError(f"unpacking failed: {out.strip()}")
    src = os.path.join(scratch, SOURCE_PACKAGE)
    make(src, "x86_64_defconfig")
    status, out = run_bounded(
        [os.path.join(src, "scripts", "kconfig", "merge_config.sh"), "-m",
         "-O", src, os.path.join(src, ".config"), os.path.abspath(fragment)],
        120, "merge_config.sh", cwd=src)
    if status != 0:
        raise KernelBuildError(f"merge_config.sh failed:\n{out}")
    make(src, "olddefconfig")
    with open(os.path.join(src, ".config")) as f:
        config = f.read()
    wrong = config_mismatches(wanted, config)
    if wrong:
        raise KernelBuildError("the fragment does not hold after olddefconfig "
                               "(missing dependencies?):\n  "
                               + "\n  ".join(wrong))
    jobs = os.cpu_count() or 1
    log(f"building bzImage with {jobs} jobs (about 10 minutes on 2 cores)")
    # CTest gives the whole build an hour.
    make(src, "bzImage", jobs=jobs, timeout=3000)
    os.makedirs(dest, exist_ok=True)
    shutil.copyfile(os.path.join(src, "arch", "x86", "boot", "bzImage"),
                    os.path.join(dest, "bzImage"))
    with open(os.path.join(dest, "config"), "w") as f:
        f.write(config)


def kernel_dir(fragment, cache=None):
    cache = os.path.abspath(cache or default_cache())
    with open(fragment, "rb") as f:
        key = cache_key(source_version(), f.read())
    return cache, key, os.path.join(cache, key)


def cached_kernel(fragment, cache=None):
    """The bzImage's path if it is built, else None."""
    _cache, _key, dest = kernel_dir(fragment, cache)
    if os.path.exists(os.path.join(dest, "ready")):
        return os.path.join(dest, "bzImage")
    return None


def built_kernel(fragment, cache=None):
    """Path of the bzImage for fragment, built first if not cached."""
    cache, key, dest = kernel_dir(fragment, cache)
    image = os.path.join(dest, "bzImage")
    os.makedirs(cache, exist_ok=True)
    with open(os.path.join(cache, f".lock-{key}"), "w") as lock:
        # Parallel suites (or checkouts) wait for the one build.
        fcntl.flock(lock, fcntl.LOCK_EX)
        if os.path.exists(os.path.join(dest, "ready")):
            return image
        scratch = os.path.join(scratch_parent(cache), f"vm-kernel-build-{key}")
        start = time.monotonic()
        try:
            build(fragment, dest, scratch)
        finally:
            shutil.rmtree(scratch, ignore_errors=True)
        elapsed = time.monotonic() - start
        with open(os.path.join(dest, "ready"), "w") as f:
            f.write(f"built in {elapsed:.0f} s\n")
        log(f"kernel {key} built in {elapsed:.0f} s: {image}")
        return image


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawTextHelpFormatter)
    p.add_argument("fragment")
    p.add_argument("--cache", help=f"default {SYSTEM_CACHE}")
    p.add_argument("--cached", action="store_true",
                   help="only tell: print the path and exit 0 if the kernel "
                        "is built, exit 1 if not")
    args = p.parse_args(argv)
    try:
        if args.cached:
            image = cached_kernel(args.fragment, args.cache)
            if image is None:
                return 1
            print(image)
            return 0
        print(built_kernel(args.fragment, args.cache))
    except KernelBuildError as e:
        print(f"vm: error: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
