"""Real disc images made by xorriso."""

import os
import shutil
import subprocess
import unittest

from harness import BLOCK, IMAGE_SIZE, Case


@unittest.skipUnless(shutil.which("xorriso"), "needs xorriso (scripts/setup.sh native)")
class DiscImage(Case):
    def make_disc(self):
        tree = self.path("tree")
        os.makedirs(tree)
        with open(os.path.join(tree, "README.TXT"), "w") as f:
            f.write("a file on the disc\n")
        random_bytes = os.urandom(IMAGE_SIZE)
        system_area = self.write("system-area.bin", random_bytes)
        disc = self.path("disc.iso")
        subprocess.run(
            ["xorriso", "-as", "mkisofs", "-V", "SYSGRAB_TEST", "-G", system_area,
             "-o", disc, tree],
            check=True, capture_output=True)
        with open(disc, "rb") as f:
            data = f.read()
        # The random system area fills blocks 0-15; the volume descriptors follow.
        self.assertEqual(data[:IMAGE_SIZE], random_bytes)
        self.assertEqual(data[IMAGE_SIZE + 1:IMAGE_SIZE + 6], b"CD001")
        return disc, data

    def test_image_equals_the_first_32_kib(self):
        disc, data = self.make_disc()
        r = self.run_sysgrab("unit 0 0 0\nunit 0 1 5 image %s\n" % disc)
        self.assertSuccess(r, 0, 1)
        self.assertEqual(r.image(), data[:IMAGE_SIZE])

    def test_disc_shorter_than_sixteen_blocks(self):
        # Blocks past the end fail with a check condition and transfer
        # nothing: their slots stay 0xFF.
        disc, data = self.make_disc()
        short = self.write("short.iso", data[:5 * BLOCK])
        r = self.run_sysgrab("unit 0 0 5 image %s\n" % short)
        self.assertSuccess(r, 0, 0)
        self.assertEqual(r.image(), data[:5 * BLOCK] + b"\xff" * (11 * BLOCK))


if __name__ == "__main__":
    unittest.main()
