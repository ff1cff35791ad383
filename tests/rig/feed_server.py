#!/usr/bin/python3
"""The release feed of the rig: serves CONTROL/feed/NAME for
GET /brimora-desktop-releases/production/win32-x64/NAME over TLS 1.2, with real Range semantics
and the fault modes of CONTROL/feed-mode.json (re-read for every request). Every request is
appended to CONTROL/feed-requests.jsonl as it arrives.

usage: feed_server.py CONTROL_DIR ADDRESS PORT CERT KEY
"""
import os
import re
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import rig_server  # noqa: E402

PREFIX = "/brimora-desktop-releases/production/win32-x64/"
# Bytes appended by "long_by": recognisable in a hex dump of a file that grew too long.
EXTRA_BYTE = b"\x5a"
NO_BODY_STATUSES = {204, 304}


def parse_range(value, size):
    """(start, end_inclusive) for a single satisfiable range, "unsatisfiable", or None when the
    header is not one byte range we understand (a server may then ignore it)."""
    m = re.fullmatch(r"bytes=(\d*)-(\d*)", value.strip())
    if not m or m.groups() == ("", ""):
        return None
    first, last = m.groups()
    if not first:  # the last `last` bytes
        suffix = int(last)
        return (max(0, size - suffix), size - 1) if suffix and size else "unsatisfiable"
    start, end = int(first), int(last) if last else size - 1
    if last and end < start:
        return None
    return "unsatisfiable" if start >= size else (start, min(end, size - 1))


class Feed:
    def __init__(self, control):
        self.control = control
        self.feed_dir = os.path.join(control, "feed")
        self.log = rig_server.Log(os.path.join(control, "feed-server.log"))
        self.requests = os.path.join(control, "feed-requests.jsonl")

    def mode_for(self, name):
        """The fault mode, {} when there is none or it is scoped ("path") to another file."""
        mode = rig_server.read_json_file(os.path.join(self.control, "feed-mode.json"), self.log) or {}
        return mode if mode.get("path", name) == name else {}

    def read_file(self, name):
        # Only one plain segment below the feed directory: nothing a client sends can reach
        # another file.
        if not name or name in (".", "..") or "/" in name or "\\" in name or "\0" in name:
            return None
        try:
            with open(os.path.join(self.feed_dir, name), "rb") as f:
                return f.read()
        except (FileNotFoundError, IsADirectoryError, NotADirectoryError):
            return None

    def handle(self, conn):
        while (request := conn.read_request()) is not None:
            rig_server.append_line(self.requests, request.record())
            if not self.respond(conn, request) or request.wants_close():
                return

    def respond(self, conn, request):
        """Sends the answer; False when the connection must end afterwards."""
        name = request.path[len(PREFIX):] if request.path.startswith(PREFIX) else None
        mode = self.mode_for(name)

        def empty(status, *headers):
            """An answer without a body (for 204 and 304 without Content-Length too)."""
            length = [] if status in NO_BODY_STATUSES else [("Content-Length", "0")]
            conn.send(rig_server.response_head(status, [*headers, *length]))
            return True

        if mode.get("silent"):
            conn.hold_until_client_leaves()
            return False
        if request.method not in ("GET", "HEAD"):
            return empty(405, ("Allow", "GET, HEAD"))
        if "status" in mode:
            location = [("Location", str(mode["location"]))] if "location" in mode else []
            return empty(int(mode["status"]), *location)
        content = self.read_file(name) if name is not None else None
        if "replace_body" in mode:
            content = str(mode["replace_body"]).encode("utf-8")
        if content is None:
            return empty(404)

        size = len(content)
        status, body, headers = 200, content, [("Accept-Ranges", "bytes")]
        range_header = request.header("Range")
        if range_header is not None and not mode.get("ignore_range"):
            if "range_status" in mode:
                return empty(int(mode["range_status"]))
            wanted = parse_range(range_header, size)
            if wanted == "unsatisfiable":
                return empty(416, ("Content-Range", f"bytes */{size}"))
            if wanted is not None:
                start, end = wanted
                status, body = 206, content[start:end + 1]
                headers.append(("Content-Range", f"bytes {start}-{end}/{size}"))

        if "short_by" in mode:
            body = body[:max(0, len(body) - int(mode["short_by"]))]
        if "long_by" in mode:
            body = body + EXTRA_BYTE * int(mode["long_by"])
        headers += [("Content-Type", "application/octet-stream"), ("Content-Length", str(len(body)))]
        conn.send(rig_server.response_head(status, headers))
        return request.method == "HEAD" or self.send_body(conn, body, mode)

    def send_body(self, conn, body, mode):
        if "stall_after" in mode:
            conn.send(body[:int(mode["stall_after"])])
            conn.hold_until_client_leaves()
            return False
        if "close_after" in mode:
            conn.send(body[:int(mode["close_after"])])
            return False
        if "rate" in mode:
            rate = max(1, int(mode["rate"]))
            step = max(1, rate // 20)
            sent = 0
            try:
                for offset in range(0, len(body), step):
                    # A test holds the body here to act on the client while nothing arrives.
                    while os.path.exists(os.path.join(self.control, "feed-paused")):
                        time.sleep(0.01)
                    conn.send(body[offset:offset + step])
                    sent += len(body[offset:offset + step])
                    time.sleep(step / rate)
            finally:
                # Also when the client vanished mid-body: what it was sent is then the only trace.
                rig_server.append_line(os.path.join(self.control, "feed-served.jsonl"), {"body_bytes": sent})
            return True
        conn.send(body)
        return True


def main():
    _, listener = rig_server.listener_from_argv("feed", Feed)
    listener.open()
    while rig_server.parent_alive():
        listener.accept_for(1.0)


if __name__ == "__main__":
    main()
