#!/usr/bin/python3
"""check_release.py XML_REPORT: scripts/release builds the exe again in a folder of its own and must
give the windows tree's bytes; it signs through a SoftHSM2 token made here, with a timestamp from
the rig's authority; what it refuses leaves OUT_DIR as it was."""
import hashlib
import os
import re
import subprocess
import sys
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path[:0] = [os.path.join(ROOT, "scripts", "lib"), os.path.join(ROOT, "tests", "rig")]
from control import check, check_eq, read, run, run_case, wait_for, write_control  # noqa: E402
from summarize import write_report  # noqa: E402

RELEASE = os.path.join(ROOT, "scripts", "release")
TREE_EXE = os.path.join(ROOT, "build", "windows", "BrimoraInstaller.exe")
PKI = os.path.join(ROOT, "build", "windows", "rig", "pki")
CODESIGN = os.path.join(PKI, "codesign")
PIN = "240611"
TOKEN_KEY = f"pkcs11:token=brimora-release;object=brimora-signing;type=private;pin-value={PIN}"


def sha256(path):
    return hashlib.sha256(read(path)).hexdigest()


def make_token(work):
    """A SoftHSM2 token holding the "BRIMORA K.K." leaf's key; returns the environment that finds it."""
    tokens = os.path.join(work, "tokens")
    os.makedirs(tokens)
    conf = os.path.join(work, "softhsm2.conf")
    write_control(conf, f"directories.tokendir = {tokens}\nobjectstore.backend = file\nlog.level = ERROR\n")
    env = dict(os.environ, SOFTHSM2_CONF=conf)
    pkcs8 = os.path.join(work, "leaf.p8")
    steps = [
        ["softhsm2-util", "--init-token", "--free", "--label", "brimora-release", "--pin", PIN, "--so-pin", "12345678"],
        ["openssl", "pkcs8", "-topk8", "-nocrypt", "-in", os.path.join(CODESIGN, "brimora.key"), "-out", pkcs8],
        ["softhsm2-util", "--import", pkcs8, "--token", "brimora-release", "--label", "brimora-signing",
         "--id", "01", "--pin", PIN],
    ]
    for step in steps:
        done = run(*step, env=env)
        check(done.returncode == 0, f"{step[0]} {step[1]} failed: {done.stderr.strip()}")
    os.remove(pkcs8)  # from here on the key exists only inside the token
    return env


def start_tsa(work):
    port_file = os.path.join(work, "tsa-port")
    server = subprocess.Popen([sys.executable, os.path.join(ROOT, "tests", "rig", "tsa_server.py"), PKI, port_file],
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=open(os.path.join(work, "tsa.log"), "w"))
    wait_for(lambda: os.path.exists(port_file), "the time-stamping authority to listen", 20)
    return server, f"http://127.0.0.1:{read(port_file).decode().strip()}/"


def signing(key, tsa, chain="brimora-chain.pem"):
    return ["--sign-cert", os.path.join(CODESIGN, chain), "--sign-key", key, "--timestamp", tsa,
            "--trust", os.path.join(CODESIGN, "root.pem")]


def signed_release(out, env, tsa):
    """Signed on the token with a timestamp; without its signature, the windows tree's bytes."""
    started = time.monotonic()
    done = run(RELEASE, out, *signing(TOKEN_KEY, tsa), "--crl", os.path.join(CODESIGN, "root.crl"), env=env)
    print(f"{done.stdout}{done.stderr}scripts/release took {time.monotonic() - started:.0f} s")
    check_eq(done.returncode, 0, "scripts/release exit status")
    check(re.search(r"^signature: accepted: .*; RFC 3161 timestamp$", done.stdout, re.M),
          "scripts/release reports the installers' verdict on a timestamped signature")
    rebuilt = re.search(r"^Binary-SHA256: (\w+)$", read(os.path.join(out, "BrimoraInstaller.buildinfo")).decode(),
                        re.M).group(1)
    print(f"windows tree build: {sha256(TREE_EXE)}\nrelease build:      {rebuilt}")
    check_eq(rebuilt, sha256(TREE_EXE), "the release build's SHA-256 against the windows tree's")
    shipped, bare = os.path.join(out, "BrimoraInstaller.exe"), os.path.join(out, "..", "signature-removed.exe")
    run("osslsigncode", "remove-signature", "-in", shipped, "-out", bare)
    check_eq(sha256(bare), sha256(TREE_EXE), "the shipped exe without its signature")
    root = os.path.join(CODESIGN, "root.pem")
    verified = run("osslsigncode", "verify", "-CAfile", root, "-TSA-CAfile", root, "-in", shipped).stdout
    print(verified)
    for want in ("Subject: /CN=BRIMORA K.K.", "Timestamp Server Signature verification: ok", "Succeeded"):
        check(want in verified, f"osslsigncode verify shows {want!r}")


# Each refusal: the arguments after the script's name (given OUT_DIR, the token's key and the time-
# stamping authority), the exit status, and what its one line must name. OUT_DIR holds an earlier
# release, which must survive untouched, with nothing beside it.
REFUSALS = [
    ("wrong_pin", lambda out, key, tsa: [out, *signing(key.replace(PIN, "000000"), tsa)], 1, "PIN incorrect"),
    ("unreachable_timestamp_server", lambda out, key, tsa: [out, *signing(key, "http://127.0.0.1:9/")], 1,
     "timestamp server http://127.0.0.1:9/"),
    ("key_of_another_certificate",
     lambda out, key, tsa: [out, *signing(os.path.join(CODESIGN, "wrong-case.key"), tsa)], 1,
     "does not belong to the first certificate"),
    ("missing_chain_file", lambda out, key, tsa: [out, *signing(key, tsa, chain="absent-chain.pem")], 2,
     "absent-chain.pem: cannot be read"),
    ("out_dir_under_a_file", lambda out, key, tsa: [os.path.join(out, "BrimoraInstaller.exe", "out")], 2,
     "/BrimoraInstaller.exe/out: cannot be created"),
]


def refusal(work, env, tsa, name, args, status, named):
    out = os.path.join(work, name)
    os.makedirs(out)
    earlier = os.path.join(out, "BrimoraInstaller.exe")
    write_control(earlier, b"an earlier release")
    done = run(RELEASE, *args(out, TOKEN_KEY, tsa), env=env)
    lines = done.stderr.strip().splitlines()
    check_eq(done.returncode, status, f"{name}: exit status (stderr {done.stderr.strip()!r})")
    check(len(lines) == 1 and named in lines[0], f"{name}: one line naming {named!r}, got {lines}")
    check(not re.search(r"pin-value=(?!\(hidden\))", done.stdout + done.stderr), f"{name}: a PIN was printed")
    check_eq(sorted(os.listdir(out)), ["BrimoraInstaller.exe"], f"{name}: what OUT_DIR holds")
    check_eq(read(earlier), b"an earlier release", f"{name}: the earlier release")
    print(f"{name}: exit {done.returncode}: {lines[0]}")


def main():
    report = sys.argv[1]
    subprocess.run([os.path.join(ROOT, "tests", "rig", "make-pki"), PKI], check=True)
    with tempfile.TemporaryDirectory(prefix="brimora-release-check.") as work:
        env = make_token(work)
        server, tsa = start_tsa(work)
        try:
            tests = [(n, lambda n=n, e=e, s=s, w=w: refusal(work, env, tsa, n, e, s, w)) for n, e, s, w in REFUSALS]
            tests.append(("signed_on_a_token_is_the_rebuildable_exe",
                          lambda: signed_release(os.path.join(work, "out", "release"), env, tsa)))
            cases = [("release", name, run_case(name, test)) for name, test in tests]
        finally:
            server.terminate()
            server.wait()
    write_report(report, cases)
    return 0 if all(failure is None for _, _, failure in cases) else 1


if __name__ == "__main__":
    sys.exit(main())
