"""Debian's kernel, busybox and (for a foreign architecture) the guest
programs' packages, fetched with apt-get download and unpacked once into a
cache; the kernel modules a guest loads, in load order."""

import fcntl
import glob
import hashlib
import os
import re
import shutil
import subprocess

import kernel_build

from vm_common import ARCHES, HarnessError, log, run


def apt_download(package, dest):
    """Downloads one .deb into dest; refreshes the package lists once if
    apt does not know the package yet."""
    for attempt in (1, 2):
        proc = subprocess.run(["apt-get", "download", package], cwd=dest,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              text=True, check=False)
        if proc.returncode == 0:
            name = package.split(":")[0]
            debs = glob.glob(os.path.join(dest, f"{name}_*.deb"))
            if debs:
                return debs[0]
        if attempt == 1:
            log(f"apt-get download {package} failed, updating package lists")
            subprocess.run(["apt-get", "update", "-qq"], check=False)
    raise HarnessError(f"apt-get download {package} failed: {proc.stdout}")


def kernel_package(depends, arch="amd64"):
    """The versioned kernel image package named in a Depends field."""
    m = re.search(r"(linux-image-[0-9][^ ,(]*-cloud-%s)(?![-\w])" % arch, depends)
    if not m:
        raise HarnessError(f"no cloud kernel image in: {depends}")
    return m.group(1)


def resolve_kernel_package(meta_deb, arch="amd64"):
    """The versioned image package that the meta package depends on."""
    return kernel_package(run(["dpkg-deb", "-f", meta_deb, "Depends"]), arch)


def foreign_cache_key(arch):
    """Names the versions a foreign guest is made of: the .deb file names
    that apt would fetch now (a new kernel or program version is a new key)."""
    names = [f"linux-image-cloud-{arch}", "busybox-static"] + ARCHES[arch]["packages"]
    proc = subprocess.run(["apt-get", "download", "--print-uris"] +
                          [f"{n}:{arch}" for n in names],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, check=False)
    files = sorted(re.findall(r"^'\S+' (\S+\.deb) ", proc.stdout, re.M))
    if proc.returncode != 0 or len(files) != len(names):
        raise HarnessError(f"apt-get download --print-uris failed: {proc.stdout}")
    return hashlib.sha256("\n".join(files).encode()).hexdigest()[:16]


def prepare_foreign_cache(cache, arch):
    """Like prepare_cache for another architecture, in <cache>/<arch>-<key>;
    also unpacks the guest programs' packages into its root/."""
    os.makedirs(cache, exist_ok=True)
    base = os.path.join(cache, f"{arch}-{foreign_cache_key(arch)}")
    with open(os.path.join(cache, ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not os.path.exists(os.path.join(base, "ready")):
            shutil.rmtree(base, ignore_errors=True)
            debs = os.path.join(base, "debs")
            os.makedirs(debs)
            log(f"fetching the {arch} kernel, busybox-static and "
                f"{' '.join(ARCHES[arch]['packages'])}")
            meta = apt_download(f"linux-image-cloud-{arch}:{arch}", debs)
            kernel = resolve_kernel_package(meta, arch)
            run(["dpkg", "-x", apt_download(f"{kernel}:{arch}", debs),
                 os.path.join(base, "kernel")])
            run(["dpkg", "-x", apt_download(f"busybox-static:{arch}", debs),
                 os.path.join(base, "busybox")])
            for package in ARCHES[arch]["packages"]:
                run(["dpkg", "-x", apt_download(f"{package}:{arch}", debs),
                     os.path.join(base, "root")])
            shutil.rmtree(debs)
            version = kernel_version(base)
            run(["depmod", "-b", os.path.join(base, "kernel"), version])
            with open(os.path.join(base, "ready"), "w") as f:
                f.write(version + "\n")
        version = kernel_version(base)
        return (os.path.join(base, "kernel", "boot", f"vmlinuz-{version}"),
                os.path.join(base, "kernel"), version,
                os.path.join(base, "busybox", "bin", "busybox"),
                os.path.join(base, "root"))


def prepare_cache(cache):
    """Returns (vmlinuz, module dir, kernel version, busybox path)."""
    os.makedirs(cache, exist_ok=True)
    with open(os.path.join(cache, ".lock"), "w") as lock:
        # Suites may boot in parallel; only one of them fetches.
        fcntl.flock(lock, fcntl.LOCK_EX)
        ready = os.path.join(cache, "ready")
        if not os.path.exists(ready):
            for d in ("debs", "kernel", "busybox"):
                shutil.rmtree(os.path.join(cache, d), ignore_errors=True)
            debs = os.path.join(cache, "debs")
            os.makedirs(debs)
            log("fetching linux-image-cloud-amd64 and busybox-static")
            meta = apt_download("linux-image-cloud-amd64", debs)
            kernel_deb = apt_download(resolve_kernel_package(meta), debs)
            run(["dpkg", "-x", kernel_deb, os.path.join(cache, "kernel")])
            bb_deb = apt_download("busybox-static", debs)
            run(["dpkg", "-x", bb_deb, os.path.join(cache, "busybox")])
            shutil.rmtree(debs)
            version = kernel_version(cache)
            run(["depmod", "-b", os.path.join(cache, "kernel"), version])
            with open(ready, "w") as f:
                f.write(version + "\n")
        version = kernel_version(cache)
        vmlinuz = os.path.join(cache, "kernel", "boot", f"vmlinuz-{version}")
        busybox = os.path.join(cache, "busybox", "bin", "busybox")
        return vmlinuz, os.path.join(cache, "kernel"), version, busybox


def kernel_version(cache):
    found = sorted(glob.glob(os.path.join(cache, "kernel", "boot",
                                          "vmlinuz-*")))
    if not found:
        raise HarnessError(f"no kernel in {cache}/kernel/boot")
    return os.path.basename(found[-1])[len("vmlinuz-"):]


def module_files(kernel_root, version, modules):
    """Module files in load order (dependencies first, no repeats)."""
    order = []
    for mod in modules:
        out = run(["modprobe", "-d", kernel_root, "-S", version,
                   "--show-depends", mod])
        for line in out.splitlines():
            parts = line.split()
            if len(parts) >= 2 and parts[0] == "insmod" and parts[1] not in order:
                order.append(parts[1])
    return order


def guest_kernel(cache, arch, kernel_config, modules):
    """(vmlinuz, module dir, kernel version, busybox path, sysroot of the
    foreign programs or None) for a guest of arch: Debian's kernel from the
    cache, or one built from kernel_config."""
    if arch == "amd64":
        vmlinuz, kernel_root, version, busybox = prepare_cache(cache)
        sysroot = None
    else:
        if kernel_config:
            raise HarnessError("--kernel-config builds x86-64 kernels only")
        vmlinuz, kernel_root, version, busybox, sysroot = prepare_foreign_cache(
            cache, arch)
    if kernel_config:
        if modules:
            raise HarnessError("--module needs the Debian kernel; a built "
                               "kernel has no modules")
        try:
            vmlinuz = kernel_build.built_kernel(kernel_config)
        except (kernel_build.KernelBuildError,
                subprocess.CalledProcessError) as e:
            raise HarnessError(f"kernel build: {e}") from e
        version = os.path.basename(os.path.dirname(vmlinuz))
    return vmlinuz, kernel_root, version, busybox, sysroot
