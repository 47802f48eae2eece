#!/usr/bin/env python3
"""Builds signed dm-verity squashfs images and the keys that sign them.

Image layout (S = file size, D = data blocks x data block size, B = hash
block size):

    0            squashfs file system, padded with zeros to D bytes
    D            veritysetup superblock (512 bytes, never read by quillon)
    H*B          hash tree, H = ceil((D + 512) / B)
    S - 4096     the trailer: metadata and its signature (image_trailer.py)

Only standard tools do the work: mksquashfs, veritysetup and openssl.

    image_builder.py keygen --private KEY [--public PUB] [--root DIR] [--type rsa|ec] [--force]
    image_builder.py build --source DIR --key KEY --output IMAGE
                           [--compression xz|lzo] [--block-size N] ...
    image_builder.py verify IMAGE --public PUB
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

from image_trailer import (META_KEYS, TrailerError, der_sequence_length,
                           hash_tree_start, malformed_key, metadata_block,
                           parse_metadata, read_trailer, signature_area)

PUBLIC_KEY_PATH = "etc/container_key_pub.pem"
# veritysetup lives in /usr/sbin, which a normal user's PATH often lacks.
SEARCH_PATH = os.pathsep.join(filter(None, [os.environ.get("PATH"),
                                            "/usr/sbin", "/sbin"]))


class BuildError(Exception):
    """A failure with a message meant for the user of the tool."""


def run_tool(argv, what, check=True):
    """Runs an outside tool and returns its standard output as text; with
    check=False a failure returns None instead of raising."""
    program = shutil.which(argv[0], path=SEARCH_PATH)
    if program is None:
        raise BuildError(f"{what}: program '{argv[0]}' not found "
                         f"(install the Debian package that provides it)")
    proc = subprocess.run([program] + list(argv[1:]), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                          text=True, check=False)
    if proc.returncode != 0:
        if not check:
            return None
        detail = (proc.stderr.strip() or proc.stdout.strip() or "no message")
        raise BuildError(f"{what} failed (exit status {proc.returncode}): "
                         f"{detail}")
    return proc.stdout


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
            signature = f.read()
    if not signature:
        raise BuildError("openssl produced an empty signature")
    return signature


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


def make_key_pair(private, public=None, root=None, key_type="rsa", bits=2048,
                  force=False):
    """Writes a private key and its public key (PEM); returns every file
    written, the private key first.

    The public key goes to `public`, and to <root>/etc/container_key_pub.pem
    when a root directory is given. An existing key is kept unless force is
    set: images signed by it would no longer verify.
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
    targets = []
    if public is not None:
        targets.append(public)
    if root is not None:
        targets.append(os.path.join(root, PUBLIC_KEY_PATH))
    existing = [path for path in [private] + targets if os.path.lexists(path)]
    if existing and not force:
        one = len(existing) == 1
        raise BuildError(f"{', '.join(existing)} already exist"
                         f"{'s' if one else ''}; images signed with the old "
                         f"key would no longer verify (--force replaces "
                         f"{'it' if one else 'them'})")
    if root is not None:
        os.makedirs(os.path.join(root, "etc"), exist_ok=True)
    run_tool(gen + ["-out", private], "generating the private key")
    os.chmod(private, 0o600)
    for target in targets:
        run_tool(["openssl", "pkey", "-in", private, "-pubout", "-out",
                  target], "writing the public key")
    return [private] + targets


def signature_bytes(sig_area, public):
    """The part of the signature area that the key's algorithm verifies: an
    RSA signature has the key's length; an ECDSA one is the DER SEQUENCE its
    own header describes."""
    text = run_tool(["openssl", "pkey", "-pubin", "-in", public, "-noout",
                     "-text"], "reading the public key")
    bits = re.search(r"Public-Key: \((\d+) bit\)", text)
    if bits is None:
        raise BuildError(f"{public}: cannot tell the key's size")
    if "Modulus" in text:
        return sig_area[:(int(bits.group(1)) + 7) // 8]
    length = der_sequence_length(sig_area)
    return sig_area[:length] if length else sig_area


def verify_image(image, public):
    """Checks the image's trailer as the controller does before it sets up a
    device: the signature by the public key over the 1024 metadata bytes,
    then every metadata value. Returns the metadata values."""
    if not os.path.isfile(public):
        raise BuildError(f"public key not found: {public}")
    try:
        meta, sig_area = read_trailer(image)
    except OSError as e:
        raise BuildError(f"{image}: {e.strerror}") from None
    except TrailerError as e:
        raise BuildError(f"{image}: {e}") from None
    sig = signature_bytes(sig_area, public)
    with tempfile.TemporaryDirectory(prefix="image-builder-") as tmp:
        meta_path = os.path.join(tmp, "meta")
        sig_path = os.path.join(tmp, "sig")
        with open(meta_path, "wb") as f:
            f.write(meta)
        with open(sig_path, "wb") as f:
            f.write(sig)
        verified = run_tool(["openssl", "dgst", "-sha256", "-verify", public,
                             "-signature", sig_path, meta_path],
                            "checking the signature with openssl", check=False)
    if verified is None:
        raise BuildError(f"{image}: signature does not verify with {public}")
    try:
        values = parse_metadata(meta)
    except TrailerError as e:
        raise BuildError(f"{image}: {e}") from None
    bad = malformed_key(values)
    if bad is not None:
        raise BuildError(f"{image}: metadata value of {bad} is malformed")
    return values


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
    k.add_argument("--force", action="store_true",
                   help="replace existing key files")

    v = sub.add_parser("verify", help="check an image's trailer and signature")
    v.add_argument("image", help="signed image file")
    v.add_argument("--public", required=True, help="public key (PEM or DER)")

    args = parser.parse_args(argv)
    try:
        if args.command == "build":
            values = build_image(args.source, args.output, args.key,
                                 args.compression, args.data_block_size,
                                 args.hash_block_size, args.hash_algorithm,
                                 args.salt, args.mksquashfs_arg)
            print(f"{args.output}: {values['datablocks']} data blocks, "
                  f"root hash {values['roothash']}")
        elif args.command == "verify":
            values = verify_image(args.image, args.public)
            print(f"{args.image}: signature valid, {values['datablocks']} "
                  f"data blocks, root hash {values['roothash']}")
        else:
            written = make_key_pair(args.private, args.public, args.root,
                                    args.type, args.bits, args.force)
            print(f"private key written to {written[0]}")
            for target in written[1:]:
                print(f"public key written to {target}")
    except (BuildError, TrailerError) as e:
        print(f"image-builder: error: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
