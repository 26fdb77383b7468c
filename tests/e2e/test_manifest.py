"""Manifests the attempt must refuse before it downloads anything."""
import os

from attempt import CHECKING, MANIFEST_PATH, AttemptTestCase, downloading, main, sha256

INSTALLER = b"MZ KORVA test installer\r\n" * 100
INSTALLER_PATH = "/downloads/KORVA-Setup.exe"
GOOD_URL = "https://korva.com" + INSTALLER_PATH
GOOD_DIGEST = sha256(INSTALLER)


class RefusedManifest(AttemptTestCase):
    def setUp(self):
        super().setUp()
        self.serve(INSTALLER_PATH, INSTALLER)

    def assert_refused_before_download(self, manifest_status=200):
        self.assertEqual(self.run_attempt(), 1)
        self.assert_only_manifest_requested(manifest_status)
        self.assert_nothing_but_log()
        # Failures before the download leave only the worker's first line.
        self.assert_log([CHECKING])

    def test_incomplete_manifests(self):
        good = "version=1.2.3\ninstallerUrl=%s\ninstallerSha256=%s\n" % (GOOD_URL, GOOD_DIGEST)
        cases = {
            "digest of 63 characters": good.replace(GOOD_DIGEST, GOOD_DIGEST[:63]),
            "digest of 65 characters": good.replace(GOOD_DIGEST, GOOD_DIGEST + "0"),
            "empty digest": good.replace(GOOD_DIGEST, ""),
            "empty version": good.replace("1.2.3", ""),
            "empty body": b"",
            # The mark stays part of the first key, so "version" is missing.
            "byte-order mark": b"\xef\xbb\xbf" + good.encode(),
            # One ill-formed byte anywhere voids the whole text.
            "invalid UTF-8": good.encode() + b"notes=caf\xe9\n",
        }
        for name, manifest in cases.items():
            with self.subTest(name):
                self.appdata, self.appdata_win = self.new_folder("appdata")
                self.serve_manifest(manifest)
                self.assert_refused_before_download()

    def test_versions_that_are_no_plain_file_name(self):
        # The version becomes part of a file name in the working directory;
        # none of these may lead to a file anywhere, inside or outside it.
        # Unchecked, "\\..\\..\\..\\..\\escaped" would land in this suite's folder.
        for version in ["..\\x", "\\..\\..\\..\\..\\escaped", "a/../../../../escaped", "/", "1.2:stream", "<1.2>",
                        "1.2\x07", "1.2\x00evil", "1?*",
                        # Shown other than they are: reversed by an override,
                        # hidden, or a C1 control that reaches the log raw.
                        "1.2\u202eexe.3", "1.2\u200b", "1.2\U000e0041", "1.2\x85"]:
            with self.subTest(version=version):
                self.appdata, self.appdata_win = self.new_folder("appdata")
                self.serve_release(version, GOOD_URL, GOOD_DIGEST)
                self.assert_refused_before_download()
        self.assertEqual([name for name in os.listdir(self.suite_dir) if ".appdata" not in name], [])

    def test_manifest_cut_before_its_length_is_no_manifest(self):
        # The connection closes in order right before the lines that name the
        # current release; what came reads as a whole, older manifest.
        older = "version=0.9.0\ninstallerUrl=%s\ninstallerSha256=%s\n" % (GOOD_URL, GOOD_DIGEST)
        current = "version=1.0.0\ninstallerUrl=%s\ninstallerSha256=%s\n" % (GOOD_URL, sha256(b"1.0.0"))
        self.serve_manifest(older)
        self.set_scenario({MANIFEST_PATH: {"length": len(older + current)}})
        self.assert_refused_before_download()

    def test_manifest_statuses_other_than_200(self):
        self.serve_release("1.2.3", GOOD_URL, GOOD_DIGEST)
        # Each comes with the real manifest as its body. No 204: its body
        # never reaches a client, and an empty manifest is refused whatever
        # the status (the installer's 204 is in test_transfer.py).
        for status in (404, 500, 206):
            with self.subTest(status=status):
                self.appdata, self.appdata_win = self.new_folder("appdata")
                self.set_scenario({MANIFEST_PATH: {"status": status}})
                self.assert_refused_before_download(status)


class AcceptedManifest(AttemptTestCase):
    def test_manifest_without_content_length(self):
        self.serve(INSTALLER_PATH, INSTALLER)
        self.serve_release("1.2.3", GOOD_URL, GOOD_DIGEST)
        # nginx relays a close-delimited answer in chunked encoding.
        self.set_scenario({MANIFEST_PATH: {"length": "none"}})

        self.assertEqual(self.run_attempt(), 0)
        self.assertEqual(self.read_file(self.installer_file("1.2.3")), INSTALLER)
        self.assert_requested([(443, MANIFEST_PATH, 200), (443, INSTALLER_PATH, 200)])

    def test_versions_beyond_ascii(self):
        # Name fragments Windows accepts. The log holds one byte per
        # character: U+00E9 fits in one; U+010A and U+010D do not, and their
        # low bytes are LF and CR, which must not split the log line.
        self.serve(INSTALLER_PATH, INSTALLER)
        for version in ["2.0-b\u00e9ta", "2.\u010a\u010d1"]:
            with self.subTest(version=version):
                self.appdata, self.appdata_win = self.new_folder("appdata")
                self.serve_release(version, GOOD_URL, GOOD_DIGEST)

                self.assertEqual(self.run_attempt(), 0)
                self.assertEqual(self.read_file(self.installer_file(version)), INSTALLER)
                log = self.log_texts()  # also checks that no line was split
                self.assertEqual(len(log), 3)
                if max(version) <= "\u00ff":
                    self.assertEqual(log[1], downloading(version))


if __name__ == "__main__":
    main()
