#!/usr/bin/env python3
"""Checks the images written by image_builder.py byte for byte."""

import os
import re
import struct
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import image_builder as ib  # noqa: E402
import image_trailer as it  # noqa: E402

TOOL = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                    "image_builder.py")
SALT = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff"


def run(argv, check=True):
    return subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, check=check)


def make_tree(root):
    os.makedirs(os.path.join(root, "etc"))
    os.makedirs(os.path.join(root, "bin"))
    with open(os.path.join(root, "etc", "hello.txt"), "w") as f:
        f.write("hello from the image\n")
    # Incompressible content so the image spans many data blocks and the
    # hash tree has more than one level.
    with open(os.path.join(root, "bin", "blob"), "wb") as f:
        f.write(os.urandom(600 * 1024))


def veritysetup_verify(image, meta):
    """Verifies with the trailer's metadata alone, as the kernel sees it:
    no superblock, the tree read from block H of the hash block size."""
    d = int(meta["datablocks"]) * int(meta["datablocksize"])
    b = int(meta["hashblocksize"])
    tree = it.hash_tree_start(d, b) * b
    return run(["veritysetup", "verify", f"--hash-offset={tree}",
                f"--data-blocks={meta['datablocks']}",
                f"--data-block-size={meta['datablocksize']}",
                f"--hash-block-size={meta['hashblocksize']}",
                f"--hash={meta['hashalgorithm']}", f"--salt={meta['salt']}",
                "--no-superblock", image, image, meta["roothash"]],
               check=False)


def parse_meta(block):
    text = block.rstrip(b"\0").decode("ascii")
    return dict(line.split("=", 1) for line in text.splitlines())


class Fixture(unittest.TestCase):
    key_type = "rsa"

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="image-builder-test-")
        cls.dir = cls.tmp.name
        cls.src = os.path.join(cls.dir, "src")
        make_tree(cls.src)
        cls.key = os.path.join(cls.dir, "key.pem")
        cls.pub = os.path.join(cls.dir, "pub.pem")
        ib.make_key_pair(cls.key, cls.pub, key_type=cls.key_type)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

    def signature_bytes(self, area):
        """The signature at the front of the area, without the padding."""
        if self.key_type == "rsa":
            return area[:256]
        self.assertEqual(area[0], 0x30)  # DER SEQUENCE of r and s
        return area[:2 + area[1]]

    def openssl_verify(self, meta, sig):
        m = os.path.join(self.dir, "m.bin")
        s = os.path.join(self.dir, "s.bin")
        with open(m, "wb") as f:
            f.write(meta)
        with open(s, "wb") as f:
            f.write(sig)
        return run(["openssl", "dgst", "-sha256", "-verify", self.pub,
                    "-signature", s, m], check=False).returncode == 0


class LayoutRsaXz(Fixture):
    def test_layout_byte_for_byte(self):
        image = os.path.join(self.dir, "rsa.img")
        values = ib.build_image(self.src, image, self.key, salt=SALT)
        data = self.read(image)
        size = len(data)
        blocks = int(values["datablocks"])
        d = blocks * 4096

        # Data area: a squashfs (xz = compression id 4) padded with zeros.
        self.assertEqual(data[:4], b"hsqs")
        self.assertEqual(struct.unpack_from("<H", data, 20)[0], 4)
        used = struct.unpack_from("<Q", data, 40)[0]
        self.assertLessEqual(used, d)
        self.assertGreater(used, d - 4096)
        self.assertEqual(data[used:d], b"\0" * (d - used))

        # Hash area header: the veritysetup superblock at D.
        self.assertEqual(data[d:d + 8], b"verity\0\0")
        version, hash_type = struct.unpack_from("<II", data, d + 8)
        self.assertEqual((version, hash_type), (1, 1))
        self.assertEqual(data[d + 32:d + 38], b"sha256")
        dbs, hbs, nblocks, salt_size = struct.unpack_from("<IIQH", data, d + 64)
        self.assertEqual((dbs, hbs, nblocks, salt_size), (4096, 4096, blocks, 32))
        self.assertEqual(data[d + 88:d + 120], bytes.fromhex(SALT))

        # Padding up to the hash tree at H * B; the tree is non-empty.
        tree = it.hash_tree_start(d, 4096) * 4096
        self.assertEqual(tree, d + 4096)
        self.assertEqual(data[d + 512:tree], b"\0" * (tree - d - 512))
        self.assertGreater(size - 4096, tree)
        self.assertNotEqual(data[tree:tree + 32], b"\0" * 32)
        self.assertEqual((size - 4096) % 4096, 0)

        # Trailer: exact metadata text, NUL padded, then the signature.
        meta = data[size - 4096:size - 3072]
        expected = (f"hashtype=1\ndatablocks={blocks}\ndatablocksize=4096\n"
                    f"hashblocksize=4096\nhashalgorithm=sha256\n"
                    f"salt={SALT}\nroothash={values['roothash']}\n").encode()
        self.assertEqual(meta, expected + b"\0" * (1024 - len(expected)))
        self.assertRegex(values["roothash"], "^[0-9a-f]{64}$")
        sig_area = data[size - 3072:]
        sig = self.signature_bytes(sig_area)
        self.assertEqual(sig_area[len(sig):], b"\0" * (3072 - len(sig)))
        self.assertTrue(self.openssl_verify(meta, sig))
        # The signature covers the padding too.
        self.assertFalse(self.openssl_verify(meta[:-1] + b"\1", sig))

        # veritysetup accepts the data and hash areas with the metadata of
        # the trailer alone, and a flipped data byte is caught.
        self.assertEqual(veritysetup_verify(image, parse_meta(meta)).returncode,
                         0)
        flipped = bytearray(data)
        flipped[used // 2] ^= 0xFF
        bad = os.path.join(self.dir, "flipped.img")
        with open(bad, "wb") as f:
            f.write(flipped)
        self.assertNotEqual(veritysetup_verify(bad, parse_meta(meta)).returncode,
                            0)

    def test_content_survives(self):
        image = os.path.join(self.dir, "content.img")
        ib.build_image(self.src, image, self.key)
        out = os.path.join(self.dir, "unpacked")
        run(["unsquashfs", "-no-progress", "-d", out, image])
        with open(os.path.join(out, "etc", "hello.txt")) as f:
            self.assertEqual(f.read(), "hello from the image\n")
        self.assertEqual(self.read(os.path.join(out, "bin", "blob")),
                         self.read(os.path.join(self.src, "bin", "blob")))

    def test_small_data_blocks_leave_padding_before_tree(self):
        image = os.path.join(self.dir, "small.img")
        values = ib.build_image(self.src, image, self.key,
                                data_block_size=1024, hash_block_size=4096)
        data = self.read(image)
        d = int(values["datablocks"]) * 1024
        self.assertEqual(values["datablocksize"], "1024")
        self.assertEqual(data[d:d + 6], b"verity")
        tree = it.hash_tree_start(d, 4096) * 4096
        self.assertEqual(tree % 4096, 0)
        self.assertGreaterEqual(tree, d + 512)
        self.assertEqual(data[d + 512:tree], b"\0" * (tree - d - 512))
        meta = parse_meta(data[-4096:-3072])
        self.assertEqual(veritysetup_verify(image, meta).returncode, 0)


class LayoutEcLzo(Fixture):
    key_type = "ec"

    def test_lzo_image_with_ecdsa_signature(self):
        image = os.path.join(self.dir, "ec.img")
        ib.build_image(self.src, image, self.key, compression="lzo")
        data = self.read(image)
        self.assertEqual(struct.unpack_from("<H", data, 20)[0], 3)  # lzo
        meta = data[-4096:-3072]
        sig_area = data[-3072:]
        sig = self.signature_bytes(sig_area)
        self.assertEqual(sig_area[len(sig):], b"\0" * (3072 - len(sig)))
        self.assertTrue(self.openssl_verify(meta, sig))
        self.assertEqual(veritysetup_verify(image, parse_meta(meta)).returncode,
                         0)


class Errors(Fixture):
    def cli(self, *args):
        return run([sys.executable, TOOL] + list(args), check=False)

    def test_missing_source_directory(self):
        out = os.path.join(self.dir, "never.img")
        r = self.cli("build", "--source", os.path.join(self.dir, "nope"),
                     "--key", self.key, "--output", out)
        self.assertEqual(r.returncode, 1)
        self.assertIn("source directory not found", r.stderr)
        self.assertFalse(os.path.exists(out))

    def test_missing_key(self):
        out = os.path.join(self.dir, "never.img")
        r = self.cli("build", "--source", self.src, "--key",
                     os.path.join(self.dir, "nokey.pem"), "--output", out)
        self.assertEqual(r.returncode, 1)
        self.assertIn("private key not found", r.stderr)
        self.assertFalse(os.path.exists(out))

    def test_unusable_key_leaves_no_file(self):
        bad_key = os.path.join(self.dir, "bad.pem")
        with open(bad_key, "w") as f:
            f.write("not a key\n")
        out = os.path.join(self.dir, "never.img")
        r = self.cli("build", "--source", self.src, "--key", bad_key,
                     "--output", out)
        self.assertEqual(r.returncode, 1)
        self.assertIn("signing the metadata with openssl failed", r.stderr)
        self.assertFalse(os.path.exists(out))
        self.assertEqual([n for n in os.listdir(self.dir)
                          if n.startswith(".image-builder-")], [])

    def test_metadata_that_does_not_fit(self):
        values = {k: "1" for k in it.META_KEYS}
        values["salt"] = "ab" * 600
        with self.assertRaisesRegex(it.TrailerError,
                                    "metadata block would not fit"):
            it.metadata_block(values)
        # One byte short of the limit still fits.
        values["salt"] = ""
        fixed = len(it.metadata_block({**values, "salt": "a"}).rstrip(b"\0"))
        values["salt"] = "a" * (1024 - fixed + 1)
        self.assertEqual(len(it.metadata_block(values)), 1024)
        values["salt"] += "a"
        with self.assertRaises(it.TrailerError):
            it.metadata_block(values)

    def test_metadata_values_without_line_breaks(self):
        values = {k: "1" for k in it.META_KEYS}
        values["roothash"] = "ab\ncd"
        with self.assertRaisesRegex(it.TrailerError, "line break"):
            it.metadata_block(values)
        values["roothash"] = ""
        with self.assertRaisesRegex(it.TrailerError, "'roothash' is empty"):
            it.metadata_block(values)

    def test_bad_block_size(self):
        with self.assertRaisesRegex(ib.BuildError, "power of two"):
            ib.build_image(self.src, os.path.join(self.dir, "x.img"),
                           self.key, data_block_size=3000)

    def test_veritysetup_output_without_root_hash(self):
        with self.assertRaisesRegex(ib.BuildError, "roothash"):
            ib.parse_veritysetup_format("Hash type: 1\nSalt: ab\n")


class Verify(Fixture):
    """verify accepts what the controller accepts and refuses the rest."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.image = os.path.join(cls.dir, "good.img")
        ib.build_image(cls.src, cls.image, cls.key)
        cls.ec_key = os.path.join(cls.dir, "ec.pem")
        cls.ec_pub = os.path.join(cls.dir, "ec_pub.pem")
        ib.make_key_pair(cls.ec_key, cls.ec_pub, key_type="ec")

    def verify(self, image, public=None):
        return run([sys.executable, TOOL, "verify", image, "--public",
                    public or self.pub], check=False)

    def changed(self, name, offset, replace=None):
        """A copy of the good image with the byte at offset from the end
        flipped, or the trailer replaced."""
        data = bytearray(self.read(self.image))
        if replace is None:
            data[len(data) - offset] ^= 0x01
        else:
            data[-it.TRAILER_SIZE:] = replace
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def signed_trailer(self, text):
        meta = it.pad_metadata(text)
        m = os.path.join(self.dir, "meta.bin")
        with open(m, "wb") as f:
            f.write(meta)
        sig = subprocess.run(["openssl", "dgst", "-sha256", "-sign", self.key, m],
                             stdout=subprocess.PIPE, check=True).stdout
        return meta + it.signature_area(sig)

    def test_good_image(self):
        r = self.verify(self.image)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertRegex(r.stdout, r"^.*good\.img: signature valid, \d+ data "
                         r"blocks, root hash [0-9a-f]{64}\n$")

    def test_refusals_are_one_line(self):
        other = os.path.join(self.dir, "other.img")
        ib.build_image(self.src, other, self.ec_key)
        meta = self.read(self.image)[-it.TRAILER_SIZE:-it.SIG_SIZE]
        cases = {
            # a root hash digit, a signature byte, a padding byte
            "meta.img": ("signature does not verify",
                         self.changed("meta.img", it.TRAILER_SIZE - 300)),
            "sig.img": ("signature does not verify",
                        self.changed("sig.img", it.SIG_SIZE - 5)),
            "pad.img": ("signature does not verify",
                        self.changed("pad.img", it.SIG_SIZE + 1)),
            "foreign key": ("signature does not verify",
                            other),
            "bad datablocks": ("metadata value of datablocks is malformed",
                               self.changed("blocks.img", 0, self.signed_trailer(
                                   re.sub(rb"datablocks=\d+", b"datablocks=many",
                                          meta.rstrip(b"\0"))))),
            "no roothash": ("metadata lacks roothash",
                            self.changed("noroot.img", 0, self.signed_trailer(
                                re.sub(rb"roothash=\w+\n", b"", meta.rstrip(b"\0"))))),
        }
        for name, (message, image) in cases.items():
            with self.subTest(name):
                r = self.verify(image)
                self.assertEqual(r.returncode, 1)
                self.assertEqual(r.stdout, "")
                self.assertEqual(len(r.stderr.splitlines()), 1, r.stderr)
                self.assertIn(message, r.stderr)
        # The ECDSA image verifies with its own key only.
        self.assertEqual(self.verify(other, self.ec_pub).returncode, 0)
        self.assertEqual(self.verify(self.image, self.ec_pub).returncode, 1)

    def test_a_trailer_alone_is_no_image(self):
        tiny = os.path.join(self.dir, "tiny.img")
        with open(tiny, "wb") as f:
            f.write(self.read(self.image)[-it.TRAILER_SIZE:])
        r = self.verify(tiny)
        self.assertEqual(r.returncode, 1)
        self.assertIn("4096 bytes, an image is larger than 4096", r.stderr)

    def test_veritysetup_found_outside_a_users_path(self):
        out = os.path.join(self.dir, "user.img")
        r = subprocess.run([sys.executable, TOOL, "build", "--source", self.src,
                            "--key", self.key, "--output", out],
                           env=dict(os.environ, PATH="/usr/bin:/bin"),
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           text=True, check=False)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.verify(out).returncode, 0)


class Keys(unittest.TestCase):
    def test_keygen_writes_public_key_into_root(self):
        with tempfile.TemporaryDirectory() as tmp:
            root = os.path.join(tmp, "root")
            os.mkdir(root)
            key = os.path.join(tmp, "k.pem")
            r = run([sys.executable, TOOL, "keygen", "--private", key,
                     "--root", root, "--type", "ec"])
            pub = os.path.join(root, "etc", "container_key_pub.pem")
            self.assertIn(pub, r.stdout)
            with open(pub) as f:
                self.assertTrue(f.read().startswith("-----BEGIN PUBLIC KEY-----"))
            derived = run(["openssl", "pkey", "-in", key, "-pubout"]).stdout
            with open(pub) as f:
                self.assertEqual(f.read(), derived)
            self.assertEqual(os.stat(key).st_mode & 0o777, 0o600)

    def test_keygen_keeps_existing_keys_unless_forced(self):
        with tempfile.TemporaryDirectory() as tmp:
            root = os.path.join(tmp, "root")
            os.mkdir(root)
            key = os.path.join(tmp, "k.pem")
            pub = os.path.join(tmp, "p.pem")
            in_root = os.path.join(root, "etc", "container_key_pub.pem")
            keygen = [sys.executable, TOOL, "keygen", "--private", key,
                      "--public", pub, "--root", root, "--type", "ec"]
            r = run(keygen)
            self.assertEqual(r.stdout.splitlines(),
                             [f"private key written to {key}",
                              f"public key written to {pub}",
                              f"public key written to {in_root}"])
            before = {p: self.read(p) for p in (key, pub, in_root)}
            # Any one of the three existing is enough to refuse, and nothing
            # is touched then.
            for kept in (key, pub, in_root):
                others = [p for p in before if p != kept]
                for p in others:
                    os.rename(p, p + ".away")
                r = run(keygen, check=False)
                self.assertEqual(r.returncode, 1)
                self.assertIn(f"{kept} already exists", r.stderr)
                self.assertIn("--force", r.stderr)
                self.assertEqual(r.stdout, "")
                self.assertEqual(self.read(kept), before[kept])
                for p in others:
                    self.assertFalse(os.path.exists(p))
                    os.rename(p + ".away", p)
            r = run(keygen + ["--force"])
            self.assertEqual(len(r.stdout.splitlines()), 3)
            for p in before:
                self.assertNotEqual(self.read(p), before[p])

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

    def test_keygen_needs_a_target(self):
        with tempfile.TemporaryDirectory() as tmp:
            r = run([sys.executable, TOOL, "keygen", "--private",
                     os.path.join(tmp, "k.pem")], check=False)
            self.assertEqual(r.returncode, 1)
            self.assertIn("keygen needs --public or --root", r.stderr)


if __name__ == "__main__":
    unittest.main()
