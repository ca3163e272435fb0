#!/usr/bin/env python3
"""CPU share of the server while nothing happens, and with 64 panels each
polling once a second.

A scratch folder gets eight Leitch routers played by marlin-routersim on
pseudo-terminals (COM1..COM8, all answering), the server is started on it
twice, as a service (--no-console) and with its console (offscreen), and
its CPU time is read from /proc/<pid>/stat over a window of at least ten
seconds: first with no panel, then with 64 panels on loopback that each
send a change-flag poll (0xA1) once a second and read the reply.

    bench/bench_idle.py [build folder, default build-bench] [seconds, default 10]
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
window = max(10.0, float(sys.argv[2])) if len(sys.argv) > 2 else 10.0
ticks = os.sysconf("SC_CLK_TCK")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / ticks


def share(pid, seconds, during=None):
    start_cpu, start = cpu_seconds(pid), time.monotonic()
    end = start + seconds
    while time.monotonic() < end:
        if during:
            during()
        else:
            time.sleep(0.2)
    return 100.0 * (cpu_seconds(pid) - start_cpu) / (time.monotonic() - start)


def main():
    for label, arguments in (("no console", ["--no-console"]), ("console, offscreen", [])):
        measure(label, arguments)


def measure(label, arguments):
    folder = tempfile.mkdtemp(prefix="bench-idle-")
    port = free_port()
    with open(os.path.join(folder, "WREN.INI"), "wb") as ini:
        ini.write(b"[Network_Settings]\r\nNetwork_Card_1_IP_Address=127.0.0.1\r\n")
        ini.write(b"Network_Card_1_TCP_Port=%d\r\n" % port)
        for n in range(1, 9):
            ini.write(b"[Com_Port_%d]\r\nPort_Enable=1\r\nID_Number=%d\r\nProtocol=1\r\n" % (n, n))
    sim_args = [os.path.join(build, "bin", "marlin-routersim")]
    for n in range(1, 9):
        sim_args += ["--router", f"leitch:pty:{folder}/COM{n}"]
    sim = subprocess.Popen(sim_args, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 5
    while not all(os.path.islink(f"{folder}/COM{n}") for n in range(1, 9)):
        if time.monotonic() > deadline:
            sys.exit("the router simulator did not make its links")
        time.sleep(0.05)
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    # MARLIN_BENCH_SERVER names another build to measure, an older one say.
    exe = os.environ.get("MARLIN_BENCH_SERVER") or os.path.join(build, "bin", "marlin-server")
    server = subprocess.Popen([exe, "--app-dir", folder] + arguments, env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    panels = []
    try:
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                if time.monotonic() > deadline:
                    sys.exit("the server did not listen")
                time.sleep(0.1)
        time.sleep(3)  # startup requests answered, links up
        idle = share(server.pid, window)

        for i in range(64):
            s = socket.create_connection(("127.0.0.1", port))
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            s.settimeout(2)
            panels.append([s, i << 20, time.monotonic() + i / 64.0])
        answered = [0]

        def poll():
            now = time.monotonic()
            for p in panels:
                if now >= p[2]:
                    p[1] += 1
                    p[0].sendall(struct.pack(">I", p[1]) + b"\xe1\xa1\x01")
                    reply = b""
                    while len(reply) < 15:
                        reply += p[0].recv(64)
                    answered[0] += 1
                    p[2] += 1.0
            time.sleep(0.005)

        loaded = share(server.pid, window, poll)
        print(f"{label}: eight serial routers answering, no panels:  {idle:.2f}% of a core over {window:.0f} s")
        print(f"{label}: the same with 64 panels polling once a second: {loaded:.2f}% of a core "
              f"({answered[0]} polls answered)")
    finally:
        for p in panels:
            p[0].close()
        server.terminate()
        sim.terminate()
        server.wait()
        sim.wait()


if __name__ == "__main__":
    main()
