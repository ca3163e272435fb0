#!/usr/bin/env python3
"""Drives one soak run of a running Marlin Server and checks what it did.

scripts/soak starts the server (no console) and the router simulator with
eight routers, then runs this driver, which:

  * keeps 60 panels polling the change flags and fetching every pending
    status block, one request outstanding each, for the whole run;
  * makes one take per router every 2 s, each with its own destination and
    source pair and its own comment, numbers every language can carry;
  * flaps one router (the Leitch one on a serial line: silent for 20 s every
    2 minutes, so it is lost and restored) and lets another spew garbage the
    whole time;
  * opens bursts of 100 connections that send nothing and close;
  * samples the server's resident memory every 5 s.

At the end it checks that every take reached its router's wire (a serial
router exactly once, a network router once plus at most the four re-sends)
and is in the switch log once, that what the panels read equals what the
simulated routers hold on the destinations the takes switched, that every panel request was answered, and that the
memory grew less than the limit after the first minute. It prints a summary
table and exits 1 when a check fails.
"""

import argparse
import asyncio
import glob
import os
import random
import re
import struct
import sys
import time

CLASS = 0xE1
POLL, FULL_REFRESH, TAKE, STATUS_TWO_BYTE = 0xA1, 0x91, 0xA5, 0xA8
REQUEST_TIMEOUT_S = 10.0
# Takes switch destinations 1..16 with sources 1..32.
SWITCHED_DESTINATIONS = 16


def reply_length(body_start):
    """Length of a reply body from its first bytes, None while unknown."""
    if len(body_start) < 1:
        return None
    first = body_start[0]
    if first == 0x10:
        return 3
    if first == 0x11:
        return 2
    if first == 0xFF:
        if len(body_start) < 2:
            return None
        return {0xA1: 11, 0xA6: 264, 0xA7: 264, 0xA9: 264, 0xA8: 520}.get(body_start[1], -1)
    return -1


class Stats:
    def __init__(self):
        self.requests = 0
        self.answered = 0
        self.unanswered = 0
        self.protocol_errors = 0
        self.connect_failures = 0
        self.bursts = 0
        self.burst_connections = 0
        self.burst_failures = 0
        self.takes_sent = 0
        self.take_failures = 0
        self.worst_ms = 0.0


class PanelConnection:
    """One panel: a TCP connection with one request outstanding at a time."""

    def __init__(self, host, port, stats, seed):
        self.host, self.port, self.stats = host, port, stats
        self.sequence = seed * 1_000_000
        self.reader = self.writer = None
        self.blocks = {}  # router -> list of 256 sources, as last read

    async def open(self):
        self.reader, self.writer = await asyncio.open_connection(self.host, self.port)

    def close(self):
        if self.writer:
            self.writer.close()

    async def ask(self, command, router=0, payload=b""):
        self.sequence += 1
        request = struct.pack(">I", self.sequence) + bytes([CLASS, command, router]) + payload
        started = time.monotonic()
        self.stats.requests += 1
        self.writer.write(request)
        try:
            head = await asyncio.wait_for(self.reader.readexactly(6), REQUEST_TIMEOUT_S)
            length = reply_length(head[4:6])
            if length is None or length < 0:
                self.stats.protocol_errors += 1
                raise ConnectionError("reply of unknown kind %s" % head.hex())
            rest = await asyncio.wait_for(self.reader.readexactly(length - 2), REQUEST_TIMEOUT_S)
        except asyncio.TimeoutError:
            self.stats.unanswered += 1
            raise
        if struct.unpack(">I", head[:4])[0] != self.sequence:
            self.stats.protocol_errors += 1
        self.stats.answered += 1
        self.stats.worst_ms = max(self.stats.worst_ms, (time.monotonic() - started) * 1000)
        return head[4:] + rest

    async def drain(self):
        """Fetches status blocks until the server says nothing is pending."""
        for _ in range(400):
            body = await self.ask(STATUS_TWO_BYTE)
            if body[0] == 0x10:
                return
            if body[0] == 0xFF and body[1] == 0xA8:
                router = body[2]
                entries = body[3 + 5:]
                self.blocks[router] = [entries[2 * i] * 256 + entries[2 * i + 1] for i in range(256)]


async def panel_loop(panel, stop, interval):
    await panel.open()
    await panel.ask(FULL_REFRESH)
    await panel.drain()
    while not stop.is_set():
        flags = await panel.ask(POLL)
        if flags[0] == 0xFF and flags[3] == 1:
            await panel.drain()
        await asyncio.sleep(interval)


def take_payload(source, destination, comment):
    text = "C " + "1" * 8 + "%04d%04d" % (source, destination) + " " * 16 + comment
    return text.encode("ascii")


class Soak:
    def __init__(self, args):
        self.args = args
        self.stats = Stats()
        self.takes = []  # (router, destination, source, comment)
        self.rss = []  # (seconds since start, kB)
        self.flaps = 0
        self.control = open(args.control, "w", buffering=1)

    def tell_simulator(self, line):
        self.control.write(line + "\n")

    async def take_loop(self, stop):
        # Each router gets its own sequence of destination and source pairs,
        # so every take can be found on the wire by its numbers alone.
        pairs = [(d, s) for s in range(1, 33) for d in range(1, SWITCHED_DESTINATIONS + 1)]
        random.Random(7).shuffle(pairs)
        panel = PanelConnection(self.args.host, self.args.port, self.stats, 999)
        await panel.open()
        index = 0
        while not stop.is_set():
            started = time.monotonic()
            for router in range(1, 9):
                d, s = pairs[(index + 37 * router) % len(pairs)]
                comment = "soak-%06d" % len(self.takes)
                body = await panel.ask(TAKE, router, take_payload(s, d, comment))
                if body[0] != 0x10:
                    self.stats.take_failures += 1
                self.takes.append((router, d, s, comment))
                self.stats.takes_sent += 1
            index += 1
            await asyncio.sleep(max(0.0, 2.0 - (time.monotonic() - started)))
        panel.close()

    async def flap_loop(self, stop):
        # Silent for 20 s every 2 minutes, starting after the first minute.
        await asyncio.sleep(60)
        while not stop.is_set():
            self.tell_simulator("silent %d on" % self.args.flapping)
            self.flaps += 1
            await asyncio.sleep(20)
            self.tell_simulator("silent %d off" % self.args.flapping)
            try:
                await asyncio.wait_for(stop.wait(), 100)
            except asyncio.TimeoutError:
                pass

    async def burst_loop(self, stop):
        while not stop.is_set():
            try:
                await asyncio.wait_for(stop.wait(), 30)
                return
            except asyncio.TimeoutError:
                pass
            writers = []
            for _ in range(100):
                try:
                    _, writer = await asyncio.open_connection(self.args.host, self.args.port)
                    writers.append(writer)
                except OSError:
                    self.stats.burst_failures += 1
            self.stats.bursts += 1
            self.stats.burst_connections += len(writers)
            await asyncio.sleep(1)
            for writer in writers:
                writer.close()

    async def memory_loop(self, stop, started):
        while not stop.is_set():
            try:
                with open("/proc/%d/status" % self.args.server_pid) as status:
                    for line in status:
                        if line.startswith("VmRSS:"):
                            self.rss.append((time.monotonic() - started, int(line.split()[1])))
            except OSError:
                pass
            try:
                await asyncio.wait_for(stop.wait(), 5)
            except asyncio.TimeoutError:
                pass

    async def run(self):
        started = time.monotonic()
        stop = asyncio.Event()
        panels = [PanelConnection(self.args.host, self.args.port, self.stats, i + 1) for i in range(self.args.panels)]
        panel_tasks = [asyncio.create_task(panel_loop(p, stop, self.args.interval)) for p in panels]
        helpers = [asyncio.create_task(self.take_loop(stop)),
                   asyncio.create_task(self.flap_loop(stop)),
                   asyncio.create_task(self.burst_loop(stop)),
                   asyncio.create_task(self.memory_loop(stop, started))]
        load_stop = asyncio.Event()
        await asyncio.sleep(self.args.seconds)
        stop.set()
        self.tell_simulator("silent %d off" % self.args.flapping)
        for task in helpers:
            try:
                await task
            except Exception as error:  # a fault here is a finding, not a crash of the driver
                print("soak: %s stopped: %r" % (task, error), file=sys.stderr)
        failed_panels = 0
        for task in panel_tasks:
            try:
                await task
            except Exception:
                failed_panels += 1
        del load_stop
        return panels, failed_panels

    # ---- End checks ---------------------------------------------------

    def wire_counts(self):
        """Takes seen by each simulated router, by (router, destination, source)."""
        counts = {}
        # A silent router still takes what it receives and says so after it.
        leitch = re.compile(r"^router (\d+) rx @ X:[0-7]*/([0-9A-F]+),([0-9A-F]+)\s*(\(silent\))?\s*$")
        image_video = re.compile(r"^router (\d+) rx 193,(\d+),(\d+),\d+,\d+,159,254")
        framed = re.compile(r"^router (\d+) rx .*6,O0(\d+) *,I0(\d+)")
        with open(self.args.simulator_log, errors="replace") as log:
            for line in log:
                for pattern, base in ((leitch, 16), (image_video, 10), (framed, 10)):
                    m = pattern.match(line)
                    if m:
                        key = (int(m.group(1)), int(m.group(2), base) + 1, int(m.group(3), base) + 1)
                        counts[key] = counts.get(key, 0) + 1
                        break
        return counts

    def switch_log_counts(self):
        counts = {}
        comment = re.compile(r"soak-\d{6}")
        for path in glob.glob(os.path.join(self.args.app_dir, "Logs", "Switch Log For *")):
            with open(path, errors="replace") as log:
                for line in log:
                    for found in comment.findall(line):
                        counts[found] = counts.get(found, 0) + 1
        return counts

    def simulator_crosspoints(self, router):
        """Asks the simulator for a router's crosspoints and reads its answer."""
        marker = "router %d crosspoints " % router

        def answers():
            with open(self.args.simulator_log, errors="replace") as log:
                return [line for line in log if line.startswith(marker)]

        before = len(answers())
        self.tell_simulator("crosspoints %d" % router)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            found = answers()
            if len(found) > before:
                pairs = found[-1][len(marker):].strip().split(",")
                return {int(d): int(s) for d, s in (p.split("=") for p in pairs)}
            time.sleep(0.2)
        return None

    async def converge(self, panels, routers):
        """Waits until every panel shows what the simulators hold; returns mismatches."""
        deadline = time.monotonic() + self.args.settle
        mismatches = {}
        while True:
            mismatches = {}
            for router in routers:
                held = self.simulator_crosspoints(router)
                if held is None:
                    mismatches[router] = "the simulator did not answer"
                    continue
                for panel in panels:
                    # Every language reports a destination after a take on
                    # it; the rest are known only as far as a poll got.
                    held = {d: held[d] for d in held if d <= SWITCHED_DESTINATIONS}
                    block = panel.blocks.get(router)
                    shown = {d: block[d - 1] for d in held} if block else None
                    if shown != held:
                        wrong = [d for d in held if not shown or shown[d] != held[d]]
                        mismatches[router] = "destinations %s differ (router %s, panel %s)" % (
                            wrong[:8], [held[d] for d in wrong[:8]], [shown[d] if shown else None for d in wrong[:8]])
                        break
            if not mismatches or time.monotonic() > deadline:
                return mismatches
            await self.refresh(panels)
            await asyncio.sleep(2)

    async def refresh(self, panels):
        for panel in panels:
            if panel.writer is None or panel.writer.is_closing():
                continue
            try:
                flags = await panel.ask(POLL)
                if flags[0] == 0xFF and flags[3] == 1:
                    await panel.drain()
            except Exception:
                pass


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--seconds", type=int, default=600)
    parser.add_argument("--panels", type=int, default=60)
    parser.add_argument("--interval", type=float, default=0.02, help="pause between a panel's poll cycles")
    parser.add_argument("--control", required=True, help="the simulator's control pipe")
    parser.add_argument("--simulator-log", required=True)
    parser.add_argument("--app-dir", required=True)
    parser.add_argument("--server-pid", type=int, required=True)
    parser.add_argument("--serial", default="1,2", help="routers on serial lines")
    # A serial router: silent for 20 s, it is lost at the tenth second and
    # restored when it speaks again (a network router would be lost only
    # after 30 silent seconds).
    parser.add_argument("--flapping", type=int, default=1)
    parser.add_argument("--garbage", type=int, default=8)
    parser.add_argument("--settle", type=int, default=90, help="seconds the panels may take to agree at the end")
    parser.add_argument("--rss-limit-kb", type=int, default=5 * 1024, help="0: memory not checked")
    parser.add_argument("--label", default="soak")
    args = parser.parse_args()

    soak = Soak(args)
    loop = asyncio.new_event_loop()
    panels, failed_panels = loop.run_until_complete(soak.run())
    # Fresh connections for the end check, so a panel lost on the way is not
    # mistaken for a wrong crosspoint.
    serial = {int(r) for r in args.serial.split(",") if r}
    compared = [r for r in range(1, 9) if r != args.garbage]
    checkers = []
    for i in range(3):
        p = PanelConnection(args.host, args.port, soak.stats, 2000 + i)
        loop.run_until_complete(p.open())
        loop.run_until_complete(p.ask(FULL_REFRESH))
        loop.run_until_complete(p.drain())
        checkers.append(p)
    live = [p for p in panels if p.writer and not p.writer.is_closing()]
    mismatches = loop.run_until_complete(soak.converge(live + checkers, compared))

    wire = soak.wire_counts()
    logged = soak.switch_log_counts()
    wire_problems = []
    log_problems = []
    for router, d, s, comment in soak.takes:
        seen = wire.get((router, d, s), 0)
        allowed = (1, 1) if router in serial else (1, 5)
        if not allowed[0] <= seen <= allowed[1]:
            wire_problems.append("router %d %d<-%d seen %d times" % (router, d, s, seen))
        if logged.get(comment, 0) != 1:
            log_problems.append("%s logged %d times" % (comment, logged.get(comment, 0)))

    growth = None
    after_first_minute = [kb for t, kb in soak.rss if t >= 60]
    if after_first_minute:
        growth = after_first_minute[-1] - after_first_minute[0]

    st = soak.stats
    rows = [
        ("run", args.label, ""),
        ("seconds", args.seconds, ""),
        ("panels", args.panels, "%d failed" % failed_panels),
        ("panel requests", st.requests, "%d answered, %d unanswered, worst %.0f ms" % (st.answered, st.unanswered, st.worst_ms)),
        ("protocol errors", st.protocol_errors, ""),
        ("takes", st.takes_sent, "%d not acknowledged" % st.take_failures),
        ("takes on the wire", len(soak.takes) - len(wire_problems), "%d wrong" % len(wire_problems)),
        ("takes in the switch log", len(soak.takes) - len(log_problems), "%d wrong" % len(log_problems)),
        ("crosspoints compared", "routers " + ",".join(map(str, compared)), "%d differ" % len(mismatches)),
        ("flaps", soak.flaps, "router %d silent 20 s" % args.flapping),
        ("connection bursts", st.bursts, "%d connections, %d refused" % (st.burst_connections, st.burst_failures)),
        ("RSS first/after 1 min/last kB",
         "%s/%s/%s" % (soak.rss[0][1] if soak.rss else "-", after_first_minute[0] if after_first_minute else "-",
                       soak.rss[-1][1] if soak.rss else "-"),
         "growth %s kB" % growth),
    ]
    print()
    print("%-32s %-22s %s" % ("check", "value", "detail"))
    print("-" * 90)
    for name, value, detail in rows:
        print("%-32s %-22s %s" % (name, value, detail))

    failures = []
    if failed_panels or st.unanswered:
        failures.append("panel requests went unanswered")
    if st.protocol_errors:
        failures.append("replies out of step")
    if st.take_failures:
        failures.append("takes not acknowledged")
    if wire_problems:
        failures.append("takes on the wire: " + "; ".join(wire_problems[:5]))
    if log_problems:
        failures.append("switch log: " + "; ".join(log_problems[:5]))
    if mismatches:
        failures.append("crosspoints: " + "; ".join("router %d %s" % kv for kv in mismatches.items()))
    if args.rss_limit_kb and growth is not None and growth >= args.rss_limit_kb:
        failures.append("memory grew %d kB after the first minute" % growth)
    for failure in failures:
        print("FAIL: " + failure)
    print("%s: %s" % (args.label, "FAILED" if failures else "passed"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
