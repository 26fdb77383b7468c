"""Installer URLs the manifest may name, and the ones it may not, judged by
what actually reached the servers."""
import os

from attempt import CHECKING, MANIFEST_PATH, VERIFIED, AttemptTestCase, downloading, main, sha256

INSTALLER = b"\x4d\x5a" + bytes(range(256)) * 40
PATH = "/downloads/KORVA-Setup.exe"


class ReleaseUrls(AttemptTestCase):
    def setUp(self):
        super().setUp()
        self.serve(PATH, INSTALLER)

    def attempt(self, installer_url):
        self.appdata, self.appdata_win = self.new_folder("appdata")
        self.serve_release("5.0", installer_url, sha256(INSTALLER))
        return self.run_attempt()

    def test_urls_outside_the_policy_are_never_requested(self):
        foreign = os.environ["KORVA_FOREIGN_HOST"]
        # Each of these names a server that would answer (plain http on
        # port 80, the foreign host on 443), so only the policy holds them off.
        for url in ["http://korva.com" + PATH,
                    "https://%s%s" % (foreign, PATH),
                    "https://korva.com@%s%s" % (foreign, PATH),
                    "https://korva.com.%s%s" % (foreign, PATH),
                    "https://127.0.0.1" + PATH]:
            with self.subTest(url=url):
                self.assertEqual(self.attempt(url), 1)
                self.assert_only_manifest_requested()
                self.assert_nothing_but_log()
                self.assert_log([CHECKING])

    def test_accepted_forms_reach_the_server_as_written(self):
        alt_port = int(os.environ["KORVA_ALT_PORT"])
        query = PATH + "?build=7&channel=stable=1&sig=a%3Db"
        cases = [
            ("www host", "https://www.korva.com" + PATH, 443, "www.korva.com", PATH),
            ("host in capitals", "https://KORVA.COM" + PATH, 443, "korva.com", PATH),
            ("explicit other port", "https://korva.com:%d%s" % (alt_port, PATH), alt_port, "korva.com", PATH),
            ("query with '='", "https://korva.com" + query, 443, "korva.com", query),
        ]
        for name, url, port, host, target in cases:
            with self.subTest(name):
                self.assertEqual(self.attempt(url), 0)
                self.assertEqual(self.read_file(self.installer_file("5.0")), INSTALLER)
                self.assert_log([CHECKING, downloading("5.0"), VERIFIED])
                installer_request = self.requests()[-1]
                self.assertEqual((installer_request.port, installer_request.host.lower(), installer_request.target),
                                 (port, host, target))
                self.assert_requested([(443, MANIFEST_PATH, 200), (port, target, 200)])



class ManifestRedirects(AttemptTestCase):
    MIRROR = "/mirror/korva-suite-update.txt"

    def setUp(self):
        super().setUp()
        self.serve(PATH, INSTALLER)
        # A self-consistent manifest wherever the redirect leads: only the
        # policy on every hop keeps its installer from being started.
        self.serve(self.MIRROR, "version=6.6.6\ninstallerUrl=https://korva.com%s\ninstallerSha256=%s\n"
                   % (PATH, sha256(INSTALLER)))

    def redirect_manifest(self, location, status=302):
        self.appdata, self.appdata_win = self.new_folder("appdata")
        self.set_scenario({MANIFEST_PATH: {"status": status, "headers": {"Location": location}}})
        return self.run_attempt()

    def test_manifest_redirect_off_the_official_domain_connects_nowhere(self):
        trap, lookalike = os.environ["KORVA_TRAP_HOST"], os.environ["KORVA_LOOKALIKE_HOST"]
        for location in ("https://%s%s" % (trap, self.MIRROR), "https://%s%s" % (lookalike, self.MIRROR),
                         "http://korva.com" + self.MIRROR):
            with self.subTest(location=location):
                self.assertEqual(self.redirect_manifest(location), 1)
                self.assertEqual(self.trap_connections(), [])
                self.assert_only_manifest_requested(302)
                self.assert_nothing_but_log()
                self.assert_log([CHECKING])

    def test_manifest_redirect_within_the_official_domain_verifies(self):
        for location, host in (("https://www.korva.com" + self.MIRROR, "www.korva.com"),
                               ("../mirror/./korva-suite-update.txt", "korva.com")):
            with self.subTest(location=location):
                self.assertEqual(self.redirect_manifest(location, status=301), 0)
                self.assertEqual(self.read_file(self.installer_file("6.6.6")), INSTALLER)
                self.assert_log([CHECKING, downloading("6.6.6"), VERIFIED])
                self.assertEqual([(r.host, r.target, r.status) for r in self.requests()],
                                 [("korva.com", MANIFEST_PATH, 301), (host, self.MIRROR, 200),
                                  ("korva.com", PATH, 200)])

if __name__ == "__main__":
    main()
