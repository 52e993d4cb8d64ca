"""Reading the sixteen blocks: the command records, completion and status."""

import os
import unittest

from harness import BLOCK, Case, pattern, success_lines

CDROM = "unit 1 2 5 pattern 11\n"
PROBES_BEFORE_READS = 8 + 3  # adapter 0, then 1:0 to 1:2
EXPECTED = b"".join(pattern(11, lba) for lba in range(16))
# Fixed-format sense: the key in byte 2, the ASC in byte 12; the bits
# around them set (VALID, FILEMARK, EOM, ILI, bytes 11 and 13).
FIXED = "f000e%x0000000006000000ff%02xff"


def read10(lba):
    return bytes([0x28, 0, lba >> 24 & 255, lba >> 16 & 255, lba >> 8 & 255, lba & 255, 0, 0, 1, 0])


class Commands(Case):
    def check_records(self, r):
        reads = r.reads
        self.assertEqual(len(reads), 16)
        first = int(reads[0]["buf"], 16)
        for lba, e in enumerate(reads):
            raw = bytes.fromhex(e["raw"])
            ptr = (len(raw) - 72) // 2  # 4 on a 32-bit build, 8 on a 64-bit one
            self.assertIn(ptr, (4, 8))
            self.assertEqual(raw[:12], bytes([2, 0, 1, 0x48, 0, 0, 0, 0, 2, 0, 0, 0]))
            self.assertEqual(int.from_bytes(raw[12:16], "little"), BLOCK)
            buf = int.from_bytes(raw[16:16 + ptr], "little")
            at = 16 + ptr
            # SenseLen, CDBLen, HaStat, TargStat
            self.assertEqual(raw[at:at + 4], bytes([14, 10, 0, 0]))
            self.assertNotEqual(int.from_bytes(raw[at + 4:at + 4 + ptr], "little"), 0)
            at += 4 + ptr
            self.assertEqual(raw[at:at + 20], bytes(20))
            self.assertEqual(raw[at + 20:at + 36], read10(lba) + bytes(6))
            self.assertEqual(raw[at + 36:], bytes(16))
            # Consecutive 2048-byte slots of one buffer.
            self.assertEqual(buf, first + lba * BLOCK)
            self.assertEqual(e["signalled"], "0", "event already signalled on arrival")

    def test_records_under_pending_and_immediate_completion(self):
        for completion in ("pending 2", "immediate"):
            with self.subTest(completion):
                r = self.run_sysgrab(CDROM + "complete %s\n" % completion)
                self.assertSuccess(r, 1, 2)
                self.assertEqual(r.requests,
                                 ["info"] + ["probe"] * PROBES_BEFORE_READS + ["exec"] * 16)
                self.check_records(r)
                self.assertEqual({e["completion"] for e in r.reads}, {completion.split()[0]})
                self.assertEqual(r.image(), EXPECTED)

    def test_status_is_read_only_after_the_event(self):
        # The final status arrives long after the call returned SS_PENDING,
        # at block 5 past a second; reading it earlier would see 0 and fail
        # the run. Odd blocks between complete at once.
        slow = "".join("block %d %s\n" % (lba, "pending 1100" if lba == 5 else "pending 40"
                                          if lba % 5 == 0 else "immediate" if lba % 2 else
                                          "pending 0") for lba in range(16))
        r = self.run_sysgrab(CDROM + slow)
        self.assertSuccess(r, 1, 2)
        self.assertEqual(r.image(), EXPECTED)

    @unittest.skipUnless(os.environ.get("SYSGRAB_RUNNER", "native") == "native",
                         "descriptor numbers are a Linux matter")
    def test_each_event_is_closed(self):
        # A closed descriptor is handed out again for the next event.
        r = self.run_sysgrab(CDROM)
        self.assertEqual(len({e["postproc"] for e in r.reads}), 1)


class Status(Case):
    def test_every_final_status(self):
        # Step through the statuses (all 256 natively, a sample where a run
        # is expensive) at block 7, completing through the event.
        step = int(os.environ.get("SYSGRAB_STATUS_STEP", "1"))
        statuses = sorted(set(range(0, 256, step)) | {0, 1, 2, 4, 0x82, 0xE4, 0xFF})
        for status in statuses:
            with self.subTest(status=status):
                r = self.run_sysgrab(CDROM + "block 7 status %d\n" % status)
                if status == 1:
                    self.assertSuccess(r, 1, 2)
                    self.assertEqual(r.image(), EXPECTED)
                    continue
                # SS_ERR from a drive that answered GOOD says nothing of the disc.
                line = "target status = 00000000" if status == 4 else "status = %08x" % status
                self.assertEqual(r.lines[-1], "ERROR: " + line)
                self.assertEqual(len(r.lines), 5)
                self.assertEqual(r.rc, 1)
                self.assertEqual(r.image(), b"")
                # Nothing is read after the fatal status.
                self.assertEqual(len(r.reads), 8)

    def test_immediate_fatal_status(self):
        for status in (2, 0x82):
            with self.subTest(status=status):
                r = self.run_sysgrab(CDROM + "block 0 status %d immediate\n" % status)
                self.assertEqual(r.lines[-1], "ERROR: status = %08x" % status)
                self.assertEqual(r.rc, 1)
                self.assertEqual(len(r.reads), 1)

    def test_errors_that_end_the_run(self):
        # Block 9 ends with SS_ERR and what is given; the first of host
        # status, target status, NOT READY and UNIT ATTENTION that applies
        # decides, then any sense key but a block's own error.
        fixed = FIXED
        cases = [
            ("hastat 0x0b", "host adapter status = 0000000b"),
            ("hastat 0x14 targstat 2 sense " + fixed % (2, 0x3a), "host adapter status = 00000014"),
            ("targstat 2 sense " + fixed % (2, 0x04), "cdrom drive not ready"),
            ("targstat 2 sense " + fixed % (6, 0x28), "disc changed during extraction"),
            # Descriptor format keeps the key in byte 1.
            ("targstat 2 sense 72f62800", "disc changed during extraction"),
            # The drive never did the read (its sense is not looked at), or
            # the sense says nothing.
            ("targstat 8 sense " + fixed % (3, 0x11), "target status = 00000008"),
            ("targstat 2 sense 0000030000000006000000001100", "target status = 00000002"),
            ("targstat 2 sense " + fixed % (0xb, 0x47), "sense key = 0000000b"),
            ("targstat 2 sense 72f70000", "sense key = 00000007"),
        ]
        # Deferred sense (71h, 73h) is an earlier command's: this read was not done.
        cases += [("targstat 2 sense " + ("f1" + fixed[2:] % (key, 0x11) if key % 2 else
                                          "f3f%x1100" % key), "sense key = %08x" % key)
                  for key in (1, 3, 4, 5, 8)]
        for extra, message in cases:
            with self.subTest(extra):
                r = self.run_sysgrab(CDROM + "block 9 status 4 %s\n" % extra)
                self.assertFails(r, message, before=success_lines(1, 2)[:4])
                self.assertEqual(len(r.reads), 10)
                self.assertEqual(r.image(), b"")

    def test_errors_that_leave_the_block_filled(self):
        # RECOVERED, MEDIUM, HARDWARE ERROR, ILLEGAL REQUEST (also in
        # descriptor format) and BLANK CHECK: the run goes on, keeping the
        # bytes moved before the error (pending or immediate).
        rows = [(1, "0", FIXED % (1, 0)), (3, "0", FIXED % (3, 0)), (4, "0", FIXED % (4, 0)),
                (5, "100 immediate", FIXED % (3, 0x11)), (7, "0", FIXED % (5, 0)),
                (9, "2047", FIXED % (3, 0x11)), (11, "0", FIXED % (8, 0)), (13, "0", "72f52100"),
                (15, "2048", FIXED % (3, 0x11))]
        r = self.run_sysgrab(CDROM + "".join("block %d status 4 bytes %s targstat 2 sense %s\n"
                                             % row for row in rows))
        self.assertSuccess(r, 1, 2)
        expect = bytearray(EXPECTED)
        for block, moved, _ in rows:
            moved = int(moved.split()[0])
            expect[block * BLOCK + moved:(block + 1) * BLOCK] = b"\xff" * (BLOCK - moved)
        self.assertEqual(r.image(), bytes(expect))

    def test_drive_without_a_disc(self):
        # NOT READY, medium not present: the first read ends the run.
        r = self.run_sysgrab("unit 0 3 5 empty\n")
        self.assertFails(r, "cdrom drive not ready", before=success_lines(0, 3)[:4])
        self.assertEqual(len(r.reads), 1)
        self.assertEqual(r.image(), b"")

    @unittest.skipUnless(os.environ.get("SYSGRAB_RUNNER", "native") == "native",
                         "the bus starves the process of descriptors only on Linux")
    def test_event_that_cannot_be_created(self):
        # LeakSanitizer, where built in, needs a descriptor at exit.
        r = self.run_sysgrab(CDROM + "exhaust handles\n", env={"ASAN_OPTIONS": "detect_leaks=0"})
        self.assertFails(r, "cannot create an event handler", before=success_lines(1, 2)[:4])
        self.assertEqual(r.reads, [])
        self.assertEqual(r.image(), b"")


if __name__ == "__main__":
    unittest.main()
