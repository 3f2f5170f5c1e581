#!/usr/bin/python3
"""Relays batches of message files with the console host to smtp-sink and to
aiosmtpd on 127.0.0.1 and prints messages/s, MB/s, peak memory, and the wall
time against the pauses the relay makes on purpose (60 ms before every reply
read, 10 ms after every mailbox scan). Then the 20 MB message to the same
aiosmtpd server in plain SMTP, over implicit TLS and over STARTTLS (both with
a login), and the TLS/plain wall ratios.

Then the comparison with the peer clients against one smtp-sink each run:
the console host with LowLatency=1, msmtp (one process per message, as a
program that hands over its mail would run it) and Python's smtplib
(sessions of 6, as the relay makes them), with the ratios; and the latency
of a file dropped into a watched folder (WatchFolders=1, LoopDelay=120).

usage: relay_bench.py AMBREL SMTP_SINK_ROOT [tls|peers]   (only those runs)"""
import os
import shutil
import smtplib
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "integration"))
from certificate import make_certificate  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from helpers import free_port  # noqa: E402

AMBREL = os.path.abspath(sys.argv[1])
SINK_ROOT = os.path.abspath(sys.argv[2])
REPLY_PAUSE, SCAN_PAUSE, MAX_MAIL_SENT = 0.060, 0.010, 6
TLS_SERVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "integration", "tls_server.py")
# The server of the TLS runs: tls_server.py with its certificate, in `mode`.
tls_setup = {}


def start(kind, port):
    if kind.startswith("tls-server"):
        mode = kind.split(":")[1]
        env = dict(os.environ, PYTHONPATH=os.path.dirname(TLS_SERVER))
        argv = ["/usr/bin/python3", TLS_SERVER, mode, str(port), tls_setup["cert"], tls_setup["key"],
                tls_setup["capture"], "-", "joe", "s3cret"]
    elif kind == "smtp-sink":
        env = dict(os.environ, LD_LIBRARY_PATH=os.path.join(SINK_ROOT, "usr/lib/postfix"))
        user = ["-u", "nobody"] if os.getuid() == 0 else []
        argv = [os.path.join(SINK_ROOT, "usr/sbin/smtp-sink"), *user, f"127.0.0.1:{port}", "10"]
    else:
        env = None
        argv = ["/usr/bin/python3", "-m", "aiosmtpd", "-n", "-l", f"127.0.0.1:{port}",
                "-c", "aiosmtpd.handlers.Sink"]
    p = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    end = time.time() + 15
    while time.time() < end:
        try:
            socket.create_connection(("127.0.0.1", port), 0.5).close()
            return p
        except OSError:
            time.sleep(0.05)
    p.kill()
    raise RuntimeError(f"{kind} did not start")


def message(size, n):
    head = f"Return-path: <bench@example.com>\r\nSubject: bench {n}\r\n\r\n".encode()
    line = b"x" * 76 + b"\r\n"
    body = line * max(1, (size - len(head)) // len(line))
    return head + body


def run(kind, count, size, boxes, domain_keys="", product_keys=""):
    root = tempfile.mkdtemp(prefix="ambrel-bench-")
    port = free_port()
    server = start(kind, port)
    try:
        lines = []
        for b in range(boxes):
            os.makedirs(f"{root}/users/u{b}")
            lines.append(f"Mailbox{b + 1}=u{b};u{b};1")
        total = 0
        for n in range(count):
            data = message(size, n)
            total += len(data)
            with open(f"{root}/users/u{n % boxes}/M{n:05d}.CNM", "wb") as f:
                f.write(data)
        with open(f"{root}/bench.ini", "w") as f:
            f.write(f"[Ambrel]\nVersion=0.28\nLoopDelay=100\nUserFolder={root}/users/\n"
                    f"LogName={root}/bench.log\nMaxMailSent={MAX_MAIL_SENT}\n{product_keys}Domains=1\n"
                    f"MailBoxes={boxes}\n[Domains]\nDomain1=example.org\nSMTPServer1=127.0.0.1:{port}\n"
                    + domain_keys + "[MailBoxes]\n" + "\n".join(lines) + "\n")
        t0 = time.monotonic()
        p = subprocess.Popen([AMBREL, f"{root}/bench.ini"], env=dict(os.environ, AMBREL_CYCLES="1"),
                             stdout=subprocess.DEVNULL)
        # The host's own high-water mark, read while it runs (the rusage of a
        # child counts the memory of this script from before the exec).
        peak_kb = 0
        while p.poll() is None:
            try:
                with open(f"/proc/{p.pid}/status") as st:
                    for line in st:
                        if line.startswith("VmHWM:"):
                            peak_kb = max(peak_kb, int(line.split()[1]))
            except OSError:
                pass
            time.sleep(0.01)
        wall = time.monotonic() - t0
        rc = p.returncode
        left = sum(len(fs) for _, _, fs in os.walk(f"{root}/users"))
        sessions = -(-count // MAX_MAIL_SENT)
        pauses = (count * 4 + sessions * 3) * REPLY_PAUSE + boxes * SCAN_PAUSE
        if product_keys:
            pauses = boxes * SCAN_PAUSE
        print(f"{kind:20} {count:4} x {size / 1e6:8.3f} MB  wall {wall:7.2f} s  "
              f"{count / wall:7.2f} msg/s  {total / 1e6 / wall:7.2f} MB/s  "
              f"pauses {pauses:6.2f} s  pauses/wall {pauses / wall:5.3f}  "
              f"peak RSS {peak_kb / 1024:5.1f} MB  left {left}  rc {rc}", flush=True)
        return wall, peak_kb
    finally:
        server.terminate()
        server.wait(10)
        shutil.rmtree(root, ignore_errors=True)


def peer_run(client, count, size):
    """The same messages from a peer client to a fresh smtp-sink: wall time."""
    port = free_port()
    server = start("smtp-sink", port)
    try:
        messages = [message(size, n) for n in range(count)]
        t0 = time.monotonic()
        if client == "msmtp":
            for data in messages:
                subprocess.run(["msmtp", "--host=127.0.0.1", f"--port={port}", "--auth=off", "--tls=off",
                                "--from=bench@example.com", "u0@example.org"], input=data, check=True)
        else:
            for first in range(0, count, MAX_MAIL_SENT):
                with smtplib.SMTP("127.0.0.1", port) as smtp:
                    for data in messages[first:first + MAX_MAIL_SENT]:
                        smtp.sendmail("bench@example.com", ["u0@example.org"], data)
        wall = time.monotonic() - t0
        print(f"{client:20} {count:4} x {size / 1e6:8.3f} MB  wall {wall:7.2f} s  {count / wall:7.2f} msg/s",
              flush=True)
        return wall
    finally:
        server.terminate()
        server.wait(10)


def latency_run():
    """Seconds from a file dropped into a watched folder (LoopDelay=120) to
    its deletion, which follows the server's 250 and 221."""
    root = tempfile.mkdtemp(prefix="ambrel-bench-watch-")
    port = free_port()
    server = start("smtp-sink", port)
    p = None
    try:
        os.makedirs(f"{root}/users/u0")
        with open(f"{root}/bench.ini", "w") as f:
            f.write(f"[Ambrel]\nVersion=0.28\nLoopDelay=120\nLowLatency=1\nWatchFolders=1\n"
                    f"UserFolder={root}/users/\nLogName={root}/bench.log\nDomains=1\nMailBoxes=1\n"
                    f"[Domains]\nDomain1=example.org\nSMTPServer1=127.0.0.1:{port}\n"
                    f"[MailBoxes]\nMailbox1=u0;u0;1\n")
        p = subprocess.Popen([AMBREL, f"{root}/bench.ini"], stdout=subprocess.DEVNULL)
        time.sleep(2)  # the first cycle is over, the watch is up
        path = f"{root}/users/u0/L.CNM"
        t0 = time.monotonic()
        with open(path, "wb") as f:
            f.write(message(1000, 0))
        while os.path.exists(path) and time.monotonic() - t0 < 150:
            time.sleep(0.005)
        latency = time.monotonic() - t0
        print(f"latency (WatchFolders=1, LoopDelay=120): {latency:.2f} s", flush=True)
        return latency
    finally:
        if p:
            p.terminate()
            p.wait(10)
        server.terminate()
        server.wait(10)
        shutil.rmtree(root, ignore_errors=True)


def peers():
    if not shutil.which("msmtp"):
        print("msmtp is missing: apt-get install -y msmtp")
        return
    fast = "LowLatency=1\n"
    for count, size, boxes in ((120, 1_000, 20), (1, 20_000_000, 1)):
        design, _ = run("smtp-sink", count, size, boxes)
        ambrel, peak = run("smtp-sink", count, size, boxes, product_keys=fast)
        walls = {c: peer_run(c, count, size) for c in ("msmtp", "smtplib")}
        print(f"{count} x {size / 1e6:.3f} MB: LowLatency=1 {ambrel:.2f} s (design {design:.2f} s), "
              f"msmtp/ambrel {walls['msmtp'] / ambrel:.2f}, ambrel/smtplib {ambrel / walls['smtplib']:.2f}, "
              f"peak RSS {peak / 1024:.1f} MB", flush=True)
    latency_run()


def main():
    if sys.argv[3:] == ["peers"]:
        peers()
        return
    walls = {}
    # Large first, so its peak memory is not hidden by an earlier run.
    plan = [(1, 20_000_000, 1), (120, 1_000, 20), (20, 100_000, 5)] if sys.argv[3:] != ["tls"] else []
    for count, size, boxes in plan:
        for kind in ("smtp-sink", "aiosmtpd"):
            walls[(kind, count, size)] = run(kind, count, size, boxes)[0]
    for count, size, _ in plan:
        a, s = walls[("aiosmtpd", count, size)], walls[("smtp-sink", count, size)]
        print(f"{count} x {size / 1e6:.3f} MB: aiosmtpd/smtp-sink wall ratio {a / s:.2f}")

    # TLS: the same server in plain SMTP, over implicit TLS and over STARTTLS.
    folder = tempfile.mkdtemp(prefix="ambrel-bench-tls-")
    try:
        cert, key, fp = make_certificate(folder)
        tls_setup.update(cert=cert, key=key, capture=os.path.join(folder, "received.jsonl"))
        login = f"TlsFingerprint1={fp}\nAuthUser1=joe\nAuthPassword1=s3cret\n"
        tls_walls = {}
        for mode, keys in (("plain", ""), ("tls", "Security1=tls\n" + login),
                           ("starttls", "Security1=starttls\n" + login)):
            tls_walls[mode] = run(f"tls-server:{mode}", 1, 20_000_000, 1, keys)[0]
        for mode in ("tls", "starttls"):
            print(f"1 x 20.000 MB: {mode}/plain wall ratio {tls_walls[mode] / tls_walls['plain']:.2f}")
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    if not sys.argv[3:]:
        peers()


if __name__ == "__main__":
    main()
