"""Python sessions with the Machine Interface daemon.

    import mif
    with mif.connect("127.0.0.1", role="testlab") as s:
        print(s.serial()["QX"], s.weight())
        s.set_speed("5.0", check=True)

The protocol (framing, signing, decoding) is mifctl's own client library,
wrapped by the extension module mif._core; nothing of it is written again
in Python. Calls that wait for the daemon release the interpreter lock.
"""
import json

from . import _core
from .errors import ConnectionError, Displaced, MifError, Nak, Refused, Timeout

__all__ = ["connect", "Session", "Answer", "MifError", "ConnectionError", "Refused", "Displaced", "Nak",
           "Timeout", "DEFAULT_PORT"]

DEFAULT_PORT = 16176
Answer = _core.Answer


def _checked(answer, check):
    if check and answer.nak:
        raise Nak(answer)
    return answer


class Session:
    """One authenticated session; a context manager that closes it."""

    def __init__(self, core):
        self._core = core

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        self._core.close()

    @property
    def is_open(self):
        return self._core.is_open

    @property
    def role(self):
        return self._core.role

    # ------------------------------------------------------------ commands

    def command(self, name_or_index, arg=None, check=False):
        """Sends one plain command by its daemon name ("MCH_GET_WEIGHT") or
        index, with `arg` as its text (None sends no payload)."""
        if isinstance(name_or_index, str):
            index = _core.command_index(name_or_index)
            if index < 0:
                raise ValueError(f'no command named "{name_or_index}"')
        else:
            index = int(name_or_index)
        return _checked(self._core.request(index, None if arg is None else str(arg)), check)

    def run(self, command, *args, check=False):
        """A plain command in mifctl's words: run("set-speed", "5.0")."""
        return _checked(self._core.run(command, [str(a) for a in args]), check)

    def _decoded(self, command, decode, check):
        """The answer of `command` through `decode`; None for a NAK when
        check is False."""
        answer = _checked(self.command(command), check)
        if answer.nak:
            return None
        value = decode(answer.text)
        if value is None:
            raise MifError(f"unexpected answer to {command}: {answer.text!r}")
        return value

    def serial(self, check=True):
        """Serials and versions as mifctl's `serial --json` gives them: a dict
        keyed by the daemon's keys (QX, FE, BE, SWFE, ..., RCPK, FEAN), every
        value a string. With check=False a NAK gives None."""
        decoded = self._decoded("MCH_GET_SERIAL", _core.decode_serial, check)
        return None if decoded is None else json.loads(decoded)

    def identity_value(self, target=None):
        """The number MCH_SET_SERIAL writes for `target` (None: the appliance
        serial; "PEDEU" or "FEEAN": an OTP value) as the appliance reports it."""
        return self._decoded("MCH_GET_SERIAL", lambda text: _core.identity_value(text, target or ""), True)

    def weight(self, check=True):
        """(grams, AD value) of the scale. With check=False a NAK gives None."""
        return self._decoded("MCH_GET_WEIGHT", _core.decode_weight, check)

    def calibration(self):
        """The scale's calibration table as [(grams, AD value), ...], in
        ascending grams; [] when it holds none."""
        answer = self.command("MCH_GET_CALDATA")
        if answer.text == "NAK: no caldata found":
            return []
        points = _core.decode_caldata(_checked(answer, True).text)
        if points is None:
            raise MifError(f"unexpected calibration table: {answer.text!r}")
        return points

    def state(self, check=False):
        """The machine-state records collected since the last call, decoded
        (dicts in mifctl's `state --json` shape: time_ms, code, label,
        fields by name, units, text); [] when the
        log is empty. check=True raises on any other NAK."""
        answer = self.command("MCH_GET_STATE")
        if answer.nak:
            if answer.text == "NAK: State buffer empty" or not check:
                return []
            raise Nak(answer)
        return [json.loads(record) for record in _core.decode_state(answer.text)]

    def set_speed(self, *speed, check=False):
        """The motor speed as the knob sets it: set_speed("5.0"), set_speed("soft")."""
        return self.run("set-speed", *speed, check=check)

    def set_heating(self, on, check=False):
        """Switches the heater: set_heating(True) or set_heating("off")."""
        word = on if isinstance(on, str) else ("on" if on else "off")
        return self.run("set-heating", word, check=check)

    # ----------------------------------------------------------- transfers

    def get_log(self, name, dest, rotated=0, progress=None, check=False):
        """Fetches a service log ("events", "errors", "bb", "eventlist",
        "repaevents", "matrix") into the file `dest`; rotated=N fetches the
        copy .N. The file appears only when complete."""
        options = {"output": str(dest), "rotated": int(rotated)}
        return _checked(self._core.run("get-log", [name], options, progress), check)

    def set_log(self, name, path, index=None, progress=None, check=False):
        """Replaces a service log with the local file `path` (index=N: the copy .N)."""
        options = {} if index is None else {"index": int(index)}
        return _checked(self._core.run("set-log", [name, str(path)], options, progress), check)

    def display_img(self, path, scale=False, progress=None, check=False):
        """Shows a PNG (or a raw frame) on the display."""
        return _checked(self._core.run("display-img", [str(path)], {"scale": bool(scale)}, progress), check)

    def play_snd(self, path, progress=None, check=False):
        """Plays a WAV (or raw PCM) file."""
        return _checked(self._core.run("play-snd", [str(path)], {}, progress), check)

    def install_data(self, package, signature=None, progress=None, check=False):
        """Installs a signed data package (signature: PACKAGE.sig by default)."""
        signature = str(signature) if signature is not None else str(package) + ".sig"
        return _checked(self._core.run("install-data", [str(package)], {"signature": signature}, progress),
                        check)


def connect(host="127.0.0.1", port=DEFAULT_PORT, key=None, role=None, timeout=30):
    """Opens and authenticates a session. `key` is a private key file,
    `role` a role name looked up in MIF_KEY_DIR (or the development keys);
    without either, MIF_KEY or MIF_ROLE from the environment. `timeout` is
    the longest wait for any answer, in seconds.

    Raises Refused (key not accepted), Timeout, ConnectionError (daemon
    down), FileNotFoundError (no such key file), ValueError (unknown role)."""
    import os
    if key is None and role is None:
        key = os.environ.get("MIF_KEY") or None
        role = None if key else (os.environ.get("MIF_ROLE") or None)
    return Session(_core.Session(host, int(port), None if key is None else str(key), role,
                                 int(float(timeout) * 1000)))
