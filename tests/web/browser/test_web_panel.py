#!/usr/bin/python3
"""The web panel in a real headless Chromium against a real server and three
simulated routers (Leitch on a pseudo-terminal, Image Video over TCP, framed
over UDP).

Usage: test_web_panel.py <bin-dir>   (marlin-server, marlin-routersim and
marlin-demo-tables live there). Exit 0 pass, 1 fail, 77 skipped (no browser,
driver or selenium; with CI set that is a failure instead).
Screenshots go to $MARLIN_SCREENSHOTS when it is set.
"""

import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import traceback
import urllib.error
import urllib.request

SKIP = 77
WAIT = 30          # seconds for anything the page or the routers must do
START_WAIT = 30    # seconds for the server and the simulator to come up
CONFIRM_TEXT = "Are you sure you would like to switch the router?"
USER, PASSWORD = "admin", "marlin"


class Failure(Exception):
    pass


def find_tools():
    """Chromium, chromedriver and selenium, or a list of what is missing."""
    missing = []
    chromium = os.environ.get("MARLIN_CHROMIUM") or next(
        (p for p in (shutil.which(n) for n in ("chromium", "chromium-browser", "google-chrome")) if p), None)
    if not chromium:
        missing.append("chromium (Debian package chromium)")
    driver = os.environ.get("MARLIN_CHROMEDRIVER") or shutil.which("chromedriver")
    if not driver:
        missing.append("chromedriver (Debian package chromium-driver)")
    try:
        import selenium  # noqa: F401
    except ImportError:
        missing.append("selenium for " + sys.executable + " (Debian package python3-selenium)")
    return chromium, driver, missing


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(what, check, timeout=START_WAIT):
    """Polls check() until it returns something true; for processes that
    announce nothing but files and sockets."""
    deadline = time.monotonic() + timeout
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure("timed out waiting for " + what)
        time.sleep(0.05)


def hex_to_rgb(color):
    m = re.fullmatch(r"#([0-9a-fA-F]{2})([0-9a-fA-F]{2})([0-9a-fA-F]{2})", color)
    if not m:
        raise Failure("not a #rrggbb colour: %r" % color)
    return tuple(int(x, 16) for x in m.groups())


def css_to_rgb(value):
    m = re.match(r"rgba?\((\d+),\s*(\d+),\s*(\d+)", value or "")
    return tuple(int(x) for x in m.groups()) if m else None


class Rig:
    """The simulator and the server in a temporary application folder."""

    def __init__(self, bin_dir):
        self.bin_dir = bin_dir
        self.folder = tempfile.mkdtemp(prefix="marlin-web-panel-")
        self.procs = []
        self.sim = None
        self.server = None
        self.base = None
        self.token = None

    def start(self):
        f = self.folder
        panel_port = free_port(socket.SOCK_STREAM)
        tcp_port = free_port(socket.SOCK_STREAM)
        udp_port = free_port(socket.SOCK_DGRAM)
        with open(os.path.join(f, "WREN.INI"), "w", encoding="ascii") as ini:
            ini.write(f"""[Network_Settings]
Network_Card_1_IP_Address=127.0.0.1
Network_Card_1_TCP_Port={panel_port}
[Web_Settings]
Web_Enabled=1
Web_IP_Address=127.0.0.1
Web_TCP_Port=0
[Com_Port_1]
Port_Description=Leitch router on a serial line (pseudo-terminal COM1)
Port_Enable=1
ID_Number=1
Protocol=1
[Net_Port_2]
Network_IP_Address=127.0.0.1
Network_Port={tcp_port}
Network_Port_Type=0
Hardware_Enabled=1
Port_Description=Image Video 9540 router over TCP
ID_Number=2
Protocol=2
[Net_Port_3]
Network_IP_Address=127.0.0.1
Network_Port={udp_port}
Network_Port_Type=1
Hardware_Enabled=1
Port_Description=Framed dialect router over UDP
ID_Number=3
Protocol=3
""")
        # Router 3's labels are the framed router's own names for its crosspoints.
        subprocess.run([os.path.join(self.bin_dir, "marlin-demo-tables"), f, "3"], check=True)

        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        self.sim_log = open(os.path.join(f, "routersim.log"), "wb")
        # The simulator reads console commands from stdin; the pipe stays open.
        self.sim = subprocess.Popen(
            [os.path.join(self.bin_dir, "marlin-routersim"), "--initial", "identity",
             "--router", "leitch:pty:" + os.path.join(f, "COM1"),
             "--router", f"iv:tcp:{tcp_port}", "--router", f"framed:udp:{udp_port}"],
            stdin=subprocess.PIPE, stdout=self.sim_log, stderr=subprocess.STDOUT, env=env)
        self.procs.append(self.sim)
        wait_until("the simulator's pseudo-terminal", lambda: self.alive(self.sim) and os.path.exists(os.path.join(f, "COM1")))

        self.server_err = os.path.join(f, "server.err")
        self.start_server()
        self.token = self.request("POST", "/api/v1/login", {"user": USER, "password": PASSWORD})[1]["token"]

    def start_server(self):
        """Starts the server and waits for its web face; a restart keeps the
        web port of the first start so the page can find it again."""
        ini = os.path.join(self.folder, "WREN.INI")
        if self.base:
            with open(ini, encoding="ascii") as f:
                text = f.read()
            with open(ini, "w", encoding="ascii") as f:
                f.write(text.replace("Web_TCP_Port=0", "Web_TCP_Port=" + self.base.rsplit(":", 1)[1]))
        start = os.path.getsize(self.server_err) if os.path.exists(self.server_err) else 0
        self.server_log = open(self.server_err, "ab")
        self.server = subprocess.Popen(
            [os.path.join(self.bin_dir, "marlin-server"), "--no-console", "--app-dir", self.folder],
            stdin=subprocess.DEVNULL, stdout=self.server_log, stderr=self.server_log,
            env=dict(os.environ, QT_QPA_PLATFORM="offscreen"))
        self.procs.append(self.server)

        def listening():
            self.alive(self.server)
            with open(self.server_err, "r", encoding="utf-8", errors="replace") as err:
                err.seek(start)
                m = re.search(r"web listening on 127\.0\.0\.1:(\d+)", err.read())
            return m and int(m.group(1))

        port = wait_until("the server's web face", listening)
        self.base = f"http://127.0.0.1:{port}"

    def stop_server(self):
        self.server.send_signal(signal.SIGTERM)
        try:
            self.server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.server.kill()
            self.server.wait()
        self.procs.remove(self.server)
        self.server_log.close()

    def alive(self, proc):
        if proc.poll() is not None:
            raise Failure(f"{proc.args[0]} ended early with code {proc.returncode}")
        return True

    def request(self, method, path, body=None):
        data = None if body is None else json.dumps(body).encode()
        req = urllib.request.Request(self.base + path, data=data, method=method)
        if self.token:
            req.add_header("Authorization", "Bearer " + self.token)
        if data is not None:
            req.add_header("Content-Type", "application/json")
        try:
            with urllib.request.urlopen(req, timeout=10) as answer:
                raw = answer.read()
                status = answer.status
        except urllib.error.HTTPError as e:
            raw, status = e.read(), e.code
        text = raw.decode("utf-8", "replace")
        try:
            return status, json.loads(text)
        except ValueError:
            return status, text

    def router(self, r):
        status, data = self.request("GET", f"/api/v1/routers/{r}")
        if status != 200:
            raise Failure(f"GET router {r}: {status} {data}")
        return data

    def web_takes(self):
        status, text = self.request("GET", "/metrics")
        m = re.search(r'^marlin_takes_total\{origin="web"\} (\d+)$', text, re.M)
        if status != 200 or not m:
            raise Failure("no web take count in /metrics")
        return int(m.group(1))

    def sim_command(self, line):
        self.sim.stdin.write((line + "\n").encode())
        self.sim.stdin.flush()

    def stop(self):
        for proc in reversed(self.procs):
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
                try:
                    proc.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
        if self.sim and self.sim.stdin:
            try:
                self.sim.stdin.close()
            except OSError:
                pass
        for log in ("sim_log", "server_log"):
            if hasattr(self, log):
                getattr(self, log).close()

    def dump_logs(self):
        for name in ("server.err", "routersim.log"):
            path = os.path.join(self.folder, name)
            if os.path.exists(path):
                with open(path, "r", encoding="utf-8", errors="replace") as f:
                    tail = f.read()[-3000:]
                print(f"---- {name} (end) ----\n{tail}", file=sys.stderr)


class PanelTest:
    def __init__(self, rig, chromium, driver_path):
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service

        self.rig = rig
        self.shots = os.environ.get("MARLIN_SCREENSHOTS") or None
        if self.shots:
            os.makedirs(self.shots, exist_ok=True)
        options = webdriver.ChromeOptions()
        options.binary_location = chromium
        for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     "--disable-default-apps", "--disable-extensions", "--disable-domain-reliability",
                     "--disable-client-side-phishing-detection", "--disable-breakpad", "--no-first-run",
                     "--no-default-browser-check", "--no-pings", "--metrics-recording-only",
                     "--disable-features=OptimizationHints,MediaRouter,Translate,AutofillServerCommunication",
                     "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1",
                     "--proxy-server=direct://", "--proxy-bypass-list=*",
                     "--window-size=1024,768", "--lang=en-US",
                     "--user-data-dir=" + os.path.join(rig.folder, "chromium-profile")):
            options.add_argument(flag)
        self.driver = webdriver.Chrome(service=Service(executable_path=driver_path,
                                                       log_path=os.path.join(rig.folder, "chromedriver.log")),
                                       options=options)
        self.viewport(1024, 768)

    def quit(self):
        try:
            self.driver.quit()
        except Exception:  # the browser may already be gone
            pass

    # -- helpers --------------------------------------------------------------

    def viewport(self, width, height):
        self.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                                    {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": False})

    def shot(self, name):
        if self.shots:
            self.driver.save_screenshot(os.path.join(self.shots, name + ".png"))

    def wait(self, what, condition, timeout=WAIT):
        from selenium.common.exceptions import TimeoutException
        from selenium.webdriver.support.ui import WebDriverWait
        try:
            return WebDriverWait(self.driver, timeout, poll_frequency=0.1).until(lambda d: condition())
        except TimeoutException:
            raise Failure("timed out waiting for " + what) from None

    def by_label(self, caption):
        """The control whose accessible name is caption: a <label for> or an aria-label."""
        from selenium.webdriver.common.by import By
        found = [e for e in self.driver.find_elements(By.CSS_SELECTOR, f'[aria-label="{caption}"]') if e.is_displayed()]
        for label in self.driver.find_elements(By.TAG_NAME, "label"):
            if label.is_displayed() and label.text.strip() == caption and label.get_attribute("for"):
                found.append(self.driver.find_element(By.ID, label.get_attribute("for")))
        if not found:
            raise Failure(f"no visible control labelled {caption!r}")
        return found[0]

    def button(self, caption):
        from selenium.webdriver.common.by import By
        for b in self.driver.find_elements(By.TAG_NAME, "button"):
            if b.is_displayed() and b.text.strip() == caption:
                if b.get_attribute("aria-label") not in (None, caption):
                    raise Failure(f"button {caption!r} has aria-label {b.get_attribute('aria-label')!r}")
                return b
        raise Failure(f"no visible button {caption!r}")

    def cell(self, r, d):
        from selenium.webdriver.common.by import By
        cells = self.driver.find_elements(By.CSS_SELECTOR, f'[data-router="{r}"][data-destination="{d}"]')
        return cells[0] if cells else None

    def cell_state(self, r, d):
        """(source number shown, background rgb) of a cell, or None."""
        c = self.cell(r, d)
        if c is None:
            return None
        source = c.find_element("css selector", ".source-number").text.strip()
        return source, css_to_rgb(c.value_of_css_property("background-color"))

    def message(self, element_id):
        return self.driver.find_element("id", element_id).text.strip()

    # -- the test ---------------------------------------------------------------

    def run(self):
        rig = self.rig
        d = self.driver
        _, listing = rig.request("GET", "/api/v1/routers")
        colors = {int(k): hex_to_rgb(v) for k, v in listing["colors"].items()}
        if [x["router"] for x in listing["routers"]] != [1, 2, 3]:
            raise Failure(f"routers listed: {listing['routers']}")

        d.get(rig.base + "/")
        self.wait("the login form", lambda: self.by_label("User").is_displayed())
        self.check_labels("the login form")
        self.shot("01-login")

        # A wrong password shows the server's refusal and stays on the login.
        self.by_label("User").send_keys(USER)
        self.by_label("Password").send_keys("wrong")
        self.button("Log In").click()
        self.wait("the login refusal", lambda: "not accepted" in self.message("login-message"))
        self.by_label("Password").clear()
        self.by_label("Password").send_keys(PASSWORD)
        self.button("Log In").click()

        for r in (1, 2, 3):
            data = rig.router(r)
            for dest in data["destinations"][:4]:
                self.wait(f"router {r} destination {dest['number']} in the grid",
                          lambda: self.cell(r, dest["number"]) is not None and self.cell(r, dest["number"]).is_displayed())
        # The headers: number, name and the link state.
        from selenium.webdriver.common.by import By
        for r in (1, 2, 3):
            data = rig.router(r)
            section = d.find_element(By.ID, f"router-{r}")
            self.wait(f"router {r}'s header", lambda: (
                section.find_element(By.TAG_NAME, "h2").text.startswith(f"Router {r}")
                and ("comm " + data["comm"]) in section.find_element(By.CSS_SELECTOR, ".comm").text))
            if data["name"].strip() and data["name"].strip() not in section.find_element(By.TAG_NAME, "h2").text:
                raise Failure(f"router {r}'s header lacks its name {data['name']!r}")
        self.check_cells_match_server(colors)
        self.check_labels("the grid")
        self.shot("02-grid")

        # Router 1's refusals: a cancelled confirm sends nothing, a blank
        # comment shows the server's error text and changes nothing.
        takes_before = rig.web_takes()
        r1 = rig.router(1)
        target = self.pick(r1, colors)
        self.open_take(1, target["number"])
        self.choose_source(self.new_source(r1, target))
        self.button("Take").click()
        self.answer_confirm(accept=False)
        self.button("Take").click()
        self.answer_confirm(accept=True)
        self.wait("the blank comment's refusal", lambda: self.message("take-message").startswith("comment:"))
        if rig.web_takes() != takes_before:
            raise Failure("a cancelled or refused take was counted as made")
        if self.cell_state(1, target["number"])[0] != str(target["source"]):
            raise Failure("a refused take changed the cell")
        self.button("Close").click()
        self.wait("the take form to close", lambda: not d.find_element(By.ID, "take-overlay").is_displayed())

        # One take per router, each through the page's take form.
        for r, and_done in ((1, False), (2, True), (3, True)):
            self.take_through_form(r, colors, and_done, first=(r == 1))
        self.shot("04-after-take")

        # A change made at the router's own panel reaches the grid by itself.
        r2 = rig.router(2)
        target = r2["destinations"][1]
        source = next(s["number"] for s in r2["sources"]
                      if s["number"] not in (target["number"], target["source"], target["defaultSource"]))
        rig.sim_command(f"set 2 {target['number']} {source}")
        # The server learns it by polling the router, a destination a second.
        self.wait_cell(2, target["number"], source, colors[2], timeout=3 * WAIT)

        self.check_high_priority(colors)
        self.check_link(1)
        self.check_filter(1)
        self.check_layout(colors)
        self.check_session_end()
        self.check_server_restart()

    def check_server_restart(self):
        """The page notices its event stream drop, keeps trying, and once the
        restarted server no longer knows the old session, asks for a login."""
        from selenium.webdriver.common.by import By
        d = self.driver
        self.retype(self.by_label("User"), USER)
        self.retype(self.by_label("Password"), PASSWORD)
        self.button("Log In").click()
        self.wait("the event stream", lambda: self.message("events-state") == "Live")
        self.rig.stop_server()
        self.wait("the page to notice the dropped event stream",
                  lambda: self.message("events-state").startswith("Reconnecting"))
        self.rig.start_server()
        self.wait("the login form after the restart",
                  lambda: d.find_element(By.ID, "login").is_displayed()
                  and "log in again" in self.message("login-message"), 3 * WAIT)
        self.retype(self.by_label("User"), USER)
        self.retype(self.by_label("Password"), PASSWORD)
        self.button("Log In").click()
        self.wait("the event stream after logging in again", lambda: self.message("events-state") == "Live")
        self.wait("the grid after the restart", lambda: self.cell(3, 1) is not None and self.cell(3, 1).is_displayed())

    def check_high_priority(self, colors):
        """A take with "Enable High Priority" ticked holds the destination:
        the cell turns to the held colour and the next take form starts ticked."""
        rig = self.rig
        data = rig.router(1)
        dest = data["destinations"][2]
        self.open_take(1, dest["number"])
        high = self.by_label("Enable High Priority")
        if high.is_selected():
            raise Failure("Enable High Priority starts ticked on an unheld destination")
        high.click()
        self.by_label("Comment").send_keys("hold from the browser")
        self.button("Take And Done").click()
        self.answer_confirm(accept=True)
        self.wait("the take form to close", lambda: not self.driver.find_element("id", "take-overlay").is_displayed())
        self.wait("the held destination's colour", lambda: (
            self.cell_state(1, dest["number"])[1] == colors[3]
            and self.cell(1, dest["number"]).get_attribute("data-hold") == "true"))
        if not next(x for x in rig.router(1)["destinations"] if x["number"] == dest["number"])["hold"]:
            raise Failure("the server did not hold the destination")
        self.open_take(1, dest["number"])
        if not self.by_label("Enable High Priority").is_selected():
            raise Failure("Enable High Priority is not ticked on a held destination")
        self.button("Close").click()
        # Cleared through the API: the page follows the hold event.
        status, answer = rig.request("DELETE", f"/api/v1/routers/1/holds/{dest['number']}")
        if status != 200:
            raise Failure(f"clearing the hold: {status} {answer}")
        self.wait("the cleared hold's colour", lambda: (
            self.cell_state(1, dest["number"])[1] != colors[3]
            and self.cell(1, dest["number"]).get_attribute("data-hold") == "false"))

    def check_link(self, r):
        """A serial router that stops answering is lost after about ten
        seconds: its header turns red, and back when it answers again."""
        from selenium.webdriver.common.by import By
        comm = self.driver.find_element(By.CSS_SELECTOR, f"#router-{r} .comm")

        def shows(text):
            rgb = css_to_rgb(comm.value_of_css_property("background-color"))
            red = rgb is not None and rgb[0] > 150 and rgb[1] < 100 and rgb[2] < 100
            return comm.text.strip() == text and red == (text == "comm down")
        self.rig.sim_command(f"silent {r} on")
        self.wait(f"router {r}'s header to show the link down in red", lambda: shows("comm down"), 3 * WAIT)
        self.rig.sim_command(f"silent {r} off")
        self.wait(f"router {r}'s header to show the link up again", lambda: shows("comm up"), 3 * WAIT)

    def pick(self, data, colors):
        """An unheld destination not painted in the "not the default source"
        colour: on its default source if there is one, else one whose source
        the server does not know yet (a framed router reports only after a
        first command)."""
        for wanted in (1, 4):
            for dest in data["destinations"]:
                if dest["color"] == wanted and not dest["hold"] and colors[wanted] != colors[2]:
                    return dest
        raise Failure(f"router {data['router']}: no destination to switch: {data['destinations'][:4]}")

    def new_source(self, data, dest):
        for s in data["sources"]:
            if s["number"] not in (dest["source"], dest["defaultSource"]):
                return s["number"]
        raise Failure("no other source")

    def open_take(self, r, number):
        from selenium.webdriver.common.by import By
        cell = self.cell(r, number)
        d = self.driver
        d.execute_script("arguments[0].scrollIntoView({block: 'center'})", cell)
        cell.click()
        self.wait("the take form", lambda: d.find_element(By.ID, "take-overlay").is_displayed())

    def choose_source(self, number):
        from selenium.webdriver.support.ui import Select
        Select(self.by_label("Source (Input)")).select_by_value(str(number))

    def answer_confirm(self, accept):
        from selenium.webdriver.support import expected_conditions as EC
        from selenium.webdriver.support.ui import WebDriverWait
        from selenium.common.exceptions import TimeoutException
        try:
            alert = WebDriverWait(self.driver, WAIT).until(EC.alert_is_present())
        except TimeoutException:
            raise Failure("the page asked for no confirmation before the take") from None
        if alert.text != CONFIRM_TEXT:
            raise Failure(f"confirmation reads {alert.text!r}")
        alert.accept() if accept else alert.dismiss()

    def take_through_form(self, r, colors, and_done, first):
        from selenium.webdriver.common.by import By
        rig, d = self.rig, self.driver
        data = rig.router(r)
        dest = self.pick(data, colors)
        number = dest["number"]
        source = self.new_source(data, dest)
        before = self.cell_state(r, number)
        shown_source = "\u2013" if dest["source"] is None else str(dest["source"])
        if before != (shown_source, colors[dest["color"]]):
            raise Failure(f"router {r} destination {number} shows {before} before the take, server says {dest}")

        self.open_take(r, number)
        form = d.find_element(By.ID, "take-form")
        boxes = [self.by_label(str(k)) for k in range(8)]
        if not all(b.is_selected() for b in boxes):
            raise Failure("the take form's levels are not all ticked")
        if self.by_label("Enable High Priority").is_selected() != dest["hold"]:
            raise Failure("Enable High Priority does not follow the destination's hold")
        shown = self.by_label("Source (Input)").get_attribute("value")
        if dest["source"] is not None and shown != str(dest["source"]):
            raise Failure(f"the take form starts on source {shown}, the destination shows {dest['source']}")
        options = {o.get_attribute("value"): o.text for o in form.find_elements(By.CSS_SELECTOR, "#take-source option")}
        for s in data["sources"]:
            if s["label"].strip() and s["label"].strip() not in options.get(str(s["number"]), ""):
                raise Failure(f"source {s['number']}'s label missing from the list: {options.get(str(s['number']))!r}")
        self.choose_source(source)
        self.by_label("Comment").send_keys(f"browser take on router {r}")
        if first:
            self.check_labels("the take form")
            self.shot("03-take-form")
        takes_before = rig.web_takes()
        self.button("Take And Done" if and_done else "Take").click()
        self.answer_confirm(accept=True)
        if and_done:
            self.wait("the take form to close", lambda: not d.find_element(By.ID, "take-overlay").is_displayed())
        else:
            self.wait("the take's acknowledgement", lambda: self.message("take-message").startswith("Take sent"))
            self.button("Close").click()
            self.wait("the take form to close", lambda: not d.find_element(By.ID, "take-overlay").is_displayed())
        if rig.web_takes() != takes_before + 1:
            raise Failure(f"router {r}: the take was not counted once")
        self.wait_cell(r, number, source, colors[2])
        # The router has answered, so its link is up (a framed router that
        # went unheard for a while is restored by this very answer).
        self.wait(f"router {r}'s header to show the link up",
                  lambda: d.find_element(By.CSS_SELECTOR, f"#router-{r} .comm").text.strip() == "comm up")
        after = rig.router(r)
        server_dest = next(x for x in after["destinations"] if x["number"] == number)
        if server_dest["source"] != source or server_dest["color"] != 2:
            raise Failure(f"router {r} destination {number}: the server reports {server_dest}")

    def wait_cell(self, r, number, source, rgb, timeout=WAIT):
        last = []

        def shows():
            last[:] = [self.cell_state(r, number)]
            return last[0] == (str(source), rgb)
        try:
            self.wait(f"router {r} destination {number} to show source {source} in {rgb}", shows, timeout)
        except Failure as e:
            raise Failure(f"{e}; it shows {last[0] if last else None}") from None

    def check_labels(self, where):
        """Every visible control has a name, and a given aria-label is the
        control's own caption (its text, or the text of its label)."""
        problems = self.driver.execute_script("""
            const out = [];
            for (const el of document.querySelectorAll('button, input, select')) {
              if (!el.offsetParent && getComputedStyle(el).position !== 'fixed') continue;
              const aria = el.getAttribute('aria-label');
              const label = el.labels && el.labels.length ? el.labels[0].textContent.trim() : '';
              const caption = el.tagName === 'BUTTON' ? el.textContent.trim() : label;
              if (!(aria || caption)) out.push(el.outerHTML.slice(0, 80) + ' has no name');
              else if (aria && caption && aria !== caption) out.push(el.outerHTML.slice(0, 80) + ' says ' + caption);
            }
            return out;""")
        if problems:
            raise Failure(f"controls in {where} without their caption as name: {problems[:5]}")

    def check_cells_match_server(self, colors):
        last = []

        def mismatch():
            for r in (1, 2, 3):
                data = self.rig.router(r)
                for dest in data["destinations"][:16]:
                    want = ("\u2013" if dest["source"] is None else str(dest["source"]), colors[dest["color"]])
                    got = self.cell_state(r, dest["number"])
                    if got != want:
                        return f"router {r} destination {dest['number']} shows {got}, the server says {want}"
            return None
        try:
            self.wait("the grid to show what the server knows", lambda: not last.append(mismatch()) and last[-1] is None)
        except Failure as e:
            raise Failure(f"{e}: {last[-1]}") from None
        for r in (1, 2, 3):
            data = self.rig.router(r)
            for dest in data["destinations"][:16]:
                c = self.cell(r, dest["number"])
                if css_to_rgb(c.value_of_css_property("color")) != (0, 0, 0):
                    raise Failure("cell text is not black")
                if dest["label"].strip() and dest["label"].strip() not in c.text:
                    raise Failure(f"cell lacks its label {dest['label']!r}: {c.text!r}")
                if dest["source"] is not None:
                    label = next((s["label"] for s in data["sources"] if s["number"] == dest["source"]), "")
                    if label.strip() and label.strip() not in c.text:
                        raise Failure(f"cell lacks its source label {label!r}: {c.text!r}")

    def retype(self, box, text):
        """Replaces a text box's contents the way a user does, key by key."""
        from selenium.webdriver.common.keys import Keys
        box.send_keys(Keys.CONTROL, "a")
        box.send_keys(Keys.BACKSPACE)
        if text:
            box.send_keys(text)

    def check_filter(self, r):
        from selenium.webdriver.common.by import By
        d = self.driver
        data = self.rig.router(r)
        box = d.find_element(By.CSS_SELECTOR, f'#router-{r} [aria-label="Filter"]')
        numbers = [x["number"] for x in data["destinations"]]

        def shown():
            return {n for n in numbers if self.cell(r, n).is_displayed()}
        # A piece of one label in the other case, so it matches a handful.
        label = data["destinations"][9]["label"].strip()
        cases = [label.swapcase(), label[: max(1, len(label) - 1)].lower(), "no such label at all", ""]
        d.execute_script("arguments[0].scrollIntoView({block: 'center'})", box)
        for text in cases:
            self.retype(box, text)
            want = {x["number"] for x in data["destinations"] if text.lower() in x["label"].lower()}
            self.wait(f"the filter {text!r} to show {sorted(want)}", lambda: shown() == want)
        # The other routers are not filtered by router 1's box.
        self.retype(box, cases[0])
        for other in (2, 3):
            first = self.rig.router(other)["destinations"][0]["number"]
            d.execute_script("arguments[0].scrollIntoView({block: 'center'})", self.cell(other, first))
            if not self.cell(other, first).is_displayed():
                raise Failure(f"router {r}'s filter hid router {other}'s cells")
        self.retype(box, "")
        self.wait("the cleared filter to show every destination", lambda: shown() == set(numbers))

    def check_layout(self, colors):
        d = self.driver
        for width, height in ((1024, 768), (768, 1024)):
            self.viewport(width, height)
            d.execute_script("window.scrollTo(0, 0)")
            self.wait(f"the grid at {width}x{height} to fit its width without scrolling sideways",
                      lambda: d.execute_script(
                          "return document.documentElement.scrollWidth <= document.documentElement.clientWidth"))
            size = self.cell(1, 1).size
            if size["height"] < 44 or size["width"] < 44:
                raise Failure(f"cells at {width}x{height} are {size}, too small to touch")
        self.shot("05-grid-768x1024")
        # The take form fits the portrait screen too.
        self.open_take(1, 2)
        for caption in ("Take", "Take And Done", "Close"):
            b = self.button(caption)
            if b.size["height"] < 44:
                raise Failure(f"button {caption!r} is {b.size['height']}px high")
        self.shot("06-take-form-768x1024")
        self.button("Close").click()
        self.viewport(1024, 768)

    def check_session_end(self):
        """A token the server no longer knows sends the page back to the login."""
        from selenium.webdriver.common.by import By
        d = self.driver
        # Log Out ends the session at the server too.
        token = d.execute_script("return sessionStorage.getItem('marlin.token')")
        self.button("Log Out").click()
        self.wait("the login form after Log Out", lambda: d.find_element(By.ID, "login").is_displayed())
        saved, self.rig.token = self.rig.token, token
        try:
            if self.rig.request("GET", "/api/v1/routers")[0] != 401:
                raise Failure("the token still works after Log Out")
        finally:
            self.rig.token = saved
        self.retype(self.by_label("User"), USER)
        self.retype(self.by_label("Password"), PASSWORD)
        self.button("Log In").click()
        self.wait("the grid after logging in again", lambda: self.cell(1, 1) is not None and self.cell(1, 1).is_displayed())

        d.execute_script("sessionStorage.setItem('marlin.token', 'deadbeef')")
        d.refresh()
        self.wait("the login form after an unknown token",
                  lambda: d.find_element(By.ID, "login").is_displayed()
                  and not d.find_element(By.ID, "panel").is_displayed())
        if d.execute_script("return sessionStorage.getItem('marlin.token')"):
            raise Failure("the unknown token was kept")


def main(argv):
    if len(argv) != 2 or not os.path.isdir(argv[1]):
        print("usage: test_web_panel.py <bin-dir>", file=sys.stderr)
        return 1
    bin_dir = os.path.abspath(argv[1])
    for tool in ("marlin-server", "marlin-routersim", "marlin-demo-tables"):
        if not os.access(os.path.join(bin_dir, tool), os.X_OK):
            print(f"test_web_panel: {tool} is not in {bin_dir}", file=sys.stderr)
            return 1
    chromium, driver, missing = find_tools()
    if missing:
        text = "test_web_panel: missing " + ", ".join(missing)
        if os.environ.get("CI"):
            print(text + " (CI is set, so this fails)", file=sys.stderr)
            return 1
        print(text + "; skipped", file=sys.stderr)
        return SKIP

    rig = Rig(bin_dir)
    test = None
    ok = False
    try:
        rig.start()
        test = PanelTest(rig, chromium, driver)
        test.run()
        ok = True
    except Failure as e:
        print("test_web_panel: FAIL: " + str(e), file=sys.stderr)
    except Exception:
        print("test_web_panel: FAIL: " + traceback.format_exc(), file=sys.stderr)
    finally:
        if test is not None:
            if not ok:
                try:
                    test.shot("failure")
                except Exception:
                    pass
            test.quit()
        rig.stop()
        if not ok:
            rig.dump_logs()
        shutil.rmtree(rig.folder, ignore_errors=True)
    if ok:
        print("test_web_panel: PASS")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
