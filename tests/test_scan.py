"""Choosing the unit: the scan order and the probe requests."""

import unittest

from harness import BANNER, INIT, Case


def addresses(adapters, targets=range(8)):
    return [(a, t, 0) for a in adapters for t in targets]


class Scan(Case):
    def test_first_cdrom_after_a_disk(self):
        r = self.run_sysgrab("unit 0 0 0\nunit 0 4 5\nunit 0 6 5\n")
        self.assertSuccess(r, 0, 4)
        self.assertEqual(r.probes, addresses([0], range(5)))
        for e in r.reads:
            self.assertEqual((e["ha"], e["target"], e["lun"]), ("0", "4", "0"))

    def test_every_target_of_an_adapter_before_the_next(self):
        r = self.run_sysgrab("unit 2 0 5\nunit 1 6 5\n")
        self.assertSuccess(r, 1, 6)
        self.assertEqual(r.probes, addresses([0]) + addresses([1], range(7)))

    def test_probe_record(self):
        r = self.run_sysgrab("unit 3 7 5\n")
        self.assertSuccess(r, 3, 7)
        for e, (a, t, _) in zip(r.of_kind("probe"), r.probes):
            raw = bytes.fromhex(e["raw"])
            # Cleared, then command, adapter and target; LUN 0.
            expected = bytearray(12)
            expected[0], expected[2], expected[8] = 1, a, t
            self.assertEqual(raw, bytes(expected))

    def test_other_device_types_are_skipped(self):
        units = "".join("unit 0 %d %d\n" % (t, kind) for t, kind in enumerate((0, 1, 4, 7, 6, 0x1F)))
        r = self.run_sysgrab(units + "unit 0 7 5\n")
        self.assertSuccess(r, 0, 7)

    def test_no_cdrom_unit_is_an_error(self):
        # A CD-ROM beyond target 7, at another LUN, or on an adapter past the
        # count the layer reports is never probed; one whose probe fails is
        # not taken, whatever type it gives.
        r = self.run_sysgrab(
            "info 0x0102\nunit 0 0 0\nunit 0 8 5\nunit 1 2 5 lun 1\nunit 2 0 5\n"
            "unit 0 3 5 probe 4\nunit 1 5 5 probe 0x82\n"
        )
        self.assertFails(r, "no cdrom drive found")
        self.assertEqual(r.probes, addresses([0, 1]))
        self.assertEqual(r.reads, [])
        self.assertEqual(r.image(), b"")

    def test_no_unit_answers(self):
        r = self.run_sysgrab("info 0x0103\n")
        self.assertFails(r, "no cdrom drive found")
        self.assertEqual(r.probes, addresses(range(3)))

    def test_address_printed_with_at_least_two_digits(self):
        # 255 adapters: 8 probes each until the CD-ROM answers.
        for a, t, line in ((12, 3, "12:03"), (254, 7, "254:07")):
            with self.subTest(line=line):
                r = self.run_sysgrab("info 0x01ff\nunit %d %d 5\n" % (a, t))
                self.assertSuccess(r, a, t)
                self.assertEqual(r.lines[2], "using wnaspi32 device " + line)
                self.assertEqual(len(r.probes), 8 * a + t + 1)
                self.assertEqual(r.lines[:2], [BANNER, INIT])


if __name__ == "__main__":
    unittest.main()
