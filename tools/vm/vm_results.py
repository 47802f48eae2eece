"""The guest's result lines (see README.md) turned into outcomes: of the
whole suite after a boot, and of one check."""

import os
import re

SKIP_CODE = 77


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


def last_lines(path, count):
    return "\n".join(read_text(path).splitlines()[-count:])


def print_console(work, end_line=True, tail=0):
    console = os.path.join(work, "console.log")
    if tail:
        # A log reader that keeps only the start of a failure still sees how
        # the guest ended.
        print(f"---- last {tail} lines of the guest console ----")
        print(last_lines(console, tail))
    print("---- guest console ----")
    print(read_text(console))
    if end_line:
        print("---- end of guest console ----")


def stopped_early(work, qemu_status, timed_out):
    """Whether the guest ended by itself (power-off, reset or panic) before
    reporting that its checks were done."""
    if timed_out or qemu_status != 0:
        return False
    return parse_results(read_text(os.path.join(work, "results.txt")))[1] is None


def how_it_ended(work):
    """The console's last line that tells how a guest went down, or ''."""
    ends = re.compile(r"Kernel panic|reboot: |sysrq: |systemd-shutdown\[1\]: |Power down|"
                      r"Restarting system|Attempted to kill init")
    lines = [l for l in read_text(os.path.join(work, "console.log")).splitlines()
             if ends.search(l)]
    return lines[-1].strip() if lines else ""


def suite_outcome(work, checks, timeout, qemu_status, timed_out, qemu_out):
    """Exit status of the boot: 1 (with the console) unless the guest ran
    every one of its checks and qemu ended cleanly."""
    results, done = parse_results(read_text(os.path.join(work, "results.txt")))
    for name, (status, _code, _out) in sorted(results.items()):
        print(f"  {name}: {status}")
    problem = None
    if timed_out:
        problem = f"guest did not finish within {timeout} s; killed"
    elif qemu_status != 0:
        problem = f"qemu exited with status {qemu_status}: {qemu_out.strip()}"
    elif done is None:
        problem = "guest stopped before finishing its checks"
        end = how_it_ended(work)
        if end:
            problem += f" (its console ends with: {end})"
    elif done != checks or len(results) != checks:
        problem = f"guest reported {len(results)} of {checks} checks"
    if problem:
        print(f"vm: FAILED: {problem}")
        print_console(work, tail=40)
        return 1
    return 0


def check_outcome(work, check):
    """Exit status of one check: 0 PASS, 77 SKIP, 1 FAIL or no result."""
    results, _done = parse_results(read_text(os.path.join(work, "results.txt")))
    entry = results.get(check)
    if entry is None:
        print(f"vm: no result for check {check}")
        print_console(work, end_line=False)
        return 1
    status, code, output = entry
    print(output)
    print(f"vm: {check}: {status} (exit status {code})")
    if status == "PASS":
        return 0
    if status == "SKIP":
        return SKIP_CODE
    print_console(work)
    return 1
