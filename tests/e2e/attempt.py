"""Shared fixture of the end-to-end suites: one whole `--download-test` attempt
of the real installer under Wine, against the sandbox's release server (real
nginx, real TLS; see scripts/sandbox.d/10-release-server.sh for the contract).

Each suite is a script run by ctest as `python3 test_X.py KORVA-Installer.exe`
inside scripts/sandbox.sh. Each attempt prints its exit code, time, requests
and last log lines to stderr, which ctest shows when the test fails.
"""
import base64
import datetime
import hashlib
import json
import os
import re
import socket
import subprocess
import sys
import tempfile
import time
import unittest

MANIFEST_PATH = "/updates/korva-suite-update.txt"
LOG_NAME = "KORVA.Installer.log"
CHECKING = "Checking the KORVA release manifest."
VERIFIED = "Installer verified successfully."
VERIFY_FAILED = "Installer SHA-256 verification failed."
USER_AGENT = "KORVA Static Module Installer/1.0"

# "Y-M-D h:m:s text": plain decimal numbers, no leading zeros.
NUMBER = r"(0|[1-9][0-9]*)"
LOG_LINE = re.compile(r"%s-%s-%s %s:%s:%s (.*)\Z" % ((NUMBER,) * 6), re.S)

# Exit code that ctest reads as "skipped" (SKIP_RETURN_CODE).
SKIPPED = 77


def downloading(version):
    return "Downloading KORVA %s." % version


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def sandbox_variable(name):
    value = os.environ.get(name)
    if not value:
        sys.exit("%s is not set: run the end-to-end tests inside scripts/sandbox.sh" % name)
    return value


# A start that fails faster than this left no trace: see never_ran().
NEVER_RAN_SECONDS = 1.0


def run_wine(command, timeout=60, environment=None):
    """Runs a Wine command of the harness's own (reg, winepath, cmd, a
    self-test); returns (exit code, output).

    As with the installer's starts (AttemptTestCase.never_ran), a command that
    fails within a fraction of a second is taken for one that Wine never
    started, which a loaded machine now and then gives: it is made once more,
    and said so, and only that one counts. Output goes through a file, not a
    pipe: the first Wine program of a wineserver session starts Wine's
    background services, which inherit its standard handles and would hold a
    pipe open long after it exits."""
    for last in (False, True):
        started = time.monotonic()
        with tempfile.TemporaryFile() as output:
            code = subprocess.run(["timeout", "--kill-after=5", str(timeout)] + command, stdin=subprocess.DEVNULL,
                                  stdout=output, stderr=subprocess.STDOUT,
                                  env=dict(os.environ, **environment) if environment else None).returncode
            output.seek(0)
            text = output.read().decode("utf-8", "replace")
        seconds = time.monotonic() - started
        if last or code == 0 or seconds >= NEVER_RAN_SECONDS:
            return code, text
        print("  wine: %r never ran (exit %d after %.2f s; Wine said %r); running it once more"
              % (" ".join(command), code, seconds, text[-300:]), file=sys.stderr)


def winepath(flag, path):
    code, output = run_wine(["winepath", flag, path], timeout=30)
    if code != 0:
        sys.exit("winepath %s %s failed (%d): %s" % (flag, path, code, output))
    return output.strip()


# --- signed releases ---------------------------------------------------------
# Signatures come from the openssl command line, a signer the installer's
# authors did not write; the statement is rebuilt here from its description.

def signed_statement(version, installer_url, digest, expires=""):
    digest = "".join(chr(ord(c) + 32) if "A" <= c <= "Z" else c for c in digest)
    text = "KORVA-manifest-v1\nversion=%s\ninstallerurl=%s\ninstallersha256=%s\nexpires=%s\n" % (
        version, installer_url, digest, expires)
    return text.encode("utf-8")


def utc_text(moment):
    return moment.strftime("%Y-%m-%dT%H:%M:%SZ")


def utc_in(**offset):
    """The UTC time this far from now, in the manifest's expires form."""
    return utc_text(datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(**offset))


def der_signature_to_raw(der):
    """ECDSA-Sig-Value (SEQUENCE of two INTEGERs) to r||s, 32 bytes each."""
    assert der[0] == 0x30, der.hex()
    at = 2 if der[1] < 0x80 else 3
    raw = b""
    for _ in range(2):
        assert der[at] == 0x02, der.hex()
        length = der[at + 1]
        raw += der[at + 2:at + 2 + length].lstrip(b"\0").rjust(32, b"\0")
        at += 2 + length
    return raw


class SigningKey:
    """A publisher key made at test time: NAME.key.pem and NAME.pub.pem."""

    def __init__(self, folder, name):
        self.private = os.path.join(folder, name + ".key.pem")
        self.public = os.path.join(folder, name + ".pub.pem")
        with open(self.public) as f:
            body = "".join(line.strip() for line in f if not line.startswith("-----"))
        # The PEM body is the SubjectPublicKeyInfo DER.
        self.id = hashlib.sha256(base64.b64decode(body)).hexdigest()[:16]

    def sign(self, statement):
        der = subprocess.run(["openssl", "dgst", "-sha256", "-sign", self.private], input=statement,
                             stdout=subprocess.PIPE, check=True).stdout
        return der_signature_to_raw(der)

    def signature_line(self, statement, raw=None):
        raw = self.sign(statement) if raw is None else raw
        return "signature-%s=%s" % (self.id, base64.b64encode(raw).decode("ascii"))


def signed_manifest(version, installer_url, digest, keys, expires=None):
    """A manifest with one signature line per key, over exactly its values."""
    statement = signed_statement(version, installer_url, digest, expires or "")
    lines = ["version=" + version, "installerUrl=" + installer_url, "installerSha256=" + digest]
    if expires is not None:
        lines.append("expires=" + expires)
    lines += [key.signature_line(statement) for key in keys]
    return "\n".join(lines) + "\n"


class Request:
    """One request as the release server logged it."""

    def __init__(self, line):
        fields = line.rstrip("\n").split("\t")
        self.port, self.host, self.request_line = int(fields[0]), fields[1], fields[2]
        self.status, self.body_bytes, self.user_agent = int(fields[3]), int(fields[4]), fields[5]
        self.range, self.if_range = (fields[6], fields[7]) if len(fields) > 7 else ("-", "-")
        parts = self.request_line.split(" ")
        self.target = parts[1] if len(parts) > 1 else ""
        self.path = self.target.split("?", 1)[0]

    def __repr__(self):
        return "<%d %s %s -> %d>" % (self.port, self.host, self.request_line, self.status)


class AttemptTestCase(unittest.TestCase):
    """Serves a release, runs one attempt, and reads back what it left."""

    exe = None  # Windows path of KORVA-Installer.exe, set by main()
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        sandbox = sandbox_variable("KORVA_SANDBOX")
        os.makedirs(os.path.join(sandbox, "e2e"), exist_ok=True)
        cls.suite_dir = tempfile.mkdtemp(prefix=cls.__name__ + ".", dir=os.path.join(sandbox, "e2e"))
        # One winepath per suite: Wine maps the Unix root as a drive, so
        # sub-folders convert by joining with backslashes.
        cls.suite_dir_win = winepath("-w", cls.suite_dir)
        cls.www = sandbox_variable("KORVA_WWW")
        cls.scenario_file = sandbox_variable("KORVA_FAULT_SCENARIO")
        cls.access_log = sandbox_variable("KORVA_ACCESS_LOG")
        cls.fault_log = sandbox_variable("KORVA_FAULT_LOG")
        cls.fault_tls_port = int(sandbox_variable("KORVA_FAULT_TLS_PORT"))
        cls.trap_log = sandbox_variable("KORVA_TRAP_LOG")

    def setUp(self):
        # The leftover scenario goes first: an outage that an earlier test
        # scripted lasts until the scenario changes, and would pass for a
        # server that is down.
        for leftover in (self.scenario_file, os.path.join(self.www, MANIFEST_PATH.lstrip("/"))):
            if os.path.exists(leftover):
                os.remove(leftover)
        self.assert_release_server_up()
        self.appdata, self.appdata_win = self.new_folder("appdata")
        self.runs = []

    def assert_release_server_up(self):
        # Without this, a server that died shows only as a failed attempt.
        for port in (443, self.fault_tls_port):
            try:
                socket.create_connection(("127.0.0.1", port), timeout=5).close()
            except OSError as error:
                self.fail("nothing answers on port %d (%s): the release server is down; its logs are under %s"
                          % (port, error, os.path.dirname(os.path.dirname(self.access_log))))

    def new_folder(self, label):
        name = "%s.%s" % (self._testMethodName, label)
        n = 1
        while os.path.exists(os.path.join(self.suite_dir, name)):
            n += 1
            name = "%s.%s%d" % (self._testMethodName, label, n)
        path = os.path.join(self.suite_dir, name)
        os.makedirs(path)
        return path, self.suite_dir_win + "\\" + name

    # --- what the server serves -------------------------------------------

    def serve(self, relative_path, data):
        """Puts a file in the served tree; returns its URL path."""
        path = os.path.join(self.www, relative_path.lstrip("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode("utf-8"))
        return "/" + relative_path.lstrip("/")

    def serve_manifest(self, content):
        self.serve(MANIFEST_PATH, content)

    def serve_release(self, version, installer_url, digest, line_end="\n"):
        lines = ["version=" + version, "installerUrl=" + installer_url, "installerSha256=" + digest]
        self.serve_manifest(line_end.join(lines) + line_end)

    def set_scenario(self, actions):
        """Selects fault-server behaviour per path (format: scripts/fault-server.py)."""
        with open(self.scenario_file, "w", encoding="utf-8") as f:
            json.dump(actions, f)

    @staticmethod
    def url(path, host="korva.com", port=None, scheme="https"):
        return "%s://%s%s%s" % (scheme, host, "" if port is None else ":%d" % port, path)

    # --- one attempt ----------------------------------------------------------

    def run_attempt(self, localappdata="default", exe=None, environment=None):
        """Runs `KORVA-Installer.exe --download-test`; returns its exit code."""
        return self.finish_attempt(self.start_attempt(localappdata, exe, environment))

    def start_attempt(self, localappdata="default", exe=None, environment=None, restarted=False):
        """Starts `KORVA-Installer.exe --download-test` and returns at once;
        finish_attempt() waits for it. Several may run at the same time.

        Wine replaces LOCALAPPDATA from the prefix's registry in every process
        started from Unix, so the variable is set (or, with None, removed) by a
        Windows parent, cmd, whose environment the installer inherits; cmd /c
        hands back the installer's exit code. Output goes through a file, as
        in run_wine. exe: another installer than the suite's; environment:
        variables added for the run (Wine takes TZ per process)."""
        value = self.appdata_win if localappdata == "default" else (localappdata or "")
        marks = [os.path.getsize(self.access_log), os.path.getsize(self.fault_log), os.path.getsize(self.trap_log)]
        started = datetime.datetime.now().replace(microsecond=0)
        command = ["wine", "cmd", "/c", "set", "LOCALAPPDATA=%s&&" % value, exe or self.exe, "--download-test"]
        output = tempfile.TemporaryFile()
        process = subprocess.Popen(["timeout", "--kill-after=5", "90"] + command, stdin=subprocess.DEVNULL,
                                   stdout=output, stderr=subprocess.STDOUT,
                                   env=dict(os.environ, **environment) if environment else None)
        attempt = {"process": process, "output": output, "started": started, "clock": time.monotonic(),
                   "marks": marks, "arguments": (localappdata, exe, environment), "restarted": restarted,
                   "left": self.what_attempts_left()}
        self.addCleanup(self.stop_attempt, attempt)
        return attempt

    @staticmethod
    def stop_attempt(attempt):
        """Ends an attempt that a failed test left running (timeout passes the
        signal on to Wine)."""
        if attempt["process"].poll() is None:
            attempt["process"].terminate()
            attempt["process"].wait()
        if not attempt["output"].closed:
            attempt["output"].close()

    def finish_attempt(self, attempt):
        """Waits for an attempt from start_attempt(); returns its exit code."""
        code = attempt["process"].wait()
        attempt["output"].seek(0)
        output = attempt["output"].read().decode("utf-8", "replace")
        attempt["output"].close()
        seconds = time.monotonic() - attempt["clock"]
        if self.never_ran(attempt, code, seconds) and not attempt["restarted"]:
            # On a loaded machine Wine now and then fails to start a program
            # at all. That says nothing of the installer, so it is no verdict:
            # the same start is made once more and only that one is judged.
            print("  attempt: the program never ran (exit %d after %.2f s: no request, no log, no file; "
                  "Wine said %r); starting it once more" % (code, seconds, output[-300:]), file=sys.stderr)
            return self.finish_attempt(self.start_attempt(*attempt["arguments"], restarted=True))
        self.runs.append({"started": attempt["started"], "seconds": seconds,
                          "marks": attempt["marks"], "ended": datetime.datetime.now(), "output": output})
        # ctest shows a test's output only when the test fails; then this says
        # what the attempt did, which a bare "1 != 0" does not.
        print("  attempt: exit %d after %.1f s; requests %s; log %r" % (
            code, self.runs[-1]["seconds"], self.describe_requests(), self.describe_log()), file=sys.stderr)
        self.assertNotIn(code, (124, 137), "the attempt hung and was killed by timeout")
        return code

    def what_attempts_left(self):
        """What a run of the installer leaves behind: bytes in the servers'
        logs, the test's installer log and the files under its LOCALAPPDATA."""
        try:
            log_size = os.path.getsize(os.path.join(self.working_dir, LOG_NAME))
        except OSError:
            log_size = None
        return (os.path.getsize(self.access_log), os.path.getsize(self.fault_log), log_size,
                self.files_under(self.appdata))

    def never_ran(self, attempt, code, seconds):
        """True only for a start that left no trace at all within a fraction
        of a second: every attempt of the installer writes its first log line
        and asks for the manifest before it can fail."""
        return code != 0 and seconds < NEVER_RAN_SECONDS and self.what_attempts_left() == attempt["left"]

    def describe_requests(self):
        try:
            return [(r.port, r.target, r.status, r.body_bytes) for r in self.requests()]
        except (OSError, ValueError, IndexError) as error:
            return "unreadable (%s)" % error

    def describe_log(self):
        """The log's last lines as bytes, wherever this test's LOCALAPPDATA is."""
        try:
            return self.read_file(os.path.join(self.working_dir, LOG_NAME)).split(b"\r\n")[-4:]
        except (OSError, AttributeError) as error:
            return "unreadable (%s)" % error

    @property
    def working_dir(self):
        return os.path.join(self.appdata, "KORVA", "Installer")

    def installer_file(self, version):
        return os.path.join(self.working_dir, "KORVA-Setup-%s.exe" % version)

    def read_file(self, path):
        with open(path, "rb") as f:
            return f.read()

    def log_texts(self, working_dir=None):
        """The log's texts, after checking the byte form of every line: CR LF
        ends, a plain-decimal time stamp taken during one of this test's runs."""
        data = self.read_file(os.path.join(working_dir or self.working_dir, LOG_NAME))
        self.assertTrue(data.endswith(b"\r\n"), "log does not end with CR LF: %r" % data[-40:])
        lines = data[:-2].split(b"\r\n")
        earliest = min(run["started"] for run in self.runs) - datetime.timedelta(seconds=2)
        latest = max(run["ended"] for run in self.runs) + datetime.timedelta(seconds=2)
        texts = []
        for raw in lines:
            self.assertNotIn(b"\n", raw, "bare LF in log line %r" % raw)
            self.assertNotIn(b"\r", raw, "bare CR in log line %r" % raw)
            match = LOG_LINE.match(raw.decode("latin-1"))
            self.assertIsNotNone(match, "log line not in 'Y-M-D h:m:s text' form: %r" % raw)
            stamp = datetime.datetime(*(int(match.group(i)) for i in range(1, 7)))
            self.assertTrue(earliest <= stamp <= latest, "time stamp %s outside the run" % stamp)
            texts.append(match.group(7))
        return texts

    def assert_log(self, expected, working_dir=None):
        self.assertEqual(self.log_texts(working_dir), expected)

    def files_under(self, folder):
        found = []
        for root, dirs, files in os.walk(folder):
            found += [os.path.relpath(os.path.join(root, name), folder) for name in dirs + files]
        return sorted(found)

    def assert_nothing_but_log(self):
        """The attempt created the working directory and its log, nothing else."""
        self.assertEqual(self.files_under(self.appdata),
                         ["KORVA", os.path.join("KORVA", "Installer"), os.path.join("KORVA", "Installer", LOG_NAME)])

    # --- what reached the server ---------------------------------------------

    def requests(self, run=-1):
        """Requests that reached a server during one run: nginx's log, plus the
        fault server's own TLS port (its proxied requests are already in
        nginx's log)."""
        marks = self.runs[run]["marks"]
        with open(self.access_log, encoding="utf-8", errors="replace") as f:
            f.seek(marks[0])
            found = [Request(line) for line in f if line.strip()]
        with open(self.fault_log, encoding="utf-8", errors="replace") as f:
            f.seek(marks[1])
            found += [r for r in map(Request, f) if r.port == self.fault_tls_port]
        return found

    def trap_connections(self, run=-1):
        """Connections the foreign trap server accepted during one run."""
        with open(self.trap_log, encoding="utf-8") as f:
            f.seek(self.runs[run]["marks"][2])
            return [line for line in f if line.strip()]

    def assert_requested(self, expected, run=-1):
        """expected: (port, path-with-query, status) per request, in order.

        nginx logs a request once it is done with it: when the client closed
        while a body was still on its way, that can be just after the attempt
        ended, so a short list gets a moment to fill."""
        deadline = time.monotonic() + 2
        got = [(r.port, r.target, r.status) for r in self.requests(run)]
        while len(got) < len(expected) and time.monotonic() < deadline:
            time.sleep(0.05)
            got = [(r.port, r.target, r.status) for r in self.requests(run)]
        self.assertEqual(got, expected)

    def assert_only_manifest_requested(self, status=200, run=-1):
        self.assert_requested([(443, MANIFEST_PATH, status)], run)


def main():
    if len(sys.argv) < 2:
        sys.exit("usage: %s KORVA-Installer.exe [unittest arguments]" % sys.argv[0])
    AttemptTestCase.exe = winepath("-w", os.path.abspath(sys.argv[1]))
    program = unittest.main(argv=[sys.argv[0]] + sys.argv[2:], exit=False, verbosity=2)
    result = program.result
    if not result.wasSuccessful():
        sys.exit(1)
    if result.testsRun and len(result.skipped) == result.testsRun:
        sys.exit(SKIPPED)
    sys.exit(0)
