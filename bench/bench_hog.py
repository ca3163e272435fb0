#!/usr/bin/env python3
"""Memory of the server against a panel that sends and never reads.

The panel sends a full refresh (0x91) and then the 192 status requests it
makes pending (0xA8, two-byte status, 524 bytes of reply each), over and
over, 100,000 requests in all, and reads nothing. The server runs as its own
process (offscreen console) in a scratch folder; its resident size is read
from /proc/<pid>/status before and after. Sending stops early when the
server no longer takes bytes for ten seconds (it stops reading a connection
whose replies pile up; the system's buffers then fill).

    bench/bench_hog.py [build folder, default build-bench] [requests, default 100000]
"""
import os
import socket
import struct
import subprocess
import sys
import tempfile
import time

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "build-bench")
total = int(sys.argv[2]) if len(sys.argv) > 2 else 100000


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def main():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    folder = tempfile.mkdtemp(prefix="bench-hog-")
    with open(os.path.join(folder, "WREN.INI"), "wb") as ini:
        ini.write(b"[Network_Settings]\r\nNetwork_Card_1_IP_Address=127.0.0.1\r\n")
        ini.write(b"Network_Card_1_TCP_Port=%d\r\n" % port)
    exe = os.environ.get("MARLIN_BENCH_SERVER") or os.path.join(build, "bin", "marlin-server")
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    server = subprocess.Popen([exe, "--app-dir", folder], env=env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 10
        while True:
            try:
                hog = socket.create_connection(("127.0.0.1", port), timeout=1)
                break
            except OSError:
                if time.monotonic() > deadline:
                    sys.exit("the server did not listen")
                time.sleep(0.1)
        time.sleep(2)
        before = rss_kib(server.pid)
        hog.setblocking(False)
        requests = []
        for i in range(193):
            command = 0x91 if i == 0 else 0xA8
            requests.append(struct.pack(">I", i) + bytes([0xE1, command, 1]))
        cycle = b"".join(requests)
        pending = b""
        sent_requests = 0
        last_progress = time.monotonic()
        while sent_requests < total and time.monotonic() - last_progress < 10:
            if not pending:
                pending = cycle[: 7 * min(193, total - sent_requests)]
            try:
                n = hog.send(pending)
            except BlockingIOError:
                time.sleep(0.01)
                continue
            pending = pending[n:]
            if not pending:
                sent_requests += min(193, total - sent_requests)
            last_progress = time.monotonic()
        time.sleep(2)
        after = rss_kib(server.pid)
        print(f"requests sent by the panel that never reads: {sent_requests} "
              f"({'all' if sent_requests >= total else 'the server stopped taking more'})")
        print(f"server resident size: {before / 1024:.1f} MB before, {after / 1024:.1f} MB after, "
              f"growth {(after - before) / 1024:.1f} MB")
        hog.close()
    finally:
        server.terminate()
        server.wait()


if __name__ == "__main__":
    main()
