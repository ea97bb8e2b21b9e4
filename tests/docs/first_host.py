#!/usr/bin/env python3
"""The README's first host (built from the README by tools/first_host)
against kelvo-server's demo accounts: it must log alice in, get her chat
back and exit 0, printing exactly what the README says it prints.

  first_host.py KELVO_SERVER KELVO_FIRST_HOST
"""

import subprocess
import sys


def main():
    server_path, host_path = sys.argv[1:3]
    server = subprocess.Popen([server_path, "--port", "0"], stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True)
    try:
        line = server.stdout.readline().strip()
        if not line.startswith("listening on "):
            sys.exit("kelvo-server did not start: %r" % line)
        port = line.rsplit(":", 1)[1]
        run = subprocess.run([host_path, port], capture_output=True, text=True, timeout=30)
    finally:
        server.terminate()
        server.wait(timeout=10)
    expected = ["login ok", "chat from 1001: hello"]
    if run.returncode != 0 or run.stdout.splitlines() != expected:
        sys.exit("first host: exit %d, printed %r, expected %r\n%s"
                 % (run.returncode, run.stdout.splitlines(), expected, run.stderr))
    print("first host: %s" % " / ".join(expected))


if __name__ == "__main__":
    main()
