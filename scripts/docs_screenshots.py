#!/usr/bin/python3
"""Makes the README's pictures: the main window and the Options dialog of the
x86_64 build, run under Wine in a virtual desktop with a sample configuration.
Usage: scripts/docs_screenshots.py (after a Windows build and one test run,
which creates the Wine prefix). Writes docs/main-window.png and docs/options.png."""
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "wine"))
import winetest as wt  # noqa: E402

wt.run_under_display()
DOCS = os.path.join(wt.ROOT, "docs")
IDM_OPTIONS = 14
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


def crop(src, dst):
    subprocess.run(["convert", src, "-crop", "800x520+0+0", "+repage", dst], check=True)


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
    if not w.wait_box(" Ambrel Options ", 15):
        sys.exit("the Options dialog did not open")
    crop(w.screenshot("docs-options"), os.path.join(DOCS, "options.png"))
finally:
    set_desktop(False)
    w.stop()
