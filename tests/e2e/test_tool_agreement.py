"""korva-release verify and the keyed installer judge one table of good and
bad manifests alike. The installer is the build trusting the test keys A and
B (KORVA-Installer-AB); the tool gets the same two public keys. Each manifest
is served with an installer that matches whatever digest it names, so only
the manifest check can refuse; the digest case serves another file.

The installer shows its message only in its window, so the verdicts compared
are: verified (exit 0); refused before any download (exit 1, only the
manifest requested; the tool names the reason); refused after the download
(exit 1, "Installer SHA-256 verification failed." logged; the tool, given the
served file, reports the digest mismatch).

    python3 test_tool_agreement.py KORVA-Installer-AB.exe
with KORVA_RELEASE_TOOL (korva-release) and KORVA_TEST_KEYS (the folder of
a/b.key.pem and a/b.pub.pem) in the environment.
"""
import base64
import os
import subprocess

from attempt import CHECKING, VERIFY_FAILED, AttemptTestCase, SigningKey, main, sha256, signed_statement

NOT_SIGNED = "The KORVA release manifest is not signed by the publisher."
INCOMPLETE = "The KORVA release manifest is incomplete."
EXPIRED = "The KORVA release manifest has expired."
NOT_HTTPS = "The release URL must use HTTPS."
MISMATCH = "The downloaded installer did not match the official SHA-256 value. It will not be executed."
INSTALLER = b"MZ signed KORVA test installer\r\n" * 200
OTHER = b"MZ a file the publisher never signed\r\n" * 100
PATH = "/downloads/signed/KORVA-Setup.exe"
URL = "https://korva.com" + PATH
DIGEST = sha256(INSTALLER)
FUTURE = "2099-01-01T00:00:00Z"


def b64(raw):
    return base64.b64encode(raw).decode("ascii")


class ToolAndInstallerAgree(AttemptTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.tool = os.environ["KORVA_RELEASE_TOOL"]
        keys = os.environ["KORVA_TEST_KEYS"]
        cls.keys = {name: SigningKey(keys, name) for name in ("a", "b")}
        # A third key, made now by the tool, that the installer does not trust.
        subprocess.run([cls.tool, "keygen", "--out", os.path.join(cls.suite_dir, "c")], check=True,
                       stdout=subprocess.DEVNULL)
        cls.keys["c"] = SigningKey(cls.suite_dir, "c")
        cls.ids = {name: key.id for name, key in cls.keys.items()}

    def manifest(self, signers="a", version="1.2.3", url=URL, digest=DIGEST, expires=FUTURE, line_ids=None):
        """Manifest text signed over its own values by each of signers;
        line_ids names a signer's line after another key."""
        text = "version=%s\ninstallerUrl=%s\ninstallerSha256=%s\n" % (version, url, digest)
        if expires is not None:
            text += "expires=%s\n" % expires
        message = signed_statement(version, url, digest, expires or "")
        for signer in signers:
            line_id = (line_ids or {}).get(signer, self.ids[signer])
            text += "signature-%s=%s\n" % (line_id, b64(self.keys[signer].sign(message)))
        return text

    def table(self):
        good = self.manifest()
        raw = base64.b64decode(good.splitlines()[-1][27:])
        a_line = good.splitlines()[-1]
        both = self.manifest(signers="ab")
        # (name, manifest, served installer, the tool's verdict: None = verified)
        return [
            ("signed by A", good, INSTALLER, None),
            ("signed by B, no expires", self.manifest(signers="b", expires=None), INSTALLER, None),
            ("A's line spoiled, B's good", both.replace(a_line[27:], "A" * 86 + "=="), INSTALLER, None),
            ("key and digest in capitals", self.manifest(digest=DIGEST.upper()).replace(
                "signature-" + self.ids["a"], "SIGNATURE-" + self.ids["a"].upper()), INSTALLER, None),
            ("version beyond ASCII", self.manifest(version="2.0-b\u00e9ta"), INSTALLER, None),
            ("unsigned", self.manifest(signers=""), INSTALLER, NOT_SIGNED),
            ("version changed", good.replace("version=1.2.3", "version=1.2.4"), INSTALLER, NOT_SIGNED),
            ("overriding line appended", good + "VERSION=6.6.6\n", INSTALLER, NOT_SIGNED),
            ("untrusted key under A's id", self.manifest(signers="c", line_ids={"c": self.ids["a"]}), INSTALLER,
             NOT_SIGNED),
            ("untrusted key under its own id", self.manifest(signers="c"), INSTALLER, NOT_SIGNED),
            ("65-byte signature", good.replace(a_line[27:], b64(raw + b"\0")), INSTALLER, NOT_SIGNED),
            ("base64 without padding", good.replace(a_line, a_line.rstrip("=")), INSTALLER, NOT_SIGNED),
            ("a bad second line for A", good + a_line[:27] + "A" * 86 + "==\n", INSTALLER, NOT_SIGNED),
            ("expired", self.manifest(expires="2020-01-01T00:00:00Z"), INSTALLER, EXPIRED),
            ("expires with fractions", self.manifest(expires="2099-01-01T00:00:00.000Z"), INSTALLER, INCOMPLETE),
            ("expires empty", self.manifest(expires=""), INSTALLER, INCOMPLETE),
            ("signed but plain HTTP", self.manifest(url="http://korva.com" + PATH), INSTALLER, NOT_HTTPS),
            ("signed, another file served", good, OTHER, MISMATCH),
            # 63 digits and one two-byte character: 64 UTF-16 units, so complete.
            ("digest of 64 units, not hex", self.manifest(digest=DIGEST[:63] + "\u00e9"), INSTALLER, MISMATCH),
            ("digest of 65 characters", self.manifest(digest=DIGEST + "0"), INSTALLER, INCOMPLETE),
        ]

    def tool_verdict(self, manifest_text, served):
        manifest = os.path.join(self.suite_dir, "manifest.txt")
        installer = os.path.join(self.suite_dir, "served.exe")
        with open(manifest, "wb") as f:
            f.write(manifest_text.encode("utf-8"))
        with open(installer, "wb") as f:
            f.write(served)
        done = subprocess.run([self.tool, "verify", "--pub", self.keys["a"].public, "--pub", self.keys["b"].public,
                               "--manifest", manifest, "--installer", installer], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=60)
        return done.returncode, done.stderr.decode().strip() or None

    def test_the_same_verdicts(self):
        for name, text, served, expected in self.table():
            with self.subTest(name):
                self.assertEqual(self.tool_verdict(text, served), (1 if expected else 0, expected))
                self.appdata, self.appdata_win = self.new_folder("appdata")
                self.serve(PATH, served)
                self.serve_manifest(text)
                code = self.run_attempt()
                if expected is None:
                    self.assertEqual(code, 0)
                elif expected == MISMATCH:
                    self.assertEqual(code, 1)
                    self.assertEqual(self.log_texts()[-1], VERIFY_FAILED)
                else:
                    self.assertEqual(code, 1)
                    self.assert_only_manifest_requested()
                    self.assert_log([CHECKING])


if __name__ == "__main__":
    main()
