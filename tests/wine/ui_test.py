#!/usr/bin/python3
"""The windowed application under Wine, driven from outside with the probe.

One start of Ambrel.exe (beside its scratch INI, relaying to a local SMTP
sink) covers the window, the log, the status bar, the menu commands, the
About box, the tray re-insertion and the exit confirmations; a renamed copy
(Relay.exe) covers the names derived from the executable and HideWin; a bad
switch covers the syntax help. Screenshots go to the build folder as
wine-ui-*.png.

The programs run in a Wine virtual desktop of their own (per-program
settings, removed again at the end), so windows get their frames and the
tray icon has a notification area to live in; the probe is copied as
uiprobe.exe so that it joins the same desktop and no other test's is moved.
"""
import base64
import json
import os
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winetest as wt  # noqa: E402

wt.run_under_display()

DESKTOP_APPS = ("Ambrel.exe", "Relay.exe", "uiprobe.exe")
WM_CLOSE = 0x10
UM_MENUQUERY = wt.UM_MENUQUERY
WM_SYSCOMMAND, SC_MINIMIZE = 0x112, 0xF020
UM_TRAYNOTIFY = 0x40E  # WM_USER + 14, the tray icon's callback
UM_CLOSEREQUEST = 0x401  # WM_USER + 1, the service's stop handler's close request
WM_LBUTTONDBLCLK, WM_RBUTTONDOWN = 0x203, 0x204
WM_KEYDOWN, WM_CHAR, VK_ESCAPE = 0x100, 0x102, 0x1B
NIF_MESSAGE_ICON_TIP = 0x7
MF_GRAYED = 0x1
IDM_ABOUT, IDM_CLEARSCREEN, IDM_SENDNOW, IDM_PAUSE, IDM_SHOW, IDM_TRAYEXIT = 1, 4, 6, 8, 17, 19
IDOK, IDCANCEL, IDYES, IDNO = 1, 2, 6, 7

SYNTAX_HELP = (
    "Ambrel is build as both apps and service.\r\n\n"
    "Syntax:\tAmbrel   [-i|-s|-h|-?]\r\n\n"
    "where \t-i\t...\tinstall service\r\n"
    "      \t-u\t...\tuninstall service\r\n"
    "      \t-s\t...\trun as service\r\n"
    "      \t-h,-?\t...\tprint this help\r\n\r\n"
    "Ambrel makes AMBREL.INI configuration file in its folder.\r\n"
    "Empty commandline will run it as non-service application.\r\n")
EXIT_TEXT = ("       Exit Windows Ambrel ?\n          'OK' to Exit\n"
             "          'No'   to Send to SystemTray")

w = wt.Wine()
r = wt.Results()


def set_desktop(on):
    w.virtual_desktop("AmbrelUi", DESKTOP_APPS, "1024x768", on)


def start_sink(port, out_path):
    out = open(out_path, "wb")
    p = subprocess.Popen(["/usr/bin/python3", "-m", "aiosmtpd", "-n", "-l", f"127.0.0.1:{port}"],
                         stdout=out, stderr=subprocess.STDOUT)
    wt.wait_for(lambda: wt.listening(port), 15, 0.1)
    return p


# A body with a Ctrl-Z and a NUL in it: the runtime's text mode would end the
# file at the first, a C string at the second, and the cut message would
# still be accepted and deleted.
ODD_BODY = b"Hello\x1a from\x00 the window test.\r\nThe last line.\r\n"


def write_cnm(folder, name, subject, body=b"Hello from the window test.\r\n"):
    with open(os.path.join(folder, name), "wb") as f:
        f.write(b"Return-path: <sender@example.net>\r\nX-Envelope-To: john@example.org\r\n"
                b"Subject: " + subject.encode() + b"\r\n\r\n" + body)


def edit_of(main):
    rc, out = w.probe("children", main)
    for line in out.splitlines():
        fields = line.split("\t")
        if len(fields) > 1 and fields[1].lower() == "edit":
            return fields[0]
    return None


def part(main, n):
    rc, out = w.probe("sbtext", main, n)
    return wt.unescape(out) if rc == 0 else None


def menu_state(main, command, menu=0):
    return w.menu_state(main, command, menu)


def menu_text(main, command, menu=0):
    text = b""
    for offset in range(0, 64, 8):
        rc, out = w.probe("send", main, UM_MENUQUERY, (menu << 16) | command, offset)
        if rc != 0:
            return None
        chunk = (int(out) & (2**64 - 1)).to_bytes(8, "little")
        text += chunk.split(b"\0")[0]
        if b"\0" in chunk:
            break
    return text.decode("latin-1")


def state(hwnd):
    return w.state(hwnd)


def popups(hwnd):
    """The popup menus the program shows."""
    rc, out = w.probe("popups", hwnd)
    return [line.split("\t")[0] for line in out.splitlines() if line.strip()] if rc == 0 else []


def open_tray_menu(hwnd):
    """Right click on the tray icon (the icon's callback message); the popup
    menu window, or None."""
    w.probe("post", hwnd, UM_TRAYNOTIFY, 0, WM_RBUTTONDOWN)
    found = wt.wait_for(lambda: popups(hwnd), 15, 0.2)
    return found[0] if found else None


def clean_log(data):
    """A log file that ends on a whole line, with nothing the shutdown used
    to leave: connects refused by a stopped socket library (10093)."""
    return data.endswith(b"\r\n") and b"10093" not in data and b"WSANOTINITIALISED" not in data


def wait_text(edit, pred, limit=20.0):
    return wt.wait_for(lambda: (lambda t: t if t is not None and pred(t) else None)(w.text(edit)),
                       limit, 0.3)


def pickup_run(pickup, sink_out, log_path):
    """A pickup file dropped while the window runs, held open for writing by
    another program for a while: not read until it is closed, then sent."""
    path = os.path.join(pickup, "P1.eml")
    with open(path, "wb") as f:
        f.write(b"X-Sender: app@example.org\r\nX-Receiver: one@example.net\r\nSubject: pickup-held\r\n\r\nbody\r\n")
    holder, holding = w.spawn_probe("write-hold", wt.win_path(path), 9000, first_line="holding")
    r.check("pickup: another program holds the file open for writing", holding)
    r.check("pickup: a file held for writing is left for the next cycle", wt.wait_for(
        lambda: b"P1.eml is still being written" in open(log_path, "rb").read(), 30))
    r.check("pickup: nothing of it sent while held", b"pickup-held" not in open(sink_out, "rb").read())
    holder.wait(60)
    r.check("pickup: sent once closed, the file deleted",
            wt.wait_for(lambda: not os.path.exists(path), 30) and b"pickup-held" in open(sink_out, "rb").read())
    r.check("pickup: no envelope line on the wire", b"X-Receiver" not in open(sink_out, "rb").read())


def main_run():
    """Ambrel.exe relaying to the sink; every menu command and the exits."""
    folder = w.scratch("ui")
    mailbox = os.path.join(folder, "users", "john")
    os.makedirs(mailbox)
    pickup = os.path.join(folder, "users", "apps")
    os.makedirs(pickup)
    os.makedirs(os.path.join(folder, "bad"))
    port = wt.free_port()
    sink_out = os.path.join(folder, "sink.txt")
    sink = start_sink(port, sink_out)
    log_path = wt.win_path(os.path.join(folder, "relay.log"))
    wt.write_ini(os.path.join(folder, "Ambrel.ini"), f"""[Ambrel]
Version=0.28
LoopDelay=4
UserFolder={wt.win_path(os.path.join(folder, "users"))}\\
Badmails={wt.win_path(os.path.join(folder, "bad"))}\\
LogName={log_path}
Domains=1
MailBoxes=2
[Domains]
Domain1=example.org
SMTPServer1=127.0.0.1:{port}
[MailBoxes]
Mailbox1=john;john;1
Mailbox2=pk:apps;apps;1
""")
    write_cnm(mailbox, "A1.CNM", "window-test-one", ODD_BODY)
    exe = w.copy_exe(folder)
    tray = wt.TrayRecorder(w)
    proc = w.start(exe)
    try:
        hwnd = w.wait_window("AmbrelClass", None)
        if not r.check("main window found", hwnd):
            return
        r.check("title", w.probe("title", hwnd) == (0, " Windows Ambrel"), w.probe("title", hwnd))
        add = tray.wait_request("ADD")
        r.check("tray icon added: owner, id 10, message+icon+tip, callback WM_USER+14, tip = title",
                tray.ready and add and add["owner"] == int(hwnd, 16) & 0xFFFFFFFF and add["id"] == 10
                and add["flags"] == NIF_MESSAGE_ICON_TIP and add["callback"] == UM_TRAYNOTIFY
                and add["tip"] == "Windows Ambrel" and add["accepted"], add)
        edit = edit_of(hwnd)
        text = wait_text(edit, lambda t: "SMTP Session ended." in t) or w.text(edit) or ""
        r.check("opening line first",
                re.match(r"---- [A-Z][a-z]{2} \d\d \d\d:\d\d:\d\d     Windows Ambrel is opened ----\r\n",
                         text), text[:200])
        r.check("relayed mail in the log window",
                "Routing mail A1.CNM\r\n" in text and "SMTP Session ended." in text, text)
        r.check("relayed file deleted", wt.wait_for(
            lambda: not os.path.exists(os.path.join(mailbox, "A1.CNM")), 30))
        r.check("sink got the message", wt.wait_for(
            lambda: b"window-test-one" in open(sink_out, "rb").read(), 30))
        # The sink prints each line of the message as it came.
        r.check("Ctrl-Z and NUL relayed as text, message whole",
                b"Hello\x1a from\x00 the window test.\nThe last line.\n" in open(sink_out, "rb").read())

        pickup_run(pickup, sink_out, os.path.join(folder, "relay.log"))

        r.check("status part 0 idle", wt.wait_for(lambda: part(hwnd, 0) == "  Idle", 20), part(hwnd, 0))
        expect2 = f" Log: '{log_path}'      Domains: 1      Users: 2"[:159]
        r.check("status part 2 summary", part(hwnd, 2) == expect2, part(hwnd, 2))
        r.check("status part edges", w.probe("sbparts", hwnd) == (0, "65 140 -1"), w.probe("sbparts", hwnd))
        # The countdown moves on: read it until two different seconds have
        # been shown, however slow the machine. Any second of the 4-second
        # delay is fine (a read may fall on either side of a cycle's end);
        # a read the probe could not make is only read again.
        seen, odd = set(), []

        def counted():
            text = part(hwnd, 1)
            m = re.fullmatch(r" Loop: (\d)/4", text or "")
            if m and int(m.group(1)) <= 4:
                seen.add(m.group(1))
            elif text is not None:
                odd.append(text)
            return len(seen) >= 2
        r.check("loop part counts", wt.wait_for(counted, 60, 0.3) and not odd, (seen, odd))
        w.screenshot("wine-ui-main")

        # PAUSE: status and menu text follow; the tray menu keeps its text.
        w.probe("command", hwnd, IDM_PAUSE)
        r.check("paused status", wt.wait_for(lambda: part(hwnd, 0) == "  PAUSED", 20), part(hwnd, 0))
        r.check("PAUSE item reads &RESUME", menu_text(hwnd, IDM_PAUSE) == "&RESUME",
                menu_text(hwnd, IDM_PAUSE))
        r.check("tray PAUSE item unchanged", menu_text(hwnd, IDM_PAUSE, 1) == "PAUSE")
        # Once the loop delay has run out the worker waits while paused, so a
        # send-now request stays pending and its item gray.
        r.check("loop delay ran out", wt.wait_for(lambda: part(hwnd, 1) == " Loop: 3/4", 60),
                part(hwnd, 1))
        w.probe("command", hwnd, IDM_SENDNOW)
        r.check("Send NOW grayed", (menu_state(hwnd, IDM_SENDNOW) or 0) & MF_GRAYED)
        time.sleep(2.5)
        r.check("Send NOW stays gray while paused", (menu_state(hwnd, IDM_SENDNOW) or 0) & MF_GRAYED)
        w.probe("command", hwnd, IDM_PAUSE)
        r.check("resumed: &PAUSE and idle", wt.wait_for(
            lambda: menu_text(hwnd, IDM_PAUSE) == "&PAUSE" and part(hwnd, 0) == "  Idle", 30))
        r.check("worker enables Send NOW again", wt.wait_for(
            lambda: menu_state(hwnd, IDM_SENDNOW) == 0, 60), menu_state(hwnd, IDM_SENDNOW))
        # The menu answer of the test build takes only values it can bound.
        hostile = [w.probe("send", hwnd, UM_MENUQUERY, wp, lp)
                   for wp, lp in ((IDM_PAUSE, 0x7FFFFFFFFFFFFFF0), (IDM_PAUSE, -(2**63)), (IDM_PAUSE, 100),
                                  (IDM_PAUSE, -2), (0xFFFF0000 | IDM_PAUSE, 0), (2**64 - 1, -1))]
        r.check("test build: hostile menu queries refused, program alive",
                hostile == [(0, "-1")] * 6 and menu_text(hwnd, IDM_PAUSE) == "&PAUSE", hostile)

        # Clear Screen, then the next line stands alone at the top.
        w.probe("command", hwnd, IDM_CLEARSCREEN)
        r.check("clear screen empties the log", wait_text(edit, lambda t: t == "", 40) is not None,
                w.text(edit))
        write_cnm(mailbox, "B2.CNM", "window-test-two")
        w.probe("command", hwnd, IDM_SENDNOW)
        text = wait_text(edit, lambda t: "SMTP Session ended." in t, 60) or w.text(edit) or ""
        r.check("after clearing the next line is first", text.startswith("Routing mail B2.CNM\r\n"),
                text)
        r.check("second mail relayed", wt.wait_for(
            lambda: b"window-test-two" in open(sink_out, "rb").read(), 30))

        w.probe("command", hwnd, IDM_ABOUT)
        box = w.wait_box("About Ambrel")
        r.check("About box", box and f"Ambrel for Windows|Version {wt.VERSION}" in box.text
                and "Exports .CNM mails to another SMTP server." in box.text
                and box.buttons == {IDOK: "OK"}, box)
        w.screenshot("wine-ui-about")
        r.check("Escape and the close box leave the About box open",
                box and w.escape_and_close_ignored(box.hwnd, "About Ambrel"))
        r.check("About closes with OK", box and w.dismiss(box, IDOK))

        # The shell restarted: the icon is put back (here it was never gone).
        w.probe("broadcast-taskbarcreated")
        text = wait_text(edit, lambda t: "TaskBarIcon reinserted\r\n" in t, 40) or w.text(edit)
        r.check("tray icon reinserted", text and "TaskBarIcon reinserted\r\n" in text, text)

        w.probe("command", hwnd, IDM_TRAYEXIT)
        box = w.wait_box("Exit Ambrel")
        r.check("tray Exit asks", box and box.text.endswith("       Exit Windows Ambrel ?")
                and box.buttons == {IDYES: "&Yes", IDNO: "&No"}, box)
        r.check("tray Exit: No keeps running", box and w.dismiss(box, IDNO)
                and state(hwnd).startswith("visible"))

        # Close with the tray icon present: Cancel, No (to the tray), Yes.
        w.probe("post", hwnd, WM_CLOSE, 0, 0)
        box = w.wait_box("Exit Windows Ambrel")
        r.check("exit box with tray choice", box and box.text.endswith(EXIT_TEXT)
                and set(box.buttons) == {IDYES, IDNO, IDCANCEL}, box)
        w.screenshot("wine-ui-exit")
        r.check("Cancel keeps the window", box and w.dismiss(box, IDCANCEL)
                and state(hwnd) == "visible normal")
        w.probe("post", hwnd, WM_CLOSE, 0, 0)
        box = w.wait_box("Exit Windows Ambrel")
        r.check("No sends it to the tray", box and w.dismiss(box, IDNO)
                and wt.wait_for(lambda: state(hwnd).startswith("hidden"), 20))
        w.probe("command", hwnd, IDM_SHOW)
        r.check("Show brings it back", wt.wait_for(lambda: state(hwnd).startswith("visible"), 20))

        # The tray icon is there: minimizing hides the window; a right click
        # on the icon opens the tray menu, whose "&Show Ambrel" (S) brings
        # the window back (the menu bar has no S item in a popup).
        w.probe("post", hwnd, WM_SYSCOMMAND, SC_MINIMIZE, 0)
        r.check("tray: minimizing hides the window",
                wt.wait_for(lambda: state(hwnd).startswith("hidden"), 20), state(hwnd))
        popup = open_tray_menu(hwnd)
        r.check("tray: right click opens the tray popup", popup, w.probe("popups", hwnd))
        w.screenshot("wine-ui-traymenu")
        if popup:
            w.probe("post", popup, WM_CHAR, ord("s"), 0)
        r.check("tray: its Show item brings the window back",
                wt.wait_for(lambda: state(hwnd) == "visible normal", 20), state(hwnd))
        r.check("tray: the popup closed", wt.wait_for(lambda: not popups(hwnd), 20))
        # A close request that no service stop stands behind is ignored.
        w.probe("post", hwnd, UM_CLOSEREQUEST, 0, 0)
        r.check("stray close request ignored by the application",
                w.probe("sync", hwnd)[0] == 0 and state(hwnd) == "visible normal" and not w.boxes(),
                state(hwnd))

        # A shell whose notification area refuses every request: the
        # re-insertion gives up and the program goes on without a tray icon.
        refuser = wt.TrayRecorder(w, accept=False, limit_ms=120000)
        refusing = refuser.ready
        w.probe("broadcast-taskbarcreated")
        text = wait_text(edit, lambda t: "Error reinserting TaskBarIcon\r\n" in t, 40) or w.text(edit)
        r.check("refused re-insertion gives up, window shown", refusing and text
                and "Error reinserting TaskBarIcon\r\n" in text and state(hwnd) == "visible normal", text)
        w.probe("post", hwnd, WM_SYSCOMMAND, SC_MINIMIZE, 0)
        r.check("no tray: minimizing keeps it on the taskbar",
                wt.wait_for(lambda: state(hwnd) == "visible minimized", 20), state(hwnd))
        w.probe("command", hwnd, IDM_SHOW)
        wt.wait_for(lambda: state(hwnd) == "visible normal", 20)
        w.probe("post", hwnd, WM_CLOSE, 0, 0)
        box = w.wait_box("Exit Windows Ambrel")
        r.check("no tray: plain exit question", box and box.text.endswith("       Exit Windows Ambrel ?")
                and box.buttons == {IDYES: "&Yes", IDNO: "&No"}, box)
        w.screenshot("wine-ui-exit-notray")
        r.check("no tray: No leaves the window as it was", box and w.dismiss(box, IDNO)
                and w.probe("sync", hwnd)[0] == 0 and state(hwnd) == "visible normal", state(hwnd))
        w.probe("post", hwnd, WM_CLOSE, 0, 0)
        box = w.wait_box("Exit Windows Ambrel")
        r.check("Yes ends the program", box and box.buttons == {IDYES: "&Yes", IDNO: "&No"}
                and w.dismiss(box, IDYES) and w.probe("wait-gone", hwnd, 10000)[0] == 0)
        refuser.stop()
        try:
            r.check("exit code 0", proc.wait(timeout=20) == 0)
        except subprocess.TimeoutExpired:
            r.check("exit code 0", False, "still running")
        log = open(os.path.join(folder, "relay.log"), "rb").read()
        r.check("log file ends cleanly", clean_log(log), log[-300:])
    finally:
        tray.stop()
        sink.terminate()
        sink.wait(timeout=10)


def renamed_run():
    """Relay.exe: its own INI, log, title and tip; HideWin starts it in the
    tray; the status bar while connected to a server that is slow to greet;
    tray Exit ends it with a clean log and the icon removed."""
    folder = w.scratch("ui_relay")
    mailbox = os.path.join(folder, "users", "john")
    os.makedirs(mailbox)
    slow = wt.SlowSmtp(greet=False)
    wt.write_ini(os.path.join(folder, "Relay.ini"), f"""[Ambrel]
Version=0.28
LoopDelay=60
HideWin=1
UserFolder={wt.win_path(os.path.join(folder, "users"))}\\
Domains=1
MailBoxes=1
[Domains]
Domain1=example.org
SMTPServer1=127.0.0.1:{slow.port}
[MailBoxes]
Mailbox1=john;john;1
""")
    write_cnm(mailbox, "C3.CNM", "window-test-slow")
    exe = w.copy_exe(folder, "Relay.exe")
    tray = wt.TrayRecorder(w)
    proc = w.start(exe)
    try:
        hwnd = w.wait_window("AmbrelClass", None)
        if not r.check("renamed: window found", hwnd):
            return
        r.check("renamed: title", w.probe("title", hwnd) == (0, " Windows Ambrel (Relay)"),
                w.probe("title", hwnd))
        r.check("renamed: HideWin starts hidden", wt.wait_for(lambda: state(hwnd).startswith("hidden"), 20),
                state(hwnd))
        add = tray.wait_request("ADD")
        r.check("renamed: tray tip", add and add["tip"] == "Windows Ambrel (Relay)", add)
        edit = edit_of(hwnd)
        ini = wt.win_path(os.path.join(folder, "Relay.ini"))
        text = wait_text(edit, lambda t: "Config file Updated" in t) or w.text(edit)
        r.check("renamed: reads Relay.ini", text and f"Updating AMBREL Config file ({ini}) ...\r\n" in text
                and "AMBREL Config file Updated (delay: 60 sec)" in text, text)
        log = wt.win_path(os.path.join(folder, "Relay.log"))
        # Connected, the server not greeting yet: the state and the session.
        r.check("connected: the server was reached", slow.connected.wait(60))
        r.check("connected: part 0", wt.wait_for(lambda: part(hwnd, 0) == "  Connected", 30), part(hwnd, 0))
        expect2 = (f" Log: '{log}'      Domain: 1      User: 1      SmtpServer: '127.0.0.1:{slow.port}'")[:159]
        r.check("connected: part 2", wt.wait_for(lambda: part(hwnd, 2) == expect2, 30), part(hwnd, 2))
        w.probe("post", hwnd, UM_TRAYNOTIFY, 0, WM_LBUTTONDBLCLK)
        r.check("renamed: tray double-click shows it",
                wt.wait_for(lambda: state(hwnd).startswith("visible"), 20))
        w.screenshot("wine-ui-connected")
        slow.greet.set()
        r.check("connected: relayed once greeted", wt.wait_for(
            lambda: any(b"window-test-slow" in m for m in slow.messages), 60))
        r.check("connected: idle again with the summary",
                wt.wait_for(lambda: part(hwnd, 0) == "  Idle" and (part(hwnd, 2) or "").startswith(
                    f" Log: '{log}'      Domains: 1      Users: 1"), 60), (part(hwnd, 0), part(hwnd, 2)))
        wt.wait_for(lambda: not os.path.exists(os.path.join(mailbox, "C3.CNM")), 30)

        # Tray menu Exit (X), then Yes: the program ends at once.
        popup = open_tray_menu(hwnd)
        if popup:
            w.probe("post", popup, WM_CHAR, ord("x"), 0)
        box = w.wait_box("Exit Ambrel")
        r.check("tray Exit from the tray menu asks", popup and box
                and box.text.endswith("       Exit Windows Ambrel ?"), (popup, box))
        r.check("tray Exit: Yes ends the program", box and w.dismiss(box, IDYES))
        try:
            code = proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            code = "still running"
        r.check("tray Exit: exit code 0", code == 0, code)
        delete = tray.wait_request("DELETE", 30)
        r.check("tray Exit: icon removed", delete and delete["id"] == 10
                and delete["owner"] == int(hwnd, 16) & 0xFFFFFFFF, tray.requests)
        data = open(os.path.join(folder, "Relay.log"), "rb").read()
        r.check("tray Exit: clean log file", clean_log(data) and b"Routing mail C3.CNM" in data, data[-300:])
    finally:
        tray.stop()
        slow.close()


def refused_tray_run():
    """The shipped program (no test answer) with HideWin=1 and a shell that
    refuses the icon: the window stays visible; the private message of the
    test build, sent with hostile values, is only passed on to the default
    handling."""
    folder = w.scratch("ui_refused")
    wt.write_ini(os.path.join(folder, "Ambrel.ini"), "[Ambrel]\nVersion=0.28\nLoopDelay=60\nHideWin=1\n"
              "Domains=1\nMailBoxes=0\n[Domains]\nDomain1=example.org\nSMTPServer1=127.0.0.1:25\n")
    exe = w.copy_exe(folder, product=True)
    tray = wt.TrayRecorder(w, accept=False)
    proc = w.start(exe)
    try:
        hwnd = w.wait_window("AmbrelClass", None)
        if not r.check("refused tray: window found", hwnd):
            return
        edit = edit_of(hwnd)
        text = wait_text(edit, lambda t: "within SystemTray" in t) or w.text(edit)
        r.check("refused tray: HideWin=1 leaves the window visible",
                tray.wait_request("ADD") and text and "within SystemTray" in text
                and w.probe("sync", hwnd)[0] == 0 and state(hwnd) == "visible normal", (text, state(hwnd)))
        w.screenshot("wine-ui-refused-tray")
        hostile = [w.probe("send", hwnd, UM_MENUQUERY, wp, lp)
                   for wp, lp in ((IDM_PAUSE, 0x7FFFFFFFFFFFFFF0), (IDM_PAUSE, -(2**63)), (IDM_PAUSE, 4096),
                                  (0x7FFFFFFFFFFFFFFF, -1), (IDM_PAUSE, -1), (IDM_PAUSE, 0))]
        r.check("product: the private message is not answered, program alive",
                hostile == [(0, "0")] * 6 and w.probe("sync", hwnd)[0] == 0, hostile)
        w.probe("post", hwnd, WM_CLOSE, 0, 0)
        box = w.wait_box("Exit Windows Ambrel")
        r.check("refused tray: plain exit question, Yes ends it",
                box and box.buttons == {IDYES: "&Yes", IDNO: "&No"} and w.dismiss(box, IDYES)
                and proc.wait(timeout=30) == 0, box)
    finally:
        tray.stop()


def syntax_help_run():
    folder = w.scratch("ui_help")
    exe = w.copy_exe(folder)
    proc = w.start(exe, "-x")
    box = w.wait_box(" Syntax Help")
    r.check("-x: syntax help text", box and box.text.endswith(SYNTAX_HELP)
            and box.buttons == {IDOK: "OK"}, box)
    w.screenshot("wine-ui-syntax")
    r.check("-x: ends after OK", box and w.dismiss(box, IDOK) and proc.wait(timeout=20) == 0)
    r.check("-x: no window, no log", w.probe("find", "AmbrelClass", "-", 0)[0] == 1
            and not os.path.exists(os.path.join(folder, "Ambrel.log")))


def help_box_run():
    """The HelpBox template as the configuration dialogs open it."""
    w.start(w.probe_exe, "template", wt.win_path(os.path.join(w.build, "Ambrel.exe")), "HelpBox",
            cwd=w.build)
    box = w.wait_box(" Ambrel Option information")
    r.check("help box texts", box and "Loop Delay|Intervall between checking for emails" in box.text
            and "Changes must be saved prior to be used" in box.text
            and box.buttons.get(IDOK) == "&Close", box)
    w.screenshot("wine-ui-help")
    r.check("help box closes", box and w.dismiss(box, IDOK))

IDM_QUEUE, WM_COMMAND, IDYES, IDOK = 21, 0x111, 6, 1
IDC_RETRY, IDC_CLOSE = 102, 105
NIF_INFO = 0x10


def list_rows(lv):
    rc, out = w.probe("lvitems", lv)
    return [[wt.unescape(c) for c in line.split("\t")] for line in out.splitlines()] if rc == 0 else []


def queue_run():
    """The Queue window: opened from the menu, both lists read back, the
    balloon at a refusal, Retry moving files back (one whose folder is gone
    stays, with a box) and the retried file relayed; its size kept."""
    folder = w.scratch("queue")
    for d in ("users/john", "users/shop", "bad"):
        os.makedirs(os.path.join(folder, d))
    port = wt.free_port()
    capture = os.path.join(folder, "received.jsonl")
    env = dict(os.environ, PYTHONPATH=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "integration"))
    sink = subprocess.Popen(["/usr/bin/python3", "-m", "aiosmtpd", "-n", "-l", f"127.0.0.1:{port}",
                             "-c", "capture_handler.Capture", capture], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wt.wait_for(lambda: wt.listening(port), 15, 0.1)
    ini = os.path.join(folder, "Ambrel.ini")
    wt.write_ini(ini, f"""[Ambrel]
Version=0.28
LoopDelay=4
UserFolder={wt.win_path(os.path.join(folder, "users"))}\\
Badmails={wt.win_path(os.path.join(folder, "bad"))}\\
LogName={wt.win_path(os.path.join(folder, "relay.log"))}
Domains=1
MailBoxes=2
[Domains]
Domain1=example.org
SMTPServer1=127.0.0.1:{port}
[MailBoxes]
Mailbox1=john;john;1
Mailbox2=dm:shop;shop;1
""")
    open(os.path.join(folder, "users", "john", "Z.CNM"), "wb").close()
    with open(os.path.join(folder, "users", "shop", "X1.CNM"), "wb") as f:
        f.write(b"X-Envelope-To: <refuse@example.org>\r\nSubject: queue-refused\r\n\r\nno\r\n")
    exe = w.copy_exe(folder)
    tray = wt.TrayRecorder(w)
    proc = w.start(exe)
    try:
        hwnd = w.wait_window("AmbrelClass", None)
        if not r.check("queue: main window found", hwnd):
            return
        edit = edit_of(hwnd)
        text = wait_text(edit, lambda t: "Moved " in t and "SMTP Session ended." in t) or ""
        m = re.search(r"Added user: john, mailDir: (.*?), email", text)
        john = m.group(1) if m else ""
        r.check("queue: X1 refused for good", "Routing failed with 500-like error" in text, text[-800:])
        balloon = wt.wait_for(lambda: next((q for q in list(tray.requests)
                                            if q["request"] == "MODIFY" and q["flags"] & NIF_INFO), None), 20)
        r.check("queue: a balloon (NIF_INFO) for the bad mail", balloon, tray.requests)
        for name in ("R1.CNM", "R2.CNM"):
            write_cnm(os.path.join(folder, "bad"), name, "queue-retry-" + name[:2])
        with open(os.path.join(folder, "bad", "badmail.log"), "ab") as f:
            f.write(f"2026-01-02 03:04:05\tR1.CNM\t{john}\t550 5.1.1 unknown\r\n"
                    "2026-01-02 03:04:06\tR2.CNM\tZ:\\gone\\\t554 5.7.1 refused\r\n".encode())

        w.probe("command", hwnd, IDM_QUEUE)
        queue = w.wait_window("AmbrelQueueClass", "Ambrel Queue")
        if not r.check("queue: window opened from the File menu", queue):
            return
        lists = [line.split("\t")[0] for line in w.probe("children", queue)[1].splitlines()
                 if "\tSysListView32\t" in line]
        r.check("queue: two list views", len(lists) == 2, lists)
        if len(lists) != 2:
            return
        waiting = wt.wait_for(lambda: (lambda rows: rows if any(x[1:2] == ["Z.CNM"] for x in rows) else None)(
            list_rows(lists[0])), 20, 0.3) or list_rows(lists[0])
        r.check("queue: waiting list shows the empty file", any(
            x[:3] == ["john", "Z.CNM", "0"] and x[5] == "size zero: never sent" for x in waiting), waiting)
        bad = wt.wait_for(lambda: (lambda rows: rows if len(rows) == 3 else None)(list_rows(lists[1])), 20, 0.3) \
            or list_rows(lists[1])
        files = sorted((x[1], x[3]) for x in bad if len(x) >= 4)
        r.check("queue: bad-mail list with the reasons",
                files == [("R1.CNM", "550 5.1.1 unknown"), ("R2.CNM", "554 5.7.1 refused"),
                          ("X1.CNM", "550 5.1.1 no such user here")], bad)
        w.screenshot("wine-ui-queue")

        w.probe("post", queue, WM_COMMAND, IDC_RETRY, 0)
        ask = w.wait_box("Retry")
        r.check("queue: Retry without a selection asks for all", ask and "Send all 3 files" in ask.text, ask)
        if ask:
            w.dismiss(ask, IDYES)
        refused = w.wait_box("Retry")
        r.check("queue: a box names the file whose folder is gone",
                refused and "R2.CNM is not moved: its mailbox folder Z:\\gone\\ is no longer configured." in refused.text,
                refused)
        if refused:
            w.dismiss(refused, IDOK)

        def arrived():
            if not os.path.exists(capture):
                return False
            return any(b"queue-retry-R1" in base64.b64decode(json.loads(l)["data"]) for l in open(capture))
        r.check("queue: the retried file is relayed", wt.wait_for(arrived, 40), text)
        r.check("queue: R2 stays in bad mail", os.path.exists(os.path.join(folder, "bad", "R2.CNM")))
        log = open(os.path.join(folder, "bad", "badmail.log"), "rb").read()
        r.check("queue: R1's line marked retried", b"R1.CNM\t" in log and b"550 5.1.1 unknown\tretried\r\n" in log, log)

        w.probe("post", queue, WM_COMMAND, IDC_CLOSE, 0)
        r.check("queue: Close ends the window", w.probe("wait-gone", queue, 10000)[0] == 0)
        r.check("queue: its size kept in QueueWindow",
                wt.wait_for(lambda: re.search(r"QueueWindow=\d+ \d+( \d+){10}", open(ini).read()), 10),
                open(ini).read())
        w.probe("post", hwnd, WM_CLOSE, 0, 0)
        box = w.wait_box("Exit Windows Ambrel")
        r.check("queue: the program ends", box and w.dismiss(box, IDYES) and proc.wait(timeout=30) == 0, box)
    finally:
        tray.stop()
        if proc.poll() is None:
            proc.kill()
            proc.wait(timeout=20)
        sink.terminate()
        sink.wait(10)



w.restart()
set_desktop(True)
w.probe_exe = os.path.join(w.build, "uiprobe.exe")
shutil.copy(os.path.join(w.build, "probe.exe"), w.probe_exe)
try:
    queue_run()
    main_run()
    renamed_run()
    refused_tray_run()
    syntax_help_run()
    help_box_run()
finally:
    w.stop()
    set_desktop(False)
    w.stop()
raise SystemExit(r.finish())
