#!/usr/bin/env python3
"""DLL planting under Wine: a DLL named like one the installer loads late,
dropped beside it, must never be loaded when the installer first calls into
it: WinHTTP (both test modes), CNG (the keyed build's --self-test, which
checks a known-answer signature; the unkeyed one never calls CNG) and
wintrust.dll (a pinned build's publisher check in --download-test).

    planted_dlls.py KORVA-Installer.exe KORVA-Installer-A.exe LATE_UNPROTECTED.exe planted.dll \
        KORVA-Installer-Pinned.exe LATE_UNPROTECTED_PINNED.exe

Each run gets a folder of its own, as a Downloads folder would be: the exe,
planted.dll copied under one DLL's name, and the LOCALAPPDATA of the run. The
planted DLL leaves NAME.dll.loaded beside itself and ends the process with 86.

Wine loads its own builtin DLL even when a native one of that name lies in
the application folder; Windows takes the file in the folder. Each run
therefore sets WINEDLLOVERRIDES "NAME=n,b" for the planted name, so Wine
searches as Windows does. The control, LATE_UNPROTECTED.exe, is the keyed
installer with the same delay loads and only the search limit left out (for
wintrust.dll, LATE_UNPROTECTED_PINNED.exe, the pinned one likewise): each
run of it must load the planted file, so a run of the installer that never
reaches its load, or a plant Wine would not pick up, cannot pass for a
refusal. WINEDEBUG=+loaddll tells which file each load took.

Left out, because no run can tell the search limit at work there:
- comctl32.dll: the manifest's Common-Controls 6 dependency binds it to the
  side-by-side copy, with or without the limit (seen with the control's
  window); exe.resources checks that dependency.
- version.dll: Wine's user32.dll imports it, so with "version=n,b" Wine loads
  a planted version.dll while it starts any program, before the program's
  first instruction. Windows' user32 has no such import.
- crypt32.dll, which the pinned build delay-loads as well: Wine's WinHTTP
  loads it for TLS, as below.
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

HIJACKED_EXIT = 86
NEVER_RAN_SECONDS = 1.0
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
    installer = keyed = late_unprotected = planted_dll = pinned = late_unprotected_pinned = None
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

    def run_planted(self, exe, planted, args, timeout=60):
        folder = tempfile.mkdtemp(prefix=f"{planted}.", dir=self.root)
        shutil.copy(exe, os.path.join(folder, "KORVA-Installer.exe"))
        shutil.copy(self.planted_dll, os.path.join(folder, planted + ".dll"))
        os.makedirs(os.path.join(folder, "appdata"))
        env = dict(os.environ)
        env["WINEDLLOVERRIDES"] = env.get("WINEDLLOVERRIDES", "") + f";{planted}=n,b"
        env["WINEDEBUG"] = "+loaddll"
        env["LOCALAPPDATA"] = windows_path(os.path.join(folder, "appdata"))
        for last in (False, True):
            started = time.monotonic()
            # Output through a file: Wine's background services inherit the
            # first program's handles and would hold a pipe open.
            with tempfile.TemporaryFile(dir=self.root) as output:
                code = subprocess.run(["timeout", "--kill-after=5", str(timeout), "wine", "KORVA-Installer.exe"] +
                                      args, cwd=folder, env=env, stdin=subprocess.DEVNULL, stdout=output,
                                      stderr=subprocess.STDOUT).returncode
                output.seek(0)
                run = Run(folder, planted, code, output.read().decode("utf-8", "replace"))
            seconds = time.monotonic() - started
            # A start that Wine never made (a loaded machine now and then
            # gives one) loads nothing and ends at once: made once more, and
            # only that one is judged.
            if last or code == 0 or run.loads or seconds >= NEVER_RAN_SECONDS:
                return run
            print(f"  {planted} {args[0]}: the program never ran (exit {code} after {seconds:.2f} s, nothing "
                  f"loaded); starting it once more", file=sys.stderr)

    def cases(self):
        """(planted name, the installer to run, its control, arguments, its
        exit code unharmed)."""
        cases = [("winhttp", self.installer, self.late_unprotected, ["--self-test"], 0),
                 ("winhttp", self.installer, self.late_unprotected, ["--download-test"], 0 if self.www else 1),
                 ("bcrypt", self.keyed, self.late_unprotected, ["--self-test"], 0)]
        if self.www:
            # The published setup is unsigned: the check loads wintrust.dll
            # and then refuses it.
            cases.append(("wintrust", self.pinned, self.late_unprotected_pinned, ["--download-test"], 1))
        return cases

    def test_control_loads_each_planted_dll_where_the_installer_would(self):
        for planted, _, control, args, _ in self.cases():
            with self.subTest(planted=planted, mode=args[0]):
                run = self.run_planted(control, planted, args)
                self.assertTrue(run.hijacked(), run.describe())
                self.assertEqual(run.code, HIJACKED_EXIT, run.describe())
                self.assertEqual([m.lower() for m in run.markers()], [planted + ".dll.loaded"], run.describe())

    def test_installer_loads_each_from_system32_only(self):
        for planted, exe, _, args, expected_exit in self.cases():
            with self.subTest(planted=planted, mode=args[0]):
                run = self.run_planted(exe, planted, args)
                self.assertFalse(run.hijacked(), run.describe())
                self.assertEqual(run.code, expected_exit, run.describe())
                # The load really happened, with the planted file waiting.
                loads = run.loads_of(planted + ".dll")
                self.assertNotEqual(loads, [], f"{args[0]} never loaded {planted}.dll: " + run.describe())
                for path, kind in loads:
                    self.assertTrue(path.lower().startswith("c:\\windows\\system32\\"), run.describe())
                    self.assertEqual(kind, "builtin", run.describe())


def main():
    (PlantedDllTests.installer, PlantedDllTests.keyed, PlantedDllTests.late_unprotected,
     PlantedDllTests.planted_dll, PlantedDllTests.pinned, PlantedDllTests.late_unprotected_pinned) = sys.argv[1:7]
    unittest.main(argv=[sys.argv[0], "-v"])


if __name__ == "__main__":
    main()
