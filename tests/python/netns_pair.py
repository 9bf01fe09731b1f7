#!/usr/bin/env python3
"""Two private network namespaces joined by a virtual Ethernet pair: two hosts on one machine.

Each side is held open by a sleeping process made in a namespace of its own; whatever runs on a
side joins it through nsenter. The namespaces have no name in /run/netns, so nothing outlives
them: every process started here dies with the process that made the pair (the kernel's
parent-death signal), a namespace goes when its last process goes, and the link with it.

Both ends of the link carry the same interface name, so one DRIVELINK_DDS_INTERFACE serves
both sides and keeps DDS off every other interface (loopback included).

As a command:
    netns_pair.py COMMAND_A ... [--b COMMAND_B ...]
runs COMMAND_A on side a and COMMAND_B on side b, both with DRIVELINK_DDS_INTERFACE set, and exits with
the first non-zero status (or 0).
"""

import ctypes
import os
import signal
import subprocess
import sys
import time

INTERFACE = "dlpair"
SUBNET = "10.77.0"
PR_SET_PDEATHSIG = 1
_libc = ctypes.CDLL(None, use_errno=True)


def _die_with_parent():
    """Runs in the child before exec: the kernel kills it when the process that started it ends,
    so a pair left by a killed test does not linger."""
    _libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


class NamespacesUnavailable(RuntimeError):
    """The pair cannot be made here (no permission for namespaces or veth links)."""


class NetnsPair:
    """Sides "a" (SUBNET.1) and "b" (SUBNET.2) on a veth link named INTERFACE at both ends.

    Use as a context manager; leaving it kills every process started on either side and so
    removes both namespaces. Raises NamespacesUnavailable when they cannot be made.
    """

    SIDES = ("a", "b")

    def __init__(self, subnet=SUBNET):
        self.addresses = {"a": f"{subnet}.1", "b": f"{subnet}.2"}
        self._holders = {}
        self._started = []
        self._root = os.geteuid() == 0

    def __enter__(self):
        try:
            self._make()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def env(self, base=None):
        """`base` (default: this process's environment) with DRIVELINK_DDS_INTERFACE naming
        the link, so RemoteRobot and the robot service keep DDS on it."""
        env = dict(os.environ if base is None else base)
        env["DRIVELINK_DDS_INTERFACE"] = INTERFACE
        return env

    def command(self, side, argv):
        """argv made to run on `side` (for callers that start processes themselves)."""
        holder = self._holders[side]
        user = [] if self._root else ["-U", "--preserve-credentials"]
        return ["nsenter", "-t", str(holder.pid), "-n", *user, "--", *argv]

    def popen(self, side, argv, *, dds=True, **kwargs):
        """Starts argv on `side` (with env() unless dds is False, or env is given); the process
        is killed when the pair closes or this process ends."""
        if "env" not in kwargs and dds:
            kwargs["env"] = self.env()
        process = subprocess.Popen(self.command(side, argv), preexec_fn=_die_with_parent, **kwargs)
        self._started.append(process)
        return process

    def run(self, side, argv, *, timeout=30, **kwargs):
        """Runs argv on `side` to its end (at most `timeout` seconds); a CompletedProcess."""
        kwargs.setdefault("env", self.env())
        return subprocess.run(self.command(side, argv), preexec_fn=_die_with_parent,
                              timeout=timeout, **kwargs)

    def close(self):
        """Kills what runs on either side, then the holders: both namespaces and the link go."""
        for process in self._started + list(self._holders.values()):
            if process.poll() is None:
                process.kill()
        for process in self._started + list(self._holders.values()):
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                pass
        self._started.clear()
        self._holders.clear()

    def _make(self):
        self._holders["a"] = self._hold(["unshare", "-n" if self._root else "-rn"])
        # Without root the second namespace is made inside the first one's user namespace, which
        # then has the right to link the two.
        second = ["unshare", "-n"] if self._root else \
            ["nsenter", "-t", str(self._holders["a"].pid), "-U", "--preserve-credentials", "unshare", "-n"]
        self._holders["b"] = self._hold(second)
        self._ip("a", "link", "add", INTERFACE, "type", "veth", "peer", "name", INTERFACE,
                 "netns", str(self._holders["b"].pid))
        for side in self.SIDES:
            self._ip(side, "link", "set", "lo", "up")
            self._ip(side, "addr", "add", f"{self.addresses[side]}/24", "dev", INTERFACE)
            self._ip(side, "link", "set", INTERFACE, "up")
        self._wait_for_address()

    def _hold(self, unshare):
        """A sleeping process in a new namespace; returns once it is inside that namespace."""
        holder = subprocess.Popen([*unshare, "sh", "-c", "echo in; exec sleep infinity"],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  preexec_fn=_die_with_parent)
        if holder.stdout.readline() != b"in\n":
            error = holder.stderr.read().decode(errors="replace").strip()
            holder.wait()
            raise NamespacesUnavailable(f"cannot make a network namespace: {error}")
        return holder

    def _ip(self, side, *args):
        result = subprocess.run(self.command(side, ["ip", *args]), capture_output=True, text=True)
        if result.returncode != 0:
            raise NamespacesUnavailable(f"ip {' '.join(args)}: {result.stderr.strip()}")

    def _wait_for_address(self, timeout_s=10.0):
        """IPv4 addresses on a fresh link need no duplicate check, but the link's carrier takes
        a moment: wait until side a reaches side b."""
        deadline = time.monotonic() + timeout_s
        while time.monotonic() < deadline:
            probe = subprocess.run(self.command("a", ["ping", "-c1", "-W1", self.addresses["b"]]),
                                   capture_output=True)
            if probe.returncode == 0:
                return
            if probe.returncode == 127 or not _have("ping"):
                time.sleep(0.5)  # no ping here: give the carrier its moment and go on
                return
            time.sleep(0.1)
        raise NamespacesUnavailable("the veth link did not come up")


def _have(program):
    return any(os.access(os.path.join(folder, program), os.X_OK)
               for folder in os.environ.get("PATH", "").split(os.pathsep))


def main(argv):
    """netns_pair.py COMMAND_A ... [--b COMMAND_B ...]"""
    split = argv.index("--b") if "--b" in argv else len(argv)
    commands = (("a", argv[:split]), ("b", argv[split + 1:]))
    if not argv[:split] and not argv[split + 1:]:
        print(main.__doc__, file=sys.stderr)
        return 2
    with NetnsPair() as pair:
        processes = [pair.popen(side, command) for side, command in commands if command]
        statuses = [process.wait() for process in processes]
    return next((status for status in statuses if status), 0)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
