#!/usr/bin/env python3
"""A release server that misbehaves on request, for what nginx will not do on
purpose: wrong or missing Content-Length, a connection reset mid-body, a stall,
odd status codes and redirects.

Every request looks up its path (query removed) in the scenario file, a JSON
object read afresh per request, so a test changes behaviour by rewriting it:

  {"/faults/setup.exe": {"status": 200, "length": 10, "reset_after": 4096}}

Action fields, all optional:
  status       HTTP status (200 when a body exists, else 404)
  body         text sent as UTF-8
  body_file    file to send, relative to the served tree or absolute; without
               body or body_file the file at the request path in the tree
  length       "exact" (default), "none" (close-delimited) or the number to
               declare in Content-Length whatever the body's size
  headers      extra response headers, {"Location": "..."}
  reset_after  send this many body bytes, then abort the connection (TCP RST)
  stall_after  send this many body bytes, then go silent for stall_seconds
               (default 60) or until the client gives up
  corrupt_after  (TLS only) send this many body bytes, then a record that
               does not decrypt, then close in order: a transfer error that,
               unlike a reset, no client mistakes for the end of the body
  hold_until   a file path: answer nothing, not even the status line, until
               that file exists (at most 30 s)
  pause_after  send this many body bytes, then nothing until the file named
               by pause_until exists (at most 30 s), then the rest: a download
               that a test can hold in the middle for as long as it needs
  close_after  send this many body bytes, then close in order (TLS
               close_notify, FIN) short of the declared length
  outage_seconds  after this response, every new connection is reset at once,
               before TLS, for that long or until the scenario file changes:
               the network gone for a moment
  ranges       true: serve byte ranges as a static host does. "Accept-Ranges:
               bytes"; "Range: bytes=N-" or "bytes=N-M" gets 206 with
               "Content-Range: bytes N-E/T" (416 when N is past the end),
               unless "If-Range" differs from both validators below, which
               gets the whole body with 200. Without it Range is ignored.
  etag, last_modified  validators sent with every response of the path
  range_shift  (with ranges) the 206 claims and sends from N plus this
  range_total  (with ranges) the total that Content-Range claims
  range_limit  (with ranges) a 206 carries at most this many bytes, as hosts
               that serve a large file in pieces do
  requests     a list of actions, one per request to the path in order (the
               count starts again whenever the scenario file changes), each
               merged over the other fields; past its end those fields alone
               apply: {"ranges": true, "requests": [{"reset_after": 5000}]}
               drops the first request and serves the rest

It listens in plain HTTP (nginx proxies to it, so nginx stays the TLS end for
the fixed manifest URL) and, when given a certificate, in TLS as well. Each
request is logged as one line "port<TAB>host<TAB>request line<TAB>status<TAB>
body bytes sent<TAB>user agent<TAB>Range<TAB>If-Range" ("-" for a header
not sent).

With --trap-address it also plays a foreign server, in TLS with its own
certificate on each --trap-port of that address, answering as above; every
connection it accepts is first logged in --trap-log as "port<TAB>connection",
before any TLS, so a test can tell that a client never even connected.
"""
import argparse
import json
import os
import socket
import socketserver
import ssl
import struct
import sys
import threading
import time

REASONS = {
    200: "OK", 204: "No Content", 206: "Partial Content", 301: "Moved Permanently", 302: "Found",
    303: "See Other", 307: "Temporary Redirect", 308: "Permanent Redirect", 404: "Not Found",
    416: "Range Not Satisfiable", 500: "Internal Server Error",
}


class FaultServer(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, port, config, tls_context=None, address="127.0.0.1", connection_log=None):
        super().__init__((address, port), Handler)
        self.config = config
        self.tls_context = tls_context
        self.outage = (None, 0.0)  # scenario it belongs to, end
        self.connection_log = connection_log


def read_head(sock):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(4096)
        if not chunk or len(data) > 65536:
            return None
        data += chunk
    return data.split(b"\r\n\r\n", 1)[0].decode("latin-1")


def load_scenario(path):
    """(text, when it was written): a scenario written again with the same
    text is a new one, so its per-request list starts again at the first."""
    try:
        with open(path, encoding="utf-8") as f:
            return f.read(), os.fstat(f.fileno()).st_mtime_ns
    except FileNotFoundError:
        return "{}", 0


REQUEST_COUNTS = {}
REQUEST_COUNTS_LOCK = threading.Lock()


def action_for(scenario, path):
    """The action of this request to path: "requests" entries count per
    scenario, so a rewritten scenario starts again at the first."""
    action = json.loads(scenario[0]).get(path, {})
    per_request = action.pop("requests", None)
    if not per_request:
        return action
    with REQUEST_COUNTS_LOCK:
        key = (scenario, path)
        index = REQUEST_COUNTS.get(key, 0)
        REQUEST_COUNTS[key] = index + 1
    return dict(action, **per_request[index]) if index < len(per_request) else action


def parse_range(value):
    """(first, last or None) of a single "bytes=N-" or "bytes=N-M", else None."""
    unit, _, wanted = value.partition("=")
    first, dash, last = wanted.strip().partition("-")
    if unit.strip().lower() != "bytes" or not dash or not first.isdigit() or (last and not last.isdigit()):
        return None
    return int(first), int(last) if last else None


def apply_range(status, body, action, headers):
    """(status, body, extra headers) once ranges are considered."""
    validators = [v for v in (action.get("etag"), action.get("last_modified")) if v]
    extra = {"Accept-Ranges": "bytes"}
    wanted = parse_range(headers.get("range", ""))
    if status != 200 or wanted is None:
        return status, body, extra
    if "if-range" in headers and headers["if-range"] not in validators:
        return status, body, extra
    first, last = wanted
    if first >= len(body):
        extra["Content-Range"] = "bytes */%d" % len(body)
        return 416, b"", extra
    first += action.get("range_shift", 0)
    end = len(body) - 1 if last is None else min(last, len(body) - 1)
    if "range_limit" in action:
        end = min(end, first + action["range_limit"] - 1)
    extra["Content-Range"] = "bytes %d-%d/%d" % (first, end, action.get("range_total", len(body)))
    return 206, body[first:end + 1], extra


def resolve_body(www, path, action):
    if "body" in action:
        return action["body"].encode("utf-8")
    name = action.get("body_file", path.lstrip("/"))
    full = os.path.normpath(os.path.join(www, name))
    if not full.startswith(os.path.normpath(www) + os.sep) or not os.path.isfile(full):
        return None
    with open(full, "rb") as f:
        return f.read()


def response_head(status, body, action):
    lines = ["HTTP/1.1 %d %s" % (status, REASONS.get(status, "Status")),
             "Content-Type: application/octet-stream", "Connection: close"]
    length = action.get("length", "exact")
    if length != "none":
        lines.append("Content-Length: %d" % (len(body) if length == "exact" else int(length)))
    if status == 206 and body and "Content-Range" not in action.get("headers", {}):
        lines.append("Content-Range: bytes 0-%d/%d" % (len(body) - 1, len(body) * 2))
    for name, value in (("ETag", action.get("etag")), ("Last-Modified", action.get("last_modified"))):
        if value:
            lines.append("%s: %s" % (name, value))
    for name, value in action.get("headers", {}).items():
        lines.append("%s: %s" % (name, value))
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")


def abort(sock):
    # Linger 0 turns close() into a TCP reset: no TLS close_notify, no FIN.
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


def close_tls(sock):
    # Sends close_notify without waiting for the client's: a blocking unwrap
    # would hold the TCP close back until the socket timeout, and clients read
    # a close-delimited body up to that close.
    sock.setblocking(False)
    try:
        sock.unwrap()
    except (OSError, ssl.SSLError):
        pass


def wait_for_file(path, seconds=30):
    deadline = time.monotonic() + seconds
    while not os.path.exists(path) and time.monotonic() < deadline:
        time.sleep(0.02)


def wait_for_client_to_give_up(sock, seconds):
    sock.settimeout(seconds)
    try:
        while sock.recv(4096):
            pass
    except (OSError, ssl.SSLError):
        pass


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        sock = self.request
        # An outage ends early when a test rewrites the scenario.
        if self.server.outage[0] == load_scenario(self.server.config.scenario) and \
                time.monotonic() < self.server.outage[1]:
            abort(sock)
            return
        sock.settimeout(15)
        cfg = self.server.config
        if self.server.connection_log:
            with cfg.log_lock, open(self.server.connection_log, "a", encoding="utf-8") as log:
                log.write("%d\tconnection\n" % self.server.server_address[1])
        if self.server.tls_context:
            try:
                sock = self.server.tls_context.wrap_socket(sock, server_side=True)
            except (OSError, ssl.SSLError):
                return
        try:
            head = read_head(sock)
        except (OSError, ssl.SSLError):
            return
        if head is None:
            return
        request_line, _, header_text = head.partition("\r\n")
        headers = {}
        for line in header_text.split("\r\n"):
            name, _, value = line.partition(":")
            headers[name.strip().lower()] = value.strip()
        target = request_line.split(" ")[1] if request_line.count(" ") >= 2 else "/"
        path = target.split("?", 1)[0]
        scenario = load_scenario(cfg.scenario)
        action = action_for(scenario, path)
        body = resolve_body(cfg.www, path, action)
        status = action.get("status", 200 if body is not None else 404)
        # A 204 keeps its bytes too: a client that judged the body instead
        # of the status would read them.
        body = b"" if body is None else body
        if action.get("ranges"):
            status, body, extra = apply_range(status, body, action, headers)
            action = dict(action, headers=dict(extra, **action.get("headers", {})))
        sent = self.respond(sock, status, body, action)
        if "outage_seconds" in action:
            self.server.outage = (scenario, time.monotonic() + float(action["outage_seconds"]))
        with cfg.log_lock, open(cfg.log, "a", encoding="utf-8") as log:
            log.write("\t".join([str(self.server.server_address[1]), headers.get("host", "-"), request_line,
                                 str(status), str(sent), headers.get("user-agent", "-"),
                                 headers.get("range", "-"), headers.get("if-range", "-")]) + "\n")

    def respond(self, sock, status, body, action):
        cut = action.get("reset_after", action.get("stall_after", action.get("corrupt_after",
                                                                              action.get("close_after"))))
        part = body if cut is None else body[:cut]
        try:
            if "hold_until" in action:
                wait_for_file(action["hold_until"])
            if "pause_after" in action:
                sock.sendall(response_head(status, body, action) + part[:action["pause_after"]])
                wait_for_file(action["pause_until"])
                sock.sendall(part[action["pause_after"]:])
            else:
                sock.sendall(response_head(status, body, action) + part)
            if "reset_after" in action:
                # A reset discards what the client has not read yet; a drop
                # on a real network comes after the bytes it let through.
                time.sleep(0.5)
                abort(sock)
                return len(part)
            if "corrupt_after" in action and isinstance(sock, ssl.SSLSocket):
                # Past the TLS layer, straight onto the connection.
                socket.socket.sendall(sock, b"\x17\x03\x03\x00\x10" + b"\xa5" * 16)
                socket.socket.shutdown(sock, socket.SHUT_WR)
                wait_for_client_to_give_up(sock, 10)
                socket.socket.close(sock)
                return len(part)
            if "stall_after" in action:
                wait_for_client_to_give_up(sock, float(action.get("stall_seconds", 60)))
            elif isinstance(sock, ssl.SSLSocket):
                close_tls(sock)
            sock.close()
        except (OSError, ssl.SSLError):
            pass
        return len(part)


def tls_context(cert, key):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(cert, key)
    return context


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--www", required=True)
    parser.add_argument("--scenario", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--http-port", type=int, required=True)
    parser.add_argument("--tls-port", type=int)
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--trap-address")
    parser.add_argument("--trap-port", type=int, action="append", default=[])
    parser.add_argument("--trap-cert")
    parser.add_argument("--trap-log")
    config = parser.parse_args()
    config.log_lock = threading.Lock()
    servers = [FaultServer(config.http_port, config)]
    if config.tls_port:
        servers.append(FaultServer(config.tls_port, config, tls_context(config.cert, config.key)))
    if config.trap_address:
        context = tls_context(config.trap_cert, config.key)
        servers += [FaultServer(port, config, context, config.trap_address, config.trap_log)
                    for port in config.trap_port]
    for server in servers[1:]:
        threading.Thread(target=server.serve_forever, daemon=True).start()
    print("fault server listening", flush=True)
    servers[0].serve_forever()


if __name__ == "__main__":
    sys.exit(main())
