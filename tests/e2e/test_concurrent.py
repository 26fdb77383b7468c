"""Two attempts of one user at the same time, as after a double click: the
one that holds the installer file ends as it would alone; the other ends at
once (the window shows it "in use", see tests/gui) and leaves that file
alone: no truncation, no deletion, no verification failure."""
import os
import time

from attempt import CHECKING, VERIFIED, AttemptTestCase, downloading, main, sha256

INSTALLER = bytes((i * 13 + i // 509) & 0xFF for i in range(300000))
PATH = "/faults/KORVA-Setup.exe"
HELD_PATH = "/faults/held/KORVA-Setup.exe"
# Bytes of the body sent before the server holds the rest back.
PAUSED_AT = 100000


class TwoAttempts(AttemptTestCase):
    def setUp(self):
        super().setUp()
        self.serve(PATH, INSTALLER)
        self.gates, _ = self.new_folder("gates")

    def gate(self, name):
        """A file the fault server waits for; open_gate() creates it."""
        return os.path.join(self.gates, name)

    @staticmethod
    def open_gate(path):
        open(path, "wb").close()

    def serve_from(self, path):
        self.serve_release("5.0", self.url(path, port=self.fault_tls_port), sha256(INSTALLER))

    def wait_until(self, condition, what, attempt, timeout=30):
        deadline = time.monotonic() + timeout
        while not condition():
            if attempt["process"].poll() is not None:
                self.fail("the attempt ended (exit %d) before %s" % (attempt["process"].returncode, what))
            if time.monotonic() > deadline:
                self.fail("never saw %s" % what)
            time.sleep(0.02)

    def wait_for_paused_download(self, attempt):
        path = self.installer_file("5.0")
        self.wait_until(lambda: os.path.exists(path) and os.path.getsize(path) >= PAUSED_AT,
                        "%d bytes in %s" % (PAUSED_AT, path), attempt)

    def test_second_attempt_during_a_download_ends_and_the_first_verifies(self):
        resume = self.gate("resume")
        self.set_scenario({PATH: {"pause_after": PAUSED_AT, "pause_until": resume}})
        self.serve_from(PATH)
        first = self.start_attempt()
        self.wait_for_paused_download(first)

        self.assertEqual(self.run_attempt(), 1)
        # Not truncated, not deleted: the first attempt's bytes so far.
        self.assertEqual(self.read_file(self.installer_file("5.0")), INSTALLER[:PAUSED_AT])

        self.open_gate(resume)
        self.assertEqual(self.finish_attempt(first), 0)
        self.assertEqual(self.read_file(self.installer_file("5.0")), INSTALLER)
        # No verification failure from the second: it never got the file.
        self.assert_log([CHECKING, downloading("5.0"), CHECKING, downloading("5.0"), VERIFIED])

    def test_attempt_answered_after_another_began_downloading_ends_and_leaves_it(self):
        # The first asks first, but its answer comes only once the second's
        # download is under way.
        answer_first, resume = self.gate("answer-first"), self.gate("resume")
        self.set_scenario({HELD_PATH: {"hold_until": answer_first, "body_file": PATH.lstrip("/")},
                           PATH: {"pause_after": PAUSED_AT, "pause_until": resume}})
        self.serve_from(HELD_PATH)
        first = self.start_attempt()
        log = os.path.join(self.working_dir, "KORVA.Installer.log")
        self.wait_until(lambda: os.path.exists(log) and downloading("5.0").encode() in self.read_file(log),
                        "the first attempt's installer request", first)
        self.serve_from(PATH)
        second = self.start_attempt()
        self.wait_for_paused_download(second)

        self.open_gate(answer_first)
        self.assertEqual(self.finish_attempt(first), 1)
        self.assertEqual(self.read_file(self.installer_file("5.0")), INSTALLER[:PAUSED_AT])

        self.open_gate(resume)
        self.assertEqual(self.finish_attempt(second), 0)
        self.assertEqual(self.read_file(self.installer_file("5.0")), INSTALLER)
        self.assert_log([CHECKING, downloading("5.0"), CHECKING, downloading("5.0"), VERIFIED])

    def test_attempts_one_after_the_other_both_verify_and_the_second_replaces_the_file(self):
        self.serve_from(PATH)
        self.assertEqual(self.run_attempt(), 0)
        newer = INSTALLER[::-1]
        self.serve(PATH, newer)
        self.serve_release("5.0", self.url(PATH, port=self.fault_tls_port), sha256(newer))
        self.assertEqual(self.run_attempt(), 0)
        self.assertEqual(self.read_file(self.installer_file("5.0")), newer)
        self.assert_log([CHECKING, downloading("5.0"), VERIFIED] * 2)


if __name__ == "__main__":
    main()
