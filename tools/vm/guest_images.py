"""Helpers for the host side of guest suites: file trees and signed images.

Prepare scripts import it from $VM_TOOLS; the paths come from the harness's
environment (IMAGE_BUILDER).
"""
import os
import shutil
import subprocess
import sys


def tree(root, files):
    """Writes {relative path: (bytes, mode)} into a fresh folder root."""
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(root)
    for rel, (content, mode) in files.items():
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)
        os.chmod(path, mode)


def sign_image(source, key, out):
    """Builds the signed verified image of folder source at out."""
    os.makedirs(os.path.dirname(out), exist_ok=True)
    subprocess.run([sys.executable, os.environ["IMAGE_BUILDER"], "build",
                    "--source", source, "--key", key, "--output", out], check=True)


def tampered_copy(image, out):
    """Writes image to out with one byte of its signature changed, so that
    its check must fail before anything is set up."""
    from image_trailer import META_SIZE, TRAILER_SIZE
    with open(image, "rb") as f:
        data = bytearray(f.read())
    data[len(data) - TRAILER_SIZE + META_SIZE + 10] ^= 0xFF
    os.makedirs(os.path.dirname(out), exist_ok=True)
    with open(out, "wb") as f:
        f.write(data)
