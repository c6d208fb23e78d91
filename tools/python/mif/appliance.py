"""A simulated appliance on this PC: mif-sim in a fresh root of its own,
its supervisor starting mifd on a free loopback port.

The pytest fixture, the Ansible test and the benchmark start appliances
through this one class, so that every caller lays out a root, picks a port
and checks the daemon's end the same way.
"""
import os
import pathlib
import shlex
import shutil
import signal
import socket
import subprocess
import tempfile
import time

from . import connect

START_TIMEOUT_S = 30
STOP_TIMEOUT_S = 15


def find_bin_dir(bin_dir=None):
    """Where mif-sim and mifd are: the argument, MIF_BIN_DIR, the build
    tree this package was imported from (build/python/mif -> build/bin),
    the installation prefix (PREFIX/lib/python3/dist-packages/mif ->
    PREFIX/bin), or PATH."""
    here = pathlib.Path(__file__).resolve().parents
    candidates = [bin_dir, os.environ.get("MIF_BIN_DIR"), here[2] / "bin", here[4] / "bin"]
    for candidate in candidates:
        if candidate and (pathlib.Path(candidate) / "mif-sim").exists():
            return pathlib.Path(candidate)
    found = shutil.which("mif-sim")
    if found:
        return pathlib.Path(found).parent
    raise FileNotFoundError("mif-sim not found: build the project or give MIF_BIN_DIR")


def free_port():
    """A TCP port nobody listens on at the moment (the kernel's choice)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _listening(port):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.settimeout(0.5)
        return s.connect_ex(("127.0.0.1", port)) == 0


class SimulatedAppliance:
    """One simulated appliance. start() returns once the daemon serves;
    stop() ends it and returns what went wrong with the daemon, if anything."""

    host = "127.0.0.1"

    def __init__(self, bin_dir=None, root=None, port=None, unprovisioned=False):
        """unprovisioned: the appliance comes without a serial number, as
        from the factory (the simulator otherwise seeds one)."""
        self.bin_dir = find_bin_dir(bin_dir)
        self._own_root = root is None
        self.root = pathlib.Path(root) if root else pathlib.Path(tempfile.mkdtemp(prefix="mifsim."))
        self.port = port or free_port()
        self.log_path = self.root / "sim.log"
        self._process = None
        self._sessions = []
        if unprovisioned:
            # Seventeen zeros read as "no serial set"; the simulator keeps a
            # file it finds in place.
            config = self.root / "mnt/rwfs/data/system_config"
            config.mkdir(parents=True, exist_ok=True)
            (config / "qxsn.dat").write_text("0" * 17)

    def env(self):
        env = dict(os.environ)
        env.update(MIF_ROOT=str(self.root), MIF_PORT=str(self.port),
                   PATH=f"{self.bin_dir}:{env.get('PATH', '/usr/bin:/bin')}")
        return env

    def start(self):
        with open(self.log_path, "ab") as log:
            self._process = subprocess.Popen(
                [str(self.bin_dir / "mif-sim"), "--daemon", str(self.bin_dir / "mifd"), "127.0.0.1"],
                env=self.env(), stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + START_TIMEOUT_S
        while time.monotonic() < deadline:
            if self._process.poll() is not None:
                break
            if _listening(self.port):
                return self
            time.sleep(0.05)
        self.stop()
        raise RuntimeError(f"the simulated appliance under {self.root} did not start serving:\n{self.log()}")

    def log(self):
        try:
            return self.log_path.read_text(errors="replace")
        except OSError:
            return ""

    def session(self, role="testlab", **kwargs):
        """A session with the appliance's daemon, closed when the appliance stops."""
        s = connect(self.host, self.port, role=role, **kwargs)
        self._sessions.append(s)
        return s

    def sim(self, command):
        """A control command of the simulator ("weight 750", "temperature 80",
        "error 10", "lid open", "touch 240,136"); returns what it printed."""
        words = shlex.split(command) if isinstance(command, str) else list(command)
        done = subprocess.run([str(self.bin_dir / "mif-sim"), "ctl", *words], env=self.env(),
                              capture_output=True, text=True, timeout=10)
        if done.returncode != 0:
            raise RuntimeError(f"mif-sim ctl {' '.join(words)}: {done.stderr.strip()}")
        return done.stdout

    def running(self):
        return self._process is not None and self._process.poll() is None

    def stop(self):
        """Ends the appliance. Returns a list of problems: the simulator's
        exit status, a daemon that died on its own or had to be killed."""
        for s in self._sessions:
            s.close()
        self._sessions.clear()
        problems = []
        if self._process is not None:
            if self._process.poll() is None:
                self._process.send_signal(signal.SIGTERM)
                try:
                    self._process.wait(STOP_TIMEOUT_S)
                except subprocess.TimeoutExpired:
                    self._process.kill()
                    self._process.wait()
                    problems.append("the simulator did not end on SIGTERM and was killed")
            if self._process.returncode != 0:
                problems.append(f"the simulator ended with status {self._process.returncode}")
            self._process = None
        text = self.log()
        for line in text.splitlines():
            if "the daemon has exited (" in line and "exit status 0)" not in line:
                problems.append(line.strip())
            if "the daemon was killed" in line:
                problems.append(line.strip())
        if self._own_root and not problems:
            shutil.rmtree(self.root, ignore_errors=True)
        return problems

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def start_line(count, **kwargs):
    """`count` simulated appliances, started side by side."""
    import concurrent.futures
    with concurrent.futures.ThreadPoolExecutor(count) as pool:
        return list(pool.map(lambda _: SimulatedAppliance(**kwargs).start(), range(count)))


def signed_package(directory, version, bin_dir=None):
    """A data package in `directory` that brings datpak.ver = `version`,
    signed with the simulator's development package key (PACKAGE.sig)."""
    import tarfile
    directory = pathlib.Path(directory)
    (directory / "datpak.ver").write_text(version + "\n")
    package = directory / "datapackage.tar.gz"
    with tarfile.open(package, "w:gz") as tar:
        tar.add(directory / "datpak.ver", arcname="datpak.ver")
    subprocess.run([str(find_bin_dir(bin_dir) / "mif-sim"), "sign-package", str(package)], check=True,
                   capture_output=True)
    return package
