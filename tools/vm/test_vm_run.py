#!/usr/bin/env python3
"""Unit tests of the host driver's pure parts: result parsing, the initramfs
archive and the library shipping."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kernel_build  # noqa: E402
import vm_cache  # noqa: E402
import vm_cpio  # noqa: E402
import vm_results  # noqa: E402
import vm_stage  # noqa: E402
from vm_common import HarnessError  # noqa: E402


class KernelFragment(unittest.TestCase):
    def test_options_and_refused_lines(self):
        opts = kernel_build.fragment_options(
            "# comment\nCONFIG_A=y\n\n# CONFIG_B is not set\nCONFIG_LSM=\"smack\"\n")
        self.assertEqual(opts, {"CONFIG_A": "y", "CONFIG_B": "n",
                                "CONFIG_LSM": '"smack"'})
        with self.assertRaises(kernel_build.KernelBuildError):
            kernel_build.fragment_options("SECURITY_SMACK=y\n")

    def test_mismatches_after_olddefconfig(self):
        wanted = {"CONFIG_A": "y", "CONFIG_B": "n", "CONFIG_C": "y",
                  "CONFIG_LSM": '"smack"'}
        config = ("CONFIG_A=y\nCONFIG_B=y\n# CONFIG_C is not set\n"
                  'CONFIG_LSM="landlock,smack"\n')
        self.assertEqual(kernel_build.config_mismatches(wanted, config), [
            "CONFIG_B: wanted n, got y", "CONFIG_C: wanted y, got n",
            'CONFIG_LSM: wanted "smack", got "landlock,smack"'])
        # An option kconfig dropped for a missing dependency is absent.
        self.assertEqual(kernel_build.config_mismatches({"CONFIG_D": "y"}, ""),
                         ["CONFIG_D: wanted y, got n"])
        self.assertEqual(kernel_build.config_mismatches(
            {"CONFIG_A": "y", "CONFIG_E": "n"}, "CONFIG_A=y\n"), [])

    def test_cache_key_follows_version_and_fragment(self):
        a = kernel_build.cache_key("6.1.1-1", b"CONFIG_A=y\n")
        self.assertNotEqual(a, kernel_build.cache_key("6.1.1-2", b"CONFIG_A=y\n"))
        self.assertNotEqual(a, kernel_build.cache_key("6.1.1-1", b"CONFIG_A=m\n"))
        self.assertEqual(a, kernel_build.cache_key("6.1.1-1", b"CONFIG_A=y\n"))

    def test_smack_fragment_has_what_the_guests_need(self):
        with open(os.path.join(os.path.dirname(os.path.abspath(__file__)),
                               "kernel", "smack.config")) as f:
            opts = kernel_build.fragment_options(f.read())
        for name, value in [("CONFIG_MODULES", "n"), ("CONFIG_SECURITY_SMACK", "y"),
                            ("CONFIG_LSM", '"smack"'), ("CONFIG_DM_VERITY", "y"),
                            ("CONFIG_BLK_DEV_LOOP", "y"), ("CONFIG_SQUASHFS", "y"),
                            ("CONFIG_OVERLAY_FS", "y"), ("CONFIG_EXT4_FS", "y"),
                            ("CONFIG_BPF_SYSCALL", "y"), ("CONFIG_CGROUP_BPF", "y")]:
            self.assertEqual(opts.get(name), value, name)


class ParseResults(unittest.TestCase):
    def test_results_with_output_and_done(self):
        text = ("@@BEGIN 10-a\nline one\nline two\n@@RESULT 10-a PASS 0\n"
                "@@BEGIN 20-b\n@@RESULT 20-b FAIL 3\n"
                "@@BEGIN 30-c\nskipped\n@@RESULT 30-c SKIP 77\n@@DONE 3\n")
        results, done = vm_results.parse_results(text)
        self.assertEqual(done, 3)
        self.assertEqual(results["10-a"], ("PASS", "0", "line one\nline two"))
        self.assertEqual(results["20-b"], ("FAIL", "3", ""))
        self.assertEqual(results["30-c"], ("SKIP", "77", "skipped"))

    def test_guest_that_stopped_early(self):
        text = "@@BEGIN 10-a\npartial output\n"
        results, done = vm_results.parse_results(text)
        self.assertIsNone(done)
        self.assertEqual(results, {})

    def test_early_stop_is_told_apart_and_its_end_named(self):
        with tempfile.TemporaryDirectory() as work:
            def write(name, text):
                with open(os.path.join(work, name), "w") as f:
                    f.write(text)
            write("results.txt", "@@BEGIN 10-a\n@@RESULT 10-a PASS 0\n@@BEGIN 20-b\n")
            write("console.log", "[ 5.0] loop0: detected\n"
                  "[ 6.0] Kernel panic - not syncing: Attempted to kill init!\n"
                  "[ 6.1] ---[ end Kernel panic ]---\n")
            self.assertTrue(vm_results.stopped_early(work, 0, False))
            self.assertIn("end Kernel panic", vm_results.how_it_ended(work))
            # A hung guest killed by the driver and a qemu that failed are not
            # early stops; neither is a guest that reported it was done.
            self.assertFalse(vm_results.stopped_early(work, 0, True))
            self.assertFalse(vm_results.stopped_early(work, 1, False))
            write("results.txt", "@@BEGIN 10-a\n@@RESULT 10-a PASS 0\n@@DONE 1\n")
            self.assertFalse(vm_results.stopped_early(work, 0, False))
            write("console.log", "[ 5.0] loop0: detected\n")
            self.assertEqual(vm_results.how_it_ended(work), "")

    def test_output_that_looks_like_a_marker_inside_a_line(self):
        text = "@@BEGIN x\nsays @@RESULT x PASS 0\n@@RESULT x FAIL 1\n@@DONE 1\n"
        results, _ = vm_results.parse_results(text)
        self.assertEqual(results["x"][0], "FAIL")
        self.assertIn("says @@RESULT", results["x"][2])


class KernelPackage(unittest.TestCase):
    def test_versioned_package_from_depends(self):
        self.assertEqual(
            vm_cache.kernel_package("linux-image-6.1.0-57-cloud-amd64 (= 6.1.192-3)"),
            "linux-image-6.1.0-57-cloud-amd64")

    def test_unsigned_variant_is_not_taken(self):
        self.assertEqual(
            vm_cache.kernel_package("linux-image-6.1.0-9-cloud-amd64-unsigned | "
                                  "linux-image-6.1.0-9-cloud-amd64"),
            "linux-image-6.1.0-9-cloud-amd64")

    def test_no_kernel(self):
        with self.assertRaises(HarnessError):
            vm_cache.kernel_package("kmod, linux-base")

    def test_arm64_package_and_no_other_architecture(self):
        self.assertEqual(
            vm_cache.kernel_package("linux-image-6.1.0-57-cloud-arm64 (= 6.1.192-3)",
                                  "arm64"),
            "linux-image-6.1.0-57-cloud-arm64")
        with self.assertRaises(HarnessError):
            vm_cache.kernel_package("linux-image-6.1.0-57-cloud-amd64", "arm64")


class Cpio(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="vm-cpio-test-")
        self.addCleanup(shutil.rmtree, self.tmp)
        root = os.path.join(self.tmp, "root")
        os.makedirs(os.path.join(root, "bin"))
        os.makedirs(os.path.join(root, "empty"))
        with open(os.path.join(root, "bin", "tool"), "wb") as f:
            f.write(b"#!/bin/sh\necho odd-length\n")
        os.chmod(os.path.join(root, "bin", "tool"), 0o755)
        os.symlink("tool", os.path.join(root, "bin", "link"))
        self.archive = os.path.join(self.tmp, "initramfs.cpio")
        vm_cpio.write_cpio(root, self.archive)

    def cpio(self, *args):
        with open(self.archive, "rb") as f:
            return subprocess.run(["cpio", "--quiet"] + list(args), stdin=f,
                                  stdout=subprocess.PIPE, check=True).stdout

    def test_listing_with_modes_owners_and_device_nodes(self):
        listing = self.cpio("-itv", "--numeric-uid-gid").decode()
        entries = {line.split()[-1] if "->" not in line else
                   line.split()[-3]: line for line in listing.splitlines()}
        self.assertEqual(sorted(entries), ["bin", "bin/link", "bin/tool",
                                           "dev/console", "dev/null", "empty"])
        self.assertTrue(entries["bin/tool"].startswith("-rwxr-xr-x"))
        self.assertTrue(entries["bin/link"].startswith("lrwxrwxrwx"))
        self.assertTrue(entries["bin/link"].endswith("-> tool"))
        self.assertTrue(entries["empty"].startswith("d"))
        self.assertRegex(entries["dev/console"], r"^crw------- +1 0 +0 +5, +1 ")
        self.assertRegex(entries["dev/null"], r"^crw-rw-rw- +1 0 +0 +1, +3 ")
        for line in listing.splitlines():
            self.assertRegex(line, r"^\S+ +1 0 +0 ")

    def test_file_content_survives(self):
        self.assertEqual(self.cpio("-i", "--to-stdout", "bin/tool"),
                         b"#!/bin/sh\necho odd-length\n")


class Libraries(unittest.TestCase):
    def test_dynamic_program_lists_loader_and_libraries(self):
        libs = vm_stage.shared_libraries(os.path.realpath(
            shutil.which("veritysetup", path="/usr/sbin:/sbin")))
        names = [os.path.basename(p) for p in libs]
        self.assertIn("libcryptsetup.so.12", names)
        self.assertTrue(any(n.startswith("ld-linux") for n in names))

    def test_static_program_has_none(self):
        static = shutil.which("busybox")
        out = subprocess.run(["ldd", static], stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True).stdout
        if "not a dynamic executable" not in out:
            self.skipTest("host busybox is not static")
        self.assertEqual(vm_stage.shared_libraries(static), [])

    def test_library_lands_at_its_real_path_with_the_loader_name(self):
        with tempfile.TemporaryDirectory() as tmp:
            stage = vm_stage.Stage(tmp)
            lib = next(p for p in vm_stage.shared_libraries(
                os.path.realpath(shutil.which("veritysetup",
                                              path="/usr/sbin:/sbin")))
                if "libcryptsetup" in p)
            stage.add_library(lib)
            real = os.path.realpath(lib)
            self.assertTrue(os.path.isfile(stage.path(real)))
            name = os.path.join(os.path.realpath(os.path.dirname(lib)),
                                os.path.basename(lib))
            self.assertTrue(os.path.exists(stage.path(name)))
            with open(stage.path(name), "rb") as a, open(real, "rb") as b:
                self.assertEqual(a.read(), b.read())


class ForeignPrograms(unittest.TestCase):
    """Shipping by ELF headers alone, as for another architecture: checked
    against the host's own programs and multiarch folder."""

    multiarch = "x86_64-linux-gnu"

    def test_library_closure_matches_the_loader(self):
        program = os.path.realpath(shutil.which("veritysetup",
                                                path="/usr/sbin:/sbin"))
        by_elf = {os.path.basename(p) for p in
                  vm_stage.foreign_libraries(program, self.multiarch)}
        by_ldd = {os.path.basename(p) for p in vm_stage.shared_libraries(program)}
        self.assertEqual(by_elf, by_ldd)

    def test_program_from_unpacked_packages_through_a_link(self):
        with tempfile.TemporaryDirectory() as tmp:
            sysroot = os.path.join(tmp, "sysroot")
            os.makedirs(os.path.join(sysroot, "sbin"))
            shutil.copy(os.path.realpath(shutil.which("mke2fs", path="/usr/sbin:/sbin")),
                        os.path.join(sysroot, "sbin", "mke2fs"))
            os.symlink("mke2fs", os.path.join(sysroot, "sbin", "mkfs.ext4"))
            stage = vm_stage.Stage(os.path.join(tmp, "stage"), "amd64", sysroot)
            stage.arch = dict(stage.arch, multiarch=self.multiarch)
            stage.add_program("mkfs.ext4")
            self.assertTrue(os.path.isfile(stage.path("/sbin/mkfs.ext4")))
            self.assertFalse(os.path.islink(stage.path("/sbin/mkfs.ext4")))
            libext2fs = [p for p in vm_stage.shared_libraries(
                stage.path("/sbin/mkfs.ext4")) if "libext2fs" in p]
            self.assertTrue(os.path.exists(stage.path(os.path.realpath(libext2fs[0]))))

    def test_missing_program_is_an_error(self):
        with tempfile.TemporaryDirectory() as tmp:
            stage = vm_stage.Stage(os.path.join(tmp, "stage"), "arm64", tmp)
            with self.assertRaises(HarnessError):
                stage.add_program("no-such-program")


if __name__ == "__main__":
    unittest.main()
