"""The rig seen from a command run inside tests/rig/run-in-namespace: the files of its control
directory (tests/rig/README.md lists them), the signed fixtures, the private Wine prefix and the
test app's start marks. The rig's self-test, the e2e scenarios and scripts/demo steer and read the
servers only through this module.

Every mode and control file is written beside its final name and renamed into place: the servers
re-read them on every request and must never see half a file.
"""
import base64
import contextlib
import hashlib
import json
import os
import subprocess
import time
import traceback

CONTROL = os.environ.get("BRIMORA_RIG_DIR", "")
FIXTURES = os.environ.get("BRIMORA_RIG_FIXTURES", "")
WINE_PREFIX = os.environ.get("WINEPREFIX", "")
WINE64 = "/usr/lib/wine/wine64"

FEED = "downloads.brimora.app"
EVENTS = "events.brimora.app"
FEED_PREFIX = "/brimora-desktop-releases/production/win32-x64/"
EVENT_PATH = "/api/desktop/acquisition-events"

# The release the scenarios and the demo publish.
VERSION = "1.4.0"
PAYLOAD_NAME = f"Brimora-{VERSION}-win-x64.exe"


class Failed(AssertionError):
    """A check that did not hold: the rig, a scenario or the demo saw something it must not."""


def check(condition, message):
    if not condition:
        raise Failed(message)


def run_case(name, test):
    """Runs one case of a self-test, scenario or release check: prints "ok NAME" or "FAILED NAME:
    why" and returns why (None when it passed). A broken test fails its case too, with its traceback."""
    try:
        test()
        print(f"ok {name}", flush=True)
        return None
    except Failed as failure:
        why = str(failure)
    except Exception:  # noqa: BLE001 - anything raised is this case's failure
        why = traceback.format_exc()
    print(f"FAILED {name}: {why}", flush=True)
    return why


def _shown(value):
    return value if not isinstance(value, bytes) or len(value) < 80 else f"{len(value)} bytes {value[:20]!r}..."


def check_eq(got, want, what):
    if got != want:
        raise Failed(f"{what}: got {_shown(got)!r}, want {_shown(want)!r}")


def wait_for(predicate, what, timeout=60.0, interval=0.2):
    """predicate's first true value. The timeout only bounds a broken rig or program; nothing
    depends on how quickly the value comes."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failed(f"timed out after {timeout:.0f} s waiting for {what}")
        time.sleep(interval)


def read(path, *missing):
    """A file's bytes; missing[0] instead when it does not exist, if given."""
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        if missing:
            return missing[0]
        raise


def lines(path):
    """The non-blank lines of a UTF-8 text file (bad bytes replaced); none when it does not exist."""
    return [line for line in read(path, b"").decode("utf-8", "replace").splitlines() if line.strip()]


def run(*command, **options):
    """The finished command, its output captured as text, with no standard input."""
    return subprocess.run(command, **{"capture_output": True, "text": True, "stdin": subprocess.DEVNULL, **options})


def wine_path(path):
    """A Unix path as Wine programs reach it, through drive Z:."""
    return "Z:" + path.replace("/", "\\")


# ---- steering the servers ----

def write_control(name, data):
    """Writes a file of the control directory (or an absolute path; text as UTF-8), whole or not at all."""
    path = os.path.join(CONTROL, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path + ".writing", "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode("utf-8"))
    os.replace(path + ".writing", path)


def put_feed(name, data):
    """Serves data as FEED_PREFIX + name."""
    write_control(os.path.join("feed", name), data)


def feed_mode(mode):
    """The feed's fault mode, a dict ({} is normal service)."""
    write_control("feed-mode.json", json.dumps(mode))


def listening(server):
    """Whether that server ("feed" or "events") has its socket open."""
    return os.path.exists(os.path.join(CONTROL, f"{server}-listening"))


def events_mode(mode, tls=None):
    """The event recorder's mode, and once it applies: the recorder opens and closes its socket
    for "absent" on its own poll."""
    write_control("events-mode.json", json.dumps({"mode": mode} if tls is None else {"mode": mode, "tls": tls}))
    wait_for(lambda: listening("events") == (mode != "absent"), f"the event recorder to apply mode {mode}", 30, 0.01)


def pause_feed():
    """Holds every paced body where it is until resume_feed(); returns the pause file."""
    write_control("feed-paused", b"")
    return os.path.join(CONTROL, "feed-paused")


def resume_feed():
    os.unlink(os.path.join(CONTROL, "feed-paused"))


def reset():
    """Normal service, nothing served, nothing logged or recorded."""
    for name in ("feed-mode.json", "events-mode.json", "feed-paused", "feed-served.jsonl"):
        with contextlib.suppress(FileNotFoundError):
            os.unlink(os.path.join(CONTROL, name))
    # Emptied, not removed: nginx keeps its request log open and would write on into a removed file.
    with contextlib.suppress(FileNotFoundError):
        os.truncate(os.path.join(CONTROL, "feed-requests.jsonl"), 0)
    for sub in ("feed", "events"):
        for name in os.listdir(os.path.join(CONTROL, sub)):
            os.unlink(os.path.join(CONTROL, sub, name))
    wait_for(lambda: listening("events"), "the event recorder to listen", 30, 0.01)


# ---- what the servers saw ----

def json_lines(name):
    return [json.loads(line) for line in lines(os.path.join(CONTROL, name))]


def feed_requests():
    """Every request the feed logged, oldest first."""
    return json_lines("feed-requests.jsonl")


def served_bytes():
    """Body bytes the feed handed to connections for paced answers, one entry per answer."""
    return [record["body_bytes"] for record in json_lines("feed-served.jsonl")]


def header(request, name):
    """A logged request's header, its name compared without regard to case; None when not sent."""
    return next((value for key, value in request.get("headers", {}).items() if key.lower() == name.lower()), None)


def event_records():
    """(file names, records) of every request the event recorder stored, oldest first."""
    folder = os.path.join(CONTROL, "events")
    names = sorted(n for n in os.listdir(folder) if n.endswith(".json"))
    return names, [json.loads(read(os.path.join(folder, name))) for name in names]


def event_bodies():
    """The bodies the event service received, parsed with their member order kept."""
    return [json.loads(record["body"]) for record in event_records()[1]]


# ---- fixtures, the prefix and the test app ----

def fixture(name):
    return read(os.path.join(FIXTURES, name))


def local_app_data():
    return os.path.join(WINE_PREFIX, "drive_c", "users", os.environ.get("USER", "root"), "AppData", "Local")


def cache_dir():
    return os.path.join(local_app_data(), "Brimora", "InstallerCache", "v1")


# Where the test installer records the app it installed (the registry key the installer reads).
INSTALL_KEY = r"HKCU\Software\9b2e4d71-5c08-5a3f-8e6d-2f71c4a90b5e"


def start_marks():
    """One line per start of the test app (PID, module path, command line)."""
    return lines(os.path.join(local_app_data(), "brimora-started.txt"))


def manifest_for(payload, version=VERSION, size=None, digest=None):
    digest = digest or base64.b64encode(hashlib.sha512(payload).digest()).decode()
    name = f"Brimora-{version}-win-x64.exe"
    size = len(payload) if size is None else size
    return (f"version: {version}\npath: {name}\nsha512: {digest}\nreleaseDate: '2026-12-01T00:00:00.000Z'\n"
            f"files:\n  - url: {name}\n    sha512: {digest}\n    size: {size}\n")


def publish(payload, **kwargs):
    """Serves a release: latest.yml and the payload under its canonical name."""
    version = kwargs.get("version", VERSION)
    put_feed(f"Brimora-{version}-win-x64.exe", payload)
    put_feed("latest.yml", manifest_for(payload, **kwargs))
