"""Figures of the Python package and the Ansible collection, printed as
one JSON object for mif-bench:

  weight_python_ns, weight_cxx_ns  1,000 MCH_GET_WEIGHT round trips each
      through one Python Session, and through the same session's C++
      client in-process (mifctl_core's request() in a loop), interleaved
      in blocks so that both see the same machine;
  playbook_s    the example playbook against five fresh simulated
      appliances at forks 5;
  mifctl_s      the same steps with mifctl, one appliance after the other.

    python3 bench/python_figures.py   (PYTHONPATH: the build's python dir)
"""
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import time

import mif
from mif.appliance import signed_package, start_line

SOURCE_DIR = pathlib.Path(__file__).resolve().parents[1]
EXAMPLE_DIR = SOURCE_DIR / "examples" / "ansible"
ROUND_TRIPS, BLOCK = 1000, 100
UNITS = 5
SERIALS = ["12345678901234560", "12345678901234577", "12345678901234584", "12345678901234591",
           "12345678901234553"]
CALIBRATION = [[0, 1200], [1000, 81200], [3000, 241200]]
VERSION = "DP-2026.02-bench"


def weight_round_trips(unit):
    unit.sim("weight 750")
    with unit.session("testlab") as s:
        for _ in range(100):
            if (s.weight(check=False) or (0,))[0] == 750:
                break
            time.sleep(0.05)
        python, cxx = [], []
        index = mif._core.command_index("MCH_GET_WEIGHT")
        while len(python) < ROUND_TRIPS:
            for _ in range(BLOCK):
                start = time.perf_counter_ns()
                s.command(index)
                python.append(time.perf_counter_ns() - start)
            cxx.extend(s._core._time_requests(index, BLOCK))
    return python, cxx


def stop_line(units):
    for unit in units:
        unit.stop()


def playbook_seconds(units, package, work):
    hosts = {f"line-{n + 1:02}": {"mif_host": "127.0.0.1", "mif_port": u.port, "mif_serial": SERIALS[n]}
             for n, u in enumerate(units)}
    (work / "logs").mkdir()
    inventory = work / "inventory.yml"
    inventory.write_text(json.dumps({"appliances": {"hosts": hosts, "vars": {
        "ansible_python_interpreter": "{{ ansible_playbook_python }}", "mif_role": "testlab",
        "mif_calibration": CALIBRATION, "mif_package": str(package), "mif_package_version": VERSION,
        "mif_log_dir": str(work / "logs")}}}))
    # The modules import this very package, wherever the caller found it.
    package_dir = str(pathlib.Path(mif.__file__).resolve().parents[1])
    python_path = os.pathsep.join([package_dir] + [p for p in [os.environ.get("PYTHONPATH")] if p])
    env = dict(os.environ, ANSIBLE_CONFIG=str(EXAMPLE_DIR / "ansible.cfg"), PYTHONPATH=python_path,
               ANSIBLE_HOME=str(work / "home"), ANSIBLE_LOCAL_TEMP=str(work / "tmp"), ANSIBLE_FORKS="5")
    start = time.monotonic()
    done = subprocess.run(["ansible-playbook", "-i", str(inventory), str(EXAMPLE_DIR / "provision.yml")],
                          env=env, capture_output=True, text=True)
    seconds = time.monotonic() - start
    if done.returncode != 0:
        sys.exit(f"python_figures: the playbook failed:\n{done.stdout[-3000:]}")
    return seconds


def mifctl_seconds(units, package, work, bin_dir):
    """The playbook's steps as a shell loop would run them."""
    start = time.monotonic()
    for n, unit in enumerate(units):
        steps = [["serial"], ["set-serial", SERIALS[n]], ["set-caldata", "clear"]]
        steps += [["set-caldata", str(g), str(a)] for g, a in CALIBRATION]
        steps += [["install-data", str(package), "--sig", str(package) + ".sig"], ["serial"], ["get-caldata"],
                  ["get-log", "repaevents", "-o", str(work / f"line-{n + 1:02}-RepaEvents.log")]]
        for step in steps:
            done = subprocess.run([bin_dir / "mifctl", "-q", "-p", str(unit.port), "-r", "testlab", *step],
                                  capture_output=True, text=True)
            # Calibration NAKs until the second point is in, as in the module.
            if done.returncode != 0 and not (step[0] == "set-caldata" and "Failed to calibrate" in done.stderr):
                sys.exit(f"python_figures: mifctl {' '.join(step)}: {done.stderr}")
    return time.monotonic() - start


def main():
    with tempfile.TemporaryDirectory(prefix="mifbench.") as tmp:
        work = pathlib.Path(tmp)
        units = start_line(UNITS, unprovisioned=True)
        try:
            python, cxx = weight_round_trips(units[0])
            bin_dir = units[0].bin_dir
            package = signed_package(work, VERSION, bin_dir)
            playbook = playbook_seconds(units, package, work)
        finally:
            stop_line(units)
        units = start_line(UNITS, unprovisioned=True)
        try:
            sequential = mifctl_seconds(units, package, work, bin_dir)
        finally:
            stop_line(units)
    json.dump({"weight_python_ns": python, "weight_cxx_ns": cxx, "playbook_s": playbook, "mifctl_s": sequential},
              sys.stdout)


if __name__ == "__main__":
    main()
