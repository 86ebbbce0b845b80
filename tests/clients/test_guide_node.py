"""The guide's Node.js example, with the xmlrpc package from npm."""

import os
import shutil
import subprocess

import guide
import kit

# The version the example was written against.
PACKAGE = "xmlrpc@1.3.2"


class Node(guide.Example):
    heading, language, file_name = "Node.js", "js", "example.js"
    printed = ["health true"] + guide.PRINTED

    def prepare(self, folder):
        # Node may come from elsewhere than Debian's packages; those only when it is missing.
        if not (shutil.which("node") and shutil.which("npm")) and guide.install(["nodejs", "npm"]):
            self.skipTest("node and npm are not installed, and apt-get cannot install them here")
        prefix = guide.cache("node")
        modules = os.path.join(prefix, "node_modules")
        if not os.path.isdir(os.path.join(modules, "xmlrpc")):
            fetched = subprocess.run([shutil.which("npm") or "npm", "install", "--prefix", prefix,
                                      "--no-audit", "--no-fund", PACKAGE], capture_output=True)
            if fetched.returncode != 0:
                self.skipTest("npm cannot install %s here: %s" % (PACKAGE, fetched.stderr[-300:]))
        return dict(os.environ, NODE_PATH=modules)

    def command(self):
        return ["node", self.file_name]


if __name__ == "__main__":
    kit.main()
