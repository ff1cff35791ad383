#!/usr/bin/python3
"""End-to-end scenarios: the real BrimoraInstaller.exe under Wine, against the rig's feed and
event servers, watched and driven through its own window the way a user would.

    scenarios.py --all [--only NAME ...] [--xml REPORT]   each scenario in a fresh rig (namespace,
                                                          servers, Wine prefix copy); a report
    scenarios.py --inside NAME                            one scenario, already inside the rig

Each scenario checks what the user sees, what the event service received (bodies parsed, member
order and reasonCode), what the feed was asked, what is left in the cache and the registry, and
the exit code.
"""
import argparse
import base64
import glob
import hashlib
import json
import os
import shutil
import subprocess
import sys
import time
import traceback
import xml.etree.ElementTree as ET

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.path.join(ROOT, "build", "windows")
EXE = os.path.join(BUILD, "BrimoraInstaller.exe")
DRIVER = os.path.join(BUILD, "tests", "e2e", "ui_driver.exe")
RUNNER = os.path.join(ROOT, "tests", "rig", "run-in-namespace")
WINE64 = "/usr/lib/wine/wine64"
LOCALE_DIR = os.path.join(ROOT, ".cache", "locale")

VERSION = "1.4.0"
PAYLOAD_NAME = f"Brimora-{VERSION}-win-x64.exe"
INSTALL_KEY = r"HKCU\Software\9b2e4d71-5c08-5a3f-8e6d-2f71c4a90b5e"

EN = {
    "preparing": "Preparing the installation…",
    "stopping": "Stopping safely…",
    "retry": "Retry",
    "cancel": "Cancel",
    "fatal_state": "Installation data could not be saved. Check available disk space and permissions.",
    "failure_network": "The latest version could not be checked. Check your connection and retry.",
    "failure_release_info": "The release information could not be verified safely. Please retry later.",
    "failure_disk_space": "There is not enough free space to install Brimora. Free some space and retry.",
    "failure_integrity": "The downloaded file failed integrity verification. Please retry.",
    "failure_publisher": "The Brimora publisher could not be verified, so installation was stopped.",
    "failure_install": "Brimora could not be installed. Please retry.",
    "failure_cancelled": "Installation was cancelled. Select Retry to start again.",
    "downloading": "Downloading the latest Brimora…",
    "installing": "Installing Brimora…",
}
JA = {
    "preparing": "インストールを準備しています…",
    "retry": "再試行",
    "cancel": "キャンセル",
    "failure_network": "最新版を確認できませんでした。接続を確認して再試行してください。",
}

EVENT_ORDER = ["installId", "idempotencyKey", "eventType", "occurredAt", "installerVersion", "appVersion",
               "platform", "arch", "locale", "reasonCode"]

SCENARIOS = {}


def scenario(fn):
    SCENARIOS[fn.__name__] = fn
    return fn


class Failed(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failed(message)


def check_eq(got, want, what):
    if got != want:
        raise Failed(f"{what}: got {got!r}, want {want!r}")


def wait_for(predicate, what, timeout=60.0, interval=0.2):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failed(f"timed out after {timeout:.0f} s waiting for {what}")
        time.sleep(interval)


# ---- the rig, from inside ----

CONTROL = os.environ.get("BRIMORA_RIG_DIR", "")
FIXTURES = os.environ.get("BRIMORA_RIG_FIXTURES", "")
PREFIX = os.environ.get("WINEPREFIX", "")


def local_app_data():
    return os.path.join(PREFIX, "drive_c", "users", os.environ.get("USER", "root"), "AppData", "Local")


def cache_dir():
    return os.path.join(local_app_data(), "Brimora", "InstallerCache", "v1")


def write_control(name, data):
    path = os.path.join(CONTROL, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path + ".writing", "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode("utf-8"))
    os.replace(path + ".writing", path)


def feed_mode(mode):
    write_control("feed-mode.json", json.dumps(mode))


def events_mode(mode):
    write_control("events-mode.json", json.dumps({"mode": mode}))
    listening = os.path.join(CONTROL, "events-listening")
    wait_for(lambda: os.path.exists(listening) == (mode != "absent"), f"event service mode {mode}", 10)


def fixture(name):
    with open(os.path.join(FIXTURES, name), "rb") as f:
        return f.read()


def manifest_for(payload, version=VERSION, size=None, digest=None):
    digest = digest or base64.b64encode(hashlib.sha512(payload).digest()).decode()
    name = f"Brimora-{version}-win-x64.exe"
    size = len(payload) if size is None else size
    return (f"version: {version}\npath: {name}\nsha512: {digest}\nreleaseDate: '2026-12-01T00:00:00.000Z'\n"
            f"files:\n  - url: {name}\n    sha512: {digest}\n    size: {size}\n")


def publish(payload, **kwargs):
    """Serves a release: latest.yml and the payload under its canonical name."""
    version = kwargs.get("version", VERSION)
    write_control(f"feed/Brimora-{version}-win-x64.exe", payload)
    write_control("feed/latest.yml", manifest_for(payload, **kwargs))


def feed_requests():
    try:
        with open(os.path.join(CONTROL, "feed-requests.jsonl"), encoding="utf-8") as f:
            return [json.loads(line) for line in f if line.strip()]
    except FileNotFoundError:
        return []


def requested_names():
    return [r["path"].rsplit("/", 1)[-1] for r in feed_requests()]


def header(request, name):
    for key, value in request.get("headers", {}).items():
        if key.lower() == name.lower():
            return value
    return None


def events():
    """The bodies the event service received, parsed with their member order kept."""
    bodies = []
    for path in sorted(glob.glob(os.path.join(CONTROL, "events", "*.json"))):
        with open(path, encoding="utf-8") as f:
            record = json.load(f)
        bodies.append(json.loads(record["body"]))
    return bodies


def event_types():
    return [e["eventType"] for e in events()]


def check_event_shape(event):
    keys = list(event.keys())
    check_eq(keys, [k for k in EVENT_ORDER if k in event], "event member order")
    check(event["idempotencyKey"].startswith(event["installId"] + ":" + event["eventType"] + ":"),
          f"idempotency key {event['idempotencyKey']}")
    check_eq((event["installerVersion"], event["platform"], event["arch"]), ("1", "windows", "x64"), "constants")
    check(("reasonCode" in event) == (event["eventType"] == "installer_failed"), f"reasonCode in {event}")
    check(("appVersion" in event) == (event["eventType"] in ("payload_verified", "install_succeeded")),
          f"appVersion in {event}")


def start_marks():
    try:
        with open(os.path.join(local_app_data(), "brimora-started.txt"), encoding="utf-8", errors="replace") as f:
            return [line for line in f if line.strip()]
    except FileNotFoundError:
        return []


def started_once(what):
    """The app is started and not waited for, so its start mark can land after the installer ended."""
    wait_for(lambda: start_marks(), f"the start mark of {what}", 20)
    check_eq(len(start_marks()), 1, f"{what} started once")


def cache_files():
    try:
        return sorted(os.listdir(cache_dir()))
    except FileNotFoundError:
        return []


def registry_value():
    result = subprocess.run([WINE64, "reg", "query", INSTALL_KEY, "/v", "InstallLocation"], capture_output=True,
                            text=True, stdin=subprocess.DEVNULL)
    return result.stdout if result.returncode == 0 else None


# ---- the installer and its window ----

class Installer:
    def __init__(self, env_extra=None, windows_env=None):
        env = dict(os.environ)
        env.update(env_extra or {})
        command = [WINE64, EXE]
        if windows_env is not None:
            # Through the driver, which sets the variable in the Windows environment itself.
            command = [WINE64, DRIVER, "run-with", windows_env, EXE]
        self.process = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.seen = []

    def exit_code(self, timeout=120):
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise Failed(f"the installer did not end within {timeout} s")

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


def driver(*args, env_extra=None):
    env = dict(os.environ)
    env.update(env_extra or {})
    out = subprocess.run([WINE64, DRIVER, *args], capture_output=True, env=env, stdin=subprocess.DEVNULL)
    lines = [line for line in out.stdout.decode("utf-8", "replace").splitlines() if line.startswith("{")]
    return json.loads(lines[-1]) if lines else {}


def window():
    return driver("state")


def wait_window(predicate, what, timeout=60):
    last = {}

    def probe():
        nonlocal last
        last = window()
        return last if last.get("found") and predicate(last) else None

    try:
        return wait_for(probe, what, timeout, 0.3)
    except Failed as failure:
        raise Failed(f"{failure}; last window state {last}") from None


def wait_status(text, timeout=90):
    return wait_window(lambda w: w.get("status") == text, f"status {text!r}", timeout)


def wait_gone(installer, timeout=120):
    code = installer.exit_code(timeout)
    check(not window().get("found"), "the window is gone")
    return code


def check_failed_window(state, texts=EN):
    check(state["retry"]["visible"] and state["retry"]["enabled"], f"Retry offered: {state}")
    check(state["cancel"]["enabled"], f"Cancel enabled: {state}")
    check_eq(state["retry"]["text"], texts["retry"], "Retry label")
    check_eq(state["cancel"]["text"], texts["cancel"], "Cancel label")


def click(name):
    """Clicks like a user; returns the status text right after the click was handled."""
    result = driver("click", name)
    check(result.get("clicked", name == "close"), f"{name} clicked")
    return result.get("status_after")


# ---- scenarios ----

@scenario
def first_install_english():
    payload = fixture("installer-signed.exe")
    publish(payload)
    # Slow enough that the window can be looked at while it downloads.
    feed_mode({"path": PAYLOAD_NAME, "rate": max(4096, len(payload) // 6)})
    installer = Installer()
    first = wait_window(lambda w: w.get("status") == EN["downloading"], "the downloading window")
    check(10 <= first["bar"] <= 75, f"download progress {first['bar']}")
    check_eq(first["title"], "Brimora Installer", "caption")
    check_eq(first["class"], "BrimoraInstallerV1", "window class")
    check_eq(first["style"] & 0x00CF0000, 0x00CA0000, "caption, system menu and minimize box, no sizing")
    check_eq((first["width"], first["height"]), (540, 220), "outer size")
    check_eq(wait_gone(installer), 0, "exit code")

    started_once("the installed app was started once")
    check_eq(cache_files(), [], "cache after success")
    check(registry_value() is not None, "InstallLocation written by the installer")
    names = requested_names()
    check_eq(names, ["latest.yml", PAYLOAD_NAME], "feed requests")
    check(header(feed_requests()[1], "Range") is None, "a fresh download sends no Range")
    types = event_types()
    for wanted in ("installer_started", "payload_verified", "install_succeeded"):
        check(wanted in types, f"{wanted} received: {types}")
    for event in events():
        check_event_shape(event)
        check_eq(event["locale"], "en", "locale of the new identity")
        if event["eventType"] in ("payload_verified", "install_succeeded"):
            check_eq(event["appVersion"], VERSION, "appVersion")
    check_eq(len({e["installId"] for e in events()}), 1, "one install id")


@scenario
def signed_installed_copy_is_opened():
    app_dir = os.path.join(local_app_data(), "Programs", "Brimora")
    os.makedirs(app_dir)
    shutil.copy(os.path.join(FIXTURES, "app-signed.exe"), os.path.join(app_dir, "brimora.exe"))
    publish(fixture("installer-signed.exe"))
    installer = Installer()
    check_eq(wait_gone(installer), 0, "exit code")
    started_once("the installed copy was started")
    check_eq(requested_names(), [], "no manifest requested")
    types = event_types()
    check("existing_app_launched" in types, f"existing_app_launched delivered before the end: {types}")
    for event in events():
        check_event_shape(event)


@scenario
def unsigned_installed_copy_is_not_opened():
    app_dir = os.path.join(local_app_data(), "Programs", "Brimora")
    os.makedirs(app_dir)
    shutil.copy(os.path.join(FIXTURES, "app-unsigned.exe"), os.path.join(app_dir, "brimora.exe"))
    publish(fixture("installer-signed.exe"))
    installer = Installer()
    check_eq(wait_gone(installer), 0, "exit code")
    check_eq(requested_names(), ["latest.yml", PAYLOAD_NAME], "the install went on")
    started_once("only the freshly installed copy")
    check("existing_app_launched" not in event_types(), "no existing app event")


def manifest_fault_then_retry(fault, message):
    publish(fixture("installer-signed.exe"))
    fault()
    installer = Installer()
    state = wait_status(EN[message])
    check_failed_window(state)
    wait_for(lambda: "installer_failed" in event_types(), "installer_failed event", 10)
    failed = [e for e in events() if e["eventType"] == "installer_failed"]
    check_eq(failed[0]["reasonCode"], "network_error" if message == "failure_network" else "manifest_invalid",
             "reasonCode")
    feed_mode({})
    publish(fixture("installer-signed.exe"))
    click("retry")
    check_eq(wait_gone(installer), 0, "exit code after Retry")
    started_once("installed and opened after Retry")
    check_eq(event_types().count("installer_started"), 2, "installer_started per attempt")
    keys = [e["idempotencyKey"] for e in events() if e["eventType"] == "installer_started"]
    check(keys[0] != keys[1], "a new idempotency key for the second attempt")


@scenario
def manifest_not_found_then_retry():
    manifest_fault_then_retry(lambda: feed_mode({"path": "latest.yml", "status": 404}), "failure_network")


@scenario
def manifest_redirect_is_not_followed():
    manifest_fault_then_retry(
        lambda: feed_mode({"path": "latest.yml", "status": 302,
                           "location": "https://downloads.brimora.app/brimora-desktop-releases/production/"
                                       "win32-x64/other.yml"}), "failure_network")
    check("other.yml" not in requested_names(), "the redirect was not followed")


@scenario
def manifest_over_64_kib():
    manifest_fault_then_retry(lambda: write_control("feed/latest.yml", "#" * 65536 + "\n"), "failure_network")


@scenario
def manifest_invalid_yaml():
    manifest_fault_then_retry(lambda: write_control("feed/latest.yml", "version: [1.4.0\n"), "failure_release_info")


@scenario
def manifest_below_rollback_floor():
    def old_release():
        payload = fixture("installer-signed.exe")
        write_control("feed/latest.yml", manifest_for(payload, version="0.1.31"))
    manifest_fault_then_retry(old_release, "failure_release_info")


@scenario
def cancel_slow_download_then_resume():
    payload = fixture("installer-signed.exe")
    publish(payload)
    feed_mode({"path": PAYLOAD_NAME, "rate": max(4096, len(payload) // 30)})
    installer = Installer()
    wait_status(EN["downloading"])
    partial = os.path.join(cache_dir(), PAYLOAD_NAME + ".partial")
    wait_for(lambda: os.path.exists(partial) and os.path.getsize(partial) > 0, "bytes in the partial file", 60)
    check_eq(click("cancel"), EN["stopping"], "status right after Cancel")
    state = wait_status(EN["failure_cancelled"])
    check_failed_window(state)
    kept = os.path.getsize(partial)
    check(0 < kept < len(payload), f"partial file kept with {kept} bytes")
    wait_for(lambda: "installer_failed" in event_types(), "installer_failed event", 10)
    failed = [e for e in events() if e["eventType"] == "installer_failed"]
    check_eq(failed[0]["reasonCode"], "cancelled", "reasonCode")
    feed_mode({})
    click("retry")
    check_eq(wait_gone(installer), 0, "exit code after resuming")
    payload_requests = [r for r in feed_requests() if r["path"].endswith(PAYLOAD_NAME)]
    check_eq(header(payload_requests[-1], "Range"), f"bytes={kept}-", "the resume asks for the missing bytes")
    started_once("installed after resuming")


@scenario
def wrong_digest_is_refused_and_deleted():
    payload = fixture("installer-signed.exe")
    other = hashlib.sha512(b"something else").digest()
    publish(payload, digest=base64.b64encode(other).decode())
    installer = Installer()
    check_failed_window(wait_status(EN["failure_integrity"]))
    check_eq(cache_files(), [], "the file with the wrong digest is deleted")
    check_eq(start_marks(), [], "nothing was run")
    click("cancel")
    check_eq(wait_gone(installer), 0, "Cancel closes the window after a failure")


def refused_publisher(fixture_name):
    publish(fixture(fixture_name))
    installer = Installer()
    check_failed_window(wait_status(EN["failure_publisher"]))
    check(registry_value() is None, "the installer never ran")
    check_eq(start_marks(), [], "nothing was started")
    check_eq(cache_files(), [PAYLOAD_NAME], "the rejected installer stays in the cache")
    click("close")
    check_eq(wait_gone(installer), 0, "the close box works after a failure")


@scenario
def unsigned_installer_is_never_run():
    refused_publisher("installer-unsigned.exe")


@scenario
def installer_signed_by_another_name_is_never_run():
    refused_publisher("installer-wrong-case.exe")


@scenario
def closing_is_ignored_while_the_installer_runs():
    publish(fixture("installer-signed.exe"))
    installer = Installer({"BRIMORA_TEST_INSTALLER_DELAY_MS": "5000"})
    state = wait_status(EN["installing"])
    check(not state["cancel"]["enabled"], f"Cancel is disabled while installing: {state}")
    check_eq(state["bar"], 92, "progress while installing")
    click("close")
    time.sleep(1.0)
    after = window()
    check(after.get("found") and after["status"] == EN["installing"], f"the window stays: {after}")
    check_eq(wait_gone(installer), 0, "exit code")
    started_once("installed and opened")


@scenario
def installer_exit_code_one():
    publish(fixture("installer-exit1.exe"))
    installer = Installer()
    check_failed_window(wait_status(EN["failure_install"]))
    check_eq(cache_files(), [PAYLOAD_NAME], "the installer stays in the cache")
    # The failure event is sent in the background just before the window hears of the failure.
    wait_for(lambda: "installer_failed" in event_types(), "installer_failed event", 10)
    failed = [e for e in events() if e["eventType"] == "installer_failed"]
    check_eq(failed[0]["reasonCode"], "install_failed", "reasonCode")
    installer.kill()


@scenario
def japanese_user_interface():
    publish(fixture("installer-signed.exe"))
    feed_mode({"path": "latest.yml", "status": 500})
    env = {"LANG": "ja_JP.UTF-8", "LC_ALL": "ja_JP.UTF-8", "LOCPATH": LOCALE_DIR}
    installer = Installer(env)
    state = wait_status(JA["failure_network"])
    check_failed_window(state, JA)
    check_eq(state["title"], "Brimora Installer", "the caption is never translated")
    wait_for(lambda: events(), "an event", 10)
    check_eq(events()[0]["locale"], "ja", "a new identity made under Japanese")
    installer.kill()


@scenario
def second_instance_exits_at_once():
    publish(fixture("installer-signed.exe"))
    feed_mode({"path": "latest.yml", "status": 500})
    first = Installer()
    wait_status(EN["failure_network"])
    second = Installer()
    check_eq(second.exit_code(30), 0, "the second instance's exit code")
    check(first.process.poll() is None, "the first instance still runs")
    first.kill()


def missing_data_directory_shows_the_error_box(assignment):
    installer = Installer(windows_env=assignment)
    box = wait_for(lambda: (lambda b: b if b.get("found") else None)(driver("message-box")), "the error box", 60)
    check_eq(box["text"], EN["fatal_state"], "error box text")
    check(not window().get("found"), "no installer window")
    driver("dismiss")
    check_eq(installer.exit_code(30), 0, "exit code after the box is dismissed")
    check(not driver("message-box").get("found"), "the box is gone")
    check(not os.path.exists(os.path.join(local_app_data(), "Brimora")), "no data directory was made")


@scenario
def empty_local_app_data_shows_the_error_box():
    missing_data_directory_shows_the_error_box("LOCALAPPDATA=")


def install_with_events(mode):
    publish(fixture("installer-signed.exe"))
    events_mode(mode)
    started = time.monotonic()
    installer = Installer()
    check_eq(wait_gone(installer), 0, "exit code")
    print(f"    install with the event service {mode}: {time.monotonic() - started:.1f} s")
    started_once("installed and opened")


@scenario
def silent_event_service_does_not_stop_the_install():
    install_with_events("silent")


@scenario
def absent_event_service_does_not_stop_the_install():
    install_with_events("absent")
    check_eq(events(), [], "nothing recorded")


@scenario
def huge_release_size_is_refused_for_disk_space():
    payload = fixture("installer-signed.exe")
    publish(payload, size=2 ** 62)
    installer = Installer()
    check_failed_window(wait_status(EN["failure_disk_space"]))
    check(PAYLOAD_NAME not in requested_names(), "nothing downloaded")
    installer.kill()


# ---- against nginx: a real object-store server instead of the rig's Python feed ----

NGINX_SCENARIOS = set()


def nginx_scenario(fn):
    """Runs in a rig whose feed is nginx (run-in-namespace --feed nginx); its log has statuses."""
    NGINX_SCENARIOS.add(fn.__name__)
    return scenario(fn)


def payload_answers():
    return [(header(r, "Range"), r["status"], r["body_bytes"]) for r in feed_requests()
            if r["path"].endswith("/" + PAYLOAD_NAME)]


def write_file(path, data):
    with open(path, "wb") as f:
        f.write(data)


def install_from_nginx(prepare_cache=None):
    payload = fixture("installer-signed.exe")
    publish(payload)
    if prepare_cache:
        os.makedirs(cache_dir())
        prepare_cache(payload)
    check_eq(wait_gone(Installer()), 0, "exit code")
    started_once("installed and opened")
    check_eq(cache_files(), [], "cache after success")
    return payload


@nginx_scenario
def nginx_first_install():
    payload = install_from_nginx()
    check_eq(requested_names(), ["latest.yml", PAYLOAD_NAME], "feed requests")
    check_eq(payload_answers(), [("", 200, len(payload))], "one whole download, no Range")


@nginx_scenario
def nginx_cached_installer_is_reused():
    install_from_nginx(lambda payload: write_file(os.path.join(cache_dir(), PAYLOAD_NAME), payload))
    check_eq(requested_names(), ["latest.yml"], "the verified cached copy costs no download")


@nginx_scenario
def nginx_resumes_a_partial_download():
    kept = 0

    def leave_partial(payload):
        nonlocal kept
        kept = len(payload) // 3
        write_file(os.path.join(cache_dir(), PAYLOAD_NAME + ".partial"), payload[:kept])

    payload = install_from_nginx(leave_partial)
    check_eq(payload_answers(), [(f"bytes={kept}-", 206, len(payload) - kept)],
             "nginx answered the resume with the missing bytes only")


@nginx_scenario
def nginx_manifest_not_found_then_retry():
    payload = fixture("installer-signed.exe")
    write_control(f"feed/{PAYLOAD_NAME}", payload)
    installer = Installer()
    check_failed_window(wait_status(EN["failure_network"]))
    check_eq([r["status"] for r in feed_requests()], [404], "nginx's own 404 for latest.yml")
    write_control("feed/latest.yml", manifest_for(payload))
    click("retry")
    check_eq(wait_gone(installer), 0, "exit code after Retry")
    started_once("installed and opened after Retry")
    check_eq([r["status"] for r in feed_requests()], [404, 200, 200], "statuses of the feed's answers")


# ---- running ----

def run_inside(name):
    try:
        SCENARIOS[name]()
    except Failed as failure:
        print(f"FAILED {name}: {failure}")
        return 1
    except Exception:  # a broken scenario is a failure too, with its traceback
        traceback.print_exc()
        return 1
    finally:
        subprocess.run(["wineserver", "-k"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    print(f"ok {name}")
    return 0


def run_all(names, report):
    results = []
    for name in names:
        started = time.monotonic()
        feed = ["--feed", "nginx"] if name in NGINX_SCENARIOS else []
        result = subprocess.run([RUNNER, *feed, "--", sys.executable, os.path.abspath(__file__), "--inside", name],
                                capture_output=True, text=True, stdin=subprocess.DEVNULL)
        elapsed = time.monotonic() - started
        output = result.stdout + result.stderr
        results.append((name, result.returncode == 0, elapsed, output))
        print(f"{'ok' if result.returncode == 0 else 'FAILED'} {name} ({elapsed:.1f} s)")
        if result.returncode != 0:
            print("    " + output.strip().replace("\n", "\n    "))
    if report:
        root = ET.Element("testsuites", tests=str(len(results)))
        suite = ET.SubElement(root, "testsuite", name="e2e", tests=str(len(results)))
        for name, passed, elapsed, output in results:
            case = ET.SubElement(suite, "testcase", classname="e2e", name=name, time=f"{elapsed:.1f}",
                                 status="run", result="completed")
            if not passed:
                ET.SubElement(case, "failure", message="scenario failed").text = output
        ET.ElementTree(root).write(report, encoding="utf-8", xml_declaration=True)
    return 0 if all(passed for _, passed, _, _ in results) else 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--inside")
    parser.add_argument("--all", action="store_true")
    parser.add_argument("--only", nargs="*")
    parser.add_argument("--xml")
    args = parser.parse_args()
    if args.inside:
        return run_inside(args.inside)
    names = args.only or list(SCENARIOS)
    return run_all(names, args.xml)


if __name__ == "__main__":
    sys.exit(main())
