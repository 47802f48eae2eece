#!/usr/bin/env python3
"""Boots a Debian cloud kernel under qemu and runs one suite of checks.

    vm_run.py boot   --suite NAME --checks DIR --cache DIR --work DIR [...]
    vm_run.py result --work DIR --check NAME

"boot" fetches the kernel and busybox into the cache (once), packs an
initramfs with the checks, the requested programs (with their shared
libraries), files and kernel modules, boots it and writes the guest's result
lines to WORK/results.txt. It fails, showing the guest's console, when the
guest does not finish all its checks (panic, hang past the timeout).

"result" turns one result line into a test outcome: exit 0 for PASS, 77 for
SKIP, 1 for FAIL or a missing line; it prints the check's output.

Protocol on the guest's second serial port (see README.md):
    @@BEGIN <check>
    <output lines of the check>
    @@RESULT <check> PASS|FAIL|SKIP <exit status>
    @@DONE <number of checks>
"""

import argparse
import ctypes
import fcntl
import glob
import hashlib
import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import time

import kernel_build

HERE = os.path.dirname(os.path.abspath(__file__))
GUEST_DIR = os.path.join(HERE, "guest")
DEFAULT_MODULES = ["loop", "squashfs", "dm-verity", "overlay"]
DEFAULT_PROGRAMS = ["veritysetup", "runc"]
SKIP_CODE = 77
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


# ---------------------------------------------------------------------------
# Kernel and busybox cache


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


# ---------------------------------------------------------------------------
# Staging the guest root


class Stage:
    """A directory tree that becomes the guest's root file system."""

    def __init__(self, root, arch="amd64", sysroot=None):
        self.root = root
        self.arch = ARCHES[arch]
        # Unpacked packages of a foreign architecture's guest programs.
        self.sysroot = sysroot

    def libraries(self, binary):
        if self.sysroot is None:
            return shared_libraries(binary)
        return foreign_libraries(binary, self.arch["multiarch"])

    def path(self, guest_path):
        return os.path.join(self.root, guest_path.lstrip("/"))

    def mkdir(self, guest_path):
        os.makedirs(self.path(guest_path), exist_ok=True)

    def copy(self, host_path, guest_path, mode=None):
        dest = self.path(guest_path)
        os.makedirs(os.path.dirname(dest), exist_ok=True)
        if os.path.isdir(host_path):
            shutil.copytree(host_path, dest, symlinks=True, dirs_exist_ok=True)
            return
        if os.path.lexists(dest):
            os.unlink(dest)
        shutil.copyfile(host_path, dest)
        shutil.copymode(host_path, dest)
        if mode is not None:
            os.chmod(dest, mode)

    def symlink(self, target, guest_path):
        dest = self.path(guest_path)
        os.makedirs(os.path.dirname(dest), exist_ok=True)
        if os.path.lexists(dest):
            return
        os.symlink(target, dest)

    def add_library(self, host_path):
        """Copies a shared library to its real location and links the name
        the loader asks for."""
        real = os.path.realpath(host_path)
        real_dir = os.path.dirname(real)
        self.copy(real, real)
        name_dir = os.path.realpath(os.path.dirname(host_path))
        link = os.path.join(name_dir, os.path.basename(host_path))
        if link != real:
            if name_dir == real_dir:
                self.symlink(os.path.basename(real), link)
            else:
                self.symlink(real, link)

    def add_program(self, program, guest_path=None):
        if self.sysroot is not None:
            self.add_foreign_program(program, guest_path)
            return
        host = program if os.sep in program else find_program(program)
        if not os.path.isfile(host):
            raise HarnessError(f"program not found: {program}")
        real = os.path.realpath(host)
        # Keep the name it was found by: some programs look at argv[0]
        # (mkfs.ext4 is a link to mke2fs).
        named = os.path.join(os.path.realpath(os.path.dirname(host)),
                             os.path.basename(host))
        self.copy(real, guest_path or named)
        for lib in shared_libraries(real):
            self.add_library(lib)

    def add_foreign_program(self, program, guest_path=None):
        """A program from the unpacked packages, at its packaged path."""
        if os.sep in program:
            found = program if os.path.isfile(program) else None
        else:
            found = None
            for d in GUEST_PATH.split(":"):
                candidate = os.path.join(self.sysroot, d.lstrip("/"), program)
                if os.path.lexists(candidate):
                    found = candidate
                    break
        if not found:
            raise HarnessError(f"program not found in {self.sysroot}: {program}")
        # A link inside the package (mkfs.ext4 -> mke2fs) resolves there.
        real = found
        while os.path.islink(real):
            target = os.readlink(real)
            real = (os.path.join(self.sysroot, target.lstrip("/"))
                    if target.startswith("/")
                    else os.path.join(os.path.dirname(real), target))
        if guest_path is None:
            guest_path = "/" + os.path.relpath(found, self.sysroot)
            if guest_path.startswith("/.."):
                guest_path = "/usr/bin/" + os.path.basename(found)
        self.copy(real, guest_path)
        for lib in self.libraries(real):
            self.add_library(lib)


def find_program(name):
    path = os.environ.get("PATH", "") + ":" + GUEST_PATH
    found = shutil.which(name, path=path)
    if not found:
        raise HarnessError(f"program not found on the host: {name}")
    return found


def shared_libraries(binary):
    """Paths of the shared libraries and the loader that binary needs."""
    proc = subprocess.run(["ldd", binary], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, check=False)
    if proc.returncode != 0:
        if "not a dynamic executable" in proc.stdout:
            return []
        raise HarnessError(f"ldd {binary} failed: {proc.stdout.strip()}")
    libs = []
    for line in proc.stdout.splitlines():
        if "not found" in line:
            raise HarnessError(f"{binary}: missing library: {line.strip()}")
        m = re.search(r"=>\s+(/\S+)", line) or re.match(r"\s*(/\S+)", line)
        if m:
            libs.append(m.group(1))
    return libs


def elf_dependencies(binary):
    """(interpreter or None, NEEDED names) of an ELF file of any machine."""
    out = run(["readelf", "-W", "-l", "-d", binary])
    interp = re.search(r"program interpreter: (\S+)\]", out)
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", out)
    return (interp.group(1) if interp else None), needed


def foreign_libraries(binary, multiarch):
    """Paths of the loader and the shared libraries (all of them, also
    indirect ones) of a foreign binary, found in the host's multiarch
    folders."""
    dirs = [f"/usr/lib/{multiarch}", f"/lib/{multiarch}"]
    interp, needed = elf_dependencies(binary)
    libs = [interp] if interp else []
    pending, seen = list(needed), set()
    while pending:
        name = pending.pop(0)
        if name in seen:
            continue
        seen.add(name)
        path = next((os.path.join(d, name) for d in dirs
                     if os.path.exists(os.path.join(d, name))), None)
        if path is None:
            raise HarnessError(f"{binary}: missing library {name} in "
                               f"{' or '.join(dirs)} (install its :arm64 package)")
        libs.append(path)
        pending.extend(elf_dependencies(path)[1])
    return libs


def make_busybox_tree(stage, busybox, prefix=""):
    """busybox with a link for every applet under prefix/bin."""
    stage.copy(busybox, f"{prefix}/bin/busybox", 0o755)
    applets = run(stage.arch.get("emulator", []) + [busybox, "--list"]).split()
    for applet in applets:
        if applet != "busybox":
            stage.symlink("busybox", f"{prefix}/bin/{applet}")


def build_stage(args, stage, busybox, kernel_root, version):
    shutil.rmtree(stage.root, ignore_errors=True)
    os.makedirs(stage.root)
    for d in ("dev", "proc", "sys", "run", "tmp", "etc", "root", "sbin",
              "usr/bin", "usr/sbin", "usr/lib", "usr/lib64", "var",
              "vm/checks", "vm/data", "newroot"):
        stage.mkdir(d)
    # Merged /usr, as on the host, so libraries resolve by either name.
    stage.symlink("usr/lib", "lib")
    stage.symlink("usr/lib64", "lib64")
    make_busybox_tree(stage, busybox)
    stage.copy(os.path.join(GUEST_DIR, "init"), "/init", 0o755)
    stage.copy(os.path.join(GUEST_DIR, "vm-init"), "/sbin/vm-init", 0o755)
    stage.copy(os.path.join(GUEST_DIR, "lib.sh"), "/vm/lib.sh", 0o644)
    with open(stage.path("/etc/passwd"), "w") as f:
        f.write("root:x:0:0:root:/root:/bin/sh\n")
    with open(stage.path("/etc/group"), "w") as f:
        f.write("root:x:0:\n")
    stage.mkdir("/var/run")

    # A busybox root file system and an OCI bundle for runc.
    bundle = "/vm/bundle"
    make_busybox_tree(stage, busybox, prefix=f"{bundle}/rootfs")
    for d in ("proc", "sys", "dev", "tmp", "etc"):
        stage.mkdir(f"{bundle}/rootfs/{d}")
    stage.copy(os.path.join(GUEST_DIR, "bundle-config.json"),
               f"{bundle}/config.json", 0o644)

    # A kernel built from a config fragment has everything built in.
    modules = [] if args.kernel_config else module_files(
        kernel_root, version,
        stage.arch.get("modules", []) + DEFAULT_MODULES + list(args.module))
    with open(stage.path("/vm/modules"), "w") as f:
        for mod in modules:
            guest = "/lib/modules/" + os.path.relpath(
                mod, os.path.join(kernel_root, "lib", "modules"))
            stage.copy(mod, "/usr" + guest)
            f.write(guest + "\n")

    for program in DEFAULT_PROGRAMS + list(args.program):
        stage.add_program(program)
    for item in args.file:
        host, sep, guest = item.partition("=")
        if not sep or not guest.startswith("/"):
            raise HarnessError(f"--file wants HOST=/GUEST, not {item}")
        if not os.path.exists(host):
            raise HarnessError(f"file to ship not found: {host}")
        stage.copy(host, guest)
        if os.path.isfile(host) and os.access(host, os.X_OK):
            with open(host, "rb") as f:
                if f.read(4) == b"\x7fELF":
                    for lib in stage.libraries(host):
                        stage.add_library(lib)

    checks = sorted(glob.glob(os.path.join(args.checks, "*.sh")))
    if not checks:
        raise HarnessError(f"no checks (*.sh) in {args.checks}")
    for c in checks:
        stage.copy(c, f"/vm/checks/{os.path.basename(c)}", 0o755)
    with open(stage.path("/vm/suite"), "w") as f:
        f.write(f"{args.suite}\n{args.check_timeout}\n")

    if args.prepare:
        env = dict(os.environ, VM_STAGE=stage.root, VM_SUITE=args.suite,
                   VM_WORK=args.work, VM_CACHE=args.cache,
                   VM_BUSYBOX=busybox, VM_TOOLS=HERE, VM_ARCH=args.arch,
                   VM_EMULATOR=" ".join(stage.arch.get("emulator", [])),
                   IMAGE_BUILDER=args.image_builder or "")
        log(f"preparing: {args.prepare}")
        proc = subprocess.run([args.prepare, stage.root], env=env,
                              cwd=args.work, check=False)
        if proc.returncode != 0:
            raise HarnessError(f"prepare script {args.prepare} failed "
                               f"({proc.returncode})")
    return len(checks)


# ---------------------------------------------------------------------------
# initramfs (cpio "newc"), written here so that no root is needed for the
# device nodes and every file belongs to root in the guest.


def cpio_header(name, mode, size, ino, nlink=1, rdev=(0, 0), mtime=0):
    fields = [ino, mode, 0, 0, nlink, mtime, size, 0, 0, rdev[0], rdev[1],
              len(name) + 1, 0]
    head = b"070701" + b"".join(b"%08X" % f for f in fields)
    data = head + name.encode() + b"\0"
    return data + b"\0" * (-len(data) % 4)


def write_cpio(root, out_path):
    ino = 1
    with open(out_path, "wb") as out:
        def emit(name, mode, content=b"", rdev=(0, 0)):
            nonlocal ino
            out.write(cpio_header(name, mode, len(content), ino, rdev=rdev))
            out.write(content)
            out.write(b"\0" * (-len(content) % 4))
            ino += 1

        for dirpath, dirnames, filenames in os.walk(root):
            dirnames.sort()
            rel_dir = os.path.relpath(dirpath, root)
            for name in sorted(dirnames) + sorted(filenames):
                full = os.path.join(dirpath, name)
                rel = os.path.normpath(os.path.join(rel_dir, name))
                st = os.lstat(full)
                if stat.S_ISLNK(st.st_mode):
                    emit(rel, stat.S_IFLNK | 0o777,
                         os.readlink(full).encode())
                elif stat.S_ISDIR(st.st_mode):
                    emit(rel, stat.S_IFDIR | stat.S_IMODE(st.st_mode))
                elif stat.S_ISREG(st.st_mode):
                    with open(full, "rb") as f:
                        emit(rel, stat.S_IFREG | stat.S_IMODE(st.st_mode),
                             f.read())
        # The kernel opens /dev/console for init before devtmpfs is there.
        emit("dev/console", stat.S_IFCHR | 0o600, rdev=(5, 1))
        emit("dev/null", stat.S_IFCHR | 0o666, rdev=(1, 3))
        emit("TRAILER!!!", 0)


# ---------------------------------------------------------------------------
# Running qemu


def set_parent_death_signal():
    # qemu must not outlive this process, even when it is killed hard (a test
    # driver's timeout): the kernel then sends qemu SIGKILL.
    libc = ctypes.CDLL("libc.so.6", use_errno=True)
    libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def boot(args, vmlinuz, initrd):
    console = os.path.join(args.work, "console.log")
    results = os.path.join(args.work, "results.txt")
    for f in (console, results):
        if os.path.exists(f):
            os.unlink(f)
    arch = ARCHES[args.arch]
    append = f"console={arch['console']} panic=-1 quiet loglevel=4 "
    qemu = [args.qemu] if args.qemu else arch["qemu"][:1]
    argv = qemu + arch["qemu"][1:] + [
            "-accel", args.accel, "-m", str(args.memory),
            "-smp", "1", "-nodefaults", "-display", "none", "-no-reboot",
            "-kernel", vmlinuz, "-initrd", initrd,
            "-serial", f"file:{console}", "-monitor", "none"]
    if "results" in arch:
        argv += ["-device", "virtio-serial-device",
                 "-chardev", f"file,id=results,path={results}",
                 "-device", "virtconsole,chardev=results"]
        append += f"vm.results={arch['results']} "
    else:
        argv += ["-serial", f"file:{results}"]
    argv += ["-append", (append + " ".join(args.append)).strip()]
    log(f"booting: {' '.join(argv)}")
    start = time.monotonic()
    proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            preexec_fn=set_parent_death_signal)

    def stop(signum, _frame):
        proc.kill()
        proc.wait()
        sys.exit(128 + signum)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    timed_out = False
    try:
        out, _ = proc.communicate(timeout=args.timeout)
    except subprocess.TimeoutExpired:
        timed_out = True
        proc.kill()
        out, _ = proc.communicate()
    elapsed = time.monotonic() - start
    return proc.returncode, timed_out, elapsed, out.decode(errors="replace")


def read_text(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode(errors="replace").replace("\r", "")
    except FileNotFoundError:
        return ""


def parse_results(text):
    """Returns ({check: (status, code, output)}, done count or None)."""
    results, done, current, lines = {}, None, None, []
    for line in text.splitlines():
        if line.startswith("@@BEGIN "):
            current, lines = line[len("@@BEGIN "):].strip(), []
        elif line.startswith("@@RESULT "):
            parts = line.split()
            if len(parts) >= 4:
                results[parts[1]] = (parts[2], parts[3],
                                     "\n".join(lines) if current == parts[1]
                                     else "")
            current, lines = None, []
        elif line.startswith("@@DONE "):
            done = int(line.split()[1])
        elif current is not None:
            lines.append(line)
    return results, done


def cmd_boot(args):
    args.work = os.path.abspath(args.work)
    os.makedirs(args.work, exist_ok=True)
    if args.arch == "amd64":
        vmlinuz, kernel_root, version, busybox = prepare_cache(
            os.path.abspath(args.cache))
        sysroot = None
    else:
        if args.kernel_config:
            raise HarnessError("--kernel-config builds x86-64 kernels only")
        vmlinuz, kernel_root, version, busybox, sysroot = prepare_foreign_cache(
            os.path.abspath(args.cache), args.arch)
    if args.kernel_config:
        if args.module:
            raise HarnessError("--module needs the Debian kernel; a built "
                               "kernel has no modules")
        try:
            vmlinuz = kernel_build.built_kernel(args.kernel_config)
        except (kernel_build.KernelBuildError,
                subprocess.CalledProcessError) as e:
            raise HarnessError(f"kernel build: {e}") from e
        version = os.path.basename(os.path.dirname(vmlinuz))
    stage = Stage(os.path.join(args.work, "root"), args.arch, sysroot)
    n = build_stage(args, stage, busybox, kernel_root, version)
    initrd = os.path.join(args.work, "initramfs.cpio")
    write_cpio(stage.root, initrd)
    # The staged tree is only needed to make the archive.
    shutil.rmtree(stage.root)
    log(f"initramfs {os.path.getsize(initrd) // 1024} KiB, kernel {version}, "
        f"{n} checks")
    code, timed_out, elapsed, qemu_out = boot(args, vmlinuz, initrd)
    results, done = parse_results(read_text(os.path.join(args.work,
                                                         "results.txt")))
    log(f"guest ran {elapsed:.1f} s")
    for name, (status, _code, _out) in sorted(results.items()):
        print(f"  {name}: {status}")
    problem = None
    if timed_out:
        problem = f"guest did not finish within {args.timeout} s; killed"
    elif code != 0:
        problem = f"qemu exited with status {code}: {qemu_out.strip()}"
    elif done is None:
        problem = "guest stopped before finishing its checks"
    elif done != n or len(results) != n:
        problem = f"guest reported {len(results)} of {n} checks"
    if problem:
        print(f"vm: FAILED: {problem}")
        print("---- guest console ----")
        print(read_text(os.path.join(args.work, "console.log")))
        print("---- end of guest console ----")
        return 1
    return 0


def cmd_result(args):
    results, _done = parse_results(read_text(os.path.join(args.work,
                                                          "results.txt")))
    entry = results.get(args.check)
    if entry is None:
        print(f"vm: no result for check {args.check}")
        print("---- guest console ----")
        print(read_text(os.path.join(args.work, "console.log")))
        return 1
    status, code, output = entry
    print(output)
    print(f"vm: {args.check}: {status} (exit status {code})")
    if status == "PASS":
        return 0
    if status == "SKIP":
        return SKIP_CODE
    print("---- guest console ----")
    print(read_text(os.path.join(args.work, "console.log")))
    print("---- end of guest console ----")
    return 1


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawTextHelpFormatter)
    sub = p.add_subparsers(dest="command", required=True)
    b = sub.add_parser("boot", help="pack and boot one suite")
    b.add_argument("--suite", required=True)
    b.add_argument("--checks", required=True, help="folder of *.sh checks")
    b.add_argument("--cache", required=True, help="kernel/busybox cache")
    b.add_argument("--work", required=True, help="folder for this suite")
    b.add_argument("--file", action="append", default=[],
                   help="HOST=/GUEST file or folder to ship (repeatable)")
    b.add_argument("--program", action="append", default=[],
                   help="host program to ship with its libraries")
    b.add_argument("--module", action="append", default=[],
                   help="extra kernel module to load (with dependencies)")
    b.add_argument("--prepare", help="host script run with the staged root")
    b.add_argument("--image-builder", help="path given to --prepare scripts")
    b.add_argument("--kernel-config",
                   help="boot a kernel built from this config fragment "
                        "(kernel_build.py) instead of Debian's")
    b.add_argument("--append", action="append", default=[],
                   help="extra kernel command-line text")
    b.add_argument("--timeout", type=int, default=600,
                   help="seconds before the guest is killed")
    b.add_argument("--check-timeout", type=int, default=300,
                   help="seconds one check may run inside the guest")
    b.add_argument("--memory", type=int, default=512)
    b.add_argument("--accel", default="tcg")
    b.add_argument("--arch", default="amd64", choices=sorted(ARCHES),
                   help="guest architecture (Debian's name)")
    b.add_argument("--qemu", help="qemu system emulator (default for --arch)")
    r = sub.add_parser("result", help="outcome of one check")
    r.add_argument("--work", required=True)
    r.add_argument("--check", required=True)
    args = p.parse_args(argv)
    try:
        return cmd_boot(args) if args.command == "boot" else cmd_result(args)
    except HarnessError as e:
        print(f"vm: error: {e}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
