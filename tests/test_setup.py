"""scripts/setup.sh with a stand-in apt (nothing installed, calls recorded) that refuses some
packages as apt does where their dependencies cannot be met."""

import os
import subprocess
import tempfile
import unittest

APT = ('echo "$*" >>"$T/calls"; [ "$1" != update ] || [ -z "$FAIL" ] || exit 100\n'
       '[ "$1" != install ] || { shift 4; for p; do case $p in $REFUSE)\n'
       '  echo "E: Unable to correct problems" >&2; exit 100;; esac; done; }')
STANDINS = {"dpkg-query": "exit 1", "dpkg": "echo i386", "sleep": ":", "sudo": 'exec "$@"',
            "apt-cache": "echo '  Depends: linux-image-0'", "apt-get": APT}
LEFT_OUT = ("setup.sh: left out wine32:i386 (apt's reason above): the 32-bit Windows program's "
            "Wine tests are skipped; the win64 build runs the Wine suite")


class Setup(unittest.TestCase):
    def test_packages_apt_refuses(self):
        for refuse, fail, rc, said, unsaid, calls in (  # ..., install calls
                ("*:i386", "", 0, LEFT_OUT + "\n", "apt-get update", 3),
                ("*:i386", "1", 0, LEFT_OUT + "; apt-get update failed above", "could not", 3),
                ("*", "", 1, "setup.sh: could not install cmake g++ make", "apt-get update", 2)):
            with self.subTest(refuse=refuse, fail=fail), tempfile.TemporaryDirectory() as t:
                for name, body in STANDINS.items():
                    with open(os.path.join(t, name), "w") as f:
                        f.write("#!/bin/sh\n" + body + "\n")
                    os.chmod(f.name, 0o755)
                os.makedirs(os.path.join(t, "linux-image-0"))  # the kernel, as if unpacked
                open(os.path.join(t, "linux-image-0/.unpacked"), "w").close()
                r = subprocess.run(["bash", "../scripts/setup.sh"], capture_output=True, text=True,
                                   env=dict(os.environ, PATH=t + ":" + os.environ["PATH"], T=t,
                                            FAIL=fail, REFUSE=refuse, SYSGRAB_CACHE=t))
                self.assertEqual((r.returncode, said in r.stderr, unsaid in r.stderr,
                                  "E: Unable to correct problems\n" in r.stderr),
                                 (rc, True, False, True), r.stderr)
                # All at once, then all but wine32:i386, then wine32:i386 alone.
                with open(os.path.join(t, "calls")) as f:
                    installs = [c.split()[4:] for c in f if c.startswith("install")]
                rest = [p for p in installs[0] if p != "wine32:i386"]
                self.assertEqual(installs[1:], [rest, ["wine32:i386"]][:calls - 1])


if __name__ == "__main__":
    unittest.main()
