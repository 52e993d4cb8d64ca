"""Wine's own WNASPI32 layer as the program's peer: no simulated bus."""

import unittest

from harness import Case


class WineLayer(Case):
    def test_layer_without_scsi_devices_cannot_initialize(self):
        # No override and no DLL beside the program: Wine's built-in layer,
        # which answers with status 0xE8 (no adapters) on a machine without
        # SCSI devices.
        r = self.run_sysgrab(variant=None, env={"WINEDLLOVERRIDES": ""})
        self.assertFails(r, "could not initialize wnaspi32")
        self.assertEqual(r.image(), b"")

    def test_disabled_layer_is_not_found(self):
        r = self.run_sysgrab(variant=None, env={"WINEDLLOVERRIDES": "wnaspi32=d"})
        self.assertFails(r, "wnaspi32 library not found")


if __name__ == "__main__":
    unittest.main()
