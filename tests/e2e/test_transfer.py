"""Installer downloads that the server answers badly: statuses, framing,
broken connections and redirects."""
import os

from attempt import (CHECKING, MANIFEST_PATH, VERIFIED, VERIFY_FAILED, AttemptTestCase, downloading, main,
                     sha256)

INSTALLER = bytes(range(256)) * 600  # 150 KiB, several transfer chunks
FAULT_PATH = "/faults/KORVA-Setup.exe"


class InstallerTransfer(AttemptTestCase):
    def setUp(self):
        super().setUp()
        self.serve(FAULT_PATH, INSTALLER)

    def attempt_with(self, action, digest=None, via_nginx=False, version="3.1.4"):
        """One attempt whose installer comes from the fault server with action."""
        self.set_scenario({FAULT_PATH: action})
        port = None if via_nginx else self.fault_tls_port
        self.serve_release(version, self.url(FAULT_PATH, port=port), digest or sha256(INSTALLER))
        return self.run_attempt()

    def test_statuses_other_than_200_leave_no_file(self):
        for status in (404, 500, 204, 206):
            with self.subTest(status=status):
                self.appdata, self.appdata_win = self.new_folder("appdata")
                # nginx stays the TLS end; 204 and 206 carry the real bytes.
                self.assertEqual(self.attempt_with({"status": status}, via_nginx=True), 1)
                self.assertFalse(os.path.exists(self.installer_file("3.1.4")))
                self.assert_log([CHECKING, downloading("3.1.4")])
                self.assert_requested([(443, MANIFEST_PATH, 200), (443, FAULT_PATH, status)])

    def test_body_without_content_length_verifies(self):
        for via_nginx, framing in ((False, "close-delimited"), (True, "chunked")):
            with self.subTest(framing):
                self.appdata, self.appdata_win = self.new_folder("appdata")
                self.assertEqual(self.attempt_with({"length": "none"}, via_nginx=via_nginx), 0)
                self.assertEqual(self.read_file(self.installer_file("3.1.4")), INSTALLER)
                self.assert_log([CHECKING, downloading("3.1.4"), VERIFIED])

    def test_body_cut_before_its_declared_length_fails_and_leaves_no_file(self):
        # The connection closes in order and the digest names exactly the
        # bytes sent: only the length can tell the body was cut.
        self.assertEqual(self.attempt_with({"length": len(INSTALLER) + 1000}), 1)
        self.assertFalse(os.path.exists(self.installer_file("3.1.4")))
        self.assert_log([CHECKING, downloading("3.1.4")])

    def test_declared_length_smaller_than_body_the_digest_decides(self):
        delivered = INSTALLER[:100000]
        with self.subTest("digest of the whole body"):
            self.assertEqual(self.attempt_with({"length": len(delivered)}), 1)
            self.assertFalse(os.path.exists(self.installer_file("3.1.4")))
            self.assert_log([CHECKING, downloading("3.1.4"), VERIFY_FAILED])
        with self.subTest("digest of the declared part"):
            self.appdata, self.appdata_win = self.new_folder("appdata")
            self.assertEqual(self.attempt_with({"length": len(delivered)}, digest=sha256(delivered)), 0)
            self.assertEqual(self.read_file(self.installer_file("3.1.4")), delivered)

    def test_connection_reset_mid_body_leaves_no_file(self):
        self.assertEqual(self.attempt_with({"reset_after": 70000}), 1)
        self.assertFalse(os.path.exists(self.installer_file("3.1.4")))
        # Wine reports the reset as a failed read, or, when the socket error
        # was consumed underneath WinHTTP, as the end of the body; then the
        # digest refuses the truncated file. Either way nothing is kept.
        self.assertIn(self.log_texts(), ([CHECKING, downloading("3.1.4")],
                                         [CHECKING, downloading("3.1.4"), VERIFY_FAILED]))

    def test_broken_tls_record_mid_body_fails_the_transfer_and_leaves_no_file(self):
        # The digest named is that of the bytes sent before the break, so
        # only the transfer error may stop this attempt.
        sent = INSTALLER[:70000]
        self.assertEqual(self.attempt_with({"corrupt_after": len(sent)}, digest=sha256(sent)), 1)
        self.assertFalse(os.path.exists(self.installer_file("3.1.4")))
        self.assert_log([CHECKING, downloading("3.1.4")])

    def test_failed_transfer_removes_an_earlier_verified_file_of_that_version(self):
        self.assertEqual(self.attempt_with({}), 0)
        self.assertEqual(self.attempt_with({"corrupt_after": 1000}), 1)
        self.assertFalse(os.path.exists(self.installer_file("3.1.4")))
        self.assert_log([CHECKING, downloading("3.1.4"), VERIFIED, CHECKING, downloading("3.1.4")])


class Redirects(AttemptTestCase):
    def setUp(self):
        super().setUp()
        self.serve("/downloads/KORVA-Setup.exe", INSTALLER)

    def redirect_to(self, location):
        self.set_scenario({FAULT_PATH: {"status": 302, "headers": {"Location": location}}})
        self.serve_release("3.1.4", self.url(FAULT_PATH), sha256(INSTALLER))
        return self.run_attempt()

    def test_redirect_to_plain_http_is_refused(self):
        port = int(os.environ["KORVA_HTTP_PORT"])
        self.assertEqual(self.redirect_to(self.url("/downloads/KORVA-Setup.exe", scheme="http", port=port)), 1)
        self.assertFalse(os.path.exists(self.installer_file("3.1.4")))
        self.assert_log([CHECKING, downloading("3.1.4")])
        # Not a byte went out in the clear.
        self.assert_requested([(443, MANIFEST_PATH, 200), (443, FAULT_PATH, 302)])

    def test_redirects_off_the_official_domain_connect_nowhere(self):
        # The trap answers on both ports with a trusted certificate for both
        # names: only the policy keeps the installer away from it.
        trap, lookalike = os.environ["KORVA_TRAP_HOST"], os.environ["KORVA_LOOKALIKE_HOST"]
        alt_port = int(os.environ["KORVA_ALT_PORT"])
        path = "/downloads/KORVA-Setup.exe"
        for location in (self.url(path, host=trap), self.url(path, host=trap, port=alt_port),
                         self.url(path, host=lookalike), self.url(path, host="korva.com@" + trap),
                         "//%s%s" % (trap, path)):
            with self.subTest(location=location):
                self.appdata, self.appdata_win = self.new_folder("appdata")
                self.assertEqual(self.redirect_to(location), 1)
                self.assertFalse(os.path.exists(self.installer_file("3.1.4")))
                self.assert_log([CHECKING, downloading("3.1.4")])
                self.assert_requested([(443, MANIFEST_PATH, 200), (443, FAULT_PATH, 302)])
                self.assertEqual(self.trap_connections(), [])

    def test_redirects_within_the_official_domain_are_followed_up_to_ten(self):
        # Relative hops through every redirect status, the last one to the
        # www host; the eleventh redirect ends the attempt before its target.
        statuses = (301, 302, 303, 307, 308)
        final = self.url("/downloads/KORVA-Setup.exe", host="www.korva.com")
        for redirects, outcome in ((10, 0), (11, 1)):
            with self.subTest(redirects=redirects):
                self.appdata, self.appdata_win = self.new_folder("appdata")
                hops = ["/faults/hop%d" % n for n in range(redirects)]
                self.set_scenario({hop: {"status": statuses[n % 5],
                                         "headers": {"Location": "hop%d" % (n + 1) if n + 1 < redirects else final}}
                                   for n, hop in enumerate(hops)})
                self.serve_release("3.1.4", self.url(hops[0]), sha256(INSTALLER))
                self.assertEqual(self.run_attempt(), outcome)
                expected = [(443, MANIFEST_PATH, 200)] + [(443, hop, statuses[n % 5]) for n, hop in enumerate(hops)]
                if outcome == 0:
                    self.assertEqual(self.read_file(self.installer_file("3.1.4")), INSTALLER)
                    self.assertEqual(self.requests()[-1].host, "www.korva.com")
                    expected.append((443, "/downloads/KORVA-Setup.exe", 200))
                else:
                    self.assertFalse(os.path.exists(self.installer_file("3.1.4")))
                self.assert_requested(expected)


if __name__ == "__main__":
    main()
