"""The example playbook against a line of five simulated appliances and
one whose daemon is down: the first run provisions every live appliance,
the second changes nothing, and the down one fails alone."""
import json
import os
import pathlib
import subprocess
import tarfile

import pytest

import mif
from mif.appliance import free_port, signed_package, start_line

SOURCE_DIR = pathlib.Path(__file__).resolve().parents[2]
EXAMPLE_DIR = SOURCE_DIR / "examples" / "ansible"
SERIALS = ["12345678901234560", "12345678901234577", "12345678901234584", "12345678901234591",
           "12345678901234553"]
CALIBRATION = [[1000, 81200], [0, 1200], [3000, 241200]]
VERSION = "DP-2026.02-line"


@pytest.fixture
def line():
    units = start_line(len(SERIALS), unprovisioned=True)
    yield units
    problems = [p for unit in units for p in unit.stop()]
    assert not problems


def write_inventory(path, units, package, log_dir):
    hosts = {f"line-{n + 1:02}": {"mif_host": "127.0.0.1", "mif_port": unit.port, "mif_serial": SERIALS[n]}
             for n, unit in enumerate(units)}
    # Nothing listens on this one's port: its daemon is down.
    hosts["line-down"] = {"mif_host": "127.0.0.1", "mif_port": free_port(), "mif_serial": SERIALS[0]}
    inventory = {"appliances": {"hosts": hosts, "vars": {
        "ansible_python_interpreter": "{{ ansible_playbook_python }}",
        "mif_role": "testlab", "mif_calibration": CALIBRATION, "mif_package": str(package),
        "mif_package_version": VERSION, "mif_log_dir": str(log_dir)}}}
    path.write_text(json.dumps(inventory))  # JSON is YAML


def run_playbook(inventory, work, playbook=EXAMPLE_DIR / "provision.yml"):
    # The modules import this very package, wherever the caller found it.
    package_dir = str(pathlib.Path(mif.__file__).resolve().parents[1])
    python_path = os.pathsep.join([package_dir] + [p for p in [os.environ.get("PYTHONPATH")] if p])
    env = dict(os.environ,
               ANSIBLE_CONFIG=str(EXAMPLE_DIR / "ansible.cfg"), PYTHONPATH=python_path,
               ANSIBLE_STDOUT_CALLBACK="json",
               ANSIBLE_HOME=str(work / "ansible-home"),
               ANSIBLE_LOCAL_TEMP=str(work / "ansible-tmp"),
               ANSIBLE_FORKS="6",
               ANSIBLE_NOCOLOR="1")
    done = subprocess.run(["ansible-playbook", "-i", str(inventory), str(playbook)],
                          env=env, capture_output=True, text=True, timeout=120)
    try:
        report = json.loads(done.stdout)
    except ValueError:
        pytest.fail(f"ansible-playbook said:\n{done.stdout}\n{done.stderr}")
    return done.returncode, report


def failed_tasks(report, host):
    return [task["hosts"][host] for play in report["plays"] for task in play["tasks"]
            if host in task["hosts"] and task["hosts"][host].get("failed")]


def test_line_provisioning(line, tmp_path, bin_dir):
    package = signed_package(tmp_path, VERSION, bin_dir)
    log_dir = tmp_path / "logs"
    log_dir.mkdir()
    inventory = tmp_path / "inventory.yml"
    write_inventory(inventory, line, package, log_dir)
    live = [f"line-{n + 1:02}" for n in range(len(line))]

    status, first = run_playbook(inventory, tmp_path)
    stats = first["stats"]
    assert status != 0  # the down host failed
    for host in live:
        assert stats[host]["failures"] == 0 and stats[host]["unreachable"] == 0, [t.get("msg") for t in failed_tasks(first, host)]
        assert stats[host]["changed"] == 4  # serial, calibration, package, the log's first copy
    assert stats["line-down"]["failures"] == 1
    down = failed_tasks(first, "line-down")[0]
    assert "connection refused" in down["msg"] and "Traceback" not in json.dumps(down)

    for n, unit in enumerate(line):
        with unit.session("testlab") as s:
            assert s.identity_value() == int(SERIALS[n])
            assert s.calibration() == sorted(tuple(p) for p in CALIBRATION)
            assert s.serial()["RCPK"].strip() == VERSION
        assert "RCPK:" + VERSION in (log_dir / f"{live[n]}-RepaEvents.log").read_text()

    status, second = run_playbook(inventory, tmp_path)
    for host in live:
        assert second["stats"][host]["changed"] == 0 and second["stats"][host]["failures"] == 0, \
            failed_tasks(second, host)


def test_modules_refuse_what_they_cannot_do_honestly(line, tmp_path):
    """Check mode writes nothing; a different serial is refused; a bad
    signature and a missing package fail with the daemon's or the OS's
    text."""
    unit = line[0]
    hosts = {"one": {"mif_host": "127.0.0.1", "mif_port": unit.port}}
    inventory = tmp_path / "inventory.yml"
    inventory.write_text(json.dumps({"all": {"hosts": hosts, "vars": {
        "ansible_python_interpreter": "{{ ansible_playbook_python }}"}}}))
    bad = tmp_path / "bad.tar.gz"
    (tmp_path / "datpak.ver").write_text("DP-unsigned\n")
    with tarfile.open(bad, "w:gz") as tar:
        tar.add(tmp_path / "datpak.ver", arcname="datpak.ver")
    (tmp_path / "bad.tar.gz.sig").write_bytes(bytes(256))
    playbook = tmp_path / "faults.yml"
    common = {"host": "127.0.0.1", "port": unit.port, "role": "testlab"}
    tasks = [
        {"name": "check", "mif.appliance.mif_serial": dict(common, value=SERIALS[1]), "check_mode": True},
        {"name": "burn", "mif.appliance.mif_serial": dict(common, value=SERIALS[0])},
        {"name": "other", "mif.appliance.mif_serial": dict(common, value=SERIALS[1]), "ignore_errors": True},
        {"name": "otp", "mif.appliance.mif_serial": dict(common, value="42", target="feean")},
        {"name": "otp-other", "mif.appliance.mif_serial": dict(common, value="43", target="feean"),
         "ignore_errors": True},
        {"name": "badsig", "mif.appliance.mif_data_package": dict(common, package=str(bad)), "ignore_errors": True},
        {"name": "missing", "mif.appliance.mif_data_package": dict(common, package=str(tmp_path / "none.tar.gz"),
                                                                   version="X"), "ignore_errors": True},
        {"name": "nak", "mif.appliance.mif_command": dict(common, command="MCH_SET_HEATING", arg="LUKEWARM"),
         "ignore_errors": True},
        {"name": "diff", "mif.appliance.mif_calibration": dict(common, points=CALIBRATION), "diff": True,
         "check_mode": True},
    ]
    playbook.write_text(json.dumps([{"hosts": "one", "connection": "local", "gather_facts": False,
                                     "tasks": tasks}]))
    _, report = run_playbook(inventory, tmp_path, playbook)
    results = {task["task"]["name"]: task["hosts"]["one"] for task in report["plays"][0]["tasks"]}
    assert results["check"]["changed"] and "would burn" in results["check"]["msg"], results["check"]
    assert results["burn"]["changed"] and results["burn"]["previous"] == "0"  # check mode wrote nothing
    assert results["other"]["failed"] and "already" in results["other"]["msg"]
    assert results["otp"]["changed"] and results["otp"]["answer"] == "ACK"
    assert results["otp-other"]["failed"] and results["otp-other"]["answer"] == "NAK: Serial already set"
    assert results["badsig"]["failed"] and results["badsig"]["answer"] == "NAK: Unsuccessful"
    assert results["missing"]["failed"] and "No such file" in results["missing"]["msg"]
    assert results["nak"]["failed"] and results["nak"]["answer"].startswith("NAK: ")
    assert results["diff"]["changed"] and "1000,81200" in results["diff"]["diff"]["after"]
    for result in results.values():
        assert "Traceback" not in json.dumps(result)
    with unit.session("testlab") as s:
        assert s.identity_value() == int(SERIALS[0])
