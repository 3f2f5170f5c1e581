#!/usr/bin/env bash
# The download for Windows users: scripts/package.sh builds the zip; this
# unpacks it into a fresh folder and a fresh Wine prefix, as on a machine
# that never saw the program, points the sample INI at a local SMTP server,
# runs Ambrel.exe and waits for the mail to arrive. Then the MSI in the same
# prefix: a silent install, its service tables, a major upgrade that keeps
# the edited INI and the token file, and the uninstall.
set -euo pipefail
ROOT=$1
source "$ROOT/scripts/wine_env.sh"
# The package and, for the upgrade, the same with a later product version.
VERSION=$(bash "$ROOT/scripts/version.sh")
AMBREL_MSI_VERSION=$VERSION.1 bash "$ROOT/scripts/package.sh" >/dev/null
bash "$ROOT/scripts/package.sh" >/dev/null
export PYTHONPATH=$ROOT/tests/wine
timeout 900 xvfb-run -a -s "-screen 0 1024x768x24" /usr/bin/python3 - "$ROOT/build/Ambrel-$VERSION-win64.zip" \
  "$ROOT/build/Ambrel-$VERSION-win64.msi" "$ROOT/build/Ambrel-$VERSION.1-win64.msi" <<'PY'
import os
import pwd
import re
import shutil
import socket
import subprocess
import sys
import zipfile

import winetest as wt

r = wt.Results()
archive, msi, upgrade_msi = sys.argv[1:4]
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
sample_ini = open(os.path.join(folder, "Ambrel.ini"), "rb").read()
ini = sample_ini.decode("latin-1")
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
    r.check("its log beside it", log.startswith(f"- Ver: {wt.VERSION} ".encode()) and b"Routing mail 5A3E01.CNM" in log, log[:300])
    w.screenshot("package-test")
    r.check("still running", proc.poll() is None)

    # ---- the MSI -----------------------------------------------------------
    # The unpacked program keeps running: Wine stops the prefix's services
    # when its last ordinary program ends.
    program_files = os.path.join(w.env["WINEPREFIX"], "drive_c", "Program Files", "Ambrel")
    installed_exe, installed_ini = os.path.join(program_files, "Ambrel.exe"), os.path.join(program_files, "Ambrel.ini")
    tokens = os.path.join(program_files, "Ambrel.tokens")
    # Wine puts the Start menu of a per-machine package into the user's.
    shortcuts = [os.path.join(w.env["WINEPREFIX"], "drive_c", *where, "Microsoft", "Windows", "Start Menu",
                              "Programs", "Ambrel.lnk")
                 for where in (("ProgramData",), ("users", pwd.getpwuid(os.getuid()).pw_name, "AppData", "Roaming"))]

    def shortcut_exists():
        return any(os.path.exists(s) for s in shortcuts)
    win_exe = r"C:\Program Files\Ambrel\Ambrel.exe"

    def installer_running():
        for pid in os.listdir("/proc"):
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    if b"msiexec" in f.read().lower():
                        return True
            except OSError:
                pass
        return False

    def msiexec(*args):
        """Runs msiexec and waits until no installer process is left: Wine's
        launcher may come back before the installer has finished (with an
        exit code such as 91 or 194 that no installer gives). The outcome
        is judged by what is installed; the code is shown."""
        rc, out = w.run(["msiexec"] + list(args), timeout=300)
        wt.wait_for(lambda: not installer_running(), 300, 0.5)
        print(f"     msiexec {' '.join(a for a in args if not a.startswith('Z:'))}: exit code {rc}", flush=True)
        return rc

    def service_config():
        rc, out = w.probe("svc-config", "Ambrel")
        return dict(line.split("=", 1) for line in out.splitlines() if "=" in line) if rc == 0 else {}

    def event_source():
        rc, out = w.run(["reg", "query", r"HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Ambrel"],
                        timeout=60)
        return {p[0]: p[2].strip() for p in (line.split(None, 2) for line in out.splitlines())
                if len(p) == 3 and p[1].startswith("REG_")} if rc == 0 else {}

    # Without SERVICE=1: the program, the sample INI and the shortcut, no service.
    msiexec("/i", wt.win_path(msi), "/qn")
    r.check("MSI: the program in Program Files\\Ambrel, the shortcut in the Start menu",
            os.path.exists(installed_exe) and shortcut_exists(), os.listdir(os.path.dirname(program_files)))
    r.check("MSI: the commented sample INI where none was",
            os.path.exists(installed_ini) and open(installed_ini, "rb").read() == sample_ini)
    r.check("MSI without SERVICE=1: no service", w.probe("svc-status", "Ambrel") == (1, "error 1060"),
            w.probe("svc-status", "Ambrel"))

    # What SERVICE=1 installs, read from the package's tables: the same
    # registration as -i (own process + interactive 0x110 = 272, automatic
    # start 2, normal errors 1, Local System as no account, "-s"), started
    # at install, stopped at install and uninstall, removed at uninstall
    # (1 + 2 + 32 + 128), with the event source; the plain program and the
    # service's copy exclude each other, and the INI is never overwritten or
    # removed (64-bit 256 + permanent 16 + never overwrite 128). Wine 8 does
    # not find a service its msiexec has just created (StartServices fails
    # with 1060 and rolls back), so the service install is not run here.
    def table(name):
        out = subprocess.run(["msiinfo", "export", msi, name], capture_output=True, text=True, timeout=60).stdout
        return [line.split("\t") for line in out.splitlines()[3:]]
    r.check("MSI: ServiceInstall as -i registers the service",
            table("ServiceInstall") == [["AmbrelService", "Ambrel", "Ambrel", "272", "2", "1", "", "", "", "", "-s",
                                         "ServiceProgram", ""]], table("ServiceInstall"))
    r.check("MSI: ServiceControl starts at install, stops and removes at uninstall",
            table("ServiceControl") == [["AmbrelServiceControl", "Ambrel", "163", "", "1", "ServiceProgram"]],
            table("ServiceControl"))
    # ... with the delayed automatic start and the recovery actions of -i,
    # carried out by MsiConfigureServices after InstallServices (Wine's
    # installer does not, so the tables are what is checked).
    r.check("MSI: SERVICE=1 sets the delayed start and the recovery actions as -i does",
            table("MsiServiceConfig") == [["AmbrelDelayedStart", "Ambrel", "5", "3", "1", "ServiceProgram"]]
            and table("MsiServiceConfigFailureActions") == [["AmbrelRecovery", "Ambrel", "5", "86400", "", "",
                                                             "1[~]1[~]1", "60000[~]60000[~]60000", "ServiceProgram"]]
            and ["MsiConfigureServices", "VersionNT >= 600", "5850"] in table("InstallExecuteSequence"),
            (table("MsiServiceConfig"), table("MsiServiceConfigFailureActions")))
    components = {row[0]: row for row in table("Component")}
    r.check("MSI: the plain program or the service's copy, by SERVICE; the INI kept for ever",
            components["Program"][3:5] == ["256", 'NOT SERVICE="1"']
            and components["ServiceProgram"][3:5] == ["256", 'SERVICE="1"']
            and components["SampleIni"][3] == "400", components)
    events = {row[3]: row[4] for row in table("Registry") if row[5] == "ServiceProgram"}
    r.check("MSI: the event source with the service", events == {
        "EventMessageFile": "[#AmbrelServiceExe]", "CategoryMessageFile": "[#AmbrelServiceExe]",
        "CategoryCount": "#10", "TypesSupported": "#7"}, events)

    # The user edits the INI (and signs in: a token file appears); a newer
    # package replaces the program and keeps both files.
    edited = "\r\n".join(["[Ambrel]", "Version=0.28", "LoopDelay=5", "Domains=1", "MailBoxes=1", "",
                           "[Domains]", "Domain1=example.org", f"SMTPServer1=127.0.0.1:{port}", "",
                           "[MailBoxes]", "Mailbox1=john;john;1", ""]).encode()
    with open(installed_ini, "wb") as f:
        f.write(edited)
    with open(tokens, "wb") as f:
        f.write(b"example.org=dpapi:AAAA\r\n")

    def installed_versions():
        rc, products = w.run(["reg", "query", r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall",
                              "/s"], timeout=60)
        return [line.split()[-1] for line in products.splitlines() if line.split()[:1] == ["DisplayVersion"]]

    msiexec("/i", wt.win_path(upgrade_msi), "/qn")
    r.check("major upgrade: one product left, the newer one", installed_versions() == [wt.VERSION + ".1"],
            installed_versions())
    r.check("upgrade: the program replaced, the edited INI and the token file kept",
            os.path.exists(installed_exe) and open(installed_ini, "rb").read() == edited and os.path.exists(tokens))

    # Uninstall: the program and the shortcut gone; the configuration stays.
    msiexec("/x", wt.win_path(upgrade_msi), "/qn")
    r.check("uninstalled: no service", wt.wait_for(lambda: w.probe("svc-status", "Ambrel") == (1, "error 1060"), 30, 0.5),
            w.probe("svc-status", "Ambrel"))
    r.check("uninstalled: program, shortcut and event source gone",
            not os.path.exists(installed_exe) and not shortcut_exists() and event_source() == {})
    r.check("uninstalled: the INI and the token file left as they were",
            open(installed_ini, "rb").read() == edited and os.path.exists(tokens))
finally:
    w.stop()
    sink.kill()
    sink.wait()
    sink_out.close()
raise SystemExit(r.finish())
PY
