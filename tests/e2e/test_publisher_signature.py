"""Pinned builds: installers that start only a setup program signed by the
publisher (tests/CMakeLists.txt makes the publisher's key and its
intermediate CA's key per build folder, and links one installer pinning each)
against fake setups signed by osslsigncode.

Here the sandbox's CA, the only root Wine trusts, issues certificates for
those keys: the intermediate, the publisher's leaf, another publisher's leaf,
a new leaf of the intermediate, a leaf without the code-signing usage and an
expired one. The build folder's own certificates for the same keys chain to a
root that Wine does not trust. Every refused setup is served with its true
SHA-256 in the manifest, so a check that is missing shows as exit code 0.

Usage: test_publisher_signature.py KORVA-Installer.exe (the unpinned one); the
pinned installers, the key folder and the fake setup come in
KORVA_E2E_PINNED_INSTALLER, KORVA_E2E_PINNED_CA_INSTALLER,
KORVA_E2E_TEST_PUBLISHER and KORVA_E2E_FAKE_SETUP."""
import os
import random
import shutil
import struct
import subprocess
import sys

from attempt import (CHECKING, VERIFIED, VERIFY_FAILED, AttemptTestCase, downloading, main, sandbox_variable, sha256,
                     winepath)

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from pe_image import Image  # noqa: E402

SIGNATURE_FAILED = "Installer signature verification failed."
VERSION = "7.1.0"
SECURITY_DIRECTORY = 4
# The SpcIndirectDataContent's type, and the SHA-256 algorithm of its DigestInfo.
SPC_INDIRECT_DATA = bytes.fromhex("060a2b060104018237020104")
SHA256_ALGORITHM = bytes.fromhex("0609608648016503040201")


def run(*command):
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if result.returncode != 0:
        raise AssertionError("%s failed (%d): %s" % (" ".join(command), result.returncode,
                                                     result.stdout.decode("utf-8", "replace")))


def security_entry_offset(image):
    # The data directories follow the checksum's 64-byte region by 48 bytes.
    return image.checksum_offset + 48 + 8 * SECURITY_DIRECTORY


def extract_signature(signed):
    """The PKCS#7 DER of the file's certificate table (read here: osslsigncode
    2.5 and 2.9 write extract-signature's output differently)."""
    image = Image(signed)
    offset, size = image.directory(SECURITY_DIRECTORY)
    length = struct.unpack_from("<I", image.data, offset)[0]
    der = image.data[offset + 8:offset + min(length, size)]
    assert der[0] == 0x30 and der[1] == 0x82, der[:4].hex()
    return der[:4 + struct.unpack(">H", der[2:4])[0]]


def attach_signature(unsigned, der, out):
    """unsigned with der as its certificate table, as attach-signature would
    write it without judging the signature first."""
    data = bytearray(Image(unsigned).data)
    assert len(data) % 8 == 0
    body = der + b"\0" * (-len(der) % 8)
    struct.pack_into("<II", data, security_entry_offset(Image(unsigned)), len(data), 8 + len(body))
    with open(out, "wb") as f:
        f.write(bytes(data) + struct.pack("<IHH", 8 + len(body), 0x0200, 2) + body)


def content_digest_offset(der):
    """Where the signed content's image digest (32 bytes) lies in a signature."""
    algorithm = der.index(SHA256_ALGORITHM, der.index(SPC_INDIRECT_DATA))
    return der.index(b"\x04\x20", algorithm) + 2


class Pki:
    """Certificates for the build's publisher keys under the sandbox's CA."""

    def __init__(self, folder, keys):
        self.folder, self.keys = folder, keys
        self.ca = (sandbox_variable("KORVA_CA_CERT"), sandbox_variable("KORVA_CA_KEY"))
        with open(self.path("ca.ext"), "w") as f:
            f.write("basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign\n")
        for usage in ("codeSigning", "serverAuth"):
            with open(self.path(usage + ".ext"), "w") as f:
                f.write("basicConstraints=CA:FALSE\nextendedKeyUsage=%s\n" % usage)

    def path(self, name):
        return os.path.join(self.folder, name)

    def key(self, name):
        """One of the build's pinned keys, or a fresh one of the test's own."""
        built = os.path.join(self.keys, name + ".key")
        if os.path.exists(built):
            return built
        if not os.path.exists(self.path(name + ".key")):
            run("openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048",
                "-out", self.path(name + ".key"))
        return self.path(name + ".key")

    def request(self, name, key):
        run("openssl", "req", "-new", "-key", self.key(key), "-subj", "/CN=KORVA test " + name,
            "-out", self.path(name + ".csr"))

    def issue(self, name, key, issuer, extensions):
        """name.crt for key, issued by issuer (a (cert, key) pair)."""
        self.request(name, key)
        run("openssl", "x509", "-req", "-in", self.path(name + ".csr"), "-CA", issuer[0], "-CAkey", issuer[1],
            "-set_serial", str(random.getrandbits(63)), "-days", "30", "-extfile", self.path(extensions + ".ext"),
            "-out", self.path(name + ".crt"))
        return self.path(name + ".crt")

    def issue_expired(self, name, key, issuer):
        """x509 -req cannot back-date in OpenSSL 3.0; the ca command can."""
        self.request(name, key)
        database = self.path("index.txt")
        open(database, "w").close()
        with open(self.path("serial"), "w") as f:
            f.write("%016x\n" % random.getrandbits(63))
        os.makedirs(self.path("newcerts"), exist_ok=True)
        with open(self.path("ca.cnf"), "w") as f:
            f.write("[ca]\ndefault_ca=test\n[test]\ndatabase=%s\nnew_certs_dir=%s\nserial=%s\n"
                    "default_md=sha256\npolicy=any\nunique_subject=no\n[any]\ncommonName=supplied\n"
                    % (database, self.path("newcerts"), self.path("serial")))
        run("openssl", "ca", "-batch", "-notext", "-config", self.path("ca.cnf"), "-cert", issuer[0],
            "-keyfile", issuer[1], "-in", self.path(name + ".csr"), "-out", self.path(name + ".crt"),
            "-startdate", "20200101000000Z", "-enddate", "20200201000000Z",
            "-extfile", self.path("codeSigning.ext"))
        return self.path(name + ".crt")


def osslsigncode_sign(source, out, chain, key, extra_certificate=None):
    """source signed by key, with the certificates of chain (leaf first) in
    the signature."""
    bundle = out + ".chain.pem"
    with open(bundle, "w") as f:
        for part in chain:
            with open(part) as certificate:
                f.write(certificate.read())
    if os.path.exists(out):
        os.remove(out)
    extra = ["-ac", extra_certificate] if extra_certificate else []
    run("osslsigncode", "sign", *extra, "-h", "sha256", "-certs", bundle, "-key", key, "-in", source, "-out", out)
    return out


def sign_as_publisher(folder, keys, source, out):
    """source signed by the build's publisher key, its leaf and intermediate
    issued now under the sandbox's CA (for the window tests)."""
    pki = Pki(folder, keys)
    intermediate = pki.issue("intermediate", "intermediate", pki.ca, "ca")
    leaf = pki.issue("publisher", "publisher", (intermediate, pki.key("intermediate")), "codeSigning")
    return osslsigncode_sign(source, out, (leaf, intermediate), pki.key("publisher"))


class PublisherSignatures(AttemptTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.pinned = winepath("-w", sandbox_variable("KORVA_E2E_PINNED_INSTALLER"))
        cls.pinned_ca = winepath("-w", sandbox_variable("KORVA_E2E_PINNED_CA_INSTALLER"))
        keys = sandbox_variable("KORVA_E2E_TEST_PUBLISHER")
        cls.files = os.path.join(cls.suite_dir, "files")
        os.makedirs(cls.files)
        cls.setup = cls.file("setup.exe")
        shutil.copyfile(sandbox_variable("KORVA_E2E_FAKE_SETUP"), cls.setup)
        # Another program: the same code with other bytes after it, which the
        # image digest covers, up to a multiple of 8 bytes, where a
        # certificate table can follow at once.
        cls.other_program = cls.file("other-program.exe")
        with open(cls.setup, "rb") as f, open(cls.other_program, "wb") as out:
            data = f.read() + b"another program, never signed by the publisher"
            out.write(data + b"." * (-len(data) % 8))
        pki = Pki(cls.files, keys)
        intermediate_crt = pki.issue("intermediate", "intermediate", pki.ca, "ca")
        intermediate = (intermediate_crt, pki.key("intermediate"))
        cls.signers = {
            "publisher": (pki.issue("publisher", "publisher", intermediate, "codeSigning"), intermediate_crt),
            "other": (pki.issue("other", "other", intermediate, "codeSigning"), intermediate_crt),
            "new leaf": (pki.issue("new leaf", "new", intermediate, "codeSigning"), intermediate_crt),
            "server": (pki.issue("server", "publisher", intermediate, "serverAuth"), intermediate_crt),
            "expired": (pki.issue_expired("expired", "publisher", intermediate), intermediate_crt),
            # The build's own certificates: the pinned keys under a root that
            # nobody trusts, sent along so that the chain is whole.
            "untrusted root": (os.path.join(keys, "publisher.crt"), os.path.join(keys, "intermediate.crt"),
                               os.path.join(keys, "root.crt")),
        }
        cls.signer_keys = {"publisher": pki.key("publisher"), "other": pki.key("other"), "new leaf": pki.key("new"),
                           "server": pki.key("publisher"), "expired": pki.key("publisher"),
                           "untrusted root": pki.key("publisher")}

    @classmethod
    def file(cls, name):
        return os.path.join(cls.files, name)

    @classmethod
    def sign(cls, signer, source=None, extra_certificate=None):
        """source (the fake setup) signed by signer, with the signer's leaf
        and its issuers in the signature; returns the signed file's path."""
        out = cls.file("%s%s.signed.exe" % (signer, ".bag" if extra_certificate else ""))
        return osslsigncode_sign(source or cls.setup, out, cls.signers[signer], cls.signer_keys[signer],
                                 extra_certificate)

    def attempt(self, path, exe, digest=None):
        """Serves the file with its true SHA-256 (or digest) and runs one attempt."""
        with open(path, "rb") as f:
            data = f.read()
        self.appdata, self.appdata_win = self.new_folder("appdata")
        url_path = self.serve("/downloads/pinned/%s.exe" % self._testMethodName, data)
        self.serve_release(VERSION, self.url(url_path), digest or sha256(data))
        return self.run_attempt(exe=exe), data

    def assert_verified(self, path, exe):
        code, data = self.attempt(path, exe)
        self.assertEqual(code, 0)
        self.assert_log([CHECKING, downloading(VERSION), VERIFIED])
        self.assertEqual(self.read_file(self.installer_file(VERSION)), data)

    def assert_not_signed(self, path, exe=None):
        with self.subTest(os.path.basename(path)):
            code, _ = self.attempt(path, exe or self.pinned)
            self.assertEqual(code, 1)
            self.assert_log([CHECKING, downloading(VERSION), SIGNATURE_FAILED])
            self.assert_nothing_but_log()

    # --- the publisher's signature passes ---------------------------------------

    def test_signed_by_the_pinned_leaf_verifies(self):
        self.assert_verified(self.sign("publisher"), self.pinned)

    def test_pinned_intermediate_takes_a_new_leaf(self):
        self.assert_verified(self.sign("new leaf"), self.pinned_ca)

    def test_unpinned_build_takes_an_unsigned_setup(self):
        self.assert_verified(self.setup, self.exe)

    # --- anything else is refused -------------------------------------------------

    def test_refused_signers(self):
        # Each case fails exactly one of the conditions; Wine's WinVerifyTrust
        # returns 0 for the last four.
        self.assert_not_signed(self.setup)
        self.assert_not_signed(self.sign("other"))
        self.assert_not_signed(self.sign("untrusted root"))
        self.assert_not_signed(self.sign("server"))
        self.assert_not_signed(self.sign("expired"))

    def test_a_digest_mismatch_is_told_as_such(self):
        # The signature is checked beside the SHA-256 pass; a file that fails
        # both is refused for its digest, signed or not.
        for path in (self.setup, self.sign("publisher")):
            with self.subTest(os.path.basename(path)):
                code, _ = self.attempt(path, self.pinned, digest=sha256(b"another file"))
                self.assertEqual(code, 1)
                self.assert_log([CHECKING, downloading(VERSION), VERIFY_FAILED])
                self.assert_nothing_but_log()

    def test_pinned_certificate_only_in_the_bag(self):
        # Signed by another publisher of the same intermediate, with the
        # publisher's certificate stored beside its own: a bag holds whatever
        # anyone adds, the signer's chain does not.
        self.assert_not_signed(self.sign("other", extra_certificate=self.signers["publisher"][0]))

    def test_byte_changed_after_signing(self):
        signed = self.sign("publisher")
        data = bytearray(Image(signed).data)
        first_section = Image(signed).sections[0][2]
        data[first_section + 16] ^= 0x01
        changed = self.file("changed.exe")
        with open(changed, "wb") as f:
            f.write(bytes(data))
        self.assert_not_signed(changed)

    def test_lifted_signature_with_swapped_content(self):
        # The publisher's signature of the setup, its signed content's image
        # digest replaced by the other program's, attached to that program:
        # the image digest matches, but the signed messageDigest still is
        # the genuine content's.
        genuine = bytearray(extract_signature(self.sign("publisher")))
        foreign = extract_signature(self.sign("other", source=self.other_program))
        at, foreign_at = content_digest_offset(bytes(genuine)), content_digest_offset(foreign)
        self.assertNotEqual(genuine[at:at + 32], foreign[foreign_at:foreign_at + 32])
        genuine[at:at + 32] = foreign[foreign_at:foreign_at + 32]
        lifted = self.file("lifted.exe")
        attach_signature(self.other_program, bytes(genuine), lifted)
        self.assert_not_signed(lifted)


if __name__ == "__main__":
    main()
