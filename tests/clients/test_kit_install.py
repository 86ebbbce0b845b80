"""The kit installs where stations are, without a network: with Debian's Python and pip into a
folder, and into virtual environments, fresh or with Debian's packages."""

from __future__ import annotations

import os
import shutil
import subprocess
import tempfile
import typing
import unittest

import kit
from harness import need_tool

DEBIAN_PYTHON = "/usr/bin/python3"
SOURCES = os.path.join(kit.TOP, "clients", "python")
# Every way to the network closed: no index, and a proxy that nothing listens on.
OFFLINE = {"PIP_NO_INDEX": "1", "PIP_DISABLE_PIP_VERSION_CHECK": "1",
           "http_proxy": "http://127.0.0.1:9", "https_proxy": "http://127.0.0.1:9"}
PIP = ["-m", "pip", "install", "--quiet", "--no-index"]

# How to install from `src` into `to`: the commands, and the Python that then imports the kit.
Way = typing.Tuple[str, typing.Callable[[str, str], typing.List[typing.List[str]]], str]
WAYS: typing.List[Way] = [
    ("Debian's pip into a folder",
     lambda src, to: [[DEBIAN_PYTHON] + PIP + ["--no-build-isolation", "--target", to, src]],
     DEBIAN_PYTHON),
    ("a fresh virtual environment",
     lambda src, to: [[DEBIAN_PYTHON, "-m", "venv", to],
                      [to + "/bin/python"] + PIP + [src]],
     "bin/python"),
    ("a virtual environment with Debian's packages",
     lambda src, to: [[DEBIAN_PYTHON, "-m", "venv", "--system-site-packages", to],
                      [to + "/bin/python"] + PIP + ["--no-build-isolation", src]],
     "bin/python"),
]
CHECK = ("import importlib.metadata, os, rs232c_client; "
         "folder = os.path.dirname(rs232c_client.__file__); "
         "print(folder, os.path.exists(os.path.join(folder, 'py.typed')), "
         "importlib.metadata.version('rs232c-client') == rs232c_client.__version__)")


class OfflineInstall(unittest.TestCase):
    def test_each_way_installs_the_kit_without_a_network(self) -> None:
        for module, package in (("pip", "python3-pip"), ("ensurepip", "python3-venv")):
            have = subprocess.run([DEBIAN_PYTHON, "-c", "import " + module], capture_output=True)
            need_tool(have.returncode == 0, "Debian's " + package)
        env = {k: v for k, v in os.environ.items() if not k.startswith(("PIP_", "PYTHON"))}
        env.update(OFFLINE)
        for name, commands, python in WAYS:
            with tempfile.TemporaryDirectory() as folder:
                src, to = os.path.join(folder, "src"), os.path.join(folder, "installed")
                # A copy: a build may write beside its sources, and builds run side by side.
                shutil.copytree(SOURCES, src, ignore=shutil.ignore_patterns("__pycache__"))
                for command in commands(src, to):
                    run = subprocess.run(command, env=env, capture_output=True, text=True)
                    self.assertEqual(run.returncode, 0, "%s: %s" % (name, run.stderr))
                runner = python if os.path.isabs(python) else os.path.join(to, python)
                check = dict(env, PYTHONPATH=to) if runner == DEBIAN_PYTHON else env
                run = subprocess.run([runner, "-c", CHECK], cwd=folder, env=check,
                                     capture_output=True, text=True)
                self.assertEqual(run.stdout.split()[1:], ["True", "True"], name + run.stderr)
                self.assertTrue(run.stdout.startswith(to + os.sep), (name, run.stdout))


if __name__ == "__main__":
    kit.main()
