#!/usr/bin/env bash
# The download for Windows users: scripts/package.sh builds the zip; this
# unpacks it into a fresh folder and a fresh Wine prefix, as on a machine
# that never saw the program, points the sample INI at a local SMTP server,
# runs Ambrel.exe and waits for the mail to arrive.
set -euo pipefail
ROOT=$1
source "$ROOT/scripts/wine_env.sh"
bash "$ROOT/scripts/package.sh" >/dev/null
export PYTHONPATH=$ROOT/tests/wine
timeout 600 xvfb-run -a -s "-screen 0 1024x768x24" /usr/bin/python3 - "$ROOT/build/Ambrel-0.28-win64.zip" <<'PY'
import os
import re
import shutil
import socket
import subprocess
import sys
import zipfile

import winetest as wt

r = wt.Results()
archive = sys.argv[1]
w = wt.Wine()
base = os.path.join(w.build, "package_test")
shutil.rmtree(base, ignore_errors=True)
os.makedirs(base)
# A prefix of its own, created now: nothing of the other tests' prefix
# (registry, services, fonts) can help the packaged program along.
w.env["WINEPREFIX"] = os.path.join(base, "prefix")

with zipfile.ZipFile(archive) as z:
    names = sorted(z.namelist())
    r.check("zip holds the two programs, the sample INI and README.txt",
            names == ["Ambrel-x86.exe", "Ambrel.exe", "Ambrel.ini", "README.txt"], names)
    folder = os.path.join(base, "Ambrel")
    z.extractall(folder)


def machine(path):
    with open(path, "rb") as f:
        data = f.read(4096)
    pe = int.from_bytes(data[0x3C:0x40], "little")
    return data[pe:pe + 4] == b"PE\0\0" and int.from_bytes(data[pe + 4:pe + 6], "little")


r.check("Ambrel.exe is x86_64, Ambrel-x86.exe is i386",
        (machine(os.path.join(folder, "Ambrel.exe")), machine(os.path.join(folder, "Ambrel-x86.exe")))
        == (0x8664, 0x14C))
for name in ("Ambrel.ini", "README.txt"):
    data = open(os.path.join(folder, name), "rb").read()
    r.check(f"{name}: CR LF line ends only", data.count(b"\n") > 10 and data.count(b"\r\n") == data.count(b"\n")
            and data.count(b"\r") == data.count(b"\n"))
readme = open(os.path.join(folder, "README.txt"), "rb").read()
r.check("README.txt: install, service, INI keys, log", all(
    k in readme for k in (b"Install", b"Ambrel.exe -i", b"net stop Ambrel", b"LoopDelay", b"LogName", b"Ambrel.log")))
ini = open(os.path.join(folder, "Ambrel.ini"), "rb").read().decode("latin-1")
r.check("sample INI: the commented example", ini.count(";") > 5 and "[Ambrel]" in ini and "[MailBoxes]" in ini)

# Point the sample at this machine: the folders inside the unpacked folder,
# every relay server at the local sink.
port = wt.free_port()
mail = os.path.join(folder, "Mail")
os.makedirs(os.path.join(mail, "john"))
os.makedirs(os.path.join(mail, "bad"))
values = {"LoopDelay": "5", "UserFolder": wt.win_path(mail) + "\\", "Badmails": wt.win_path(os.path.join(mail, "bad")),
          "LogName": wt.win_path(os.path.join(folder, "Ambrel.log")), "SMTPServer1": f"127.0.0.1:{port}",
          "SMTPServer2": f"127.0.0.1:{port}"}
lines = []
for line in ini.split("\r\n"):
    key = line.split("=", 1)[0]
    lines.append(f"{key}={values[key]}" if "=" in line and key in values else line)
with open(os.path.join(folder, "Ambrel.ini"), "wb") as f:
    f.write("\r\n".join(lines).encode("latin-1"))
with open(os.path.join(mail, "john", "5A3E01.CNM"), "wb") as f:
    f.write(b"Return-path: <alice@example.net>\r\nX-Envelope-To: john@example.org\r\n"
            b"Subject: from the package\r\n\r\nunpacked and relayed\r\n")

sink_out = open(os.path.join(base, "sink.txt"), "wb")
sink = subprocess.Popen(["/usr/bin/python3", "-m", "aiosmtpd", "-n", "-l", f"127.0.0.1:{port}",
                         "-c", "aiosmtpd.handlers.Debugging", "stdout"], stdout=sink_out, stderr=subprocess.STDOUT)
try:
    subprocess.run(["wineboot", "-i"], env=w.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
    proc = w.start(os.path.join(folder, "Ambrel.exe"))
    relayed = wt.wait_for(lambda: not os.path.exists(os.path.join(mail, "john", "5A3E01.CNM"))
                          and b"unpacked and relayed" in open(os.path.join(base, "sink.txt"), "rb").read(), 120, 0.5)
    r.check("the unpacked program relays the mail", relayed)
    log = open(os.path.join(folder, "Ambrel.log"), "rb").read() if os.path.exists(os.path.join(folder, "Ambrel.log")) else b""
    r.check("its log beside it", log.startswith(b"- Ver: 0.28 ") and b"Routing mail 5A3E01.CNM" in log, log[:300])
    w.screenshot("package-test")
    r.check("still running", proc.poll() is None)
finally:
    w.stop()
    sink.kill()
    sink.wait()
    sink_out.close()
raise SystemExit(r.finish())
PY
