"""BrimoraInstaller.exe under Wine and its window as a user meets it, through ui_driver.exe: the
texts the window shows, starting the installer, reading the window and clicking its buttons. Used
inside the test rig by the e2e scenarios and by scripts/demo.
"""
import contextlib
import json
import os
import subprocess
import sys
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "rig"))
from control import WINE64, Failed, check, run, wait_for  # noqa: E402

BUILD = os.path.join(ROOT, "build", "windows")
# What users download: the release exe signed by the rig's "BRIMORA K.K." leaf (tests/rig).
EXE = os.path.join(BUILD, "rig", "fixtures", "BrimoraInstaller-signed.exe")
DRIVER = os.path.join(BUILD, "tests", "e2e", "ui_driver.exe")

EN = {
    "stopping": "Stopping safely…",
    "retry": "Retry",
    "cancel": "Cancel",
    "fatal_state": "Installation data could not be saved. Check available disk space and permissions.",
    "fatal_window": "The installer window could not be opened.",
    "failure_network": "The latest version could not be checked. Check your connection and retry.",
    "failure_release_info": "The release information could not be verified safely. Please retry later.",
    "failure_download": "Brimora could not be downloaded. Check your connection and retry.",
    "failure_disk_space": "There is not enough free space to install Brimora. Free some space and retry.",
    "failure_integrity": "The downloaded file failed integrity verification. Please retry.",
    "failure_publisher": "The Brimora publisher could not be verified, so installation was stopped.",
    "failure_install": "Brimora could not be installed. Please retry.",
    "failure_cancelled": "Installation was cancelled. Select Retry to start again.",
    "failure_launch": "The installed Brimora app could not be opened.",
    "checking": "Checking the latest version…",
    "downloading": "Downloading the latest Brimora…",
    "installing": "Installing Brimora…",
}
JA = {
    "retry": "再試行",
    "cancel": "キャンセル",
    "failure_network": "最新版を確認できませんでした。接続を確認して再試行してください。",
    "downloading": "最新版のBrimoraをダウンロードしています…",
    "installing": "Brimoraをインストールしています…",
}


class Installer:
    started = []  # every one this process started, for killing what a failed scenario left

    def __init__(self, env_extra=None, windows_env=None, exe=EXE):
        # A Windows variable goes through the driver, which sets it in the Windows environment itself.
        command = [WINE64, exe] if windows_env is None else [WINE64, DRIVER, "run-with", windows_env, exe]
        self.process = subprocess.Popen(command, env={**os.environ, **(env_extra or {})}, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        Installer.started.append(self)

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


def driver(*args):
    return last_json(run(WINE64, DRIVER, *args, text=False).stdout)


def last_json(out):
    """The driver's answer: the last line of its output that is a JSON object ({} when none)."""
    lines = [line for line in out.decode("utf-8", "replace").splitlines() if line.startswith("{")]
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
        # A window that never showed may have given way to the fatal error box.
        box = "" if last.get("found") else f"; error box {driver('message-box')}"
        raise Failed(f"{failure}; last window state {last}{box}") from None


def click(name):
    """Clicks like a user; returns the status text right after the click was handled."""
    result = driver("click", name)
    check(result.get("clicked", name == "close"), f"{name} clicked")
    return result.get("status_after")


def wait_gone(installer, timeout=120, after_failure=False):
    """The exit code once the installer ended and its window is gone. Unless the window is being
    closed after a failure, a window offering Retry fails the wait: a failed attempt keeps it open
    for the user, so the process would never end by itself. The window is read every 3 s (each
    reading starts a Wine process); the end is seen at once."""
    deadline = time.monotonic() + timeout
    while installer.process.poll() is None:
        state = window()
        if not after_failure and (state.get("retry") or {}).get("visible"):
            raise Failed(f"the attempt failed: {state['status']!r}")
        if time.monotonic() > deadline:
            installer.kill()
            raise Failed(f"the installer did not end within {timeout} s; last window state {state}")
        with contextlib.suppress(subprocess.TimeoutExpired):
            installer.process.wait(timeout=3.0)
    check(not window().get("found"), "the window is gone")
    return installer.process.returncode
