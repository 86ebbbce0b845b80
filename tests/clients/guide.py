"""Runs an example of docs/clients.md, as the guide prints it, against the real daemon and a
simulator whose controller answers with bytes of every kind."""

import fcntl
import os
import re
import subprocess
import tempfile

import kit
from harness import BUILD, need_tool, quote

GUIDE = os.path.join(kit.TOP, "docs", "clients.md")
GUIDE_URL = "http://localhost:40405/RPC2"
# The controller's answer to the examples' VER: what XML carries as itself, as a control
# picture, as a character of the same number, UTF-8 that stays a character and UTF-8 that
# arrives as its bytes, and broken UTF-8.
REPLY = b"\x01\t\r\n\x1f\x7f\x80\xc8\xff" + "È€␁😀".encode() + b"\xe2\x82"
# What each example prints: the motion, the channel move, the decoded bytes, the fault.
PRINTED = ["fwd 1", "ch 1", "cmd " + REPLY.hex(),
           "fault -501 Parameter that is supposed to be a string is not"]
# apt-get runs one at a time; tests in parallel wait here for each other.
INSTALL_LOCK = "/tmp/rs232c-client-tests.install.lock"


def example(heading, language):
    """The first code block in `language` under the heading that begins with `heading`."""
    with open(GUIDE, encoding="utf-8") as guide:
        text = guide.read()
    section = text[re.search(r"\n#+ " + re.escape(heading), text).start():]
    return re.search(r"```%s\n(.*?)```" % language, section, re.S).group(1)


def installed(package):
    query = subprocess.run(["dpkg-query", "-W", "-f=${Status}", package],
                           capture_output=True, text=True)
    return query.stdout.endswith("install ok installed")


def install(packages):
    """Installs the Debian packages that are missing; returns what stays missing."""
    missing = [p for p in packages if not installed(p)]
    if not missing or os.geteuid() != 0:
        return missing
    with open(INSTALL_LOCK, "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        apt = ["apt-get", "-qq", "-o", "DPkg::Lock::Timeout=600"]
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        for step in ([], apt + ["update"]):  # the package lists may be old or absent
            if step:
                subprocess.run(step, env=env, capture_output=True)
            subprocess.run(apt + ["install", "-y"] + missing, env=env, capture_output=True)
            missing = [p for p in missing if not installed(p)]
            if not missing:
                break
    return missing


class Example(kit.Line):
    """One language's example: `heading` and `language` find it in the guide."""

    heading = language = file_name = None
    packages = []
    printed = PRINTED

    def prepare(self, folder):
        """Anything beyond Debian's packages; returns the environment to run in."""
        return dict(os.environ)

    def command(self):
        raise NotImplementedError

    def run_example(self):
        missing = install(self.packages)
        # apt-get installs them as root with Debian's archive reachable.
        need_tool(not missing, " ".join(missing))
        self.sim.on("VER\r\n", "send " + quote(REPLY))
        with tempfile.TemporaryDirectory() as folder:
            env = self.prepare(folder)
            code = example(self.heading, self.language)
            self.assertIn(GUIDE_URL, code)
            with open(os.path.join(folder, self.file_name), "w", encoding="utf-8") as source:
                source.write(code.replace(GUIDE_URL, self.url))
            run = subprocess.run(self.command(), cwd=folder, env=env, capture_output=True,
                                 timeout=600)
        self.assertEqual(run.returncode, 0, run.stderr.decode(errors="replace"))
        return run.stdout.decode()

    def test_the_example_prints_what_the_guide_says(self):
        self.assertEqual(self.run_example().splitlines(), self.printed)


def cache(name):
    """A folder of the build tree that keeps what a language fetched between runs."""
    path = os.path.join(BUILD, "clients-cache", name)
    os.makedirs(path, exist_ok=True)
    return path
