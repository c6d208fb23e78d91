#!/usr/bin/env python3
"""The console driven in a real browser (headless chromium through
chromium-driver): a simulated appliance with its daemon, mif-console on
loopback, and the page used as a technician would. Every step leaves a
screenshot in the output folder.

usage: browser_test.py BIN_DIR OUT_DIR
"""
import json
import os
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
import wave

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

WAIT = 15  # seconds any one step may take

BIN, OUT = sys.argv[1], sys.argv[2]
shutil.rmtree(OUT, ignore_errors=True)
os.makedirs(OUT)
ROOT = tempfile.mkdtemp(prefix="mif-console-test.")
DOWNLOADS = os.path.join(ROOT, "downloads")
os.makedirs(DOWNLOADS)
processes = []


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(what, check, timeout=WAIT):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            value = check()
            if value:
                return value
        except Exception:  # the page may be between renders
            pass
        time.sleep(0.1)
    raise AssertionError("timed out waiting for " + what)


def port_open(port):
    with socket.socket() as s:
        s.settimeout(0.2)
        return s.connect_ex(("127.0.0.1", port)) == 0


# The appliance's package check (checkpak) is found on the PATH, as on the appliance.
ENV = dict(os.environ, MIF_ROOT=ROOT, PATH=BIN + os.pathsep + os.environ.get("PATH", ""))
for name in ("MIF_HOST", "MIF_KEY", "MIF_ROLE"):
    ENV.pop(name, None)
DAEMON_PORT = free_port()
ENV["MIF_PORT"] = str(DAEMON_PORT)


def start_appliance():
    log = open(os.path.join(ROOT, "sim.log"), "ab")
    sim = subprocess.Popen([os.path.join(BIN, "mif-sim"), "--daemon", os.path.join(BIN, "mifd")], env=ENV,
                           stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    processes.append(sim)
    wait_for("the daemon to listen", lambda: port_open(DAEMON_PORT))
    return sim


def start_console(name, key_args=None):
    port = free_port()
    out = open(os.path.join(ROOT, "console-%s.log" % name), "wb")
    console = subprocess.Popen([os.path.join(BIN, "mif-console"), *(key_args or ["-r", name]), "--port", str(port)],
                               env=ENV,
                               stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
    processes.append(console)

    def url():
        with open(out.name) as f:
            for line in f:
                if "open http://" in line:
                    return line.split("open ", 1)[1].strip()
        return None
    return console, wait_for("the console's URL", url), port


def stop(process):
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def ctl(*words):
    subprocess.run([os.path.join(BIN, "mif-sim"), "ctl", *words], env=ENV, check=True, timeout=10,
                   stdout=subprocess.DEVNULL)


def mifctl(*args):
    return subprocess.run([os.path.join(BIN, "mifctl"), "-r", "developer", "-t", "10", "-q", *args], env=ENV,
                          capture_output=True, text=True, timeout=30)


def make_browser():
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                "--window-size=1500,2400", "--hide-scrollbars", "--lang=en-GB"):
        options.add_argument(arg)
    options.add_experimental_option("prefs", {"download.default_directory": DOWNLOADS,
                                              "download.prompt_for_download": False})
    driver = webdriver.Chrome(service=Service(shutil.which("chromedriver") or "/usr/bin/chromedriver"),
                              options=options)
    driver.execute_cdp_cmd("Page.setDownloadBehavior", {"behavior": "allow", "downloadPath": DOWNLOADS})
    return driver


shot_number = [0]


def shot(driver, name):
    shot_number[0] += 1
    driver.save_screenshot(os.path.join(OUT, "%02d-%s.png" % (shot_number[0], name)))


def unstale(read, tries=20):
    """The panel is drawn anew on every update, so an element found a moment
    ago may be gone by the time it is read: read the fresh one instead."""
    for _ in range(tries - 1):
        try:
            return read()
        except StaleElementReferenceException:
            time.sleep(0.05)
    return read()


def text(driver, css):
    return unstale(lambda: driver.find_element(By.CSS_SELECTOR, css).text)


def classes(driver, css):
    return unstale(lambda: driver.find_element(By.CSS_SELECTOR, css).get_attribute("class"))


def series_max(driver, chart, column):
    return driver.execute_script(
        "const v = window.mifConsole.series[arguments[0]].map(r => r[arguments[1]]).filter(x => x !== null);"
        "return v.length ? Math.max(...v) : null;", chart, column)


def http(url, method="GET", headers=None, data=None, body=None):
    request = urllib.request.Request(url, method=method, headers=headers or {}, data=data)
    try:
        with urllib.request.urlopen(request, timeout=20) as response:
            if body is not None:
                body.append(response.read())
            return response.status
    except urllib.error.HTTPError as e:
        return e.code


def main():
    tech_box = os.path.join(ROOT, "mnt/rwfs/data/tech_box")
    sim = start_appliance()
    # The identity as mifctl shows it, read before the console holds the session.
    serial = json.loads(mifctl("serial", "--json").stdout)
    console, url, console_port = start_console("developer")
    base = url.split("/?")[0]
    token = url.split("token=")[1]
    driver = make_browser()
    try:
        # --- the serial shown
        driver.get(url)
        # The token leaves the address bar once the page has it.
        wait_for("the token out of the address bar", lambda: "token" not in driver.current_url)
        assert driver.current_url.rstrip("/") == base, driver.current_url
        wait_for("the serial in the header",
                 lambda: text(driver, '#identity dd[data-key="QX"]') == serial["QX"])
        wait_for("the link to be up", lambda: driver.execute_script("return window.mifConsole.state.link") == "up")
        assert serial["SWMC"] in text(driver, "#identity")
        assert "developer" in text(driver, "#role") and "level 5" in text(driver, "#role")
        shot(driver, "connected")
        print("ok: the serial", serial["QX"], "is shown; the token is out of the address bar")

        # --- a speed set and seen in the chart's data
        driver.find_element(By.ID, "in-set-speed").send_keys("5.0")
        driver.find_element(By.ID, "btn-set-speed").click()
        wait_for("ACK beside the speed", lambda: text(driver, "#ans-set-speed") == "ACK")
        wait_for("motor speed on the chart", lambda: (series_max(driver, "motor", 1) or 0) > 0)
        driver.find_element(By.CSS_SELECTOR, '#ctl-set-direction button[data-word="reverse"]').click()
        wait_for("ACK beside the direction", lambda: text(driver, "#ans-set-direction") == "ACK")
        ctl("weight", "750")
        wait_for("the weight on the chart", lambda: series_max(driver, "weight", 1) == 750)
        time.sleep(1.5)
        shot(driver, "speed-set")
        print("ok: speed 5.0 set, the chart shows motor speed", series_max(driver, "motor", 1))

        # --- a temperature change from the simulator seen on the chart
        ctl("temperature", "77")
        wait_for("77 degrees on the chart", lambda: series_max(driver, "temps", 1) == 77)
        wait_for("77 degrees in the panel", lambda: "77" in text(driver, '.tile[data-key="temperature"] .v'))
        shot(driver, "temperature")
        # Tiles and charts on one clock: the tile's time is the console's, as on the chart.
        inside = driver.execute_script(
            "const e = window.mifConsole.state.panel.temperature, m = window.mifConsole.series.motor;"
            "return [m[1][0].getTime() <= e.seen_ms && e.seen_ms <= m[m.length - 1][0].getTime() + 1000, e.seen_ms];")
        assert inside[0], inside
        # Read in one script: the panel may be redrawn between two reads.
        shown, seen = driver.execute_script(
            "return [document.querySelector('.tile[data-key=\"temperature\"] .t').innerText,"
            " new Date(window.mifConsole.state.panel.temperature.seen_ms).toLocaleTimeString()]")
        assert shown == seen, (shown, seen)
        # Speed and current on their own axes, with units.
        assert text(driver, "#chart-motor .dygraph-ylabel") == "speed (rpm)"
        assert text(driver, "#chart-motor .dygraph-y2label") == "current (mA)"

        # --- heating: one tile, saying what the machine reports and from where
        driver.find_element(By.CSS_SELECTOR, '#ctl-relays button[data-word="close"]').click()
        wait_for("ACK beside the relays", lambda: text(driver, "#ans-relays") == "ACK")
        driver.find_element(By.CSS_SELECTOR, '#ctl-set-heating button[data-word="on"]').click()
        wait_for("ACK beside the heating", lambda: text(driver, "#ans-set-heating") == "ACK")
        wait_for("the heater reported on", lambda: text(driver, '.tile[data-key="heater"] .v') == "heating")
        heating = text(driver, '.tile[data-key="heater"]')
        # The tile names the newer of its two sources; which one came last
        # depends on when machine control's motor data arrived.
        assert ("heating control report" in heating or "motor data" in heating) and \
            "switched on from this console" in heating, heating
        for gone in ("heating", "heating_control"):
            assert not driver.find_elements(By.CSS_SELECTOR, '.tile[data-key="%s"]' % gone)
        driver.execute_script("window.scrollTo(0, 0)")
        shot(driver, "heating")
        print("ok: one heating tile:", heating.replace("\n", " / "))

        # --- a machine error: an alarm while raised, not once cleared
        ctl("error", "72")
        wait_for("the error as an alarm",
                 lambda: "alarm" in classes(driver, '.tile[data-key="error"]'))
        shot(driver, "error-raised")
        ctl("error", "clear")
        wait_for("the error cleared", lambda: "cleared" in text(driver, '.tile[data-key="error"] .v'))
        assert "alarm" not in classes(driver, '.tile[data-key="error"]')
        shot(driver, "error-cleared")
        print("ok: the error tile is red while the error stands, and not after it was cleared")

        # The view a technician first sees, at an ordinary window's size.
        driver.set_window_size(1400, 1000)
        driver.execute_script("window.scrollTo(0, 0)")
        shot(driver, "overview")
        driver.set_window_size(1500, 2400)
        print("ok: the simulator's 77 degrees are on the chart")

        # --- a PNG uploaded and found in $MIF_ROOT/dev/fb
        pattern = os.path.join(ROOT, "pattern.png")
        subprocess.run([os.path.join(BIN, "mif-sim"), "test-pattern", pattern], env=ENV, check=True, timeout=10)
        driver.find_element(By.ID, "png-file").send_keys(pattern)
        wait_for("the preview", lambda: "as the display will show it" in text(driver, "#frame-note"))
        wait_for("the send button", lambda: driver.find_element(By.ID, "png-send").is_enabled())
        driver.find_element(By.ID, "png-send").click()
        wait_for("ACK for the picture", lambda: text(driver, "#ans-display") == "ACK")
        fb = os.path.join(ROOT, "dev/fb")
        wait_for("the frame in dev/fb", lambda: os.path.getsize(fb) == 480 * 272 * 4)
        shown = os.path.join(ROOT, "shown.png")
        ctl("fb-png", shown)
        with open(pattern, "rb") as f:
            sent = f.read()

        def display_shows_it():
            # The simulator renders on its own time: wait for the whole file.
            with open(shown, "rb") as f:
                return f.read() == sent
        wait_for("the display to show the picture sent", display_shows_it)
        driver.execute_script("document.getElementById('display').scrollIntoView()")
        shot(driver, "display")
        print("ok: the picture reached dev/fb")

        # --- a log downloaded byte for byte
        events = os.path.join(tech_box, "Events.log")
        wait_for("an events log on the appliance", lambda: os.path.getsize(events) > 0)
        driver.find_element(By.ID, "get-events").click()
        got = os.path.join(DOWNLOADS, "Events.log")
        wait_for("the download", lambda: os.path.exists(got) and os.path.getsize(got) > 0)
        with open(events, "rb") as a, open(got, "rb") as b:
            assert a.read() == b.read(), "the downloaded log differs from the appliance's"
        print("ok: Events.log downloaded byte for byte")

        # --- a log uploaded with the progress bar reaching 100 %
        upload = os.path.join(ROOT, "EventList-upload.txt")
        with open(upload, "wb") as f:
            for i in range(60000):
                f.write(b"%d;EVENT,%05d;line of an uploaded event list\n" % (1700000000 + i, i))
        driver.find_element(By.ID, "file-eventlist").send_keys(upload)
        wait_for("the upload button", lambda: driver.find_element(By.ID, "put-eventlist").is_enabled())
        driver.find_element(By.ID, "put-eventlist").click()
        wait_for("ACK for the upload", lambda: text(driver, "#ans-log-eventlist") == "ACK", timeout=30)
        wait_for("the bar at 100 %",
                 lambda: driver.find_element(By.ID, "log-progress").get_attribute("data-percent") == "100")
        with open(upload, "rb") as a, open(os.path.join(tech_box, "EventList.log"), "rb") as b:
            assert a.read() == b.read(), "the uploaded log differs on the appliance"
        driver.execute_script("document.getElementById('logs').scrollIntoView()")
        shot(driver, "logs")
        print("ok: EventList.log uploaded, the bar at 100 %")

        # --- a sound played: its samples reach dev/dsp
        sound = os.path.join(ROOT, "beep.wav")
        samples = b"".join(int((i % 96) * 600 - 28800).to_bytes(2, "little", signed=True) for i in range(24000))
        with wave.open(sound, "wb") as w:
            w.setnchannels(1)
            w.setsampwidth(2)
            w.setframerate(48000)
            w.writeframes(samples)
        driver.find_element(By.ID, "wav-file").send_keys(sound)
        wait_for("the play button", lambda: driver.find_element(By.ID, "wav-send").is_enabled())
        driver.find_element(By.ID, "wav-send").click()
        wait_for("ACK for the sound", lambda: text(driver, "#ans-sound") == "ACK")
        with open(os.path.join(ROOT, "dev/dsp"), "rb") as f:
            assert f.read().endswith(samples), "the device did not get the WAV's samples"
        print("ok: the WAV's samples reached dev/dsp")

        # --- a signed data package installed, its bar at 100 %
        package_dir = os.path.join(ROOT, "package")
        os.makedirs(os.path.join(package_dir, "demo"))
        with open(os.path.join(package_dir, "datpak.ver"), "w") as f:
            f.write("DP-2026.02-browser\n")
        with open(os.path.join(package_dir, "demo", "readme.txt"), "w") as f:
            f.write("a package installed from the console\n")
        package = os.path.join(ROOT, "browser-package.tar.gz")
        subprocess.run(["tar", "czf", package, "-C", package_dir, "datpak.ver", "demo"], check=True)
        subprocess.run([os.path.join(BIN, "mif-sim"), "sign-package", package], env=ENV, check=True, timeout=10,
                       stdout=subprocess.DEVNULL)
        driver.find_element(By.ID, "pkg-file").send_keys(package)
        driver.find_element(By.ID, "pkg-sig").send_keys(package + ".sig")
        driver.find_element(By.ID, "pkg-send").click()
        wait_for("ACK for the package", lambda: text(driver, "#ans-package") == "ACK", timeout=30)
        assert driver.find_element(By.ID, "pkg-progress").get_attribute("data-percent") == "100"
        print("ok: the data package installed")

        # --- the scale: a calibration point added and plotted
        driver.find_element(By.ID, "cal-grams").send_keys("500")
        driver.find_element(By.ID, "cal-ad").send_keys("41200")
        driver.find_element(By.ID, "cal-add").click()
        wait_for("ACK for the point", lambda: text(driver, "#ans-cal") in ("ACK", "3 points"))
        wait_for("the point in the table", lambda: "41200" in text(driver, "#cal-table"))
        driver.execute_script("document.getElementById('scale').scrollIntoView()")
        shot(driver, "scale-and-package")
        print("ok: a calibration point added")

        # --- All off: every stop step answered
        driver.find_element(By.ID, "all-off").click()
        wait_for("the all-off answers", lambda: "heater: ACK" in text(driver, "#ans-all-off"), timeout=30)
        assert "motor (raw stop): ACK" in text(driver, "#ans-all-off")
        wait_for("the speed set here shows the stop",
                 lambda: text(driver, '.tile[data-key="speed_set"] .v') == "0.0")
        assert "heating switched off from this console" in text(driver, '.tile[data-key="heater"]')
        print("ok: All off stopped the motor and the heater")

        # --- a NAK: beside its control and in the banner
        field = driver.find_element(By.ID, "in-set-speed")
        field.clear()
        field.send_keys("fast")
        driver.find_element(By.ID, "btn-set-speed").click()
        # refused by the client library before it is sent, with the format it takes
        wait_for("the refusal beside the speed", lambda: "steps of 0.5" in text(driver, "#ans-set-speed"))
        assert "nak" in driver.find_element(By.ID, "ans-set-speed").get_attribute("class")
        wait_for("the NAK banner", lambda: driver.find_element(By.ID, "nak-banner").is_displayed())
        assert "steps of 0.5" in text(driver, "#nak-banner")

        # --- the state records, filtered
        driver.find_element(By.ID, "record-filter").send_keys("GS")
        wait_for("only GS records", lambda: {e.text for e in driver.find_elements(By.CSS_SELECTOR,
                                                                                  "#record-table td.code")} == {"GS"})
        driver.execute_script("window.scrollTo(0, document.body.scrollHeight)")
        shot(driver, "records")
        print("ok: a NAK shown beside its control and in the banner; records filtered")

        # --- a request without the token refused; a foreign Host or Origin too
        assert http(base + "/api/info") == 403
        assert http(base + "/api/info?token=" + token) == 200
        assert http(base + "/api/info?token=" + token, headers={"Host": "rebound.example:%d" % console_port}) == 403
        assert http(base + "/api/command", "POST", {"X-Console-Token": token, "Origin": "http://evil.example"},
                    b'{"alias":"set-heating","args":["on"]}') == 403
        assert http(base + "/api/command", "POST", {"X-Console-Token": "0" * 32, "Origin": base},
                    b'{"alias":"set-heating","args":["on"]}') == 403
        second = driver.current_window_handle
        driver.switch_to.new_window("tab")
        driver.get(base + "/")
        assert "token" in driver.find_element(By.TAG_NAME, "body").text
        shot(driver, "no-token")
        driver.close()
        driver.switch_to.window(second)
        print("ok: requests without the token, from another Host or Origin are refused")

        # --- another client displaces the console: a service-role console
        service, service_url, service_port = start_console("service")
        wait_for("the banner on the developer console",
                 lambda: driver.find_element(By.ID, "link-banner").get_attribute("data-link") == "lost"
                 and driver.find_element(By.ID, "link-banner").is_displayed())
        assert driver.find_element(By.ID, "link-banner").get_attribute("data-cause") == "displaced"
        assert "the daemon still runs" in text(driver, "#link-banner")
        assert driver.find_element(By.ID, "reconnect").is_displayed()
        driver.execute_script("window.scrollTo(0, 0)")
        shot(driver, "displaced")
        print("ok: the displaced console says so and offers to reconnect")

        # --- the service-role console: level-5 controls disabled with the reason
        driver.switch_to.new_window("tab")
        driver.get(service_url)
        wait_for("the service console's link", lambda: driver.execute_script("return window.mifConsole.state.link") == "up")
        assert "service" in text(driver, "#role") and "level 1" in text(driver, "#role")
        assert not driver.find_element(By.ID, "btn-set-speed").is_enabled()
        assert "needs level 5" in text(driver, "#ctl-set-speed .why")
        assert not driver.find_element(By.CSS_SELECTOR, '#ctl-lock-lid button[data-word="open"]').is_enabled()
        assert not driver.find_element(By.ID, "btn-power-down").is_enabled()
        assert driver.find_element(By.ID, "get-events").is_enabled()
        wait_for("the weight on a service console", lambda: "g" in text(driver, "#scale-weight"))
        shot(driver, "service-role")
        # The console itself refuses what the page would not offer.
        service_base, service_token = service_url.split("/?")[0], service_url.split("token=")[1]
        answer = []
        assert http(service_base + "/api/command", "POST", {"X-Console-Token": service_token, "Origin": service_base},
                    b'{"alias":"set-heating","args":["on"]}', answer) == 200
        refusal = json.loads(answer[0])
        assert not refusal["sent"] and "needs level 5" in refusal["text"], refusal
        print("ok: the service console disables the level-5 controls and says why")
        driver.close()
        driver.switch_to.window(second)
        stop(service)

        # --- a key the daemon does not take
        package_key = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "keys", "dev",
                                   "package.pem")
        stranger, stranger_url, _ = start_console("stranger", ["-k", package_key])
        driver.switch_to.new_window("tab")
        driver.get(stranger_url)
        wait_for("the refused-key banner",
                 lambda: driver.find_element(By.ID, "link-banner").get_attribute("data-link") == "refused")
        assert "refused the console's key" in text(driver, "#link-banner")
        shot(driver, "key-refused")
        driver.close()
        driver.switch_to.window(second)
        stop(stranger)
        print("ok: a refused key is shown as such")

        # --- reconnect, then the daemon stops
        driver.find_element(By.ID, "reconnect").click()
        wait_for("the link up again", lambda: driver.execute_script("return window.mifConsole.state.link") == "up")
        wait_for("the banner gone", lambda: not driver.find_element(By.ID, "link-banner").is_displayed())
        stop(sim)
        wait_for("the banner after the daemon stopped",
                 lambda: driver.find_element(By.ID, "link-banner").get_attribute("data-link") == "lost")
        assert driver.find_element(By.ID, "link-banner").get_attribute("data-cause") == "stopped"
        assert "daemon stopped" in text(driver, "#link-banner")
        driver.execute_script("window.scrollTo(0, 0)")
        shot(driver, "daemon-gone")
        driver.find_element(By.ID, "reconnect").click()
        wait_for("the unreachable banner",
                 lambda: driver.find_element(By.ID, "link-banner").get_attribute("data-link") == "unreachable")
        assert "connection refused" in text(driver, "#link-banner")
        assert not driver.find_element(By.ID, "btn-set-speed").is_enabled()
        driver.execute_script("window.scrollTo(0, 0)")
        shot(driver, "daemon-stopped")
        print("ok: after the daemon stopped the console says it is unreachable")
    except Exception:
        shot(driver, "failure")
        raise
    finally:
        driver.quit()


if __name__ == "__main__":
    status = 0
    try:
        main()
    except Exception:
        traceback.print_exc()
        for name in sorted(os.listdir(ROOT)):
            if name.endswith(".log"):
                print("=== " + name)
                with open(os.path.join(ROOT, name), errors="replace") as f:
                    print(f.read()[-3000:])
        status = 1
    finally:
        for p in reversed(processes):
            stop(p)
        shutil.rmtree(ROOT, ignore_errors=True)
    sys.exit(status)
