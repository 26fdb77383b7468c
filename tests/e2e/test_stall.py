"""A server that goes silent mid-body. It takes the product's whole receive
timeout (30 s), so it runs only with KORVA_SLOW_TESTS=1 (ctest label "slow")."""
import os
import time

from attempt import CHECKING, AttemptTestCase, downloading, main, sha256

INSTALLER = bytes(range(256)) * 400
FAULT_PATH = "/faults/KORVA-Setup.exe"
RECEIVE_TIMEOUT = 30


class Stall(AttemptTestCase):
    def test_silence_past_the_receive_timeout_fails_and_leaves_no_file(self):
        if os.environ.get("KORVA_SLOW_TESTS") != "1":
            self.skipTest("takes the 30 s receive timeout; set KORVA_SLOW_TESTS=1")
        sent = INSTALLER[:50000]
        self.serve(FAULT_PATH, INSTALLER)
        self.set_scenario({FAULT_PATH: {"stall_after": len(sent), "stall_seconds": 80}})
        # Were the silence taken for the end of the body, this digest would
        # verify: only the timeout may stop the attempt.
        self.serve_release("9.9", self.url(FAULT_PATH, port=self.fault_tls_port), sha256(sent))

        started = time.monotonic()
        self.assertEqual(self.run_attempt(), 1)
        elapsed = time.monotonic() - started

        # The resumption meets the same silence, brings nothing new, and ends.
        self.assertGreaterEqual(elapsed, 2 * RECEIVE_TIMEOUT)
        self.assertLess(elapsed, 90)
        self.assertFalse(os.path.exists(self.installer_file("9.9")))
        self.assert_log([CHECKING, downloading("9.9"),
                         "Download interrupted after %d of %d bytes; resuming." % (len(sent), len(INSTALLER))])

    def test_silence_mid_body_is_resumed_after_the_receive_timeout(self):
        if os.environ.get("KORVA_SLOW_TESTS") != "1":
            self.skipTest("takes the 30 s receive timeout; set KORVA_SLOW_TESTS=1")
        self.serve(FAULT_PATH, INSTALLER)
        self.set_scenario({FAULT_PATH: {"ranges": True, "etag": '"s"',
                                        "requests": [{"stall_after": 50000, "stall_seconds": 80}]}})
        self.serve_release("9.9", self.url(FAULT_PATH, port=self.fault_tls_port), sha256(INSTALLER))
        self.assertEqual(self.run_attempt(), 0)
        self.assertEqual(self.read_file(self.installer_file("9.9")), INSTALLER)
        self.assert_log([CHECKING, downloading("9.9"),
                         "Download interrupted after 50000 of %d bytes; resuming." % len(INSTALLER),
                         "Installer verified successfully."])


if __name__ == "__main__":
    main()
