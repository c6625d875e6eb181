"""Runs the virtual processor program karvex-sim on a pseudo-terminal for examples and tests.

    with VirtualProcessor() as sim:
        os.environ["KARVEX_COM1"] = sim.device_path
        ...
"""

import glob
import os
import shutil
import subprocess
import tempfile
import time

_HERE = os.path.dirname(os.path.abspath(__file__))


def find_program(program=None):
    """karvex-sim: the given path, $KARVEX_SIM, the build folders of the source tree, or the PATH (the
    karvex-tools package)."""
    if program:
        return program
    if os.environ.get("KARVEX_SIM"):
        return os.environ["KARVEX_SIM"]
    root = os.path.dirname(os.path.dirname(_HERE))
    found = glob.glob(os.path.join(root, "build", "*", "tools", "sim", "karvex-sim"))
    found += glob.glob(os.path.join(root, "build*", "tools", "sim", "karvex-sim"))
    found.sort(key=lambda path: (os.sep + "release" + os.sep not in path, path))
    if not found and shutil.which("karvex-sim"):
        found = [shutil.which("karvex-sim")]
    if not found:
        raise FileNotFoundError("karvex-sim not found; build it or set KARVEX_SIM")
    return found[0]


class VirtualProcessor:
    """A karvex-sim process; `device_path` is the pty a control opens as its serial port."""

    def __init__(self, program=None, args=(), start_timeout=10.0):
        self.program = find_program(program)
        self.args = list(args)
        self.start_timeout = start_timeout
        self.process = None
        self.device_path = None
        self._dir = None

    def start(self):
        self._dir = tempfile.TemporaryDirectory(prefix="karvex-sim-")
        device_file = os.path.join(self._dir.name, "device")
        self.process = subprocess.Popen([self.program, "--device-file", device_file] + self.args,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + self.start_timeout
        # The program writes the path and then a line end; a file without one is still being written.
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError("karvex-sim exited with %d" % self.process.returncode)
            try:
                with open(device_file) as f:
                    text = f.read()
                if text.endswith("\n"):
                    self.device_path = text.strip()
                    return self
            except FileNotFoundError:
                pass
            time.sleep(0.01)
        self.stop()
        raise RuntimeError("karvex-sim did not report its device within %.0f s" % self.start_timeout)

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None
        if self._dir:
            self._dir.cleanup()
            self._dir = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
