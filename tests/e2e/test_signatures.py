"""Signed releases: installers built with release keys (tests/CMakeLists.txt
makes keys A and B per build folder and installers trusting {A}, {B} and
{A,B}) against manifests signed by openssl.

Every refused manifest comes with a server that would otherwise hand out a
matching installer, so a check that is missing shows as exit code 0.

Usage: test_signatures.py KORVA-Installer.exe (the unkeyed one); the keyed
installers and the key folder come in KORVA_E2E_INSTALLER_{A,B,AB} and
KORVA_E2E_TEST_KEYS."""
import base64
import datetime
import os

from attempt import (CHECKING, VERIFIED, VERIFY_FAILED, AttemptTestCase, SigningKey, downloading, main, run_wine,
                     sandbox_variable, sha256, signed_manifest, signed_statement, utc_in, winepath)

INSTALLER = b"MZ KORVA signed test installer\r\n" * 100
EVIL = b"MZ not what the publisher signed\r\n" * 100
INSTALLER_PATH = "/downloads/signed/KORVA-Setup.exe"
OTHER_PATH = "/downloads/signed/other/KORVA-Setup.exe"
EVIL_PATH = "/downloads/signed/evil.exe"
URL = "https://korva.com" + INSTALLER_PATH
OTHER_URL = "https://korva.com" + OTHER_PATH
EVIL_URL = "https://korva.com" + EVIL_PATH
DIGEST = sha256(INSTALLER)
EVIL_DIGEST = sha256(EVIL)
VERSION = "4.5.6"


class SignedReleaseTestCase(AttemptTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        keys = sandbox_variable("KORVA_E2E_TEST_KEYS")
        cls.key_a, cls.key_b = SigningKey(keys, "a"), SigningKey(keys, "b")
        cls.keyed = {name: winepath("-w", sandbox_variable("KORVA_E2E_INSTALLER_" + name)) for name in ("A", "B", "AB")}

    def setUp(self):
        super().setUp()
        # The same installer at two paths, and another one that the
        # publisher never signed: whatever a forged manifest points at
        # verifies against its digest.
        self.serve(INSTALLER_PATH, INSTALLER)
        self.serve(OTHER_PATH, INSTALLER)
        self.serve(EVIL_PATH, EVIL)

    def attempt(self, manifest, exe="A", environment=None):
        self.appdata, self.appdata_win = self.new_folder("appdata")
        self.serve_manifest(manifest)
        utc_started = datetime.datetime.utcnow()
        code = self.run_attempt(exe=self.keyed[exe] if exe else None, environment=environment)
        self.runs[-1]["utc_started"] = utc_started
        return code

    def assert_installed(self, manifest, exe="A", environment=None, installer=INSTALLER, version=VERSION):
        self.assertEqual(self.attempt(manifest, exe, environment), 0)
        self.assertEqual(self.read_file(self.installer_file(version)), installer)
        if not environment:  # the log's time stamps are local time
            self.assertEqual(self.log_texts(), [CHECKING, downloading(version), VERIFIED])

    def assert_refused(self, manifest, exe="A", environment=None):
        self.assertEqual(self.attempt(manifest, exe, environment), 1)
        # Refused like an incomplete manifest: nothing fetched but the
        # manifest, no file, no log line of the worker's own.
        self.assert_only_manifest_requested()
        self.assert_nothing_but_log()
        if not environment:
            self.assert_log([CHECKING])


class SignedManifests(SignedReleaseTestCase):
    def test_manifests_signed_with_openssl_install(self):
        expires = utc_in(days=30)
        statement = signed_statement(VERSION, URL, DIGEST, expires)
        cases = {
            "with expires": signed_manifest(VERSION, URL, DIGEST, [self.key_a], expires),
            "without expires": signed_manifest(VERSION, URL, DIGEST, [self.key_a]),
            # Folded keys (the id too), blanks around "=", CR LF, an upper-case
            # digest (signed in lower case), comments and unknown lines.
            "written differently": "\r\n".join([
                "# KORVA release", "  VERSION = %s" % VERSION, "InstallerURL=%s " % URL,
                "installerSHA256 =\t" + DIGEST.upper(), "Expires= " + expires, "notes=signed",
                "SIGNATURE-%s = %s" % (self.key_a.id.upper(),
                                       base64.b64encode(self.key_a.sign(statement)).decode())]) + "\r\n",
        }
        for name, manifest in cases.items():
            with self.subTest(name):
                self.assert_installed(manifest)

    def test_values_beyond_ascii_are_signed_as_their_utf8_bytes(self):
        # Two-, three- and four-byte sequences; the last is a surrogate pair
        # inside the installer, which must turn back into the same four bytes.
        version = "4.5.6-\u00e4\u20ac\U0001F600"
        self.assertEqual(self.attempt(signed_manifest(version, URL, DIGEST, [self.key_a])), 0)
        self.assertEqual(self.read_file(self.installer_file(version)), INSTALLER)

    def test_forged_and_damaged_manifests_are_refused(self):
        # test_tool_agreement.py runs the installer through the rest: no
        # signature, a changed version, an appended version, an unknown key
        # under a trusted id, a 00 appended, no padding, expired, and expires
        # with fractions or empty.
        expires = utc_in(days=30)
        statement = signed_statement(VERSION, URL, DIGEST, expires)
        raw = self.key_a.sign(statement)
        line = self.key_a.signature_line(statement, raw)
        text = line.split("=", 1)[1]
        good = "version=%s\ninstallerUrl=%s\ninstallerSha256=%s\nexpires=%s\n%s\n" % (
            VERSION, URL, DIGEST, expires, line)
        with_line = lambda other: good.replace(line, other)
        cases = {
            "installer URL changed": good.replace(URL, OTHER_URL),
            "URL and digest changed": good.replace(URL, EVIL_URL).replace(DIGEST, EVIL_DIGEST),
            "expires moved later": good.replace(expires, utc_in(days=400)),
            "overriding lines appended": good + "installerUrl=%s\ninstallerSha256=%s\n" % (EVIL_URL, EVIL_DIGEST),
            "signature under another id": with_line("signature-%s=%s" % (self.key_b.id, text)),
            "65 bytes, ff appended": with_line(self.key_a.signature_line(statement, raw + b"\xff")),
            "66 bytes, 00 r 00 s": with_line(self.key_a.signature_line(statement, b"\0" + raw[:32] + b"\0" + raw[32:])),
            # The last character before "==" carries 2 bits of r||s and 4
            # dropped ones, all zero: A, Q, g or w. One more sets a dropped bit.
            "base64 with dropped bits set": with_line(line[:-3] + chr(ord(line[-3]) + 1) + "=="),
            "base64 with data after the padding": with_line(line + "AAAA"),
            "base64 with a blank inside": with_line(line[:60] + " " + line[60:]),
        }
        # Malformed expires values, each signed as it stands: only the form
        # check can refuse them, and the date would lie ahead.
        for value in ["2031-01-01T00:00:00", "2031-01-01T00:00:00+00:00", "2031-02-29T00:00:00Z",
                      "2031-01-01 00:00:00Z", "2031-1-01T00:00:00Z"]:
            cases["malformed expires %r" % value] = signed_manifest(VERSION, URL, DIGEST, [self.key_a], value)
        with self.subTest("as signed (the control)"):
            self.assert_installed(good)
        for name, manifest in cases.items():
            with self.subTest(name):
                self.assert_refused(manifest)
        # The same forgery with the check in place of the installer proves the
        # server really would have handed the file out.
        self.assert_installed(cases["URL and digest changed"], exe=None, installer=EVIL)

    def test_a_signature_does_not_replace_the_url_policy_or_the_digest(self):
        expires = utc_in(days=30)
        with self.subTest("plain HTTP installer URL"):
            self.assert_refused(signed_manifest(VERSION, URL.replace("https:", "http:"), DIGEST, [self.key_a], expires))
        with self.subTest("signed digest of another file"):
            self.assertEqual(self.attempt(signed_manifest(VERSION, EVIL_URL, DIGEST, [self.key_a], expires)), 1)
            self.assertFalse(os.path.exists(self.installer_file(VERSION)), "a mismatching installer was kept")
            self.assert_log([CHECKING, downloading(VERSION), VERIFY_FAILED])

    def test_expiry_is_judged_in_utc_whatever_the_local_time_zone(self):
        # Local time in UTC+14 is past an expiry 3 hours ahead; in UTC-12 it
        # is before an expiry 3 hours ago. Only UTC gives the right answers.
        ahead = signed_manifest(VERSION, URL, DIGEST, [self.key_a], utc_in(hours=3))
        behind = signed_manifest(VERSION, URL, DIGEST, [self.key_a], utc_in(hours=-3))
        for zone, hours in (("Etc/GMT-14", 14), ("Etc/GMT+12", -12)):
            with self.subTest(zone):
                self.assert_installed(ahead, environment={"TZ": zone})
                self.assert_local_time_was(hours)
                self.assert_refused(behind, environment={"TZ": zone})

    def assert_local_time_was(self, hours):
        """The zone reached the installer: its log stamps are that far from UTC."""
        first = self.read_file(os.path.join(self.working_dir, "KORVA.Installer.log")).split(b"\r\n")[0].decode()
        stamp = datetime.datetime.strptime(" ".join(first.split(" ")[:2]), "%Y-%m-%d %H:%M:%S")
        utc = self.runs[-1]["utc_started"]
        self.assertLess(abs((stamp - utc).total_seconds() - hours * 3600), 120, first)

    def test_self_test_of_a_keyed_installer_passes(self):
        code, output = run_wine(["wine", self.keyed["AB"], "--self-test"])
        self.assertEqual(code, 0, output)


class KeyRotation(SignedReleaseTestCase):
    def test_installers_trust_exactly_their_keys(self):
        expires = utc_in(days=30)
        statement = signed_statement(VERSION, URL, DIGEST, expires)
        by = {"A": [self.key_a], "B": [self.key_b], "A+B": [self.key_a, self.key_b]}
        trusted = {"A": "A", "B": "B", "AB": "A+B"}
        for exe in ("A", "B", "AB"):
            for signers, keys in by.items():
                with self.subTest(installer=exe, signed_by=signers):
                    manifest = signed_manifest(VERSION, URL, DIGEST, keys, expires)
                    if set(signers.split("+")) & set(trusted[exe].split("+")):
                        self.assert_installed(manifest, exe)
                    else:
                        self.assert_refused(manifest, exe)
        # A bad line for one trusted key does not veto a good one for the other.
        broken_a = "signature-%s=%s" % (self.key_a.id, base64.b64encode(b"\1" * 64).decode())
        both = signed_manifest(VERSION, URL, DIGEST, [self.key_b], expires) + broken_a + "\n"
        with self.subTest("bad A line, good B line"):
            self.assert_installed(both, "AB")
        with self.subTest("bad A line, good B line, trusting A only"):
            self.assert_refused(both, "A")
        # Lines for ids this installer does not know are ignored.
        unknown = signed_manifest(VERSION, URL, DIGEST, [self.key_a], expires) + \
            "signature-0123456789abcdef=%s\nsignature-x=y\n" % base64.b64encode(self.key_a.sign(statement)).decode()
        with self.subTest("unknown ids"):
            self.assert_installed(unknown, "A")


class UnkeyedInstaller(SignedReleaseTestCase):
    def test_signature_and_expires_lines_are_unknown_keys(self):
        manifest = "version=%s\ninstallerUrl=%s\ninstallerSha256=%s\nexpires=yesterday\n" \
                   "signature-%s=not base64\n" % (VERSION, URL, DIGEST, self.key_a.id)
        self.assert_installed(manifest, exe=None)
        self.assert_installed(signed_manifest(VERSION, URL, DIGEST, [self.key_b], utc_in(hours=-1)), exe=None)


if __name__ == "__main__":
    main()
