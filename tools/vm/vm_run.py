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
import os
import shutil
import sys

from vm_cache import guest_kernel
from vm_common import ARCHES, HarnessError, log
from vm_cpio import write_cpio
from vm_guest_root import build_stage
from vm_qemu import boot
from vm_results import check_outcome, suite_outcome
from vm_stage import Stage


def cmd_boot(args):
    args.work = os.path.abspath(args.work)
    os.makedirs(args.work, exist_ok=True)
    vmlinuz, kernel_root, version, busybox, sysroot = guest_kernel(
        os.path.abspath(args.cache), args.arch, args.kernel_config, args.module)
    stage = Stage(os.path.join(args.work, "root"), args.arch, sysroot)
    n = build_stage(args, stage, busybox, kernel_root, version)
    initrd = os.path.join(args.work, "initramfs.cpio")
    write_cpio(stage.root, initrd)
    # The staged tree is only needed to make the archive.
    shutil.rmtree(stage.root)
    log(f"initramfs {os.path.getsize(initrd) // 1024} KiB, kernel {version}, "
        f"{n} checks")
    code, timed_out, elapsed, qemu_out = boot(args, vmlinuz, initrd)
    log(f"guest ran {elapsed:.1f} s")
    return suite_outcome(args.work, n, args.timeout, code, timed_out, qemu_out)


def cmd_result(args):
    return check_outcome(args.work, args.check)


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
