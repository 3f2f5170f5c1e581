#!/usr/bin/python3
"""Makes the README's pictures: the main window, the Options dialog and the
Queue window of the x86_64 build, run under Wine in a virtual desktop with a
sample configuration. Usage: scripts/docs_screenshots.py (after a Windows build and one test run,
which creates the Wine prefix). Writes docs/main-window.png, docs/options.png
and docs/queue-window.png."""
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "wine"))
import winetest as wt  # noqa: E402

wt.run_under_display()
DOCS = os.path.join(wt.ROOT, "docs")
IDM_OPTIONS, IDM_SENDNOW, IDM_QUEUE, IDCANCEL = 14, 6, 21, 2
INI = r"""[Ambrel]
Version=0.28
LoopDelay=120
UserFolder=M:\Mail\
Badmails=M:\Mail\bad\
LogName=M:\Mail\Ambrel.log
Domains=2
MailBoxes=3
[Domains]
Domain1=example.org
SMTPServer1=127.0.0.1:25
Domain2=example.net
SMTPServer2=127.0.0.1:2525
[MailBoxes]
Mailbox1=john;john;1
Mailbox2=mary;@M:\Users\mary;1
Mailbox3=dm:sales;sales;2
"""

w = wt.Wine()


def set_desktop(on):
    # The program and the probe that drives it share one virtual desktop.
    w.virtual_desktop("AmbrelDocs", ("Ambrel.exe", "docsprobe.exe"), "800x520", on)


def crop(src, dst, geometry="800x520+0+0"):
    subprocess.run(["convert", src, "-crop", geometry, "+repage", dst], check=True)


def message(path, subject):
    with open(path, "wb") as f:
        f.write(b"Return-path: <alice@example.com>\r\nX-Envelope-To: <sales@example.net>\r\n"
                b"Subject: " + subject.encode() + b"\r\n\r\nHello,\r\nthe figures are attached.\r\n")


server = None
w.restart()
set_desktop(True)
w.probe_exe = os.path.join(w.build, "docsprobe.exe")
shutil.copy(os.path.join(w.build, "probe.exe"), w.probe_exe)
try:
    # Drive M: of the prefix is the scratch folder, so the pictures show
    # short Windows paths.
    folder = w.scratch("docs")
    for sub in ("Mail/john", "Mail/sales", "Mail/bad", "Users/mary"):
        os.makedirs(os.path.join(folder, sub))
    drive = os.path.join(w.env["WINEPREFIX"], "dosdevices", "m:")
    if os.path.lexists(drive):
        os.remove(drive)
    os.symlink(folder, drive)
    with open(os.path.join(folder, "Ambrel.ini"), "w", newline="\r\n") as f:
        f.write(INI)
    w.start(w.copy_exe(folder, product=True))
    hwnd = w.wait_window("AmbrelClass", None, 60)
    if not hwnd:
        sys.exit("the main window did not open")
    wt.wait_for(lambda: "Config file Updated" in (w.text(w.probe("children", hwnd)[1].split()[0]) or ""), 5)
    os.makedirs(DOCS, exist_ok=True)
    crop(w.screenshot("docs-main"), os.path.join(DOCS, "main-window.png"))
    w.probe("command", hwnd, IDM_OPTIONS)
    options = w.wait_box(" Ambrel Options ", 15)
    if not options:
        sys.exit("the Options dialog did not open")
    crop(w.screenshot("docs-options"), os.path.join(DOCS, "options.png"))
    if not w.dismiss(options, IDCANCEL):
        sys.exit("the Options dialog did not close")
    # Mail that waits (example.net's server answers every recipient with a
    # passing refusal) and mail refused for good, put there only now so that
    # the main window above shows a quiet start.
    server = wt.SlowSmtp(rcpt_reply="451 4.3.0 mailbox busy, try again later", port=2525)
    message(os.path.join(folder, "Mail", "sales", "4F3A2C.CNM"), "Quarterly figures")
    message(os.path.join(folder, "Mail", "sales", "4F3A2D.CNM"), "Minutes")
    message(os.path.join(folder, "Mail", "bad", "3E11B0.CNM"), "Old address")
    with open(os.path.join(folder, "Mail", "bad", "badmail.log"), "wb") as f:
        f.write(b"2026-01-12 09:14:03\t3E11B0.CNM\tM:\\Mail\\john\\\t550 5.1.1 <jon@example.org>: no such user\r\n")
    w.probe("command", hwnd, IDM_SENDNOW)
    w.probe("command", hwnd, IDM_QUEUE)
    queue = w.wait_window("AmbrelQueueClass", "Ambrel Queue", 15)
    if not queue:
        sys.exit("the Queue window did not open")
    lists = [line.split("\t")[0] for line in w.probe("children", queue)[1].splitlines()
             if "\tSysListView32\t" in line]
    if len(lists) != 2 or not wt.wait_for(lambda: w.probe("lvitems", lists[0])[1].count("4F3A2") == 2
                                          and "3E11B0" in w.probe("lvitems", lists[1])[1], 30, 0.5):
        w.screenshot("docs-queue-failed")
        print(w.text(w.log_edit(hwnd)))
        sys.exit("the Queue window's lists stayed empty: %s" % [w.probe("lvitems", h) for h in lists])
    rc, rect = w.probe("rect", queue)
    left, top, right, bottom = (max(0, int(v)) for v in rect.split())
    crop(w.screenshot("docs-queue"), os.path.join(DOCS, "queue-window.png"),
         "%dx%d+%d+%d" % (right - left, bottom - top, left, top))
finally:
    set_desktop(False)
    w.stop()
    if server:
        server.close()
