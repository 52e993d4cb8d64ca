"""The command line, the console lines of a run and the output file."""

import os
import unittest

from harness import BANNER, IMAGE_SIZE, INIT, USAGE, Case, pattern

CDROM = "unit 0 0 5 pattern 3\n"
NO_CDROM = "unit 0 0 0\n"


class CommandLine(Case):
    def test_wrong_argument_count_prints_usage_only(self):
        for args in ((), ("a.bin", "b.bin"), ("a.bin", "b.bin", "c.bin")):
            with self.subTest(args=args):
                r = self.run_sysgrab(CDROM, args=args)
                self.assertEqual(r.stdout, USAGE)
                self.assertEqual(r.stderr, "")
                self.assertEqual(r.rc, 0)
                # Neither the library nor any file was touched.
                self.assertFalse(r.log_exists)
                self.assertEqual(sorted(os.listdir(self.folder)), ["scenario.txt"])

    def test_successful_run(self):
        r = self.run_sysgrab(CDROM)
        self.assertSuccess(r, 0, 0)
        self.assertEqual(r.image(), b"".join(pattern(3, lba) for lba in range(16)))
        # The library is released after the last read, before the end.
        # (Under the sanitizers dlclose leaves libraries mapped.)
        self.assertEqual(r.log[-1]["kind"], "unload")
        if not os.environ.get("SYSGRAB_SANITIZED"):
            self.assertEqual(r.log[-1]["exiting"], "0")
        self.assertEqual(r.log[-2]["kind"], "exec")


class OutputFile(Case):
    def test_existing_file_is_replaced(self):
        self.write("out.bin", b"\x55" * (3 * IMAGE_SIZE))
        r = self.run_sysgrab(CDROM)
        self.assertSuccess(r, 0, 0)
        self.assertEqual(r.image(), b"".join(pattern(3, lba) for lba in range(16)))

    def test_existing_file_is_left_empty_when_the_run_fails(self):
        for scenario, message in (
            (NO_CDROM, "no cdrom drive found"),
            ("info 0xe800\n", "could not initialize wnaspi32"),
            (CDROM + "block 9 status 0x82\n", "status = 00000082"),
        ):
            with self.subTest(message=message):
                self.write("out.bin", b"old contents")
                r = self.run_sysgrab(scenario)
                self.assertEqual(r.lines[-1], "ERROR: " + message)
                self.assertEqual(r.rc, 1)
                self.assertEqual(r.image(), b"")
                # Error exits leave the library to the end of the process.
                self.assertEqual(r.log[-1], {"kind": "unload", "exiting": "1"})

    def test_file_is_created_before_the_library_is_loaded(self):
        r = self.run_sysgrab(None, variant=None)
        self.assertFails(r, "wnaspi32 library not found")
        self.assertEqual(r.image(), b"")

    def test_output_that_cannot_be_opened(self):
        for name in ("missing-folder/out.bin", "."):
            with self.subTest(name=name):
                r = self.run_sysgrab(CDROM, args=(name,))
                self.assertFails(r, "could not open output file", before=(BANNER,))
                self.assertFalse(r.log_exists, "library loaded after a failed open")

    @unittest.skipUnless(os.path.exists("/dev/full"), "needs /dev/full")
    def test_write_failure_is_an_error(self):
        r = self.run_sysgrab(CDROM, args=("/dev/full",))
        self.assertFails(
            r,
            "could not write output file",
            before=(BANNER, INIT, "using wnaspi32 device 00:00", "extracting ..."),
        )
        self.assertNotIn("extraction complete", r.stdout)

    @unittest.skipUnless(os.environ.get("SYSGRAB_RUNNER", "native") == "native",
                         "a file size limit is a Linux matter")
    def test_write_that_fails_half_way_leaves_the_file_empty(self):
        # A file size limit set in a shell, below the image's size.
        r = self.run_sysgrab(CDROM, shell="ulimit -f 16")
        self.assertEqual(r.lines[-1], "ERROR: could not write output file")
        self.assertEqual(r.rc, 1)
        self.assertEqual(r.image(), b"")


if __name__ == "__main__":
    unittest.main()
