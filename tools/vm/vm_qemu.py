"""Boots a packed guest under qemu, bounded by a timeout and by this
process's life."""

import ctypes
import os
import signal
import subprocess
import sys
import time

from vm_common import ARCHES, log


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
