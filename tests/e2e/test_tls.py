"""Server certificates the attempt must refuse: the same tree behind ports
whose certificate is untrusted, expired or made out to another name."""
import os

from attempt import CHECKING, MANIFEST_PATH, VERIFIED, AttemptTestCase, downloading, main, sha256

INSTALLER = b"MZ" + os.urandom(20000)
PATH = "/downloads/KORVA-Setup.exe"


class ServerCertificates(AttemptTestCase):
    def setUp(self):
        super().setUp()
        self.serve(PATH, INSTALLER)

    def attempt_on_port(self, port):
        self.appdata, self.appdata_win = self.new_folder("appdata")
        self.serve_release("7.1", "https://korva.com:%d%s" % (port, PATH), sha256(INSTALLER))
        return self.run_attempt()

    def test_trusted_certificate_on_another_port_is_accepted(self):
        # The control for the cases below: only the certificate differs.
        port = int(os.environ["KORVA_ALT_PORT"])
        self.assertEqual(self.attempt_on_port(port), 0)
        self.assert_log([CHECKING, downloading("7.1"), VERIFIED])
        self.assert_requested([(443, MANIFEST_PATH, 200), (port, PATH, 200)])

    def test_rejected_certificates(self):
        for variable in ("KORVA_UNTRUSTED_PORT", "KORVA_EXPIRED_PORT", "KORVA_WRONG_NAME_PORT"):
            with self.subTest(variable):
                self.assertEqual(self.attempt_on_port(int(os.environ[variable])), 1)
                self.assertFalse(os.path.exists(self.installer_file("7.1")))
                self.assert_log([CHECKING, downloading("7.1")])
                # The handshake failed: no request was ever sent.
                self.assert_only_manifest_requested()


if __name__ == "__main__":
    main()
