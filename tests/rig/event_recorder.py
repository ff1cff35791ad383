#!/usr/bin/python3
"""The event service of the rig: stores every request it receives as CONTROL/events/NNNNNN.json
(before answering, so a client that got its answer finds its record) and answers as the mode in
CONTROL/events-mode.json says, re-read for every request (tests/rig/README.md lists the modes).

usage: event_recorder.py CONTROL_DIR ADDRESS PORT CERT KEY
"""
import base64
import json
import os
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import rig_server  # noqa: E402

MODES = ("200", "500", "404", "302", "silent", "absent")
REDIRECT_TARGET = "https://events.brimora.app/redirected"
POLL_SECONDS = 0.02


class Recorder:
    def __init__(self, control):
        self.control = control
        self.events_dir = os.path.join(control, "events")
        self.scratch = os.path.join(control, ".recorder-tmp")
        self.log = rig_server.Log(os.path.join(control, "event-recorder.log"))
        self._lock = threading.Lock()
        os.makedirs(self.events_dir, exist_ok=True)

    def mode(self):
        mode = rig_server.read_json_file(os.path.join(self.control, "events-mode.json"), self.log)
        value = str((mode or {}).get("mode", "200"))
        if value not in MODES:
            self.log.write(f"unknown events mode {value!r}; answering 200")
            return "200"
        return value

    def store(self, request):
        record = {**request.record(), "body": request.body.decode("utf-8", "replace"),
                  "body_base64": base64.b64encode(request.body).decode("ascii")}
        with self._lock:
            # Numbered after the highest record on disk, so a test that emptied the directory
            # finds its first record as 000001.
            numbers = [int(n[:6]) for n in os.listdir(self.events_dir) if n[:6].isdigit()]
            number = max(numbers, default=0) + 1
            data = (json.dumps(record, ensure_ascii=False, indent=1) + "\n").encode("utf-8")
            rig_server.write_atomically(os.path.join(self.events_dir, f"{number:06d}.json"), data,
                                        self.scratch)

    def handle(self, conn):
        # The mode is read before and after each request: a connection accepted in the moment
        # before the listener closed ends without a word, and so does a request on an idle
        # kept-alive connection (Wine's WinHTTP sends on one when it has one) once absent.
        while self.mode() != "absent" and (request := conn.read_request()) is not None:
            mode = self.mode()
            if mode == "absent":
                return
            self.store(request)
            if mode == "silent":
                return conn.hold_until_client_leaves()
            if mode in ("500", "404", "302"):
                location = [("Location", REDIRECT_TARGET)] if mode == "302" else []
                conn.send(rig_server.response_head(int(mode), [*location, ("Content-Length", "0")]))
            else:
                conn.send(rig_server.response_head(200, [("Content-Type", "application/json"),
                                                         ("Content-Length", "2")]) + b"{}")
            if request.wants_close():
                return


def main():
    recorder, listener = rig_server.listener_from_argv("events", Recorder)
    while rig_server.parent_alive():
        absent = recorder.mode() == "absent"
        if absent and listener.sock is not None:
            listener.close()
        elif not absent and listener.sock is None:
            try:
                listener.open()
            except OSError as e:
                recorder.log.write(f"cannot listen yet: {e}")
        if listener.sock is None:
            time.sleep(POLL_SECONDS)
        else:
            listener.accept_for(POLL_SECONDS)


if __name__ == "__main__":
    main()
