#!/usr/bin/python3
"""The console host relaying to real SMTP servers on 127.0.0.1: aiosmtpd
(what arrived, byte for byte), smtp-sink with its fault options (where
every message file ends up), and aiosmtpd with STARTTLS, implicit TLS and
AUTH (tls_server.py: what crossed the wire in clear text, what failed). Every server is started and stopped here, on a
port chosen at run time, and every wait is bounded.

usage: relay_peers_test.py AMBREL SMTP_SINK_ROOT [TEST...]
  SMTP_SINK_ROOT: a folder holding usr/sbin/smtp-sink and usr/lib/postfix.
  TEST: run only these (test_postfix, ...).
The Postfix instance (postfix_peer.py) lives in postfix-peer beside AMBREL;
its log stays there after the run."""
import base64
import http.client
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

from browser import play_browser
from certificate import make_certificate
from idp_server import issued_secrets, read_requests, read_state, write_config
import postfix_peer
from helpers import Results, free_port, listening, wait_for  # noqa: E402  (postfix_peer puts tests/ on the path)

AMBREL = os.path.abspath(sys.argv[1])
SINK_ROOT = os.path.abspath(sys.argv[2])
HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON = "/usr/bin/python3"
results = Results()
check = results.check


class Server:
    """A peer process on a fresh port, stopped on leaving the block."""

    def __init__(self, argv_for_port, env=None):
        self.port = free_port()
        self.proc = subprocess.Popen(argv_for_port(self.port), env=env, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE)

    def __enter__(self):
        if not wait_for(lambda: listening(self.port) or self.proc.poll() is not None, 15):
            raise RuntimeError("server did not start")
        if self.proc.poll() is not None:
            raise RuntimeError("server ended: " + self.proc.stderr.read().decode(errors="replace"))
        return self

    def __exit__(self, *exc):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)


def aiosmtpd(capture, *handler_args):
    env = dict(os.environ, PYTHONPATH=HERE)
    return Server(lambda port: [PYTHON, "-m", "aiosmtpd", "-n", "-l", f"127.0.0.1:{port}",
                                "-c", "capture_handler.Capture", capture, *handler_args], env)


def smtp_sink(*options):
    env = dict(os.environ, LD_LIBRARY_PATH=os.path.join(SINK_ROOT, "usr/lib/postfix"))
    user = ["-u", "nobody"] if os.getuid() == 0 else []
    return Server(lambda port: [os.path.join(SINK_ROOT, "usr/sbin/smtp-sink"), *user, *options,
                                f"127.0.0.1:{port}", "10"], env)


class Tree:
    """Mailbox folders, a bad-mail folder and the INI of one relay run."""

    def __init__(self, root, port, max_mail_sent=6, loop_delay=100, domain_keys="", settings="",
                 host="127.0.0.1", product_keys="", pickup=False):
        self.root = root
        for d in ("users/john", "users/shop", "users/apps", "bad"):
            os.makedirs(os.path.join(root, d), exist_ok=True)
        self.ini = os.path.join(root, "relay.ini")
        with open(self.ini, "w") as f:
            f.write(f"""[Ambrel]
Version=0.28
LoopDelay={loop_delay}
UserFolder={root}/users/
Badmails={root}/bad/
LogName={root}/relay.log
MaxMailSent={max_mail_sent}
{settings}{product_keys}Domains=1
MailBoxes={3 if pickup else 2}
[Domains]
Domain1=example.org
SMTPServer1={host}:{port}
{domain_keys}[MailBoxes]
Mailbox1=john;john;1
Mailbox2=dm:shop;shop;1
{"Mailbox3=pk:apps;apps;1" if pickup else ""}
""")

    def drop(self, box, name, data):
        with open(os.path.join(self.root, "users", box, name), "wb") as f:
            f.write(data)

    def fate(self, box, name):
        if os.path.exists(os.path.join(self.root, "users", box, name)):
            return "stays"
        if os.path.exists(os.path.join(self.root, "bad", name)):
            return "bad"
        return "deleted"

    def badmail_log(self):
        """The lines of badmail.log in the bad-mail folder (none: [])."""
        path = os.path.join(self.root, "bad", "badmail.log")
        if not os.path.exists(path):
            return []
        with open(path, "rb") as f:
            return f.read().decode("latin-1").split("\r\n")[:-1]

    def run(self, cycles=1, limit=60, env_extra=None):
        env = dict(os.environ, AMBREL_CYCLES=str(cycles), AMBREL_REPLY_TIMEOUT_MS="1500",
                   **(env_extra or {}))
        p = subprocess.run([AMBREL, self.ini], env=env, capture_output=True, timeout=limit)
        return p.returncode, p.stdout.decode(errors="replace")


def wire_content(data):
    """What a server keeps of a file: text-mode line ends; then LF, CR LF and
    a CR alone each end a line, sent as CR LF; the empty line that the end of
    data adds."""
    text = data.replace(b"\r\n", b"\n")
    return re.sub(rb"\r\n|\r|\n", b"\r\n", text) + b"\r\n"


MESSAGES = {
    ("john", "A1.CNM"): b"Return-path: <alice@example.com>\r\nX-Envelope-To: <x@example.net>\r\n"
                        b"Subject: dots\r\n\r\n.\r\n..two\r\n.lead\r\nmid.dot\r\n",
    ("shop", "B2.CNM"): b"Return-path: <bob@example.com>\nX-Envelope-To: <carol@example.org>\n"
                        b"Subject: long\n\n" + b"L" * 900 + b"\nlast line without LF",
    ("shop", "C3.CNM"): b"Subject: no envelope\n\nbody \t\n\n\nend\n",
    # Bare CRs end their lines (no "<CR>.<CR><LF>" reaches the server); NUL
    # and Ctrl-Z are text like any other byte.
    ("john", "D4.CNM"): b"Return-path: <dave@example.com>\r\nSubject: hostile\r\n\r\nab\0cd\r\n\0starts\r\n"
                        b"ctrl\x1az\r\nx\r.\r\nQUIT\r\n.\rRSET\r\nlast\r",
}
EXPECTED_ENVELOPE = {
    ("john", "A1.CNM"): ("alice@example.com", ["john@example.org"]),
    ("shop", "B2.CNM"): ("bob@example.com", ["carol@example.org"]),
    ("shop", "C3.CNM"): ("<>", ["shop@example.org"]),
    ("john", "D4.CNM"): ("dave@example.com", ["john@example.org"]),
}


def test_aiosmtpd(scratch):
    capture = os.path.join(scratch, "received.jsonl")
    with aiosmtpd(capture) as server:
        tree = Tree(scratch, server.port)
        for key, data in MESSAGES.items():
            tree.drop(*key, data)
        rc, out = tree.run()
    check("aiosmtpd: host ends after one cycle", rc == 0, out)
    got = []
    if os.path.exists(capture):
        got = [json.loads(line) for line in open(capture)]
    check("aiosmtpd: every message arrived once", len(got) == len(MESSAGES), got)
    by_subject = {}
    for g in got:
        data = base64.b64decode(g["data"])
        by_subject[data] = g
    for key, data in MESSAGES.items():
        want = wire_content(data)
        g = by_subject.get(want)
        check(f"aiosmtpd: {key[1]} arrived byte for byte", g is not None,
              [base64.b64decode(x["data"])[:120] for x in got])
        if g:
            check(f"aiosmtpd: {key[1]} envelope", (g["from"], g["to"]) == EXPECTED_ENVELOPE[key],
                  (g["from"], g["to"]))
        check(f"aiosmtpd: {key[1]} deleted after the session", tree.fate(*key) == "deleted", tree.fate(*key))
    check("aiosmtpd: session ended cleanly", "SMTP Session ended.\r\n" in out, out[-500:])


PICKUP = {
    # As .NET's SmtpClient writes a pickup file.
    "net.eml": (b"X-Sender: app@example.org\r\nX-Receiver: one@example.net\r\nX-Receiver: two@example.net\r\n"
                b"From: App <app@example.org>\r\nTo: one@example.net, two@example.net\r\nSubject: net\r\n\r\n"
                b".dot\r\nbody\r\n", "app@example.org", ["one@example.net", "two@example.net"]),
    # Lower case, with the parameters some servers write after the address.
    "CDO.EML": (b"x-sender: <app@example.org>\r\nx-receiver: <three@example.net> ORCPT=rfc822;three@example.net"
                b" NOTIFY=NEVER\r\nSubject: cdo\r\n\r\nbody\r\n", "app@example.org", ["three@example.net"]),
    # No envelope lines: the header fields name them; Bcc: is not sent.
    "hdr.eml": (b"From: \"App, Inc.\" <app@example.org>\r\nTo: Alice <alice@example.net>,\r\n (Bob B.) bob@example.net"
                b"\r\nCc: undisclosed-recipients:;\r\nBcc: hidden@example.net\r\nSubject: hdr\r\n\r\nbody\r\n",
                "app@example.org", ["alice@example.net", "bob@example.net", "hidden@example.net"]),
}


def pickup_text(data):
    """What goes out of a pickup file: no envelope line, no Bcc: field."""
    lines = data.split(b"\r\n")
    while lines and re.match(rb"(?i)x-(sender|receiver):", lines[0]):
        lines.pop(0)
    lines = [l for l in lines if not l.lower().startswith(b"bcc:")]
    return wire_content(b"\r\n".join(lines))


def test_pickup(scratch):
    capture = os.path.join(scratch, "received.jsonl")

    def received():
        return [json.loads(line) for line in open(capture)] if os.path.exists(capture) else []
    with aiosmtpd(capture) as server:
        tree = Tree(scratch, server.port, pickup=True)
        for name, (data, _, _) in PICKUP.items():
            tree.drop("apps", name, data)
        tree.drop("apps", "part.eml", b"x-sender: <app@example.org>\r\nx-receiver: <ok@example.net>\r\n"
                  b"x-receiver: <refuse@example.net>\r\nx-receiver: <later@example.net>\r\nSubject: part\r\n\r\nx\r\n")
        many = [f"r{i}@example.net" for i in range(150)]
        tree.drop("apps", "many.eml", b"".join(b"X-Receiver: %s\r\n" % r.encode() for r in many) +
                  b"Subject: many\r\n\r\nm\r\n")
        rc, out = tree.run()
        got = received()
        for name, (data, sender, to) in PICKUP.items():
            g = [x for x in got if base64.b64decode(x["data"]) == pickup_text(data)]
            check(f"pickup: {name} once, byte for byte without envelope lines or Bcc", len(g) == 1,
                  [base64.b64decode(x["data"])[:80] for x in got])
            check(f"pickup: {name} envelope", g and (g[0]["from"], sorted(g[0]["to"])) == (sender, sorted(to)),
                  g and (g[0]["from"], g[0]["to"]))
            check(f"pickup: {name} deleted", tree.fate("apps", name) == "deleted", tree.fate("apps", name))
        part = os.path.join(scratch, "users/apps/part.eml")
        check("pickup: partial, the accepted recipient once",
              [x["to"] for x in got if x["to"] == ["ok@example.net"]] == [["ok@example.net"]], got)
        kept = open(part, "rb").read() if os.path.exists(part) else b""
        check("pickup: partial, the file names only the deferred recipient",
              kept.startswith(b"x-sender: <app@example.org>\r\nx-receiver: <later@example.net>\r\nSubject: part"),
              kept[:200])
        bad_path = os.path.join(scratch, "bad/part.eml")
        bad = open(bad_path, "rb").read() if os.path.exists(bad_path) else b""
        check("pickup: partial, the bad-mail file names only the refused one",
              bad.startswith(b"x-sender: <app@example.org>\r\nx-receiver: <refuse@example.net>\r\n"), bad[:200])
        check("pickup: partial, badmail.log gives the address and its reply",
              any("part.eml" in l and "refuse@example.net: 550 5.1.1 no such user here" in l
                  for l in tree.badmail_log()), tree.badmail_log())
        batches = [len(x["to"]) for x in got if x["to"][0].startswith("r") and x["to"][0] != "refuse@example.net"]
        check("pickup: 150 recipients in two transactions of 100 and 50", sorted(batches) == [50, 100], batches)
        rc, out = tree.run()
        got = received()
        check("pickup: the deferred recipient in the next cycle, once",
              [x["to"] for x in got].count(["later@example.net"]) == 1 and tree.fate("apps", "part.eml") != "stays",
              [x["to"] for x in got][-3:])
        # net 2, CDO 1, hdr 3, part: ok, then later; many 150.
        check("pickup: nothing sent twice", sum(len(x["to"]) for x in got) == 2 + 1 + 3 + 1 + 1 + 150,
              sum(len(x["to"]) for x in got))


def test_send_now_and_stop(scratch):
    capture = os.path.join(scratch, "received.jsonl")
    with aiosmtpd(capture) as server:
        tree = Tree(scratch, server.port, loop_delay=100)
        tree.drop("john", "F1.CNM", b"Subject: first\n\nx\n")
        p = subprocess.Popen([AMBREL, tree.ini], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        try:
            first = wait_for(lambda: tree.fate("john", "F1.CNM") == "deleted", 30)
            check("send now: first cycle relays", first)
            tree.drop("john", "F2.CNM", b"Subject: second\n\ny\n")
            time.sleep(0.2)
            p.send_signal(signal.SIGUSR1)
            check("send now: SIGUSR1 relays at once",
                  wait_for(lambda: tree.fate("john", "F2.CNM") == "deleted", 30))
            p.send_signal(signal.SIGTERM)
            rc = p.wait(15)
            check("stop: SIGTERM ends the host with 0", rc == 0, rc)
        finally:
            if p.poll() is None:
                p.kill()
                p.wait(5)


def test_stop_after_acceptance(scratch):
    """SIGTERM while the session end waits for the reply to QUIT, right after
    the 250 to the end of data: the server has the message, and the file was
    deleted at its 250, so the next run cannot send it again."""
    capture = os.path.join(scratch, "received.jsonl")
    with aiosmtpd(capture, "hold-quit") as server:
        tree = Tree(scratch, server.port)
        tree.drop("john", "T1.CNM", b"Subject: stop\n\nx\n")
        p = subprocess.Popen([AMBREL, tree.ini], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        try:
            # The server writes the message before it answers 250: wait for
            # the QUIT, which the client sends only once it has the 250.
            accepted = wait_for(lambda: os.path.exists(capture + ".quit"), 30)
            check("stop after acceptance: message accepted", accepted and os.path.getsize(capture) > 0)
            p.send_signal(signal.SIGTERM)
            rc = p.wait(15)
            out = p.stdout.read().decode(errors="replace")
            check("stop after acceptance: the host ends with 0", rc == 0, rc)
            check("stop after acceptance: the accepted file is gone", tree.fate("john", "T1.CNM") == "deleted", out)
        finally:
            if p.poll() is None:
                p.kill()
                p.wait(5)


def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def test_watch(scratch):
    """WatchFolders=1 with a 120-second delay: a dropped file leaves within
    seconds, a burst of 500 files is one cycle, the idle watch costs no CPU,
    a stop during the watch ends the host at once."""
    with smtp_sink() as server:
        tree = Tree(scratch, server.port, loop_delay=120, product_keys="LowLatency=1\nWatchFolders=1\n")
        # Three cycles: the empty first one, the one file, the burst.
        env = dict(os.environ, AMBREL_CYCLES="3")
        # Output to a file: a pipe nobody reads would stop the host when full.
        out_path = os.path.join(scratch, "out.txt")
        p = subprocess.Popen([AMBREL, tree.ini], env=env, stdout=open(out_path, "wb"), stderr=subprocess.STDOUT)
        try:
            time.sleep(2)  # the first cycle finds nothing; its delay's watch is up
            before = cpu_seconds(p.pid)
            time.sleep(2)
            idle = cpu_seconds(p.pid) - before
            check("watch: idle CPU about 0", idle < 0.2, idle)
            tree.drop("john", "W1.CNM", b"Subject: watched\n\nx\n")
            check("watch: a dropped file is relayed within seconds",
                  wait_for(lambda: tree.fate("john", "W1.CNM") == "deleted", 20))
            time.sleep(2)
            # Written beside the folder, then renamed in: the burst as a
            # program that finishes its files first makes it.
            staging = os.path.join(scratch, "users", "staging")
            os.makedirs(staging)
            for i in range(500):
                with open(os.path.join(staging, f"B{i:03}.CNM"), "wb") as f:
                    f.write(b"Subject: burst\n\nx\n")
            for i in range(500):
                os.rename(os.path.join(staging, f"B{i:03}.CNM"), os.path.join(scratch, "users", "shop", f"B{i:03}.CNM"))
            rc = p.wait(90)
            left = [n for n in os.listdir(os.path.join(scratch, "users", "shop"))]
            check("watch: 500 files dropped at once go in one cycle", rc == 0 and not left,
                  f"rc={rc} left={len(left)}\n" + open(out_path, errors="replace").read()[-3000:])
        finally:
            if p.poll() is None:
                p.kill()
                p.wait(5)
        p = subprocess.Popen([AMBREL, tree.ini], stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
        try:
            time.sleep(1.5)
            p.send_signal(signal.SIGTERM)
            try:
                rc = p.wait(5)
            except subprocess.TimeoutExpired:
                rc = None
            check("watch: a stop during the watch ends the host at once", rc == 0, rc)
        finally:
            if p.poll() is None:
                p.kill()
                p.wait(5)


# smtp-sink options and the fate of the two files of one session (the first
# accepted before the fault where the fault is per message); the last column
# is true when the fault leaves a connection that can carry nothing more,
# which is closed without RSET or QUIT.
SINK_CASES = [
    ("accepts", [], "deleted", "deleted", False),
    ("5xx at RCPT", ["-f", "rcpt"], "bad", "bad", False),
    ("5xx at end of data", ["-f", "."], "bad", "bad", False),
    ("4xx at RCPT", ["-r", "rcpt"], "stays", "stays", False),
    ("4xx at MAIL", ["-r", "mail"], "stays", "stays", False),
    ("drop after DATA", ["-q", "data"], "stays", "stays", True),
    ("drop at end of data", ["-q", "."], "stays", "stays", True),
    ("421 at end of data", ["-Q", "."], "stays", "stays", False),
    ("221 missing", ["-q", "quit"], "deleted", "deleted", False),
    ("5xx at HELO", ["-f", "helo"], "stays", "stays", False),
    ("silent after DATA", ["-w", "4"], "stays", "stays", True),
]


def test_smtp_sink(scratch):
    # Every fault case also in the fast mode: the same fates.
    for name, options, fate1, fate2, lost in SINK_CASES + [(n + " (LowLatency=1)", *rest) for n, *rest in SINK_CASES]:
        root = os.path.join(scratch, re.sub(r"\W+", "_", name))
        with smtp_sink(*options) as server:
            tree = Tree(root, server.port, product_keys="LowLatency=1\n" if "LowLatency" in name else "")
            tree.drop("john", "S1.CNM", b"Return-path: <a@example.com>\n\nfirst\n")
            tree.drop("john", "S2.CNM", b"Return-path: <b@example.com>\n\nsecond\n")
            rc, out = tree.run(limit=120)
        fates = (tree.fate("john", "S1.CNM"), tree.fate("john", "S2.CNM"))
        check(f"smtp-sink {name}: fates {fate1}, {fate2}", rc == 0 and fates == (fate1, fate2),
              f"rc={rc} fates={fates}\n{out[-1500:]}")
        if name == "accepts (LowLatency=1)":
            # smtp-sink offers PIPELINING, but only to EHLO: the fast mode's
            # HELO session still sends one command per reply.
            groups = envelope_groups(text=out)
            check(f"smtp-sink {name}: not pipelined after HELO",
                  len(groups) == 2 and all(g == ["MAIL", "reply", "RCPT", "reply", "DATA", "reply"] for g in groups),
                  (groups, out[-1500:]))
        if lost:
            check(f"smtp-sink {name}: closed without RSET or QUIT",
                  "TIMEOUT in read" in out and "-> RSET" not in out and "-> QUIT" not in out, out[-1500:])


def tls_server(mode, folder, cert, key, password="s3cret"):
    """tls_server.py on a fresh port; what it accepted and the raw client bytes go to `folder`."""
    env = dict(os.environ, PYTHONPATH=HERE)
    return Server(lambda port: [PYTHON, os.path.join(HERE, "tls_server.py"), mode, str(port), cert, key,
                                os.path.join(folder, "received.jsonl"), os.path.join(folder, "raw.bin"),
                                "joe", password], env)


# name, server mode, domain keys, extra environment, fate of both files, the
# one failure line (None: relayed). {fp} is the right fingerprint. The
# certificate is trusted only where SSL_CERT_FILE names it. "name" and
# "cn-only" trust a certificate for the server's host name `localhost`:
# one with that name in its subjectAltName, and one that has it only as its
# common name (no subjectAltName), which must not pass for it.
LOGIN = "AuthUser1=joe\nAuthPassword1=s3cret\n"
TLS_CASES = [
    ("STARTTLS and login, pinned", "starttls", "Security1=starttls\nTlsFingerprint1={fp}\n" + LOGIN, {},
     "deleted", None),
    ("implicit TLS and login, trusted chain", "tls", "Security1=tls\n" + LOGIN, "trust", "deleted", None),
    ("wrong fingerprint", "tls", "Security1=tls\nTlsFingerprint1=" + "00:" * 31 + "00\n" + LOGIN, "trust",
     "stays", "TLS with server #0 (127.0.0.1 for example.org) failed: certificate fingerprint does not match"),
    ("untrusted certificate without a fingerprint", "starttls", "Security1=starttls\n" + LOGIN, {}, "stays",
     "TLS with server #0 (127.0.0.1 for example.org) failed: certificate not trusted"),
    ("STARTTLS not offered", "plain", "Security1=starttls\n" + LOGIN, "trust", "stays",
     "server #0 (127.0.0.1 for example.org) does not offer STARTTLS"),
    ("AUTH LOGIN when PLAIN is not offered", "starttls-login",
     "Security1=starttls\nTlsFingerprint1={fp}\n" + LOGIN, {}, "deleted", None),
    ("neither PLAIN nor LOGIN offered", "starttls-noauth", "Security1=starttls\nTlsFingerprint1={fp}\n" + LOGIN,
     {}, "stays", "server #0 (127.0.0.1 for example.org) offers neither AUTH PLAIN nor AUTH LOGIN"),
    ("host name in the subjectAltName, trusted", "tls", "Security1=tls\n" + LOGIN, "name", "deleted", None),
    ("host name only as the common name", "tls", "Security1=tls\n" + LOGIN, "cn-only", "stays",
     "TLS with server #0 (localhost for example.org) failed: certificate not trusted"),
    ("wrong password", "starttls", "Security1=starttls\nTlsFingerprint1={fp}\nAuthUser1=joe\nAuthPassword1=wrong\n",
     {}, "stays", "login as joe to server #0 (127.0.0.1 for example.org) refused (535)"),
]


def test_tls(scratch):
    cert, key, fp = make_certificate(scratch)
    named = {}
    for kind, alt_names in (("name", "DNS:localhost"), ("cn-only", None)):
        os.makedirs(os.path.join(scratch, kind))
        named[kind] = make_certificate(os.path.join(scratch, kind), "localhost", alt_names)
    for name, mode, keys, env, fate, failure in TLS_CASES:
        root = os.path.join(scratch, re.sub(r"\W+", "_", name))
        os.makedirs(root)
        trust = env if isinstance(env, str) else ""
        c, k, host = (named[trust][0], named[trust][1], "localhost") if trust in named else (cert, key, "127.0.0.1")
        env = {"SSL_CERT_FILE": c} if trust else {"SSL_CERT_FILE": os.devnull}
        with tls_server(mode, root, c, k) as server:
            tree = Tree(root, server.port, domain_keys=keys.replace("{fp}", fp), host=host)
            tree.drop("john", "K1.CNM", b"Return-path: <a@example.com>\n\nfirst\n")
            tree.drop("john", "K2.CNM", b"Return-path: <b@example.com>\n\nsecond\n")
            rc, out = tree.run(env_extra=env)
        fates = (tree.fate("john", "K1.CNM"), tree.fate("john", "K2.CNM"))
        check(f"tls {name}: fates {fate}", rc == 0 and fates == (fate, fate), f"rc={rc} fates={fates}\n{out[-2500:]}")
        raw = open(os.path.join(root, "raw.bin"), "rb").read() if os.path.exists(os.path.join(root, "raw.bin")) else b""
        # Whatever happened, no login crossed in clear text: over TLS even the
        # command's name is unreadable on the wire.
        check(f"tls {name}: no credentials in clear text",
              b"AUTH" not in raw and b"s3cret" not in raw and base64.b64encode(b"s3cret") not in raw, raw[:300])
        check(f"tls {name}: no password in the log", "s3cret" not in out and "s3cret" not in
              open(os.path.join(root, "relay.log"), errors="replace").read())
        if failure is None:
            logins = [json.loads(x) for x in open(os.path.join(root, "received.jsonl.login"))] \
                if os.path.exists(os.path.join(root, "received.jsonl.login")) else []
            check(f"tls {name}: both messages sent logged in over TLS",
                  len(logins) == 2 and all(x["authenticated"] and x["tls"] for x in logins), logins)
            mechanisms = open(os.path.join(root, "received.jsonl.mechanism")).read().split()
            # PLAIN is preferred (one round trip); LOGIN only where PLAIN is missing.
            want = "LOGIN" if mode == "starttls-login" else "PLAIN"
            check(f"tls {name}: AUTH {want} used once", mechanisms == [want], mechanisms)
        else:
            log = open(os.path.join(root, "relay.log"), errors="replace").read()
            # One line per pass however many messages wait: the second is not
            # tried with the same failing settings.
            check(f"tls {name}: one failure line in window and file",
                  out.count(failure) == 1 and log.count(failure) == 1 and "mail left in place" in out,
                  out[-2500:])
            check(f"tls {name}: nothing in bad mail", not os.listdir(os.path.join(root, "bad")))
        # A refusal leaves a connection that still answers RSET and QUIT.
        check(f"tls {name}: session ended without a time-out", "TIMEOUT" not in out, out[-2500:])


def test_quit_unanswered(scratch):
    """A server that closes the connection on QUIT without a reply, three
    cycles: the message it accepted reaches it once, the file is gone."""
    capture = os.path.join(scratch, "received.jsonl")
    with aiosmtpd(capture, "drop-quit") as server:
        tree = Tree(scratch, server.port, loop_delay=1)
        tree.drop("john", "Q1.CNM", b"Return-path: <a@example.com>\n\nonce\n")
        rc, out = tree.run(cycles=3)
    got = [json.loads(line) for line in open(capture)] if os.path.exists(capture) else []
    check("QUIT unanswered: three cycles, one copy", rc == 0 and len(got) == 1, (rc, len(got), out[-1500:]))
    check("QUIT unanswered: file deleted, and the log says QUIT went unanswered",
          tree.fate("john", "Q1.CNM") == "deleted" and "QUIT not answered with 221" in out, out[-1500:])


# The forwarded message of the Postfix cases: its sender is of another
# domain than the login's. An 8-bit body and a line that needs a dot added.
FORWARDED = (b"Return-path: <alice@example.com>\r\nX-Envelope-To: <x@example.net>\r\n"
             b"From: Alice Example <alice@example.com>\r\nTo: John <john@example.org>\r\n"
             b"Subject: forwarded\r\n\r\nHello John,\r\n.dot line\r\n\xe9t\xe9 8-bit\r\n\r\nend\r\n")
OWN = b"Return-path: <john@example.org>\r\nFrom: John <john@example.org>\r\nSubject: own\r\n\r\nmine\r\n"


class PostfixRun:
    """One relay run against the shared Postfix instance: what reached the
    sink and which smtpd sessions the run made, counted from before it."""

    def __init__(self, peer, root, listener, keys="", settings="", cycles=1, files=(), pickup=False):
        self.peer = peer
        sent_before = len(peer.messages())
        sessions_before = len(peer.sessions(listener))
        self.tree = Tree(root, peer.ports[listener], loop_delay=1, domain_keys=keys, settings=settings, pickup=pickup)
        for box, name, data in files:
            self.tree.drop(box, name, data)
        self.rc, self.out = self.tree.run(cycles=cycles, limit=120)
        # Postfix passes mail on to the sink, and writes its log, on its own
        # time. Every run makes at least one session.
        postfix_peer.wait_for(peer.queue_empty, 30, 0.1)
        postfix_peer.wait_for(lambda: peer.sessions_logged(listener, sessions_before), 10, 0.1)
        self.sink = peer.messages()[sent_before:]
        self.sessions = peer.sessions(listener)[sessions_before:]

    def header_and_body(self, message):
        data = postfix_peer.without_received(message["data"])
        head, _, body = data.partition(b"\r\n\r\n")
        return head.split(b"\r\n"), body


def test_postfix(scratch):
    peer = postfix_peer.PostfixPeer(os.path.join(os.path.dirname(AMBREL), "postfix-peer"))
    try:
        peer.start()
    except Exception as e:
        check("postfix: the instance starts", False, repr(e))
        peer.stop()
        return
    try:
        postfix_cases(scratch, peer)
    finally:
        log = peer.read_log()
        peer.stop()
        # Whatever was refused above was refused by a rule, never by a broken
        # instance: a fatal or a panic would make every case's result moot.
        check("postfix: no fatal, panic or warning in its log",
              not re.search(r"\b(fatal|panic|warning):", log), "\n".join(
                  line for line in log.splitlines() if re.search(r"\b(fatal|panic|warning):", line))[-2000:])


def postfix_cases(scratch, peer):
    user, password = postfix_peer.USER, postfix_peer.PASSWORD
    login = f"AuthUser1={user}\nAuthPassword1={password}\nTlsFingerprint1={peer.fingerprint}\n"
    submission = "Security1=starttls\n" + login
    smtps = "Security1=tls\n" + login
    send_as = f"SenderAddress1={user}\n"

    def root(name):
        return os.path.join(scratch, re.sub(r"\W+", "_", name))

    def badmail_reason(run, name):
        lines = [x.split("\t") for x in run.tree.badmail_log()]
        return next((x for x in lines if name in x[1:2]), None), lines

    # Without SenderAddress the provider refuses the forwarded sender: the
    # file is in bad mail, and badmail.log says why.
    r = PostfixRun(peer, root("forwarded as is"), "submission", submission, files=[("john", "A1.CNM", FORWARDED)])
    entry, lines = badmail_reason(r, "A1.CNM")
    check("postfix forwarded, no SenderAddress: refused, in bad mail",
          r.rc == 0 and r.tree.fate("john", "A1.CNM") == "bad" and not r.sink, (r.rc, r.out[-2000:]))
    check("postfix forwarded, no SenderAddress: badmail.log names the 553",
          entry is not None and len(entry) >= 4 and "553 5.7.1" in entry[-1] and "not owned by user" in entry[-1]
          and entry[2].rstrip("/").endswith("users/john"), lines)

    # With SenderAddress: sent as the account, the text unchanged; over
    # STARTTLS on the submission port and over TLS on the smtps port.
    for listener, keys in (("submission", submission), ("smtps", smtps)):
        r = PostfixRun(peer, root("send as " + listener), listener, keys + send_as,
                       files=[("john", "B1.CNM", FORWARDED)])
        got = r.sink[0] if len(r.sink) == 1 else None
        check(f"postfix {listener} with SenderAddress: delivered once, file deleted",
              r.rc == 0 and got is not None and r.tree.fate("john", "B1.CNM") == "deleted", (len(r.sink), r.out[-2000:]))
        if got:
            check(f"postfix {listener} with SenderAddress: MAIL FROM the account",
                  (got["from"], got["to"]) == (user, ["john@example.org"]), (got["from"], got["to"]))
            check(f"postfix {listener} with SenderAddress: the text byte for byte",
                  postfix_peer.without_received(got["data"]) == wire_content(FORWARDED), got["data"][:400])

    # RewriteFrom: the From line names the account; the original goes to
    # Reply-To and X-Original-From; everything else is as it was.
    r = PostfixRun(peer, root("rewrite from"), "submission", submission + send_as + "RewriteFrom1=1\n",
                   files=[("john", "C1.CNM", FORWARDED)])
    got = r.sink[0] if len(r.sink) == 1 else None
    check("postfix RewriteFrom: delivered once", r.rc == 0 and got is not None, (len(r.sink), r.out[-2000:]))
    if got:
        head, body = r.header_and_body(got)
        want_head, want_body = wire_content(FORWARDED).split(b"\r\n\r\n", 1)
        want_head = want_head.split(b"\r\n")
        check("postfix RewriteFrom: the new From", [x for x in head if x.lower().startswith(b"from:")]
              == [b'From: "Alice Example via example.org" <john@example.org>'], head)
        check("postfix RewriteFrom: Reply-To and X-Original-From carry the original",
              b"Reply-To: Alice Example <alice@example.com>" in head
              and b"X-Original-From: Alice Example <alice@example.com>" in head, head)
        others = [x for x in head if not re.match(rb"(?i)(from|reply-to|x-original-from):", x)]
        check("postfix RewriteFrom: every other header line as it was, in order",
              others == [x for x in want_head if not x.lower().startswith(b"from:")], head)
        check("postfix RewriteFrom: the body byte for byte", body == want_body, body)
        check("postfix RewriteFrom: the file itself unchanged",
              got["from"] == user and r.tree.fate("john", "C1.CNM") == "deleted")

    # Pickup files through the provider's submission server: each message
    # once, to its own recipients, without envelope lines or Bcc:.
    r = PostfixRun(peer, root("pickup"), "submission", submission + send_as, pickup=True,
                   files=[("apps", name, data) for name, (data, _, _) in PICKUP.items()])
    for name, (data, _, to) in PICKUP.items():
        got = [m for m in r.sink if postfix_peer.without_received(m["data"]) == pickup_text(data)]
        check(f"postfix pickup {name}: once, to its recipients, the text byte for byte",
              len(got) == 1 and sorted(got[0]["to"]) == sorted(to) and r.tree.fate("apps", name) == "deleted",
              ([(m["to"], m["data"][:200]) for m in r.sink], r.out[-1500:]))

    # SIZE: a file over the server's limit is never uploaded.
    big = FORWARDED + b"".join(b"%07d %s\r\n" % (i, b"y" * 90) for i in range(postfix_peer.SIZE_LIMIT // 98 + 10))
    r = PostfixRun(peer, root("too big"), "submission", submission + send_as, files=[("john", "D1.CNM", big)])
    entry, lines = badmail_reason(r, "D1.CNM")
    check("postfix SIZE: the oversized file in bad mail, never uploaded",
          r.rc == 0 and r.tree.fate("john", "D1.CNM") == "bad" and not r.sink and r.sessions
          and not any("data" in s or "mail" in s for s in r.sessions), (r.sessions, r.out[-2000:]))
    check("postfix SIZE: badmail.log gives the limit",
          entry is not None and f"the server takes at most {postfix_peer.SIZE_LIMIT}" in entry[-1], lines)

    # Port 587 set without the security keys: 530 at MAIL is the
    # configuration's fault, not the message's.
    r = PostfixRun(peer, root("587 without keys"), "submission",
                   files=[("john", "E1.CNM", OWN), ("shop", "E2.CNM", FORWARDED)])
    hint = [x for x in r.out.split("\r\n") if "set Security" in x]
    check("postfix 587 without keys: both files stay, nothing in bad mail",
          r.rc == 0 and r.tree.fate("john", "E1.CNM") == "stays" and r.tree.fate("shop", "E2.CNM") == "stays"
          and not os.listdir(os.path.join(r.tree.root, "bad")), r.out[-2000:])
    check("postfix 587 without keys: one line names the domain, the 530 and the key",
          len(hint) == 1 and "example.org" in hint[0] and "530" in hint[0], hint or r.out[-2000:])

    # Two files in one session, the second refused: the first, accepted,
    # reaches the server once however many cycles follow.
    r = PostfixRun(peer, root("accepted then refused"), "submission", submission, cycles=3,
                   files=[("john", "F1.CNM", OWN), ("shop", "F2.CNM", FORWARDED)])
    check("postfix accepted then refused: the first delivered once in three cycles",
          r.rc == 0 and len(r.sink) == 1 and r.tree.fate("john", "F1.CNM") == "deleted",
          (len(r.sink), r.out[-3000:]))
    check("postfix accepted then refused: the second in bad mail", r.tree.fate("shop", "F2.CNM") == "bad")

    # The MX port checks the HELO name: the default one is refused at RCPT.
    r = PostfixRun(peer, root("helo not fqdn"), "mx", settings="SMTPHelo=Vorpal\n",
                   files=[("john", "G1.CNM", FORWARDED)])
    entry, lines = badmail_reason(r, "G1.CNM")
    loaded = r.out.split("\r\n")
    at = next((i for i, x in enumerate(loaded) if x.startswith("SMTPHelo used: 'Vorpal'")), None)
    check("postfix MX, HELO Vorpal: 504 at RCPT, in bad mail",
          r.tree.fate("john", "G1.CNM") == "bad" and entry is not None and "504 5.5.2" in entry[-1], lines)
    check("postfix MX, HELO Vorpal: the load warns about SMTPHelo",
          at is not None and at + 1 < len(loaded) and "SMTPHelo" in loaded[at + 1], loaded[:40])

    # A plain domain without any of the new keys: relayed as always (HELO,
    # the file's sender, the text byte for byte), and no warning.
    r = PostfixRun(peer, root("plain mx"), "mx", settings="SMTPHelo=relay.example.org\n",
                   files=[("john", "H1.CNM", FORWARDED)])
    got = r.sink[0] if len(r.sink) == 1 else None
    check("postfix MX, plain domain: delivered as always, with HELO",
          r.rc == 0 and got is not None and r.tree.fate("john", "H1.CNM") == "deleted"
          and "-> HELO relay.example.org\r\n" in r.out and "EHLO" not in r.out
          and [s.get("helo") for s in r.sessions] == [1], (r.sessions, r.out[-2000:]))
    if got:
        check("postfix MX, plain domain: envelope and text as in the file",
              (got["from"], got["to"]) == ("alice@example.com", ["john@example.org"])
              and postfix_peer.without_received(got["data"]) == wire_content(FORWARDED), got)
    check("postfix MX, plain domain: no badmail.log, no SMTPHelo warning",
          not r.tree.badmail_log() and sum("SMTPHelo" in x for x in r.out.split("\r\n")) == 1, r.out[:2000])


    # PIPELINING, proven from the client's own Debug=1 log: its commands
    # are gathered and every reply read sends them first, so a "-> DATA"
    # written before any "<- " since "-> MAIL FROM" means MAIL, RCPT and DATA
    # left before the first of their replies was read. (A relay recording
    # each recv would prove it at the peer, but how the kernel splits bytes
    # between recvs is no proof either way; Postfix itself only logs the
    # opposite fault.)
    two = [("john", "P1.CNM", OWN), ("shop", "P2.CNM", OWN.replace(b"mine", b"also mine"))]
    r = PostfixRun(peer, root("pipelined"), "submission", submission + send_as, settings="Debug=1\n", files=two)
    groups = envelope_groups(r.tree)
    check("postfix PIPELINING: both delivered in one session, byte for byte",
          r.rc == 0 and len(r.sessions) == 1 and r.sessions[0].get("mail") == 2
          and sorted(postfix_peer.without_received(m["data"]) for m in r.sink)
          == sorted(wire_content(d) for _, _, d in two)
          and all(r.tree.fate(b, n) == "deleted" for b, n, _ in two), (r.sessions, len(r.sink), r.out[-2000:]))
    check("postfix PIPELINING: MAIL, RCPT and DATA sent before their first reply",
          len(groups) == 2 and all(g == ["MAIL", "RCPT", "DATA", "reply"] for g in groups), groups)

    # The same client where PIPELINING is not offered: one command, one
    # reply.
    mx_tls = f"Security1=starttls\nTlsFingerprint1={peer.fingerprint}\n"
    fqdn = "SMTPHelo=relay.example.org\nDebug=1\n"
    r = PostfixRun(peer, root("not pipelined"), "nopipe", mx_tls, settings=fqdn, files=[("john", "Q1.CNM", FORWARDED)])
    groups = envelope_groups(r.tree)
    check("postfix without PIPELINING: delivered, each command after the reply before it",
          r.rc == 0 and len(r.sink) == 1 and r.tree.fate("john", "Q1.CNM") == "deleted"
          and groups == [["MAIL", "reply", "RCPT", "reply", "DATA", "reply"]], (groups, r.out[-2000:]))

    # A refused RCPT inside a pipelined group (smtpd_delay_reject: the
    # unqualified sender is refused at RCPT): that file to bad mail with the
    # reply; the replies to RCPT and DATA are read all the same, so RSET and
    # QUIT get their own answers, and the next file goes in a new session.
    refused = b"Return-path: <alice>\r\nSubject: unqualified\r\n\r\nrefused\r\n"
    r = PostfixRun(peer, root("pipelined refusal"), "mx", mx_tls, settings=fqdn,
                   files=[("john", "R1.CNM", refused), ("shop", "R2.CNM", FORWARDED)])
    entry, lines = badmail_reason(r, "R1.CNM")
    groups = envelope_groups(r.tree)
    check("postfix pipelined refusal: R1 in bad mail, R2 delivered once",
          r.rc == 0 and r.tree.fate("john", "R1.CNM") == "bad" and r.tree.fate("shop", "R2.CNM") == "deleted"
          and len(r.sink) == 1 and postfix_peer.without_received(r.sink[0]["data"]) == wire_content(FORWARDED)
          and [s.get("rset") for s in r.sessions] == [1, None], (r.sessions, len(r.sink), r.out[-3000:]))
    check("postfix pipelined refusal: RSET answered 250, QUIT 221, in step",
          "-> RSET\r\n<- 250 2.0.0 Ok\r\n-> QUIT\r\n<- 221 " in r.out and "QUIT not answered" not in r.out, r.out[-3000:])
    check("postfix pipelined refusal: both envelopes pipelined, RSET between",
          groups == [["MAIL", "RCPT", "DATA", "reply", "RSET"], ["MAIL", "RCPT", "DATA", "reply"]], groups)
    check("postfix pipelined refusal: badmail.log gives the RCPT reply",
          entry is not None and "504 5.5.2" in entry[-1] and "Sender address rejected" in entry[-1], lines)

    # smtpd's own check sees a command sent ahead only behind one that ends
    # a group (EHLO, STARTTLS, DATA, the text's end, QUIT): in no session
    # above, pipelined or not, did the client do that.
    log = peer.read_log()
    check("postfix PIPELINING: nothing sent ahead where smtpd checks, in any session",
          "nopipe/smtpd" in log and "improper command pipelining" not in log,
          [x for x in log.splitlines() if "improper" in x])


def envelope_groups(tree=None, text=None):
    """From a Debug=1 log (or the console's text): per MAIL FROM, the
    commands and replies in the order written ("reply" for the reads between
    two commands), up to the data or RSET."""
    if text is None:
        with open(os.path.join(tree.root, "relay.log"), "rb") as f:
            text = f.read().decode("latin-1")
    groups, group = [], None
    for line in text.split("\r\n"):
        m = re.match(r"\s*(\*  <- |<- |-> )(\S+)", line)
        if not m:
            continue
        word = "reply" if "<-" in m.group(1) else m.group(2).split(":")[0]
        if word == "MAIL":
            group = []
            groups.append(group)
        if group is None or word in ("<data>", "CRLF.CRLF", "QUIT"):
            group = None
            continue
        if word == "reply" and group and group[-1] == "reply":
            continue  # one reply over two reads, or replies read together
        group.append(word)
        if word == "RSET":
            group = None
    return groups


def idp_server(folder, cert, key):
    return Server(lambda port: [PYTHON, os.path.join(HERE, "idp_server.py"), str(port), cert, key, folder])


def oauth_keys(idp, grant, secret="cl-s3cret", urls=("token", "devicecode")):
    keys = "Security1=starttls\nAuthUser1=joe\nAuthMethod1=oauth2\nOAuthProvider1=custom\nOAuthClientId1=ambrel-test\n"
    names = {"token": "OAuthTokenUrl1", "devicecode": "OAuthDeviceUrl1", "authorize": "OAuthAuthorizeUrl1"}
    for u in urls:
        keys += f"{names[u]}=https://127.0.0.1:{idp}/{u}\n"
    if secret:
        keys += f"OAuthClientSecret1={secret}\n"
    return keys + f"OAuthGrant1={grant}\nOAuthScope1=smtp offline\n"


def tokens_file(tree):
    p = os.path.join(tree.root, "ambrel.tokens")
    return json.load(open(p)) if os.path.exists(p) else {}


def test_oauth(scratch):
    cert, key, _ = make_certificate(scratch)
    trust = {"SSL_CERT_FILE": cert}
    idp_dir = os.path.join(scratch, "idp")
    os.makedirs(idp_dir)
    write_config(idp_dir)
    logs = []  # every text the runs wrote: no token or secret may be in any

    def relay(tree, mode, names, failure=None, label=""):
        root = tree.root
        for f in ("received.jsonl", "received.jsonl.mechanism", "received.jsonl.refused", "received.jsonl.login"):
            if os.path.exists(os.path.join(root, f)):
                os.remove(os.path.join(root, f))
        with tls_server(mode, root, cert, key, os.path.join(idp_dir, "state.json")) as server:
            with open(tree.ini) as f:
                text = f.read()
            with open(tree.ini, "w") as f:
                # Debug: the whole conversation goes to the log file, and still no token.
                text = text if "Debug=1" in text else text.replace("[Ambrel]\n", "[Ambrel]\nDebug=1\n", 1)
                f.write(re.sub(r"SMTPServer1=127\.0\.0\.1:\d+", f"SMTPServer1=127.0.0.1:{server.port}", text))
            for n in names:
                tree.drop("john", n, b"Return-path: <a@example.com>\n\n" + n.encode() + b"\n")
            rc, out = tree.run(env_extra=trust)
        log = open(os.path.join(root, "relay.log"), errors="replace").read()
        logs.extend([out, log])
        fates = [tree.fate("john", n) for n in names]
        if failure is None:
            check(f"oauth {label}: relayed", rc == 0 and fates == ["deleted"] * len(names), f"{fates}\n{out[-2500:]}")
        else:
            check(f"oauth {label}: mail stays", rc == 0 and fates == ["stays"] * len(names), f"{fates}\n{out[-2500:]}")
            check(f"oauth {label}: one failure line in window and file",
                  out.count(failure) == 1 and log.count(failure) == 1 and "mail left in place" in out, out[-2500:])
            check(f"oauth {label}: nothing in bad mail", not os.listdir(os.path.join(root, "bad")))
        return out

    def mechanisms(tree):
        p = os.path.join(tree.root, "received.jsonl.mechanism")
        return open(p).read().split() if os.path.exists(p) else []

    with idp_server(idp_dir, cert, key) as idp:
        # An application: client credentials, XOAUTH2, then OAUTHBEARER where only that is offered.
        app = Tree(os.path.join(scratch, "app"), 1, domain_keys=oauth_keys(idp.port, "client_credentials"))
        relay(app, "xoauth2", ["O1.CNM", "O2.CNM"], label="client credentials")
        check("oauth client credentials: AUTH XOAUTH2 once for two messages", mechanisms(app) == ["XOAUTH2"],
              mechanisms(app))
        tokens = os.path.join(app.root, "ambrel.tokens")
        check("oauth tokens file: mode 0600", os.path.exists(tokens) and os.stat(tokens).st_mode & 0o777 == 0o600)
        entry = tokens_file(app).get("example.org", {})
        check("oauth tokens file: the cached access token, no refresh token",
              entry.get("access_token") in read_state(idp_dir)["access"] and "refresh_token" not in entry, entry)
        grants = [r["grant_type"] for r in read_requests(idp_dir)]
        relay(app, "oauthbearer", ["O3.CNM"], label="OAUTHBEARER only")
        check("oauth OAUTHBEARER only: used, with the cached token", mechanisms(app) == ["OAUTHBEARER"] and
              [r["grant_type"] for r in read_requests(idp_dir)] == grants == ["client_credentials"], mechanisms(app))

        bad = Tree(os.path.join(scratch, "badsecret"), 1,
                   domain_keys=oauth_keys(idp.port, "client_credentials", secret="wrong"))
        relay(bad, "xoauth2", ["P1.CNM", "P2.CNM"], label="invalid_client",
              failure="OAuth 2.0 token for joe (example.org): https://127.0.0.1:%d/token refused: invalid_client "
                      "(client authentication failed)" % idp.port)
        closed = free_port()
        gone = Tree(os.path.join(scratch, "unreachable"), 1, domain_keys=oauth_keys(closed, "client_credentials"))
        relay(gone, "xoauth2", ["U1.CNM"], label="unreachable",
              failure="OAuth 2.0 token for joe (example.org): https://127.0.0.1:%d/token unreachable" % closed)

        # A user: the device grant from the console, then relaying with what it stored.
        write_config(idp_dir, pending_polls=2, slow_down_at=2, expires_in=60)
        user = Tree(os.path.join(scratch, "user"), 1, domain_keys=oauth_keys(idp.port, "refresh_token", secret=""))
        env = dict(os.environ, **trust)
        env.pop("DISPLAY", None)
        p = subprocess.run([AMBREL, "--sign-in", "1", user.ini], env=env, capture_output=True, timeout=120)
        out = p.stdout.decode(errors="replace") + p.stderr.decode(errors="replace")
        logs.append(out)
        check("oauth device sign-in: ends with 0 and shows the code and the address",
              p.returncode == 0 and "WDJB-MJHT" in out and "https://127.0.0.1/device" in out, out[-2000:])
        polls = [r.get("poll") for r in read_requests(idp_dir) if r["grant_type"].endswith("device_code")]
        check("oauth device sign-in: polled through pending and slow_down", polls == [1, 2, 3], polls)
        signed = tokens_file(user).get("example.org", {})
        check("oauth device sign-in: refresh token stored", signed.get("refresh_token") in read_state(idp_dir)["refresh"],
              signed)

        # A server that asks for a pause longer than its code lives: the wait is cut to the code's life.
        write_config(idp_dir, interval=1000, device_expires_in=2, pending_polls=99)
        try:
            p = subprocess.run([AMBREL, "--sign-in", "1", user.ini], env=env, capture_output=True, timeout=30)
            out = p.stdout.decode(errors="replace") + p.stderr.decode(errors="replace")
        except subprocess.TimeoutExpired:
            p, out = None, "still polling after 30 s"
        check("oauth device sign-in: the wait ends with the code's life", p and p.returncode == 1 and
              "the code expired" in out, out[-1500:])

        # The access token of the sign-in has a minute left: renewed first, the rotated refresh token stored.
        write_config(idp_dir, expires_in=3600)
        relay(user, "xoauth2", ["R1.CNM", "R2.CNM"], label="renewed before expiry")
        renewed = tokens_file(user).get("example.org", {})
        st = read_state(idp_dir)
        check("oauth renewal: rotated refresh token stored, the old one spent",
              renewed.get("refresh_token") in st["refresh"] and signed.get("refresh_token") not in st["refresh"] and
              renewed.get("refresh_token") != signed.get("refresh_token"), renewed)

        # A revoked access token: the error challenge, one renewal, one more try.
        st["access"].pop(renewed["access_token"], None)
        with open(os.path.join(idp_dir, "state.json"), "w") as f:
            json.dump(st, f)
        relay(user, "xoauth2", ["C1.CNM"], label="error challenge")
        refused = os.path.join(user.root, "received.jsonl.refused")
        check("oauth error challenge: one refusal, then logged in", mechanisms(user) == ["XOAUTH2", "XOAUTH2"] and
              open(refused).read().split() == ["XOAUTH2"], mechanisms(user))

        # Refusals of the renewal after a refused token: each leaves the mail with its one line.
        for refuse, failure in (("invalid_grant", "refused: invalid_grant (AADSTS70000: the grant is expired): sign in again"),
                                ("html", "answered HTTP 200 without the expected JSON")):
            st = read_state(idp_dir)
            st["access"] = {}
            with open(os.path.join(idp_dir, "state.json"), "w") as f:
                json.dump(st, f)
            write_config(idp_dir, refuse=refuse)
            relay(user, "xoauth2", ["E1.CNM", "E2.CNM"], label=refuse,
                  failure=f"OAuth 2.0 token for joe (example.org): https://127.0.0.1:{idp.port}/token {failure}")
        write_config(idp_dir)

        # A hand edit left a trailing comma: nothing written over the file, one line that names it.
        tokens = os.path.join(user.root, "ambrel.tokens")
        good = open(tokens).read()
        broken = good.rstrip()[:-1].rstrip() + ",\n}\n"
        with open(tokens, "w") as f:
            f.write(broken)
        relay(user, "xoauth2", ["K1.CNM"], label="broken tokens file",
              failure=f"the tokens file '{tokens}' is not valid JSON (line ")
        check("oauth broken tokens file: left as it was", open(tokens).read() == broken)
        with open(tokens, "w") as f:
            f.write(good)

        # Two processes on one tokens file, both due a renewal at once (the server slow to answer): one
        # renews, the other finds the new tokens under the lock; no refresh token is spent twice.
        twin = Tree(os.path.join(scratch, "twin"), 1, domain_keys=oauth_keys(idp.port, "refresh_token", secret=""))
        os.replace(twin.ini, os.path.join(user.root, "twin.ini"))
        twin.ini = os.path.join(user.root, "twin.ini")
        def expire_access_token():
            entries = json.load(open(tokens))
            entries["example.org"]["expires_at"] = 0
            with open(tokens, "w") as f:
                json.dump(entries, f)

        expire_access_token()
        write_config(idp_dir, delay=2)
        seen = len(read_requests(idp_dir))
        runs = []
        with tls_server("xoauth2", user.root, cert, key, os.path.join(idp_dir, "state.json")) as server:
            for t in (user, twin):
                with open(t.ini) as f:
                    text = f.read()
                with open(t.ini, "w") as f:
                    f.write(re.sub(r"SMTPServer1=127\.0\.0\.1:\d+", f"SMTPServer1=127.0.0.1:{server.port}", text))
                t.drop("john", "T1.CNM", b"Return-path: <a@example.com>\n\ntwin\n")
            both = [threading.Thread(target=lambda t=t: runs.append(t.run(env_extra=trust))) for t in (user, twin)]
            for t in both:
                t.start()
            for t in both:
                t.join(90)
        logs.extend(out for _, out in runs)
        renewals = [r for r in read_requests(idp_dir)[seen:] if r["grant_type"] == "refresh_token"]
        check("oauth two processes on one tokens file: both relay, one renewal",
              [user.fate("john", "T1.CNM"), twin.fate("john", "T1.CNM")] == ["deleted"] * 2 and
              len(renewals) == 1 and renewals[0]["known"], (renewals, [out[-800:] for _, out in runs]))

        # The rotated refresh token cannot be written (its replacement is refused): kept in memory and used
        # for the next renewal (every login renews: tokens for a minute), the failure said once.
        expire_access_token()
        os.mkdir(tokens + ".new")
        write_config(idp_dir, expires_in=60)
        with open(user.ini) as f:
            text = f.read()
        with open(user.ini, "w") as f:
            f.write(text.replace("MaxMailSent=6", "MaxMailSent=1"))
        seen = len(read_requests(idp_dir))
        out = relay(user, "xoauth2", ["F1.CNM", "F2.CNM"], label="tokens file not writable")
        renewals = [r for r in read_requests(idp_dir)[seen:] if r["grant_type"] == "refresh_token"]
        check("oauth tokens file not writable: the kept token renews again, said once",
              len(renewals) >= 2 and all(r["known"] for r in renewals) and out.count("kept in memory") == 1,
              (renewals, out[-1500:]))
        os.rmdir(tokens + ".new")
        write_config(idp_dir)

        # The authorization code grant with PKCE: the test plays the browser.
        web = Tree(os.path.join(scratch, "web"), 1,
                   domain_keys=oauth_keys(idp.port, "refresh_token", secret="", urls=("token", "authorize")))
        proc = subprocess.Popen([AMBREL, "--sign-in", "1", web.ini], env=env, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT)
        try:
            seen = b""
            url = None
            end = time.time() + 30
            while time.time() < end and url is None:
                line = proc.stdout.readline()
                if not line:
                    break
                seen += line
                if line.startswith(b"https://127.0.0.1:%d/authorize?" % idp.port):
                    url = line.strip().decode()
            check("oauth browser sign-in: the address is shown", url is not None, seen[-1500:])
            if url:
                q = dict(urllib.parse.parse_qsl(urllib.parse.urlparse(url).query))
                check("oauth browser sign-in: PKCE S256 and a loopback redirect",
                      q.get("code_challenge_method") == "S256" and len(q.get("code_challenge", "")) == 43 and
                      q.get("redirect_uri", "").startswith("http://127.0.0.1:"), q)
                # Another local process at the redirect's port: another path, or this path with another
                # state, gets a 400 and the sign-in waits on.
                back = urllib.parse.urlparse(q.get("redirect_uri", ""))
                strays = []
                for target in ("/x?error=access_denied&state=" + q.get("state", ""), "/?error=access_denied&state=x"):
                    c = http.client.HTTPConnection(back.hostname, back.port, timeout=10)
                    c.request("GET", target)
                    strays.append(c.getresponse().status)
                    c.close()
                check("oauth browser sign-in: a stray request gets 400", strays == [400, 400], strays)
                page = play_browser(url, cert)
                check("oauth browser sign-in: the loopback answers the browser", b"Signed in" in page, page)
            rc = proc.wait(30)
            rest = proc.stdout.read()
            logs.append((seen + rest).decode(errors="replace"))
            check("oauth browser sign-in: ends with 0", rc == 0, (seen + rest)[-1500:])
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait(5)
        relay(web, "xoauth2", ["W1.CNM"], label="after the browser sign-in")

        secrets_seen = issued_secrets(idp_dir)
        for t in (tokens_file(x).get("example.org", {}) for x in (app, user, web)):
            secrets_seen += [t.get("access_token", "@"), t.get("refresh_token", "@")]
        leaks = [s for s in secrets_seen if len(s) > 4 and any(s in text for text in logs)]
        check("oauth: no token or secret in any log or output", not leaks and len(logs) > 10, leaks)


def test_queue_and_retry(scratch):
    """--queue and --retry-badmail on a tree with waiting and refused files:
    the retry moves exactly the file named, the next cycle relays it; with
    NoticeTo a refusal brings one notice, and none in the following cycle."""
    capture = os.path.join(scratch, "received.jsonl")
    with aiosmtpd(capture) as server:
        tree = Tree(scratch, server.port, loop_delay=1)
        john = os.path.join(scratch, "users", "john") + "/"
        tree.drop("john", "W1.CNM", b"Return-path: <w@example.com>\r\n\r\nwaiting\r\n")
        for name in ("R1.CNM", "R2.CNM"):
            with open(os.path.join(scratch, "bad", name), "wb") as f:
                f.write(b"Return-path: <r@example.com>\r\nSubject: " + name.encode() + b"\r\n\r\nrefused once\r\n")
        with open(os.path.join(scratch, "bad", "badmail.log"), "wb") as f:
            f.write(f"2026-01-02 03:04:05\tR1.CNM\t{john}\t550 5.1.1 no such user\r\n"
                    f"2026-01-02 03:04:06\tR2.CNM\t{john}\t554 5.7.1 refused\r\n".encode())
        q = subprocess.run([AMBREL, "--queue", tree.ini, "--json"], capture_output=True, timeout=30)
        data = json.loads(q.stdout or b"{}")
        waiting = [(w["mailbox"], w["file"], w["tries"]) for w in data.get("waiting", [])]
        bad = [(b["file"], b["folder"], b["reason"]) for b in data.get("badmail", [])]
        check("queue --json: the waiting file", q.returncode == 0 and waiting == [("john", "W1.CNM", 0)], q)
        check("queue --json: both refused files with their reasons",
              bad == [("R1.CNM", john, "550 5.1.1 no such user"), ("R2.CNM", john, "554 5.7.1 refused")], bad)
        t = subprocess.run([AMBREL, "--queue", tree.ini], capture_output=True, timeout=30)
        table = t.stdout.decode(errors="replace")
        check("queue table", t.returncode == 0 and "Waiting (1)" in table and "Bad mail (2)" in table
              and "554 5.7.1 refused" in table, table)
        m = subprocess.run([AMBREL, "--queue", os.path.join(scratch, "missing.ini")], capture_output=True, timeout=30)
        check("queue: unreadable INI is exit 1 with a message",
              m.returncode == 1 and b"cannot read the configuration file" in m.stderr, m)
        r = subprocess.run([AMBREL, "--retry-badmail", tree.ini, "R1.CNM"], capture_output=True, timeout=30)
        check("retry: exactly the file named moves back", r.returncode == 0 and tree.fate("john", "R1.CNM") == "stays"
              and os.path.exists(os.path.join(scratch, "bad", "R2.CNM")), r)
        log = open(os.path.join(scratch, "bad", "badmail.log"), "rb").read()
        check("retry: its line is marked", log.count(b"\tretried\r\n") == 1
              and b"no such user\tretried\r\n" in log, log)
        rc, out = tree.run()
        got = [json.loads(line) for line in open(capture)] if os.path.exists(capture) else []
        subjects = sorted(base64.b64decode(g["data"]).split(b"\r\n")[1] for g in got if b"Subject" in
                          base64.b64decode(g["data"]).split(b"\r\n")[1])
        check("retry: the next cycle relays it, R2 stays in bad mail",
              rc == 0 and len(got) == 2 and subjects == [b"Subject: R1.CNM"]
              and tree.fate("john", "R2.CNM") == "bad", (got, out[-800:]))

        # The notice: a recipient the server refuses for good, two cycles.
        os.remove(capture)
        text = open(tree.ini).read().replace("MaxMailSent=", "NoticeTo=admin@example.org\nMaxMailSent=")
        open(tree.ini, "w").write(text)
        tree.drop("shop", "X1.CNM", b"X-Envelope-To: <refuse@example.org>\r\n\r\nrefused\r\n")
        rc, out = tree.run(cycles=2)
        got = [json.loads(line) for line in open(capture)] if os.path.exists(capture) else []
        notices = [base64.b64decode(g["data"]) for g in got if g["to"] == ["admin@example.org"]]
        check("notice: X1 refused and in bad mail", tree.fate("shop", "X1.CNM") == "bad", out[-1500:])
        check("notice: one in two cycles, from <>", len(notices) == 1 and len(got) == 1
              and got[0]["from"] == "<>", (got, out[-1500:]))
        if notices:
            n = notices[0]
            check("notice: automatic, dated, named, and about X1",
                  b"\r\nAuto-Submitted: auto-generated\r\n" in n and b"\r\nDate: " in n
                  and b"\r\nMessage-ID: <" in n and b"moved to bad mail: X1.CNM" in n, n)


def main():
    # `timeout` ends a hung run with SIGTERM: leave through the finally
    # blocks, so that no server (Postfix above all) outlives the run.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    scratch = tempfile.mkdtemp(prefix="ambrel-integ-")
    try:
        tests = (test_aiosmtpd, test_pickup, test_send_now_and_stop, test_stop_after_acceptance, test_smtp_sink, test_tls,
                 test_quit_unanswered, test_postfix, test_watch, test_oauth, test_queue_and_retry)
        # RELAY_PEERS_ONLY=test_a,test_b (or AMBREL_ONLY, or names after the
        # arguments) runs only those, while working on them.
        only = (os.environ.get("RELAY_PEERS_ONLY") or os.environ.get("AMBREL_ONLY") or "").split(",")
        only = [x for x in only if x] + sys.argv[3:]
        for test in (t for t in tests if not only or t.__name__ in only):
            sub = os.path.join(scratch, test.__name__)
            os.makedirs(sub)
            try:
                test(sub)
            except Exception as e:  # a broken peer is a failed test, not a hang
                check(test.__name__, False, repr(e))
    finally:
        if not os.environ.get("RELAY_PEERS_KEEP"): shutil.rmtree(scratch, ignore_errors=True)
    return results.finish()


if __name__ == "__main__":
    sys.exit(main())
