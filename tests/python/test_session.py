"""The mif package against simulated appliances: commands and their
decoders, transfers, and every kind of failure as its own exception."""
import builtins
import os
import subprocess
import sys
import tarfile
import threading
import time

import pytest

import mif
from mif.appliance import free_port


# ------------------------------------------------------------ commands


def test_commands_and_decoders(appliance):
    with appliance.session("testlab") as s:
        assert s.role == "testlab"
        serial = s.serial()
        assert list(serial)[:3] == ["QX", "FE", "BE"] and serial["SWMC"] == "0x00030215"

        appliance.sim("weight 750")
        # Machine control reports the new load with its next reading.
        for _ in range(50):
            if (s.weight(check=False) or (0,))[0] == 750:
                break
            time.sleep(0.1)
        assert s.weight() == (750, 61200)

        # By name, by index, and in mifctl's words: the same command.
        assert s.command("MCH_GET_WEIGHT").text == s.command(17).text == s.run("weight").text == "750,61200"
        assert s.set_heating(True).text == "ACK"
        assert s.set_speed("5.0", check=True).ok

        appliance.sim("touch 240,136")
        for _ in range(50):
            records = s.state()
            touches = [r for r in records if r["code"] == "TE"]
            if touches:
                break
            time.sleep(0.1)
        assert touches[0]["fields"] == {"x": 240, "y": 136} and touches[0]["time_ms"] > 0

        # A NAK is an answer unless the caller asks for check=True.
        answer = s.command("MCH_SET_SERIAL", "12345678901234565")
        assert answer.nak and not answer.ok and answer.text == "NAK: Wrong checksum in serial"
        with pytest.raises(mif.Nak) as nak:
            s.command("MCH_SET_SERIAL", "12345678901234565", check=True)
        assert nak.value.text == "NAK: Wrong checksum in serial"
        assert isinstance(nak.value, mif.MifError)
        assert s.command("MCH_SET_SERIAL", "12345678901234560", check=True).text == "ACK"
        assert s.serial()["QX"] == "12345678901234560"
        assert s.identity_value() == 12345678901234560
        # OTP value B comes back in fields (FEAN), read back as the number burnt.
        assert s.command("MCH_SET_SERIAL", "FEEAN:12345678901234567", check=True).ok
        assert s.identity_value("FEEAN") == 12345678901234567

        assert s.command("MCH_SET_CALDATA", "CLEAR", check=True).ok
        assert s.calibration() == []
        s.command("MCH_SET_CALDATA", "1000,81200")
        assert s.command("MCH_SET_CALDATA", "0,1200", check=True).ok
        assert s.calibration() == [(0, 1200), (1000, 81200)]

        with pytest.raises(ValueError):
            s.command("MCH_NO_SUCH_THING")
        with pytest.raises(ValueError):
            s.command("SVC_GET_EVENTS")  # a file: get_log fetches it
        with pytest.raises(ValueError):
            s.run("set-heating", "lukewarm")
        # Nothing above went wrong with the session itself.
        assert s.is_open and s.command("MCH_GET_TARA").ok


def test_service_role_is_refused_full_level_commands(appliance):
    with appliance.session("service") as s:
        assert s.command("MCH_GET_WEIGHT").text != "NAK: No such command"
        assert s.set_heating(True).text == "NAK: No such command"


def test_decoders_of_mifctls_library():
    core = mif._core
    assert core.decode_caldata("0,1200;1000,81200;") == [(0, 1200), (1000, 81200)]
    assert core.decode_caldata("") == []
    for bad in ["0,1200", "0;", "x,5;", "-1,5;", "4294967296,5;", "0,2147483648;"]:
        assert core.decode_caldata(bad) is None, bad
    assert core.caldata_argument(1000, -5) == "1000,-5"
    answer = ("QX:12345678901234560,FE:18446744073709551615,BE:BE-1   X7,SWFE:1.2,BEHW:0x00000001,"
              "SWMC:0x00030215,SWPC:0x00000002,RCPK:DP-1\n,FEAN:1844674PA40737095   51615")
    assert core.identity_value(answer, "") == 12345678901234560
    # An unreadable OTP value reads as all bits set, in both forms.
    assert core.identity_value(answer, "PEDEU") == core.identity_value(answer, "FEEAN") == 2**64 - 1
    assert core.identity_value(answer.replace("FEAN:1844674PA", "FEAN:1844674XA"), "FEEAN") is None
    assert core.identity_value("NAK: Unsuccessful", "") is None
    assert core.decode_weight("500,81200") == (500, 81200) and core.decode_weight("500") is None


# ----------------------------------------------------------- transfers


def test_transfers_with_progress(appliance, tmp_path, bin_dir):
    s = appliance.session("developer")
    log = tmp_path / "events.log"
    log.write_text("".join(f"{n};66;LID,CLOSE\n" for n in range(2000)))
    seen = []
    assert s.set_log("events", log, progress=lambda done, total: seen.append((done, total)), check=True).ok
    assert seen and seen[-1][0] == seen[-1][1] and seen[-1][1] >= log.stat().st_size

    back = tmp_path / "back.log"
    assert s.get_log("events", back, check=True).text == "ACK"
    assert back.read_text() == log.read_text()

    # A callback that raises does not tear the stream: the error comes
    # after the transfer, and the session goes on.
    def fail(done, total):
        raise KeyError("stop")
    with pytest.raises(KeyError):
        s.get_log("events", tmp_path / "again.log", progress=fail)
    assert s.is_open and s.command("MCH_GET_TARA").ok

    pattern = tmp_path / "pattern.png"
    subprocess.run([bin_dir / "mif-sim", "test-pattern", pattern], check=True, capture_output=True)
    assert s.display_img(pattern).text == "ACK"

    package_dir = tmp_path / "package"
    package_dir.mkdir()
    (package_dir / "datpak.ver").write_text("DP-2026.02-pytest\n")
    package = tmp_path / "package.tar.gz"
    with tarfile.open(package, "w:gz") as tar:
        tar.add(package_dir / "datpak.ver", arcname="datpak.ver")
    # A signature that does not belong to the package: refused, nothing installed.
    (tmp_path / "package.tar.gz.sig").write_bytes(bytes(256))
    with pytest.raises(mif.Nak) as nak:
        s.install_data(package, check=True)
    assert nak.value.text == "NAK: Unsuccessful"
    subprocess.run([bin_dir / "mif-sim", "sign-package", package], check=True, capture_output=True,
                   env=appliance.env())
    assert s.install_data(package, check=True).text == "ACK"
    assert s.serial()["RCPK"] == "DP-2026.02-pytest"


# -------------------------------------------------------------- faults


def test_failures_are_exceptions(appliance, tmp_path, dev_key):
    # A key of no role: refused, not a plain connection failure.
    with pytest.raises(mif.Refused):
        mif.connect(appliance.host, appliance.port, key=dev_key("package"))
    with pytest.raises(FileNotFoundError):
        mif.connect(appliance.host, appliance.port, key=tmp_path / "missing.pem")
    with pytest.raises(ValueError):
        mif.connect(appliance.host, appliance.port, role="janitor")

    s = appliance.session("testlab")
    with pytest.raises(FileNotFoundError):
        s.install_data(tmp_path / "missing.tar.gz")
    with pytest.raises(FileNotFoundError):
        s.set_log("events", tmp_path / "missing.log")
    assert s.is_open

    # A second client takes the daemon's one session.
    other = appliance.session("testlab")
    with pytest.raises(mif.Displaced):
        s.command("MCH_GET_TARA")
    assert not s.is_open
    with pytest.raises(mif.ConnectionError):
        s.command("MCH_GET_TARA")
    assert other.command("MCH_GET_TARA").ok


def test_role_keys_found_beside_the_package(appliance):
    # No MIF_KEY_DIR: the interpreter's place says nothing, so the build
    # tree's package takes the source tree's development keys itself.
    env = {k: v for k, v in os.environ.items() if k != "MIF_KEY_DIR"}
    script = ("import sys, mif\n"
              "with mif.connect('127.0.0.1', int(sys.argv[1]), role='testlab') as s:\n"
              "    print(s.role, s.serial()['SWMC'])\n")
    done = subprocess.run([sys.executable, "-c", script, str(appliance.port)], env=env,
                          capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout.strip()) == (0, "testlab 0x00030215"), done.stderr


def test_daemon_down():
    with pytest.raises(mif.ConnectionError) as failure:
        mif.connect("127.0.0.1", free_port(), role="testlab", timeout=2)
    assert isinstance(failure.value, builtins.ConnectionError)


def test_timeout_and_the_lock_released_while_waiting(appliance):
    # Machine control does not answer: the daemon retries for longer than
    # the session waits.
    s = appliance.session("testlab", timeout=1)
    appliance.sim("mcl silent")
    with pytest.raises(mif.Timeout):
        # The control line reaches machine control on a way of its own: a
        # request may still be answered before it does.
        for _ in range(3):
            s.command("MCH_GET_SYSTIME")
    assert not s.is_open

    # While one thread waits for the daemon, this one runs Python.
    s = appliance.session("testlab", timeout=20)
    outcome = {}
    waiter = threading.Thread(target=lambda: outcome.setdefault("answer", s.command("MCH_GET_SYSTIME")))
    waiter.start()
    time.sleep(0.3)
    ran_while_waiting = waiter.is_alive()
    appliance.sim("mcl normal")
    waiter.join(30)
    assert ran_while_waiting
    assert "answer" in outcome
