#!/usr/bin/env python3
"""DLL planting under Wine: a DLL named like one the installer uses, dropped
beside it, must never be loaded, neither at start-up nor when the installer
first calls into WinHTTP, CNG or the common controls.

    planted_dlls.py KORVA-Installer.exe UNPROTECTED.exe planted.dll [PINNED.exe]

Each run gets a folder of its own, as a Downloads folder would be: the exe,
planted.dll copied under one DLL's name, and the LOCALAPPDATA of the run. The
planted DLL leaves NAME.dll.loaded beside itself and ends the process with 86.

Wine loads its own builtin DLL even when a native one of that name lies in
the application folder; Windows takes the file in the folder. Each run
therefore sets WINEDLLOVERRIDES "NAME=n,b" for the planted name, so Wine
searches as Windows does, and the unprotected build proves that it then
loads the planted file. WINEDEBUG=+loaddll tells which file each load took.

Two cases are left out because Wine itself, not the installer, loads the DLL
by a path that starts with the application folder:
- version.dll: Wine's user32.dll imports it, so with "version=n,b" Wine loads
  a planted version.dll while it starts any program, before the program's
  first instruction. Windows' user32 has no such import.
- bcrypt.dll in --download-test: for the TLS handshake Wine's WinHTTP
  delay-loads crypt32.dll, which imports bcrypt.dll, and Wine 8 resolves its
  own DLLs' delay imports without the restriction of SetDefaultDllDirectories
  (seen with WINEDEBUG=+module: "looking for bcrypt.dll in (null)"). So
  bcrypt.dll comes from the application folder before the installer's own
  first call into CNG could load it.
"""
import glob
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

PLANTED_NAMES = ("winhttp", "bcrypt", "comctl32")
HIJACKED_EXIT = 86
MANIFEST_PATH = "updates/korva-suite-update.txt"
INSTALLER_PATH = "hardening/KORVA-Setup-9.1.0.exe"
LOADED = re.compile(r'Loaded L"([^"]+)" at [0-9A-Fa-f]+: (native|builtin)')


def sandbox_variable(name):
    value = os.environ.get(name)
    if not value:
        sys.exit(f"{name} is not set: run the tests inside scripts/sandbox.sh")
    return value


def windows_path(unix_path):
    # Wine maps the Unix root as drive Z:.
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


class Run:
    """One installer process in a folder with one planted DLL."""

    def __init__(self, folder, planted, code, output):
        self.folder, self.planted, self.code, self.output = folder, planted, code, output
        # (file name in lower case, Windows path, native or builtin) of every DLL Wine loaded.
        # Wine's trace doubles every backslash.
        paths = [(path.replace("\\\\", "\\"), kind) for path, kind in LOADED.findall(output)]
        self.loads = [(path.rsplit("\\", 1)[-1].lower(), path, kind) for path, kind in paths]

    def markers(self):
        return [os.path.basename(p) for p in glob.glob(os.path.join(self.folder, "*")) if p.lower().endswith(".loaded")]

    def loads_of(self, dll):
        return [(path, kind) for name, path, kind in self.loads if name == dll]

    def hijacked(self):
        return bool(self.markers()) or self.code == HIJACKED_EXIT or any(
            kind == "native" for _, kind in self.loads_of(self.planted + ".dll"))

    def describe(self):
        return (f"exit {self.code}, markers {self.markers()}, "
                f"{self.planted}.dll loads {self.loads_of(self.planted + '.dll')}")


class PlantedDllTests(unittest.TestCase):
    installer = unprotected = planted_dll = pinned = None
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        sandbox = sandbox_variable("KORVA_SANDBOX")
        os.makedirs(os.path.join(sandbox, "hardening"), exist_ok=True)
        cls.root = tempfile.mkdtemp(prefix="planted.", dir=os.path.join(sandbox, "hardening"))
        cls.www = os.environ.get("KORVA_WWW")
        cls.published = []
        if cls.www:
            cls.publish_release()

    @classmethod
    def tearDownClass(cls):
        for path in cls.published:
            if os.path.exists(path):
                os.remove(path)

    @classmethod
    def publish_release(cls):
        """A valid release, so that --download-test runs a whole attempt."""
        installer = b"MZ planted-DLL test installer\n" * 64
        manifest = ("version=9.1.0\ninstallerUrl=https://korva.com/%s\ninstallerSha256=%s\n"
                    % (INSTALLER_PATH, hashlib.sha256(installer).hexdigest())).encode()
        for relative, data in ((INSTALLER_PATH, installer), (MANIFEST_PATH, manifest)):
            path = os.path.join(cls.www, relative)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
            cls.published.append(path)

    def run_planted(self, exe, planted, args, timeout=60, stop_after_load=None):
        """Runs exe beside a planted NAME.dll; stop_after_load names a DLL whose
        load ends a run that would not end by itself (the window)."""
        folder = tempfile.mkdtemp(prefix=f"{planted}.", dir=self.root)
        shutil.copy(exe, os.path.join(folder, "KORVA-Installer.exe"))
        shutil.copy(self.planted_dll, os.path.join(folder, planted + ".dll"))
        os.makedirs(os.path.join(folder, "appdata"))
        env = dict(os.environ)
        env["WINEDLLOVERRIDES"] = env.get("WINEDLLOVERRIDES", "") + f";{planted}=n,b"
        env["WINEDEBUG"] = "+loaddll"
        env["LOCALAPPDATA"] = windows_path(os.path.join(folder, "appdata"))
        # Output through a file: Wine's background services inherit the first
        # program's handles and would hold a pipe open.
        with tempfile.TemporaryFile(dir=self.root) as output:
            process = subprocess.Popen(["timeout", "--kill-after=5", str(timeout), "wine", "KORVA-Installer.exe"] + args,
                                       cwd=folder, env=env, stdin=subprocess.DEVNULL, stdout=output,
                                       stderr=subprocess.STDOUT)
            if stop_after_load:
                self.wait_for_load(process, output, stop_after_load, timeout)
            code = process.wait()
            output.seek(0)
            return Run(folder, planted, code, output.read().decode("utf-8", "replace"))

    @staticmethod
    def wait_for_load(process, output, dll, timeout):
        deadline = time.monotonic() + timeout
        while process.poll() is None and time.monotonic() < deadline:
            output.seek(0)
            if any(name.lower().endswith("\\" + dll) for name, _ in LOADED.findall(output.read().decode("latin-1"))):
                break
            time.sleep(0.2)
        # A moment for the rest of the window's start-up, then end it.
        time.sleep(1)
        process.terminate()

    def test_unprotected_build_loads_every_planted_dll(self):
        # Without this, a planted DLL that Wine never picks up would make the
        # installer's runs below pass for nothing.
        # Not comctl32: the manifest's Common Controls 6 dependency binds it to
        # the side-by-side copy in both builds, before any folder is searched.
        for planted in PLANTED_NAMES:
            if planted == "comctl32":
                continue
            with self.subTest(planted=planted):
                run = self.run_planted(self.unprotected, planted, ["--self-test"])
                self.assertTrue(run.hijacked(), run.describe())
                self.assertEqual(run.code, HIJACKED_EXIT, run.describe())
                self.assertEqual([m.lower() for m in run.markers()], [planted + ".dll.loaded"], run.describe())

    def test_test_modes_never_load_a_planted_dll(self):
        download_exit = 0 if self.www else 1
        for planted in PLANTED_NAMES:
            for args, expected_exit in ((["--self-test"], 0), (["--download-test"], download_exit)):
                if planted == "bcrypt" and args == ["--download-test"]:
                    continue  # Wine's own crypt32.dll would load it first (see above).
                with self.subTest(planted=planted, mode=args[0]):
                    run = self.run_planted(self.installer, planted, args)
                    self.assertFalse(run.hijacked(), run.describe())
                    self.assertEqual(run.code, expected_exit, run.describe())
                    # What the run did load under that name came from System32.
                    for path, kind in run.loads_of(planted + ".dll"):
                        self.assertTrue(path.lower().startswith(("c:\\windows\\system32\\", "c:\\windows\\winsxs\\")),
                                        run.describe())
                        self.assertEqual(kind, "builtin", run.describe())
                    self.assert_reached(run, planted, args[0])

    def assert_reached(self, run, planted, mode):
        """Both modes call into WinHTTP, so its delay load really happened
        with the planted file waiting; otherwise the runs would prove little."""
        if planted == "winhttp":
            self.assertNotEqual(run.loads_of("winhttp.dll"), [], f"{mode} never loaded winhttp.dll")

    @unittest.skipUnless(os.environ.get("KORVA_WWW"), "no release server")
    def test_publisher_check_takes_wintrust_from_system32(self):
        # A pinned build calls into wintrust.dll once the file is hashed (the
        # test's release is unsigned, so the check fails: exit 1). Not
        # crypt32.dll: Wine's own WinHTTP loads it for TLS, as with bcrypt.dll.
        run = self.run_planted(self.pinned, "wintrust", ["--download-test"])
        self.assertFalse(run.hijacked(), run.describe())
        self.assertEqual(run.code, 1, run.describe())
        loads = run.loads_of("wintrust.dll")
        self.assertNotEqual(loads, [], "the check never loaded wintrust.dll: " + run.describe())
        for path, kind in loads:
            self.assertTrue(path.lower().startswith("c:\\windows\\system32\\"), run.describe())
            self.assertEqual(kind, "builtin", run.describe())

    @unittest.skipUnless(os.environ.get("DISPLAY"), "no display for the window")
    def test_window_takes_common_controls_from_system32(self):
        # The window is the only mode that calls into comctl32.dll.
        run = self.run_planted(self.installer, "comctl32", [], timeout=30, stop_after_load="comctl32.dll")
        self.assertFalse(run.hijacked(), run.describe())
        loads = run.loads_of("comctl32.dll")
        self.assertNotEqual(loads, [], "the window never loaded comctl32.dll: " + run.describe())
        for path, kind in loads:
            self.assertEqual(kind, "builtin", run.describe())


def main():
    PlantedDllTests.installer, PlantedDllTests.unprotected, PlantedDllTests.planted_dll = sys.argv[1:4]
    PlantedDllTests.pinned = sys.argv[4]
    unittest.main(argv=[sys.argv[0], "-v"])


if __name__ == "__main__":
    main()
