#!/usr/bin/python3
"""An RFC 3161 time-stamping authority for signing tests: `openssl ts -reply` behind HTTP.

    tsa_server.py PKI_DIR PORT_FILE

Listens on 127.0.0.1 (an ephemeral port, written to PORT_FILE once it listens) and answers each
POST of an `application/timestamp-query` with a reply signed by PKI_DIR/codesign/timestamp.pem
(from make-pki), its chain up to the code-signing root included. Ends when its parent does. Its
scratch files (openssl's serial, query and reply) live beside PORT_FILE, in the caller's temporary
directory: the server is ended by a signal or by os._exit, so nothing of its own would remove them.
"""
import http.server
import os
import subprocess
import sys
import tempfile
import threading
import time

PKI, PORT_FILE = sys.argv[1:3]
WORK = tempfile.mkdtemp(prefix="tsa.", dir=os.path.dirname(os.path.abspath(PORT_FILE)))
CONFIG = os.path.join(WORK, "tsa.cnf")
with open(os.path.join(WORK, "serial"), "w") as serial:
    serial.write("01\n")
# ESSCertIDv2 (SHA-256) names the signer: clients that insist on it refuse the SHA-1 form.
with open(CONFIG, "w") as cnf:
    cnf.write(f"""[tsa]
default_tsa = rig
[rig]
dir = {WORK}
serial = $dir/serial
signer_cert = {PKI}/codesign/timestamp.pem
certs = {PKI}/codesign/root.pem
signer_key = {PKI}/codesign/timestamp.key
signer_digest = sha256
default_policy = 1.3.6.1.4.1.55555.1.1
digests = sha256, sha384, sha512
accuracy = secs:1
ordering = no
tsa_name = no
ess_cert_id_chain = no
ess_cert_id_alg = sha256
""")


class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        query_file = os.path.join(WORK, "query.tsq")
        reply_file = os.path.join(WORK, "reply.tsr")
        with open(query_file, "wb") as out:
            out.write(query)
        made = subprocess.run(["openssl", "ts", "-reply", "-config", CONFIG, "-queryfile", query_file,
                               "-out", reply_file], capture_output=True)
        if made.returncode != 0:
            self.log_message("openssl ts -reply failed: %s", made.stderr.decode(errors="replace").strip())
            self.send_error(400)
            return
        with open(reply_file, "rb") as reply:
            body = reply.read()
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


def watch_parent(parent):
    while os.getppid() == parent:
        time.sleep(0.5)
    os._exit(0)


def main():
    threading.Thread(target=watch_parent, args=(os.getppid(),), daemon=True).start()
    # One request at a time: openssl's serial file has no lock of its own.
    server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
    with open(PORT_FILE + ".writing", "w") as out:
        out.write(str(server.server_address[1]))
    os.replace(PORT_FILE + ".writing", PORT_FILE)
    server.serve_forever()


if __name__ == "__main__":
    main()
