"""The staged guest root: files, programs and the shared libraries they
need, for the host's architecture (ldd) or a foreign one (ELF headers)."""

import os
import re
import shutil
import subprocess

from vm_common import ARCHES, GUEST_PATH, HarnessError, find_program, run


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
