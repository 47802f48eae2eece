"""The trailer of a signed verified image: its layout, packing and reading.

The image builder, its tests and the guest suites' prepare scripts all take
the layout from here, so it is written down once (S = file size):

    S - 4096     metadata text, seven "key=value\\n" lines, NUL padded to 1024
    S - 3072     SHA-256 signature over the 1024 metadata bytes, NUL padded
                 to 3072

Reading follows the controller: the metadata is split at line feeds, the
first line with an empty key ends it, unknown keys are ignored, and every
value must have the form the kernel's dm-verity table needs.
"""

import re

TRAILER_SIZE = 4096
META_SIZE = 1024
SIG_SIZE = TRAILER_SIZE - META_SIZE
# The veritysetup superblock between the data area and the hash tree.
VERITY_HEADER_SIZE = 512

# The order in which the metadata lines are written.
META_KEYS = ("hashtype", "datablocks", "datablocksize", "hashblocksize",
             "hashalgorithm", "salt", "roothash")

# Digest lengths (bytes) of the hash algorithms the kernel's dm-verity knows.
DIGEST_SIZES = {"sha1": 20, "sha224": 28, "sha256": 32, "sha384": 48,
                "sha512": 64, "sha3-256": 32, "sha3-512": 64,
                "blake2b-256": 32, "blake2b-512": 64, "sm3": 32}


class TrailerError(Exception):
    """A trailer that cannot be written or read; the text is for the user."""


def metadata_block(values):
    """The 1024-byte metadata area for a dict holding the seven keys."""
    lines = []
    for key in META_KEYS:
        value = str(values.get(key, ""))
        if not value:
            raise TrailerError(f"metadata value '{key}' is empty")
        if any(c in value for c in "\n\r\0"):
            raise TrailerError(f"metadata value '{key}' holds a line break "
                               f"or NUL byte")
        lines.append(f"{key}={value}\n")
    return pad_metadata("".join(lines).encode("ascii"))


def pad_metadata(text):
    """Metadata text NUL padded to the area; raises when it does not fit."""
    if len(text) > META_SIZE:
        raise TrailerError(f"metadata block would not fit: {len(text)} bytes, "
                           f"at most {META_SIZE}")
    return text + b"\0" * (META_SIZE - len(text))


def signature_area(signature):
    """The 3072-byte signature area holding the given signature."""
    if not signature:
        raise TrailerError("empty signature")
    if len(signature) > SIG_SIZE:
        raise TrailerError(f"signature does not fit: {len(signature)} bytes, "
                           f"at most {SIG_SIZE} (use a smaller key)")
    return signature + b"\0" * (SIG_SIZE - len(signature))


def hash_tree_start(data_size, hash_block_size):
    """First hash block after the data area and the 512-byte header."""
    return (data_size + VERITY_HEADER_SIZE + hash_block_size - 1) // hash_block_size


def read_trailer(path):
    """(metadata area, signature area) of the image file at path."""
    with open(path, "rb") as f:
        size = f.seek(0, 2)
        if size <= TRAILER_SIZE:
            raise TrailerError(f"{size} bytes, an image is larger than "
                               f"{TRAILER_SIZE}")
        f.seek(size - TRAILER_SIZE)
        trailer = f.read(TRAILER_SIZE)
    return trailer[:META_SIZE], trailer[META_SIZE:]


def parse_metadata(meta):
    """The seven values of a metadata area as a dict, read as the controller
    reads them; raises TrailerError for an empty value or a missing key."""
    values = {}
    for line in meta.split(b"\n"):
        key, sep, value = line.partition(b"=")
        if not key:
            break
        if not sep:
            value = line
        if not value:
            raise TrailerError(f"metadata line '{line.decode('latin-1')}' "
                               f"has an empty value")
        name = key.decode("latin-1")
        if name in META_KEYS:
            values[name] = value.decode("latin-1")
    missing = [k for k in META_KEYS if k not in values]
    if missing:
        raise TrailerError("metadata lacks " + ", ".join(missing))
    return values


def malformed_key(values):
    """The first key whose value the kernel's table cannot take, else None."""
    def block_size(text):
        return (text.isdigit() and text.isascii() and 512 <= int(text) <= 65536
                and int(text) & (int(text) - 1) == 0)

    def is_hex(text):
        return re.fullmatch(r"[0-9a-fA-F]+", text) is not None

    if values["hashtype"] not in ("0", "1"):
        return "hashtype"
    blocks = values["datablocks"]
    if not (blocks.isdigit() and blocks.isascii()) or int(blocks) == 0:
        return "datablocks"
    for key in ("datablocksize", "hashblocksize"):
        if not block_size(values[key]):
            return key
    if int(blocks) > (2**64 - 1 - 2 * 65536) // int(values["datablocksize"]):
        return "datablocks"
    digest = DIGEST_SIZES.get(values["hashalgorithm"])
    if digest is None:
        return "hashalgorithm"
    if len(values["roothash"]) != 2 * digest or not is_hex(values["roothash"]):
        return "roothash"
    salt = values["salt"]
    if salt != "-" and (len(salt) % 2 or not is_hex(salt)):
        return "salt"
    return None


def der_sequence_length(data):
    """Length of the DER SEQUENCE at the front of data (an ECDSA signature),
    None when data does not start with one."""
    if len(data) < 2 or data[0] != 0x30:
        return None
    if data[1] < 0x80:
        return 2 + data[1]
    count = data[1] & 0x7F
    if count == 0 or count > 4 or len(data) < 2 + count:
        return None
    return 2 + count + int.from_bytes(data[2:2 + count], "big")
