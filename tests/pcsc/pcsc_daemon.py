#!/usr/bin/env python3
"""A private PC/SC service for tests and benchmarks: pcscd with vpcd's virtual
readers, in mount and network namespaces of its own, so that it neither sees
the host's readers and service nor is seen by them.

pcscd always listens on /run/pcscd/pcscd.comm; only its clients read
PCSCLITE_CSOCK_NAME. So the namespace gets a fresh /run with a private folder
bound on /run/pcscd, and clients are pointed at the socket in that folder.
vpcd listens on its port and the next (two readers) on every interface, hence
the private network namespace, where the ports are always free.

    pcsc_daemon.py [--pcscd PATH] --driver PATH [--usb-drivers PATH] [--uid HEX] -- COMMAND...

runs COMMAND against such a service, with a virtual card of that UID in the
first reader, and exits with COMMAND's status.
"""

import argparse
import ctypes
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

from virtual_card import VirtualCard

# vpcd's own default port; every service has a network namespace of its own.
VPCD_PORT = 35963
STARTUP_BOUND = 10.0
_INSIDE = "VELLICOR_PCSC_NAMESPACE"
_SYSTEM_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"


class SetupError(Exception):
    pass


def _tool(name):
    path = shutil.which(name, path=os.environ.get("PATH", "") + os.pathsep + _SYSTEM_PATH)
    if path is None:
        raise SetupError(f"{name} not found (Debian: scripts/setup-debian.sh installs it)")
    return path


def _run(*command):
    result = subprocess.run([_tool(command[0]), *command[1:]], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, check=False)
    if result.returncode != 0:
        raise SetupError(f"{' '.join(command)}: {result.stdout.decode(errors='replace').strip()}")


def enter_namespaces():
    """Runs this program again in new mount and network namespaces, unless it
    already runs in them. Needs root, or unprivileged user namespaces."""
    if os.environ.pop(_INSIDE, None) == "1":
        return
    unshare = _tool("unshare")
    command = [unshare, "--mount", "--net"]
    if os.geteuid() != 0:
        command.append("--map-root-user")
    trial = subprocess.run([*command, "true"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                           check=False)
    if trial.returncode != 0:
        raise SetupError("cannot create mount and network namespaces (run as root, with "
                         f"CAP_SYS_ADMIN): {trial.stderr.decode(errors='replace').strip()}")
    os.environ[_INSIDE] = "1"
    # The same process carries on, so a test runner's timeout still reaches it.
    os.execv(unshare, [*command, "--", sys.executable, os.path.abspath(sys.argv[0]), *sys.argv[1:]])


def _die_with_parent():
    # A daemon must never outlive the test that started it, however it ends.
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


class Service:
    """One pcscd, with two virtual readers or none, and a log of its own.

    isolate() must run first, once, inside the namespaces."""

    def __init__(self, pcscd, driver, usb_drivers=None):
        self.pcscd = pcscd
        self.driver = driver
        self.usb_drivers = usb_drivers
        self.root = os.path.realpath(tempfile.mkdtemp(prefix="vellicor-pcscd-"))
        self.socket_folder = os.path.join(self.root, "run")
        self.socket = os.path.join(self.socket_folder, "pcscd.comm")
        self.log_path = os.path.join(self.root, "pcscd.log")
        self.process = None
        os.mkdir(self.socket_folder)

    def isolate(self):
        """Sets up this process's namespaces: lo up, a fresh /run with the
        socket folder on /run/pcscd, and no drivers for real readers."""
        _run("ip", "link", "set", "lo", "up")
        _run("mount", "-t", "tmpfs", "-o", "mode=0755", "vellicor-run", "/run")
        os.mkdir("/run/pcscd")
        _run("mount", "--bind", self.socket_folder, "/run/pcscd")
        if self.usb_drivers and os.path.isdir(self.usb_drivers):
            # pcscd loads a driver for every USB reader it finds; a real reader
            # on a developer's machine must not join the tests. vpcd's driver
            # may lie in that folder too, so it is copied out first.
            private_driver = os.path.join(self.root, os.path.basename(self.driver))
            shutil.copy2(self.driver, private_driver)
            self.driver = private_driver
            empty = os.path.join(self.root, "no-drivers")
            os.mkdir(empty)
            _run("mount", "--bind", empty, self.usb_drivers)

    @property
    def env(self):
        """What a client needs to reach this service."""
        return {"PCSCLITE_CSOCK_NAME": self.socket}

    def reader_port(self, index):
        return VPCD_PORT + index

    def start(self, readers=True):
        config = os.path.join(self.root, "reader.conf.d")
        os.mkdir(config)
        if readers:
            with open(os.path.join(config, "vpcd"), "w") as f:
                f.write(f'FRIENDLYNAME "Virtual PCD"\nDEVICENAME /dev/null:{VPCD_PORT}\n'
                        f"LIBPATH {self.driver}\nCHANNELID {VPCD_PORT:#x}\n")
        with open(self.log_path, "wb") as log:
            self.process = subprocess.Popen([self.pcscd, "--foreground", "--config", config],
                                            stdin=subprocess.DEVNULL, stdout=log,
                                            stderr=subprocess.STDOUT, preexec_fn=_die_with_parent)
        deadline = time.monotonic() + STARTUP_BOUND
        while not self._accepting():
            if self.process.poll() is not None:
                raise SetupError(f"pcscd ended with {self.process.returncode}:\n{self.log()}")
            if time.monotonic() > deadline:
                raise SetupError(f"pcscd not listening after {STARTUP_BOUND} s:\n{self.log()}")
            time.sleep(0.02)
        return self

    def _accepting(self):
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as probe:
            try:
                probe.connect(self.socket)
                return True
            except OSError:
                return False

    def card(self, uid, reader=0, **kwargs):
        """A virtual card for one of the readers, not yet inserted."""
        return VirtualCard(self.reader_port(reader), uid, **kwargs)

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None

    def log(self):
        try:
            with open(self.log_path, "rb") as f:
                return f.read().decode(errors="replace")
        except OSError:
            return ""

    def cleanup(self):
        self.stop()
        shutil.rmtree(self.root, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description="Runs a command against a private PC/SC service.")
    parser.add_argument("--pcscd", default="pcscd")
    parser.add_argument("--driver", required=True, help="vpcd's driver, libifdvpcd.so")
    parser.add_argument("--usb-drivers", help="pcscd's folder of USB reader drivers, to hide")
    parser.add_argument("--uid", help="a virtual card with this UID (hex) in the first reader")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        parser.error("no command")
    enter_namespaces()
    service = Service(_tool(args.pcscd), args.driver, args.usb_drivers)
    card = None
    try:
        service.isolate()
        service.start()
        if args.uid:
            card = service.card(bytes.fromhex(args.uid)).insert()
            if not card.powered.wait(STARTUP_BOUND):
                raise SetupError("the virtual card was never powered")
        return subprocess.run(command, env={**os.environ, **service.env}, check=False).returncode
    except SetupError as error:
        print(f"pcsc_daemon.py: {error}", file=sys.stderr)
        return 2
    finally:
        if card is not None:
            card.remove()
        service.cleanup()


if __name__ == "__main__":
    sys.exit(main())
