"""Window tests: the real installer window on the sandbox's X display, driven
from outside by gui_driver.exe as a person would (see its header for the
commands), against the sandbox's release server (scripts/sandbox.d/
10-release-server.sh for its contract), with fake_setup.exe as the served
KORVA Setup.

Run by ctest as `python3 window_tests.py <TestClass>` inside scripts/sandbox.sh;
the built programs come in KORVA_GUI_* variables (tests/gui/CMakeLists.txt).
Screenshots go to KORVA_GUI_SCREENSHOTS.
"""
import contextlib
import hashlib
import json
import os
import re
import select
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from pe_image import Image, string_tables  # noqa: E402
from user_network import (ProxyLog, clear_user_proxy_settings, restore_hosts, set_hosts,  # noqa: E402
                          set_user_proxy_settings)

TITLE = "KORVA Installer"
WINDOW_CLASS = "KORVAStaticModuleBootstrapperWindow"
IDLE_STATUS = "Download and install the current release."
CHECKING_STATUS = "Checking the latest KORVA release..."
DOWNLOADING_STATUS = "Downloading the verified KORVA installer..."
INSTALL = "Install KORVA"
BUSY = "Downloading..."
TRY_AGAIN = "Try again"
MISMATCH = "The downloaded installer did not match the official SHA-256 value. It will not be executed."
INCOMPLETE = "The KORVA release manifest is incomplete."
UNEXPECTED_RESPONSE = "The KORVA server returned an unexpected response."
START_FAILED = "Windows could not start the verified KORVA Setup file."
DOWNLOAD_FAILED = "The download could not be completed. Check the internet connection and try again."
IN_USE = "The KORVA Setup file is in use by another program. Close it and try again."
NOT_SIGNED = "The KORVA release manifest is not signed by the publisher."
EXPIRED = "The KORVA release manifest has expired."
NOT_BY_PUBLISHER = "The downloaded installer is not signed by the publisher."
FAILED_PREFIX = "Installation attempt failed: "
CHECKING_LOG = "Checking the KORVA release manifest."
VERIFIED_LOG = "Installer verified successfully."
VERIFY_FAILED_LOG = "Installer SHA-256 verification failed."
STARTED_LOG = "KORVA Setup started."
MANIFEST_PATH = "updates/korva-suite-update.txt"

# The display language of the Wine processes a driver starts (LC_ALL sets it
# per process; the glibc locale need not exist). English unless a test says.
ENGLISH_LOCALE = "en_US.UTF-8"
# Each string table's language (LANGID) and a display language that gets it;
# Egyptian Arabic gets the one Arabic table.
TABLE_LOCALES = {0x0409: ENGLISH_LOCALE, 0x0407: "de_DE.UTF-8", 0x040C: "fr_FR.UTF-8", 0x0C0A: "es_ES.UTF-8",
                 0x0410: "it_IT.UTF-8", 0x0416: "pt_BR.UTF-8", 0x0415: "pl_PL.UTF-8", 0x0419: "ru_RU.UTF-8",
                 0x041F: "tr_TR.UTF-8", 0x0411: "ja_JP.UTF-8", 0x0804: "zh_CN.UTF-8", 0x0412: "ko_KR.UTF-8",
                 0x0401: "ar_EG.UTF-8"}
GERMAN, RUSSIAN, JAPANESE, ARABIC = 0x0407, 0x0419, 0x0411, 0x0401
# The string table's ids: a failure's text is 1000 + its kind.
HEADING_ID, IDLE_ID, INSTALL_ID, BUSY_ID, CHECKING_ID, DOWNLOADING_ID, VERIFIED_ID, RETRY_ID, CAPTION_ID = range(
    1024, 1033)
FAILURE_IDS = list(range(1001, 1017))
MISMATCH_ID = 1011

WS_VISIBLE, WS_CAPTION, WS_SYSMENU = 0x10000000, 0x00C00000, 0x00080000
WS_EX_RTLREADING, WS_EX_LAYOUTRTL = 0x00002000, 0x00400000
WS_THICKFRAME, WS_MINIMIZEBOX, WS_MAXIMIZEBOX = 0x00040000, 0x00020000, 0x00010000
SS_TYPEMASK, SS_ICON = 0x1F, 0x03
WM_SETTEXT, WM_DPICHANGED = 0x000C, 0x02E0
PBM_SETPOS, PBM_SETMARQUEE, PBM_SETSTATE = 0x0402, 0x040A, 0x0410
PBS_MARQUEE, PBST_NORMAL, PBST_ERROR = 0x08, 1, 2
VK_RETURN, VK_SPACE = 0x0D, 0x20
# The layout at 96 DPI: (x, y, width, height) of each control.
LAYOUT_96 = [(24, 20, 470, 28), (24, 58, 470, 40), (24, 104, 470, 20), (338, 140, 156, 32)]

NUMBER = r"(0|[1-9][0-9]*)"
LOG_LINE = re.compile(r"%s-%s-%s %s:%s:%s (.*)\Z" % ((NUMBER,) * 6), re.S)

# A Wine program that ends faster than this, before doing anything, was never
# started by Wine (see new_driver).
NEVER_RAN_SECONDS = 1.0

# Closing must not wait for the download: well under the product's shortest
# network timeout (10 s), with room for a slow machine.
PROMPT_EXIT_MS = 3000


def variable(name):
    value = os.environ.get(name)
    if not value:
        sys.exit("%s is not set: run the window tests through ctest inside scripts/sandbox.sh" % name)
    return value


SANDBOX = variable("KORVA_SANDBOX")
INSTALLER = variable("KORVA_GUI_INSTALLER")
DRIVER = variable("KORVA_GUI_DRIVER")
FAKE_SETUP = variable("KORVA_GUI_FAKE_SETUP")
SCREENSHOTS = variable("KORVA_GUI_SCREENSHOTS")
WINE_RUN = variable("KORVA_WINE_RUN")


def windows_path(path):
    # Wine maps the Unix root as drive Z: in every prefix it creates.
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


class Driver:
    """gui_driver.exe under Wine, one JSON answer per command line."""

    def __init__(self, log_path, locale=ENGLISH_LOCALE):
        self.log = open(log_path, "wb")
        # The installers it starts inherit its display language.
        self.process = subprocess.Popen([WINE_RUN, DRIVER], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=self.log, env=dict(os.environ, LC_ALL=locale))
        self.pending = b""

    def call(self, command, timeout=30):
        self.process.stdin.write(command.encode("utf-8") + b"\n")
        self.process.stdin.flush()
        deadline = time.monotonic() + timeout
        while b"\n" not in self.pending:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.process.stdout], [], [], left)[0]:
                raise AssertionError("gui_driver gave no answer to %r within %s s" % (command, timeout))
            chunk = os.read(self.process.stdout.fileno(), 65536)
            if not chunk:
                raise AssertionError("gui_driver ended during %r (exit %s)" % (command, self.process.poll()))
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        return json.loads(line.decode("utf-8"))

    def expect(self, command, timeout=30):
        answer = self.call(command, timeout)
        if not answer["ok"]:
            raise AssertionError("%s: %s" % (command, answer["error"]))
        return answer

    def close(self):
        """Ends the driver, which ends an installer still running."""
        try:
            if self.process.poll() is None:
                self.call("quit", timeout=10)
            self.process.wait(timeout=10)
        except (AssertionError, OSError, subprocess.TimeoutExpired):
            self.process.kill()
            self.process.wait()
        finally:
            self.process.stdin.close()
            self.process.stdout.close()
            self.log.close()


class Snapshot:
    """One `dump` of the main window."""

    def __init__(self, answer):
        self.window = answer["window"]
        self.children = answer["children"]
        self.focus = answer["focus"]

    def child(self, class_name, index=0):
        found = [c for c in self.children if c["class"].lower() == class_name.lower()]
        return found[index]

    @property
    def status(self):
        return self.child("Static", 1)["text"]

    @property
    def button(self):
        return self.child("Button")

    @property
    def bar(self):
        return self.child("msctls_progress32")["pos"]

    def state(self):
        """What a user reads off the window: status, bar, button text, enabled."""
        return (self.status, self.bar, self.button["text"], self.button["enabled"])


class WindowTestCase(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        cls.suite_dir = os.path.join(SANDBOX, "gui", cls.__name__)
        shutil.rmtree(cls.suite_dir, ignore_errors=True)
        os.makedirs(cls.suite_dir)
        os.makedirs(SCREENSHOTS, exist_ok=True)

    def setUp(self):
        self.folder = os.path.join(self.suite_dir, self._testMethodName)
        self.appdata = os.path.join(self.folder, "appdata")
        os.makedirs(self.appdata)
        self.driver = self.new_driver("driver")

    def new_driver(self, name, locale=ENGLISH_LOCALE):
        """A gui_driver.exe with this test's LOCALAPPDATA. One that ends
        within a second without answering its first command was never
        started by Wine, which a loaded machine now and then gives: it is
        started once more, and said so."""
        for last in (False, True):
            started = time.monotonic()
            driver = Driver(os.path.join(self.folder, name + ".log"), locale)
            try:
                driver.expect("env LOCALAPPDATA=" + windows_path(self.appdata))
            except AssertionError as error:
                seconds = time.monotonic() - started
                ended = driver.process.poll() is not None
                driver.close()
                if last or seconds >= NEVER_RAN_SECONDS or not ended:
                    raise
                print("  %s never ran (%s after %.2f s); starting it once more" % (name, error, seconds),
                      file=sys.stderr)
                continue
            self.addCleanup(driver.close)
            return driver

    # --- the installer's window ----------------------------------------------

    def another_driver(self, name, locale=ENGLISH_LOCALE):
        """A second gui_driver.exe, for a second installer of the same user."""
        return self.new_driver(name, locale)

    @contextlib.contextmanager
    def driving(self, driver):
        """Points the helpers below at another driver's installer meanwhile."""
        saved, self.driver = self.driver, driver
        try:
            yield
        finally:
            self.driver = saved

    def start_installer(self, *arguments, exe=INSTALLER):
        command_line = '"%s"' % windows_path(exe) + "".join(" " + a for a in arguments)
        self.driver.expect("start " + command_line)
        self.driver.expect("window 20000", timeout=30)

    def snapshot(self):
        return Snapshot(self.driver.expect("dump"))

    def wait_for(self, predicate, what, timeout=20):
        deadline = time.monotonic() + timeout
        while True:
            snapshot = self.snapshot()
            if predicate(snapshot):
                return snapshot
            if time.monotonic() > deadline:
                self.fail("window never showed %s; last state %r" % (what, snapshot.state()))
            time.sleep(0.05)

    def hook(self):
        """Loads window_hook.dll into the installer's GUI thread (gui_driver.cpp),
        which sees what the program sends its own controls."""
        self.driver.expect("hook")

    def sent_to(self, control):
        """What the installer's thread sent the control since the hook, in
        order: ("pos", n), ("marquee", on), ("state", n) or ("text", text)."""
        answer = self.driver.expect("hook-records")
        self.assertFalse(answer["lost"], "more records than the hook keeps")
        names = {PBM_SETPOS: "pos", PBM_SETMARQUEE: "marquee", PBM_SETSTATE: "state"}
        return [("text", r["text"]) if r["message"] == WM_SETTEXT else (names[r["message"]], r["wparam"])
                for r in answer["records"] if r["hwnd"] == control["hwnd"]]

    def assert_fonts(self, dpi):
        """Read inside the window's thread: the status and the button hold the
        message font for dpi, the heading the same face 1.5 times its size,
        semibold or heavier. Returns the hook's answer."""
        answer = self.driver.expect("hook-fonts %d" % dpi)
        message = answer["message_font"]
        title, status, _, button = answer["fonts"]
        for font in (status, button):
            self.assertEqual((font["face"], font["height"], font["weight"]),
                             (message["face"], message["height"], message["weight"]), font)
        self.assertEqual(title["face"], message["face"])
        self.assertLessEqual(abs(title["height"] - message["height"] * 1.5), 1, (title, message))
        self.assertGreaterEqual(title["weight"], 600, title)
        return answer

    def wait_for_message_box(self, timeout=30):
        return self.driver.expect("msgbox %d" % (timeout * 1000), timeout=timeout + 10)

    def close_window(self):
        self.driver.expect("close")

    def wait_for_exit(self, timeout_ms=20000):
        """The installer's exit code, and how long it took from this call."""
        answer = self.driver.expect("wait-exit %d" % timeout_ms, timeout=timeout_ms / 1000 + 10)
        return answer["exit_code"], answer["waited_ms"]

    def assert_closes_promptly_with_0(self):
        self.close_window()
        code, waited = self.wait_for_exit()
        self.assertEqual(code, 0)
        self.assertLess(waited, PROMPT_EXIT_MS, "closing took %d ms" % waited)

    def screenshot(self, name, *windows):
        """Saves the screen, cropped to the given windows' rectangles (x, y,
        width, height on the screen) with a margin, and prints its path."""
        left = min(w["x"] for w in windows) - 12
        top = min(w["y"] for w in windows) - 12
        right = max(w["x"] + w["width"] for w in windows) + 12
        bottom = max(w["y"] + w["height"] for w in windows) + 12
        left, top = max(left, 0), max(top, 0)
        path = os.path.join(SCREENSHOTS, name + ".png")
        subprocess.run(["import", "-window", "root", "-crop", "%dx%d+%d+%d" % (right - left, bottom - top, left, top),
                        "+repage", path], check=True, timeout=30, stdin=subprocess.DEVNULL)
        print("screenshot: %s" % path, file=sys.stderr)

    def screen_pixels(self, points):
        """The colours of screen pixels, as ImageMagick names them, from one capture."""
        path = os.path.join(self.folder, "screen.png")
        subprocess.run(["import", "-window", "root", path], check=True, timeout=30, stdin=subprocess.DEVNULL)
        fmt = "\\n".join("%%[pixel:p{%d,%d}]" % point for point in points)
        return subprocess.run(["convert", path, "-format", fmt, "info:-"], check=True, timeout=30,
                              stdin=subprocess.DEVNULL, capture_output=True, text=True).stdout.split("\n")

    # --- the working directory ------------------------------------------------

    @property
    def working_dir(self):
        return os.path.join(self.appdata, "KORVA", "Installer")

    def installer_file(self, version):
        return os.path.join(self.working_dir, "KORVA-Setup-%s.exe" % version)

    def log_texts(self):
        data = read_bytes(os.path.join(self.working_dir, "KORVA.Installer.log"))
        self.assertTrue(data.endswith(b"\r\n"), "log does not end with CR LF: %r" % data[-40:])
        texts = []
        for raw in data[:-2].split(b"\r\n"):
            match = LOG_LINE.match(raw.decode("latin-1"))
            self.assertIsNotNone(match, "log line not in 'Y-M-D h:m:s text' form: %r" % raw)
            texts.append(match.group(7))
        return texts


class ServedReleaseTestCase(WindowTestCase):
    """Tests that need the release server: each leaves it as it found it."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.www = variable("KORVA_WWW")
        cls.scenario_file = variable("KORVA_FAULT_SCENARIO")
        cls.fault_tls_port = int(variable("KORVA_FAULT_TLS_PORT"))

    def setUp(self):
        super().setUp()
        self.served = []
        self.addCleanup(self.stop_serving)
        self.stop_serving()

    def stop_serving(self):
        for path in self.served + [os.path.join(self.www, MANIFEST_PATH), self.scenario_file]:
            if os.path.exists(path):
                os.remove(path)
        self.served = []

    def serve(self, relative_path, data):
        """Puts a file in the served tree; returns its https URL."""
        path = os.path.join(self.www, relative_path)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        self.served.append(path)
        return "https://korva.com/" + relative_path

    def serve_release(self, version, installer_url, digest):
        lines = ["version=" + version, "installerUrl=" + installer_url, "installerSha256=" + digest]
        self.serve(MANIFEST_PATH, ("\n".join(lines) + "\n").encode("utf-8"))

    def serve_fake_setup(self, version):
        setup = read_bytes(FAKE_SETUP)
        url = self.serve("gui/%s/KORVA-Setup.exe" % self._testMethodName, setup)
        self.serve_release(version, url, sha256(setup))
        return setup

    def set_scenario(self, actions):
        with open(self.scenario_file, "w", encoding="utf-8") as f:
            json.dump(actions, f)

    def assert_failure_shown(self, message, caption=TITLE, try_again=TRY_AGAIN):
        """The failed state with its message box; presses OK. Returns the box."""
        box = self.wait_for_message_box()
        self.assertEqual(box["caption"], caption)
        texts = [c["text"] for c in box["children"] if c["class"].lower() == "static"]
        self.assertIn(message, texts)
        self.assertTrue(any(c["style"] & SS_TYPEMASK == SS_ICON for c in box["children"]
                            if c["class"].lower() == "static"), "no icon in the message box")
        self.assertFalse(box["owner_enabled"], "the box is not modal to the main window")
        snapshot = self.snapshot()
        self.assertEqual(snapshot.status, message)
        self.assertEqual((snapshot.button["text"], snapshot.button["enabled"]), (try_again, True))
        return box, snapshot

    def dismiss_message_box(self):
        self.driver.expect("msgbox-ok")


class IdleWindowTests(WindowTestCase):
    def test_idle_window_shows_its_four_controls_and_closes_with_0(self):
        self.start_installer()
        snapshot = self.snapshot()
        window = snapshot.window

        self.assertEqual((window["class"], window["text"]), (WINDOW_CLASS, TITLE))
        self.assertEqual((window["width"], window["height"]), (540, 225))
        style = window["style"]
        self.assertEqual(style & (WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX),
                         WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, hex(style))
        self.assertEqual(style & (WS_THICKFRAME | WS_MAXIMIZEBOX), 0, "resizable or maximisable: %s" % hex(style))

        controls = [(c["class"].lower(), c["text"], c["style"], c["id"], c["x"], c["y"], c["width"], c["height"])
                    for c in snapshot.children]
        self.assertEqual(controls, [
            ("static", "KORVA", 0x50000000, 0, 24, 20, 470, 28),
            ("static", IDLE_STATUS, 0x50000000, 0, 24, 58, 470, 40),
            ("msctls_progress32", "", 0x50000001, 0, 24, 104, 470, 20),
            ("button", INSTALL, 0x50000001, 1, 338, 140, 156, 32),
        ])
        bar = snapshot.child("msctls_progress32")
        self.assertEqual((bar["pos"], bar["range_low"], bar["range_high"]), (0, 0, 100))
        self.assertTrue(all(c["enabled"] and c["visible"] for c in snapshot.children))
        self.screenshot("idle", window)

        self.assert_closes_promptly_with_0()
        self.assertFalse(os.path.exists(os.path.join(self.appdata, "KORVA")), "an idle window wrote files")

    def test_layout_scales_with_the_display_and_every_text_fits_on_the_window_background(self):
        status_texts = [IDLE_STATUS, CHECKING_STATUS, DOWNLOADING_STATUS, "Download verified. Starting KORVA Setup...",
                        MISMATCH, INCOMPLETE, UNEXPECTED_RESPONSE, START_FAILED, DOWNLOAD_FAILED, IN_USE, NOT_SIGNED,
                        EXPIRED, "The downloaded package could not be verified.",
                        "The installer could not start its download task.", "The release URL is invalid.",
                        "The release URL is not hosted on the official KORVA domain.",
                        "The release URL must use HTTPS."]
        self.addCleanup(self.driver.call, "dpi 96")
        for dpi, shot in ((96, "scale-100"), (144, "scale-150"), (192, "scale-200")):
            with self.subTest(dpi=dpi):
                self.driver.expect("dpi %d" % dpi)
                self.start_installer()
                self.hook()
                self.assertEqual(self.assert_fonts(0)["window_dpi"], dpi)
                answer = self.driver.expect("dump")
                snapshot = Snapshot(answer)
                window = snapshot.window
                scale = dpi / 96
                self.assertLessEqual(abs(window["width"] - 540 * scale), 2, window)
                self.assertLessEqual(abs(window["height"] - 225 * scale), 2, window)
                for control, rect in zip(snapshot.children, LAYOUT_96):
                    got = (control["x"], control["y"], control["width"], control["height"])
                    self.assertTrue(all(abs(g - r * scale) <= 2 for g, r in zip(got, rect)), (control["text"], got))
                    self.assertLessEqual(got[0] + got[2], window["client_width"], control["text"])
                    self.assertLessEqual(got[1] + got[3], window["client_height"], control["text"])
                title, status, _, button = snapshot.children

                def measure(heading, width, text):
                    return self.driver.expect("measure %d %d %d %s" % (dpi, heading, width, text))

                size = measure(1, title["width"], "KORVA")
                self.assertLessEqual(size["line_width"], title["width"])
                self.assertLessEqual(size["line_height"], title["height"])
                for text in status_texts:
                    size = measure(0, status["width"], text)
                    self.assertLessEqual(size["wrapped_width"], status["width"], text)
                    self.assertLessEqual(size["wrapped_height"], status["height"], text)
                for text in (INSTALL, BUSY, TRY_AGAIN):
                    size = measure(0, button["width"], text)
                    # The themed face keeps a few pixels of border on each side.
                    self.assertLessEqual(size["line_width"], button["width"] - 8 * scale, text)
                    self.assertLessEqual(size["line_height"], button["height"] - 6 * scale, text)
                self.screenshot(shot, window)

                # No band behind the labels: the idle status holds one line,
                # so the foot of its label shows only background.
                points = [(8, 8)]
                for label in (title, status):
                    points += [(label["x"] + 1, label["y"] + label["height"] - 2),
                               (label["x"] + label["width"] - 2, label["y"] + 1)]
                colours = self.screen_pixels([(answer["client_x"] + x, answer["client_y"] + y) for x, y in points])
                self.assertEqual(colours[1:], [colours[0]] * (len(points) - 1), points)
                self.assert_closes_promptly_with_0()

    def test_a_new_display_scale_lays_the_window_out_again_and_forged_ones_change_nothing(self):
        def geometry(snapshot):
            # Texts too: a window whose thread died answers none.
            return [(w["text"], w["x"], w["y"], w["width"], w["height"])
                    for w in [snapshot.window] + snapshot.children]

        self.start_installer()
        self.hook()
        # Moved to a display at 150 %: Wine never says so, the hook does, in
        # the window's own thread with the rectangle the platform suggests.
        suggested = (40, 30, 810, 338)
        self.driver.expect("hook-dpi 144 %d %d %d %d" % suggested)
        moved = self.snapshot()
        window = moved.window
        self.assertEqual((window["x"], window["y"], window["width"], window["height"]), suggested)
        for control, rect in zip(moved.children, LAYOUT_96):
            got = (control["x"], control["y"], control["width"], control["height"])
            self.assertTrue(all(abs(g - r * 1.5) <= 2 for g, r in zip(got, rect)), (control["text"], got))
        # Fonts made again for 144 DPI (Wine's GetDpiForWindow stays at 96).
        self.assert_fonts(144)

        # Any program may post one without a rectangle, or send a zero scale.
        self.driver.expect("post %d %d" % (WM_DPICHANGED, 96 * 0x10001))
        time.sleep(0.5)
        self.driver.expect("hook-dpi 0 0 0 300 200")
        self.assertEqual(geometry(self.snapshot()), geometry(moved))
        self.assert_fonts(144)
        self.assert_closes_promptly_with_0()

    def test_switches_in_capitals_open_the_window(self):
        # The switches are case-sensitive: these are no switches at all.
        for argument in ("--SELF-TEST", "--Download-Test"):
            with self.subTest(argument=argument):
                self.start_installer(argument)
                self.assertEqual(self.snapshot().state(), (IDLE_STATUS, 0, INSTALL, True))
                self.assert_closes_promptly_with_0()


class FailedAttemptTests(ServedReleaseTestCase):
    def test_failure_is_shown_logged_and_can_be_retried(self):
        setup = read_bytes(FAKE_SETUP)
        url = self.serve("gui/failed/KORVA-Setup.exe", setup)
        self.serve_release("9.1", url, sha256(setup + b"tampered"))
        self.start_installer()
        self.hook()
        idle = self.snapshot()
        self.assertEqual(idle.focus, idle.button["hwnd"], "the focus does not start on the button")
        bar = idle.child("msctls_progress32")

        self.driver.expect("mouse-click")
        box, snapshot = self.assert_failure_shown(MISMATCH)
        # The whole file arrived before the digest was compared.
        self.assertEqual(snapshot.bar, 100)
        self.assertFalse(snapshot.child("msctls_progress32")["style"] & PBS_MARQUEE)
        self.screenshot("failed", snapshot.window, box["window"])
        self.dismiss_message_box()
        self.assertEqual(self.log_texts(),
                         [CHECKING_LOG, "Downloading KORVA 9.1.", VERIFY_FAILED_LOG, FAILED_PREFIX + MISMATCH])
        self.assertFalse(os.path.exists(self.installer_file("9.1")), "a rejected installer was kept")
        self.assertFalse(os.path.exists(self.installer_file("9.1") + ".started"), "a rejected installer ran")
        # What the bar was told (Wine draws no state and answers none): a clean
        # start moving on its own, then measured once a percentage arrived,
        # never going back, and marked as failed at the end.
        first = self.sent_to(bar)
        self.assertEqual(first[:3], [("state", PBST_NORMAL), ("pos", 0), ("marquee", 1)])
        self.assertEqual([m for m in first if m[0] != "pos"],
                         [("state", PBST_NORMAL), ("marquee", 1), ("marquee", 0), ("state", PBST_ERROR)])
        measured = first.index(("marquee", 0))
        self.assertEqual({v for n, v in first[:measured] if n == "pos"}, {0})
        positions = [v for n, v in first if n == "pos"]
        self.assertEqual(positions, sorted(positions))
        self.assertEqual(positions[-1], 100)

        # The focus is back on "Try again": Space presses it. The second
        # failure replaces the first text everywhere; the bar starts again
        # from 0 in its normal state and stays there, as nothing is downloaded.
        self.wait_for(lambda s: s.focus == idle.button["hwnd"], "the focus back on the button", timeout=5)
        self.serve_release("9.1", url, sha256(setup)[:63])
        self.driver.expect("key %d" % VK_SPACE)
        _, snapshot = self.assert_failure_shown(INCOMPLETE)
        self.assertEqual(snapshot.bar, 0)
        self.dismiss_message_box()
        self.assertEqual(self.log_texts()[4:], [CHECKING_LOG, FAILED_PREFIX + INCOMPLETE])
        second = self.sent_to(bar)[len(first):]
        self.assertEqual(second[:2], [("state", PBST_NORMAL), ("pos", 0)])
        self.assertEqual(second[-1], ("state", PBST_ERROR))
        self.assertEqual({v for n, v in second if n == "pos"}, {0})

        self.assert_closes_promptly_with_0()

    def test_verified_file_that_will_not_start_fails_and_a_retry_starts_over(self):
        # Passes the digest check, but is no program.
        bogus = b"MZ" + b"\0" * 62 + b"not a program\r\n" * 64
        url = self.serve("gui/bogus/KORVA-Setup.exe", bogus)
        self.serve_release("9.6", url, sha256(bogus))
        self.start_installer()
        self.driver.expect("click")

        # Wine shows its own error dialog first, as Windows may: nothing
        # suppresses it.
        if self.wait_for_message_box()["caption"] != TITLE:
            self.dismiss_message_box()
        box, snapshot = self.assert_failure_shown(START_FAILED)
        self.assertEqual(snapshot.bar, 100)
        self.dismiss_message_box()
        self.assertEqual(self.log_texts(),
                         [CHECKING_LOG, "Downloading KORVA 9.6.", VERIFIED_LOG, FAILED_PREFIX + START_FAILED])
        self.assertEqual(read_bytes(self.installer_file("9.6")), bogus, "the verified file was not kept")

        self.set_scenario({"/" + MANIFEST_PATH: {"body": "version=9.6\n", "stall_after": 0, "stall_seconds": 20}})
        self.driver.expect("click")
        self.assertEqual(self.snapshot().state(), (CHECKING_STATUS, 0, BUSY, False))
        self.assert_closes_promptly_with_0()

    def test_retry_after_a_failure_starts_the_verified_installer(self):
        self.start_installer()
        self.driver.expect("click")
        self.assert_failure_shown(UNEXPECTED_RESPONSE)
        self.dismiss_message_box()

        self.serve_fake_setup("9.2")
        self.driver.expect("click")
        code, _ = self.wait_for_exit()
        self.assertEqual(code, 0)
        self.assertEqual(self.log_texts(), [CHECKING_LOG, FAILED_PREFIX + UNEXPECTED_RESPONSE, CHECKING_LOG,
                                            "Downloading KORVA 9.2.", VERIFIED_LOG, STARTED_LOG])
        FakeSetup(self, self.installer_file("9.2")).finish()

    def test_failed_second_route_shows_the_usual_text_and_a_retry_starts_direct(self):
        setup = self.serve_fake_setup("9.7")
        # The direct route finds no korva.com; the user's proxy wants
        # credentials, which the installer never asks for.
        proxy_log = ProxyLog(variable("KORVA_PROXY_AUTH_LOG"))
        self.addCleanup(clear_user_proxy_settings)
        set_user_proxy_settings(proxy="127.0.0.1:" + variable("KORVA_PROXY_AUTH_PORT"))
        self.addCleanup(restore_hosts)
        set_hosts({"korva.com": None, "www.korva.com": None})
        self.start_installer()

        self.driver.expect("click")
        _, snapshot = self.assert_failure_shown(DOWNLOAD_FAILED)
        self.assertEqual(snapshot.bar, 0)
        self.dismiss_message_box()
        self.assertEqual(self.log_texts(), [CHECKING_LOG, FAILED_PREFIX + DOWNLOAD_FAILED])
        self.assertEqual(proxy_log.tunnels(), ["korva.com:443"])

        # The network is back: "Try again" goes direct, not to the proxy that
        # the first attempt fell back to.
        restore_hosts()
        self.driver.expect("click")
        code, _ = self.wait_for_exit()
        self.assertEqual(code, 0)
        self.assertEqual(read_bytes(self.installer_file("9.7")), setup)
        self.assertEqual(self.log_texts()[2:], [CHECKING_LOG, "Downloading KORVA 9.7.", VERIFIED_LOG, STARTED_LOG])
        self.assertEqual(proxy_log.tunnels(), ["korva.com:443"])
        FakeSetup(self, self.installer_file("9.7")).finish()


class SignedReleaseTests(ServedReleaseTestCase):
    def test_refused_signatures_are_shown_and_a_signed_release_starts(self):
        # An installer trusting key A (tests/CMakeLists.txt); manifests signed
        # by openssl through the end-to-end fixture.
        sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
        from attempt import SigningKey, signed_manifest, utc_in
        key = SigningKey(variable("KORVA_GUI_TEST_KEYS"), "a")
        setup = read_bytes(FAKE_SETUP)
        url = self.serve("gui/signed/KORVA-Setup.exe", setup)

        self.serve_release("9.7", url, sha256(setup))
        self.start_installer(exe=variable("KORVA_GUI_KEYED_INSTALLER"))
        self.driver.expect("click")
        box, snapshot = self.assert_failure_shown(NOT_SIGNED)
        self.assertEqual(snapshot.bar, 0)
        self.screenshot("not-signed", snapshot.window, box["window"])
        self.dismiss_message_box()

        self.serve(MANIFEST_PATH, signed_manifest("9.7", url, sha256(setup), [key], utc_in(minutes=-1)).encode())
        self.driver.expect("click")
        self.assert_failure_shown(EXPIRED)
        self.dismiss_message_box()
        self.assertFalse(os.path.exists(self.working_dir + "/KORVA-Setup-9.7.exe"), "a refused release was fetched")

        self.serve(MANIFEST_PATH, signed_manifest("9.7", url, sha256(setup), [key], utc_in(days=1)).encode())
        self.driver.expect("click")
        code, _ = self.wait_for_exit()
        self.assertEqual(code, 0)
        self.assertEqual(self.log_texts(), [CHECKING_LOG, FAILED_PREFIX + NOT_SIGNED, CHECKING_LOG,
                                            FAILED_PREFIX + EXPIRED, CHECKING_LOG, "Downloading KORVA 9.7.",
                                            VERIFIED_LOG, STARTED_LOG])
        FakeSetup(self, self.installer_file("9.7")).finish()


    def test_pinned_build_refuses_an_unsigned_setup_and_starts_the_publishers(self):
        # An installer pinning the tests' publisher key (tests/CMakeLists.txt)
        # and the fake setup with its true digest: unsigned, then signed by
        # the publisher through the end-to-end fixture.
        sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
        from test_publisher_signature import sign_as_publisher
        self.serve_fake_setup("9.9")
        self.start_installer(exe=variable("KORVA_GUI_PINNED_INSTALLER"))
        self.driver.expect("click")
        _, snapshot = self.assert_failure_shown(NOT_BY_PUBLISHER)
        self.assertEqual(snapshot.bar, 100)
        self.dismiss_message_box()
        self.assertFalse(os.path.exists(self.installer_file("9.9")), "a refused installer was kept")
        self.assertFalse(os.path.exists(self.installer_file("9.9") + ".started"), "a refused installer ran")

        folder = tempfile.mkdtemp(prefix="publisher.", dir=variable("KORVA_SANDBOX"))
        signed = read_bytes(sign_as_publisher(folder, variable("KORVA_GUI_TEST_PUBLISHER"), FAKE_SETUP,
                                              os.path.join(folder, "KORVA-Setup.exe")))
        url = self.serve("gui/%s/signed/KORVA-Setup.exe" % self._testMethodName, signed)
        self.serve_release("9.9", url, sha256(signed))
        self.driver.expect("click")
        code, _ = self.wait_for_exit()
        self.assertEqual(code, 0)
        self.assertEqual(read_bytes(self.installer_file("9.9")), signed)
        self.assertEqual(self.log_texts(), [CHECKING_LOG, "Downloading KORVA 9.9.",
                                            "Installer signature verification failed.",
                                            FAILED_PREFIX + NOT_BY_PUBLISHER, CHECKING_LOG,
                                            "Downloading KORVA 9.9.", VERIFIED_LOG, STARTED_LOG])
        FakeSetup(self, self.installer_file("9.9")).finish()


class FakeSetup:
    """The markers fake_setup.exe leaves next to itself."""

    def __init__(self, test, path):
        self.test, self.path = test, path

    def wait_started(self, timeout=20):
        deadline = time.monotonic() + timeout
        while not os.path.exists(self.path + ".started"):
            if time.monotonic() > deadline:
                self.test.fail("the installer was never started: no %s.started" % self.path)
            time.sleep(0.05)
        # Written in one go after the create; an empty read means "not yet".
        while True:
            text = read_bytes(self.path + ".started").decode("utf-8")
            if text.endswith("\n") or time.monotonic() > deadline:
                return text.split("\n")[:2]
            time.sleep(0.05)

    @property
    def finished(self):
        return os.path.exists(self.path + ".finished")

    def finish(self, timeout=20):
        """Lets it end, and waits until it has, so the test leaves nothing running."""
        self.wait_started(timeout)
        open(self.path + ".release", "wb").close()
        deadline = time.monotonic() + timeout
        while not self.finished:
            if time.monotonic() > deadline:
                self.test.fail("fake setup did not end")
            time.sleep(0.05)


class SuccessfulAttemptTests(ServedReleaseTestCase):
    def test_verified_installer_is_started_and_the_window_closes_without_waiting(self):
        setup = self.serve_fake_setup("9.3")
        self.start_installer()
        self.driver.expect("click")

        code, _ = self.wait_for_exit()
        self.assertEqual(code, 0)
        fake = FakeSetup(self, self.installer_file("9.3"))
        command_line, folder = fake.wait_started()
        self.assertFalse(fake.finished, "the installer waited for KORVA Setup to end")
        # Not the launcher's current folder (often Downloads): the working directory.
        self.assertEqual(folder.rstrip("\\").lower(), windows_path(self.working_dir).lower())
        # Started as itself, with no arguments.
        program = '"%s"' % windows_path(self.installer_file("9.3"))
        self.assertIn(command_line.strip(), (program, windows_path(self.installer_file("9.3"))))
        self.assertEqual(read_bytes(self.installer_file("9.3")), setup)
        self.assertEqual(self.log_texts(), [CHECKING_LOG, "Downloading KORVA 9.3.", VERIFIED_LOG, STARTED_LOG])
        fake.finish()

    def test_a_download_resumed_in_the_window_goes_on_where_it_stood_and_starts_setup(self):
        setup = read_bytes(FAKE_SETUP)
        path = "/faults/gui/resumed/KORVA-Setup.exe"
        self.serve(path.lstrip("/"), setup)
        cut = len(setup) * 3 // 10
        # Dropped twice and resumed by range; then a server that ignores
        # ranges sends the whole file again, without a length this time.
        self.set_scenario({path: {"ranges": True, "etag": '"korva-gui"', "requests": [
            {"reset_after": cut}, {"reset_after": cut}, {"ranges": False, "length": "none"}]}})
        self.serve_release("9.8", "https://korva.com:%d%s" % (self.fault_tls_port, path), sha256(setup))
        # nginx logs every manifest request; the fault server every request
        # for the installer (and the manifests nginx hands it meanwhile).
        logs = [variable("KORVA_ACCESS_LOG"), variable("KORVA_FAULT_LOG")]
        marks = [os.path.getsize(log) for log in logs]
        self.start_installer()
        self.hook()
        idle = self.snapshot()
        self.driver.expect("click")

        # A failure box would hold the window open.
        code, _ = self.wait_for_exit()
        self.assertEqual(code, 0)
        FakeSetup(self, self.installer_file("9.8")).finish()
        self.assertEqual(read_bytes(self.installer_file("9.8")), setup)
        nginx, fault = [], []
        for log, mark, requests in zip(logs, marks, (nginx, fault)):
            with open(log, "rb") as f:
                f.seek(mark)
                requests += [line.split(b"\t") for line in f.read().splitlines()]
        # One attempt: one manifest request.
        self.assertEqual(sum(MANIFEST_PATH.encode() in r[2] for r in nginx), 1)
        self.assertEqual([r[3] for r in fault if path.encode() in r[2]], [b"200", b"206", b"200"])
        texts = self.log_texts()
        self.assertEqual([t for t in texts if not t.startswith("Download interrupted after ")],
                         [CHECKING_LOG, "Downloading KORVA 9.8.", VERIFIED_LOG, STARTED_LOG])
        self.assertEqual(len(texts), 6)

        # The bar went on from where it stood after each drop, and back to 0,
        # moving on its own, only when the file started again without a length.
        sent = self.sent_to(idle.child("msctls_progress32"))
        restart = max(i for i, m in enumerate(sent) if m == ("pos", 0))
        self.assertEqual(sent[restart:restart + 2], [("pos", 0), ("marquee", 1)])
        before = [v for n, v in sent[:restart] if n == "pos"]
        self.assertEqual(before, sorted(before))
        self.assertGreater(before[-1], 0)
        self.assertEqual([v for n, v in sent[restart + 2:] if n == "pos"], [100])
        # The text said "downloading" throughout, until the file was verified.
        status = [t for n, t in self.sent_to(idle.child("Static", 1)) if n == "text"]
        self.assertEqual([t for i, t in enumerate(status) if i == 0 or status[i - 1] != t],
                         [CHECKING_STATUS, DOWNLOADING_STATUS, "Download verified. Starting KORVA Setup..."])

    def test_second_window_during_a_download_shows_in_use_and_the_first_starts_setup(self):
        setup = read_bytes(FAKE_SETUP)
        path = "/faults/gui/two/KORVA-Setup.exe"
        self.serve(path.lstrip("/"), setup)
        resume = os.path.join(self.folder, "resume")
        paused_at = len(setup) // 2
        self.set_scenario({path: {"pause_after": paused_at, "pause_until": resume}})
        self.serve_release("9.7", "https://korva.com:%d%s" % (self.fault_tls_port, path), sha256(setup))
        self.start_installer()
        self.driver.expect("click")
        percent = paused_at * 100 // len(setup)
        self.wait_for(lambda s: s.bar == percent, "%d %% downloaded" % percent)

        # A double click: a second installer of the same user, same version.
        second = self.another_driver("second-driver")
        with self.driving(second):
            self.start_installer()
            self.driver.expect("click")
            box, snapshot = self.assert_failure_shown(IN_USE)
            self.screenshot("in-use", snapshot.window, box["window"])
            self.dismiss_message_box()
        self.assertEqual(read_bytes(self.installer_file("9.7")), setup[:paused_at], "the download was disturbed")

        open(resume, "wb").close()
        code, _ = self.wait_for_exit()
        self.assertEqual(code, 0)
        fake = FakeSetup(self, self.installer_file("9.7"))
        fake.wait_started()
        # While that KORVA Setup runs, its file is in use as well.
        with self.driving(second):
            self.driver.expect("click")
            self.assert_failure_shown(IN_USE)
            self.dismiss_message_box()
            self.assert_closes_promptly_with_0()
        self.assertEqual(read_bytes(self.installer_file("9.7")), setup)
        downloading = "Downloading KORVA 9.7."
        self.assertEqual(self.log_texts(), [CHECKING_LOG, downloading, CHECKING_LOG, downloading, FAILED_PREFIX + IN_USE,
                                            VERIFIED_LOG, STARTED_LOG, CHECKING_LOG, downloading,
                                            FAILED_PREFIX + IN_USE])
        fake.finish()


class ClosingWindowTests(ServedReleaseTestCase):
    def test_closing_while_the_manifest_stalls_exits_0_at_once(self):
        # Headers, then silence: the worker is stuck inside the manifest read.
        self.set_scenario({"/" + MANIFEST_PATH: {"body": "version=9.4\n", "stall_after": 0, "stall_seconds": 20}})
        self.start_installer()
        self.driver.expect("click")
        # The click was sent, so its handler has run: the attempt's first state.
        snapshot = self.snapshot()
        self.assertEqual(snapshot.state(), (CHECKING_STATUS, 0, BUSY, False))
        self.screenshot("checking", snapshot.window)
        # The first progress report (0) has long arrived and changed nothing;
        # a person's click on the disabled button starts nothing either.
        self.driver.expect("mouse-click")
        time.sleep(0.5)
        self.assertEqual(self.snapshot().state(), (CHECKING_STATUS, 0, BUSY, False))

        self.assert_closes_promptly_with_0()
        self.assertEqual(self.log_texts(), [CHECKING_LOG])

    def test_only_its_own_attempt_moves_the_window_and_enter_starts_one(self):
        WM_COMMAND, WM_APP_PROGRESS, WM_APP_VERIFIED, WM_APP_FAILED = 0x0111, 0x8001, 0x8002, 0x8003
        self.start_installer()
        # Posted by some other program while no attempt runs: nothing starts
        # (a forged "verified" would start whatever g_installerPath names).
        for message, wparam in ((WM_APP_VERIFIED, 0), (WM_APP_FAILED, 0), (WM_APP_PROGRESS, 50)):
            self.driver.expect("post %d %d" % (message, wparam))
        time.sleep(0.5)
        self.assertEqual(self.snapshot().state(), (IDLE_STATUS, 0, INSTALL, True))
        self.assertFalse(self.driver.call("msgbox 200")["ok"], "a posted failure was shown")

        self.set_scenario({"/" + MANIFEST_PATH: {"body": "version=9.4\n", "stall_after": 0, "stall_seconds": 20}})
        # The focus starts on the button: Enter presses it.
        self.driver.expect("key %d" % VK_RETURN)
        snapshot = self.wait_for(lambda s: s.status == CHECKING_STATUS, "the attempt started by Enter")
        self.assertEqual(snapshot.state(), (CHECKING_STATUS, 0, BUSY, False))
        self.assertTrue(snapshot.child("msctls_progress32")["style"] & PBS_MARQUEE, "no marquee while checking")
        # Enter on the disabled button and a posted install command during
        # the attempt start nothing more; a forged end of the attempt, while
        # its worker still waits for the manifest, neither starts a file nor
        # ends the attempt.
        self.driver.expect("key %d" % VK_RETURN)
        self.driver.expect("post %d 1" % WM_COMMAND)
        self.driver.expect("post %d 0" % WM_APP_VERIFIED)
        self.driver.expect("post %d 0" % WM_APP_FAILED)
        time.sleep(0.5)
        self.assertEqual(self.snapshot().state(), (CHECKING_STATUS, 0, BUSY, False))
        self.assertFalse(self.driver.call("msgbox 200")["ok"], "a posted failure was shown")

        self.assert_closes_promptly_with_0()
        # One attempt, one manifest request: each attempt logs this line first.
        self.assertEqual(self.log_texts(), [CHECKING_LOG])

    def test_closing_during_the_installer_download_exits_0_at_once(self):
        setup = read_bytes(FAKE_SETUP)
        path = "/faults/gui/KORVA-Setup.exe"
        self.serve(path.lstrip("/"), setup)
        sent = len(setup) * 2 // 5
        self.set_scenario({path: {"stall_after": sent, "stall_seconds": 20}})
        self.serve_release("9.5", "https://korva.com:%d%s" % (self.fault_tls_port, path), sha256(setup))
        self.start_installer()
        self.driver.expect("click")

        percent = sent * 100 // len(setup)
        snapshot = self.wait_for(lambda s: s.bar == percent, "%d %% downloaded" % percent)
        self.assertEqual(snapshot.state(), (DOWNLOADING_STATUS, percent, BUSY, False))
        self.assertFalse(snapshot.child("msctls_progress32")["style"] & PBS_MARQUEE, "still a marquee once measured")
        self.screenshot("downloading", snapshot.window)

        self.assert_closes_promptly_with_0()
        self.assertEqual(self.log_texts(), [CHECKING_LOG, "Downloading KORVA 9.5."])
        self.assertFalse(os.path.exists(self.installer_file("9.5") + ".started"))


class LanguageTests(ServedReleaseTestCase):
    """The window in the display language (the exe's string table, read from
    the built file), the log in English."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.tables = string_tables(Image(INSTALLER).resources())

    def speak(self, language, name=None):
        """Drives the installers started from now on in a table's display
        language (or in the locale given as language): a new driver, whose
        display language they inherit, in place of the last one."""
        locale = TABLE_LOCALES.get(language, language)
        self.driver.close()
        self.driver = self.another_driver(name or locale, locale)

    def idle_texts(self, snapshot):
        title, status, _, button = snapshot.children
        return title["text"], status["text"], button["text"]

    def test_idle_windows_speak_the_display_language_and_arabic_is_mirrored(self):
        english = (self.tables[0x0409][HEADING_ID], IDLE_STATUS, INSTALL)
        for language in (GERMAN, RUSSIAN, JAPANESE, ARABIC):
            with self.subTest(language=hex(language)):
                table = self.tables[language]
                self.speak(language)
                self.start_installer()
                snapshot = self.snapshot()
                texts = self.idle_texts(snapshot)
                self.assertEqual(texts, (table[HEADING_ID], table[IDLE_ID], table[INSTALL_ID]))
                self.assertNotEqual(texts[1:], english[1:])
                # The title stays: other programs find the window by it.
                self.assertEqual(snapshot.window["text"], TITLE)
                rtl = language == ARABIC
                self.assertEqual(bool(snapshot.window["exstyle"] & WS_EX_LAYOUTRTL), rtl)
                bar, button = snapshot.child("msctls_progress32"), snapshot.button
                bar_right, button_right = bar["screen_x"] + bar["width"], button["screen_x"] + button["width"]
                if rtl:
                    # Mirrored: the button under the bar's left end, the bar
                    # filling from the right, every text reading from the right.
                    self.assertEqual(button["screen_x"], bar["screen_x"])
                    self.assertLess(button_right, bar_right)
                    self.assertTrue(bar["exstyle"] & WS_EX_LAYOUTRTL, bar)
                    for control in (snapshot.child("Static", 0), snapshot.child("Static", 1), button):
                        self.assertTrue(control["exstyle"] & WS_EX_RTLREADING, control)
                else:
                    self.assertEqual(button_right, bar_right)
                    self.assertGreater(button["screen_x"], bar["screen_x"])
                if language in (GERMAN, ARABIC):
                    self.screenshot("language-%s" % TABLE_LOCALES[language][:2], snapshot.window)
                self.assert_closes_promptly_with_0()
        # Swahili has no table: English, exactly as an English display shows it.
        for locale in ("sw_KE.UTF-8", ENGLISH_LOCALE):
            with self.subTest(locale=locale):
                self.speak(locale)
                self.start_installer()
                snapshot = self.snapshot()
                self.assertEqual(self.idle_texts(snapshot), english)
                self.assertEqual(english[0], "KORVA")
                self.assertFalse(snapshot.window["exstyle"] & WS_EX_LAYOUTRTL)
                self.assertEqual([c["exstyle"] & WS_EX_RTLREADING for c in snapshot.children], [0] * 4)
                self.assert_closes_promptly_with_0()

    def test_a_failure_is_shown_in_the_display_language_and_logged_in_english(self):
        setup = read_bytes(FAKE_SETUP)
        url = self.serve("gui/language/KORVA-Setup.exe", setup)
        self.serve_release("9.8", url, sha256(setup + b"tampered"))
        for language in (GERMAN, ARABIC):
            with self.subTest(language=hex(language)):
                table = self.tables[language]
                self.speak(language)
                self.start_installer()
                self.driver.expect("click")
                self.assertEqual(self.snapshot().button["text"], table[BUSY_ID])
                box, snapshot = self.assert_failure_shown(table[MISMATCH_ID], caption=table[CAPTION_ID],
                                                          try_again=table[RETRY_ID])
                self.screenshot("language-%s-failed" % TABLE_LOCALES[language][:2], snapshot.window, box["window"])
                self.dismiss_message_box()
                self.assertEqual(self.log_texts()[-4:],
                                 [CHECKING_LOG, "Downloading KORVA 9.8.", VERIFY_FAILED_LOG, FAILED_PREFIX + MISMATCH])
                self.assert_closes_promptly_with_0()

    def test_every_text_fits_its_control_in_every_language_at_100_and_200_percent(self):
        """Measured inside the window's thread, in each control's own font
        and device context, as the control draws: the status wraps within two
        lines, the heading and the button keep theirs on one line."""
        misfits = []
        try:
            for dpi in (96, 192):
                for language in TABLE_LOCALES:
                    misfits += self.misfits(language, dpi)
        finally:
            self.driver.call("dpi 96")
        self.assertEqual(misfits, [])

    def misfits(self, language, dpi):
        """A language's texts that do not fit their controls at a scale, in a
        window of that language."""
        table, scale, found = self.tables[language], dpi / 96, []
        self.speak(language, "%s-%d" % (TABLE_LOCALES[language], dpi))
        self.driver.expect("dpi %d" % dpi)
        self.start_installer()
        self.hook()
        title, status, _, button = self.snapshot().children

        def check(control, text_id, wrapped, limit=None):
            size = self.driver.expect("hook-measure %d %s" % (control["hwnd"], table[text_id]))
            self.assertGreater(size["line"]["width"], 0, "nothing measured")
            got = size["wrapped" if wrapped else "line"]
            if limit is None:
                limit = (size["client"]["width"], size["client"]["height"])
            if wrapped:
                # Two lines at most: the label holds two lines of a larger
                # font as well (Windows' own is).
                limit = (limit[0], min(limit[1], 2 * size["line"]["height"]))
            if got["width"] > limit[0] or got["height"] > limit[1]:
                found.append((dpi, hex(language), table[text_id], got, limit))

        check(title, HEADING_ID, wrapped=False)
        for text_id in [IDLE_ID, CHECKING_ID, DOWNLOADING_ID, VERIFIED_ID] + FAILURE_IDS:
            check(status, text_id, wrapped=True)
        # The themed face keeps a few pixels of border on each side.
        for text_id in (INSTALL_ID, BUSY_ID, RETRY_ID):
            check(button, text_id, wrapped=False, limit=(button["width"] - 8 * scale, button["height"] - 6 * scale))
        self.assert_closes_promptly_with_0()
        return found


class AttemptFaultTests(ServedReleaseTestCase):
    """What one attempt owns stays its own: its final failure, its partial
    file, its window and the file it verified."""

    def test_a_resumed_download_that_fails_its_digest_shows_the_mismatch(self):
        # The file changed on the server under the same ETag: the resumed
        # range is another file's.
        setup = read_bytes(FAKE_SETUP)
        path = "faults/gui/changed/KORVA-Setup.exe"
        self.serve(path, setup)
        self.serve("faults/gui/changed/other.exe", bytes(reversed(setup)))
        self.set_scenario({"/" + path: {"ranges": True, "etag": '"korva-gui"',
                                        "body_file": "faults/gui/changed/other.exe",
                                        "requests": [{"reset_after": len(setup) // 3, "body_file": path}]}})
        self.serve_release("9.9", "https://korva.com:%d/%s" % (self.fault_tls_port, path), sha256(setup))
        self.start_installer()
        self.driver.expect("click")
        self.assert_failure_shown(MISMATCH)
        self.dismiss_message_box()
        texts = self.log_texts()
        self.assertEqual(texts[:2], [CHECKING_LOG, "Downloading KORVA 9.9."])
        self.assertTrue(texts[2].startswith("Download interrupted after "), texts)
        self.assertEqual(texts[3:], [VERIFY_FAILED_LOG, FAILED_PREFIX + MISMATCH])
        self.assertFalse(os.path.exists(self.installer_file("9.9")), "a rejected installer was kept")
        self.assert_closes_promptly_with_0()

    def test_a_proxy_completed_download_that_fails_its_digest_shows_the_mismatch(self):
        setup = read_bytes(FAKE_SETUP)
        url = self.serve("gui/proxied/KORVA-Setup.exe", setup)
        self.serve_release("9.9", url, sha256(setup + b"tampered"))
        # The direct route finds no korva.com; the user's proxy gets through.
        proxy_log = ProxyLog(variable("KORVA_PROXY_LOG"))
        self.addCleanup(clear_user_proxy_settings)
        set_user_proxy_settings(proxy="127.0.0.1:" + variable("KORVA_PROXY_PORT"))
        self.addCleanup(restore_hosts)
        set_hosts({"korva.com": None, "www.korva.com": None})
        self.start_installer()
        self.driver.expect("click")
        self.assert_failure_shown(MISMATCH)
        self.dismiss_message_box()
        self.assertEqual(self.log_texts(),
                         [CHECKING_LOG, "Downloading KORVA 9.9.", VERIFY_FAILED_LOG, FAILED_PREFIX + MISMATCH])
        self.assertEqual(set(proxy_log.tunnels()), {"korva.com:443"})
        self.assert_closes_promptly_with_0()

    def serve_paused_setup(self, version):
        """fake_setup.exe from the fault server, held after half its bytes
        until resume() is called; returns (bytes, percent shown meanwhile)."""
        setup = read_bytes(FAKE_SETUP)
        path = "/faults/gui/%s/KORVA-Setup.exe" % self._testMethodName
        self.serve(path.lstrip("/"), setup)
        self.resume_file = os.path.join(self.folder, "resume")
        self.addCleanup(self.resume)
        paused_at = len(setup) // 2
        self.set_scenario({path: {"pause_after": paused_at, "pause_until": self.resume_file}})
        self.serve_release(version, "https://korva.com:%d%s" % (self.fault_tls_port, path), sha256(setup))
        return setup, paused_at * 100 // len(setup)

    def resume(self):
        open(self.resume_file, "wb").close()

    def test_closing_during_the_download_leaves_no_partial_file(self):
        _, percent = self.serve_paused_setup("9.5")
        self.start_installer()
        self.driver.expect("click")
        self.wait_for(lambda s: s.bar == percent, "%d %% downloaded" % percent)
        self.assertTrue(os.path.exists(self.installer_file("9.5")))
        self.assert_closes_promptly_with_0()
        # A file removed as its last handle closes may go a moment after the end.
        deadline = time.monotonic() + 2
        while os.path.exists(self.installer_file("9.5")) and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual([n for n in os.listdir(self.working_dir) if n.startswith("KORVA-Setup-")], [])

    def test_a_posted_display_change_with_a_junk_rectangle_changes_nothing(self):
        setup, percent = self.serve_paused_setup("9.6")
        self.start_installer()
        self.driver.expect("click")
        before = self.wait_for(lambda s: s.bar == percent, "%d %% downloaded" % percent)
        # Any program of the session may post it; only the system sends one.
        self.driver.expect("post %d %d 0x10" % (WM_DPICHANGED, 144 * 0x10001))
        time.sleep(0.5)
        after = self.snapshot()
        self.assertEqual(after.state(), before.state())
        self.assertEqual((after.window["width"], after.window["height"]),
                         (before.window["width"], before.window["height"]))
        self.resume()
        code, _ = self.wait_for_exit()
        self.assertEqual(code, 0)
        FakeSetup(self, self.installer_file("9.6")).finish()
        self.assertEqual(read_bytes(self.installer_file("9.6")), setup)
        self.assertEqual(self.log_texts(), [CHECKING_LOG, "Downloading KORVA 9.6.", VERIFIED_LOG, STARTED_LOG])

    def test_a_working_directory_re_pointed_before_the_launch_starts_nothing_else(self):
        WM_APP_VERIFIED = 0x8002
        self.serve_fake_setup("9.4")
        # Another KORVA Setup of that version, which would say that it ran.
        decoy = os.path.join(self.folder, "decoy")
        os.makedirs(decoy)
        shutil.copy(FAKE_SETUP, os.path.join(decoy, "KORVA-Setup-9.4.exe"))
        moved = os.path.join(self.folder, "moved")
        go = os.path.join(self.folder, "go")
        self.addCleanup(lambda: open(go, "wb").close())
        self.start_installer()
        self.hook()
        self.driver.expect("hook-hold %d %s" % (WM_APP_VERIFIED, windows_path(go)))
        self.driver.expect("click")
        deadline = time.monotonic() + 20
        while not os.path.exists(go + ".held"):
            self.assertLess(time.monotonic(), deadline, "the window never got the verified file's message")
            time.sleep(0.05)
        # Verified and held; the window has not yet started it. The folder
        # moves away and a link to the decoy's folder takes its place.
        os.rename(self.working_dir, moved)
        os.symlink(decoy, self.working_dir)
        open(go, "wb").close()

        answer = self.driver.call("msgbox 10000", timeout=20)
        if answer["ok"]:
            self.dismiss_message_box()
            self.assert_closes_promptly_with_0()
        else:
            code, _ = self.wait_for_exit()
            self.assertEqual(code, 0)
        decoy_setup = FakeSetup(self, os.path.join(decoy, "KORVA-Setup-9.4.exe"))
        self.addCleanup(lambda: open(decoy_setup.path + ".release", "wb").close())
        time.sleep(1)  # a started fake setup writes its marker at once
        self.assertEqual([n for n in os.listdir(decoy) if n.endswith(".started")], [],
                         "a file in the re-pointed folder was started")
        genuine = FakeSetup(self, os.path.join(moved, "KORVA-Setup-9.4.exe"))
        if os.path.exists(genuine.path + ".started"):
            genuine.finish()


class IconResourceTests(WindowTestCase):
    def test_exe_carries_six_32_bit_icon_images_that_the_platform_decodes(self):
        answer = self.driver.expect("icon-group %s 101" % windows_path(INSTALLER))
        images = answer["images"]
        self.assertEqual([(i["width"], i["height"], i["bit_count"]) for i in images],
                         [(s, s, 32) for s in (256, 128, 64, 48, 32, 16)])
        self.assertTrue(all(i["present"] and i["decodes"] for i in images), images)
        png = {i["width"]: i["png"] for i in images}
        # The three large images are compressed; the small ones plain bitmaps.
        self.assertEqual([png[s] for s in (256, 128, 64, 48, 32, 16)], [True] * 3 + [False] * 3)
        # The exe, icon included, is the first thing a user downloads.
        self.assertLessEqual(os.path.getsize(INSTALLER), 300 * 1024)


if __name__ == "__main__":
    unittest.main(verbosity=2)
