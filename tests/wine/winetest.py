"""Shared helpers of the Windows tests under Wine.

A test runs inside an X display (run_under_display() re-starts the script
under `xvfb-run -a` when there is none), copies Ambrel.exe into a scratch
folder of the x86_64 build folder, starts it under the build's Wine prefix and
reads or drives its windows with the probe (tests/wine/probe.cpp). Waits poll
with a bound; nothing decides a result on timing alone.

    import winetest as wt
    wt.run_under_display()
    w = wt.Wine()
    w.restart()                         # a fresh wineserver for this display
    folder = w.scratch("mytest")
    exe = w.copy_exe(folder)
    proc = w.start(exe)
    hwnd = w.wait_window("AmbrelClass", None)
    ...
    w.screenshot("mytest")
    w.stop()
"""
import os
import re
import shutil
import socket
import subprocess
import sys
import threading

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tests"))
# The helpers of every Python test, offered to the Wine tests as wt.*.
from helpers import Results, free_port, listening, wait_for, write_ini  # noqa: E402,F401

BUILD = os.environ.get("BUILD_WIN64") or os.path.join(ROOT, "build", "win64")
# The program's version: the CMake project's.
with open(os.path.join(ROOT, "CMakeLists.txt")) as _f:
    VERSION = re.search(r"^project\(Ambrel VERSION ([0-9.]+)", _f.read(), re.M).group(1)

# WM_APP + 1: the answer about its menus that only the test build of the
# program (AmbrelTest.exe) gives; the shipped Ambrel.exe ignores it.
UM_MENUQUERY = 0x8001
WM_KEYDOWN, VK_ESCAPE = 0x100, 0x1B
WM_SYSCOMMAND, SC_CLOSE = 0x112, 0xF060


def run_under_display():
    """Re-executes the calling script under `xvfb-run -a` when no X display
    is set, so that every Wine process of the test shares one display."""
    if os.environ.get("DISPLAY"):
        return
    os.execvp("xvfb-run", ["xvfb-run", "-a", "-s", "-screen 0 1024x768x24",
                           sys.executable] + sys.argv)


def unescape(text):
    """Undoes the C escapes of the probe's answers (\\r \\n \\t \\\\ \\xHH) and of
    Wine's trace of a wide string (the same, \\" and \\HHHH for any other
    character outside printable ASCII). One pass from the left: a backslash
    escape is taken whole, so the "\\n" of "\\\\newcomer" stays a backslash and
    an n."""
    out, i = [], 0
    hexdigits = "0123456789abcdefABCDEF"
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            n = text[i + 1]
            if n == "x" and i + 3 < len(text):
                out.append(chr(int(text[i + 2:i + 4], 16)))
                i += 4
                continue
            if n in hexdigits and i + 5 <= len(text) and all(h in hexdigits for h in text[i + 1:i + 5]):
                out.append(chr(int(text[i + 1:i + 5], 16)))
                i += 5
                continue
            out.append({"r": "\r", "n": "\n", "t": "\t", "\\": "\\"}.get(n, n))
            i += 2
            continue
        out.append(c)
        i += 1
    return "".join(out)


def win_path(path):
    """The Windows form of a Linux path (Wine maps drive Z: to /)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Box:
    """A visible top-level dialog window, as `probe boxes` lists it."""

    def __init__(self, line):
        fields = line.split("\t")
        fields += [""] * (5 - len(fields))
        self.hwnd = fields[0]
        self.pid = fields[1]
        self.caption = unescape(fields[2])
        self.text = unescape(fields[3])
        self.buttons = {}
        for entry in fields[4].split(","):
            if ":" in entry:
                ident, label = entry.split(":", 1)
                self.buttons[int(ident)] = unescape(label)

    def __repr__(self):
        return f"Box({self.caption!r}, {self.text!r}, {self.buttons})"


class Wine:
    def __init__(self, build=BUILD):
        self.build = build
        self.probe_exe = os.path.join(build, "probe.exe")
        self.env = dict(os.environ)
        self.env["WINEPREFIX"] = os.path.join(build, "wineprefix")
        self.env.setdefault("WINEDEBUG", "-all")
        self.env["WINEDLLOVERRIDES"] = "mscoree,mshtml="
        self.started = []

    # ---- processes -----------------------------------------------------------

    def run(self, args, timeout=60, cwd=None, env=None):
        """Runs `wine ARGS...` to its end; returns (exit code, stdout)."""
        p = subprocess.run(["wine"] + list(args), cwd=cwd or self.build, env=env or self.env,
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=timeout)
        return p.returncode, p.stdout.decode("latin-1")

    def start(self, exe, *args, cwd=None, env=None, stderr=subprocess.DEVNULL):
        """Starts `wine EXE ARGS...` without waiting for it."""
        p = subprocess.Popen(["wine", exe] + [str(a) for a in args], cwd=cwd or os.path.dirname(exe),
                             env=env or self.env, stdout=subprocess.DEVNULL, stderr=stderr)
        self.started.append(p)
        return p

    def spawn_probe(self, *args, first_line=None):
        """Starts a long-running probe subcommand (its stdout a pipe); with
        `first_line`, waits (bounded) for the line that says it is in place
        and returns (process, that line was seen)."""
        p = subprocess.Popen(["wine", self.probe_exe] + [str(a) for a in args], env=self.env, cwd=self.build,
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.started.append(p)
        if first_line is None:
            return p, True
        return p, p.stdout.readline().decode("latin-1").startswith(first_line)

    def probe(self, *args, timeout=30):
        """Runs one probe subcommand; returns (exit code, stdout without the
        final line end)."""
        try:
            rc, out = self.run([self.probe_exe] + [str(a) for a in args], timeout=timeout)
        except subprocess.TimeoutExpired:
            return 124, ""
        return rc, out.rstrip("\r\n")

    def restart(self):
        """Stops the prefix's wineserver (and with it every program of the
        prefix) so that the next program starts on this display."""
        self.stop()
        if not os.path.exists(os.path.join(self.env["WINEPREFIX"], "system.reg")):
            subprocess.run(["wineboot", "-i"], env=self.env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=300)

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
        for p in self.started:
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()
        self.started = []

    def virtual_desktop(self, name, apps, size, on):
        """Puts the programs named in `apps` (file names) into one Wine virtual
        desktop `name` of `size` ("WxH"), so their windows get frames and a
        tray; with on=False the per-program settings are removed again."""
        lines = ["REGEDIT4", ""]
        for app in apps:
            key = rf"[HKEY_CURRENT_USER\Software\Wine\AppDefaults\{app}\Explorer]"
            lines += [key, f'"Desktop"="{name}"', ""] if on else ["[-" + key[1:], ""]
        if on:
            lines += [r"[HKEY_CURRENT_USER\Software\Wine\Explorer\Desktops]", f'"{name}"="{size}"', ""]
        path = os.path.join(self.build, f"desktop-{name}.reg")
        with open(path, "w") as f:
            f.write("\r\n".join(lines))
        self.run(["regedit", "/S", win_path(path)])

    # ---- files ---------------------------------------------------------------

    def scratch(self, name):
        """A fresh folder inside the build folder."""
        folder = os.path.join(self.build, "wine_" + name)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        return folder

    def copy_exe(self, folder, name="Ambrel.exe", product=False):
        """Copies the program into `folder` under `name`; its INI and log file
        are then named after that copy. The test build (with its menu
        answer) unless `product` asks for the shipped program."""
        target = os.path.join(folder, name)
        shutil.copy(os.path.join(self.build, "Ambrel.exe" if product else "AmbrelTest.exe"), target)
        return target

    def screenshot(self, name):
        """Saves the whole screen as NAME.png in the build folder, for people
        to look at; failures are only reported."""
        path = os.path.join(self.build, name + ".png")
        try:
            subprocess.run(["import", "-window", "root", path], env=self.env, timeout=30,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except (OSError, subprocess.TimeoutExpired) as e:
            print("screenshot failed:", e)
        return path

    # ---- windows -------------------------------------------------------------

    def wait_window(self, cls, title, limit=20.0):
        """HWND text of the first top-level window with this class and/or
        title (None for either: any), or None after `limit` seconds."""
        rc, out = self.probe("find", cls or "-", title or "-", int(limit * 1000),
                             timeout=limit + 30)
        return out if rc == 0 and out else None

    def text(self, hwnd):
        rc, out = self.probe("text", hwnd)
        return unescape(out) if rc == 0 else None

    def log_edit(self, main):
        """HWND text of the main window's log (its edit child), or None."""
        rc, out = self.probe("children", main)
        for line in out.splitlines() if rc == 0 else []:
            fields = line.split("\t")
            if len(fields) > 1 and fields[1].lower() == "edit":
                return fields[0]
        return None

    def boxes(self):
        rc, out = self.probe("boxes")
        return [Box(line) for line in out.splitlines() if line.strip()] if rc == 0 else []

    def wait_box(self, caption=None, limit=20.0):
        """The first visible dialog window (with this caption, if given)."""
        def find():
            for box in self.boxes():
                if caption is None or box.caption == caption:
                    return box
            return None
        return wait_for(find, limit, 0.2)

    def state(self, hwnd):
        """"visible"/"hidden" and "normal"/"minimized" of a window, or "gone"."""
        rc, out = self.probe("state", hwnd)
        return out if rc == 0 else "gone"

    def menu_state(self, main, command, menu=0):
        """GetMenuState of an item of the main window's menu bar (menu 0) or
        tray menu (1), asked of the program itself (UM_MENUQUERY): Wine cannot
        read another process's menu."""
        rc, out = self.probe("send", main, UM_MENUQUERY, (menu << 16) | command, -1)
        return int(out) if rc == 0 else None

    def escape_and_close_ignored(self, box, caption):
        """Sends Escape and the title bar's close command to a dialog; true
        when it is still open with its caption once both are handled."""
        self.probe("post", box, WM_KEYDOWN, VK_ESCAPE, 0)
        self.probe("post", box, WM_SYSCOMMAND, SC_CLOSE, 0)
        return self.probe("sync", box)[0] == 0 and self.probe("title", box) == (0, caption)

    def dismiss(self, box, button=1):
        """Presses a button of a box (BM_CLICK) and waits until it is gone."""
        self.probe("click", box.hwnd, button)
        return self.probe("wait-gone", box.hwnd, 10000)[0] == 0


class TrayRecorder:
    """The probe playing the shell's notification area (`probe tray`): every
    icon request the program makes, accepted or refused, as a list of dicts
    (request, owner, id, flags, callback, tip)."""

    def __init__(self, wine, accept=True, limit_ms=600000):
        self.proc, self.ready = wine.spawn_probe("tray", limit_ms, "accept" if accept else "refuse",
                                                 first_line="tray")
        self.requests = []
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for raw in self.proc.stdout:
            f = raw.decode("latin-1").rstrip("\r\n").split("\t")
            if len(f) >= 7:
                self.requests.append({"request": f[0], "owner": int(f[1], 16), "id": int(f[2]),
                                      "flags": int(f[3], 16), "callback": int(f[4], 16),
                                      "tip": unescape(f[5]), "accepted": f[6] == "accepted"})

    def wait_request(self, kind, limit=15.0):
        """The first request of this kind (ADD, MODIFY, DELETE), or None."""
        return wait_for(lambda: next((q for q in list(self.requests) if q["request"] == kind), None), limit, 0.1)

    def stop(self):
        self.proc.kill()
        self.proc.wait(timeout=10)


def end_process(p, limit=10):
    """Ends a helper process (SIGTERM, then SIGKILL after `limit` seconds)."""
    if p.poll() is None:
        p.terminate()
        try:
            p.wait(limit)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait(limit)


class SlowSmtp:
    """A small SMTP server on 127.0.0.1 that answers only when the test lets
    it: the greeting waits for `greet` (an Event), every later reply waits for
    `answer`. It keeps each message it accepts in `messages` and notes in
    `connected` that a client is there. With hold_quit the QUIT is never
    answered, so the client cannot confirm its session (`quit_seen` is set).
    With rcpt_reply every RCPT TO gets that reply line (a refusal); `port`
    asks for a port of its own choosing."""

    def __init__(self, greet=True, answer=True, hold_quit=False, rcpt_reply=None, port=0):
        self.hold_quit = hold_quit
        self.rcpt_reply = rcpt_reply
        self.quit_seen = threading.Event()
        self.greet = threading.Event()
        self.answer = threading.Event()
        if greet:
            self.greet.set()
        if answer:
            self.answer.set()
        self.connected = threading.Event()
        self.messages = []
        self.closing = False
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", port))
        self.listener.listen(5)
        self.listener.settimeout(0.5)
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _wait(self, event):
        while not event.wait(0.2):
            if self.closing:
                return False
        return not self.closing

    def _serve(self):
        while not self.closing:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                continue
            try:
                self._session(conn)
            except OSError:
                pass
            finally:
                conn.close()

    def _session(self, conn):
        conn.settimeout(120)
        self.connected.set()
        if not self._wait(self.greet):
            return
        conn.sendall(b"220 slow test server\r\n")
        data = b""
        in_data = False
        while not self.closing:
            chunk = conn.recv(4096)
            if not chunk:
                return
            data += chunk
            while True:
                if in_data:
                    end = data.find(b"\r\n.\r\n")
                    if end < 0:
                        break
                    self.messages.append(data[:end])
                    data = data[end + 5:]
                    in_data = False
                    reply = b"250 accepted\r\n"
                else:
                    if b"\r\n" not in data:
                        break
                    line, data = data.split(b"\r\n", 1)
                    verb = line[:4].upper()
                    if verb == b"DATA":
                        in_data = True
                        reply = b"354 go on\r\n"
                    elif verb == b"QUIT":
                        self.quit_seen.set()
                        if self.hold_quit:
                            self._wait(threading.Event())
                            return
                        reply = b"221 bye\r\n"
                    elif verb == b"RCPT" and self.rcpt_reply:
                        reply = self.rcpt_reply.encode() + b"\r\n"
                    else:
                        reply = b"250 ok\r\n"
                if not self._wait(self.answer):
                    return
                conn.sendall(reply)

    def close(self):
        self.closing = True
        self.listener.close()
        self.thread.join(timeout=10)
