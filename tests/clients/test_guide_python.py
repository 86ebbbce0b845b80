"""The guide's Python example, with the kit."""

import os
import sys

import guide
import kit


class Python(guide.Example):
    heading, language, file_name = "Python", "python", "example.py"
    printed = ["fwd running", "ch ACKNOWLEDGED", "cmd " + guide.REPLY.hex(),
               "items [b'COM:12', b'COM:34']"]

    def prepare(self, folder):
        return dict(os.environ, PYTHONPATH=os.path.join(kit.TOP, "clients", "python"))

    def command(self):
        return [sys.executable, self.file_name]


if __name__ == "__main__":
    kit.main()
