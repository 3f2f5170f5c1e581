#!/usr/bin/python3
"""The console host as a user runs it: load lines and folder scan byte for
byte, send-now on SIGUSR1, stop on SIGTERM, the missing-INI error each cycle,
no busy cycle after a failed load."""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from helpers import Results, wait_for  # noqa: E402

AMBREL = sys.argv[1]
results = Results()
check = results.check


def make_tree(root):
    for d in ("users/john", "users/mary", "abs/sales", "bad"):
        os.makedirs(os.path.join(root, d))
    with open(os.path.join(root, "users/john/A1.CNM"), "wb") as f:
        f.write(b"Return-path: <a@example.com>\r\n\r\nhello\r\n")
    open(os.path.join(root, "users/john/ZERO.CNM"), "wb").close()
    ini = os.path.join(root, "relay.ini")
    with open(ini, "w") as f:
        f.write(f"""[Ambrel]
Version=0.28
LoopDelay=100
UserFolder={root}/users/
LogName={root}/relay.log
Domains=2
MailBoxes=3
[Domains]
Domain1=example.org
SMTPServer1=127.0.0.1:1
Domain2=example.net
SMTPServer2=127.0.0.1:1
[MailBoxes]
Mailbox1=dm:sales;@{root}/abs/sales;2
Mailbox2=john;john;1
Mailbox3=mary;mary;1
""")
    return ini


class Host:
    """The console host running on `ini`, its output collected as it comes."""

    def __init__(self, ini):
        import threading
        self.p = subprocess.Popen([AMBREL, ini], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.out = bytearray()
        self.pump = threading.Thread(target=self._pump, daemon=True)
        self.pump.start()

    def _pump(self):
        for chunk in iter(lambda: self.p.stdout.read1(4096), b""):
            self.out.extend(chunk)

    def text(self):
        return self.out.decode("latin-1")

    def stop(self):
        """SIGTERM, then the exit code (None when it did not end in time)."""
        self.p.send_signal(signal.SIGTERM)
        try:
            rc = self.p.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.p.kill()
            rc = None
        self.pump.join(5)
        return rc


def test_load_lines_and_scan(root):
    ini = make_tree(root)
    # The refused connect starts the 10-minute back-off; stop there.
    host = Host(ini)
    wait_for(lambda: "delaying AMBREL by 10 minutes\r\n" in host.text(), 20)
    rc = host.stop()
    out = host.text()
    # The opening line carries the time; everything after it is fixed.
    first, _, rest = out.partition("\r\n")
    expected = (
        f"Updating AMBREL Config file ({ini}) ...\r\n"
        "SMTPHelo used: 'Vorpal'.\r\n"
        "Warning: SMTPHelo 'Vorpal' is not a fully qualified domain name (such as relay.example.org, or an "
        "address in brackets: [192.0.2.1]); servers that check the HELO name refuse the mail.\r\n"
        "Added domain[1]='example.org' (Server: 127.0.0.1:1)\r\n"
        "Added domain[2]='example.net' (Server: 127.0.0.1:1)\r\n"
        f"Added user: dm:sales, mailDir: {root}/abs/sales/, email: dm:sales@example.net\r\n"
        f"Added user: john, mailDir: {root}/users/john/, email: john@example.org\r\n"
        f"Added user: mary, mailDir: {root}/users/mary/, email: mary@example.org\r\n"
        "AMBREL Config file Updated (delay: 100 sec)\r\n"
        "Routing mail A1.CNM\r\n"
        "Opening socket\r\n"
        "Connecting (127.0.0.1:1)\r\n"
        "\r\n AMBREL Error in connect: 10061 (WSAECONNREFUSED)\r\n"
        "  delaying AMBREL by 10 minutes\r\n"
    )
    check("exit code 0 after SIGTERM", rc == 0, out)
    check("opening line", first.startswith("---- ") and first.endswith("     Console Ambrel is opened ----"), first)
    check("load lines and first routing byte for byte", rest.startswith(expected), rest)
    # SIGTERM in the back-off: the shutdown wakes the worker and waits for it;
    # the pass ends there, with no connect after the socket library went.
    log = open(os.path.join(root, "relay.log"), "rb").read()
    check("stop in the back-off ends the pass cleanly",
          out.count("Connecting") == 1 and "10093" not in out and log.endswith(b"\r\n"), out)


def test_signals(root):
    ini = make_tree(root)
    host = Host(ini)
    text = host.text
    # The first connect is refused and the back-off begins; SIGUSR1 cuts it
    # short (within its 5-second step) and later ends the loop delay.
    ok = wait_for(lambda: "delaying AMBREL by 10 minutes" in text())
    check("back-off started", ok, text())
    host.p.send_signal(signal.SIGUSR1)
    ok = wait_for(lambda: text().count("has size of zero.") >= 1, 20)
    check("send-now ends the back-off", ok, text())
    time.sleep(0.5)
    host.p.send_signal(signal.SIGUSR1)
    ok = wait_for(lambda: text().count("Mail ZERO.CNM to john@example.org has size of zero.\r\n") >= 2, 20)
    check("send-now ends the 100-second loop delay", ok, text())
    rc = host.stop()
    check("SIGTERM ends the process with 0", rc == 0, f"rc={rc}")


def test_missing_ini(root):
    ini = os.path.join(root, "gone.ini")
    env = dict(os.environ, AMBREL_CYCLES="2")
    p = subprocess.run([AMBREL, ini], capture_output=True, timeout=60, env=env)
    out = p.stdout.decode("latin-1")
    check("missing INI reported each cycle",
          out.count(f"Error: Unable to find config file '{ini}'\r\n") == 2, out)


def test_long_program_path(root):
    # A program path longer than the host takes (299 characters) is refused
    # with a plain message, not whatever the path buffer happened to hold.
    deep = root
    while len(deep) < 320:
        deep = os.path.join(deep, "d" * 60)
    os.makedirs(deep)
    exe = os.path.join(deep, "ambrel")
    shutil.copy(AMBREL, exe)
    p = subprocess.run([exe, os.path.join(root, "x.ini")], capture_output=True, timeout=60)
    check("too long a program path: message and exit code 1",
          p.returncode == 1 and p.stderr == b"ambrel: cannot find the program's own path\n", p.stderr)


def test_invalid_ini_does_not_spin(root):
    # A delay of 0 in a file that fails to load: the fixed wait after the
    # failed load, not a cycle that reloads the file without pause.
    ini = os.path.join(root, "bad.ini")
    with open(ini, "w") as f:
        f.write("[Ambrel]\nVersion=0.28\nLoopDelay=0\nDomains=0\n")
    host = Host(ini)
    wait_for(lambda: "AMBREL Invalid config file." in host.text())
    time.sleep(1.5)
    rc = host.stop()
    loads = host.text().count("AMBREL Invalid config file.\r\n")
    check("invalid INI with LoopDelay=0 is loaded once per wait", loads == 1 and rc == 0, f"loads={loads} rc={rc}")


for test in (test_load_lines_and_scan, test_signals, test_missing_ini, test_long_program_path,
             test_invalid_ini_does_not_spin):
    root = tempfile.mkdtemp(prefix="ambrel-console-")
    try:
        test(root)
    finally:
        shutil.rmtree(root, ignore_errors=True)

sys.exit(results.finish())
