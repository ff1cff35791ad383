#!/usr/bin/python3
"""One demonstration run of BrimoraInstaller.exe, already inside the test rig (run by scripts/demo).

    demo_inside.py LANG OUTDIR      LANG = en | ja; screenshots go to OUTDIR/LANG-N-WHAT.png

The rig's feed is nginx, slowed down by the runner (--feed nginx --feed-rate) so the download can
be watched. A signed sample release is published without its manifest, so nginx answers 404 and
the failure window (with Retry) can be seen; then latest.yml is published and Retry clicked. The installer runs on a Wine virtual desktop of the X display named by DISPLAY; every
screenshot is taken between two readings of the window that both show the moment it is named
after. Prints what the event service received and the outcome; exits 1 when a step failed.
"""
import json
import os
import sys

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path[:0] = [os.path.join(ROOT, "tests", "rig"), os.path.join(ROOT, "tests", "e2e")]
import control as rig  # noqa: E402
import installer_ui as ui  # noqa: E402

DESKTOP = "Shot"
DESKTOP_WIDTH, DESKTOP_HEIGHT = 800, 400
INSTALLER_DELAY_MS = 4000

TEXTS = {"en": ui.EN, "ja": ui.JA}


def use_virtual_desktop():
    """Puts the installer and the window driver on one virtual desktop.

    Wine looks a program's desktop up under AppDefaults when it starts, so the installer is
    started directly (its exit code stays visible) and the driver's FindWindow searches the same
    desktop; a desktop named in HKCU\\Software\\Wine\\Explorer\\Desktops is a virtual one of
    that size, drawn by explorer.exe as one X window.
    """
    lines = ["Windows Registry Editor Version 5.00", "",
             r"[HKEY_CURRENT_USER\Software\Wine\Explorer\Desktops]",
             f'"{DESKTOP}"="{DESKTOP_WIDTH}x{DESKTOP_HEIGHT}"', ""]
    # By file name: the installer run is the signed copy users download (BrimoraInstaller-signed.exe).
    for program in (os.path.basename(ui.EXE), os.path.basename(ui.DRIVER)):
        lines += [rf"[HKEY_CURRENT_USER\Software\Wine\AppDefaults\{program}\Explorer]", f'"Desktop"="{DESKTOP}"', ""]
    path = os.path.join(os.environ["TMPDIR"], "virtual-desktop.reg")
    with open(path, "w", encoding="ascii", newline="\r\n") as f:
        f.write("\n".join(lines))
    result = rig.run(rig.WINE64, "reg", "import", rig.wine_path(path))
    rig.check(result.returncode == 0, f"reg import of the virtual desktop settings exited {result.returncode}")


def capture(path):
    # The virtual desktop is the X server's only top-level window and sits at its origin.
    result = rig.run("import", "-window", "root", "-crop", f"{DESKTOP_WIDTH}x{DESKTOP_HEIGHT}+0+0", "+repage", path)
    rig.check(result.returncode == 0 and os.path.getsize(path) > 0, f"import failed: {result.stderr.strip()}")


def button(state, name):
    """A button's reading; empty when the window had none (one being destroyed loses its
    buttons before itself)."""
    return state.get(name) or {}


def shown(path):
    return os.path.relpath(path, ROOT) if path.startswith(ROOT + os.sep) else path


def shoot(path, wanted, what, timeout=90):
    """Waits until the window shows `what`, captures the screen, and keeps the picture only if
    the window still shows it afterwards (so the picture cannot be of the moment before or after)."""
    before = ui.wait_window(wanted, what, timeout)
    capture(path)
    after = ui.window()
    if not (after.get("found") and wanted(after)):
        os.remove(path)
        raise rig.Failed(f"the window moved on while {what} was captured: before {before}, after {after}")
    print(f"  screenshot {shown(path)}: {what} (status {after['status']!r}, bar {before['bar']}"
          f"..{after['bar']})")
    return after


def report(code):
    names, records = rig.event_records()
    print(f"  events received by events.brimora.app ({len(records)}, in arrival order):")
    for file_name, record in zip(names, records):
        body = json.loads(record["body"])
        # The installer delivers each event on its own thread, so arrival order need not be the order of occurrence.
        print(f"    {file_name}  eventType={body.get('eventType')}  appVersion={body.get('appVersion', '-')}  "
              f"reasonCode={body.get('reasonCode', '-')}  locale={body.get('locale', '-')}  "
              f"occurredAt={body.get('occurredAt', '-')}")
    marks = rig.start_marks()
    print(f"  BrimoraInstaller.exe exit code: {'none (ended by the demo)' if code is None else code}")
    print(f"  installed test app started: {'yes' if marks else 'no'} ({len(marks)} line(s) in "
          r"%LOCALAPPDATA%\brimora-started.txt)")
    for mark in marks:
        pid, module = (mark.split("\t") + ["", ""])[:2]
        print(f"    pid {pid}: {module}")
    return records, marks


def run(lang, out_dir):
    texts = TEXTS[lang]

    def shot(n, what):
        return os.path.join(out_dir, f"{lang}-{n}-{what}.png")

    use_virtual_desktop()
    rig.check(os.environ.get("BRIMORA_RIG_FEED") == "nginx", "the demo's feed is nginx (run-in-namespace --feed nginx)")
    payload = rig.fixture("installer-signed.exe")
    rig.put_feed(rig.PAYLOAD_NAME, payload)
    print(f"  release {rig.VERSION}: {rig.PAYLOAD_NAME}, {len(payload)} bytes, signed by the rig's BRIMORA K.K. "
          "leaf, served by nginx; latest.yml not yet published, so the first attempt meets nginx's 404")

    installer = ui.Installer({"BRIMORA_TEST_INSTALLER_DELAY_MS": str(INSTALLER_DELAY_MS)})
    code = None
    failure = None
    try:
        shoot(shot(1, "failed-retry"),
              lambda w: (w.get("status") == texts["failure_network"] and button(w, "retry").get("enabled")
                         and button(w, "retry").get("text") == texts["retry"]),
              "the failed first attempt offering Retry", 60)

        rig.put_feed("latest.yml", rig.manifest_for(payload))
        ui.click("retry")
        print(f"  latest.yml published, Retry clicked; nginx sends at {os.environ.get('DEMO_FEED_RATE', '?')} bytes/s")

        shoot(shot(2, "downloading"),
              lambda w: w.get("status") == texts["downloading"] and 25 <= (w.get("bar") or 0) <= 60,
              "the download in progress")
        state = shoot(shot(3, "installing"), lambda w: w.get("status") == texts["installing"],
                      "the downloaded installer running (Cancel disabled)")
        rig.check(button(state, "cancel").get("enabled") is False, f"Cancel is disabled while installing: {state}")

        code = ui.wait_gone(installer)
        capture(shot(4, "finished"))
        print(f"  screenshot {shown(shot(4, 'finished'))}: the desktop after the window closed itself")
    except rig.Failed as caught:
        failure = caught
    finally:
        installer.kill()

    records, marks = report(code)
    if failure is not None:
        raise failure
    rig.check(code == 0, f"exit code {code}")
    rig.check(records, "no event reached the event service")
    rig.check(marks, "the installed app was not started")


def main():
    lang, out_dir = sys.argv[1], sys.argv[2]
    try:
        run(lang, out_dir)
    except rig.Failed as failure:
        print(f"  FAILED: {failure}")
        return 1
    finally:
        rig.run("wineserver", "-k")
    return 0


if __name__ == "__main__":
    sys.exit(main())
