#!/usr/bin/python3
"""scripts/bench's body: every figure of the installer beside its floor, in one run.

    bench.py [--runs N] [--start-runs N] [--big-mib N]     from outside: runs itself in a rig
    bench.py --inside ...                                   already inside the rig

Prints a table and writes build/bench/bench.json. Times are medians over repeated runs; each of
ours is shown with the bare program doing the same work under the same Wine, and the ratio.
"""
import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.path.join(ROOT, "build", "windows")
OUT = os.path.join(ROOT, "build", "bench")
EXE = os.path.join(BUILD, "BrimoraInstaller.exe")
PROBE = os.path.join(BUILD, "tests", "bench", "bench_probe.exe")
BARE_WINDOW = os.path.join(BUILD, "tests", "bench", "bench_bare_window.exe")
RUNNER = os.path.join(ROOT, "tests", "rig", "run-in-namespace")
WINE64 = "/usr/lib/wine/wine64"
sys.path.insert(0, os.path.join(ROOT, "scripts", "lib"))
sys.path.insert(0, os.path.join(ROOT, "tests", "rig"))
import control as rig  # noqa: E402
import linkmap  # noqa: E402

FEED_HOST = "downloads.brimora.app"
FEED_PATH = "/brimora-desktop-releases/production/win32-x64/"
INSTALLER_ARGS = "/S /currentuser --force-run"
MIB = 1024 * 1024

# Where each phase of an install begins: the status text the pipeline shows as it enters the
# phase, or a file that appears at that moment (the cache's final name once the download is
# renamed into place; the app's start mark). A phase lasts until the next one begins; the last
# ends when the app has started.
PHASES = [("manifest", "checking_latest"), ("download", "downloading"), ("size_and_hash", "final"),
          ("publisher_check", "verifying_publisher"), ("installer_run", "installing"),
          ("app_launch", "opening_installed")]


def english_texts():
    """The installer's English texts, read from the library's table."""
    with open(os.path.join(ROOT, "src", "bootstrapper", "texts.cpp"), encoding="utf-8") as f:
        source = f.read()
    table = source[source.index("const UiText EN{"):]
    table = table[:table.index("};")]
    return dict(re.findall(r'\.(\w+) = "([^"]*)"', table))


def win_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def probe(*args):
    out = subprocess.run([WINE64, PROBE, *args], capture_output=True, stdin=subprocess.DEVNULL, text=True)
    lines = [line for line in out.stdout.splitlines() if line.startswith("{")]
    if not lines:
        raise RuntimeError(f"bench_probe {args[0]} printed nothing (exit {out.returncode}): {out.stderr[-300:]}")
    result = json.loads(lines[-1])
    if "error" in result:
        raise RuntimeError(f"bench_probe {args[0]}: {result}")
    return result


def timed(command):
    start = time.monotonic()
    subprocess.run(command, check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    return (time.monotonic() - start) * 1000


def median(values):
    return statistics.median(values) if values else None


def ratio(ours, floor):
    return round(ours / floor, 3) if ours is not None and floor else None


# ---- size ----

def size_figures():
    figures = {"exe_bytes": os.path.getsize(EXE), "limit_bytes": 262144}
    map_file = os.path.join(BUILD, "BrimoraInstaller.map")
    if os.path.exists(map_file):
        with open(map_file, encoding="utf-8", errors="replace") as f:
            figures["components"] = linkmap.breakdown(f.read())[0]
    return figures


# ---- the signed payloads ----

def signed_payload(mib):
    """The rig's test installer grown to MIB MiB (data appended after its image) and signed."""
    fixtures = os.environ["BRIMORA_RIG_FIXTURES"]
    pki = os.environ["BRIMORA_RIG_PKI"]
    source = os.path.join(fixtures, "installer-unsigned.exe")
    out = os.path.join(OUT, f"payload-{mib}mib.exe")
    if os.path.exists(out) and os.path.getmtime(out) > os.path.getmtime(source):
        return out
    grown = out + ".unsigned"
    with open(source, "rb") as f:
        image = f.read()
    with open(grown, "wb") as f:
        f.write(image)
        block = os.urandom(MIB)
        left = mib * MIB - len(image) - 16384  # leaves room for the signature
        while left > 0:
            f.write(block[:min(left, MIB)])
            left -= MIB
    subprocess.run(["osslsigncode", "sign", "-certs", os.path.join(pki, "codesign", "brimora-chain.pem"),
                    "-key", os.path.join(pki, "codesign", "brimora.key"), "-h", "sha256",
                    "-in", grown, "-out", out + ".tmp"], check=True, stdout=subprocess.DEVNULL)
    os.replace(out + ".tmp", out)
    os.remove(grown)
    return out


# ---- runs inside the rig ----

def forget_install():
    """Back to a user without Brimora (the acquisition state stays, as for a returning user)."""
    shutil.rmtree(os.path.join(rig.local_app_data(), "Programs"), ignore_errors=True)
    shutil.rmtree(os.path.join(rig.local_app_data(), "Brimora", "InstallerCache"), ignore_errors=True)
    subprocess.run([WINE64, "reg", "delete", rig.INSTALL_KEY, "/f"], stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        os.remove(os.path.join(rig.local_app_data(), "brimora-started.txt"))
    except FileNotFoundError:
        pass
    # Nothing another run wrote may still be waiting for the disk: curl leaves its copy of the
    # payload unflushed, and the kernel wrote it back during the next run, always ours.
    os.sync()


def phases_of(watched, texts):
    final_seen, started_seen = (t if t >= 0 else None for t in watched["files"])
    marks, after = [], 0.0
    for name, begin in PHASES:
        if begin == "final":
            at = final_seen
        else:
            at = next((t for t, text in watched["texts"] if t >= after and text == texts[begin]), None)
        marks.append((name, at))
        after = at if at is not None else after
    marks.append(("end", started_seen))
    return {name: (marks[i + 1][1] - begin if begin is not None and marks[i + 1][1] is not None else None)
            for i, (name, begin) in enumerate(marks[:-1])}


def install_figures(mib, runs):
    payload = signed_payload(mib)
    with open(payload, "rb") as f:
        data = f.read()
    rig.feed_mode({})
    rig.publish(data)
    del data
    ours, bare, native, peaks = [], [], [], []
    texts = english_texts()
    # Beside the installer's cache, on the same file system, so the bare programs and the native
    # tools write and read where the installer does.
    scratch = os.path.join(rig.local_app_data(), "bench-scratch.exe")
    for _ in range(runs):
        forget_install()
        marks = [win_path(os.path.join(rig.cache_dir(), rig.PAYLOAD_NAME)),
                 win_path(os.path.join(rig.local_app_data(), "brimora-started.txt"))]
        watched = probe("watch", win_path(EXE), "0", *marks)
        if watched["exit"] != 0:
            raise RuntimeError(f"the {mib} MiB install failed: {watched}")
        rig.wait_for(rig.start_marks, "the installed app's start mark", 20)
        ours.append(dict(phases_of(watched, texts), total=watched["ms"]))
        peaks.append(watched["peak_working_set"])

        forget_install()
        # Watching costs wineserver requests that slow the watched program (about a tenth of the
        # 256 MiB download): the bare phases are timed while the same watcher, asking for the
        # same files, follows a bare window.
        shadow = subprocess.Popen([WINE64, PROBE, "shadow", win_path(BARE_WINDOW), *marks], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, text=True)
        try:
            if (said := shadow.stdout.readline().strip()) != "ready":
                raise RuntimeError(f"the shadow watcher did not start: {said!r}")
            bare_run = probe("bare", FEED_HOST, FEED_PATH + "latest.yml", FEED_PATH + rig.PAYLOAD_NAME,
                             win_path(scratch), INSTALLER_ARGS)
        finally:
            shadow.stdin.close()
            try:
                shadow.wait(30)
            except subprocess.TimeoutExpired:
                shadow.kill()
                shadow.wait()
        if bare_run.pop("bytes") != os.path.getsize(payload):
            raise RuntimeError("the bare fetch got a different number of bytes")
        bare.append(dict(bare_run, total=sum(bare_run.values())))

        url = f"https://{FEED_HOST}{FEED_PATH}{rig.PAYLOAD_NAME}"
        native_download = timed(["curl", "-sSf", "-o", scratch, url])
        native_digest = timed(["openssl", "dgst", "-sha512", scratch])
        native_trust = timed(["osslsigncode", "verify", "-in", scratch, "-CAfile",
                              os.path.join(os.environ["BRIMORA_RIG_PKI"], "codesign", "root.pem")])
        native.append({"download": native_download, "size_and_hash": native_digest, "publisher_check": native_trust,
                       "total": native_download + native_digest + native_trust})
    forget_install()

    def medians(rows):
        keys = rows[0].keys()
        return {k: median([r[k] for r in rows if r[k] is not None]) for k in keys}

    ours_m, bare_m, native_m = medians(ours), medians(bare), medians(native)
    shared = [k for k in bare_m if k != "total"]
    ours_shared = sum(ours_m[k] for k in shared if ours_m.get(k) is not None)
    overhead = ours_shared - bare_m["total"]
    return {"payload_bytes": os.path.getsize(payload), "runs": runs, "ours_ms": ours_m, "bare_ms": bare_m,
            "native_ms": native_m,
            "ratio_to_bare": {k: ratio(ours_m.get(k), bare_m[k]) for k in bare_m},
            "orchestration_overhead_ms": overhead,
            "orchestration_overhead_share": round(overhead / ours_m["total"], 3),
            "peak_working_set_bytes": max(peaks), "ours_runs": ours, "bare_runs": bare}


def start_figures(runs):
    rig.publish(rig.fixture("installer-signed.exe"))
    # The installer's start ends at its window; its attempt then fetches a manifest that 404s, so
    # nothing gets installed between the runs.
    rig.feed_mode({"path": "latest.yml", "status": 404})
    ours, bare = [], []
    for _ in range(runs):
        ours.append(probe("start", win_path(EXE), "BrimoraInstallerV1")["ms"])
        bare.append(probe("start", win_path(BARE_WINDOW), "BrimoraBenchBareWindow")["ms"])
    rig.feed_mode({})
    return {"runs": runs, "ours_ms": median(ours), "bare_ms": median(bare), "ratio": ratio(median(ours), median(bare))}


def resume_figures(mib):
    payload = signed_payload(mib)
    with open(payload, "rb") as f:
        data = f.read()
    rig.publish(data)
    size = len(data)
    del data
    forget_install()
    rate = max(MIB, size // 4)
    rig.feed_mode({"path": rig.PAYLOAD_NAME, "rate": rate})
    # 42 is half of the download's share of the bar (10 to 75).
    first = probe("watch", win_path(EXE), "42")
    partial = os.path.join(rig.cache_dir(), rig.PAYLOAD_NAME + ".partial")
    kept = os.path.getsize(partial) if os.path.exists(partial) else 0
    rig.feed_mode({})
    second = probe("watch", win_path(EXE), "0")
    requests = [r for r in rig.feed_requests() if r["path"].endswith(rig.PAYLOAD_NAME)]
    range_header = rig.header(requests[-1], "Range") or "bytes=0-"
    resumed_from = int(range_header.split("=")[1].split("-")[0])
    forget_install()
    rig.feed_mode({})
    return {"payload_bytes": size, "rate_bytes_per_s": rate, "killed": first["killed"], "kept_bytes": kept,
            "resumed_from": resumed_from, "refetched_bytes": max(0, kept - resumed_from),
            "completed": second["exit"] == 0}


def inside(args):
    figures = {"size": size_figures(), "start": start_figures(args.start_runs)}
    figures["install_16mib"] = install_figures(16, args.runs)
    figures["install_big"] = install_figures(args.big_mib, args.big_runs)
    small, big = figures["install_16mib"], figures["install_big"]
    figures["memory"] = {"peak_16mib": small["peak_working_set_bytes"], "peak_big": big["peak_working_set_bytes"],
                         "difference": big["peak_working_set_bytes"] - small["peak_working_set_bytes"]}
    figures["resume"] = resume_figures(16)
    with open(os.path.join(OUT, "bench.json.inside"), "w") as f:
        json.dump(figures, f, indent=1)


# ---- the table ----

def fmt(value, unit=""):
    if value is None:
        return "-"
    if isinstance(value, float):
        return f"{value:,.1f}{unit}"
    return f"{value:,}{unit}"


def table(figures):
    lines = []
    size = figures["size"]
    lines.append(f"Size: {size['exe_bytes']:,} bytes stripped (limit {size['limit_bytes']:,}, "
                 f"headroom {size['limit_bytes'] - size['exe_bytes']:,})")
    for name, value in sorted(size.get("components", {}).items(), key=lambda kv: -kv[1]):
        lines.append(f"  {name:12} {value:>9,}")
    start = figures["start"]
    lines.append(f"Start to visible window (median of {start['runs']}): ours {fmt(start['ours_ms'], ' ms')}, "
                 f"bare window {fmt(start['bare_ms'], ' ms')}, ratio {fmt(start['ratio'])}")
    for key in ("install_16mib", "install_big"):
        run = figures[key]
        lines.append(f"First install, {run['payload_bytes'] / MIB:.0f} MiB payload (median of {run['runs']}):")
        lines.append(f"  {'phase':16} {'ours ms':>10} {'bare ms':>10} {'ratio':>7} {'native ms':>10}")
        for phase in [p for p, _ in PHASES] + ["total"]:
            lines.append(f"  {phase:16} {fmt(run['ours_ms'].get(phase)):>10} {fmt(run['bare_ms'].get(phase)):>10} "
                         f"{fmt(run['ratio_to_bare'].get(phase)):>7} {fmt(run['native_ms'].get(phase)):>10}")
        lines.append(f"  orchestration overhead: {fmt(run['orchestration_overhead_ms'], ' ms')} "
                     f"({run['orchestration_overhead_share'] * 100:.1f} % of our total)")
    memory = figures["memory"]
    lines.append(f"Peak working set: 16 MiB install {memory['peak_16mib']:,} bytes, big install "
                 f"{memory['peak_big']:,} bytes, difference {memory['difference']:,}")
    resume = figures["resume"]
    lines.append(f"Resume after a kill at half ({resume['payload_bytes']:,} bytes at {resume['rate_bytes_per_s']:,} B/s): "
                 f"{resume['kept_bytes']:,} bytes kept, resumed from {resume['resumed_from']:,}, "
                 f"{resume['refetched_bytes']:,} bytes fetched again beyond what was in flight, "
                 f"completed {resume['completed']}")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--inside", action="store_true")
    parser.add_argument("--runs", type=int, default=15, help="16 MiB installs")
    parser.add_argument("--big-runs", type=int, default=7, help="big installs")
    parser.add_argument("--start-runs", type=int, default=10)
    parser.add_argument("--big-mib", type=int, default=256)
    args = parser.parse_args()
    if args.inside:
        inside(args)
        return 0
    os.makedirs(OUT, exist_ok=True)
    inner = os.path.join(OUT, "bench.json.inside")
    if os.path.exists(inner):
        os.remove(inner)
    forwarded = ["--runs", str(args.runs), "--big-runs", str(args.big_runs), "--start-runs", str(args.start_runs),
                 "--big-mib", str(args.big_mib)]
    status = subprocess.run([RUNNER, "--", sys.executable, os.path.abspath(__file__), "--inside", *forwarded],
                            stdin=subprocess.DEVNULL).returncode
    if status != 0 or not os.path.exists(inner):
        print(f"bench: the run inside the rig failed (exit {status})", file=sys.stderr)
        return 1
    with open(inner) as f:
        figures = json.load(f)
    os.remove(inner)
    figures["taken_at"] = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())
    stamp = time.strftime("%Y%m%dT%H%M%SZ", time.gmtime())
    for name in (f"bench-{stamp}.json", "bench.json"):
        with open(os.path.join(OUT, name), "w") as f:
            json.dump(figures, f, indent=1)
    print(table(figures))
    print(f"(written to {os.path.join(OUT, 'bench.json')})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
