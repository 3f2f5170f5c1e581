"""The configuration dialogs as a user drives them, under Wine.

One program start: Options is opened with the main window's command, the
lists are read through the probe, rows are edited through ChangeUser and
ChangeDomain (opened with real right-clicks on the X display), every refusal
box is checked by its exact text, and Save is checked in the INI file, in
the worker's reload lines, in the status bar and by a message relayed to the
new domain's server (a small SMTP sink on 127.0.0.1). Cancel and the refused
saves must leave the file as it was. Screenshots of the four dialogs are
kept in the build folder.
"""
import functools
import os
import socket
import subprocess
import sys
import threading

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winetest as wt  # noqa: E402
sys.path.insert(0, os.path.join(wt.ROOT, "tests", "integration"))
from certificate import make_certificate  # noqa: E402

IDOK, IDCANCEL, IDYES, IDNO = 1, 2, 6, 7
IDM_SENDNOW, IDM_OPTIONS = 6, 14
WM_KEYDOWN, WM_KEYUP, VK_DELETE = 0x100, 0x101, 0x2E
CB_GETCOUNT, CB_SETCURSEL = 0x146, 0x14E
HEADER, ROW = 17, 13  # list header and row height in pixels (8-point font)

PREFIX = "<UserFolder\\>"
CAPTION = " ADD/CHANGE Error"
NON_AT = " Non @-path cann't contain '\\'"
DELETE_LIST = "wmnDo you really want to permanently\rDELETE all selected SMSs ?"
DELETE_DIALOG = "wmkDo you really want to permanently\rDELETE all selected SMSs ?"
TOO_LONG_HOST = " Server name too long (at most 78 characters with the ':' and the port)"
TAKEN = " DomainName already in the list (mailboxes could not tell the two apart)"
IDM_CLEARSCREEN, IDM_PAUSE = 4, 8
EM_GETLIMITTEXT = 0xD5


class SmtpSink(threading.Thread):
    """Accepts every message; keeps (recipients, data) of each."""

    def __init__(self):
        super().__init__(daemon=True)
        self.server = socket.socket()
        self.server.bind(("127.0.0.1", 0))
        self.server.listen(4)
        self.port = self.server.getsockname()[1]
        self.messages = []

    def run(self):
        while True:
            try:
                conn, _ = self.server.accept()
            except OSError:
                return
            with conn:
                self.session(conn.makefile("rb"), conn)

    def session(self, reader, conn):
        conn.sendall(b"220 sink\r\n")
        rcpts = []
        for line in reader:
            verb = line[:4].upper()
            if verb == b"DATA":
                conn.sendall(b"354 go on\r\n")
                data = b""
                for body in reader:
                    if body == b".\r\n":
                        break
                    data += body
                self.messages.append((rcpts, data))
                rcpts = []
                conn.sendall(b"250 ok\r\n")
            elif verb == b"RCPT":
                rcpts.append(line.decode("latin-1").strip())
                conn.sendall(b"250 ok\r\n")
            elif verb == b"QUIT":
                conn.sendall(b"221 bye\r\n")
                return
            else:
                conn.sendall(b"250 ok\r\n")

    def close(self):
        self.server.close()


class Ui:
    def __init__(self, w, r):
        self.w, self.r = w, r

    def children(self, hwnd):
        """Controls of a window by id (lists by class): hwnd, text, enabled."""
        out = {}
        for line in self.w.probe("children", hwnd)[1].splitlines():
            f = line.split("\t")
            if len(f) < 6:
                continue
            key = f[1] if f[1] in ("SysListView32", "SysHeader32") else int(f[2])
            out[key] = (f[0], wt.unescape(f[3]), f[5] == "enabled")
        return out

    def rows(self, lv):
        rc, out = self.w.probe("lvitems", lv)
        return [[wt.unescape(c) for c in line.split("\t")] for line in out.splitlines()] if rc == 0 else None

    def dialog(self, caption, limit=20.0):
        return self.w.wait_window("#32770", caption, limit)

    def rect(self, hwnd):
        rc, out = self.w.probe("rect", hwnd)
        return tuple(int(v) for v in out.split()) if rc == 0 else None

    def height(self, hwnd):
        r = self.rect(hwnd)
        return r[3] - r[1] if r else None

    def gone(self, hwnd):
        return self.w.probe("wait-gone", hwnd, 10000)[0] == 0

    def right_click(self, caption, row):
        """A real right-click into the list of the dialog with this caption,
        on a row or (None) on the empty space below the rows."""
        x, y = self.geometry(caption)
        # The list sits at 6, 22 of the client area, which is where the X
        # window begins when no window manager draws the frame.
        row_y = 22 + HEADER + (row if row is not None else 8) * ROW + ROW // 2
        subprocess.run(["xdotool", "mousemove", str(x + 6 + 20), str(y + row_y),
                        "click", "3"], env=self.w.env, timeout=30)

    def geometry(self, caption):
        geo = subprocess.run(["xdotool", "search", "--name", "^" + caption + "$",
                              "getwindowgeometry", "--shell"], env=self.w.env,
                             capture_output=True, text=True, timeout=30).stdout
        g = dict(line.split("=", 1) for line in geo.split() if "=" in line)
        return int(g["X"]), int(g["Y"])

    def key_f1(self, caption):
        """A real F1 in the dialog (WM_HELP carries a pointer and cannot be
        posted from another process): click into the log name field first."""
        x, y = self.geometry(caption)
        subprocess.run(["xdotool", "mousemove", str(x + 420), str(y + 115), "click", "1",
                        "sleep", "0.3", "key", "F1"], env=self.w.env, timeout=30)

    def key_at(self, caption, x, y, key):
        """A click at x, y of the window with this caption, then a real key."""
        left, top = self.geometry(caption)
        subprocess.run(["xdotool", "mousemove", str(left + x), str(top + y), "click", "1",
                        "sleep", "0.3", "key", key], env=self.w.env, timeout=30)

    def expect_box(self, name, caption, text, button=IDOK):
        box = self.w.wait_box(caption, 15)
        self.r.check(name, box is not None and box.text == text, box)
        if box:
            self.w.dismiss(box, button)
        return box

    def refused(self, name, editor, fields, command, text):
        """Fills the editor's fields, presses a button, expects the refusal
        box and the editor still open with what was typed."""
        for ident, value in fields.items():
            self.w.probe("setedit", editor, ident, value)
        self.w.probe("command", editor, command)
        self.expect_box(name, CAPTION, text)
        kept = self.children(editor)
        self.r.check(name + ": editor stays open with the typed texts",
                     all(kept.get(i, ("", None))[1] == v for i, v in fields.items()), kept)


def read_ini(path):
    with open(path, "rb") as f:
        return f.read()


def ini_values(data):
    values = {}
    for line in data.decode("latin-1").splitlines():
        if "=" in line:
            k, v = line.split("=", 1)
            values[k.strip().lower()] = v.strip()
    return values


def reload_paused(w, main_window, log_text, done="AMBREL Config file Updated"):
    """Lets the paused worker run one cycle and pauses it again: the reload a
    test asks for, and no save or file it writes taken in behind its back."""
    w.probe("command", main_window, IDM_CLEARSCREEN)
    w.probe("command", main_window, IDM_PAUSE)
    w.probe("command", main_window, IDM_SENDNOW)
    seen = wt.wait_for(lambda: done in log_text(), 30)
    w.probe("command", main_window, IDM_PAUSE)
    return seen


def round_trips_and_questions(w, r, ui, main_window, log_text, folder, port):
    """Save with no edits keeps every domain and mailbox line, also after a
    User Folder change before any reload; what Save refuses and asks."""
    rt = os.path.join(folder, "rt")
    for d in ("users/john", "users/sub/deep", "users/sales", "abs/box", "other/john", "other/sub/deep"):
        os.makedirs(os.path.join(rt, d))
    wp = lambda *p: wt.win_path(os.path.join(rt, *p))  # noqa: E731
    ini_path = os.path.join(folder, "Ambrel.ini")
    long_user = "u" * 245  # u...u@five.test: 255 characters
    domains = {"domain1": "example.org", "smtpserver1": f"127.0.0.1:{port}",
               "domain2": "two.test", "smtpserver2": "127.0.0.1:2502",
               "domain3": "three.test", "smtpserver3": "h3:25",
               "domain4": "four.test", "smtpserver4": "h4:25",
               "domain5": "five.test", "smtpserver5": "h5:25"}
    boxes = {"mailbox1": "john;john;1", "mailbox2": "deep;sub\\deep;2",
             "mailbox3": f"box;@{wp('abs', 'box')};3", "mailbox4": "DM:sales;sales;4",
             "mailbox5": f"{long_user};john;5"}
    w.probe("command", main_window, IDM_PAUSE)
    lines = "".join(f"{k.capitalize()}={v}\n" for k, v in domains.items())
    lines = lines.replace("Smtpserver", "SMTPServer")
    with open(ini_path, "w", newline="\r\n") as f:
        f.write(f"[Ambrel]\nVersion=0.28\nLoopDelay=30\nUserFolder={wp('users')}\\\n"
                f"Domains=5\nMailBoxes=5\n[Domains]\n{lines}[MailBoxes]\n" +
                "".join(f"{k.capitalize()}={v}\n" for k, v in boxes.items()))

    reload = functools.partial(reload_paused, w, main_window, log_text)

    def options():
        opt = ui.dialog(" Ambrel Options ")
        return opt, ui.children(opt)["SysListView32"][0]

    def lines_kept(name, want):
        v = ini_values(read_ini(ini_path))
        r.check(name, {k: v.get(k) for k in want} == want, {k: (v.get(k), want[k]) for k in want})

    def save_and_answer(opt, caption, text_has, button):
        w.probe("command", opt, IDOK)
        box = w.wait_box(caption, 15)
        r.check(f"Save shows '{text_has}'", box is not None and text_has in box.text, box)
        return box

    r.check("round-trip file loaded", reload(), log_text())
    rows = [["john", "john@example.org", PREFIX + "john"],
            ["deep", "deep@two.test", PREFIX + "sub\\deep"],
            ["box", "box@three.test", "@" + wp("abs", "box")],
            ["DM:sales", "DM:sales@four.test", PREFIX + "sales"],
            [long_user, long_user + "@five.test", PREFIX + "john"]]
    w.probe("command", main_window, IDM_OPTIONS)
    opt, lv = options()
    r.check("rows of nested, absolute, dm: and 255-character mailboxes", ui.rows(lv) == rows, ui.rows(lv))
    c = ui.children(opt)
    limits = [int(w.probe("send", c[i][0], EM_GETLIMITTEXT, 0, 0)[1] or -1) for i in (129, 123, 131)]
    r.check("settings fields stop where Save refuses (user folder, log name, bad mail)",
            limits == [257, 198, 117], limits)
    before = read_ini(ini_path)
    w.probe("command", opt, IDOK)
    r.check("Save with no edits asks nothing", ui.gone(opt), w.boxes())
    lines_kept("Save with no edits keeps every domain and mailbox line", {**domains, **boxes})

    # A new User Folder, and Options again before the worker reloads (it is
    # paused): the rows still show the folders below the user folder.
    w.probe("command", main_window, IDM_OPTIONS)
    opt, lv = options()
    w.probe("setedit", opt, 129, wp("other") + "\\")
    w.probe("command", opt, IDOK)
    r.check("Save with a new user folder", ui.gone(opt))
    w.probe("command", main_window, IDM_OPTIONS)
    opt, lv = options()
    r.check("reopened before the reload: the same rows", ui.rows(lv) == rows, ui.rows(lv))
    w.probe("command", opt, IDOK)
    r.check("second Save asks nothing", ui.gone(opt), w.boxes())
    lines_kept("and keeps every line", {**domains, **boxes, "userfolder": wp("other") + "\\"})

    # The reload cannot enter other\sales: Save asks before dropping it.
    r.check("reload with a folder missing", reload(), log_text())
    w.probe("command", main_window, IDM_OPTIONS)
    opt, lv = options()
    before = read_ini(ini_path)
    box = save_and_answer(opt, " Save", "left out 1 mailbox line(s)", IDNO)
    w.screenshot("dialogs_save_skipped_question")
    if box:
        w.dismiss(box, IDNO)
    r.check("No: nothing written, Options open",
            read_ini(ini_path) == before and w.probe("title", opt) == (0, " Ambrel Options "))
    box = save_and_answer(opt, " Save", "left out 1 mailbox line(s)", IDYES)
    if box:
        w.dismiss(box, IDYES)
    r.check("Yes: saved", ui.gone(opt))
    boxes = {"mailbox1": "john;john;1", "mailbox2": "deep;sub\\deep;2",
             "mailbox3": f"box;@{wp('abs', 'box')};3", "mailbox4": f"{long_user};john;5",
             "mailboxes": "4"}
    lines_kept("the skipped line is gone, the others kept", {**domains, **boxes})
    r.check("reload of the saved file", reload(), log_text())
    rows = [rows[0], rows[1], rows[2], rows[4]]

    # Cancel after domain and mailbox edits: reopening starts from the loaded tables.
    w.probe("command", main_window, IDM_OPTIONS)
    opt, lv = options()
    w.probe("command", opt, 1010)
    dom = ui.dialog(" Domains")
    ui.right_click(" Domains", 4)
    cd = ui.dialog(" Change Domain")
    w.probe("command", cd, 131)
    ui.gone(cd)
    w.probe("command", dom, IDOK)
    ui.gone(dom)
    ui.right_click(" Ambrel Options ", 0)
    cu = ui.dialog(" Change Mail User")
    w.probe("command", cu, 131)
    ui.gone(cu)
    r.check("edits made", len(ui.rows(lv)) == 3 and ui.rows(lv)[-1][1] == long_user + "@example.org",
            ui.rows(lv))
    w.probe("command", opt, IDCANCEL)
    ui.gone(opt)
    w.probe("command", main_window, IDM_OPTIONS)
    opt, lv = options()
    r.check("after Cancel the mailbox rows are the loaded ones", ui.rows(lv) == rows, ui.rows(lv))
    w.probe("command", opt, 1010)
    dom = ui.dialog(" Domains")
    dlv = ui.children(dom)["SysListView32"][0]
    r.check("after Cancel the domain rows are the loaded ones",
            [row[1] for row in ui.rows(dlv)] == [domains[f"domain{i}"] for i in range(1, 6)], ui.rows(dlv))

    def change(row, name=None, server=None, button=IDOK):
        ui.right_click(" Domains", row)
        cd = ui.dialog(" Change Domain")
        if name is not None:
            w.probe("setedit", cd, 1011, name)
        if server is not None:
            w.probe("setedit", cd, 1012, server)
        w.probe("command", cd, button)
        ui.gone(cd)

    # A name another row has is refused; rename with a new server; a row
    # marked for removal restored by Change; another row removed (its
    # mailbox moves to the first domain at Close, as before).
    ui.right_click(" Domains", 2)
    cd = ui.dialog(" Change Domain")
    ui.refused("a name another row has", cd, {1011: "example.org"}, IDOK, TAKEN)
    w.probe("command", cd, IDCANCEL)
    ui.gone(cd)
    change(2, "tres.test", "127.0.0.1:2503")
    change(3, button=131)
    r.check("row marked", ui.rows(dlv)[3][1] == "~DELETED", ui.rows(dlv))
    change(3, "four.test")
    change(1, button=131)
    w.probe("command", dom, IDOK)
    ui.gone(dom)
    before = read_ini(ini_path)
    box = save_and_answer(opt, " Save", "name a domain that is not in the domain list:\r\n    box@three.test\r\n"
                          " Saving moves them to the first domain (example.org).", IDNO)
    w.screenshot("dialogs_save_move_question")
    if box:
        w.dismiss(box, IDNO)
    r.check("No: nothing written, Options open",
            read_ini(ini_path) == before and w.probe("title", opt) == (0, " Ambrel Options "))
    box = save_and_answer(opt, " Save", "box@three.test", IDYES)
    if box:
        w.dismiss(box, IDYES)
    r.check("Yes: saved", ui.gone(opt), w.boxes())
    lines_kept("renamed, new server, restored, removed; the mailboxes moved",
               {"domains": "4", "domain1": "example.org", "domain2": "tres.test",
                "smtpserver2": "127.0.0.1:2503", "domain3": "four.test", "smtpserver3": "h4:25",
                "domain4": "five.test", "mailbox2": "deep;sub\\deep;1",
                "mailbox3": f"box;@{wp('abs', 'box')};1", "mailbox4": f"{long_user};john;4"})
    r.check("reload of the saved file", reload(), log_text())

    # Two rows marked and a domain added in one Close.
    w.probe("command", main_window, IDM_OPTIONS)
    opt, lv = options()
    w.probe("command", opt, 1010)
    dom = ui.dialog(" Domains")
    dlv = ui.children(dom)["SysListView32"][0]
    change(1, button=131)
    change(2, button=131)
    ui.right_click(" Domains", None)
    cd = ui.dialog(" Change Domain")
    w.probe("setedit", cd, 1011, "added.test")
    w.probe("setedit", cd, 1012, "h9")
    w.probe("command", cd, 138)
    ui.gone(cd)
    w.probe("command", dom, IDOK)
    ui.gone(dom)
    w.probe("command", opt, IDOK)
    r.check("Save asks nothing", ui.gone(opt), w.boxes())
    lines_kept("two removed and one added in one Close",
               {"domains": "3", "domain1": "example.org", "domain2": "five.test", "domain3": "added.test",
                "smtpserver3": "h9:25", "mailbox4": f"{long_user};john;2"})

    # A load that failed leaves an empty list: Save refuses to drop the
    # file's mailboxes.
    with open(ini_path, "w", newline="\r\n") as f:
        f.write("[Ambrel]\nVersion=0.28\nDomains=1\nMailBoxes=2\n[Domains]\nDomain1=x.test\n"
                "[MailBoxes]\nMailbox1=john;john;1\nMailbox2=mary;mary;1\n")
    r.check("failed load", reload("AMBREL Invalid config file."), log_text())
    before = read_ini(ini_path)
    w.probe("command", main_window, IDM_OPTIONS)
    opt, lv = options()
    r.check("empty list after the failed load", ui.rows(lv) == [], ui.rows(lv))
    w.probe("command", opt, IDOK)
    box = w.wait_box(" Save Error", 15)
    r.check("Save refuses to drop the 2 mailboxes",
            box is not None and "does not show its 2 mailbox(es)" in box.text, box)
    w.screenshot("dialogs_save_refused_after_failed_load")
    if box:
        w.dismiss(box)
    r.check("file untouched, Options open",
            read_ini(ini_path) == before and w.probe("title", opt) == (0, " Ambrel Options "))
    w.probe("command", opt, IDCANCEL)
    ui.gone(opt)


LOGIN_NEEDS_TLS = (" A login needs STARTTLS or TLS: the user name and password are never sent over an"
                   " unencrypted connection.")
BAD_FINGERPRINT = (" The fingerprint must be the SHA-256 of the server certificate: 64 hex digits, colons"
                   " allowed (or empty to trust the system's certificates).")
BAD_SENDER = (" Send as must be one address like user@example.org: at most 255 characters, without"
              " blanks, quotes, <> or control characters (or empty to send as the message's sender).")
IDC_DOMAIN_SECURITY, IDC_SEC_MODE, IDC_SEC_USER, IDC_SEC_PASSWORD, IDC_SEC_FINGERPRINT = 1015, 1020, 1021, 1022, 1023
IDC_SEC_SENDER, IDC_SEC_REWRITE, IDC_SEC_SIGNIN = 1024, 1025, 1026
IDC_SIGNIN_STATUS, IDC_SIGNIN_CODE, IDC_SIGNIN_URL = 1030, 1031, 1032
SAVE_FIRST = ("Save first: the sign-in uses this domain's OAuth settings as the INI file has them "
              "(AuthMethod oauth2 with OAuthGrant refresh_token), and the loaded domains have none for it.")
BM_GETCHECK = 0xF0
INTEGRATION = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "integration")


def security_keys(w, r, ui, main_window, log_text, folder):
    """Security... of ChangeDomain: the four keys through Save (the password
    protected, never in clear text in the file or the log), the next load
    relaying with them over STARTTLS and a login to a local aiosmtpd, the
    keys moving with their domain when another is removed, and a clear
    password typed into the file stored protected by the next Save. The
    worker is paused on entry (as round_trips_and_questions leaves it) and
    runs only for the reloads and relays asked for here."""
    sec = os.path.join(folder, "sec")
    for d in ("users/sec", "users/plain"):
        os.makedirs(os.path.join(sec, d))
    cert, key, pin = make_certificate(sec)
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    received, raw = os.path.join(sec, "received.jsonl"), os.path.join(sec, "raw.bin")
    server = subprocess.Popen(["/usr/bin/python3", os.path.join(INTEGRATION, "tls_server.py"), "starttls",
                               str(port), cert, key, received, raw, "joe", "s3cret"],
                              env=dict(os.environ, PYTHONPATH=INTEGRATION), stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    try:
        r.check("TLS server up", wt.wait_for(lambda: wt.listening(port), 20))
        wp = lambda *p: wt.win_path(os.path.join(sec, *p))  # noqa: E731
        ini_path = os.path.join(folder, "Ambrel.ini")
        with open(ini_path, "w", newline="\r\n") as f:
            f.write(f"[Ambrel]\nVersion=0.28\nLoopDelay=30\nUserFolder={wp('users')}\\\nSMTPHelo=dialogs.test\n"
                    f"Domains=3\nMailBoxes=2\n[Domains]\nDomain1=gone.test\nSMTPServer1=127.0.0.1:2501\n"
                    f"Domain2=secure.test\nSMTPServer2=127.0.0.1:{port}\nDomain3=plain.test\n"
                    f"SMTPServer3=127.0.0.1:2503\n[MailBoxes]\nMailbox1=sec;sec;2\nMailbox2=plain;plain;3\n")

        reload = functools.partial(reload_paused, w, main_window, log_text)

        def open_domains():
            w.probe("command", main_window, IDM_OPTIONS)
            opt = ui.dialog(" Ambrel Options ")
            w.probe("command", opt, 1010)
            return opt, ui.dialog(" Domains")

        def security(cd):
            w.probe("command", cd, IDC_DOMAIN_SECURITY)
            return ui.dialog(" Domain Security")

        def fill(sd, mode, user, password, fingerprint):
            c = ui.children(sd)
            w.probe("send", c[IDC_SEC_MODE][0], CB_SETCURSEL, mode, 0)
            for ident, value in ((IDC_SEC_USER, user), (IDC_SEC_PASSWORD, password),
                                 (IDC_SEC_FINGERPRINT, fingerprint)):
                w.probe("setedit", sd, ident, value)

        def keys(n):
            v = ini_values(read_ini(ini_path))
            return {k: v.get(f"{k}{n}") for k in ("security", "authuser", "authpassword", "tlsfingerprint",
                                                   "senderaddress", "rewritefrom")}

        def rewrite_box(sd):
            hwnd, _, enabled = ui.children(sd)[IDC_SEC_REWRITE]
            return enabled, w.probe("send", hwnd, BM_GETCHECK, 0, 0)

        r.check("security file loaded", reload(), log_text())
        opt, dom = open_domains()
        dlv = ui.children(dom)["SysListView32"][0]

        # Settings made and then cancelled with ChangeDomain change nothing.
        # The name typed here is in no load: Sign in... is offered and asks
        # for a Save first, as a new OAuth domain must be saved to sign in.
        ui.right_click(" Domains", 2)
        cd = ui.dialog(" Change Domain")
        w.probe("setedit", cd, 1011, "notsaved.test")
        sd = security(cd)
        c = ui.children(sd)
        r.check("Sign in... is there and offered for a domain not saved yet",
                c.get(IDC_SEC_SIGNIN, ("", "", False))[1:] == ("Sign &in...", True), c)
        w.probe("command", sd, IDC_SEC_SIGNIN)
        box = w.wait_box(" Sign in", 15)
        r.check("Sign in... of a domain not saved says Save first", box is not None and box.text == SAVE_FIRST, box)
        if box:
            w.screenshot("dialogs_signin_save_first")
            w.dismiss(box, IDOK)
        fill(sd, 2, "x", "y", "")
        w.probe("command", sd, IDOK)
        ui.gone(sd)
        w.probe("command", cd, IDCANCEL)
        ui.gone(cd)

        ui.right_click(" Domains", 1)
        cd = ui.dialog(" Change Domain")
        c = ui.children(cd)
        r.check("ChangeDomain has Security...", c.get(IDC_DOMAIN_SECURITY, ("", ""))[1] == "&Security...", c)
        w.screenshot("dialogs_changedomain_security_button")
        sd = security(cd)
        c = ui.children(sd)
        r.check("Sign in... is gray for a password domain", c.get(IDC_SEC_SIGNIN, ("", "", True))[2] is False, c)
        r.check("DomainSecurity opens on the domain's settings: none, no login, no pin",
                sd and [c[i][1] for i in (IDC_SEC_MODE, IDC_SEC_USER, IDC_SEC_PASSWORD, IDC_SEC_FINGERPRINT)]
                == ["none", "", "", ""], c)
        fill(sd, 0, "joe", "s3cret", "")
        w.probe("command", sd, IDOK)
        ui.expect_box("a login without TLS is refused", " Security Error", LOGIN_NEEDS_TLS)
        fill(sd, 1, "joe", "s3cret", pin[:-3])
        w.probe("command", sd, IDOK)
        ui.expect_box("a short fingerprint is refused", " Security Error", BAD_FINGERPRINT)
        fill(sd, 1, "joe", "s3cret", pin)
        r.check("Rewrite From is gray without Send as", rewrite_box(sd)[0] is False, ui.children(sd))
        w.probe("setedit", sd, IDC_SEC_SENDER, "Joe <joe@secure.test>")
        w.probe("command", sd, IDOK)
        ui.expect_box("a Send as that is no plain address is refused", " Security Error", BAD_SENDER)
        r.check("the dialog stays open after the refusals", w.probe("title", sd) == (0, " Domain Security"))
        w.probe("setedit", sd, IDC_SEC_SENDER, "joe@secure.test")
        r.check("Rewrite From can be checked once Send as has an address", rewrite_box(sd)[0] is True,
                ui.children(sd))
        w.probe("click", sd, IDC_SEC_REWRITE)
        r.check("Rewrite From checked", rewrite_box(sd)[1][1].strip() == "1", rewrite_box(sd))
        w.screenshot("dialogs_domain_security")
        ui.key_at(" Domain Security", 60, 78, "F1")
        help_box = ui.dialog(" Ambrel Option information", 10)
        r.check("F1 in DomainSecurity opens the help box", help_box)
        if help_box:
            w.probe("click", help_box, IDOK)
            ui.gone(help_box)
        w.probe("command", sd, IDOK)
        r.check("OK ends DomainSecurity", ui.gone(sd))
        w.probe("command", cd, IDOK)
        ui.gone(cd)
        r.check("the domain list shows no login and no password",
                not any("joe" in cell or "s3cret" in cell for row in ui.rows(dlv) for cell in row), ui.rows(dlv))
        w.probe("command", dom, IDOK)
        ui.gone(dom)
        w.probe("command", opt, IDOK)
        r.check("Save asks nothing", ui.gone(opt), w.boxes())

        data = read_ini(ini_path)
        k = keys(2)
        r.check("the keys saved with the domain, the password protected",
                k["security"] == "starttls" and k["authuser"] == "joe"
                and (k["authpassword"] or "").startswith("dpapi:")
                and k["tlsfingerprint"] == pin.replace(":", "")
                and k["senderaddress"] == "joe@secure.test" and k["rewritefrom"] == "1", k)
        r.check("no clear password in the file", b"s3cret" not in data, data)
        # Wine keeps no descriptor of its own: it maps the private DACL to
        # the Unix mode, so "others" lose every bit.
        r.check("the file with a password is closed to other users",
                os.stat(ini_path).st_mode & 0o007 == 0, oct(os.stat(ini_path).st_mode))
        r.check("domains without the keys have none (also the cancelled settings)",
                keys(1) == keys(3) == dict.fromkeys(keys(1)), (keys(1), keys(3)))

        r.check("reload with the keys", reload(), log_text())
        log = log_text()
        r.check("the load reports the keys and never the password",
                "Domain[2] security: starttls." in log and
                f"Domain[2] TLS fingerprint: {pin.replace(':', '')}." in log and
                "Domain[2] login: 'joe' (password set)." in log and "s3cret" not in log
                and "Domain[2] sender: 'joe@secure.test' (From rewritten to it)." in log, log)

        def accepted():
            return len(open(received).read().splitlines()) if os.path.exists(received) else 0

        def relay(name, user):
            message = os.path.join(sec, "users", "sec", name + ".CNM")
            with open(message, "w", newline="\r\n") as f:
                f.write(f"Return-path: <alice@example.com>\nX-Envelope-To: <{user}@secure.test>\n"
                        f"Subject: {name}\n\nover TLS with a login\n")
            before = accepted()
            w.probe("command", main_window, IDM_PAUSE)
            w.probe("command", main_window, IDM_SENDNOW)
            done = wt.wait_for(lambda: not os.path.exists(message) and accepted() == before + 1, 40)
            w.probe("command", main_window, IDM_PAUSE)
            return done

        def clean_wire():
            wire = open(raw, "rb").read() if os.path.exists(raw) else b""
            logins = [line for line in open(received + ".login").read().splitlines()] \
                if os.path.exists(received + ".login") else []
            return (b"s3cret" not in wire and b"AGpvZQBzM2NyZXQ=" not in wire and b"czNjcmV0" not in wire
                    and logins and all('"authenticated": true' in x and '"tls": true' in x for x in logins))
        r.check("relayed with the saved password over STARTTLS, pinned", relay("SAVED1", "sec"), log_text())
        r.check("logged in over TLS only, no password on the wire in clear", clean_wire())

        # The first domain removed: the keys move to slot 1 with their
        # domain; slot 2 (now plain.test) loses them.
        opt, dom = open_domains()
        ui.right_click(" Domains", 0)
        cd = ui.dialog(" Change Domain")
        w.probe("command", cd, 131)
        ui.gone(cd)
        w.probe("command", dom, IDOK)
        ui.gone(dom)
        w.probe("command", opt, IDOK)
        r.check("Save after the removal asks nothing", ui.gone(opt), w.boxes())
        v = ini_values(read_ini(ini_path))
        k = keys(1)
        r.check("the keys moved with their domain to number 1",
                v.get("domains") == "2" and v.get("domain1") == "secure.test" and k["security"] == "starttls"
                and k["authuser"] == "joe" and (k["authpassword"] or "").startswith("dpapi:")
                and k["tlsfingerprint"] == pin.replace(":", "")
                and k["senderaddress"] == "joe@secure.test" and k["rewritefrom"] == "1", (v, k))
        r.check("the domain now at number 2 has no keys",
                v.get("domain2") == "plain.test" and keys(2) == dict.fromkeys(keys(2)), keys(2))

        # A clear password typed into the file: loaded, and stored protected
        # by the next Save (the password is re-read from the file: prove it).
        text = read_ini(ini_path).decode("latin-1")
        # A clear one at a number past Domains (a slot the file keeps) is
        # protected too.
        text = "\r\n".join("AuthPassword1=s3cret\r\nAuthPassword3=l3ftover"
                            if line.lower().startswith("authpassword1=") else line
                            for line in text.split("\r\n"))
        with open(ini_path, "wb") as f:
            f.write(text.encode("latin-1"))
        r.check("reload with a clear password", reload(), log_text())
        r.check("it is read (password set), never shown",
                "Domain[1] login: 'joe' (password set)." in log_text() and "s3cret" not in log_text(), log_text())
        w.probe("command", main_window, IDM_OPTIONS)
        opt = ui.dialog(" Ambrel Options ")
        w.probe("command", opt, IDOK)
        r.check("Save with no edits", ui.gone(opt), w.boxes())
        data = read_ini(ini_path)
        r.check("the typed passwords are stored protected",
                (keys(1)["authpassword"] or "").startswith("dpapi:") and b"s3cret" not in data
                and (keys(3)["authpassword"] or "").startswith("dpapi:") and b"l3ftover" not in data, data)
        r.check("reload of the protected password", reload(), log_text())
        r.check("relayed again with it", relay("SAVED2", "sec"), log_text())
        r.check("again logged in over TLS only", clean_wire())
    finally:
        wt.end_process(server)


def sign_in_failure(w, r, ui, main_window, log_text, folder):
    """Sign in... of a loaded OAuth domain opens the Sign in dialog, whose
    thread reports the failure of an endpoint that refuses the connection
    (a sign-in that succeeds is tls_relay_test.py's, which runs the
    identity provider): the error line shows, Cancel becomes Close and ends
    it, and no tokens file appears. The worker is paused on entry and on
    return."""
    ini_path = os.path.join(folder, "Ambrel.ini")
    with open(ini_path, "w", newline="\r\n") as f:
        f.write(f"[Ambrel]\nVersion=0.28\nLoopDelay=30\nUserFolder={wt.win_path(os.path.join(folder, 'users'))}\\\n"
                "SMTPHelo=dialogs.test\nDomains=1\nMailBoxes=1\n[Domains]\nDomain1=oauth.test\n"
                "SMTPServer1=127.0.0.1:2501\nSecurity1=starttls\nAuthUser1=joe@oauth.test\nAuthMethod1=oauth2\n"
                "OAuthTokenUrl1=https://127.0.0.1:1/token\nOAuthDeviceUrl1=https://127.0.0.1:1/device\n"
                "OAuthScope1=mail\nOAuthClientId1=ambrel-test\n[MailBoxes]\nMailbox1=john;john;1\n")
    r.check("oauth file loaded", reload_paused(w, main_window, log_text) and "Config error" not in log_text(),
            log_text())
    w.probe("command", main_window, IDM_OPTIONS)
    opt = ui.dialog(" Ambrel Options ")
    w.probe("command", opt, 1010)
    dom = ui.dialog(" Domains")
    ui.right_click(" Domains", 0)
    cd = ui.dialog(" Change Domain")
    w.probe("command", cd, IDC_DOMAIN_SECURITY)
    sd = ui.dialog(" Domain Security")
    r.check("Sign in... is offered for a loaded oauth2 refresh_token domain",
            ui.children(sd).get(IDC_SEC_SIGNIN, ("", "", False))[2] is True, ui.children(sd))
    w.probe("command", sd, IDC_SEC_SIGNIN)
    si = ui.dialog(" Sign in")
    r.check("Sign in opens its dialog", si)

    def failed():
        c = ui.children(si)
        return c.get(IDC_SIGNIN_STATUS, ("", ""))[1].startswith("Sign-in failed: ") and c[IDCANCEL][1] == "&Close"
    r.check("the thread's failure shows in the dialog, Cancel becomes Close",
            si and wt.wait_for(failed, 60), si and ui.children(si))
    w.screenshot("dialogs_signin_failed")
    if si:
        w.probe("click", si, IDCANCEL)
        r.check("Close ends the Sign in dialog", ui.gone(si))
    r.check("no tokens file after a failed sign-in", not os.path.exists(os.path.join(folder, "Ambrel.tokens")))
    for hwnd, button in ((sd, IDCANCEL), (cd, IDCANCEL), (dom, IDOK), (opt, IDCANCEL)):
        w.probe("command", hwnd, button)
        ui.gone(hwnd)


def options_fields_and_rows(w, r, ui, main_window, wp):
    """Options: its four fields and rows, resizing, the Delete questions, F1."""
    w.probe("command", main_window, IDM_OPTIONS)
    opt = ui.dialog(" Ambrel Options ")
    r.check("Options opens from the main window's command", opt)
    c = ui.children(opt)
    lv = c["SysListView32"][0]
    r.check("four fields", [c[i][1] for i in (128, 129, 123, 131)] ==
            ["30", wp("users") + "\\", wp("relay.log"), wp("bad") + "\\"], c)
    start_rows = [["john", "john@example.org", PREFIX + "john"],
                  ["mary", "mary@other.net", PREFIX + "mary"],
                  ["box", "box@example.org", "@" + wp("abs", "box")]]
    r.check("mailbox rows in table order, folder notation", ui.rows(lv) == start_rows, ui.rows(lv))
    w.screenshot("dialogs_options")

    # Resizing: the height follows (down to the opening height) and the
    # mailbox frame and list follow it; the width stays as it opened.
    left, top, right, bottom = ui.rect(opt)
    width, height = right - left, bottom - top
    frame = c[1006][0]
    frame_h, list_h = ui.height(frame), ui.height(lv)

    def resized(name, w_try, h_try, h_want):
        w.probe("setpos", opt, left, top, w_try, h_try)
        want = (left, top, left + width, top + h_want)
        grow = h_want - height
        r.check(name, wt.wait_for(lambda: ui.rect(opt) == want and ui.height(frame) == frame_h + grow
                                  and ui.height(lv) == list_h + grow, 5),
                (ui.rect(opt), want, ui.height(frame), frame_h + grow, ui.height(lv), list_h + grow))
    resized("Options 50 px taller: frame and list grow with it", width, height + 50, height + 50)
    w.screenshot("dialogs_options_taller")
    resized("Options wider: the width is undone", width + 60, height + 50, height + 50)
    resized("Options below its opening height: snaps back", width, height - 40, height)

    # The Delete key only asks; nothing is deleted whatever the answer.
    w.probe("post", lv, WM_KEYDOWN, VK_DELETE, 0)
    ui.expect_box("Delete key in the mailbox list asks", "  Textpull - Delete", DELETE_LIST, IDYES)
    w.probe("post", opt, WM_KEYUP, VK_DELETE, 0)
    ui.expect_box("Delete key released in the dialog asks", "  Textpull - Delete", DELETE_DIALOG, IDNO)
    r.check("rows stay after the Delete questions", ui.rows(lv) == start_rows)

    ui.key_f1(" Ambrel Options ")
    help_box = ui.dialog(" Ambrel Option information", 10)
    r.check("F1 opens the help box", help_box)
    if help_box:
        r.check("Escape and the close box leave the help box open",
                w.escape_and_close_ignored(help_box, " Ambrel Option information"))
        subprocess.run(["xdotool", "key", "F1"], env=w.env, timeout=30)
        w.probe("sync", help_box)
        helps = [b for b in w.boxes() if b.caption == " Ambrel Option information"]
        r.check("F1 in the help box opens no second one", len(helps) == 1, helps)
        w.screenshot("dialogs_help")
        w.probe("click", help_box, IDOK)
        ui.gone(help_box)
    return opt, lv


def domain_editor(w, r, ui, opt, lv, sink1, sink2):
    """Domains and ChangeDomain: refusals, adding to the limit, a removal."""
    w.probe("command", opt, 1010)
    dom = ui.dialog(" Domains")
    dlv = ui.children(dom)["SysListView32"][0]
    r.check("domain rows", ui.rows(dlv) == [["0", "example.org", f"127.0.0.1:{sink1.port}"],
                                           ["1", "other.net", "localhost:25"]], ui.rows(dlv))
    w.screenshot("dialogs_domains")
    w.probe("command", dom, IDCANCEL)
    w.probe("send", dom, 0, 0, 0)  # the posted Escape has been handled
    r.check("Escape leaves Domains open", w.probe("title", dom) == (0, " Domains"))
    w.probe("post", dlv, WM_KEYDOWN, VK_DELETE, 0)
    ui.expect_box("Delete key in the domain list asks", "  Textpull - Delete", DELETE_LIST, IDYES)
    r.check("domain rows stay", len(ui.rows(dlv)) == 2)

    ui.right_click(" Domains", None)
    cd = ui.dialog(" Change Domain")
    c = ui.children(cd)
    r.check("ChangeDomain on empty space: add mode",
            cd and not c[IDOK][2] and not c[131][2] and c[138][2] and c[1011][1] == c[1012][1] == "", c)
    ui.refused("empty domain name", cd, {1011: "", 1012: ""}, 138, " Empty DomainName")
    ui.refused("empty server", cd, {1011: "new.test", 1012: ""}, 138, " Empty server name")
    ui.refused("domain name with @", cd, {1011: "a@new.test", 1012: "h"}, 138, " Invalid DomainName")
    # The saved "host:port" must read back: 78 characters with the port.
    for long_host in ("h" * 80 + ":25", "h" * 74 + ":2525", "h" * 76):
        ui.refused("host longer than the saved server can hold", cd, {1011: "new.test", 1012: long_host},
                   138, TOO_LONG_HOST)
    w.probe("setedit", cd, 1011, "new.test")
    w.probe("setedit", cd, 1012, f"127.0.0.1:{sink2.port}")
    w.screenshot("dialogs_changedomain")
    w.probe("command", cd, 138)
    ui.gone(cd)
    for name, server in (("d3.test", "h3:"), ("d4.test", "h4:70000:1")):
        ui.right_click(" Domains", None)
        cd = ui.dialog(" Change Domain")
        w.probe("setedit", cd, 1011, name)
        w.probe("setedit", cd, 1012, server)
        w.probe("command", cd, 138)
        ui.gone(cd)
    ui.right_click(" Domains", None)
    cd = ui.dialog(" Change Domain")
    w.probe("setedit", cd, 1011, "d5.test")
    w.probe("setedit", cd, 1012, "h5")
    w.probe("command", cd, 138)
    ui.expect_box("sixth domain refused", " Error Adding",
                  " Unable to add domain: domains maximum reached")
    r.check("ChangeDomain closes after the full-table box", ui.gone(cd))
    rows = ui.rows(dlv)
    r.check("added rows continue the numbering, servers as typed",
            rows[2:] == [["2", "new.test", f"127.0.0.1:{sink2.port}"], ["3", "d3.test", "h3:"],
                         ["4", "d4.test", "h4:70000:1"]] and len(rows) == 5, rows)

    ui.right_click(" Domains", 1)
    cd = ui.dialog(" Change Domain")
    c = ui.children(cd)
    r.check("ChangeDomain on a row shows it", (c[1011][1], c[1012][1]) == ("other.net", "localhost:25"), c)
    w.probe("command", cd, 131)
    ui.gone(cd)
    r.check("Delete marks the row", ui.rows(dlv)[1] == ["1", "~DELETED", "localhost:25"], ui.rows(dlv))
    w.probe("command", dom, IDOK)
    r.check("Close ends Domains", ui.gone(dom))
    r.check("mailbox of the removed domain moves to the first domain",
            ui.rows(lv)[1] == ["mary", "mary@example.org", PREFIX + "mary"], ui.rows(lv))


def mailbox_editor(w, r, ui, lv, wp):
    """ChangeUser: refusals, add, change, delete, Edit Domains from the editor."""
    ui.right_click(" Ambrel Options ", None)
    cu = ui.dialog(" Change Mail User")
    c = ui.children(cu)
    r.check("ChangeUser on empty space: add mode, first domain chosen",
            cu and not c[IDOK][2] and not c[131][2] and c[138][2] and c[1010][2]
            and c[132][1] == c[134][1] == "" and c[1014][1] == "example.org", c)
    ui.refused("empty user name", cu, {132: "", 134: "x"}, 138, " Empty UserName")
    ui.refused("empty folder", cu, {132: "newbie", 134: ""}, 138, " Empty folder name")
    ui.refused("user name with @", cu, {132: "new@bie", 134: "x"}, 138, " Invalid UserName")
    ui.refused("relative folder with a backslash", cu, {132: "newbie", 134: "a\\b"}, 138, NON_AT)
    ui.refused("user name with ;", cu, {132: "new;bie", 134: "x"}, 138,
               " Invalid UserName: ';' is not allowed")
    ui.refused("folder with ;", cu, {132: "newbie", 134: "x;y"}, 138,
               " Invalid folder name: ';' is not allowed")
    w.probe("setedit", cu, 132, "newbie")
    w.probe("setedit", cu, 134, "newbie\\")
    w.probe("send", ui.children(cu)[1014][0], CB_SETCURSEL, 1, 0)
    w.screenshot("dialogs_changeuser")
    w.probe("command", cu, 138)
    ui.gone(cu)
    r.check("Add appends the row, trailing backslash dropped",
            ui.rows(lv)[-1] == ["newbie", "newbie@new.test", PREFIX + "newbie"], ui.rows(lv))

    ui.right_click(" Ambrel Options ", 2)
    cu = ui.dialog(" Change Mail User")
    c = ui.children(cu)
    r.check("ChangeUser on an absolute row shows the @ folder",
            (c[132][1], c[134][1], c[1014][1]) == ("box", "@" + wp("abs", "box"), "example.org"), c)
    w.probe("setedit", cu, 134, "@" + wp("abs", "box2") + "\\")
    w.probe("command", cu, IDOK)
    ui.gone(cu)
    r.check("Change rewrites the row", ui.rows(lv)[2] == ["box", "box@example.org", "@" + wp("abs", "box2")],
            ui.rows(lv))
    ui.right_click(" Ambrel Options ", 1)
    cu = ui.dialog(" Change Mail User")
    r.check("ChangeUser on a relative row shows the folder name",
            ui.children(cu)[134][1] == "mary")
    w.probe("command", cu, 131)
    ui.gone(cu)
    saved_rows = [["john", "john@example.org", PREFIX + "john"],
                  ["box", "box@example.org", "@" + wp("abs", "box2")],
                  ["newbie", "newbie@new.test", PREFIX + "newbie"]]
    r.check("Delete removes the row", ui.rows(lv) == saved_rows, ui.rows(lv))

    # Edit Domains from the editor keeps the chosen domain when it is
    # still there; Cancel then changes nothing.
    ui.right_click(" Ambrel Options ", 0)
    cu = ui.dialog(" Change Mail User")
    combo = ui.children(cu)[1014][0]
    w.probe("send", combo, CB_SETCURSEL, 1, 0)
    w.probe("command", cu, 1010)
    dom = ui.dialog(" Domains")
    w.probe("command", dom, IDOK)
    ui.gone(dom)
    r.check("Edit Domains keeps the chosen domain", w.text(combo) == "new.test", w.text(combo))
    w.probe("command", cu, IDCANCEL)
    ui.gone(cu)
    r.check("Cancel in the editor changes no row", ui.rows(lv) == saved_rows, ui.rows(lv))
    return saved_rows


def save_and_reload(w, r, ui, main_window, log_text, opt, folder, wp, sink1, sink2):
    """Save writes what was edited; the worker reloads it and relays by it."""
    ini_path = os.path.join(folder, "Ambrel.ini")
    w.probe("setedit", opt, 128, "3")
    w.probe("command", opt, IDOK)
    r.check("Save ends Options", ui.gone(opt))
    v = ini_values(read_ini(ini_path))
    expected = {"loopdelay": "120", "domains": "4", "mailboxes": "3",
                "domain1": "example.org", "smtpserver1": f"127.0.0.1:{sink1.port}",
                "domain2": "new.test", "smtpserver2": f"127.0.0.1:{sink2.port}",
                "domain3": "d3.test", "smtpserver3": "h3:25",
                "domain4": "d4.test", "smtpserver4": "h4:4464",
                "mailbox1": "john;john;1", "mailbox2": f"box;@{wp('abs', 'box2')};1",
                "mailbox3": "newbie;newbie;2", "smtphelo": "dialogs.test"}
    r.check("INI written as edited (delay 3 saved as 120, ports folded)",
            {k: v.get(k) for k in expected} == expected, v)
    rc, loop = w.probe("sbtext", main_window, 1)
    r.check("status bar shows the new delay", loop.endswith("/120"), loop)

    message = os.path.join(folder, "users", "newbie", "1A2B3C.CNM")
    with open(message, "w", newline="\r\n") as f:
        f.write("Return-path: <alice@example.com>\nX-Envelope-To: <newbie@new.test>\n"
                "Subject: dialogs\n\nhello from the dialogs test\n")
    w.probe("command", main_window, IDM_SENDNOW)
    r.check("worker reloads the saved file",
            wt.wait_for(lambda: "Added domain[2]='new.test'" in log_text()
                        and "Added user: newbie" in log_text(), 30), log_text())
    r.check("message relayed to the new domain's server",
            wt.wait_for(lambda: sink2.messages and not os.path.exists(message), 30)
            and "newbie@new.test" in sink2.messages[0][0][0], sink2.messages)


def cancel_and_refused_saves(w, r, ui, main_window, ini_path, saved_rows):
    """Cancel, the writer's refusal and a declined question leave the file alone."""
    before = read_ini(ini_path)
    w.probe("command", main_window, IDM_OPTIONS)
    opt = ui.dialog(" Ambrel Options ")
    lv = ui.children(opt)["SysListView32"][0]
    r.check("reopened Options shows the saved rows", ui.rows(lv) == saved_rows, ui.rows(lv))
    w.probe("setedit", opt, 128, "77")
    w.probe("command", opt, IDCANCEL)
    r.check("Cancel ends Options", ui.gone(opt))
    r.check("Cancel leaves the file untouched", read_ini(ini_path) == before)

    w.probe("command", main_window, IDM_OPTIONS)
    opt = ui.dialog(" Ambrel Options ")
    lv = ui.children(opt)["SysListView32"][0]
    ui.right_click(" Ambrel Options ", None)
    cu = ui.dialog(" Change Mail User")
    w.probe("setedit", cu, 132, "root")
    w.probe("setedit", cu, 134, "\\")
    w.probe("command", cu, 138)
    ui.gone(cu)
    w.probe("command", opt, IDOK)
    box = w.wait_box(" Save Error", 15)
    r.check("writer's refusal shown", box is not None and "Mailbox 4 (root) cannot be saved" in box.text, box)
    if box:
        w.dismiss(box)
    r.check("refused save keeps Options open and the file",
            w.probe("title", opt) == (0, " Ambrel Options ") and read_ini(ini_path) == before)
    ui.right_click(" Ambrel Options ", 3)
    cu = ui.dialog(" Change Mail User")
    w.probe("command", cu, 131)
    ui.gone(cu)

    # Edit Domains from the editor finds the chosen domain again by its
    # name when an earlier one goes; when the chosen one goes, the first
    # remaining domain is chosen.
    ui.right_click(" Ambrel Options ", 0)
    cu = ui.dialog(" Change Mail User")
    combo = ui.children(cu)[1014][0]
    w.probe("send", combo, CB_SETCURSEL, 2, 0)
    chosen = lambda: (w.text(combo), int(w.probe("send", combo, CB_GETCOUNT, 0, 0)[1] or -1))  # noqa: E731
    r.check("editor on d3.test", chosen() == ("d3.test", 4), chosen())

    def remove_domain_from_editor(row):
        w.probe("command", cu, 1010)
        dom = ui.dialog(" Domains")
        ui.right_click(" Domains", row)
        cd = ui.dialog(" Change Domain")
        w.probe("command", cd, 131)
        ui.gone(cd)
        w.probe("command", dom, IDOK)
        ui.gone(dom)
    remove_domain_from_editor(1)  # new.test
    r.check("an earlier domain removed: the chosen one stays chosen", chosen() == ("d3.test", 3), chosen())
    remove_domain_from_editor(1)  # d3.test itself
    r.check("the chosen domain removed: the first remaining one is chosen",
            chosen() == ("example.org", 2), chosen())
    w.screenshot("dialogs_changeuser_domain_gone")
    w.probe("command", cu, IDCANCEL)
    ui.gone(cu)

    # Every domain marked: the rows keep their user names and no domain.
    w.probe("command", opt, 1010)
    dom = ui.dialog(" Domains")
    for row in range(len(ui.rows(ui.children(dom)["SysListView32"][0]))):
        ui.right_click(" Domains", row)
        cd = ui.dialog(" Change Domain")
        w.probe("command", cd, 131)
        ui.gone(cd)
    w.probe("command", dom, IDOK)
    ui.gone(dom)
    r.check("rows without any domain end at the @",
            [row[1] for row in ui.rows(lv)] == ["john@", "box@", "newbie@"], ui.rows(lv))
    w.probe("command", opt, IDOK)
    box = w.wait_box(" Save", 15)
    r.check("save without domains warns first", box is not None and "No domain is left" in box.text, box)
    if box:
        w.dismiss(box, IDNO)
    r.check("declined warning writes nothing",
            w.probe("title", opt) == (0, " Ambrel Options ") and read_ini(ini_path) == before)
    w.probe("command", opt, IDCANCEL)
    ui.gone(opt)


def main():
    wt.run_under_display()
    w = wt.Wine()
    r = wt.Results()
    ui = Ui(w, r)
    sink1, sink2 = SmtpSink(), SmtpSink()
    sink1.start()
    sink2.start()
    w.restart()
    folder = w.scratch("dialogs")
    for d in ("users/john", "users/mary", "users/newbie", "abs/box", "abs/box2", "bad"):
        os.makedirs(os.path.join(folder, d))
    wp = lambda *p: wt.win_path(os.path.join(folder, *p))  # noqa: E731
    ini_path = os.path.join(folder, "Ambrel.ini")
    with open(ini_path, "w", newline="\r\n") as f:
        f.write(f"""[Ambrel]
Version=0.28
LoopDelay=30
UserFolder={wp('users')}\\
Badmails={wp('bad')}\\
LogName={wp('relay.log')}
SMTPHelo=dialogs.test
Domains=2
MailBoxes=3
[Domains]
Domain1=example.org
SMTPServer1=127.0.0.1:{sink1.port}
Domain2=other.net
SMTPServer2=localhost
[MailBoxes]
Mailbox1=john;john;1
Mailbox2=mary;mary;2
Mailbox3=box;@{wp('abs', 'box')};1
""")
    try:
        w.start(w.copy_exe(folder))
        main_window = w.wait_window("AmbrelClass", None)
        r.check("main window up", main_window)
        rc, kids = w.probe("children", main_window)
        log_edit = [line.split("\t")[0] for line in kids.splitlines() if line.split("\t")[1:2] == ["Edit"]]
        log_text = lambda: "".join(w.text(h) or "" for h in log_edit)  # noqa: E731
        r.check("configuration loaded", wt.wait_for(lambda: "Added user: box" in log_text(), 20),
                log_text())

        opt, lv = options_fields_and_rows(w, r, ui, main_window, wp)
        domain_editor(w, r, ui, opt, lv, sink1, sink2)
        saved_rows = mailbox_editor(w, r, ui, lv, wp)
        save_and_reload(w, r, ui, main_window, log_text, opt, folder, wp, sink1, sink2)
        cancel_and_refused_saves(w, r, ui, main_window, ini_path, saved_rows)

        round_trips_and_questions(w, r, ui, main_window, log_text, folder, sink1.port)
        security_keys(w, r, ui, main_window, log_text, folder)
        sign_in_failure(w, r, ui, main_window, log_text, folder)
    finally:
        w.stop()
        sink1.close()
        sink2.close()
    return r.finish()


if __name__ == "__main__":
    sys.exit(main())
