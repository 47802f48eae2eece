#!/usr/bin/env python3
"""Renders every manual page and compares the options it lists with the
program's own option list, so a page cannot fall behind its program.

usage: check_man_pages.py <quillon program>

Each page must render without a groff warning. Where the program prints its
options (quillon -h, the listener's and the image builder's --help), the
options named in the page's SYNOPSIS and those it describes under OPTIONS
must each be exactly the program's.
"""

import os
import re
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOOLS = os.path.join(HERE, "..", "tools")
QUILLON = None
# An option token: a dash or two and a letter, not inside a word or path
# ("tessaly-listener", "squashfs-xz-dmverity" are no options).
OPTION = re.compile(r"(?<![\w./-])--?[A-Za-z][\w-]*")


def output(argv, **kwargs):
    return subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=60,
                          check=False, **kwargs)


def render(page):
    env = dict(os.environ, MANWIDTH="200", MAN_KEEP_FORMATTING="", LC_ALL="C.UTF-8")
    r = output(["man", "-P", "cat", "-l", os.path.join(HERE, page)], env=env)
    if r.returncode != 0:
        raise AssertionError(f"man -l {page}: {r.stderr}")
    return r.stdout


def sections(text):
    """{section heading: [lines]} of a rendered page."""
    found = {}
    current = None
    for line in text.splitlines():
        if re.fullmatch(r"[A-Z][A-Z ]+", line):
            current = line
            found[current] = []
        elif current is not None:
            found[current].append(line)
    return found


def synopsis_options(text):
    return set(OPTION.findall("\n".join(sections(text).get("SYNOPSIS", []))))


def described_options(text):
    """Options in the tags of the OPTIONS section (the indented entry heads)."""
    found = set()
    for line in sections(text).get("OPTIONS", []):
        match = re.match(r" {7}(-\S.*)", line)
        if match:
            tag = re.split(r" {2,}", match.group(1))[0]
            found |= set(OPTION.findall(tag))
    return found


def help_options(argv):
    r = output(argv)
    if r.returncode != 0:
        raise AssertionError(f"{argv}: exit status {r.returncode}: {r.stderr}")
    # argparse's long spelling of -h is not worth a line in a page.
    return set(OPTION.findall(r.stdout)) - {"--help"}


class Pages(unittest.TestCase):
    def test_every_page_renders_without_warnings(self):
        pages = sorted(p for p in os.listdir(HERE) if re.fullmatch(r".+\.[1-8]", p))
        self.assertEqual(pages, ["quillon-image-builder.1", "quillon.8", "tessaly-listener.1", "tessaly.8"])
        for page in pages:
            with self.subTest(page):
                r = output(["groff", "-man", "-ww", "-z", os.path.join(HERE, page)])
                self.assertEqual((r.returncode, r.stderr), (0, ""))
                text = render(page)
                self.assertIn("NAME", sections(text))
                self.assertIn("SYNOPSIS", sections(text))

    def compare(self, page, program):
        text = render(page)
        with self.subTest(page, part="SYNOPSIS"):
            self.assertEqual(synopsis_options(text), program)
        with self.subTest(page, part="OPTIONS"):
            self.assertEqual(described_options(text), program)

    def test_listener(self):
        self.compare("tessaly-listener.1",
                     help_options([sys.executable, os.path.join(TOOLS, "listener", "ids_listener.py"), "-h"]))

    def test_image_builder(self):
        builder = os.path.join(TOOLS, "image-builder", "image_builder.py")
        program = help_options([sys.executable, builder, "-h"])
        for command in ("keygen", "build", "verify"):
            program |= help_options([sys.executable, builder, command, "-h"])
        self.compare("quillon-image-builder.1", program)

    def test_quillon(self):
        # The usage lists the options; -h itself is what prints it.
        self.compare("quillon.8", help_options([QUILLON, "-h"]) | {"-h"})

    def test_tessaly_takes_no_option(self):
        self.assertEqual(synopsis_options(render("tessaly.8")), set())


if __name__ == "__main__":
    QUILLON = sys.argv.pop(1)
    unittest.main()
