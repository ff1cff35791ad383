#!/usr/bin/env python3
"""Runs every libFuzzer target of the fuzz tree and reports each one.

Usage: fuzz_targets.py SECONDS BUILD_DIR SOURCE_DIR WORK_DIR [XML_REPORT]

For each tests/fuzz/<target>.cpp: replays the seed corpus tests/fuzz/<target>/ and fuzzes for
SECONDS from a fresh working corpus under WORK_DIR, with the target's dictionary when there is
one. Two targets run at a time (each is one single-threaded process, so each still gets its
SECONDS of fuzzing on a core of its own on two cores). Prints per target the runs, exec/s, coverage and features, and every crash, timeout, leak or
out-of-memory with its reproducer file. XML_REPORT, when given, gets one test case per target in
the GoogleTest report form that summarize.py counts. Exits non-zero when any target failed.
"""
import concurrent.futures
import glob
import os
import re
import shutil
import subprocess
import sys

from summarize import write_report

# A hostile body of 64 KiB must be decided on little memory: the manifest target runs under a
# 128 MiB RSS limit, against the 683 MiB such a body once took. The bound is coarse on purpose: the
# process starts near 40 MiB (libFuzzer's feature tables, ASan's shadow), and ASan's allocator keeps
# pages of every size class it has used, so over a run the RSS climbs well past what any one input
# holds (an input that peaks at 8 MiB natively was stopped at 73 MiB under a 64 MiB limit). The
# precise bound is the unit table's 16 MiB of heap on the costliest bodies. ASan's quarantine would
# keep freed blocks resident as well, so this target runs without one; nor does LeakSanitizer's
# scan at exit, which alone takes more than 10 MiB after the run has ended (libFuzzer still checks
# every input for leaks as it runs it). Its use-after-free checks come from the long runs and the
# linux-asan tier.
LIMITS = {"manifest": (["-rss_limit_mb=128"], "quarantine_size_mb=0:leak_check_at_exit=0")}
TIMEOUT_SECONDS = 10
PARALLEL_TARGETS = 2
FAILURE = re.compile(r"ERROR: (libFuzzer: [\w-]+|AddressSanitizer: [\w-]+|LeakSanitizer: [\w ]+)|runtime error: .*"
                     r"|property broken: .*")
REPRODUCER = re.compile(r"Test unit written to (\S+)")
STATUS = re.compile(r"cov: (\d+) ft: (\d+) corp: (\d+)")
STAT = re.compile(r"stat::(\w+):\s+(\d+)")


def run_target(target, seconds, build_dir, source_dir, work_dir):
    work = os.path.join(work_dir, target)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(os.path.join(work, "corpus"))
    flags, asan = LIMITS.get(target, ([], ""))
    command = [os.path.join(build_dir, "tests", "fuzz", "fuzz_" + target), f"-max_total_time={seconds}",
               f"-timeout={TIMEOUT_SECONDS}", "-print_final_stats=1", f"-artifact_prefix={work}/", *flags]
    dictionary = os.path.join(source_dir, "tests", "fuzz", target + ".dict")
    if os.path.exists(dictionary):
        command.append(f"-dict={dictionary}")
    command += [os.path.join(work, "corpus"), os.path.join(source_dir, "tests", "fuzz", target)]
    env = dict(os.environ, ASAN_OPTIONS=":".join(filter(None, ["detect_leaks=1", asan])),
               UBSAN_OPTIONS="print_stacktrace=1")
    log_path = os.path.join(work, "log")
    with open(log_path, "w") as log:
        status = subprocess.run(command, stdout=log, stderr=subprocess.STDOUT, env=env).returncode
    text = open(log_path, errors="replace").read()
    stats = dict(STAT.findall(text))
    coverage = STATUS.findall(text)
    cov, ft, corp = coverage[-1] if coverage else ("?", "?", "?")
    problems = sorted(set(m.group(0) for m in FAILURE.finditer(text)))
    reproducers = REPRODUCER.findall(text)
    failed = status != 0 or bool(problems)
    line = (f"{target}: {stats.get('number_of_executed_units', '?')} runs, "
            f"{stats.get('average_exec_per_sec', '?')} exec/s, cov {cov}, ft {ft}, corpus {corp}, "
            f"slowest {stats.get('slowest_unit_time_sec', '?')} s, peak rss {stats.get('peak_rss_mb', '?')} MiB")
    details = []
    if failed:
        details = problems or [f"libFuzzer exited with {status}"]
        details += [f"reproducer: {path}" for path in reproducers]
        details.append(f"log: {log_path}")
    return line, failed, details


def main():
    seconds, build_dir, source_dir, work_dir = sys.argv[1:5]
    xml_report = sys.argv[5] if len(sys.argv) > 5 else None
    targets = sorted(os.path.basename(p)[:-4] for p in glob.glob(os.path.join(source_dir, "tests", "fuzz", "*.cpp")))
    cases = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=PARALLEL_TARGETS) as pool:
        runs = pool.map(lambda target: run_target(target, seconds, build_dir, source_dir, work_dir), targets)
    for target, (line, failed, details) in zip(targets, runs):
        print(("FAILED " if failed else "") + line, flush=True)
        for detail in details:
            print("  " + detail, flush=True)
        cases.append((target, failed, "\n".join(details)))
    if xml_report:
        write_report(xml_report, [("fuzz", target, details if failed else None) for target, failed, details in cases])
    return 1 if any(failed for _, failed, _ in cases) else 0


if __name__ == "__main__":
    sys.exit(main())
