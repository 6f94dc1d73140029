#!/usr/bin/env python3
"""Runs a language server session from a transcript of messages.

Usage: lsp_session.py SERVER < SESSION

SESSION holds one JSON message a line ("#" lines are notes); "$TMP" in it
stands for the environment's TMP. The messages go to SERVER framed, all at
once, then its input closes. Prints every message the server sends, one a
line, with "$TMP" for TMP again, and exits with the server's status.
"""
import json
import os
import subprocess
import sys

tmp = os.environ.get("TMP", "")
body = b""
for line in sys.stdin:
    line = line.strip()
    if not line or line.startswith("#"):
        continue
    message = line.replace("$TMP", tmp).encode()
    body += b"Content-Length: %d\r\n\r\n" % len(message) + message
run = subprocess.run([sys.argv[1]], input=body, capture_output=True)
out = run.stdout
while out:
    header, _, rest = out.partition(b"\r\n\r\n")
    length = int(header.split(b":")[1])
    message = json.loads(rest[:length])
    print(json.dumps(message, separators=(",", ":"), ensure_ascii=False).replace(tmp, "$TMP"))
    out = rest[length:]
sys.stderr.buffer.write(run.stderr)
sys.exit(run.returncode)
