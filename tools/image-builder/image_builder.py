#!/usr/bin/env python3
"""Builds signed dm-verity squashfs images and the keys that sign them.

Image layout (S = file size, D = data blocks x data block size, B = hash
block size):

    0            squashfs file system, padded with zeros to D bytes
    D            veritysetup superblock (512 bytes, never read by quillon)
    H*B          hash tree, H = ceil((D + 512) / B)
    S - 4096     metadata text, seven "key=value\\n" lines, NUL padded to 1024
    S - 3072     SHA-256 signature over the 1024 metadata bytes, NUL padded
                 to 3072

Only standard tools do the work: mksquashfs, veritysetup and openssl.

    image_builder.py keygen --private KEY [--public PUB] [--root DIR] [--type rsa|ec]
    image_builder.py build --source DIR --key KEY --output IMAGE
                           [--compression xz|lzo] [--block-size N] ...
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

TRAILER_SIZE = 4096
META_SIZE = 1024
SIG_SIZE = 3072
VERITY_HEADER_SIZE = 512
PUBLIC_KEY_PATH = "etc/container_key_pub.pem"

# The order in which the metadata lines are written.
META_KEYS = ("hashtype", "datablocks", "datablocksize", "hashblocksize",
             "hashalgorithm", "salt", "roothash")


class BuildError(Exception):
    """A failure with a message meant for the user of the tool."""


def run_tool(argv, what):
    """Runs an outside tool and returns its standard output as text."""
    if shutil.which(argv[0]) is None:
        raise BuildError(f"{what}: program '{argv[0]}' not found "
                         f"(install the Debian package that provides it)")
    proc = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          stdin=subprocess.DEVNULL, text=True, check=False)
    if proc.returncode != 0:
        detail = (proc.stderr.strip() or proc.stdout.strip() or "no message")
        raise BuildError(f"{what} failed (exit status {proc.returncode}): "
                         f"{detail}")
    return proc.stdout


def metadata_block(values):
    """Returns the 1024-byte metadata area for a dict holding the seven keys.

    Pure function: raises BuildError when a value is missing, holds a line
    break or NUL, or when the text does not fit.
    """
    lines = []
    for key in META_KEYS:
        value = str(values.get(key, ""))
        if not value:
            raise BuildError(f"metadata value '{key}' is empty")
        if any(c in value for c in "\n\r\0"):
            raise BuildError(f"metadata value '{key}' holds a line break "
                             f"or NUL byte")
        lines.append(f"{key}={value}\n")
    text = "".join(lines).encode("ascii")
    if len(text) > META_SIZE:
        raise BuildError(f"metadata block would not fit: {len(text)} bytes, "
                         f"at most {META_SIZE}")
    return text + b"\0" * (META_SIZE - len(text))


def signature_area(signature):
    """Returns the 3072-byte signature area holding the given signature."""
    if not signature:
        raise BuildError("openssl produced an empty signature")
    if len(signature) > SIG_SIZE:
        raise BuildError(f"signature does not fit: {len(signature)} bytes, "
                         f"at most {SIG_SIZE} (use a smaller key)")
    return signature + b"\0" * (SIG_SIZE - len(signature))


def parse_veritysetup_format(output):
    """Reads the values that 'veritysetup format' prints.

    Returns a dict with hashtype, hashalgorithm, salt, roothash,
    datablocks, datablocksize and hashblocksize as text.
    """
    fields = {
        "Hash type": "hashtype",
        "Data blocks": "datablocks",
        "Data block size": "datablocksize",
        "Hash block size": "hashblocksize",
        "Hash algorithm": "hashalgorithm",
        "Salt": "salt",
        "Root hash": "roothash",
    }
    values = {}
    for line in output.splitlines():
        name, sep, value = line.partition(":")
        if not sep:
            continue
        key = fields.get(name.strip())
        if key is not None:
            values[key] = value.strip()
    missing = [k for k in META_KEYS if not values.get(k)]
    if missing:
        raise BuildError("could not read " + ", ".join(missing) +
                         " from the output of veritysetup format")
    return values


def hash_tree_start(data_size, hash_block_size):
    """First hash block after the data area and the 512-byte header."""
    return (data_size + VERITY_HEADER_SIZE + hash_block_size - 1) // hash_block_size


def check_block_size(value, what):
    if value < 512 or value > 524288 or value & (value - 1):
        raise BuildError(f"{what} must be a power of two between 512 and "
                         f"524288, not {value}")


def check_private_key(key):
    if not os.path.isfile(key):
        raise BuildError(f"private key not found: {key}")
    if not os.access(key, os.R_OK):
        raise BuildError(f"private key not readable: {key}")


def make_squashfs(source, target, compression, extra_args):
    argv = ["mksquashfs", source, target, "-comp", compression, "-noappend",
            "-all-root", "-no-progress", "-quiet"] + list(extra_args)
    run_tool(argv, "mksquashfs")


def pad_to_blocks(path, block_size):
    """Pads the file with zeros to whole blocks; returns the block count."""
    size = os.path.getsize(path)
    blocks = (size + block_size - 1) // block_size
    if blocks == 0:
        raise BuildError(f"squashfs image {path} is empty")
    os.truncate(path, blocks * block_size)
    return blocks


def sign(meta, key):
    """SHA-256 signature of meta by the private key (RSA or ECDSA)."""
    with tempfile.TemporaryDirectory(prefix="image-builder-") as tmp:
        meta_path = os.path.join(tmp, "meta")
        sig_path = os.path.join(tmp, "sig")
        with open(meta_path, "wb") as f:
            f.write(meta)
        run_tool(["openssl", "dgst", "-sha256", "-sign", key, "-out",
                  sig_path, meta_path], "signing the metadata with openssl")
        with open(sig_path, "rb") as f:
            return f.read()


def build_image(source, output, key, compression="xz", data_block_size=4096,
                hash_block_size=4096, hash_algorithm="sha256", salt=None,
                mksquashfs_args=()):
    """Builds the signed image; returns the metadata values as a dict."""
    if not os.path.exists(source):
        raise BuildError(f"source directory not found: {source}")
    if not os.path.isdir(source):
        raise BuildError(f"source is not a directory: {source}")
    check_private_key(key)
    if compression not in ("xz", "lzo"):
        raise BuildError(f"unknown compression '{compression}' "
                         f"(use xz or lzo)")
    check_block_size(data_block_size, "data block size")
    check_block_size(hash_block_size, "hash block size")
    if salt is not None and not re.fullmatch(r"(-|([0-9a-fA-F]{2})+)", salt):
        raise BuildError(f"salt must be hexadecimal text or '-': {salt}")
    out_dir = os.path.dirname(os.path.abspath(output))
    if not os.path.isdir(out_dir):
        raise BuildError(f"output directory not found: {out_dir}")

    # Work on a temporary file beside the output so a failed build never
    # leaves a half-written image under the final name.
    fd, tmp = tempfile.mkstemp(prefix=".image-builder-", dir=out_dir)
    os.close(fd)
    try:
        make_squashfs(source, tmp, compression, mksquashfs_args)
        blocks = pad_to_blocks(tmp, data_block_size)
        data_size = blocks * data_block_size
        argv = ["veritysetup", "format", f"--hash-offset={data_size}",
                f"--data-blocks={blocks}",
                f"--data-block-size={data_block_size}",
                f"--hash-block-size={hash_block_size}",
                f"--hash={hash_algorithm}"]
        if salt is not None:
            argv.append(f"--salt={salt}")
        argv += [tmp, tmp]
        values = parse_veritysetup_format(run_tool(argv, "veritysetup format"))
        if int(values["datablocks"]) != blocks:
            raise BuildError(f"veritysetup used {values['datablocks']} data "
                             f"blocks instead of {blocks}")
        meta = metadata_block(values)
        trailer = meta + signature_area(sign(meta, key))
        # The hash tree ends on a whole hash block; keep that so the trailer
        # never shares a block with the tree.
        size = os.path.getsize(tmp)
        with open(tmp, "r+b") as f:
            f.seek(-(-size // hash_block_size) * hash_block_size)
            f.write(trailer)
        os.chmod(tmp, 0o644)
        os.replace(tmp, output)
        tmp = None
        return values
    finally:
        if tmp is not None and os.path.exists(tmp):
            os.unlink(tmp)


def make_key_pair(private, public=None, root=None, key_type="rsa", bits=2048):
    """Writes a private key and its public key (PEM).

    The public key goes to `public`, and to <root>/etc/container_key_pub.pem
    when a root directory is given.
    """
    if public is None and root is None:
        raise BuildError("keygen needs --public or --root")
    if root is not None and not os.path.isdir(root):
        raise BuildError(f"root directory not found: {root}")
    if key_type == "rsa":
        gen = ["openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt",
               f"rsa_keygen_bits:{bits}"]
    elif key_type == "ec":
        gen = ["openssl", "genpkey", "-algorithm", "EC", "-pkeyopt",
               "ec_paramgen_curve:P-256"]
    else:
        raise BuildError(f"unknown key type '{key_type}' (use rsa or ec)")
    private_dir = os.path.dirname(os.path.abspath(private))
    if not os.path.isdir(private_dir):
        raise BuildError(f"directory for the private key not found: "
                         f"{private_dir}")
    run_tool(gen + ["-out", private], "generating the private key")
    os.chmod(private, 0o600)
    targets = []
    if public is not None:
        targets.append(public)
    if root is not None:
        os.makedirs(os.path.join(root, "etc"), exist_ok=True)
        targets.append(os.path.join(root, PUBLIC_KEY_PATH))
    for target in targets:
        run_tool(["openssl", "pkey", "-in", private, "-pubout", "-out",
                  target], "writing the public key")
    return targets


def main(argv=None):
    parser = argparse.ArgumentParser(
        description="Builds signed dm-verity squashfs images.")
    sub = parser.add_subparsers(dest="command", required=True)

    b = sub.add_parser("build", help="turn a directory into a signed image")
    b.add_argument("--source", required=True, help="directory to pack")
    b.add_argument("--output", required=True, help="image file to write")
    b.add_argument("--key", required=True, help="private key (PEM, RSA or EC)")
    b.add_argument("--compression", default="xz", choices=("xz", "lzo"))
    b.add_argument("--data-block-size", type=int, default=4096)
    b.add_argument("--hash-block-size", type=int, default=4096)
    b.add_argument("--hash", default="sha256", dest="hash_algorithm",
                   help="kernel digest name for the hash tree")
    b.add_argument("--salt", help="hexadecimal salt, '-' for none "
                   "(default: random)")
    b.add_argument("--mksquashfs-arg", action="append", default=[],
                   help="extra argument for mksquashfs (repeatable)")

    k = sub.add_parser("keygen", help="make a signing key pair")
    k.add_argument("--private", required=True, help="private key to write")
    k.add_argument("--public", help="public key to write")
    k.add_argument("--root", help="also write <root>/" + PUBLIC_KEY_PATH)
    k.add_argument("--type", default="rsa", choices=("rsa", "ec"))
    k.add_argument("--bits", type=int, default=2048, help="RSA key size")

    args = parser.parse_args(argv)
    try:
        if args.command == "build":
            values = build_image(args.source, args.output, args.key,
                                 args.compression, args.data_block_size,
                                 args.hash_block_size, args.hash_algorithm,
                                 args.salt, args.mksquashfs_arg)
            print(f"{args.output}: {values['datablocks']} data blocks, "
                  f"root hash {values['roothash']}")
        else:
            for target in make_key_pair(args.private, args.public, args.root,
                                        args.type, args.bits):
                print(f"public key written to {target}")
    except BuildError as e:
        print(f"image-builder: error: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
