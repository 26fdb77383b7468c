"""The second route: where the direct route gets no HTTP response, the same
request goes once more through the proxy of the user's Internet settings.
A real proxy (tinyproxy, scripts/sandbox.d/30-proxy.sh) resolves korva.com
through its own hosts file, while each test cuts the installer's direct route
in the hosts file that the installer reads.

Wine shares one connection pool across a process's sessions, so the
installer's request may reuse the manifest's tunnel: tunnels are counted as
"one or two"."""
import os
import socket
import ssl
import sys
import threading
import time

from attempt import CHECKING, MANIFEST_PATH, USER_AGENT, VERIFIED, AttemptTestCase, downloading, main, sha256

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from user_network import (DROPPING, DroppingAddress, ProxyLog, clear_user_proxy_settings,  # noqa: E402
                          restore_hosts, set_hosts, set_user_proxy_settings)

INSTALLER = b"MZ" + bytes((i * 13) & 0xFF for i in range(90000))
PATH = "/downloads/KORVA-Setup.exe"
VERSION = "10.1"
PROXY = "127.0.0.1:%s" % os.environ.get("KORVA_PROXY_PORT", "")
AUTH_PROXY = "127.0.0.1:%s" % os.environ.get("KORVA_PROXY_AUTH_PORT", "")
PAC_PATH = os.environ.get("KORVA_PAC_PATH", "")
PAC_URL = "http://127.0.0.1:%s%s" % (os.environ.get("KORVA_HTTP_PORT", ""), PAC_PATH)
REFUSING = "127.0.0.2"  # loopback, nothing listens on 443
SILENT = "127.0.0.4"  # a TLS server that closes without answering
CONNECT_TIMEOUT = 10
# Well under one connect timeout: a failure that took a timeout is no
# "quick" failure.
QUICK = 6


def accept_each(sock, handle):
    """Hands every connection to handle(client) until sock is closed."""
    while True:
        try:
            client, _ = sock.accept()
        except OSError:
            return
        handle(client)


class ClosingListener:
    """A proxy that accepts every connection and closes it at once."""

    def __init__(self):
        self.sock = socket.create_server(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        self.accepted = 0
        threading.Thread(target=accept_each, args=(self.sock, self.take), daemon=True).start()

    def take(self, client):
        self.accepted += 1
        client.close()

    def close(self):
        self.sock.close()


class SilentTlsServer:
    """address:443 completes the TLS handshake with the trusted certificate,
    reads the request and closes without a word."""

    def __init__(self, address):
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(os.environ["KORVA_SERVER_CERT"], os.environ["KORVA_SERVER_KEY"])
        self.sock = socket.create_server((address, 443), reuse_port=False)
        self.requests = 0
        threading.Thread(target=accept_each, args=(self.sock, self.take), daemon=True).start()

    def take(self, client):
        try:
            with self.context.wrap_socket(client, server_side=True) as tls:
                if tls.recv(65536):
                    self.requests += 1
        except (OSError, ssl.SSLError):
            client.close()

    def close(self):
        self.sock.close()


class SecondRoute(AttemptTestCase):
    def setUp(self):
        super().setUp()
        self.serve(PATH, INSTALLER)
        self.addCleanup(restore_hosts)
        self.addCleanup(clear_user_proxy_settings)
        self.proxy_log = ProxyLog(os.environ["KORVA_PROXY_LOG"])
        self.auth_log = ProxyLog(os.environ["KORVA_PROXY_AUTH_LOG"])

    def serve_release_at(self, installer_url=None):
        self.serve_release(VERSION, installer_url or self.url(PATH), sha256(INSTALLER))

    def serve_pac(self, answer):
        self.serve(PAC_PATH, 'function FindProxyForURL(url, host) { return "%s"; }\n' % answer)

    def cut_direct_route(self, address=None, hosts=("korva.com", "www.korva.com")):
        """korva.com unresolvable (address None) or resolving to address."""
        set_hosts({name: address for name in hosts})

    def timed_attempt(self):
        started = time.monotonic()
        code = self.run_attempt()
        return code, time.monotonic() - started

    def served(self):
        """(host, path, status, user agent) of each request that reached the
        release server. Through a proxy, Wine sends the absolute URL inside
        the tunnel ("GET https://korva.com:443/path"), and it sends a request
        down any open tunnel of the same proxy, even one to another port of
        the host: the path is what a test can hold it to."""
        found = []
        for r in self.requests():
            path = r.path.split("://", 1)[1].split("/", 1)[1] if "://" in r.path else r.path.lstrip("/")
            found.append((r.host, "/" + path, r.status, r.user_agent))
        return found

    def pac_fetches(self):
        return [r for r in self.requests() if r.path == PAC_PATH]

    def assert_verified_through_proxy(self):
        self.assertEqual(self.read_file(self.installer_file(VERSION)), INSTALLER)
        self.assert_log([CHECKING, downloading(VERSION), VERIFIED])
        self.assertIn(len(self.proxy_log.tunnels()), (1, 2))
        self.assertEqual(set(self.proxy_log.tunnels()), {"korva.com:443"})
        served = [r for r in self.served() if r[1] != PAC_PATH]
        self.assertEqual(served, [("korva.com", MANIFEST_PATH, 200, USER_AGENT), ("korva.com", PATH, 200, USER_AGENT)])

    def assert_no_second_try(self):
        self.assertEqual(self.proxy_log.tunnels(), [])
        self.assertEqual(self.auth_log.tunnels(), [])

    # --- the direct route answers: nothing changes -------------------------

    def test_working_direct_route_reads_no_settings(self):
        self.serve_pac("PROXY " + PROXY)
        set_user_proxy_settings(proxy=PROXY, auto_config_url=PAC_URL)
        self.serve_release_at()
        self.assertEqual(self.run_attempt(), 0)
        self.assert_log([CHECKING, downloading(VERSION), VERIFIED])
        self.assert_requested([(443, MANIFEST_PATH, 200), (443, PATH, 200)])
        self.assert_no_second_try()

    def test_http_error_status_is_an_answer(self):
        set_user_proxy_settings(proxy=PROXY)
        self.set_scenario({MANIFEST_PATH: {"status": 500, "body": "down for maintenance"}})
        self.assertEqual(self.run_attempt(), 1)
        self.assert_only_manifest_requested(status=500)
        self.assert_no_second_try()

    # --- the direct route gets no answer: the user's proxy ------------------

    def test_unresolved_or_unanswered_direct_route_goes_through_the_static_proxy(self):
        set_user_proxy_settings(proxy=PROXY, bypass="*.example.net;<local>")
        self.serve_release_at()
        with self.subTest("name not resolved"):
            self.cut_direct_route()
            self.assertEqual(self.run_attempt(), 0)
            self.assert_verified_through_proxy()
        with self.subTest("connection closed without an answer"):
            silent = SilentTlsServer(SILENT)
            self.addCleanup(silent.close)
            self.appdata, self.appdata_win = self.new_folder("appdata")
            self.proxy_log = ProxyLog(os.environ["KORVA_PROXY_LOG"])
            self.cut_direct_route(SILENT)
            self.assertEqual(self.run_attempt(), 0)
            self.assert_verified_through_proxy()
            # The manifest's request only: the installer's, to the same host,
            # went straight to the proxy.
            self.assertEqual(silent.requests, 1)

    def test_auto_config_script_decides_and_a_missing_one_leaves_the_static_proxy(self):
        self.serve_release_at()
        self.cut_direct_route(REFUSING)
        with self.subTest("script naming the proxy, over a static proxy that would refuse"):
            self.serve_pac("PROXY " + PROXY)
            set_user_proxy_settings(proxy=AUTH_PROXY, auto_config_url=PAC_URL)
            self.assertEqual(self.run_attempt(), 0)
            self.assert_verified_through_proxy()
            self.assertGreaterEqual(len(self.pac_fetches()), 1)
            self.assertEqual(self.auth_log.tunnels(), [])
        with self.subTest("script that cannot be fetched: the static proxy"):
            self.appdata, self.appdata_win = self.new_folder("appdata")
            os.remove(os.path.join(self.www, PAC_PATH.lstrip("/")))
            self.proxy_log = ProxyLog(os.environ["KORVA_PROXY_LOG"])
            set_user_proxy_settings(proxy=PROXY, auto_config_url=PAC_URL)
            self.assertEqual(self.run_attempt(), 0)
            self.assert_verified_through_proxy()
            self.assertEqual({r.status for r in self.pac_fetches()}, {404})

    def test_no_second_try_where_the_settings_say_direct(self):
        self.serve_release_at()
        self.cut_direct_route()
        cases = [
            ("script answering DIRECT", lambda: (self.serve_pac("DIRECT"),
                                                 set_user_proxy_settings(proxy=PROXY, auto_config_url=PAC_URL))),
            ("host on the bypass list",
             lambda: set_user_proxy_settings(proxy=PROXY, bypass="mirror.example.net KORVA.COM")),
        ]
        for name, configure in cases:
            with self.subTest(name):
                self.appdata, self.appdata_win = self.new_folder("appdata")
                configure()
                code, seconds = self.timed_attempt()
                self.assertEqual(code, 1)
                self.assertLess(seconds, QUICK)
                self.assert_log([CHECKING])
                self.assert_no_second_try()

    def test_installer_host_reachable_directly_goes_direct(self):
        set_user_proxy_settings(proxy=PROXY)
        self.serve_release_at(self.url(PATH, host="www.korva.com"))
        self.cut_direct_route(hosts=("korva.com",))
        self.assertEqual(self.run_attempt(), 0)
        self.assertEqual(self.read_file(self.installer_file(VERSION)), INSTALLER)
        # Only the manifest's host went through the proxy.
        self.assertIn(len(self.proxy_log.tunnels()), (1, 2))
        self.assertEqual(set(self.proxy_log.tunnels()), {"korva.com:443"})
        self.assertEqual([r[:2] for r in self.served()], [("korva.com", MANIFEST_PATH), ("www.korva.com", PATH)])

    def test_dropping_direct_route_costs_one_connect_timeout_per_attempt(self):
        dropping = DroppingAddress()
        self.addCleanup(dropping.close)
        set_user_proxy_settings(proxy=PROXY)
        self.serve_release_at()
        self.cut_direct_route(DROPPING)
        code, seconds = self.timed_attempt()
        self.assertEqual(code, 0)
        self.assert_verified_through_proxy()
        # The installer's request, to the same host, went straight to the proxy.
        self.assertGreaterEqual(seconds, CONNECT_TIMEOUT - 1)
        self.assertLess(seconds, 2 * CONNECT_TIMEOUT - 1)

    def test_a_drop_through_the_proxy_resumes_through_the_proxy(self):
        # The direct route never answers, so every request that reached the
        # server came through the proxy, the resumption included.
        path = "/faults/proxy/KORVA-Setup.exe"
        self.serve(path, INSTALLER)
        self.set_scenario({path: {"ranges": True, "etag": '"proxied-1"', "requests": [{"close_after": 40000}]}})
        set_user_proxy_settings(proxy=PROXY)
        self.serve_release_at(self.url(path))
        self.cut_direct_route()
        self.assertEqual(self.run_attempt(), 0)
        self.assertEqual(self.read_file(self.installer_file(VERSION)), INSTALLER)
        self.assert_log([CHECKING, downloading(VERSION),
                         "Download interrupted after 40000 of %d bytes; resuming." % len(INSTALLER), VERIFIED])
        self.assertEqual(set(self.proxy_log.tunnels()), {"korva.com:443"})
        served = [(r[1], r[2]) for r in self.served()]
        self.assertEqual(served, [(MANIFEST_PATH, 200), (path, 200), (path, 206)])
        self.assertEqual([r.range for r in self.requests() if r.path.endswith(path)][-1], "bytes=40000-")

    # --- the second route fails too ------------------------------------------

    def test_unusable_proxy_fails_quickly_after_one_try(self):
        self.serve_release_at()
        self.cut_direct_route(REFUSING)
        closing = ClosingListener()
        self.addCleanup(closing.close)
        idle = socket.create_server(("127.0.0.1", 0))  # bound, never listening after close
        idle_port = idle.getsockname()[1]
        idle.close()
        for name, proxy in (("not listening", "127.0.0.1:%d" % idle_port),
                            ("closing every connection", "127.0.0.1:%d" % closing.port),
                            ("answering 407", AUTH_PROXY)):
            with self.subTest(name):
                self.appdata, self.appdata_win = self.new_folder("appdata")
                set_user_proxy_settings(proxy=proxy)
                code, seconds = self.timed_attempt()
                self.assertEqual(code, 1)
                self.assertLess(seconds, QUICK)
                self.assert_log([CHECKING])
                self.assertEqual(self.requests(), [])
        # One try each: one connection, one CONNECT, no credentials sent again.
        self.assertEqual(closing.accepted, 1)
        self.assertEqual(self.auth_log.tunnels(), ["korva.com:443"])
        self.assertEqual(self.proxy_log.tunnels(), [])

    def test_rejected_certificate_is_no_reason_for_another_route(self):
        port = int(os.environ["KORVA_UNTRUSTED_PORT"])
        set_user_proxy_settings(proxy=PROXY)
        self.serve_release_at(self.url(PATH, port=port))
        with self.subTest("direct: refused, no second try"):
            self.assertEqual(self.run_attempt(), 1)
            self.assert_log([CHECKING, downloading(VERSION)])
            self.assert_only_manifest_requested()
            self.assert_no_second_try()
        with self.subTest("through the proxy: refused all the same"):
            self.appdata, self.appdata_win = self.new_folder("appdata")
            # The manifest goes direct, so no earlier tunnel exists that Wine
            # could reuse for the installer (see served()).
            self.serve_release_at(self.url(PATH, host="www.korva.com", port=port))
            self.cut_direct_route(hosts=("www.korva.com",))
            self.assertEqual(self.run_attempt(), 1)
            self.assertFalse(os.path.exists(self.installer_file(VERSION)))
            self.assert_log([CHECKING, downloading(VERSION)])
            self.assertEqual(self.proxy_log.tunnels(), ["www.korva.com:%d" % port])
            # The tunnel carried a handshake, but no request was ever sent in it.
            self.assert_only_manifest_requested()


if __name__ == "__main__":
    main()
