"""Installer downloads that the server answers badly: statuses, framing,
broken connections and redirects."""
import os

from attempt import (CHECKING, MANIFEST_PATH, VERIFIED, VERIFY_FAILED, AttemptTestCase, downloading, main,
                     sha256)

INSTALLER = bytes(range(256)) * 600  # 150 KiB, several transfer chunks
FAULT_PATH = "/faults/KORVA-Setup.exe"


def interrupted(n, total=len(INSTALLER)):
    return "Download interrupted after %d of %d bytes; resuming." % (n, total)


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
        # Each answer carries the body that the manifest's digest names, so
        # only the status can refuse it: the whole installer, except for the
        # 204, whose body no client reads (WinHTTP takes it as empty), so the
        # digest is the empty file's. The fault server is the TLS end: nginx
        # would drop a 204's bytes itself.
        for status, action, digest in ((404, {}, None), (500, {}, None), (206, {}, None),
                                        (204, {"body": ""}, sha256(b""))):
            with self.subTest(status=status):
                self.appdata, self.appdata_win = self.new_folder("appdata")
                self.assertEqual(self.attempt_with(dict(action, status=status), digest), 1)
                self.assertFalse(os.path.exists(self.installer_file("3.1.4")))
                self.assert_log([CHECKING, downloading("3.1.4")])
                self.assert_requested([(443, MANIFEST_PATH, 200), (self.fault_tls_port, FAULT_PATH, status)])

    def test_body_without_content_length_verifies(self):
        for via_nginx, framing in ((False, "close-delimited"), (True, "chunked")):
            with self.subTest(framing):
                self.appdata, self.appdata_win = self.new_folder("appdata")
                self.assertEqual(self.attempt_with({"length": "none"}, via_nginx=via_nginx), 0)
                self.assertEqual(self.read_file(self.installer_file("3.1.4")), INSTALLER)
                self.assert_log([CHECKING, downloading("3.1.4"), VERIFIED])

    def test_body_cut_before_its_declared_length_fails_and_leaves_no_file(self):
        # The connection closes in order and the digest names exactly the
        # bytes sent: only the length can tell the body was cut. The
        # resumption gets the same short answer, nothing new, and it ends.
        self.assertEqual(self.attempt_with({"length": len(INSTALLER) + 1000}), 1)
        self.assertFalse(os.path.exists(self.installer_file("3.1.4")))
        self.assert_log([CHECKING, downloading("3.1.4"), interrupted(len(INSTALLER), len(INSTALLER) + 1000)])

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
        # was consumed underneath WinHTTP, as a short body. Either way the
        # resumption gets the same answer, nothing new, and nothing is kept.
        texts = self.log_texts()
        self.assertEqual(texts[:2], [CHECKING, downloading("3.1.4")])
        self.assertEqual(len(texts), 3)
        self.assertRegex(texts[2], r"\ADownload interrupted after [0-9]+ of %d bytes; resuming\.\Z" % len(INSTALLER))
        self.assertEqual(len(self.requests()), 3)

    def test_broken_tls_record_mid_body_fails_the_transfer_and_leaves_no_file(self):
        # The digest named is that of the bytes sent before the break, so
        # only the transfer error may stop this attempt.
        sent = INSTALLER[:70000]
        self.assertEqual(self.attempt_with({"corrupt_after": len(sent)}, digest=sha256(sent)), 1)
        self.assertFalse(os.path.exists(self.installer_file("3.1.4")))
        self.assert_log([CHECKING, downloading("3.1.4"), interrupted(len(sent))])

    def test_failed_transfer_removes_an_earlier_verified_file_of_that_version(self):
        self.assertEqual(self.attempt_with({}), 0)
        self.assertEqual(self.attempt_with({"corrupt_after": 1000}), 1)
        self.assertFalse(os.path.exists(self.installer_file("3.1.4")))
        self.assert_log([CHECKING, downloading("3.1.4"), VERIFIED, CHECKING, downloading("3.1.4"), interrupted(1000)])


BIG = bytes((i * 7919) & 0xFF for i in range(4 * 1024 * 1024))  # several MiB
ETAG = '"korva-1"'
RANGED = {"ranges": True, "etag": ETAG}


class Resumption(AttemptTestCase):
    """A body that breaks off is resumed within the attempt (Range, If-Range)."""

    def attempt(self, action, data=INSTALLER, digest=None):
        self.serve(FAULT_PATH, data)
        self.set_scenario({FAULT_PATH: action})
        self.serve_release("3.1.4", self.url(FAULT_PATH, port=self.fault_tls_port), digest or sha256(data))
        return self.run_attempt()

    def resumed_at(self):
        """N of each resumption line."""
        return [int(t.split()[3]) for t in self.log_texts() if t.startswith("Download interrupted after ")]

    def installer_requests(self):
        return [r for r in self.requests() if r.path == FAULT_PATH]

    def test_two_resets_resume_where_the_file_stands_and_verify(self):
        cuts = [len(BIG) * 3 // 10, len(BIG) * 8 // 10]
        action = dict(RANGED, requests=[{"reset_after": cuts[0]}, {"reset_after": cuts[1] - cuts[0]}])
        self.assertEqual(self.attempt(action, BIG), 0)
        self.assertEqual(self.read_file(self.installer_file("3.1.4")), BIG)
        starts = self.resumed_at()
        self.assert_log([CHECKING, downloading("3.1.4"), interrupted(starts[0], len(BIG)),
                         interrupted(starts[1], len(BIG)), VERIFIED])
        got = self.installer_requests()
        self.assertEqual([(r.status, r.range, r.if_range) for r in got],
                         [(200, "-", "-"), (206, "bytes=%d-" % starts[0], ETAG), (206, "bytes=%d-" % starts[1], ETAG)])
        # What was sent beyond the file's size is what was in flight at the drops.
        self.assertLessEqual(starts[0], cuts[0])
        self.assertLessEqual(starts[1], cuts[1])
        in_flight = (cuts[0] - starts[0]) + (cuts[1] - starts[1])
        self.assertEqual(sum(r.body_bytes for r in got), len(BIG) + in_flight)

    def test_orderly_close_before_the_length_resumes_with_the_date_as_validator(self):
        # A weak ETag cannot make a range conditional; the date can.
        action = {"ranges": True, "etag": 'W/"weak"', "last_modified": "Tue, 08 Dec 2026 10:00:00 GMT",
                  "requests": [{"close_after": 60000}]}
        self.assertEqual(self.attempt(action), 0)
        self.assertEqual(self.read_file(self.installer_file("3.1.4")), INSTALLER)
        self.assert_log([CHECKING, downloading("3.1.4"), interrupted(60000), VERIFIED])
        self.assertEqual([(r.status, r.range, r.if_range) for r in self.installer_requests()],
                         [(200, "-", "-"), (206, "bytes=60000-", "Tue, 08 Dec 2026 10:00:00 GMT")])

    def test_whole_file_again_starts_from_0_and_never_mixes_two_bodies(self):
        other = bytes(reversed(INSTALLER))
        self.serve("/faults/other.bin", other)
        cases = [("server ignoring ranges", {"requests": [{"reset_after": 50000}]}, INSTALLER, "-", INSTALLER),
                 ("file changed on the server", dict(RANGED, requests=[{"reset_after": 50000}],
                                                     etag='"korva-2"', body_file="faults/other.bin"),
                  other, ETAG, None)]
        for name, action, expected, if_range, first in cases:
            with self.subTest(name):
                self.appdata, self.appdata_win = self.new_folder("appdata")
                if first is None:  # the first answer carries the old file and its ETag
                    action["requests"][0].update(etag=ETAG, body_file=FAULT_PATH.lstrip("/"))
                self.assertEqual(self.attempt(action, INSTALLER, digest=sha256(expected)), 0)
                self.assertEqual(self.read_file(self.installer_file("3.1.4")), expected)
                starts = self.resumed_at()
                self.assertEqual([(r.status, r.range, r.if_range) for r in self.installer_requests()],
                                 [(200, "-", "-"), (200, "bytes=%d-" % starts[0], if_range)])
        with self.subTest("file changed, the manifest names the old one: the digest decides"):
            self.appdata, self.appdata_win = self.new_folder("appdata")
            self.assertEqual(self.attempt(action, INSTALLER, digest=sha256(INSTALLER)), 1)
            self.assertFalse(os.path.exists(self.installer_file("3.1.4")))
            self.assertEqual(self.log_texts()[-1], VERIFY_FAILED)

    def test_a_206_that_does_not_continue_or_a_416_ends_the_attempt(self):
        for name, resumed in (("another start", {"range_shift": -100}),
                              ("another total", {"range_total": len(INSTALLER) + 1}),
                              ("416", {"status": 416})):
            with self.subTest(name):
                self.appdata, self.appdata_win = self.new_folder("appdata")
                action = dict(RANGED, requests=[{"reset_after": 50000}, resumed])
                self.assertEqual(self.attempt(action), 1)
                self.assertFalse(os.path.exists(self.installer_file("3.1.4")))
                self.assertEqual(len(self.installer_requests()), 2)
                self.assertEqual(len(self.log_texts()), 3)

    def test_ranges_served_in_pieces_after_a_first_answer_without_length_are_resumed(self):
        # The first answer gives no length; the total comes from the first
        # 206, so a piece that stops short of it is no whole file.
        piece = len(INSTALLER) // 3
        # A broken record, not a reset: without a length Wine may take a reset
        # for the end of the body.
        action = dict(RANGED, range_limit=piece, requests=[{"length": "none", "corrupt_after": 50000}])
        self.assertEqual(self.attempt(action), 0)
        self.assertEqual(self.read_file(self.installer_file("3.1.4")), INSTALLER)
        starts = [50000, 50000 + piece, 50000 + 2 * piece]
        self.assert_log([CHECKING, downloading("3.1.4"), "Download interrupted after 50000 bytes; resuming."] +
                        [interrupted(n, len(INSTALLER)) for n in starts[1:]] + [VERIFIED])
        self.assertEqual([(r.status, r.range) for r in self.installer_requests()],
                         [(200, "-")] + [(206, "bytes=%d-" % n) for n in starts])

    def test_network_gone_for_a_moment_or_for_good(self):
        with self.subTest("about 3 s: the third try gets through"):
            action = dict(RANGED, requests=[{"reset_after": 50000, "outage_seconds": 2.5}])
            self.assertEqual(self.attempt(action), 0)
            self.assertEqual(self.read_file(self.installer_file("3.1.4")), INSTALLER)
            self.assertEqual(len(self.installer_requests()), 2)
        with self.subTest("for good: the general message after 1 + 2 + 4 s"):
            self.appdata, self.appdata_win = self.new_folder("appdata")
            action = dict(RANGED, requests=[{"reset_after": 50000, "outage_seconds": 20}])
            self.assertEqual(self.attempt(action), 1)
            self.assertGreaterEqual(self.runs[-1]["seconds"], 7)
            self.assertLess(self.runs[-1]["seconds"], 15)
            self.assertFalse(os.path.exists(self.installer_file("3.1.4")))
            self.assertEqual(len(self.installer_requests()), 1)

    def test_servers_that_never_let_it_finish_end_within_their_bound(self):
        with self.subTest("every resumption brings nothing new"):
            self.assertEqual(self.attempt(dict(RANGED, requests=[{"reset_after": 50000}], close_after=0)), 1)
            self.assertFalse(os.path.exists(self.installer_file("3.1.4")))
            self.assertEqual(len(self.installer_requests()), 2)
        with self.subTest("a drop after every few bytes: 20 resumptions at most"):
            self.appdata, self.appdata_win = self.new_folder("appdata")
            self.assertEqual(self.attempt(dict(RANGED, close_after=1000)), 1)
            self.assertFalse(os.path.exists(self.installer_file("3.1.4")))
            self.assertEqual(len(self.installer_requests()), 21)
            self.assertEqual(len(self.resumed_at()), 20)


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
