"""The guide's Node.js example, with the xmlrpc package from npm."""

import os
import shutil
import subprocess

import guide
import kit
from harness import need_tool

# The version the example was written against.
PACKAGE = "xmlrpc@1.3.2"


class Node(guide.Example):
    heading, language, file_name = "Node.js", "js", "example.js"
    printed = ["health true"] + guide.PRINTED

    def prepare(self, folder):
        # Node may come from elsewhere than Debian's packages; those only when it is missing.
        if not (shutil.which("node") and shutil.which("npm")):
            need_tool(not guide.install(["nodejs", "npm"]), "node and npm")
        prefix = guide.cache("node")
        modules = os.path.join(prefix, "node_modules")
        if not os.path.isdir(os.path.join(modules, "xmlrpc")):
            fetched = subprocess.run([shutil.which("npm") or "npm", "install", "--prefix", prefix,
                                      "--no-audit", "--no-fund", PACKAGE], capture_output=True)
            need_tool(fetched.returncode == 0, "%s from npm: %s" % (PACKAGE, fetched.stderr[-300:]))
        return dict(os.environ, NODE_PATH=modules)

    def command(self):
        return ["node", self.file_name]


if __name__ == "__main__":
    kit.main()
