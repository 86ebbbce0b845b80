#!/usr/bin/env python3
"""The obvious alternative a user might pick: Python's standard xmlrpc.server answering
get_title, for comparison with the daemon in the same run."""

import sys
from xmlrpc.server import SimpleXMLRPCServer

port = int(sys.argv[1]) if len(sys.argv) > 1 else 40406
server = SimpleXMLRPCServer(("127.0.0.1", port), logRequests=False)
server.register_function(lambda: "No title set (C++)", "get_title")
server.serve_forever()
