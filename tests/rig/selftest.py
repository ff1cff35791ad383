#!/usr/bin/python3
"""Checks the rig itself from inside the namespace: name resolution, trust, every feed and
recorder mode, robustness against garbage, and the runner's own contract. Every other Windows
test trusts these servers, so each row below is a way the rig could silently lie to them.

usage: run-in-namespace -- python3 tests/rig/selftest.py [--xml REPORT]

Prints one line per case and writes a GoogleTest-style XML report (testsuites / testsuite /
testcase with <failure> children) that scripts/lib/summarize.py counts.
"""
import argparse
import base64
import contextlib
import functools
import http.client
import os
import socket
import ssl
import subprocess
import sys

RIG = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [RIG, os.path.join(RIG, "..", "..", "scripts", "lib")]
from control import (CONTROL, EVENT_PATH, EVENTS, FEED, FEED_PREFIX as PREFIX, Failed, check, check_eq,  # noqa: E402
                     event_records, events_mode, feed_mode, feed_requests as feed_log, put_feed, read, reset, run,
                     run_case, wait_for, wine_path, write_control)
from rig_server import pin  # noqa: E402
from summarize import write_report  # noqa: E402

# A payload whose every offset holds a different byte pattern, so an off-by-one range shows.
PAYLOAD = bytes((i * 7 + i // 256) & 0xFF for i in range(1000))

CASES = []


def case(suite, name):
    """Registers the function it decorates as one test case."""
    return lambda fn: CASES.append((suite, name, fn))


def table(suite, run, rows):
    """One test case per row: its name, then run's arguments."""
    for name, *args in rows:
        CASES.append((suite, name, functools.partial(run, *args)))


# ---- clients ----

def tls12_client():
    ctx = ssl.create_default_context()
    ctx.minimum_version = ssl.TLSVersion.TLSv1_2
    return ctx


def connection(host, timeout=5.0, ctx=None):
    """A new HTTPS connection to host, closed at the end of a with block."""
    return contextlib.closing(http.client.HTTPSConnection(host, 443, timeout=timeout, context=ctx or tls12_client()))


def fetch(host, path, method="GET", headers=None, body=None, timeout=10.0, ctx=None):
    """(status, headers dict with lower-case names, body) of one request on a new connection."""
    with connection(host, timeout, ctx) as conn:
        conn.request(method, path, body=body, headers=headers or {})
        resp = conn.getresponse()
        data = resp.read()
        return resp.status, {k.lower(): v for k, v in resp.getheaders()}, data


def raises(exc_types, fn):
    try:
        fn()
    except exc_types as e:
        return e
    raise Failed(f"expected {exc_types}, nothing was raised")


# ---- names and trust ----

def resolves_to(name, address):
    check_eq(socket.gethostbyname(name), address, name)


table("Resolution", resolves_to, [
    ("FeedHostIsLoopback2", FEED, "127.0.0.2"),
    ("EventHostIsLoopback3", EVENTS, "127.0.0.3"),
    ("OwnHostNameIs127_0_1_1", socket.gethostname(), "127.0.1.1"),
    ("Localhost", "localhost", "127.0.0.1"),
])


@case("Resolution", "OtherNamesDoNotResolve")
def _():
    for name in ("deb.debian.org", "nosuch.brimora.app", "example.com"):
        raises(socket.gaierror, lambda: socket.getaddrinfo(name, 443))


@case("Trust", "SystemBundleHoldsOnlyTheRigCa")
def _():
    check_eq(read("/etc/ssl/certs/ca-certificates.crt"), read(os.environ["BRIMORA_RIG_CA"]), "bundle content")
    hashed = [n for n in os.listdir("/etc/ssl/certs") if n != "ca-certificates.crt"]
    check_eq(len(hashed), 1, f"other entries in /etc/ssl/certs: {hashed[:5]}")


@case("Trust", "ClientWithoutTheCaIsRefused")
def _():
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)  # verifies, trusts nothing
    e = raises(ssl.SSLCertVerificationError, lambda: fetch(FEED, PREFIX + "latest.yml", ctx=ctx))
    check("unable to get local issuer" in str(e), str(e))


@case("Trust", "CertificateNamesMatchTheirHost")
def _():
    # Each server has its own certificate; asking one by the other's name must fail.
    for address, other_name in (("127.0.0.2", EVENTS), ("127.0.0.3", FEED)):
        with socket.create_connection((address, 443), timeout=5) as raw:
            raises(ssl.SSLCertVerificationError, lambda: tls12_client().wrap_socket(raw, server_hostname=other_name))


def tls_version_case(host, version, accepted, tls=None):
    """A client pinned to one version, against the server in its default or given "tls" mode."""
    if tls is not None:
        if host == FEED:
            feed_mode({"tls": tls})
        else:
            events_mode("200", tls=tls)
    ctx = pin(ssl.create_default_context(), version)
    if accepted:
        with socket.create_connection((host, 443), timeout=5) as raw, ctx.wrap_socket(raw, server_hostname=host) as s:
            check_eq(s.version(), "TLSv" + version, "negotiated")
    else:
        raises((ssl.SSLError, ConnectionResetError), lambda: fetch(host, "/", ctx=ctx))


# Each server speaks TLS 1.2 only, to a client that verifies it against the system store (which
# holds the rig's CA alone); its tls modes speak exactly that one version, so a client pinned to
# 1.2 must then fail the handshake.
for server, host, s in (("Feed", FEED, "s"), ("Events", EVENTS, "")):  # s: "the feed speaks", "events speak"
    table("Trust", tls_version_case, [(f"{server}Speak{s}Tls12", host, "1.2", True),
                                      (f"{server}Refuse{s}Tls13", host, "1.3", False),
                                      (f"{server}Refuse{s}Tls11", host, "1.1", False)])
    for mode, t in (("1.3", "13"), ("1.1", "11")):
        table("Trust", tls_version_case, [(f"{server}Tls{t}ModeSpeak{s}Tls{t}", host, mode, True, mode),
                                          (f"{server}Tls{t}ModeRefuse{s}Tls12", host, "1.2", False, mode)])


# ---- feed: Range semantics ----

def range_case(header, status, start, end, content_range):
    put_feed("p.bin", PAYLOAD)
    headers = {"Range": header} if header else {}
    got_status, got_headers, body = fetch(FEED, PREFIX + "p.bin", headers=headers)
    check_eq(got_status, status, "status")
    check_eq(body, PAYLOAD[start:end], "body")
    check_eq(got_headers.get("content-range"), content_range, "Content-Range")
    check_eq(got_headers.get("content-length"), str(end - start), "Content-Length")


table("FeedRange", range_case, [
    ("NoRangeWholeFile", None, 200, 0, 1000, None),
    ("FromZero", "bytes=0-", 206, 0, 1000, "bytes 0-999/1000"),
    ("FromMiddle", "bytes=389-", 206, 389, 1000, "bytes 389-999/1000"),
    ("LastByte", "bytes=999-", 206, 999, 1000, "bytes 999-999/1000"),
    ("AtTheEnd", "bytes=1000-", 416, 0, 0, "bytes */1000"),
    ("FarBeyondTheEnd", "bytes=18446744073709551615-", 416, 0, 0, "bytes */1000"),
    ("ClosedRange", "bytes=10-19", 206, 10, 20, "bytes 10-19/1000"),
    ("ClosedRangePastTheEnd", "bytes=990-5000", 206, 990, 1000, "bytes 990-999/1000"),
    ("Suffix", "bytes=-3", 206, 997, 1000, "bytes 997-999/1000"),
    ("UnparsableIsIgnored", "items=5-", 200, 0, 1000, None),
    ("SeveralRangesAreIgnored", "bytes=1-2,5-6", 200, 0, 1000, None),
])


# ---- feed: paths and methods ----

def raw_request(request_bytes):
    """Sends exact bytes to the feed over TLS and returns everything it answered."""
    with socket.create_connection((FEED, 443), timeout=5.0) as raw, \
            tls12_client().wrap_socket(raw, server_hostname=FEED) as s:
        s.sendall(request_bytes)
        data = b""
        with contextlib.suppress(OSError):  # a time-out, reset or TLS error ends the answer too
            while chunk := s.recv(65536):
                data += chunk
        return data


def path_case(path, status):
    put_feed("latest.yml", "x")
    answer = raw_request(f"GET {path} HTTP/1.1\r\nHost: {FEED}\r\nConnection: close\r\n\r\n".encode())
    check_eq(int(answer.split(b" ", 2)[1]), status, path)


table("FeedPaths", path_case, [
    ("ServedFile", PREFIX + "latest.yml", 200),
    ("AbsentFile", PREFIX + "Brimora-9.9.9-win-x64.exe", 404),
    ("PrefixItself", PREFIX, 404),
    ("DotDotSegment", PREFIX + "../win32-x64/latest.yml", 404),
    ("SubdirectoryName", PREFIX + "sub/latest.yml", 404),
    ("PercentEncodedNameNotDecoded", PREFIX + "latest%2Eyml", 404),
    ("OtherPrefix", "/brimora-desktop-releases/staging/win32-x64/latest.yml", 404),
])


@case("FeedPaths", "PostIsRefused")
def _():
    check_eq(fetch(FEED, PREFIX + "latest.yml", "POST", body=b"x")[0], 405, "status")


@case("FeedPaths", "HeadAnnouncesTheLengthWithoutBody")
def _():
    put_feed("p.bin", PAYLOAD)
    status, headers, body = fetch(FEED, PREFIX + "p.bin", "HEAD")
    check_eq((status, headers.get("content-length"), body), (200, "1000", b""), "HEAD")


@case("FeedPaths", "KeepAliveServesSeveralRequestsOnOneConnection")
def _():
    put_feed("p.bin", PAYLOAD)
    with connection(FEED) as conn:
        for header in ({}, {"Range": "bytes=500-"}):
            conn.request("GET", PREFIX + "p.bin", headers=header)
            resp = conn.getresponse()
            check_eq(resp.read(), PAYLOAD[500 if header else 0:], "body")
    fetch(FEED, PREFIX + "p.bin")
    check_eq([(r["connection"] - feed_log()[0]["connection"], r["request_on_connection"]) for r in feed_log()],
             [(0, 1), (0, 2), (1, 1)], "(connection, request on it) of each logged request")


# ---- feed: fault modes ----

def mode_case(mode, status, body, request_headers=None, expect_headers=None, name="p.bin"):
    """GET name (p.bin holds PAYLOAD) in that feed mode: status, body and the expected headers."""
    put_feed("p.bin", PAYLOAD)
    put_feed("latest.yml", b"version: 1.0.0\n")
    feed_mode(mode)
    got_status, got_headers, got_body = fetch(FEED, PREFIX + name, headers=request_headers)
    check_eq(got_status, status, "status")
    check_eq(got_body, body, "body")
    for key, value in (expect_headers or {}).items():
        check_eq(got_headers.get(key), value, key)


RANGE = {"Range": "bytes=100-"}
table("FeedModes", mode_case, [
    ("Status404", {"status": 404}, 404, b""),
    ("Status500", {"status": 500}, 500, b""),
    ("Status304", {"status": 304}, 304, b""),
    ("Status206OnFreshGet", {"status": 206}, 206, b""),
    ("Status302WithLocation", {"status": 302, "location": "https://cdn.brimora.app/x"}, 302, b"", None,
     {"location": "https://cdn.brimora.app/x"}),
    ("StatusAlsoForRangeRequests", {"status": 500}, 500, b"", RANGE),
    ("IgnoreRange", {"ignore_range": True}, 200, PAYLOAD, RANGE),
    ("IgnoreRangeLeavesPlainGetAlone", {"ignore_range": True}, 200, PAYLOAD),
    ("RangeStatus416", {"range_status": 416}, 416, b"", RANGE),
    ("RangeStatusLeavesPlainGetAlone", {"range_status": 416}, 200, PAYLOAD),
    ("ShortByOne", {"short_by": 1}, 200, PAYLOAD[:-1], None, {"content-length": "999"}),
    ("ShortByOneOnRange", {"short_by": 1}, 206, PAYLOAD[100:-1], RANGE),
    ("LongByOne", {"long_by": 1}, 200, PAYLOAD + b"\x5a", None, {"content-length": "1001"}),
    ("LongByOneOnRange", {"long_by": 1}, 206, PAYLOAD[100:] + b"\x5a", RANGE),
    ("ReplaceBody", {"replace_body": "not yaml"}, 200, b"not yaml"),
    ("ReplaceBodyOfAbsentFile", {"replace_body": "made up"}, 200, b"made up", None, None, "absent.exe"),
    ("RateDeliversEverything", {"rate": 20000}, 200, PAYLOAD),
    ("PathScopedModeAppliesToItsFile", {"path": "p.bin", "status": 500}, 500, b""),
    ("PathScopedModeSparesOtherFiles", {"path": "p.bin", "status": 500}, 200, b"version: 1.0.0\n", None, None,
     "latest.yml"),
])


@case("FeedModes", "BrokenModeFileIsNormalServiceAndLogged")
def _():
    put_feed("p.bin", PAYLOAD)
    write_control("feed-mode.json", "{not json")
    check_eq(fetch(FEED, PREFIX + "p.bin")[2], PAYLOAD, "body")
    check(b"feed-mode.json is not JSON" in read(os.path.join(CONTROL, "feed-server.log")),
          "no log line about the broken mode file")


@contextlib.contextmanager
def payload_response(mode):
    """The answer for p.bin in that feed mode, read by the caller; its connection closes after."""
    put_feed("p.bin", PAYLOAD)
    feed_mode(mode)
    with connection(FEED, 1.0) as conn:
        conn.request("GET", PREFIX + "p.bin")
        yield conn.getresponse()


@case("FeedModes", "StallAfterSendsThatManyBytesThenNothing")
def _():
    with payload_response({"stall_after": 300}) as resp:
        check_eq(resp.status, 200, "status")
        check_eq(resp.getheader("Content-Length"), "1000", "announced length")
        check_eq(resp.read(300), PAYLOAD[:300], "first bytes")
        raises(TimeoutError, lambda: resp.read(1))


@case("FeedModes", "CloseAfterEndsTheConnectionEarly")
def _():
    with payload_response({"close_after": 300}) as resp:
        e = raises(http.client.IncompleteRead, resp.read)
        check_eq(e.partial, PAYLOAD[:300], "bytes before the close")


@case("FeedModes", "SilentAcceptsTheRequestAndNeverAnswers")
def _():
    def answer():
        with payload_response({"silent": True}):
            pass
    raises(TimeoutError, answer)
    check_eq([r["path"] for r in feed_log()], [PREFIX + "p.bin"], "the request was still received and logged")


@case("FeedLog", "EveryRequestIsLoggedInOrderWithItsHeaders")
def _():
    put_feed("p.bin", PAYLOAD)
    fetch(FEED, PREFIX + "p.bin", headers={"User-Agent": "BrimoraInstaller/1"})
    fetch(FEED, PREFIX + "p.bin", headers={"Range": "bytes=5-", "User-Agent": "BrimoraInstaller/1"})
    fetch(FEED, PREFIX + "absent.exe")
    log = feed_log()
    check_eq([(r["method"], r["path"]) for r in log],
             [("GET", PREFIX + "p.bin"), ("GET", PREFIX + "p.bin"), ("GET", PREFIX + "absent.exe")], "requests")
    check_eq(log[0]["headers"].get("User-Agent"), "BrimoraInstaller/1", "User-Agent")
    check("Range" not in log[0]["headers"], "first request had no Range")
    check_eq(log[1]["headers"].get("Range"), "bytes=5-", "Range")


@case("FeedLog", "RawHeadersKeepOrderAndDuplicates")
def _():
    put_feed("latest.yml", "x")
    raw_request(f"GET {PREFIX}latest.yml HTTP/1.1\r\nHost: {FEED}\r\nX-A: 1\r\nX-B: 2\r\nX-A: 3\r\n"
                "Connection: close\r\n\r\n".encode())
    record = feed_log()[0]
    check_eq(record["raw_headers"], [["Host", FEED], ["X-A", "1"], ["X-B", "2"], ["X-A", "3"], ["Connection", "close"]],
             "raw headers")
    check_eq(record["headers"]["X-A"], "1, 3", "merged duplicate")


# ---- event recorder ----

def recorder_case(mode, status, location=None):
    """One POST in that mode (None: no mode file), recorded exactly and answered with status."""
    if mode is not None:
        events_mode(mode)
    body = b'{"event":"installer_started","bytes":"\xc3\xa9"}'
    got_status, headers, _ = fetch(EVENTS, EVENT_PATH, "POST", body=body,
                                   headers={"Content-Type": "application/json", "Accept": "application/json"})
    check_eq(got_status, status, "status")
    check_eq(headers.get("location"), location, "Location")
    names, records = event_records()
    check_eq(names, ["000001.json"], "records")
    check_eq(records[0]["method"], "POST", "method")
    check_eq(records[0]["path"], EVENT_PATH, "path")
    check_eq(records[0]["headers"].get("Content-Type"), "application/json", "Content-Type")
    check_eq(base64.b64decode(records[0]["body_base64"]), body, "exact body")
    check_eq(records[0]["body"], body.decode("utf-8"), "body text")


table("Recorder", recorder_case, [
    ("Mode200", "200", 200),
    ("Mode500", "500", 500),
    ("Mode404", "404", 404),
    ("Mode302", "302", 302, "https://events.brimora.app/redirected"),
    ("AbsentFileMeans200", None, 200),
    ("UnknownModeAnswers200", "418", 200),
])


@case("Recorder", "SilentRecordsThenNeverAnswers")
def _():
    events_mode("silent")
    with connection(EVENTS, 1.0) as conn:
        conn.request("POST", EVENT_PATH, body=b'{"a":1}', headers={"Content-Type": "application/json"})
        raises(TimeoutError, conn.getresponse)
    check_eq([base64.b64decode(r["body_base64"]) for r in event_records()[1]], [b'{"a":1}'], "recorded body")


@case("Recorder", "AbsentRefusesConnectionsUntilAnotherModeReturns")
def _():
    events_mode("absent")
    raises(ConnectionRefusedError, lambda: socket.create_connection(("127.0.0.3", 443), timeout=5))
    raises(ConnectionRefusedError, lambda: fetch(EVENTS, EVENT_PATH, "POST", body=b"{}"))
    check_eq(event_records()[0], [], "records while absent")
    events_mode("200")
    check_eq(fetch(EVENTS, EVENT_PATH, "POST", body=b"{}")[0], 200, "status after returning")


@case("Recorder", "AbsentRefusesRequestsOnKeptAliveConnections")
def _():
    # Wine's WinHTTP would send its next POST on an idle connection like this one.
    with connection(EVENTS) as conn:
        conn.request("POST", EVENT_PATH, body=b'{"n":1}')
        check_eq(conn.getresponse().read(), b"{}", "first answer")
        events_mode("absent")
        conn.auto_open = 0  # no silent reconnect: the same connection or nothing
        raises((http.client.HTTPException, OSError), lambda: (conn.request("POST", EVENT_PATH, body=b'{"n":2}'),
                                                              conn.getresponse().read()))
    check_eq([r["body"] for r in event_records()[1]], ['{"n":1}'], "only the POST made before absent")


@case("Recorder", "RecordsAreNumberedInArrivalOrder")
def _():
    for i in range(3):
        fetch(EVENTS, EVENT_PATH, "POST", body=f'{{"n":{i}}}'.encode())
    names, records = event_records()
    check_eq(names, ["000001.json", "000002.json", "000003.json"], "names")
    check_eq([r["body"] for r in records], ['{"n":0}', '{"n":1}', '{"n":2}'], "bodies")


@case("Recorder", "ChunkedAndEmptyBodies")
def _():
    with connection(EVENTS) as conn:
        conn.request("POST", EVENT_PATH, body=iter([b'{"chun', b'ked":1}']), encode_chunked=True,
                     headers={"Transfer-Encoding": "chunked"})
        check_eq(conn.getresponse().read(), b"{}", "answer")
    fetch(EVENTS, EVENT_PATH, "POST", body=b"")
    check_eq([r["body"] for r in event_records()[1]], ['{"chunked":1}', ""], "bodies")


# ---- robustness ----

def survives(host, garbage, tls):
    put_feed("latest.yml", "x")
    # The server may wait for the rest of a cut-off request; the answer, if any, does not matter.
    with socket.create_connection((host, 443), timeout=0.5) as raw, \
            tls12_client().wrap_socket(raw, server_hostname=host) if tls else contextlib.nullcontext(raw) as s:
        s.sendall(garbage)
        with contextlib.suppress(OSError):  # ssl.SSLError is an OSError
            s.recv(100)
    check_eq(fetch(host, PREFIX + "latest.yml" if host == FEED else EVENT_PATH)[0], 200, "a normal request afterwards")


table("Robustness", survives, [
    ("FeedPlainTcpNoise", FEED, bytes(range(256)) * 20, False),
    ("FeedGarbageRequestLine", FEED, b"\x00\xff garbage\r\n\r\n", True),
    ("FeedHugeHead", FEED, b"GET / HTTP/1.1\r\nX: " + b"a" * 70000, True),
    ("FeedBadContentLength", FEED, b"GET / HTTP/1.1\r\nContent-Length: -5\r\n\r\n", True),
    ("FeedCutOffHead", FEED, b"GET / HTTP/1.1\r\nHost", True),
    ("EventsBadChunk", EVENTS, b"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", True),
    ("EventsBodyShorterThanAnnounced", EVENTS, b"POST / HTTP/1.1\r\nContent-Length: 100\r\n\r\nabc", True),
])


@case("Robustness", "GarbageGets400")
def _():
    answer = raw_request(b"BLAH\r\n\r\n")
    check(answer.startswith(b"HTTP/1.1 400 "), repr(answer[:40]))


@case("Robustness", "AMuteClientDoesNotBlockOthers")
def _():
    put_feed("latest.yml", "x")
    with socket.create_connection(("127.0.0.2", 443), timeout=5), \
            socket.create_connection(("127.0.0.3", 443), timeout=5):
        check_eq(fetch(FEED, PREFIX + "latest.yml")[0], 200, "feed beside a mute connection")
        check_eq(fetch(EVENTS, EVENT_PATH, "POST", body=b"{}")[0], 200, "events beside a mute connection")


# ---- the runner ----

@case("Runner", "EnvironmentDescribesThisRun")
def _():
    env = os.environ
    control = env["BRIMORA_RIG_DIR"]
    check(os.path.isdir(os.path.join(control, "feed")) and os.path.isdir(os.path.join(control, "events")), control)
    check_eq(env["BRIMORA_RIG_DIR_WIN"], wine_path(control), "Windows form of the control dir")
    check_eq(env["BRIMORA_RIG_FIXTURES_WIN"], wine_path(env["BRIMORA_RIG_FIXTURES"]), "fixtures")
    prefix = env["WINEPREFIX"]
    check(os.path.isfile(os.path.join(prefix, "system.reg")), f"no prefix at {prefix}")
    check(os.path.realpath(prefix) != os.path.realpath(os.path.join(RIG, "../../.cache/wine/template-headless")),
          "the prefix is the template itself")
    check_eq(os.path.dirname(prefix), os.path.dirname(control), "prefix and control dir belong to one run")
    check(env["TMPDIR"].startswith(os.path.dirname(control)), "TMPDIR is private to the run")
    check_eq((env["WINEARCH"], env["WINEDEBUG"]), ("win64", "-all"), "Wine settings")


@case("Runner", "WineIsWarmAndAnswersThroughAPipe")
def _():
    # A cold prefix would start Wine's services now, holding our pipe open until they end; the
    # runner's warm-up means this returns as soon as cmd does.
    out = run(os.environ["WINELOADER"], "cmd", "/c", "echo", "warm", text=False, timeout=120)
    check_eq(out.stdout.strip(), b"warm", "cmd output")


def nested(command, *runner_args):
    """The argv of a nested runner for command (a shell script when a text)."""
    return [os.path.join(RIG, "run-in-namespace"), *runner_args, "--"] + (
        ["sh", "-c", command] if isinstance(command, str) else command)


def nested_runner(command, *runner_args, prefix=(), stdin=b""):
    return subprocess.run([*prefix, *nested(command, *runner_args)], input=stdin, capture_output=True, timeout=300)


@case("Runner", "ExitStatusIsTheCommandsAndEverythingIsRemovedAfterwards")
def _():
    out = nested_runner('echo "$BRIMORA_RIG_DIR $WINEPREFIX $(cat "$BRIMORA_RIG_DIR/feed-listening") '
                        '$(cat "$BRIMORA_RIG_DIR/events-listening")"; exit 7')
    check_eq(out.returncode, 7, f"exit status (stderr: {out.stderr[-500:]!r})")
    control, prefix, feed_pid, events_pid = out.stdout.decode().split()
    check(not os.path.exists(os.path.dirname(control)), f"run directory {os.path.dirname(control)} left behind")
    check(not os.path.exists(prefix), f"prefix copy {prefix} left behind")
    for pid in (feed_pid, events_pid):
        check(not os.path.exists(f"/proc/{pid}"), f"server {pid} still running")


@case("Runner", "NestedRunHasItsOwnServers")
def _():
    # Its own namespace: our feed's files are not served there.
    put_feed("only-outer.bin", b"outer")
    probe = ("import urllib.request as u, urllib.error as e, sys\n"
             "try:\n    print(u.urlopen(sys.argv[1]).status)\n"
             "except e.HTTPError as x:\n    print(x.code)\n")
    out = nested_runner(["sh", "-c", 'echo "${WINEPREFIX-no prefix}"; exec "$@"', "sh", "/usr/bin/python3", "-c",
                         probe, f"https://{FEED}{PREFIX}only-outer.bin"], "--no-wine")
    check_eq(out.stdout.split(b"\n")[:2], [b"no prefix", b"404"],
             f"--no-wine, inner feed's answer (stderr: {out.stderr[-300:]!r})")


@case("Runner", "StandardInputReachesTheCommand")
def _():
    out = nested_runner(["cat"], "--no-wine", stdin=b"through the runner\n")
    check_eq((out.returncode, out.stdout), (0, b"through the runner\n"), f"cat (stderr: {out.stderr[-300:]!r})")


@case("Runner", "TermEndsTheCommandAndCleansUp")
def _():
    started = os.path.join(CONTROL, "nested-started")
    runner = subprocess.Popen(nested(f'echo "$$ $BRIMORA_RIG_DIR" > {started}.tmp && mv {started}.tmp {started} && '
                                     'exec sleep 300'), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE)
    try:
        # A nested runner mounts a Wine prefix and warms its server first: on a loaded
        # machine that alone can take longer than the usual bound.
        wait_for(lambda: os.path.exists(started), "the nested command to start", 120, 0.01)
        runner.terminate()
        _, err = runner.communicate(timeout=120)
    finally:
        if runner.poll() is None:
            runner.kill()
    check_eq(runner.returncode, 143, f"exit status (stderr: {err[-300:]!r})")
    pid, control = read(started).decode().split()
    os.unlink(started)
    check(not os.path.exists(f"/proc/{pid}"), f"command {pid} still running")
    check(not os.path.exists(os.path.dirname(control)), "run directory left behind")


@case("Runner", "NginxFeedAnswersLikeObjectStorageAndEndsWithTheRun")
def _():
    out = nested_runner(
        f'P=https://{FEED}{PREFIX}; printf abc > "$BRIMORA_RIG_DIR/feed/x.exe"; printf s > "$BRIMORA_RIG_DIR/feed/.x"; '
        'for a in "-H Range:bytes=2-" "-H Range:bytes=3-" "--tlsv1.3" "-X POST"; do '
        'curl -s -o /dev/null -w "%{http_code} " $a "${P}x.exe"; done; '
        'curl -s -o /dev/null -w "%{http_code} " "${P}.x"; curl -s -o /dev/null -w "%{http_code} " "${P}"; '
        'curl -sI "${P}x.exe" | grep -ciE "^(etag|last-modified|connection: keep-alive)"; '
        'echo "$BRIMORA_RIG_FEED $(cat "$BRIMORA_RIG_DIR/../nginx/nginx.pid") $BRIMORA_RIG_DIR"',
        "--no-wine", "--feed", "nginx")
    check_eq(out.returncode, 0, f"exit status (stderr: {out.stderr[-500:]!r})")
    answers, rest = out.stdout.decode().split("\n", 1)
    # 206 for the last byte, 416 past the end, no TLS 1.3, 405, 404 for a dot name and the folder.
    check_eq(answers, "206 416 000 405 404 404 3", "nginx's answers and headers")
    feed, pid, control = rest.split()
    check_eq(feed, "nginx", "BRIMORA_RIG_FEED")
    check(not os.path.exists(f"/proc/{pid}"), f"nginx {pid} still running")
    check(not os.path.exists(os.path.dirname(control)), "run directory left behind")


@case("Runner", "RefusesToRunWithoutRoot")
def _():
    out = nested_runner("exit 0", prefix=("setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"))
    check_eq(out.returncode, 125, "exit status")
    check(b"needs root" in out.stderr, repr(out.stderr))


# ---- driver ----

def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--xml")
    args = parser.parse_args()
    if not CONTROL:
        print("selftest: run me inside tests/rig/run-in-namespace", file=sys.stderr)
        return 2
    results = [(f"RigSelfTest.{suite}", name, run_case(f"{suite}.{name}", lambda: (reset(), fn())))
               for suite, name, fn in CASES]
    failed = sum(failure is not None for _, _, failure in results)
    print(f"{len(CASES) - failed} of {len(CASES)} rig self-test cases passed")
    if args.xml:
        write_report(args.xml, results)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
