#!/usr/bin/python3
"""The dashboard in a real headless browser, against the real server and real programs.

    dashboard_test.py BIN_DIR [--screenshot PNG]

Starts bin/vontal-server on free ports in a temporary folder, two desktop programs (offscreen,
each in a folder of its own, continuing a stored task and linked to the server) and a fake
program whose status label holds markup, then drives Debian's Chromium through chromedriver:
the table fills and updates without a reload, Stop stops the one machine it belongs to, the
next-task form and the queue work, actions without the token are refused, the program's text
shows as text, and the page says so when the server goes away.

Exit status 0: passed; 1: failed; 77: skipped, when Chromium, chromedriver or Selenium is missing.
Every wait is for a condition, with time-outs for a loaded two-core machine; the programs first
connect at their first view tick, 15 seconds after they start.
"""
import argparse
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import traceback
import urllib.error
import urllib.request

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
WAIT = 120  # seconds: guard of every wait
HOSTILE_LABEL = "<img src=x onerror=alert(1)>"
HOSTILE_DIVISOR = "<b onmouseover=alert(2)>7</b>.2^14+1 divides F_12"


def skip(why):
    print("SKIPPED: " + why + " (scripts/setup.sh installs chromium, chromium-driver and python3-selenium)")
    sys.exit(77)


try:
    from selenium import webdriver
    from selenium.common.exceptions import NoAlertPresentException, WebDriverException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
except ImportError:
    skip("Selenium for Python 3 is not installed")
for tool in (CHROMIUM, CHROMEDRIVER):
    if not os.access(tool, os.X_OK):
        skip(tool + " is missing")


class Failure(Exception):
    pass


def wait_for(condition, what, timeout=WAIT):
    """Polls `condition` until it returns a true value, which it returns; fails after `timeout`."""
    deadline = time.monotonic() + timeout
    last_error = None
    while time.monotonic() < deadline:
        try:
            value = condition()
            if value:
                return value
        except (Failure, OSError, ValueError, KeyError, WebDriverException) as e:
            last_error = e
        time.sleep(0.2)
    raise Failure("timed out after %d s waiting for %s%s" % (timeout, what, ": " + str(last_error) if last_error else ""))


def check(condition, what):
    if not condition:
        raise Failure(what)


class Server:
    """bin/vontal-server on free ports in its own folder, polling every second."""

    LINE = re.compile(r"vontal-server: programs on port (\d+), dashboard on (http://[^/\s]+/)")

    def __init__(self, bin_dir, work):
        self.dir = os.path.join(work, "server")
        os.mkdir(self.dir)
        self.stderr = open(os.path.join(work, "server.err"), "w")
        self.process = subprocess.Popen(
            [os.path.join(bin_dir, "vontal-server"), "--program-port", "0", "--http-port", "0",
             "--dir", self.dir, "--poll-seconds", "1"],
            stdout=subprocess.PIPE, stderr=self.stderr, text=True, cwd=work)
        self.lines = []
        threading.Thread(target=self._read, daemon=True).start()
        try:
            match = wait_for(lambda: next((self.LINE.search(l) for l in self.lines if self.LINE.search(l)), None)
                             or self._ended(), "the server's start line", 60)
        except Failure:
            self.stop()
            raise
        self.program_port = int(match.group(1))
        self.url = match.group(2)
        self.token = open(os.path.join(self.dir, "token")).read().strip()

    def _read(self):
        for line in self.process.stdout:
            self.lines.append(line)

    def _ended(self):
        if self.process.poll() is not None:
            # Not a Failure, which a wait takes for "not yet": nothing comes after this.
            raise RuntimeError("the server ended with status %s; output: %s" % (self.process.returncode, "".join(self.lines)))
        return None

    def request(self, method, path, body=None, token=None, host=None):
        """(status, JSON reply) of a request from outside the browser."""
        headers = {"Content-Type": "application/json"}
        if token is not None:
            headers["X-Vontal-Token"] = token
        if host is not None:
            headers["Host"] = host
        data = None if body is None else json.dumps(body).encode()
        req = urllib.request.Request(self.url.rstrip("/") + path, data=data, method=method, headers=headers)
        try:
            with urllib.request.urlopen(req, timeout=30) as reply:
                return reply.status, json.loads(reply.read() or b"null")
        except urllib.error.HTTPError as e:
            raw = e.read()
            try:
                return e.code, json.loads(raw)
            except ValueError:
                return e.code, raw

    def machines(self):
        status, data = self.request("GET", "/api/machines")
        check(status == 200, "GET /api/machines answered %s" % status)
        return data

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.stderr.close()


class Program:
    """The desktop program offscreen in a folder of its own, continuing a stored task, its link
    to the server switched on in the settings file."""

    def __init__(self, bin_dir, work, name, task, server_port, divisors=()):
        self.dir = os.path.join(work, name)
        os.makedirs(os.path.join(self.dir, "home"))
        self.task = task
        self.divisors = list(divisors)
        # Earlier finds in Result.txt, as the search records them: the program shows them in its
        # result box at start-up.
        if divisors:
            with open(os.path.join(self.dir, "Result.txt"), "w", newline="") as f:
                for line in divisors:
                    k, n, m = re.match(r"(\d+)\.2\^(\d+)\+1 divides F_(\d+)$", line).groups()
                    f.write("\r\nfound m=%s,  k=%s,  n=%s\r\n%s\r\n" % (m, k, n, line))
        settings = ("[f]\r\nPriority=-1\r\nThreads=1\r\nConnectToServerVontal=1\r\nHostServerVontal=127.0.0.1\r\n"
                    "nMin={nMin}\r\nnTemp={nTemp}\r\nnMax={nMax}\r\nkMin={kMin}\r\nkMax={kMax}\r\nKTemp={KTemp}\r\n").format(**task)
        with open(os.path.join(self.dir, "Vontal.ini"), "w", newline="") as f:
            f.write(settings)
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", VONTAL_SERVER_PORT=str(server_port), VONTAL_CPU_MHZ="2000",
                   HOME=os.path.join(self.dir, "home"), XDG_CONFIG_HOME=os.path.join(self.dir, "home", ".config"),
                   XDG_DATA_HOME=os.path.join(self.dir, "home", ".local", "share"))
        self.log = open(os.path.join(self.dir, "output.txt"), "w")
        # Not from the root folder: there the program waits 15 seconds more before it begins.
        self.process = subprocess.Popen([os.path.join(bin_dir, "vontal"), "--dir", self.dir], env=env, cwd=self.dir,
                                        stdout=self.log, stderr=subprocess.STDOUT)

    def check_running(self):
        if self.process.poll() is not None:
            raise RuntimeError("the program in %s ended with status %s" % (self.dir, self.process.returncode))

    def matches(self, machine):
        t = machine.get("task") or {}
        return machine.get("connected") and t.get("nMin") == self.task["nMin"] and t.get("kMax") == self.task["kMax"]

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()  # the program saves its position and ends
            try:
                self.process.wait(60)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()


class FakeProgram:
    """A program of our own making on a socket: it answers the server's questions with a status
    label and a divisor line that hold markup, and acts on nothing."""

    TASK = {"nMin": "70", "nTemp": "70", "nMax": "80", "kMin": "1", "kMax": "5e12"}

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=30)
        self.sock.settimeout(None)
        self.asked = 0
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        state = ("[CurrentParameters]nMin={nMin},nTemp={nTemp},nMax={nMax},kMin={kMin},kMax={kMax},"
                 "Start1=1,Continue1=1,Stop1=0,WS=0lab/|{label}\rExpects a new task...|").format(label=HOSTILE_LABEL, **self.TASK)
        results = "[Results]count=1|" + HOSTILE_DIVISOR + "|"
        try:
            while True:
                message = self.sock.recv(65536)
                if not message:
                    return
                if b"[ReceiveParameters]" in message:
                    self.asked += 1
                    self.sock.sendall(state.encode("latin-1"))
                elif b"[ReceiveResults]" in message:
                    self.sock.sendall(results.encode("latin-1"))
        except OSError:
            return

    def matches(self, machine):
        return machine.get("connected") and (machine.get("task") or {}).get("nMin") == self.TASK["nMin"]

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


def start_browser(work):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--user-data-dir=" + os.path.join(work, "chromium"), "--force-dark-mode"):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER, log_path=os.path.join(work, "chromedriver.log")),
                              options=options)
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           {"width": 1280, "height": 800, "deviceScaleFactor": 1, "mobile": False})
    # Every alert the page would raise is recorded instead of shown (a shown one would also end
    # the test with an unexpected-alert error, less telling).
    driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": """
        window.__alerts = [];
        for (const name of ["alert", "confirm", "prompt"])
          window[name] = (m) => { window.__alerts.push(name + ": " + m); };
    """})
    return driver


def find_machine(server, who):
    data = server.machines()
    found = [m for m in data["machines"] if who.matches(m)]
    return found[0] if len(found) == 1 else None


def row(driver, machine_id):
    return driver.find_element(By.CSS_SELECTOR, 'tr.machine[data-id="%s"]' % machine_id.replace('"', '\\"'))


def cell_text(driver, machine_id, selector):
    return row(driver, machine_id).find_element(By.CSS_SELECTOR, selector).get_attribute("textContent")


def run(bin_dir, work, screenshot):
    ends = []  # what ends the processes and the browser, whatever happens
    try:
        check_page(bin_dir, work, screenshot, ends)
    finally:
        for end in reversed(ends):
            end()


def check_page(bin_dir, work, screenshot, ends):
    server = Server(bin_dir, work)
    ends.append(server.stop)
    print("server:", server.url, "programs on port", server.program_port)
    # The two tasks differ (the server tells the machines apart by address and task); each stored
    # position is well inside its task, so that the bars show something.
    a = Program(bin_dir, work, "alpha", {"nMin": "50", "nTemp": "53", "nMax": "60", "kMin": "1", "kMax": "20e12",
                                         "KTemp": "7000000000001"}, server.program_port,
                divisors=["1071.2^8+1 divides F_6", "7.2^14+1 divides F_12", "13.2^20+1 divides F_18"])
    ends.append(a.stop)
    b = Program(bin_dir, work, "beta", {"nMin": "40", "nTemp": "47", "nMax": "49", "kMin": "1", "kMax": "5e12",
                                        "KTemp": "2500000000001"}, server.program_port)
    ends.append(b.stop)
    fake = FakeProgram(server.program_port)
    ends.append(fake.close)
    driver = start_browser(work)
    ends.append(driver.quit)
    driver.get(server.url)
    # The page found its token in the tag the server filled: nobody typed it.
    meta = driver.find_element(By.CSS_SELECTOR, 'meta[name="vontal-token"]').get_attribute("content")
    check(meta == server.token, "the page's token is %r, the server's %r" % (meta, server.token))
    driver.execute_script("window.__sameDocument = 'yes';")

    # The table fills: both programs running, the fake one at rest.
    def all_there():
        a.check_running()
        b.check_running()
        ma, mb, mf = (find_machine(server, who) for who in (a, b, fake))
        if not (ma and mb and mf and ma["state"] == "running" and mb["state"] == "running"):
            return None
        if any(not driver.find_elements(By.CSS_SELECTOR, 'tr.machine[data-id="%s"]' % m["id"]) for m in (ma, mb, mf)):
            return None
        return ma, mb, mf
    ma, mb, mf = wait_for(all_there, "three machines in the page, the two programs running")
    print("machines:", ma["id"], mb["id"], mf["id"])
    check(len(driver.find_elements(By.CSS_SELECTOR, "tr.machine")) == 3, "the page has other rows than the three machines")
    task_text = cell_text(driver, ma["id"], ".task")
    # The boxes as the program shows them (it may have put its own lowest k in the box).
    check(task_text == "n=50 to 60,k=%s to 20e12" % ma["task"]["kMin"], "the first program's task in the page: %r" % task_text)
    check(cell_text(driver, ma["id"], ".pill") == "running", "the first program's state in the page")

    # It updates: the k reached of a running machine changes in the page, which is not reloaded.
    k_before = cell_text(driver, ma["id"], ".k")
    wait_for(lambda: cell_text(driver, ma["id"], ".k") != k_before and cell_text(driver, ma["id"], ".k") != "k —",
             "the first program's k reached to change in the page (was %s)" % k_before)
    check(driver.execute_script("return window.__sameDocument;") == "yes", "the page was reloaded")
    # Both rates known, for the total at the top (and a screenshot with all its figures).
    wait_for(lambda: all(isinstance((find_machine(server, who) or {}).get("rate"), (int, float)) for who in (a, b))
             and "k/s" in driver.find_element(By.ID, "fleet-rate").text, "both rates and the fleet's")
    print("k reached:", k_before, "->", cell_text(driver, ma["id"], ".k"), "; fleet rate:",
          driver.find_element(By.ID, "fleet-rate").text)
    # Readable figures: k in groups of three with thin separators, rates as a power of ten.
    k_text = cell_text(driver, ma["id"], ".k")
    check(re.fullmatch("k=[1-9][0-9]{0,2}(\u202f[0-9]{3})+", k_text), "k reached reads %r" % k_text)
    rates = [driver.find_element(By.ID, "fleet-rate"), row(driver, ma["id"]).find_element(By.CSS_SELECTOR, ".rate")]
    for rate in (r.get_attribute("innerHTML") for r in rates):
        check(re.fullmatch("[1-9]\\.[0-9]·10<sup>[0-9]+</sup> k/s", rate), "a rate reads %r" % rate)

    # The queue: a task added in the page lands in the server's file; it stays there
    # while no machine has finished (it is deleted further on).
    queue_form = driver.find_element(By.ID, "queue-form")
    for name, value in (("nFirst", "81"), ("nLast", "90"), ("kLow", "1"), ("kHigh", "30e12")):
        queue_form.find_element(By.NAME, name).send_keys(value)
    queue_form.find_element(By.CSS_SELECTOR, 'button[type="submit"]').click()
    queue_file = os.path.join(server.dir, "queue.txt")
    wait_for(lambda: os.path.exists(queue_file) and "n=81 to 90, k=1 to 30e12" in open(queue_file).read(),
             "the task in queue.txt")
    wait_for(lambda: [r.get_attribute("textContent") for r in driver.find_elements(By.CSS_SELECTOR, "#queue-rows td:nth-child(2)")]
             == ["n=81 to 90, k=1 to 30e12"], "the task in the page's queue")

    # The first program's divisors: a program that reports them (built after "[ReceiveResults]")
    # gives its result box's lines, listed by a click on the count; an older one is unknown.
    # The server has asked for them once the fake program's count is known; two answers of the
    # first program later, its count is what it will stay.
    asked_at = wait_for(lambda: (find_machine_by_id(server, mf["id"]) or {}).get("divisorCount") is not None
                        and server.machines()["time"], "the fake program's divisor count in the JSON")
    wait_for(lambda: seconds_between(asked_at, find_machine_by_id(server, ma["id"])["lastSeen"] or asked_at) >= 2,
             "two more answers of the first program")
    ma = find_machine_by_id(server, ma["id"])
    if ma["divisorCount"] is None:
        wait_for(lambda: cell_text(driver, ma["id"], ".divisors") == "—", "unknown divisors shown as such")
    else:
        check(ma["divisorCount"] == 3 and ma["divisors"] == a.divisors, "the first program's divisors: %s" % ma)
        row(driver, ma["id"]).find_element(By.CSS_SELECTOR, ".divisors button.count").click()
        shown = wait_for(lambda: driver.find_elements(By.CSS_SELECTOR, "tr.divisor-row li"), "the first program's divisor lines")
        check([li.get_attribute("textContent") for li in shown] == a.divisors, "the divisor lines in the page")
    if screenshot:
        os.makedirs(os.path.dirname(os.path.abspath(screenshot)), exist_ok=True)
        driver.save_screenshot(screenshot)
        print("screenshot:", screenshot)
    if ma["divisorCount"] is not None:
        row(driver, ma["id"]).find_element(By.CSS_SELECTOR, ".divisors button.count").click()
        wait_for(lambda: not driver.find_elements(By.CSS_SELECTOR, "tr.divisor-row"), "the divisor lines closed")

    # The fake program's label and divisor line are text in the page: no element made of them.
    status = cell_text(driver, mf["id"], ".status")
    check(HOSTILE_LABEL in status, "the fake program's label is not shown as text: %r" % status)
    check(not driver.find_elements(By.CSS_SELECTOR, "main img, main b, main script, main [onerror], main [onmouseover]"),
          "the program's markup became elements of the page")
    divisors = wait_for(lambda: row(driver, mf["id"]).find_elements(By.CSS_SELECTOR, ".divisors button.count"),
                        "the fake program's divisor count")
    divisors[0].click()
    line = wait_for(lambda: driver.find_elements(By.CSS_SELECTOR, "tr.divisor-row li"), "the divisor lines")[0]
    check(line.get_attribute("textContent") == HOSTILE_DIVISOR, "the divisor line shows %r" % line.get_attribute("textContent"))
    check(not driver.find_elements(By.CSS_SELECTOR, "main b, main img"), "the divisor line became markup")

    # Stop on the first program stops that one: in the page and in the JSON; the other runs on.
    stop = row(driver, ma["id"]).find_element(By.CSS_SELECTOR, 'button[data-action="stop"]')
    check(stop.is_enabled(), "Stop is not enabled on a running machine")
    check(not row(driver, ma["id"]).find_element(By.CSS_SELECTOR, 'button[data-action="continue"]').is_enabled(),
          "Continue is enabled on a running machine")
    stop.click()
    wait_for(lambda: cell_text(driver, ma["id"], ".pill") == "stopped", "the first program shown stopped")
    after = find_machine(server, a)
    check(after and after["state"] == "stopped", "the server does not show the first program stopped")
    check(row(driver, ma["id"]).find_element(By.CSS_SELECTOR, 'button[data-action="continue"]').is_enabled(),
          "Continue is not enabled on the stopped machine")
    check(not row(driver, ma["id"]).find_element(By.CSS_SELECTOR, 'button[data-action="stop"]').is_enabled(),
          "Stop is still enabled on the stopped machine")
    other = find_machine(server, b)
    check(other and other["state"] == "running", "the other program does not run on: %s" % other)
    check(cell_text(driver, mb["id"], ".pill") == "running", "the other program is not shown running")

    # The next-task form fills the stopped program's boxes.
    row(driver, ma["id"]).find_element(By.CSS_SELECTOR, 'button[data-action="next"]').click()
    form = driver.find_element(By.CSS_SELECTOR, 'tr.next-task[data-for="%s"] form' % ma["id"])
    box = form.find_element(By.NAME, "nLast")
    box.clear()
    box.send_keys("61")
    # The form stays open and keeps what was typed while the table updates.
    updated = driver.find_element(By.ID, "updated").text
    wait_for(lambda: driver.find_element(By.ID, "updated").text != updated, "the page's next poll")
    check(box.get_attribute("value") == "61", "the form lost what was typed at a poll")
    form.find_element(By.CSS_SELECTOR, 'button[type="submit"]').click()
    wait_for(lambda: (find_machine_by_id(server, ma["id"]) or {}).get("task", {}).get("nMax") == "61",
             "the first program's boxes to take n to 61")
    wait_for(lambda: "n=50 to 61" in cell_text(driver, ma["id"], ".task"), "the new boxes in the page")

    # Delete takes the queued task out of the page and the file.
    driver.find_element(By.CSS_SELECTOR, '#queue-rows button[data-action="delete"]').click()
    wait_for(lambda: not driver.find_elements(By.CSS_SELECTOR, "#queue-rows tr"), "the queue emptied in the page")
    check(server.machines()["queue"] == [], "the server's queue is not empty")
    check("n=81" not in open(queue_file).read(), "queue.txt still holds the deleted task")

    # Without the token, or with a wrong one, an action is refused; the other program runs on.
    refused_at = server.machines()["time"]
    for token in (None, "0" * 32, server.token + "x"):
        status, body = server.request("POST", "/api/machines/%s/stop" % mb["id"], {}, token=token)
        check(status == 403, "a stop with token %r answered %s %s" % (token, status, body))
    status, _ = server.request("POST", "/api/queue", {"nFirst": "1", "nLast": "2", "kLow": "1", "kHigh": "2"})
    check(status == 403, "a queue addition without the token answered %s" % status)
    # A page of another site, whose name was made to point at 127.0.0.1, is not served.
    status, _ = server.request("GET", "/api/machines", host="rebound.example:%s" % server.url.rsplit(":", 1)[1].strip("/"))
    check(status != 200, "a request for another host name was served")
    # Read again only once the server has asked the programs twice more since.
    def answered_twice_since():
        seen = (find_machine_by_id(server, mb["id"]) or {}).get("lastSeen")
        return seen and seconds_between(refused_at, seen) >= 2
    wait_for(answered_twice_since, "two more answers of the other program")
    check(find_machine_by_id(server, mb["id"])["state"] == "running", "a refused stop stopped the other program")
    check(server.machines()["queue"] == [], "a refused queue addition was queued")

    # No alert, no error of the page's own script.
    check(driver.execute_script("return window.__alerts;") == [], "the page raised an alert")
    try:
        driver.switch_to.alert
        raise Failure("an alert is open")
    except NoAlertPresentException:
        pass
    errors = [e for e in driver.get_log("browser") if e.get("level") == "SEVERE"]
    check(not errors, "the browser reported errors: %s" % errors)

    # The server goes away: the page says so, and keeps what it showed.
    server.stop()
    wait_for(lambda: driver.find_element(By.ID, "banner").is_displayed() and
             "Connection lost" in driver.find_element(By.ID, "banner").text, "the connection-lost banner")
    check(len(driver.find_elements(By.CSS_SELECTOR, "tr.machine")) == 3, "the table was emptied when the server went away")


def find_machine_by_id(server, machine_id):
    return next((m for m in server.machines()["machines"] if m["id"] == machine_id), None)


def seconds_between(earlier, later):
    """Seconds from one ISO 8601 UTC time to another."""
    from datetime import datetime
    parse = lambda t: datetime.fromisoformat(t.replace("Z", "+00:00"))
    return (parse(later) - parse(earlier)).total_seconds()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("bin_dir")
    parser.add_argument("--screenshot", help="where the screenshot of the page with its three machines goes")
    parser.add_argument("--keep", action="store_true", help="keep the temporary folder")
    args = parser.parse_args()
    for name in ("vontal-server", "vontal"):
        if not os.access(os.path.join(args.bin_dir, name), os.X_OK):
            print("FAIL: %s is not in %s" % (name, args.bin_dir))
            return 1
    work = tempfile.mkdtemp(prefix="vontal-dashboard-")
    try:
        run(args.bin_dir, work, args.screenshot)
        print("PASS")
        return 0
    except Exception as e:  # a failed check, or anything unforeseen: say what and show the logs
        print("FAIL:", e)
        traceback.print_exc()
        for name in ("server.err", "alpha/output.txt", "beta/output.txt"):
            path = os.path.join(work, name)
            if os.path.exists(path):
                print("---- " + name)
                print(open(path, errors="replace").read()[-4000:])
        return 1
    finally:
        if args.keep:
            print("kept:", work)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
