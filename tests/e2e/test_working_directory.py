"""Where an attempt writes when LOCALAPPDATA does not say."""
import os
import shutil

from attempt import CHECKING, MANIFEST_PATH, VERIFIED, AttemptTestCase, downloading, main, run_wine, sha256, winepath

INSTALLER = b"MZ working directory test" * 50
PATH = "/downloads/KORVA-Setup.exe"


class WorkingDirectory(AttemptTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        code, output = run_wine(["wine", "cmd", "/c", "echo", "%TEMP%"])
        assert code == 0, output
        cls.temp_korva = os.path.join(winepath("-u", output.strip()), "KORVA")

    def setUp(self):
        super().setUp()
        shutil.rmtree(self.temp_korva, ignore_errors=True)
        self.addCleanup(shutil.rmtree, self.temp_korva, ignore_errors=True)
        self.serve(PATH, INSTALLER)
        self.serve_release("8.0", "https://korva.com" + PATH, sha256(INSTALLER))

    def test_without_localappdata_the_temporary_folder_is_used(self):
        self.assertEqual(self.run_attempt(localappdata=None), 0)

        working_dir = os.path.join(self.temp_korva, "Installer")
        self.assertEqual(sorted(os.listdir(working_dir)), ["KORVA-Setup-8.0.exe", "KORVA.Installer.log"])
        self.assertEqual(self.read_file(os.path.join(working_dir, "KORVA-Setup-8.0.exe")), INSTALLER)
        self.assert_log([CHECKING, downloading("8.0"), VERIFIED], working_dir)
        self.assertEqual(os.listdir(self.appdata), [])

    def test_localappdata_naming_a_missing_folder_fails_without_writing(self):
        missing = os.path.join(self.appdata, "missing")
        self.assertEqual(self.run_attempt(localappdata=self.appdata_win + "\\missing"), 1)

        self.assertFalse(os.path.exists(missing))
        self.assertEqual(os.listdir(self.appdata), [])
        self.assertFalse(os.path.exists(self.temp_korva))
        # Only the file could not be written; the request itself went out.
        self.assert_requested([(443, MANIFEST_PATH, 200), (443, PATH, 200)])


if __name__ == "__main__":
    main()
