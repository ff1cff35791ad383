"""What the feed server and the event recorder share: a TLS listener on one address (1.2 only,
or 1.3 or 1.1 only as a mode file says), one thread per connection, a small strict HTTP/1.1
request reader and a log file.

Standard library only. Nothing a client sends may end a server: every connection runs inside a
catch-all that logs and closes, so a test that sends garbage sees a closed connection and the next
test still finds the server.
"""
import contextlib
import datetime
import itertools
import json
import os
import select
import socket
import ssl
import sys
import threading
import traceback
import warnings

MAX_HEAD = 64 * 1024
MAX_BODY = 16 * 1024 * 1024
IDLE_TIMEOUT = 30.0
# How long a deliberately silent or stalled connection is held open before the server gives up
# on the client; far beyond any time-out of the system under test.
HOLD_LIMIT = 300.0


_PARENT = os.getppid()


def parent_alive():
    """False once the runner that started this server is gone: a runner that was killed outright
    cannot end its servers, so they notice and end themselves."""
    return os.getppid() == _PARENT


class BadRequest(Exception):
    pass


class Log:
    def __init__(self, path):
        self._path = path
        self._lock = threading.Lock()

    def write(self, text):
        stamp = datetime.datetime.now().strftime("%H:%M:%S.%f")[:-3]
        with self._lock, open(self._path, "a", encoding="utf-8", errors="replace") as out:
            out.write(f"{stamp} {text}\n")


with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)  # TLSv1_1 is deprecated: that is the point
    TLS_VERSIONS = {"1.1": ssl.TLSVersion.TLSv1_1, "1.2": ssl.TLSVersion.TLSv1_2, "1.3": ssl.TLSVersion.TLSv1_3}


def pin(ctx, version):
    """Makes ctx (a server's or a client's) speak exactly that TLS version ("1.1", "1.2", "1.3")."""
    if version == "1.1":
        # Debian's OpenSSL refuses TLS 1.1 at its default security level (SHA-1 handshake MACs).
        ctx.set_ciphers("DEFAULT:@SECLEVEL=0")
    ctx.minimum_version = ctx.maximum_version = TLS_VERSIONS[version]
    return ctx


def tls_context(cert, key, version="1.2"):
    """A server context that speaks exactly one TLS version: "1.2" (the one the system allows; a
    client that negotiated 1.3 here would pass tests that production servers might not), or "1.3" /
    "1.1" (the tls modes), which a client pinned to 1.2 must refuse."""
    ctx = pin(ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER), version)
    ctx.load_cert_chain(cert, key)
    return ctx


def tls_contexts(cert, key, mode_file, log):
    """The context for the next connection, of the version the "tls" member of a mode file names
    (read before the handshake: the version is decided before any request arrives)."""
    contexts = {v: tls_context(cert, key, v) for v in TLS_VERSIONS}

    def pick():
        version = str((read_json_file(mode_file, log) or {}).get("tls", "1.2"))
        if version not in contexts:
            log.write(f"unknown tls version {version!r} in {mode_file}; speaking 1.2")
            version = "1.2"
        return contexts[version]
    return pick


def read_json_file(path, log):
    """The parsed object in path, {} when the file is absent or empty, None when unreadable."""
    try:
        with open(path, "rb") as f:
            raw = f.read()
        value = json.loads(raw) if raw.strip() else {}
    except FileNotFoundError:
        return {}
    except (OSError, ValueError) as e:  # unreadable, or not JSON
        log.write(f"{path} is not JSON ({e}); serving as if it were absent")
        return None
    if isinstance(value, dict):
        return value
    log.write(f"{path} is not a JSON object; serving as if it were absent")
    return None


def write_atomically(path, data, scratch_dir):
    """Readers polling the directory never see a half-written file."""
    os.makedirs(scratch_dir, exist_ok=True)
    tmp = os.path.join(scratch_dir, f"{os.getpid()}-{threading.get_ident()}.tmp")
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


def append_line(path, obj):
    """One JSON line, appended by a single unbuffered write so that threads never interleave."""
    with open(path, "ab", buffering=0) as out:
        out.write((json.dumps(obj, ensure_ascii=False) + "\n").encode("utf-8", "surrogateescape"))


class Request:
    def __init__(self, method, target, version, raw_headers, connection, number):
        self.method, self.path, self.version, self.raw_headers = method, target, version, raw_headers
        self.connection, self.request_on_connection, self.body = connection, number, b""

    def header(self, name):
        return next((value for key, value in self.raw_headers if key.lower() == name.lower()), None)

    def record(self):
        """What the logs keep: duplicate headers merged as one comma-separated value, and raw."""
        merged = {}
        for key, value in self.raw_headers:
            merged[key] = f"{merged[key]}, {value}" if key in merged else value
        return {"method": self.method, "path": self.path, "headers": merged,
                "raw_headers": [[k, v] for k, v in self.raw_headers], "connection": self.connection,
                "request_on_connection": self.request_on_connection}

    def wants_close(self):
        connection = (self.header("Connection") or "").lower()
        return "keep-alive" not in connection if self.version == "HTTP/1.0" else "close" in connection


class Connection:
    """A server-side TLS connection with a buffered reader."""

    def __init__(self, sock, number):
        self.sock = sock
        self.number = number
        self.requests = 0
        self._buf = b""

    def _fill(self):
        """Reads what has arrived; False once the client has closed its side."""
        chunk = self.sock.recv(65536)
        self._buf += chunk
        return bool(chunk)

    def read_until(self, separator, what):
        """The bytes before separator (which is consumed), or None on a clean close before any byte."""
        while separator not in self._buf:
            if len(self._buf) > MAX_HEAD:
                raise BadRequest(f"{what} too long")
            if not self._fill():
                if self._buf:
                    raise BadRequest(f"connection closed inside the {what}")
                return None
        taken, self._buf = self._buf.split(separator, 1)
        return taken

    def read_exact(self, n):
        while len(self._buf) < n:
            if not self._fill():
                raise BadRequest("connection closed inside the body")
        data, self._buf = self._buf[:n], self._buf[n:]
        return data

    def read_line(self):
        line = self.read_until(b"\r\n", "chunk line")
        if line is None:
            raise BadRequest("connection closed inside the chunked body")
        return line

    def read_request(self):
        """The next request, or None on a clean close before any byte of it."""
        head = self.read_until(b"\r\n\r\n", "request head")
        if head is None:
            return None
        lines = head.split(b"\r\n")
        try:
            request_line = lines[0].decode("ascii")
            method, target, version = request_line.split(" ")
        except (UnicodeDecodeError, ValueError):
            raise BadRequest(f"bad request line {lines[0][:200]!r}")
        if not version.startswith("HTTP/1.") or not target.startswith("/") or not method.isalpha():
            raise BadRequest(f"bad request line {request_line[:200]!r}")
        raw_headers = []
        for line in lines[1:]:
            name, sep, value = line.partition(b":")
            if not sep or not name or name != name.strip():
                raise BadRequest(f"bad header line {line[:200]!r}")
            raw_headers.append((name.decode("latin-1"), value.strip().decode("latin-1")))
        self.requests += 1
        request = Request(method, target, version, raw_headers, self.number, self.requests)
        request.body = self._read_body(request)
        return request

    def _read_body(self, request):
        if (request.header("Transfer-Encoding") or "").lower() == "chunked":
            body = b""
            while True:
                size_text = self.read_line().split(b";", 1)[0].strip()
                try:
                    size = int(size_text, 16)
                except ValueError:
                    raise BadRequest(f"bad chunk size {size_text[:50]!r}")
                if size < 0 or len(body) + size > MAX_BODY:
                    raise BadRequest("chunked body too large")
                if size == 0:
                    while self.read_line():
                        pass
                    return body
                body += self.read_exact(size)
                self.read_exact(2)
        length_text = request.header("Content-Length")
        if length_text is None:
            return b""
        if not length_text.isdigit() or int(length_text) > MAX_BODY:
            raise BadRequest(f"bad Content-Length {length_text[:50]!r}")
        return self.read_exact(int(length_text))

    def send(self, data):
        self.sock.sendall(data)

    def hold_until_client_leaves(self):
        """Keep the connection open and quiet until the client closes it (or a long limit)."""
        self.sock.settimeout(HOLD_LIMIT)
        with contextlib.suppress(OSError):  # the limit ran out (a time-out), or the client is gone
            while self.sock.recv(65536):
                pass


def response_head(status, headers):
    reasons = {200: "OK", 206: "Partial Content", 302: "Found", 304: "Not Modified",
               400: "Bad Request", 404: "Not Found", 405: "Method Not Allowed",
               416: "Range Not Satisfiable", 500: "Internal Server Error"}
    lines = [f"HTTP/1.1 {status} {reasons.get(status, 'Status')}"]
    lines += [f"{k}: {v}" for k, v in headers]
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")


class Listener:
    """One listening TLS endpoint; each accepted connection gets its own thread."""

    def __init__(self, address, port, contexts, log, handler, ready_file):
        self.address = address
        self.port = port
        self.contexts = contexts
        self.log = log
        self.handler = handler
        self.ready_file = ready_file
        self.sock = None
        self._numbers = itertools.count(1)  # next() on it is atomic under the GIL

    def open(self):
        self.sock = socket.create_server((self.address, self.port), backlog=64)  # SO_REUSEADDR on POSIX
        with open(self.ready_file, "w") as f:
            f.write(f"{os.getpid()}\n")
        self.log.write(f"listening on {self.address}:{self.port}")

    def close(self):
        # Closing the socket drops the queued, not yet accepted connections with a reset. Only
        # then does the ready file go: a test that saw it vanish must find connections refused.
        self.sock.close()
        with contextlib.suppress(FileNotFoundError):
            os.unlink(self.ready_file)
        self.sock = None
        self.log.write("stopped listening")

    def accept_for(self, seconds):
        """Accepts whatever arrives within seconds and hands each connection to its own thread."""
        readable, _, _ = select.select([self.sock], [], [], seconds)
        if not readable:
            return
        try:
            raw, peer = self.sock.accept()
        except OSError as e:
            self.log.write(f"accept failed: {e}")
            return
        threading.Thread(target=self._serve, args=(raw, peer), daemon=True).start()

    def _serve(self, raw, peer):
        try:
            # The handshake runs here, on the connection's own thread: a client that connects and
            # never speaks must not hold up the accept loop.
            raw.settimeout(IDLE_TIMEOUT)
            sock = self.contexts().wrap_socket(raw, server_side=True)
        except OSError as e:  # ssl.SSLError included
            self.log.write(f"{peer[0]}:{peer[1]} TLS handshake failed: {e}")
            raw.close()
            return
        conn = Connection(sock, next(self._numbers))
        try:
            self.handler(conn)
        except BadRequest as e:
            self.log.write(f"{peer[0]}:{peer[1]} bad request: {e}")
            with contextlib.suppress(OSError):  # ssl.SSLError is an OSError
                conn.send(response_head(400, [("Content-Length", "0"), ("Connection", "close")]))
        except OSError as e:
            self.log.write(f"{peer[0]}:{peer[1]} connection ended: {e}")
        except Exception:  # noqa: BLE001 - a server bug must end one connection, not the server
            self.log.write(f"{peer[0]}:{peer[1]} handler failed:\n{traceback.format_exc()}")
        finally:
            with contextlib.suppress(OSError):
                sock.close()


def listener_from_argv(name, make_server):
    """(server, its listener) from a server's command line CONTROL_DIR ADDRESS PORT CERT KEY. name
    ("feed" or "events") names the mode file whose "tls" picks each handshake's version and the
    marker that exists while the socket listens."""
    control, address, port, cert, key = sys.argv[1:]
    server = make_server(control)
    tls = tls_contexts(cert, key, os.path.join(control, f"{name}-mode.json"), server.log)
    return server, Listener(address, int(port), tls, server.log, server.handle,
                            os.path.join(control, f"{name}-listening"))
