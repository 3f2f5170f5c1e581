#!/usr/bin/python3
"""Ambrel.exe under Wine relaying over TLS with a login, through SChannel, to
aiosmtpd servers on 127.0.0.1 (tests/integration/tls_server.py: STARTTLS
required with AUTH, implicit TLS, or no STARTTLS at all, each behind a
recorder of the raw client bytes), with a certificate made by openssl here.

One start of the windowed program relays six domains, one server each: two
that work (STARTTLS and implicit TLS, the certificate pinned) and four that
fail (wrong fingerprint, an untrusted certificate with no fingerprint, no
STARTTLS offered, a wrong password). Then one run as a service relays over
STARTTLS with a login and reports a refused login and a trusted certificate
that names its host only in the common name in the event log (read from
Wine's trace of the service: Wine keeps no event log).

Last, a real Postfix (tests/integration/postfix_peer.py) as the provider
that checks the sender: the "Send as" address is set in the Security dialog
and saved, and a forwarded message then goes through Postfix's submission
port (STARTTLS, the certificate pinned, a login) as the account.

Then OAuth 2.0 through WinHTTP and the local identity provider
(tests/integration/idp_server.py), its certificate added to the prefix's
Root store: client credentials in the window and as a service, the device
sign-in in the Sign in dialog, renewal and rotation, and the refusals.

Debug=1 puts the whole conversation into the log file, so "no password in
the log" is checked where it would most likely leak.
"""
import base64
import json
import os
import re
import subprocess
import sys
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import winetest as wt  # noqa: E402
sys.path.insert(0, os.path.join(wt.ROOT, "tests", "integration"))
from browser import play_browser  # noqa: E402
from certificate import make_certificate  # noqa: E402
import idp_server  # noqa: E402
import postfix_peer  # noqa: E402
from dialogs_test import (Ui, IDOK, IDCANCEL, IDM_OPTIONS, IDM_SENDNOW, IDC_DOMAIN_SECURITY,  # noqa: E402
                          IDC_SEC_SENDER, IDC_SEC_SIGNIN, IDC_SIGNIN_STATUS, IDC_SIGNIN_CODE, IDC_SIGNIN_URL,
                          read_ini, ini_values)

wt.run_under_display()

TLS_SERVER = os.path.join(wt.ROOT, "tests", "integration", "tls_server.py")
IDP_SERVER = os.path.join(wt.ROOT, "tests", "integration", "idp_server.py")
CLIENT_ID, CLIENT_SECRET = idp_server.CLIENT_ID, idp_server.CLIENT_SECRET
USER, PASSWORD, WRONG = "joe", "s3cret", "n0tRight"
SECRETS = [PASSWORD, WRONG, base64.b64encode(PASSWORD.encode()).decode(),
           base64.b64encode(WRONG.encode()).decode(),
           base64.b64encode(f"\0{USER}\0{PASSWORD}".encode()).decode()]

w = wt.Wine()
r = wt.Results()


class TlsServer:
    """tls_server.py on a free port; what it accepted, the mechanisms and the
    raw client bytes go to `folder`."""

    def __init__(self, mode, folder, cert, key, password=PASSWORD):
        os.makedirs(folder, exist_ok=True)
        self.folder = folder
        self.port = wt.free_port()
        self.proc = subprocess.Popen(
            ["/usr/bin/python3", TLS_SERVER, mode, str(self.port), cert, key,
             os.path.join(folder, "received.jsonl"), os.path.join(folder, "raw.bin"), USER, password],
            env=dict(os.environ, PYTHONPATH=os.path.dirname(TLS_SERVER)),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def listening(self):
        return wt.listening(self.port)

    def read(self, name, binary=False):
        path = os.path.join(self.folder, name)
        if not os.path.exists(path):
            return b"" if binary else ""
        with open(path, "rb" if binary else "r") as f:
            return f.read()

    def messages(self):
        return [json.loads(x) for x in self.read("received.jsonl").splitlines() if x.strip()]

    def logins(self):
        return [json.loads(x) for x in self.read("received.jsonl.login").splitlines() if x.strip()]

    def stop(self):
        wt.end_process(self.proc)


class Idp:
    """The local identity provider (idp_server.py) on a free port, with a
    certificate of its own for "localhost": Wine's certificate name check
    does not match IP addresses. trust() puts that certificate into the
    prefix's Root store, which WinHTTP checks the endpoint against."""

    def __init__(self, folder, **config):
        self.folder = os.path.join(folder, "idp")
        os.makedirs(self.folder)
        self.cert, self.key, self.fp = make_certificate(self.folder, "localhost", "DNS:localhost,IP:127.0.0.1")
        self.state_path = os.path.join(self.folder, "state.json")
        idp_server.write_config(self.folder, **config)
        self.port = wt.free_port()
        self.proc = subprocess.Popen(["/usr/bin/python3", IDP_SERVER, str(self.port), self.cert, self.key,
                                      self.folder], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        r.check("identity provider listening", wt.wait_for(lambda: wt.listening(self.port), 20))

    def trust(self):
        return r.check("the identity provider's certificate in the Root store",
                       w.probe("trust-root", wt.win_path(self.cert))[0] == 0)

    def state(self):
        return idp_server.read_state(self.folder)

    def requests(self):
        return idp_server.read_requests(self.folder)

    def secrets(self):
        return idp_server.issued_secrets(self.folder)

    def url(self, endpoint):
        return f"https://localhost:{self.port}/{endpoint}"

    def keys(self, grant, secret=CLIENT_SECRET, browser=False):
        """A domain's keys for an OAuth 2.0 login through this provider, its
        SMTP server (one of the xoauth2 modes) pinned; a user signs in with
        the device grant, or in the browser."""
        sign_in = f"OAuthAuthorizeUrl#={self.url('authorize')}" if browser else \
            f"OAuthDeviceUrl#={self.url('devicecode')}"
        keys = ["Security#=starttls", "TlsFingerprint#=" + self.fp, "AuthUser#=" + USER, "AuthMethod#=oauth2",
                "OAuthProvider#=custom", "OAuthClientId#=" + CLIENT_ID, "OAuthTokenUrl#=" + self.url("token"),
                sign_in, "OAuthScope#=smtp offline", "OAuthGrant#=" + grant]
        return keys + (["OAuthClientSecret#=" + secret] if secret else [])

    def stop(self):
        wt.end_process(self.proc)


def open_security(ui, main, row):
    """Options, Domains, Change (the row's domain), Security: the four
    dialogs, outermost first (None for any that did not open)."""
    w.probe("command", main, IDM_OPTIONS)
    opt = ui.dialog(" Ambrel Options ")
    w.probe("command", opt, 1010)
    dom = ui.dialog(" Domains")
    ui.right_click(" Domains", row)
    cd = ui.dialog(" Change Domain")
    w.probe("command", cd, IDC_DOMAIN_SECURITY)
    return opt, dom, cd, ui.dialog(" Domain Security")


def close_dialogs(ui, pairs):
    for dialog, button in pairs:
        w.probe("command", dialog, button)
        ui.gone(dialog)


def start_servers(specs, folder, cert, key, password=PASSWORD):
    servers = {name: TlsServer(mode, os.path.join(folder, "srv_" + name), cert, key, password)
               for name, mode in specs}
    up = wt.wait_for(lambda: all(s.listening() or s.proc.poll() is not None for s in servers.values()), 20)
    r.check("test servers listening", up and all(s.proc.poll() is None for s in servers.values()),
            {n: s.proc.poll() for n, s in servers.items()})
    return servers


def wire_content(data):
    """What the server keeps of a file: each line end sent as CR LF, and the
    empty line that the end of data adds."""
    text = data.replace(b"\r\n", b"\n")
    return re.sub(rb"\r\n|\r|\n", b"\r\n", text) + b"\r\n"


def write_ini(path, users, domains, log=None, bad=None, extra=()):
    """The INI of one run: one mailbox `john` per domain, in a folder named
    after the domain. `domains` is a list of (domain, port, security keys)."""
    lines = ["[Ambrel]", "Version=0.28", "LoopDelay=600", f"UserFolder={wt.win_path(users)}\\",
             "MaxMailSent=6", "FlushLog=1", "Debug=1", *extra]
    if log:
        lines.append(f"LogName={wt.win_path(log)}")
    if bad:
        lines.append(f"Badmails={wt.win_path(bad)}\\")
    lines += [f"Domains={len(domains)}", f"MailBoxes={len(domains)}", "[Domains]"]
    for n, (name, port, security) in enumerate(domains, 1):
        server = port if isinstance(port, str) else f"127.0.0.1:{port}"  # "host:port", or a port
        lines += [f"Domain{n}={name}", f"SMTPServer{n}={server}"]
        lines += [line.replace("#", str(n)) for line in security]
    lines.append("[MailBoxes]")
    for n, (name, _, _) in enumerate(domains, 1):
        os.makedirs(os.path.join(users, name), exist_ok=True)
        lines.append(f"Mailbox{n}=john;{name};{n}")
    wt.write_ini(path, "\n".join(lines) + "\n")


def login(password=PASSWORD):
    return ["AuthUser#=" + USER, "AuthPassword#=" + password]


def message(subject, body):
    return (b"Return-path: <alice@example.com>\r\nX-Envelope-To: <x@example.net>\r\nSubject: " + subject.encode()
            + b"\r\n\r\n" + body)


# Larger than several TLS records, with lines that need a dot added.
BIG = message("big over STARTTLS", b"".join(b"%s%05d %s\r\n" % (b"." if i % 97 == 0 else b"", i, b"x" * 70)
                                            for i in range(1500)))
DOTS = message("dots over TLS", b".\r\n..two\r\n.lead\r\nlast line without end")
SMALL = message("second", b"second message\r\n")


def pass_over(hwnd):
    """The first pass has ended once the loop delay counts (status part 1
    reads " Loop: n/600"; during a pass it shows -1): then nothing more is
    written to the window or the log file for ten minutes."""
    def counting():
        rc, out = w.probe("sbtext", hwnd, 1)
        return rc == 0 and re.fullmatch(r" Loop: \d+/600", out) is not None
    return wt.wait_for(counting, 60, 0.3)


def no_credentials_in_clear(server):
    raw = server.read("raw.bin", binary=True)
    return b"AUTH" not in raw and not any(s.encode() in raw for s in SECRETS), raw[:300]


def window_run(folder, cert, key, fp):
    users, bad, log = os.path.join(folder, "users"), os.path.join(folder, "bad"), os.path.join(folder, "relay.log")
    os.makedirs(bad)
    servers = start_servers([("starttls", "starttls"), ("tls", "tls"), ("wrongpin", "tls"),
                             ("untrusted", "starttls"), ("nostarttls", "plain")],
                            folder, cert, key)
    plain_pin = fp.replace(":", "").lower()
    # domain, security keys, the messages in its mailbox, the one failure
    # line (None: relayed); "#N" in it is the domain's 0-based number. Five
    # domains at most; the failing ones last, so that their lines are all
    # still in the log window, which keeps only its last 3000 characters.
    # The wrong password is the service run's failure.
    cases = [
        ("starttls.test", ["Security#=starttls", "TlsFingerprint#=" + fp] + login(), {"S1.CNM": BIG, "S2.CNM": SMALL},
         None),
        ("tls.test", ["Security#=tls", "TlsFingerprint#=" + plain_pin] + login(), {"T1.CNM": DOTS, "T2.CNM": SMALL},
         None),
        ("wrongpin.test", ["Security#=tls", "TlsFingerprint#=" + "00:" * 31 + "00"] + login(),
         {"P1.CNM": SMALL, "P2.CNM": SMALL}, "TLS with server #N (127.0.0.1 for D) failed: "
                                            "certificate fingerprint does not match; mail left in place\r\n"),
        ("untrusted.test", ["Security#=starttls"] + login(), {"U1.CNM": SMALL, "U2.CNM": SMALL},
         "TLS with server #N (127.0.0.1 for D) failed: certificate not trusted ("),
        ("nostarttls.test", ["Security#=starttls"] + login(), {"N1.CNM": SMALL, "N2.CNM": SMALL},
         "server #N (127.0.0.1 for D) does not offer STARTTLS; mail left in place\r\n"),
    ]
    server_of = dict(zip((c[0] for c in cases), servers.values()))
    write_ini(os.path.join(folder, "Ambrel.ini"), users,
              [(d, server_of[d].port, keys) for d, keys, _, _ in cases], log=log, bad=bad,
              extra=["WatchFolders=1"])
    for d, _, files, _ in cases:
        for name, data in files.items():
            with open(os.path.join(users, d, name), "wb") as f:
                f.write(data)
    failures = {d: " AMBREL Error: " + fail.replace("#N", "#%d" % i).replace(" D)", " %s)" % d)
                for i, (d, _, _, fail) in enumerate(cases) if fail}
    exe = w.copy_exe(folder, product=True)
    w.start(exe)
    try:
        hwnd = w.wait_window("AmbrelClass", None, 30)
        if not r.check("window: main window found", hwnd):
            return
        edit = w.log_edit(hwnd)
        relayed = [c for c in cases if c[3] is None]

        def cycle_done():
            text = w.text(edit) or ""
            log_text = open(log, "rb").read().decode("latin-1") if os.path.exists(log) else ""
            gone = all(not os.path.exists(os.path.join(users, d, n)) for d, _, files, _ in relayed for n in files)
            return gone and all(f in text and f in log_text for f in failures.values()) and text
        r.check("window: the pass ends", wt.wait_for(cycle_done, 90, 0.5) and pass_over(hwnd))
        text = w.text(edit) or ""
        log_text = open(log, "rb").read().decode("latin-1") if os.path.exists(log) else ""
        w.screenshot("wine-tls-relay")

        for d, keys, files, fail in cases:
            s = server_of[d]
            ok, raw = no_credentials_in_clear(s)
            r.check(f"{d}: no AUTH and no password before TLS", ok, raw)
            if fail is None:
                got = {base64.b64decode(m["data"]): m for m in s.messages()}
                r.check(f"{d}: both messages arrived whole", all(wire_content(data) in got for data in files.values())
                        and len(got) == len(files), [k[:80] for k in got])
                r.check(f"{d}: envelope", all((m["from"], m["to"]) == ("alice@example.com", [f"john@{d}"])
                                              for m in got.values()), [(m["from"], m["to"]) for m in got.values()])
                logins = s.logins()
                r.check(f"{d}: sent logged in over TLS, one AUTH PLAIN for the session",
                        len(logins) == 2 and all(x["authenticated"] and x["tls"] for x in logins)
                        and s.read("received.jsonl.mechanism").split() == ["PLAIN"],
                        (logins, s.read("received.jsonl.mechanism")))
                r.check(f"{d}: files deleted",
                        not any(os.path.exists(os.path.join(users, d, n)) for n in files))
            else:
                line = failures[d]
                r.check(f"{d}: one failure line in the window and in the log file",
                        f"Routing mail {min(files)}" in text and text.count(line) == 1 and log_text.count(line) == 1,
                        (line, text.count(line), log_text.count(line), text[-1500:]))
                r.check(f"{d}: messages stay, nothing received",
                        all(os.path.exists(os.path.join(users, d, n)) for n in files) and not s.messages(),
                        (os.listdir(os.path.join(users, d)), s.messages()))
        r.check("log file: TLS started and logged in for the two working domains only",
                log_text.count("TLS started.\r\n") == 2 and log_text.count(f"Logged in as {USER}.\r\n") == 2,
                log_text[-3000:])
        r.check("log file: the login command shown without credentials", "AUTH PLAIN <credentials>" in log_text)
        r.check("bad-mail folder empty", not os.listdir(bad), os.listdir(bad))
        r.check("no password in the window or the log file",
                not any(s in text or s in log_text for s in SECRETS))
        r.check("no time-out in any session", "TIMEOUT" not in text, text[-2000:])
        # WatchFolders=1: a file dropped during the 600-second delay ends it.
        late = os.path.join(users, "starttls.test", "W1.CNM")
        with open(late, "wb") as f:
            f.write(SMALL)
        r.check("watch: a file dropped into a watched folder leaves within seconds",
                wt.wait_for(lambda: not os.path.exists(late), 30, 0.2), (w.text(edit) or "")[-1500:])
    finally:
        w.stop()
        for s in servers.values():
            s.stop()


def event_log_errors(trace_path):
    """The error texts the service sent to the event log, as Wine's trace
    shows them (its C escapes undone)."""
    with open(trace_path, "rb") as f:
        trace = f.read().decode("latin-1")
    return [wt.unescape(t) for t in re.findall(r':err:eventlog:ReportEventW L"(.*?)"(?:\.\.\.)?$', trace, re.M)]


def event_log_ids(trace_path):
    """(type, category, event ID) of each entry, from Wine's stub of ReportEventW."""
    with open(trace_path, "rb") as f:
        trace = f.read().decode("latin-1")
    return [tuple(int(x, 16) for x in m) for m in
            re.findall(r"ReportEventW \([0-9A-Fa-f]+,0x([0-9a-f]+),0x([0-9a-f]+),0x([0-9a-f]+),", trace)]


def service_run(folder, cert, key, fp):
    users, bad = os.path.join(folder, "users"), os.path.join(folder, "bad")
    os.makedirs(bad)
    servers = start_servers([("good", "starttls"), ("refused", "starttls")], folder, cert, key)
    # An application's OAuth 2.0 login (client credentials) as a service,
    # and one whose secret the provider refuses.
    idp = Idp(folder)
    servers.update(start_servers([("oauth", "xoauth2"), ("oauth_refused", "xoauth2")], folder, idp.cert, idp.key,
                                 password=idp.state_path))
    # A trusted certificate that names the host (localhost) only in its common name.
    os.makedirs(os.path.join(folder, "cn"))
    cn_cert, cn_key, _ = make_certificate(os.path.join(folder, "cn"), "localhost", None)
    servers.update(start_servers([("cn_only", "tls")], folder, cn_cert, cn_key))
    write_ini(os.path.join(folder, "Ambrel.ini"), users, [
        ("good.test", servers["good"].port, ["Security#=starttls", "TlsFingerprint#=" + fp] + login()),
        ("refused.test", servers["refused"].port, ["Security#=starttls", "TlsFingerprint#=" + fp] + login(WRONG)),
        ("oauth.test", servers["oauth"].port, idp.keys("client_credentials")),
        ("refused.oauth.test", servers["oauth_refused"].port, idp.keys("client_credentials", secret="wrong")),
        ("cn-only.test", f"localhost:{servers['cn_only'].port}", ["Security#=tls"] + login())],
        bad=bad)
    good = os.path.join(users, "good.test", "G1.CNM")
    kept = [os.path.join(users, "refused.test", n) for n in ("R1.CNM", "R2.CNM")]
    oauth_good = os.path.join(users, "oauth.test", "O1.CNM")
    oauth_kept = os.path.join(users, "refused.oauth.test", "Q1.CNM")
    oauth_line = (" AMBREL Error: OAuth 2.0 token for joe (refused.oauth.test): " + idp.url("token") +
                  " refused: invalid_client (client authentication failed): check OAuthClientId and "
                  "OAuthClientSecret; mail left in place")
    cn_kept = os.path.join(users, "cn-only.test", "C1.CNM")
    cn_line = (" AMBREL Error: TLS with server #4 (localhost for cn-only.test) failed: certificate does not match "
               "the host name localhost (no subjectAltName); mail left in place")
    for path in [good, oauth_good, oauth_kept, cn_kept] + kept:
        with open(path, "wb") as f:
            f.write(message("service " + os.path.basename(path), b"over STARTTLS\r\n"))
    exe = w.copy_exe(folder, product=True)
    trace_path = os.path.join(folder, "trace.txt")
    trace = open(trace_path, "ab")
    # The prefix's first program keeps its services up and hands the trace
    # settings to the service manager, which it starts.
    trace_env = dict(w.env, WINEDEBUG="err+eventlog")
    w.restart()
    w.start(w.probe_exe, "idle", 300000, cwd=w.build, env=trace_env, stderr=trace)
    subprocess.run(["wine", w.probe_exe, "svc-status", "NoSuchService"], env=trace_env, cwd=w.build,
                   stdout=subprocess.DEVNULL, stderr=trace, timeout=120)

    def run_with_box(*args):
        p = w.start(exe, *args)
        box = w.wait_box(None, 30)
        if box:
            w.dismiss(box)
        p.wait(30)
        return box
    try:
        idp.trust()
        r.check("service: the CN-only certificate in the Root store", w.probe("trust-root", wt.win_path(cn_cert))[0] == 0)
        if w.probe("svc-status", "Ambrel")[0] == 0:  # left by an interrupted run
            w.probe("svc-control", "Ambrel", 1)
            w.probe("svc-delete", "Ambrel")
        box = run_with_box("-i")
        r.check("service: installed", box is not None and box.caption == "Service Ambrel installed", box)
        rc, out = w.run(["net", "start", "Ambrel"], timeout=120)
        r.check("service: net start", rc == 0, (rc, out))
        log_path = os.path.join(folder, "Ambrel.log")
        line = " AMBREL Error: login as joe to server #1 (127.0.0.1 for refused.test) refused (535); mail left in place"
        done = wt.wait_for(lambda: not os.path.exists(good) and not os.path.exists(oauth_good)
                           and os.path.exists(log_path) and all(x in open(log_path, "rb").read().decode("latin-1")
                                                                for x in (line, oauth_line, cn_line)), 90, 0.5)
        hwnd = w.wait_window("AmbrelClass", None, 20)
        r.check("service: the pass ends", done and hwnd and pass_over(hwnd))
        text = (hwnd and w.text(w.log_edit(hwnd))) or ""
        w.screenshot("wine-tls-relay-service")
        log_text = open(log_path, "rb").read().decode("latin-1") if os.path.exists(log_path) else ""
        got = [base64.b64decode(m["data"]) for m in servers["good"].messages()]
        r.check("service: relayed over STARTTLS with a login, file deleted",
                done and got == [wire_content(message("service G1.CNM", b"over STARTTLS\r\n"))]
                and [x["authenticated"] and x["tls"] for x in servers["good"].logins()] == [True], (done, got))
        r.check("service: wrong password leaves both messages, nothing in bad mail",
                all(map(os.path.exists, kept)) and not servers["refused"].messages() and not os.listdir(bad))
        r.check("service: one failure line in the window and in the log file",
                "Routing mail R1.CNM" in text and text.count(line + "\r\n") == 1
                and log_text.count(line + "\r\n") == 1, (text[-1500:], log_text[-1500:]))
        oauth = servers["oauth"]
        r.check("service: relayed with an application's OAuth 2.0 token (XOAUTH2), file deleted",
                [base64.b64decode(m["data"]) for m in oauth.messages()]
                == [wire_content(message("service O1.CNM", b"over STARTTLS\r\n"))]
                and oauth.read("received.jsonl.mechanism").split() == ["XOAUTH2"], oauth.messages())
        r.check("service: a refused client secret leaves the mail, one line in the log file",
                os.path.exists(oauth_kept) and not servers["oauth_refused"].messages()
                and log_text.count(oauth_line + "\r\n") == 1, log_text[-1500:])
        r.check("service: a trusted certificate naming the host only in its CN leaves the mail, one line",
                os.path.exists(cn_kept) and not servers["cn_only"].messages()
                and log_text.count(cn_line + "\r\n") == 1, log_text[-1500:])
        for domain, want in (("(127.0.0.1 for refused.test)", line), ("(refused.oauth.test)", oauth_line),
                             ("(localhost for cn-only.test)", cn_line)):
            errors = wt.wait_for(lambda: [e for e in event_log_errors(trace_path) if domain in e], 20, 0.5)
            r.check(f"service: the failure line {domain} in the event log, once",
                    errors and len(errors) == 1 and errors[0].startswith(want), event_log_errors(trace_path))
        r.check("service: the failure is an error of the domain-failure ID and category",
                (1, 9, 108) in event_log_ids(trace_path), event_log_ids(trace_path))
        r.check("service: no credentials before TLS, no password, token or secret in the window or the log",
                all(no_credentials_in_clear(s)[0] for s in servers.values())
                and not any(s in log_text or s in text for s in SECRETS + idp.secrets()) and len(idp.secrets()) > 1)
        rc, out = w.run(["net", "stop", "Ambrel"], timeout=120)
        r.check("service: net stop", rc == 0, (rc, out))
        box = run_with_box("-u")
        r.check("service: uninstalled", box is not None and box.caption == "Service Ambrel Deleted", box)
    finally:
        if w.probe("svc-status", "Ambrel")[0] == 0:
            w.probe("svc-control", "Ambrel", 1)
            w.probe("svc-delete", "Ambrel")
        w.stop()
        trace.close()
        for s in servers.values():
            s.stop()
        idp.stop()


def postfix_run(folder, cert, key, fp):
    """The account's address set as "Send as" in the Security dialog and
    saved; a forwarded message (a sender of another domain) then passes
    Postfix's sender check. The file is dropped only after the Save, so the
    first pass, before the setting, has nothing to send."""
    users, bad, log = os.path.join(folder, "users"), os.path.join(folder, "bad"), os.path.join(folder, "relay.log")
    os.makedirs(bad)
    peer = postfix_peer.PostfixPeer(os.path.join(folder, "postfix"))
    peer.start()
    ui = Ui(w, r)
    try:
        ini = os.path.join(folder, "Ambrel.ini")
        write_ini(ini, users, [("example.org", peer.ports["submission"],
                                ["Security#=starttls", "TlsFingerprint#=" + peer.fingerprint,
                                 "AuthUser#=" + postfix_peer.USER, "AuthPassword#=" + postfix_peer.PASSWORD])],
                  log=log, bad=bad)
        w.start(w.copy_exe(folder, product=True))
        hwnd = w.wait_window("AmbrelClass", None, 30)
        if not r.check("postfix: main window found", hwnd) or not r.check("postfix: first pass ends", pass_over(hwnd)):
            return
        opt, dom, cd, sd = open_security(ui, hwnd, 0)
        r.check("postfix: the Security dialog has Send as", sd and IDC_SEC_SENDER in ui.children(sd),
                sd and ui.children(sd))
        w.probe("setedit", sd, IDC_SEC_SENDER, postfix_peer.USER)
        w.screenshot("wine-tls-relay-send-as")
        close_dialogs(ui, [(d, IDOK) for d in (sd, cd, dom, opt)])  # OK, Change, Close, Save
        values = ini_values(read_ini(ini))
        r.check("postfix: Save wrote SenderAddress1, the password protected",
                values.get("senderaddress1") == postfix_peer.USER
                and (values.get("authpassword1") or "").startswith("dpapi:"), values)

        message_file = os.path.join(users, "example.org", "W1.CNM")
        forwarded = (b"Return-path: <alice@example.com>\r\nX-Envelope-To: <x@example.net>\r\n"
                     b"From: Alice Example <alice@example.com>\r\nSubject: forwarded from Windows\r\n\r\n"
                     b"through Postfix\r\n.dot line\r\n")
        with open(message_file, "wb") as f:
            f.write(forwarded)
        w.probe("command", hwnd, IDM_SENDNOW)
        delivered = wt.wait_for(lambda: not os.path.exists(message_file) and peer.messages(), 90, 0.5)
        got = peer.messages()
        r.check("postfix: relayed once as the account, the text unchanged",
                delivered and len(got) == 1 and (got[0]["from"], got[0]["to"]) == (postfix_peer.USER,
                                                                                    [postfix_peer.USER])
                and postfix_peer.without_received(got[0]["data"]) == wire_content(forwarded),
                (got, (w.text(w.log_edit(hwnd)) or "")[-2000:]))
        r.check("postfix: nothing in bad mail", not os.listdir(bad), os.listdir(bad))
        w.screenshot("wine-tls-relay-postfix")
    finally:
        w.stop()
        peer.stop()


def sign_in(ui, hwnd, row, label, during=None):
    """Options, Domains, the row's Change and Security, then Sign in...;
    `during(dialog)` runs while the sign-in waits. Checks that the "Signed
    in." box came and the Sign in dialog ended; the other dialogs are then
    closed without saving (the tokens file does not wait for Save)."""
    opt, dom, cd, sd = open_security(ui, hwnd, row)
    w.probe("command", sd, IDC_SEC_SIGNIN)
    si = ui.dialog(" Sign in")
    if during and si:
        during(si)
    # The box that says so has the dialog's caption.
    done = wt.wait_for(lambda: next((b for b in w.boxes() if b.caption == " Sign in" and b.hwnd != si), None), 60, 0.3)
    signed = r.check(f"oauth {label}: Signed in.", si and done and done.text == "Signed in.",
                     (done, si and ui.children(si).get(IDC_SIGNIN_STATUS)))
    if done:
        w.dismiss(done)
    r.check(f"oauth {label}: the dialog ends", signed and ui.gone(si))
    close_dialogs(ui, [(sd, IDCANCEL), (cd, IDCANCEL), (dom, IDOK), (opt, IDCANCEL)])


def oauth_run(folder, cert, key, fp):
    """OAuth 2.0 logins through WinHTTP and the local identity provider. The
    first pass relays two client-credentials domains (XOAUTH2, and
    OAUTHBEARER where only that is offered) and keeps the mail of a domain
    whose secret is refused and of two users who have not signed in. Sign
    in... then runs the device grant (the provider approving after a pending
    and a slow_down answer) for one, the authorization code grant with PKCE
    through the browser (the probe registered for https:, the test visiting
    the address) and the loopback redirect for the other. Send NOW relays
    their mail with the stored refresh tokens, the short-lived access tokens
    renewed and the rotated refresh tokens stored, which a second renewal
    proves."""
    users, bad, log = os.path.join(folder, "users"), os.path.join(folder, "bad"), os.path.join(folder, "relay.log")
    os.makedirs(bad)
    idp = Idp(folder, pending_polls=2, slow_down_at=2, expires_in=60)
    servers = start_servers([("app", "xoauth2"), ("bearer", "oauthbearer"), ("refused", "xoauth2"),
                             ("user", "xoauth2"), ("web", "xoauth2")], folder, idp.cert, idp.key,
                            password=idp.state_path)
    ui = Ui(w, r)
    handler = r"HKCR\https\shell\open\command"
    browser_default = w.run(["reg", "query", handler])[1]
    browser_default = re.search(r"REG_SZ\s+(.*?)\s*$", browser_default, re.M)
    try:
        if not idp.trust():
            return
        urls = os.path.join(folder, "browser.txt")
        r.check("oauth: the probe stands in for the browser", w.run(
            ["reg", "add", handler, "/ve", "/f", "/d",
             f'"{wt.win_path(w.probe_exe)}" browse "{wt.win_path(urls)}" "%1"'])[0] == 0)
        tokens = os.path.join(folder, "Ambrel.tokens")
        # The failing domains last: the window keeps only its last 3000
        # characters. The users' domains are the Domains list's rows 3 and 4.
        cases = [("app.test", idp.keys("client_credentials"), ["A1.CNM", "A2.CNM"]),
                 ("bearer.test", idp.keys("client_credentials"), ["B1.CNM"]),
                 ("refused.test", idp.keys("client_credentials", secret="wrong"), ["R1.CNM", "R2.CNM"]),
                 ("user.test", idp.keys("refresh_token", secret=None), ["U1.CNM", "U2.CNM"]),
                 ("web.test", idp.keys("refresh_token", secret=None, browser=True), ["W1.CNM"])]
        files = dict((c[0], c[2]) for c in cases)
        server_of = dict(zip(files, servers.values()))
        write_ini(os.path.join(folder, "Ambrel.ini"), users, [(d, server_of[d].port, k) for d, k, _ in cases],
                  log=log, bad=bad)
        for d, names in files.items():
            for n in names:
                with open(os.path.join(users, d, n), "wb") as f:
                    f.write(message(f"{n} with OAuth", b"through the identity provider\r\n"))
        fail = " AMBREL Error: OAuth 2.0 token for joe (%s): %s"
        failures = {d: fail % (d, "not signed in (no refresh token in ") for d in ("user.test", "web.test")}
        failures["refused.test"] = fail % ("refused.test", idp.url("token") + " refused: invalid_client (client "
                                           "authentication failed): check OAuthClientId and OAuthClientSecret; "
                                           "mail left in place\r\n")
        w.start(w.copy_exe(folder, product=True))
        hwnd = w.wait_window("AmbrelClass", None, 30)
        if not r.check("oauth: main window found", hwnd) or not r.check("oauth: first pass ends", pass_over(hwnd)):
            return
        edit = w.log_edit(hwnd)
        text = w.text(edit) or ""
        log_text = open(log, "rb").read().decode("latin-1")

        def left(d):
            return [n for n in files[d] if os.path.exists(os.path.join(users, d, n))]

        def got(d):
            return sorted(base64.b64decode(m["data"]).split(b"\r\n")[2] for m in server_of[d].messages())

        def relayed(d):
            return not left(d) and got(d) == [f"Subject: {n} with OAuth".encode() for n in files[d]]
        for d, mechanism in (("app.test", "XOAUTH2"), ("bearer.test", "OAUTHBEARER")):
            r.check(f"oauth {d}: relayed over TLS with {mechanism}, one login for the session",
                    relayed(d) and server_of[d].read("received.jsonl.mechanism").split() == [mechanism]
                    and all(x["authenticated"] and x["tls"] for x in server_of[d].logins()),
                    (left(d), got(d), server_of[d].read("received.jsonl.mechanism")))
        r.check("oauth: one token request per client-credentials domain for the pass",
                [q["grant_type"] for q in idp.requests()] == ["client_credentials"] * 3, idp.requests())
        for d, line in failures.items():
            r.check(f"oauth {d}: mail stays with one line in the window and the log file",
                    left(d) == files[d] and not server_of[d].messages() and text.count(line) == 1
                    and log_text.count(line) == 1, (left(d), line, text[-1500:]))
        r.check("oauth: nothing in bad mail", not os.listdir(bad), os.listdir(bad))

        def device_code_shown(si):
            shown = wt.wait_for(lambda: "WDJB-MJHT" in ui.children(si).get(IDC_SIGNIN_CODE, ("", ""))[1], 30, 0.3)
            if shown:
                w.screenshot("wine-oauth-signin")
            r.check("oauth device sign-in: the dialog shows the code and the address",
                    shown and "/device" in ui.children(si).get(IDC_SIGNIN_URL, ("", ""))[1], ui.children(si))
        sign_in(ui, hwnd, 3, "device sign-in", device_code_shown)
        polls = [q.get("poll") for q in idp.requests() if q["grant_type"].endswith("device_code")]
        r.check("oauth device sign-in: polled through pending and slow_down", polls == [1, 2, 3], polls)

        def visit(si):
            prefix = idp.url("authorize") + "?"
            url = wt.wait_for(lambda: next((x for x in (open(urls).read().split() if os.path.exists(urls) else [])
                                            if x.startswith(prefix)), None), 30, 0.3)
            q = dict(urllib.parse.parse_qsl(urllib.parse.urlparse(url or "").query))
            r.check("oauth browser sign-in: the browser opened with PKCE S256 and a loopback redirect",
                    q.get("code_challenge_method") == "S256" and len(q.get("code_challenge", "")) == 43
                    and q.get("redirect_uri", "").startswith("http://127.0.0.1:"), (url, ui.children(si)))
            page = play_browser(url, idp.cert) if url else b""
            r.check("oauth browser sign-in: the loopback answers the browser", b"Signed in" in page, page)
        sign_in(ui, hwnd, 4, "browser sign-in", visit)
        stored = open(tokens).read() if os.path.exists(tokens) else ""
        r.check("oauth sign-in: both users' refresh tokens stored, protected",
                "user.test" in stored and "web.test" in stored and not any(t in stored for t in idp.secrets()),
                stored[:400])

        w.probe("command", hwnd, IDM_SENDNOW)
        r.check("oauth: the signed-in users' mail relayed",
                wt.wait_for(lambda: relayed("user.test") and relayed("web.test"), 60, 0.5),
                (left("user.test"), got("user.test"), got("web.test"), (w.text(edit) or "")[-1500:]))
        renewals = [q for q in idp.requests() if q["grant_type"] == "refresh_token"]
        st = idp.state()
        r.check("oauth renewal: the 60-second tokens renewed, the refresh tokens rotated",
                [q["known"] for q in renewals] == [True, True] and len(st["refresh"]) == 2
                and len(st["spent"]) == 2, (renewals, st.get("refresh"), st.get("spent")))
        # Only the rotated tokens are still valid: a second renewal works
        # only if they are what was stored.
        late = os.path.join(users, "user.test", "U3.CNM")
        with open(late, "wb") as f:
            f.write(message("U3.CNM with OAuth", b"after a second renewal\r\n"))
        pass_over(hwnd)
        w.probe("command", hwnd, IDM_SENDNOW)
        r.check("oauth renewal: the rotated refresh token was stored (a second renewal relays)",
                wt.wait_for(lambda: not os.path.exists(late), 60, 0.5)
                and [q["known"] for q in idp.requests() if q["grant_type"] == "refresh_token"] == [True] * 3,
                ([q for q in idp.requests() if q["grant_type"] == "refresh_token"], (w.text(edit) or "")[-1500:]))
        pass_over(hwnd)
        w.screenshot("wine-oauth-relay")
        logs = {"window": w.text(edit) or "", "log file": open(log, "rb").read().decode("latin-1"),
                "tokens file": open(tokens).read() if os.path.exists(tokens) else ""}
        leaks = [(name, t) for t in idp.secrets() for name, body in logs.items() if t in body]
        r.check("oauth: no token or secret in the window, the log file (Debug=1) or the tokens file",
                not leaks and len(idp.secrets()) >= 9, leaks)
    finally:
        if browser_default:
            w.run(["reg", "add", handler, "/ve", "/f", "/d", browser_default.group(1)])
        w.stop()
        for srv in servers.values():
            srv.stop()
        idp.stop()

def main():
    top = w.scratch("tls_relay")
    cert, key, fp = make_certificate(top)
    w.restart()
    for name, run in (("window", window_run), ("service", service_run), ("postfix", postfix_run),
                      ("oauth", oauth_run)):
        if sys.argv[1:] and name not in sys.argv[1:]:  # the runs named on the command line only
            continue
        folder = os.path.join(top, name)
        os.makedirs(folder)
        try:
            run(folder, cert, key, fp)
        except Exception as e:  # a broken peer or a hung program is a failed check, not a hang
            r.check(name + " run", False, repr(e))
    print(f"{r.count - r.failed} passed, {r.failed} failed", flush=True)
    return 1 if r.failed else 0


if __name__ == "__main__":
    sys.exit(main())
