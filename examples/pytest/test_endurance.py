"""An endurance run: steps the speed, switches the heater, samples the
temperature and the motor current every second into a CSV file, and stops
at the first machine error.

    pytest -p mif.pytest_plugin examples/pytest                    # simulated appliance
    pytest examples/pytest --mif-host 192.0.2.10 --mif-key lab.pem  # a real one

MIF_ENDURANCE_S sets the length of the run in seconds (default an hour).
"""
import csv
import os
import time

SPEEDS = ["1.0", "3.0", "5.0", "7.0", "10.0"]   # stepped through, one step per STEP_S
STEP_S = 10
HEATER_S = 30                          # the heater switches every HEATER_S


def latest(records, code, field, before):
    """The last value of `field` in the records of `code`, else `before`."""
    values = [r["fields"][field] for r in records if r.get("code") == code and field in r.get("fields", {})]
    return values[-1] if values else before


def endurance(session, seconds, csv_path, tick=None):
    """Runs for `seconds`; returns the machine-error record that ended the
    run early, or None. `tick(n)` is called before each sample."""
    temperature = current = None
    with open(csv_path, "w", newline="") as out:
        rows = csv.writer(out)
        rows.writerow(["second", "speed", "heater", "temperature", "motor_current"])
        start = time.monotonic()
        for n in range(int(seconds)):
            if tick:
                tick(n)
            speed = SPEEDS[(n // STEP_S) % len(SPEEDS)]
            heater = (n // HEATER_S) % 2 == 0
            if n % STEP_S == 0:
                session.set_speed(speed, check=True)
            if n % HEATER_S == 0:
                session.set_heating(heater, check=True)
            records = session.state()
            errors = [r for r in records if r.get("code") == "ER"]
            if errors:
                return errors[0]
            temperature = latest(records, "DT", "temperature", temperature)
            current = latest(records, "MC", "motor_current_ma", current)
            rows.writerow([n, speed, "on" if heater else "off", temperature, current])
            out.flush()
            # One sample a second, however long the requests took.
            time.sleep(max(0.0, start + n + 1 - time.monotonic()))
    session.set_speed("0.0")
    session.set_heating(False)
    return None


def run_seconds():
    return float(os.environ.get("MIF_ENDURANCE_S", "3600"))


def test_endurance_run(appliance, tmp_path):
    session = appliance.session("testlab")
    seconds = run_seconds()
    error = endurance(session, seconds, tmp_path / "endurance.csv")
    assert error is None, f"machine error during the run: {error['text']}"
    with open(tmp_path / "endurance.csv") as f:
        samples = list(csv.DictReader(f))
    assert len(samples) == int(seconds)
    assert any(s["temperature"] != "" for s in samples)


def test_endurance_stops_on_machine_error(appliance, tmp_path):
    session = appliance.session("testlab")

    def raise_error(n):
        if n == 2:
            appliance.sim("error 10")
            time.sleep(0.5)

    error = endurance(session, 30, tmp_path / "endurance.csv", tick=raise_error)
    assert error is not None and error["code"] == "ER"
    appliance.sim("error clear")
