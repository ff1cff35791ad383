#!/usr/bin/python3
"""End-to-end scenarios: the real BrimoraInstaller.exe under Wine, against the rig's feed and
event servers, watched and driven through its own window the way a user would.

    scenarios.py --all [--only NAME ...] [--xml REPORT] [-j N]
        each scenario (or family of them) in a fresh rig (namespace, servers, Wine prefix), N rigs
        at a time; a report
    scenarios.py --inside NAME...
        scenarios one after another, already inside the rig

Each scenario checks what the user sees, what the event service received (bodies parsed, member
order and reasonCode), what the feed was asked, what is left in the cache and the registry, and
the exit code.
"""
import argparse
import base64
import concurrent.futures
import contextlib
import functools
import glob
import hashlib
import json
import os
import random
import re
import shutil
import subprocess
import sys
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path[:0] = [os.path.join(ROOT, "tests", "rig"), os.path.join(ROOT, "scripts", "lib")]
from control import (CONTROL, FEED, FEED_PREFIX, FIXTURES, INSTALL_KEY, PAYLOAD_NAME, VERSION, WINE64,  # noqa: E402
                     WINE_PREFIX, Failed, cache_dir, check, check_eq, event_bodies as events, events_mode,
                     feed_mode, feed_requests, fixture, header, lines, local_app_data, manifest_for, pause_feed,
                     publish, read, reset, resume_feed, run, run_case, served_bytes, start_marks, wait_for, wine_path,
                     write_control)
from summarize import write_report  # noqa: E402
from installer_ui import (BUILD, DRIVER, EN, EXE, JA, Installer, click, driver, last_json, wait_gone,  # noqa: E402
                          wait_window, window)

RUNNER = os.path.join(ROOT, "tests", "rig", "run-in-namespace")
LOCALE_DIR = os.path.join(ROOT, ".cache", "locale")

EVENT_ORDER = ["installId", "idempotencyKey", "eventType", "occurredAt", "installerVersion", "appVersion",
               "platform", "arch", "locale", "reasonCode"]

SCENARIOS = {}
# Near-identical scenarios share one rig and run one after another in it, each still its own case:
# family name -> scenario names.
FAMILIES = {}


def scenario(fn):
    SCENARIOS[fn.__name__] = fn
    return fn


def family(name):
    def register(fn):
        FAMILIES.setdefault(name, []).append(fn.__name__)
        return scenario(fn)
    return register


def table(family_name, run, rows):
    """One scenario per row (name first, then run's arguments), all of one family."""
    for name, *args in rows:
        FAMILIES.setdefault(family_name, []).append(name)
        SCENARIOS[name] = functools.partial(run, *args)


# ---- the rig and the prefix, as the scenarios read them ----

def pause_feed_until_still(partial):
    """Holds the paced body (feed-paused) until `partial` has stopped growing: every piece that
    arrives posts a progress message whose text replaces "Stopping safely…", so only then is the
    status a click leaves the one the driver reads. Returns the pause file."""
    paused = pause_feed()
    sizes = [-1]
    wait_for(lambda: sizes.append(os.path.getsize(partial)) or sizes[-1] == sizes[-2], "the partial to stop growing",
             60, 1.0)
    return paused


def publish_paced(seconds):
    """Serves the signed test installer paced to take about `seconds` seconds; returns its bytes."""
    payload = fixture("installer-signed.exe")
    publish(payload)
    feed_mode({"path": PAYLOAD_NAME, "rate": max(4096, len(payload) // seconds)})
    return payload


def requested_names():
    return [r["path"].rsplit("/", 1)[-1] for r in feed_requests()]


def event_types():
    return [e["eventType"] for e in events()]


def failure_reasons():
    """The reasonCode of every installer_failed event, once the first has arrived: the failure
    event is sent in the background just before the window hears of the failure (on a loaded
    machine its delivery has taken over 10 s)."""
    wait_for(lambda: "installer_failed" in event_types(), "installer_failed event", 30)
    return [e["reasonCode"] for e in events() if e["eventType"] == "installer_failed"]


def check_event_shape(event):
    check_eq(list(event), [k for k in EVENT_ORDER if k in event], "event member order")
    check(event["idempotencyKey"].startswith(event["installId"] + ":" + event["eventType"] + ":"),
          f"idempotency key {event['idempotencyKey']}")
    check_eq((event["installerVersion"], event["platform"], event["arch"]), ("1", "windows", "x64"), "constants")
    check(("reasonCode" in event) == (event["eventType"] == "installer_failed"), f"reasonCode in {event}")
    check(("appVersion" in event) == (event["eventType"] in ("payload_verified", "install_succeeded")),
          f"appVersion in {event}")


def started_once(what):
    """The app is started and not waited for, so its start mark can land after the installer ended."""
    wait_for(lambda: start_marks(), f"the start mark of {what}", 20)
    check_eq(len(start_marks()), 1, f"{what} started once")


def installed(installer, what):
    """A success: exit code 0 with the window gone, the app started once, nothing left in the cache."""
    check_eq(wait_gone(installer), 0, f"exit code ({what})")
    started_once(what)
    check_eq(cache_files(), [], f"cache after success ({what})")


def listing(folder):
    """The sorted names in folder; none when it does not exist."""
    return sorted(os.listdir(folder)) if os.path.isdir(folder) else []


def cache_files():
    return listing(cache_dir())


def registry_value():
    result = run(WINE64, "reg", "query", INSTALL_KEY, "/v", "InstallLocation")
    return result.stdout if result.returncode == 0 else None


# ---- the installer's window ----

def wait_status(text, timeout=90):
    return wait_window(lambda w: w.get("status") == text, f"status {text!r}", timeout)


def wait_failed(message, texts=EN, timeout=90):
    """The failure window showing texts[message], Retry and Cancel offered; returns its state."""
    state = wait_status(texts[message], timeout)
    check(state["retry"]["visible"] and state["retry"]["enabled"], f"Retry offered: {state}")
    check(state["cancel"]["enabled"], f"Cancel enabled: {state}")
    check_eq(state["retry"]["text"], texts["retry"], "Retry label")
    check_eq(state["cancel"]["text"], texts["cancel"], "Cancel label")
    return state


# ---- scenarios ----

@scenario
def first_install_english():
    # Slow enough that the window can be looked at while it downloads.
    payload = publish_paced(6)
    installer = Installer()
    first = wait_window(lambda w: w.get("status") == EN["downloading"], "the downloading window")
    check(10 <= first["bar"] <= 75, f"download progress {first['bar']}")
    check_eq(first["title"], "Brimora Installer", "caption")
    check_eq(first["class"], "BrimoraInstallerV1", "window class")
    check_eq(first["style"] & 0x00CF0000, 0x00CA0000, "caption, system menu and minimize box, no sizing")
    check_eq((first["width"], first["height"]), (540, 220), "outer size")
    installed(installer, "the installed app")
    check(registry_value() is not None, "InstallLocation written by the installer")
    check_eq(requested_names(), ["latest.yml", PAYLOAD_NAME], "feed requests")
    check_eq(payload_ranges(), [None], "a fresh download sends no Range")
    types = event_types()
    for wanted in ("installer_started", "payload_verified", "install_succeeded"):
        check(wanted in types, f"{wanted} received: {types}")
    for event in events():
        check_event_shape(event)
        check_eq(event["locale"], "en", "locale of the new identity")
        if event["eventType"] in ("payload_verified", "install_succeeded"):
            check_eq(event["appVersion"], VERSION, "appVersion")
    check_eq(len({e["installId"] for e in events()}), 1, "one install id")


def install_beside_installed_copy(app_fixture, requested, opened):
    """Runs the installer to its end with app_fixture already installed where it looks for the app."""
    app_dir = os.path.join(local_app_data(), "Programs", "Brimora")
    os.makedirs(app_dir)
    shutil.copy(os.path.join(FIXTURES, app_fixture), os.path.join(app_dir, "brimora.exe"))
    publish(fixture("installer-signed.exe"))
    installed(Installer(), "the installed copy or the fresh one")
    check_eq(requested_names(), requested, "feed requests")
    types = event_types()
    check(("existing_app_launched" in types) == opened, f"existing_app_launched delivered before the end: {types}")
    for event in events():
        check_event_shape(event)


table("installed_copies", install_beside_installed_copy, [
    ("signed_installed_copy_is_opened", "app-signed.exe", [], True),
    ("unsigned_installed_copy_is_not_opened", "app-unsigned.exe", ["latest.yml", PAYLOAD_NAME], False),
])


def manifest_fault_then_retry(fault, message):
    """fault: a feed mode (dict), the text of latest.yml, or a function that breaks the feed."""
    publish(fixture("installer-signed.exe"))
    if isinstance(fault, dict):
        feed_mode(fault)
    elif callable(fault):
        fault()
    else:
        write_control("feed/latest.yml", fault)
    installer = Installer()
    wait_failed(message)
    check_eq(failure_reasons()[0], "network_error" if message == "failure_network" else "manifest_invalid",
             "reasonCode")
    feed_mode({})
    publish(fixture("installer-signed.exe"))
    click("retry")
    installed(installer, "installed and opened after Retry")
    check_eq(event_types().count("installer_started"), 2, "installer_started per attempt")
    keys = [e["idempotencyKey"] for e in events() if e["eventType"] == "installer_started"]
    check(keys[0] != keys[1], "a new idempotency key for the second attempt")
    check("other.yml" not in requested_names(), "a redirect is never followed")


# TLS 1.2 exactly: a feed that speaks only 1.3 or only 1.1 is no feed at all. (Wine's WinHTTP never
# offers 1.3, so there the 1.3 row cannot tell a pinned client from an unpinned one; the 1.1 row can.)
table("manifest_faults", manifest_fault_then_retry, [
    ("manifest_not_found_then_retry", {"path": "latest.yml", "status": 404}, "failure_network"),
    ("manifest_redirect_is_not_followed", {"path": "latest.yml", "status": 302, "location":
                                           f"https://{FEED}{FEED_PREFIX}other.yml"}, "failure_network"),
    ("manifest_over_64_kib", "#" * 65536 + "\n", "failure_network"),
    ("manifest_invalid_yaml", "version: [1.4.0\n", "failure_release_info"),
    ("manifest_below_rollback_floor", lambda: write_control(
        "feed/latest.yml", manifest_for(fixture("installer-signed.exe"), version="0.1.31")), "failure_release_info"),
    ("manifest_from_tls13_only_feed_is_a_network_error", {"tls": "1.3"}, "failure_network"),
    ("manifest_from_tls11_only_feed_is_a_network_error", {"tls": "1.1"}, "failure_network"),
])


@scenario
def cancel_slow_download_then_resume():
    payload = publish_paced(30)
    installer = Installer()
    wait_status(EN["downloading"])
    wait_for(partial_bytes, "bytes in the partial file", 60)
    pause_feed_until_still(partial_path())
    check_eq(click("cancel"), EN["stopping"], "status right after Cancel")
    resume_feed()
    wait_failed("failure_cancelled")
    kept = check_partial_is_prefix(payload, "after Cancel")
    check(0 < kept < len(payload), f"partial file kept with {kept} bytes")
    check_eq(failure_reasons()[0], "cancelled", "reasonCode")
    feed_mode({})
    click("retry")
    installed(installer, "installed after resuming")
    check_eq(payload_ranges(), [None, f"bytes={kept}-"], "the resume asks for the missing bytes")


def refused_release(release, manifest, message, reason, requested, cached, end):
    """A release that ends in the failure window with `message` and nothing installed or started;
    then the window ends by `end`: a click on that button, or killed when None."""
    publish(fixture(release), **manifest)
    installer = Installer()
    wait_failed(message, timeout=120)
    # Read the moment the failure shows: an install_succeeded must already be there, not in flight.
    succeeded = [e.get("appVersion") for e in events() if e["eventType"] == "install_succeeded"]
    check_eq(succeeded, [VERSION] if reason == "launch_failed" else [], "install_succeeded (appVersion) at the failure")
    check_eq(failure_reasons(), [reason], "reasonCode")
    check_eq(requested_names(), requested, "feed requests")
    check_eq(cache_files(), cached, "what stays in the cache")
    check(registry_value() is None and not start_marks(), "nothing was installed or started")
    if end is None:
        return installer.kill()
    click(end)
    check_eq(wait_gone(installer, after_failure=True), 0, f"{end} ends the window after a failure")


BOTH = ["latest.yml", PAYLOAD_NAME]
table("refused_releases", refused_release, [
    ("wrong_digest_is_refused_and_deleted", "installer-signed.exe",
     {"digest": base64.b64encode(hashlib.sha512(b"something else").digest()).decode()}, "failure_integrity",
     "payload_hash_mismatch", BOTH, [], "cancel"),
    ("unsigned_installer_is_never_run", "installer-unsigned.exe", {}, "failure_publisher", "signature_invalid", BOTH,
     [PAYLOAD_NAME], "close"),
    ("installer_signed_by_another_name_is_never_run", "installer-wrong-case.exe", {}, "failure_publisher",
     "signer_mismatch", BOTH, [PAYLOAD_NAME], "close"),
    ("installer_exit_code_one", "installer-exit1.exe", {}, "failure_install", "install_failed", BOTH,
     [PAYLOAD_NAME], None),
    ("installed_app_missing_after_a_successful_installer", "installer-exit0-empty.exe", {}, "failure_launch",
     "launch_failed", BOTH, [PAYLOAD_NAME], None),
    ("huge_release_size_is_refused_for_disk_space", "installer-signed.exe", {"size": 2 ** 62}, "failure_disk_space",
     "insufficient_disk_space", ["latest.yml"], [], None),
])


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
    installed(installer, "installed and opened")


@scenario
def japanese_user_interface():
    publish(fixture("installer-signed.exe"))
    feed_mode({"path": "latest.yml", "status": 500})
    installer = Installer({"LANG": "ja_JP.UTF-8", "LC_ALL": "ja_JP.UTF-8", "LOCPATH": LOCALE_DIR})
    state = wait_failed("failure_network", JA)
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


def error_box_then_exit(installer, text, what=""):
    """The startup error box with text, no window, and exit code 0 once the box is dismissed."""
    box = wait_for(lambda: (lambda b: b if b.get("found") else None)(driver("message-box")), f"the error box{what}", 60)
    check_eq(box["text"], text, f"error box text{what}")
    check(not window().get("found"), f"no installer window{what}")
    driver("dismiss")
    check_eq(installer.exit_code(30), 0, f"exit code after the box is dismissed{what}")


@scenario
def empty_local_app_data_shows_the_error_box():
    error_box_then_exit(Installer(windows_env="LOCALAPPDATA="), EN["fatal_state"])
    check(not driver("message-box").get("found"), "the box is gone")
    check(not os.path.exists(data_dir()), "no data directory was made")


@scenario
def cancel_while_the_manifest_arrives():
    # The manifest trickles in; Cancel during the fetch is acted on once it has been validated,
    # before the cache directory is made.
    publish(fixture("installer-signed.exe"))
    feed_mode({"path": "latest.yml", "rate": 25})  # about 15 s for the manifest
    installer = Installer()
    wait_status(EN["checking"])
    check_eq(click("cancel"), EN["stopping"], "status right after Cancel")
    wait_failed("failure_cancelled")
    check_eq(failure_reasons(), ["cancelled"], "reasonCode")
    check_eq(requested_names(), ["latest.yml"], "only the manifest was fetched")
    check(not os.path.exists(os.path.join(local_app_data(), "Brimora", "InstallerCache")), "no cache directory")
    installer.kill()


def install_with_events(mode, tls, recorded):
    publish(fixture("installer-signed.exe"))
    events_mode(mode, tls)
    installed(Installer(), "installed and opened")
    check_eq(bool(events()), recorded, "events recorded (a silent service records, then never answers)")


# An event service that never answers, is not there, or speaks only TLS 1.3 stops nothing.
table("event_service_modes", install_with_events, [
    ("silent_event_service_does_not_stop_the_install", "silent", None, True),
    ("absent_event_service_does_not_stop_the_install", "absent", None, False),
    ("tls13_only_event_service_gets_nothing_and_the_install_succeeds", "200", "1.3", False),
])


@scenario
def event_service_errors_change_nothing():
    # The service answers 500, then 404, then 302 while one whole install runs: the install is the
    # same as with a healthy service.
    publish(fixture("installer-signed.exe"))
    feed_mode({"path": PAYLOAD_NAME, "rate": 200000})
    events_mode("500")
    installer = Installer()
    wait_status(EN["downloading"])
    events_mode("404")
    wait_for(lambda: window().get("bar", 0) >= 78 or not window().get("found"), "the download's end", 60)
    events_mode("302")
    installed(installer, "installed and opened")
    types = event_types()
    for wanted in ("installer_started", "payload_verified", "install_succeeded"):
        check_eq(types.count(wanted), 1, f"{wanted} sent once, never retried: {types}")
    check("installer_failed" not in types, f"no failure: {types}")


# ---- scanners and far-from-ASCII user folders ----

def windows_path(path):
    """The Windows form of a path inside the prefix's drive C."""
    return "C:\\" + os.path.relpath(path, os.path.join(WINE_PREFIX, "drive_c")).replace("/", "\\")


def scanner(path, size, extra_ms, *after):
    """Another process holding a file the way antivirus and indexers do (ui_driver hold); held()
    reads its report."""
    return subprocess.Popen([WINE64, DRIVER, "hold", windows_path(path), str(size), str(extra_ms),
                             *map(windows_path, after)], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL)


def held(scan):
    return last_json(scan.communicate(timeout=120)[0])


@scenario
def scanner_holds_the_fresh_files():
    payload = publish_paced(4)
    final = os.path.join(cache_dir(), PAYLOAD_NAME)
    # The partial file while it grows and 3 s past its full size; the final file from the moment it
    # appears, across the installer's start, until 1 s into the cleanup after the app was opened.
    partial_scan = scanner(final + ".partial", len(payload), 3000)
    final_scan = scanner(final, 0, 1000, os.path.join(local_app_data(), "brimora-started.txt"))
    installed(Installer(), "installed and opened through the holds")
    held_partial, held_final = held(partial_scan), held(final_scan)
    print(f"    partial held from {held_partial.get('opened_at')} bytes to {held_partial.get('reached')}, "
          f"final held {held_final.get('held_ms')} ms")
    check(held_partial.get("held") and held_partial["opened_at"] < len(payload), f"partial held while growing: "
          f"{held_partial}")
    check_eq(held_partial["reached"], len(payload), "the partial reached its size under the hold")
    check(held_final.get("held"), f"final file held: {held_final}")
    check_eq(requested_names(), ["latest.yml", PAYLOAD_NAME], "downloaded once")
    check("installer_failed" not in event_types(), f"no failure reported: {event_types()}")


@scenario
def scanner_hold_past_the_bound_then_retry():
    payload = fixture("installer-signed.exe")
    publish(payload)
    partial = os.path.join(cache_dir(), PAYLOAD_NAME + ".partial")
    scan = scanner(partial, len(payload), 15000)
    installer = Installer()
    wait_failed("failure_download")
    check_eq(cache_files(), [PAYLOAD_NAME + ".partial"], "only the partial file")
    check_eq(os.path.getsize(partial), len(payload), "the partial file keeps every byte")
    check_eq(failure_reasons(), ["download_failed"], "reasonCode")
    check(held(scan).get("held"), "the scanner held the partial file")
    click("retry")
    installed(installer, "installed after Retry")
    check_eq(requested_names(), ["latest.yml", PAYLOAD_NAME, "latest.yml"], "Retry downloads nothing again")


def install_under_local_app_data(length):
    """LOCALAPPDATA with a Japanese user name and nested Japanese folders with spaces, `length`
    characters long; what the first install leaves, found where the data directory puts it."""
    folder = os.path.join(WINE_PREFIX, "drive_c", "users", "山田 太郎", "AppData", "Local")
    while len(windows_path(folder)) < length - 12:
        folder = os.path.join(folder, "アプリ データ 保存")
    folder = os.path.join(folder, "x" * (length - len(windows_path(folder)) - 1))
    check_eq(len(windows_path(folder)), length, "LOCALAPPDATA length")
    os.makedirs(folder)
    publish(fixture("installer-signed.exe"))
    installer = Installer(windows_env="LOCALAPPDATA=" + windows_path(folder))
    data = os.path.join(folder, "Brimora")
    cached = os.path.join(data, "InstallerCache", "v1", PAYLOAD_NAME)
    print(f"    LOCALAPPDATA {length} characters, cached installer {len(windows_path(cached))}")
    return installer, folder, data, cached


@scenario
def japanese_user_folder_of_150_characters():
    installer, folder, data, cached = install_under_local_app_data(150)
    check_eq(wait_gone(installer), 0, "exit code")
    state = json.loads(read(os.path.join(data, "acquisition.json")))
    check_eq(state["locale"], "en", "the state file in the data directory")
    check(os.path.isdir(os.path.dirname(cached)), "the cache directory under the data directory")
    check_eq(os.listdir(os.path.dirname(cached)), [], "cache after success")
    marks = lines(os.path.join(folder, "brimora-started.txt"))
    check_eq(len(marks), 1, "the app started once")
    check(windows_path(os.path.join(folder, "Programs", "Brimora", "brimora.exe")).lower() in marks[0].lower(),
          f"the installed app was opened where the installer put it: {marks[0]!r}")
    check_eq({e["installId"] for e in events()}, {state["installId"]}, "events carry the stored identity")


@scenario
def japanese_user_folder_past_max_path():
    installer, folder, data, cached = install_under_local_app_data(214)
    check(len(windows_path(cached)) > 260, "the cached installer's path passes 260 characters")
    # On Windows the installer starts through its short (8.3) path. Wine 8 gives both outcomes
    # with the same code: mostly it refuses the full path (ERROR_FILE_NOT_FOUND past MAX_PATH) and
    # the 217-character short one (ERROR_INVALID_NAME), and then the attempt ends with message 20;
    # in some runs the start goes through and the install completes. Each outcome is checked in
    # full; the short-path computation itself is asserted directly by the launch unit table.
    outcome = wait_for(lambda: "ended" if installer.process.poll() is not None else
                       "failed" if window().get("status") == EN["failure_install"] else None,
                       "the installer's end or its failure", 120, 0.5)
    if outcome == "ended":
        print("    the installer was started from a path past MAX_PATH")
        check_eq(installer.exit_code(), 0, "exit code")
        check_eq(os.listdir(os.path.dirname(cached)), [], "cache after success")
        check(os.path.exists(os.path.join(folder, "Programs", "Brimora", "brimora.exe")), "installed")
        return
    print("    the start was refused: message 20")
    wait_failed("failure_install")
    check_eq(failure_reasons(), ["install_failed"], "reasonCode")
    check_eq(os.listdir(os.path.dirname(cached)), [PAYLOAD_NAME], "the verified installer stays cached")
    check_eq(os.path.getsize(cached), len(fixture("installer-signed.exe")), "the cached installer is whole")
    check(os.path.exists(os.path.join(data, "acquisition.json")), "the state file stays")
    check(not os.path.exists(os.path.join(folder, "Programs")), "nothing was installed")
    installer.kill()


# The DLLs the exe reaches only through its delay imports, each loaded from System32 at startup.
# WINEDLLOVERRIDES "name=d" makes one of them unloadable: the startup box, never a crash.
SYSTEM32_ONLY_DLLS = ["bcrypt", "comctl32", "crypt32", "winhttp", "wintrust"]


@scenario
def missing_system_dll_shows_the_window_error_box():
    publish(fixture("installer-signed.exe"))
    for dll in SYSTEM32_ONLY_DLLS:
        overrides = os.environ.get("WINEDLLOVERRIDES", "") + f";{dll}=d"
        error_box_then_exit(Installer({"WINEDLLOVERRIDES": overrides}), EN["fatal_window"], f" without {dll}")
    check_eq(requested_names(), [], "nothing was fetched")


PLANTED = os.path.join(BUILD, "tests", "e2e", "planted")


@scenario
def dlls_planted_beside_the_exe_never_run():
    """A Downloads folder holding the exe and a planted copy of every non-Known DLL the process
    loads (tests/e2e/CMakeLists.txt says how the list was made), with native-first overrides so
    Wine searches the exe's folder first the way Windows does. A planted DLL that our exe asked
    for fails the scenario. Wine's own DLLs load some of theirs by a search of their own that the
    exe's SetDefaultDllDirectories does not reach (Windows takes those from System32): such a
    load is let pass only when the marker shows a Wine module, not the exe, asked for it."""
    downloads = os.path.join(CONTROL, "Downloads")
    os.makedirs(downloads)
    exe = os.path.join(downloads, "BrimoraInstaller.exe")
    shutil.copy(EXE, exe)
    names = [n[:-4] for n in os.listdir(PLANTED) if n.endswith(".dll")]
    check(len(names) > 10, f"planted DLLs built: {names}")
    for name in names:
        shutil.copy(os.path.join(PLANTED, name + ".dll"), downloads)
    publish(fixture("installer-signed.exe"))
    overrides = os.environ.get("WINEDLLOVERRIDES", "") + ";" + ",".join(names) + "=n,b"
    installed(Installer({"WINEDLLOVERRIDES": overrides}, exe=exe), "installed and opened")
    ours = []
    for marker in sorted(glob.glob(os.path.join(downloads, "*.planted"))):
        said = [line.strip() for line in lines(marker)]
        name = os.path.basename(marker)[:-len(".planted")]
        importers = [line[len("imported-by "):] for line in said if line.startswith("imported-by ")]
        callers = [line for line in said if not line.startswith("imported-by ")]
        wine = [m for m in importers if m.lower().startswith("c:\\windows\\")]
        by_exe = any(m.lower().endswith("brimorainstaller.exe") for m in importers)
        if by_exe or not wine and (not callers or callers[0].lower().endswith("brimorainstaller.exe")):
            ours.append(f"{name}: {said}")
        else:
            print(f"    {name} came from the exe's folder for Wine's {wine or callers[:1]} (let pass)")
    check_eq(ours, [], "planted DLLs the installer itself loaded")
# ---- killed, full, trickling and stalled ----

def data_dir():
    return os.path.join(local_app_data(), "Brimora")


def partial_path():
    return os.path.join(cache_dir(), PAYLOAD_NAME + ".partial")


def partial_bytes():
    return read(partial_path(), b"")


def check_partial_is_prefix(payload, what):
    """The partial file holds the payload's first bytes, none lost and none wrong; returns its length."""
    kept = partial_bytes()
    check(kept == payload[:len(kept)], f"{what}: the partial file holds the payload's first {len(kept)} bytes")
    return len(kept)


def payload_requests():
    return [r for r in feed_requests() if r["path"].endswith("/" + PAYLOAD_NAME)]


def payload_ranges():
    return [header(r, "Range") for r in payload_requests()]


STATE_KEYS = ["schemaVersion", "installId", "installerVersion", "platform", "arch", "locale", "createdAt",
              "appFirstOpenReportedAt"]
OWN_TEMPORARY = re.compile(r"\.acquisition\.json\.[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}\.tmp")


def state_file():
    """acquisition.json's bytes and installId, checked to be the complete compact record; None when absent."""
    raw = read(os.path.join(data_dir(), "acquisition.json"), None)
    if raw is None:
        return None
    try:
        state = json.loads(raw, object_pairs_hook=lambda pairs: pairs)
    except ValueError:
        raise Failed(f"acquisition.json is not JSON: {raw!r}") from None
    check_eq([key for key, _ in state], STATE_KEYS, "acquisition.json members")
    check(b" " not in raw and not raw.endswith(b"\n"), f"acquisition.json is compact: {raw!r}")
    return raw, dict(state)["installId"]


def own_temporaries():
    return [n for n in listing(data_dir()) if OWN_TEMPORARY.fullmatch(n)]


@scenario
def killed_mid_download_resumes_exactly():
    payload = publish_paced(8)
    installer = Installer()
    wait_for(lambda: len(partial_bytes()) >= len(payload) // 2, "half of the payload on disk", 60, 0.05)
    state_before = state_file()
    check(state_before is not None, "acquisition.json written before the download")
    installer.kill()  # SIGKILL: no chance to close, flush or clean anything
    kept = check_partial_is_prefix(payload, "after the kill")
    check(0 < kept < len(payload), f"a partial of {kept} bytes was left")
    first = wait_for(served_bytes, "the feed noticing the client gone", 30)[0]
    # Fast but still paced, so the second answer's bytes are counted too.
    feed_mode({"path": PAYLOAD_NAME, "rate": len(payload) * 4})
    second = Installer()
    installed(second, "installed after the resume")
    check_eq(payload_ranges(), [None, f"bytes={kept}-"], "Range of each payload request")
    served = served_bytes()
    check_eq(len(served), 2, "paced answers")
    check_eq(served[1], len(payload) - kept, "bytes served to the resume")
    check(served[0] >= kept, f"the first answer sent at least what was kept: {served[0]} < {kept}")
    print(f"    size {len(payload)}, kept {kept}, Range bytes={kept}-, served {served[0]} + {served[1]} = "
          f"{sum(served)} (in flight at the kill: {served[0] - kept})")
    check_eq(state_file(), state_before, "acquisition.json keeps its bytes")
    check_eq(len({e["installId"] for e in events()}), 1, "one install id across both runs")


@scenario
def killed_during_startup_repeatedly():
    publish(fixture("installer-signed.exe"))
    feed_mode({"path": "latest.yml", "status": 500})  # each start stops at a failure and waits
    seed = int(os.environ.get("E2E_SEED") or int.from_bytes(os.urandom(4), "little"))
    print(f"    seed {seed} (E2E_SEED={seed} repeats these kills)", flush=True)
    delays = random.Random(seed).choices(range(401), k=30)
    ids, leftovers_seen = set(), 0
    for delay in delays:
        installer = Installer()
        time.sleep(delay / 1000)
        installer.kill()
        state = state_file()
        if state is not None:
            ids.add(state[1])
        leftovers_seen = max(leftovers_seen, len(own_temporaries()))
    # A start killed only once its state file exists, so a written identity is always there to keep.
    installer = Installer()
    wait_for(state_file, "acquisition.json of a start about to be killed", 60, 0.05)
    installer.kill()
    ids.add(state_file()[1])
    check_eq(len(ids), 1, f"the installId never changes once written: {ids}")
    # A leftover exactly as a start killed between writing and moving leaves it, and files that
    # only look similar, which are not ours to delete. A temporary written lately may be another
    # start's, about to be moved into place, so only those older than ten minutes are stale: every
    # leftover so far is aged past that, and one young one is planted that must stay.
    planted = ".acquisition.json.3f2b8c1e-9d4a-4b6e-a7c5-0e1d2f3a4b5c.tmp"
    young = ".acquisition.json.0c9d8e7f-6a5b-4c3d-9e2f-1a0b9c8d7e6f.tmp"
    foreign = [".acquisition.json.backup.tmp", ".acquisition.json.3F2B8C1E-9D4A-4B6E-A7C5-0E1D2F3A4B5C.tmp"]
    for name, data in [(planted, b'{"schemaVersion":1,"inst')] + [(n, b"not ours") for n in foreign]:
        with open(os.path.join(data_dir(), name), "wb") as f:
            f.write(data)
    eleven_minutes_ago = time.time() - 660
    for name in own_temporaries():
        os.utime(os.path.join(data_dir(), name), (eleven_minutes_ago, eleven_minutes_ago))
    with open(os.path.join(data_dir(), young), "wb") as f:
        f.write(b'{"schemaVersion":1,"inst')
    installer = Installer()
    wait_status(EN["failure_network"])
    state = state_file()
    check(state is not None, "acquisition.json exists")
    check_eq(state[1], next(iter(ids)), "the installId written by a killed start")
    check_eq(own_temporaries(), [young], "stale temporaries deleted, the young one kept")
    check_eq(sorted(n for n in foreign if os.path.exists(os.path.join(data_dir(), n))), sorted(foreign),
             "look-alike files kept")
    check_eq(len({e["installId"] for e in events()}), 1, "every event carries the one identity")
    print(f"    delays {min(delays)}-{max(delays)} ms, most leftovers seen at once: {leftovers_seen}")
    installer.kill()


@scenario
def disk_full_mid_download_keeps_the_partial():
    payload = publish_paced(10)
    # LOCALAPPDATA on a tmpfs of its own (this mount namespace is the rig's), with just enough
    # room to pass the free-space rule (4 x size + 256 MiB) at the check.
    local = local_app_data()
    aside = os.path.join(CONTROL, "local-aside")
    shutil.copytree(local, aside, symlinks=True)
    size_kib = (4 * len(payload) + 256 * 2 ** 20) // 1024 + 4096
    subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size_kib}k", "brimora-local", local], check=True)
    try:
        shutil.copytree(aside, local, symlinks=True, dirs_exist_ok=True)
        installer = Installer()
        wait_for(lambda: len(partial_bytes()) >= len(payload) // 4, "a quarter of the payload on disk", 60, 0.05)
        filler = os.path.join(local, "filler")
        with open(filler, "wb", buffering=0) as f:  # another process takes every free byte
            for block in (2 ** 20, 4096, 1):
                with contextlib.suppress(OSError):
                    while f.write(b"\0" * block):
                        pass
        check_eq(os.statvfs(local).f_bavail, 0, "the file system is full")
        wait_failed("failure_disk_space")
        kept = check_partial_is_prefix(payload, "after the disk filled")
        check(0 < kept < len(payload), f"a partial of {kept} bytes was kept")
        check_eq(failure_reasons(), ["insufficient_disk_space"], "reasonCode")
        os.remove(filler)
        feed_mode({})
        click("retry")
        installed(installer, "installed after space was freed and Retry")
        check_eq(payload_ranges(), [None, f"bytes={kept}-"], "Range of each payload request")
        print(f"    size {len(payload)}, kept {kept} when the disk filled, Range bytes={kept}-")
    finally:
        run("wineserver", "-k")
        run("umount", "-l", local)


@scenario
def cancel_while_the_server_trickles():
    # A made-up payload (the attempt is cancelled before any check): small enough that at 200
    # bytes/s every second moves the bar by several percent.
    payload = bytes(range(256)) * 8
    publish(payload)
    feed_mode({"path": PAYLOAD_NAME, "rate": 200})
    installer = Installer()
    wait_for(lambda: PAYLOAD_NAME in requested_names(), "the payload request", 60, 0.05)
    watched = driver("watch", "3000")
    check("changes" in watched, f"the window was watched: {watched}, now {window()}, feed {requested_names()}")
    changes = watched["changes"]
    bars = [c["ms"] for c in changes if c["status"] == EN["downloading"]]
    check(len(bars) >= 2, f"the bar moved while bytes arrived: {changes}")
    gaps = [b - a for a, b in zip(bars, bars[1:] + [3000])]
    check(max(gaps) <= 1000, f"the bar moves at least once a second: gaps {gaps} ms")
    # The trickle goes on as soon as the driver has read the status the click left.
    paused = pause_feed_until_still(partial_path())
    clicked = driver("click", "cancel", "3000", wine_path(paused))
    check_eq(clicked.get("status_after"), EN["stopping"], "status right after Cancel")
    ended = [c["ms"] for c in clicked["then"] if c["status"] == EN["failure_cancelled"]]
    check(ended, f"message 22 within 3 s of Cancel: {clicked['then']}")
    check(ended[0] <= 1500, f"message 22 {ended[0]} ms after Cancel")
    kept = check_partial_is_prefix(payload, "after Cancel")
    check(0 < kept < len(payload), f"a partial of {kept} bytes was kept")
    print(f"    bar changes in 3 s: {len(bars)}, largest gap {max(gaps)} ms, message 22 {ended[0]} ms after "
          f"Cancel, {kept} bytes kept")
    installer.kill()


@scenario
def stalled_server_times_out_keeping_its_bytes():
    payload = fixture("installer-signed.exe")
    publish(payload)
    feed_mode({"path": PAYLOAD_NAME, "stall_after": 1000})
    installer = Installer()
    wait_for(lambda: PAYLOAD_NAME in requested_names(), "the payload request", 60, 0.05)
    asked = time.monotonic()
    wait_failed("failure_download", timeout=90)
    waited = time.monotonic() - asked
    check(waited >= 25, f"the attempt ended only once the 30 s receive timeout ran out, not after {waited:.1f} s")
    check_eq(check_partial_is_prefix(payload, "after the stall"), 1000, "bytes kept")
    print(f"    message 16 {waited:.1f} s after the request, 1000 bytes kept")
    installer.kill()
# ---- against nginx: a real object-store server instead of the rig's Python feed ----

# The family "nginx" runs in a rig whose feed is nginx (run-in-namespace --feed nginx); its log
# has statuses.
nginx_scenario = family("nginx")


def install_from_nginx(cached, divisor):
    """Installs with the payload's first 1/divisor in the cache file named `cached` (None: nothing
    cached): a whole download with no Range, none for a verified copy, the missing bytes only for
    a partial one."""
    payload = fixture("installer-signed.exe")
    publish(payload)
    kept = len(payload) // divisor if cached else 0
    if cached:
        write_control(os.path.join(cache_dir(), cached), payload[:kept])
    installed(Installer(), "installed and opened")
    answers = [] if kept == len(payload) else [(f"bytes={kept}-" if kept else "", 206 if kept else 200,
                                                 len(payload) - kept)]
    check_eq(requested_names(), ["latest.yml"] + [PAYLOAD_NAME] * len(answers), "feed requests")
    check_eq([(header(r, "Range"), r["status"], r["body_bytes"]) for r in payload_requests()], answers,
             "nginx's answers to the payload requests")


table("nginx", install_from_nginx, [("nginx_first_install", None, 1),
                                    ("nginx_cached_installer_is_reused", PAYLOAD_NAME, 1),
                                    ("nginx_resumes_a_partial_download", PAYLOAD_NAME + ".partial", 3)])


@nginx_scenario
def nginx_manifest_not_found_then_retry():
    payload = fixture("installer-signed.exe")
    write_control(f"feed/{PAYLOAD_NAME}", payload)
    installer = Installer()
    wait_failed("failure_network")
    check_eq([r["status"] for r in feed_requests()], [404], "nginx's own 404 for latest.yml")
    write_control("feed/latest.yml", manifest_for(payload))
    click("retry")
    installed(installer, "installed and opened after Retry")
    check_eq([r["status"] for r in feed_requests()], [404, 200, 200], "statuses of the feed's answers")


@nginx_scenario
def nginx_releases_published_with_brimora_feed():
    """Releases reach the folder nginx serves only through `brimora-feed publish`: A, installed;
    B over it, installed (B fetched); then a tampered payload and other bytes under A's name are
    refused, the folder stays byte for byte as it was, and an installer started right after still
    installs B."""
    tool = os.path.join(ROOT, "build", "linux", "brimora-feed")
    pki = os.path.join(os.environ["BRIMORA_RIG_PKI"], "codesign")
    origin = os.path.join(CONTROL, "feed")

    def publish_with_tool(version, fixture_name, *extra):
        payload = os.path.join(FIXTURES, fixture_name)
        made = run(tool, "manifest", "--version", version, "--release-date", "2026-12-01T09:00:00Z", payload)
        check_eq(made.returncode, 0, f"manifest for {version}: {made.stderr}")
        manifest = os.path.join(CONTROL, f"release-{version}.yml")
        write_control(manifest, made.stdout.encode())
        done = run(tool, "publish", "--to", origin, manifest, payload, "--trust", os.path.join(pki, "root.pem"),
                   "--crl", os.path.join(pki, "root.crl"), *extra)
        print(f"    publish {version} {fixture_name}: exit {done.returncode}: {done.stdout.splitlines()[-1]}")
        return done.returncode

    def folder():
        return {name: read(os.path.join(origin, name)) for name in os.listdir(origin)}

    def install(version):
        remove_install()
        asked = len(feed_requests())
        installed(Installer(), f"release {version} installed and opened")
        check_eq([(r["path"].rsplit("/", 1)[-1], r["status"]) for r in feed_requests()[asked:]],
                 [("latest.yml", 200), (f"Brimora-{version}-win-x64.exe", 200)], f"feed requests for {version}")

    check_eq(publish_with_tool("1.4.0", "installer-signed.exe"), 0, "release A published")
    install("1.4.0")
    check_eq(publish_with_tool("1.5.0", "installer-signed.exe"), 0, "release B published over A")
    install("1.5.0")
    served = folder()
    check_eq(sorted(served), ["Brimora-1.4.0-win-x64.exe", "Brimora-1.5.0-win-x64.exe", "latest.yml",
                              "latest.yml.previous"], "the origin folder")
    check_eq(publish_with_tool("1.6.0", "installer-tampered.exe"), 1, "a tampered payload is refused")
    check_eq(publish_with_tool("1.4.0", "installer-exit1.exe", "--allow-downgrade"), 1,
             "other bytes under A's published name are refused")
    check(folder() == served, "refused publishes left the origin folder as it was")
    install("1.5.0")


# ---- running ----

def remove_install():
    """The installed app, its start marks and registry value."""
    shutil.rmtree(os.path.join(local_app_data(), "Programs"), ignore_errors=True)
    if start_marks():
        os.unlink(os.path.join(local_app_data(), "brimora-started.txt"))
    run(WINE64, "reg", "delete", INSTALL_KEY, "/f")
    check(registry_value() is None and not start_marks(), "the earlier install removed")


def fresh_user():
    """Removes what one scenario leaves for the next in a shared rig: its installers, the servers'
    modes, files and logs, the data directory and the install."""
    for installer in Installer.started:
        installer.kill()
    reset()
    shutil.rmtree(data_dir(), ignore_errors=True)
    remove_install()


def run_inside(names):
    """Runs the scenarios one after another in this rig, each from a fresh user; every one prints
    a line "=== NAME" first and "ok NAME" or "FAILED NAME: ..." last."""
    status = 0
    for index, name in enumerate(names):
        print(f"=== {name}", flush=True)
        if run_case(name, lambda: (index and fresh_user(), SCENARIOS[name]())) is not None:
            status = 1
    run("wineserver", "-k")
    return status


SCENARIO_LIMIT_S = 600


def run_in_rig(names):
    """Runs the scenarios in one fresh rig; returns (name, passed, output) for each, in order."""
    # A hung rig must not hold up the tier: past the limit its runner is killed, and the runner's
    # watchdog ends that rig.
    limit = SCENARIO_LIMIT_S * len(names)
    feed = ["--feed", "nginx"] if names[0] in FAMILIES["nginx"] else []
    command = [RUNNER, *feed, "--", sys.executable, os.path.abspath(__file__), "--inside", *names]
    try:
        result = subprocess.run(command, capture_output=True, text=True, stdin=subprocess.DEVNULL, timeout=limit)
        output = result.stdout + result.stderr
    except subprocess.TimeoutExpired as expired:
        # TimeoutExpired keeps the captured output as bytes even in text mode.
        output = b"".join(x or b"" for x in (expired.stdout, expired.stderr)).decode("utf-8", "replace")
        output += f"\nstill running after {limit} s"
    parts = re.split(r"^=== (\S+)\n", output, flags=re.M)
    found = dict(zip(parts[1::2], parts[2::2]))
    # Output before the first scenario (the runner's own complaints) belongs to every case.
    return [(name, f"ok {name}\n" in found.get(name, ""), (parts[0] + found.get(name, "")).strip())
            for name in names]


def run_all(names, report, jobs):
    # Rigs share nothing, so they run side by side (mostly waiting on paced servers and timeouts);
    # a family's scenarios share one rig, and the longest families start first.
    units = [[n for n in members if n in names] for members in FAMILIES.values()]
    units = sorted([u for u in units if u], key=len, reverse=True)
    units += [[n] for n in names if not any(n in u for u in units)]
    started = time.monotonic()
    results = {}
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        for future in concurrent.futures.as_completed([pool.submit(run_in_rig, unit) for unit in units]):
            ended = time.monotonic() - started
            for name, passed, output in future.result():
                results[name] = (passed, output)
                print(f"{'ok' if passed else 'FAILED'} {name} (rig ended {ended:.1f} s into the tier)")
                print("    " + output.replace("\n", "\n    "))
            sys.stdout.flush()
    print(f"{len(names)} scenarios in {len(units)} rigs, {jobs} at a time, in {time.monotonic() - started:.1f} s")
    if report:
        write_report(report, [("e2e", name, None if results[name][0] else results[name][1]) for name in names])
    return 0 if all(results[name][0] for name in names) else 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--inside", nargs="+")
    parser.add_argument("--all", action="store_true")
    parser.add_argument("--only", nargs="*")
    parser.add_argument("--xml")
    parser.add_argument("-j", "--jobs", type=int, default=max(2, min(4, 2 * (os.cpu_count() or 1))),
                        help="rigs run at the same time (default: twice the cores, 2 to 4)")
    args = parser.parse_args()
    if args.inside:
        return run_inside(args.inside)
    names = args.only or list(SCENARIOS)
    return run_all(names, args.xml, max(1, args.jobs))


if __name__ == "__main__":
    sys.exit(main())
