"""A whole attempt that downloads and verifies, and the verdicts of the digest."""
import os

from attempt import (CHECKING, MANIFEST_PATH, USER_AGENT, VERIFIED, VERIFY_FAILED, AttemptTestCase, downloading,
                     main, sha256)

# Not a multiple of the 64 KiB hash block nor of any likely transfer chunk.
INSTALLER = bytes((i * 7 + i // 251) & 0xFF for i in range(3 * 65536 + 1))


class VerifiedDownload(AttemptTestCase):
    def test_verified_installer_is_kept_byte_for_byte_and_logged(self):
        url = self.serve("/downloads/KORVA-Setup.exe", INSTALLER)
        self.serve_release("1.2.3", self.url(url), sha256(INSTALLER))

        self.assertEqual(self.run_attempt(), 0)

        self.assertEqual(self.read_file(self.installer_file("1.2.3")), INSTALLER)
        self.assert_log([CHECKING, downloading("1.2.3"), VERIFIED])
        self.assert_requested([(443, MANIFEST_PATH, 200), (443, "/downloads/KORVA-Setup.exe", 200)])
        self.assertEqual({r.user_agent for r in self.requests()}, {USER_AGENT})

    def test_digest_is_compared_without_regard_to_case(self):
        url = self.serve("/downloads/KORVA-Setup.exe", INSTALLER)
        self.serve_release("1.2.3", self.url(url), sha256(INSTALLER).upper())

        self.assertEqual(self.run_attempt(), 0)
        self.assert_log([CHECKING, downloading("1.2.3"), VERIFIED])

    def test_empty_installer_verifies_against_digest_of_empty_input(self):
        url = self.serve("/downloads/empty.exe", b"")
        self.serve_release("0.0.1", self.url(url), sha256(b""))

        self.assertEqual(self.run_attempt(), 0)
        self.assertEqual(self.read_file(self.installer_file("0.0.1")), b"")

    def test_manifest_with_crlf_comments_and_loose_keys_is_read(self):
        url = self.serve("/downloads/KORVA-Setup.exe", INSTALLER)
        self.serve_manifest("# KORVA release\r\nVersion = 2.0.1\r\nINSTALLERURL=%s\r\nproduct=KORVA suite\r\n"
                            "  installerSha256 =  %s  " % (self.url(url), sha256(INSTALLER)))

        self.assertEqual(self.run_attempt(), 0)
        self.assertEqual(self.read_file(self.installer_file("2.0.1")), INSTALLER)


class RejectedDownload(AttemptTestCase):
    def test_mismatch_deletes_the_file_and_logs_the_failure(self):
        tampered = INSTALLER[:-1] + b"\x00"
        url = self.serve("/downloads/KORVA-Setup.exe", tampered)
        self.serve_release("1.2.3", self.url(url), sha256(INSTALLER))

        self.assertEqual(self.run_attempt(), 1)

        self.assertFalse(os.path.exists(self.installer_file("1.2.3")))
        self.assert_log([CHECKING, downloading("1.2.3"), VERIFY_FAILED])
        # The whole file was fetched: it is the digest that refused it.
        self.assertEqual([r.body_bytes for r in self.requests()][-1], len(tampered))

    def test_digest_of_hex_lookalikes_never_matches(self):
        # 64 characters, right length, but not hexadecimal: compared as text.
        url = self.serve("/downloads/KORVA-Setup.exe", INSTALLER)
        self.serve_release("1.2.3", self.url(url), "g" * 64)

        self.assertEqual(self.run_attempt(), 1)
        self.assertFalse(os.path.exists(self.installer_file("1.2.3")))
        self.assert_log([CHECKING, downloading("1.2.3"), VERIFY_FAILED])

    def test_failed_download_removes_an_earlier_verified_file_of_that_version(self):
        url = self.serve("/downloads/KORVA-Setup.exe", INSTALLER)
        self.serve_release("1.2.3", self.url(url), sha256(INSTALLER))
        self.assertEqual(self.run_attempt(), 0)
        self.assertTrue(os.path.exists(self.installer_file("1.2.3")))

        self.serve_release("1.2.3", self.url("/downloads/missing.exe"), sha256(INSTALLER))
        self.assertEqual(self.run_attempt(), 1)

        self.assertFalse(os.path.exists(self.installer_file("1.2.3")))
        self.assert_requested([(443, MANIFEST_PATH, 200), (443, "/downloads/missing.exe", 404)])
        # The log keeps growing across attempts.
        self.assert_log([CHECKING, downloading("1.2.3"), VERIFIED, CHECKING, downloading("1.2.3")])


if __name__ == "__main__":
    main()
