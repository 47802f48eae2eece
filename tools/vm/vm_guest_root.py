"""What a suite's guest root holds: the init stages, busybox, an OCI bundle,
kernel modules, programs, shipped files, the checks, and what the suite's
prepare script adds."""

import glob
import os
import shutil
import subprocess

from vm_cache import module_files
from vm_common import HERE, HarnessError, log
from vm_stage import make_busybox_tree

GUEST_DIR = os.path.join(HERE, "guest")
DEFAULT_MODULES = ["loop", "squashfs", "dm-verity", "overlay"]
DEFAULT_PROGRAMS = ["veritysetup", "runc"]


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
    stage.copy(os.path.join(GUEST_DIR, "quillon.sh"), "/vm/quillon.sh", 0o644)
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
