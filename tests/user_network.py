"""The network as the user's machine sees it, for tests of the installer's
second route (scripts/sandbox.d/30-proxy.sh for the contract): the Internet
settings in the Wine prefix, stored the way Windows stores them, the hosts
file that cuts the direct route, and the proxies' logs."""
import os
import re
import socket
import struct
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "e2e"))
from attempt import run_wine  # noqa: E402

SETTINGS_KEY = r"HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Internet Settings"
PLAIN_VALUES = ("ProxyEnable", "ProxyServer", "ProxyOverride", "AutoConfigURL")
DROPPING = "127.0.0.3"  # see DroppingAddress
TUNNEL = re.compile(r"Request \(file descriptor \d+\): CONNECT (\S+) ")

# Flags of DefaultConnectionSettings.
DIRECT, STATIC_PROXY, AUTO_CONFIG_URL = 1, 2, 4


def connection_settings_blob(proxy="", bypass="", auto_config_url=""):
    """DefaultConnectionSettings as Windows writes it, in the one version
    (0x46) that WinHttpGetIEProxyConfigForCurrentUser reads: version, change
    counter, flags, three length-prefixed ANSI strings, zero padding."""
    flags = DIRECT | (STATIC_PROXY if proxy else 0) | (AUTO_CONFIG_URL if auto_config_url else 0)
    blob = struct.pack("<III", 0x46, 1, flags)
    for text in (proxy, bypass, auto_config_url):
        data = text.encode("ascii")
        blob += struct.pack("<I", len(data)) + data
    return blob + bytes(32)


def reg_string(text):
    return '"%s"' % text.replace("\\", "\\\\").replace('"', '\\"')


def import_registry(lines):
    """Imports .reg lines with Wine's reg; the wineserver holds the registry,
    so the next process sees them."""
    with tempfile.NamedTemporaryFile("w", suffix=".reg", dir=os.environ["KORVA_SANDBOX"], delete=False) as f:
        f.write("Windows Registry Editor Version 5.00\r\n\r\n" + "\r\n".join(lines) + "\r\n")
    try:
        code, output = run_wine(["wine", "reg", "import", "Z:" + f.name.replace("/", "\\")])
    finally:
        os.remove(f.name)
    if code != 0:
        raise AssertionError("wine reg import failed (exit %d): %s" % (code, output[-300:]))


def set_user_proxy_settings(proxy="", bypass="", auto_config_url=""):
    """The user's Internet settings: the binary form that WinHTTP reads and
    the plain values beside it, as the Windows settings dialog leaves them."""
    blob = connection_settings_blob(proxy, bypass, auto_config_url)
    import_registry([
        "[%s]" % SETTINGS_KEY,
        '"ProxyEnable"=dword:%08x' % (1 if proxy else 0),
        '"ProxyServer"=%s' % reg_string(proxy) if proxy else '"ProxyServer"=-',
        '"ProxyOverride"=%s' % reg_string(bypass) if bypass else '"ProxyOverride"=-',
        '"AutoConfigURL"=%s' % reg_string(auto_config_url) if auto_config_url else '"AutoConfigURL"=-',
        "",
        "[%s\\Connections]" % SETTINGS_KEY,
        '"DefaultConnectionSettings"=hex:' + ",".join("%02x" % b for b in blob),
    ])


def clear_user_proxy_settings():
    """Back to a fresh profile: nothing stored."""
    import_registry(["[%s]" % SETTINGS_KEY] + ['"%s"=-' % name for name in PLAIN_VALUES] +
                    ["", "[%s\\Connections]" % SETTINGS_KEY, '"DefaultConnectionSettings"=-'])


def set_hosts(addresses):
    """Rewrites the hosts file that everything but the proxies reads, in place:
    addresses maps host names to an address, or to None for no entry at all.
    Other lines of the original stay."""
    names = set(addresses)
    with open(os.environ["KORVA_HOSTS_ORIGINAL"], encoding="utf-8") as f:
        lines = []
        for line in f:
            fields = line.split()
            kept = [fields[0]] + [n for n in fields[1:] if n not in names] if fields else []
            if len(kept) > 1:
                lines.append(" ".join(kept))
    lines += ["%s %s" % (address, name) for name, address in addresses.items() if address]
    with open(os.environ["KORVA_HOSTS"], "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")


def restore_hosts():
    with open(os.environ["KORVA_HOSTS_ORIGINAL"], encoding="utf-8") as src:
        original = src.read()
    with open(os.environ["KORVA_HOSTS"], "w", encoding="utf-8") as f:
        f.write(original)


class ProxyLog:
    """The tunnels a tinyproxy log records from the moment of creation."""

    def __init__(self, path):
        self.path = path
        self.mark = os.path.getsize(path)

    def tunnels(self):
        with open(self.path, encoding="utf-8", errors="replace") as f:
            f.seek(self.mark)
            return [m.group(1) for m in map(TUNNEL.search, f) if m]


class DroppingAddress:
    """DROPPING:443 takes no more connections: its backlog of 0 is full, so
    new SYNs go unanswered, as behind a firewall that drops packets."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((DROPPING, 443))
        self.listener.listen(0)
        self.filler = socket.create_connection((DROPPING, 443), timeout=5)

    def close(self):
        self.filler.close()
        self.listener.close()
