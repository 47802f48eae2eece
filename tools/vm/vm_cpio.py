"""The initramfs (cpio "newc"), written here so that no root is needed for
the device nodes and every file belongs to root in the guest."""

import os
import stat


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
