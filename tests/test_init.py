"""Binding the library and checking its support information."""

import unittest

from harness import Case

CDROM = "unit 0 0 5\n"


class Binding(Case):
    def test_missing_library(self):
        r = self.run_sysgrab(CDROM, variant=None)
        self.assertFails(r, "wnaspi32 library not found")
        self.assertFalse(r.log_exists)

    def test_library_without_an_entry_point(self):
        for variant in ("sim-noinfo", "sim-nocommand"):
            with self.subTest(variant=variant):
                r = self.run_sysgrab(CDROM, variant=variant)
                self.assertFails(r, "invalid wnaspi32 version")
                # Neither entry point is called once one is missing.
                self.assertEqual(r.requests, [])


class SupportInfo(Case):
    def test_status_byte_must_be_ready(self):
        # Whatever the adapter count, a status other than 1 fails, 81h too.
        for word in (0x0000, 0x0003, 0x0201, 0xE401, 0xE800, 0xFF05, 0x1FF01, 0x8101):
            with self.subTest(word=hex(word)):
                r = self.run_sysgrab(CDROM + "info %#x\n" % word)
                self.assertFails(r, "could not initialize wnaspi32")
                self.assertEqual(r.requests, ["info"])

    def test_no_adapters(self):
        for word in (0x0100, 0xABCD0100):
            with self.subTest(word=hex(word)):
                r = self.run_sysgrab(CDROM + "info %#x\n" % word)
                self.assertFails(r, "no wnaspi32 adapters found")
                self.assertEqual(r.probes, [])

    def test_upper_bits_are_not_examined(self):
        r = self.run_sysgrab(CDROM + "info 0xFFFF0101\n")
        self.assertSuccess(r, 0, 0)

    def test_a_bus_that_cannot_start_is_no_drive(self):
        for scenario, complaint in (
            ("unit 0 0 5\nunit 0 0 5\n", ":2: unit 0:0 lun 0 is given twice"),
            ("unit 0 4 5 pattern\n", ":1: missing pattern seed"),
            ("block 3 status 256\n", ":1: status 256 is out of range 0..255"),
            ("unit 0 0 5 image /nonexistent.iso\n", ":1: cannot open image"),
            ("frobnicate\n", ":1: unknown keyword 'frobnicate'"),
        ):
            with self.subTest(scenario=scenario):
                r = self.run_sysgrab(scenario)
                self.assertFails(r, "could not initialize wnaspi32", quiet=False)
                self.assertEqual(r.stderr.count("\n"), 1, r.stderr)
                self.assertIn("scenario.txt" + complaint, r.stderr)

    def test_no_scenario_is_no_drive(self):
        r = self.run_sysgrab(None)
        self.assertFails(r, "could not initialize wnaspi32", quiet=False)
        self.assertIn("ASPISIM_SCENARIO", r.stderr)


if __name__ == "__main__":
    unittest.main()
