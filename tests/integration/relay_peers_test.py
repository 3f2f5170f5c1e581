#!/usr/bin/python3
"""The console host relaying to real SMTP servers on 127.0.0.1: aiosmtpd
(what arrived, byte for byte), smtp-sink with its fault options (where
every message file ends up), and aiosmtpd with STARTTLS, implicit TLS and
AUTH (tls_server.py: what crossed the wire in clear text, what failed). Every server is started and stopped here, on a
port chosen at run time, and every wait is bounded.

usage: relay_peers_test.py AMBREL SMTP_SINK_ROOT
  SMTP_SINK_ROOT: a folder holding usr/sbin/smtp-sink and usr/lib/postfix."""
import base64
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

from certificate import make_certificate

AMBREL = os.path.abspath(sys.argv[1])
SINK_ROOT = os.path.abspath(sys.argv[2])
HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON = "/usr/bin/python3"
results = []


def check(name, cond, detail=""):
    results.append(bool(cond))
    print(("ok   " if cond else "FAIL ") + name + ("" if cond else "\n     " + str(detail)))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(pred, limit=10.0):
    end = time.time() + limit
    while time.time() < end:
        if pred():
            return True
        time.sleep(0.05)
    return pred()


def listening(port):
    try:
        socket.create_connection(("127.0.0.1", port), 0.5).close()
        return True
    except OSError:
        return False


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

    def __init__(self, root, port, max_mail_sent=6, loop_delay=100, domain_keys=""):
        self.root = root
        for d in ("users/john", "users/shop", "bad"):
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
Domains=1
MailBoxes=2
[Domains]
Domain1=example.org
SMTPServer1=127.0.0.1:{port}
{domain_keys}[MailBoxes]
Mailbox1=john;john;1
Mailbox2=dm:shop;shop;1
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

    def run(self, cycles=1, limit=60, env_extra=None):
        env = dict(os.environ, AMBREL_CYCLES=str(cycles), AMBREL_REPLY_TIMEOUT_MS="1500",
                   AMBREL_IDLE_POLL_MS="5", **(env_extra or {}))
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
    the 250 to the end of data: the accepted file stays for the next run."""
    capture = os.path.join(scratch, "received.jsonl")
    with aiosmtpd(capture, "hold-quit") as server:
        tree = Tree(scratch, server.port)
        tree.drop("john", "T1.CNM", b"Subject: stop\n\nx\n")
        p = subprocess.Popen([AMBREL, tree.ini], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        try:
            accepted = wait_for(lambda: os.path.exists(capture) and os.path.getsize(capture) > 0, 30)
            check("stop after acceptance: message accepted", accepted)
            p.send_signal(signal.SIGTERM)
            rc = p.wait(15)
            out = p.stdout.read().decode(errors="replace")
            check("stop after acceptance: the host ends with 0", rc == 0, rc)
            check("stop after acceptance: the accepted file stays", tree.fate("john", "T1.CNM") == "stays", out)
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
    ("221 missing", ["-q", "quit"], "stays", "stays", False),
    ("5xx at HELO", ["-f", "helo"], "stays", "stays", False),
    ("silent after DATA", ["-w", "4"], "stays", "stays", True),
]


def test_smtp_sink(scratch):
    for name, options, fate1, fate2, lost in SINK_CASES:
        root = os.path.join(scratch, name.replace(" ", "_"))
        with smtp_sink(*options) as server:
            tree = Tree(root, server.port)
            tree.drop("john", "S1.CNM", b"Return-path: <a@example.com>\n\nfirst\n")
            tree.drop("john", "S2.CNM", b"Return-path: <b@example.com>\n\nsecond\n")
            rc, out = tree.run(limit=120)
        fates = (tree.fate("john", "S1.CNM"), tree.fate("john", "S2.CNM"))
        check(f"smtp-sink {name}: fates {fate1}, {fate2}", rc == 0 and fates == (fate1, fate2),
              f"rc={rc} fates={fates}\n{out[-1500:]}")
        if lost:
            check(f"smtp-sink {name}: closed without RSET or QUIT",
                  "TIMEOUT in read" in out and "-> RSET" not in out and "-> QUIT" not in out, out[-1500:])


def tls_server(mode, folder, cert, key):
    """tls_server.py on a fresh port; what it accepted and the raw client bytes go to `folder`."""
    env = dict(os.environ, PYTHONPATH=HERE)
    return Server(lambda port: [PYTHON, os.path.join(HERE, "tls_server.py"), mode, str(port), cert, key,
                                os.path.join(folder, "received.jsonl"), os.path.join(folder, "raw.bin"),
                                "joe", "s3cret"], env)


# name, server mode, domain keys, extra environment, fate of both files, the
# one failure line (None: relayed). {fp} is the right fingerprint. The
# certificate is trusted only where SSL_CERT_FILE names it.
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
    ("wrong password", "starttls", "Security1=starttls\nTlsFingerprint1={fp}\nAuthUser1=joe\nAuthPassword1=wrong\n",
     {}, "stays", "login as joe to server #0 (127.0.0.1 for example.org) refused (535)"),
]


def test_tls(scratch):
    cert, key, fp = make_certificate(scratch)
    for name, mode, keys, env, fate, failure in TLS_CASES:
        root = os.path.join(scratch, re.sub(r"\W+", "_", name))
        os.makedirs(root)
        env = {"SSL_CERT_FILE": cert} if env == "trust" else {"SSL_CERT_FILE": os.devnull}
        with tls_server(mode, root, cert, key) as server:
            tree = Tree(root, server.port, domain_keys=keys.replace("{fp}", fp))
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
    scratch = tempfile.mkdtemp(prefix="ambrel-integ-")
    try:
        for test in (test_aiosmtpd, test_send_now_and_stop, test_stop_after_acceptance, test_smtp_sink,
                     test_tls, test_queue_and_retry):
            sub = os.path.join(scratch, test.__name__)
            os.makedirs(sub)
            try:
                test(sub)
            except Exception as e:  # a broken peer is a failed test, not a hang
                check(test.__name__, False, repr(e))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    print(f"{results.count(True)} passed, {results.count(False)} failed")
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
