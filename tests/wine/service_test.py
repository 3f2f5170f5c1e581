#!/usr/bin/python3
"""The Windows service under Wine's service manager: installation and removal
with their boxes, the registration read back, a start and stop with every
status report, mail relayed by the running service, the event-log texts, and
-s started from a desktop.

The status reports and event-log calls are read from Wine's trace of the
service process (the `service` and `eventlog` channels): Wine keeps no event
log, and polling the status could miss a report that is replaced at once. The
prefix's first program carries the trace settings; the service manager and
the services it starts inherit them and write to the trace file. Each trace
line begins with the process and the thread that wrote it (the `pid`
setting), so the lines of one service process can be told from those of
the service manager and of Wine's own services.
"""
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winetest as wt  # noqa: E402

wt.run_under_display()

NAME = "Ambrel"
TRACE_CHANNELS = "trace+pid,trace+service,trace+eventlog,warn+eventlog,err+eventlog"

w = wt.Wine()
r = wt.Results()


def run_with_box(exe, *args):
    """Runs the program, reads its one box, presses OK; returns (box, exit
    code)."""
    p = w.start(exe, *args)
    box = w.wait_box(None, 30)
    if box:
        w.dismiss(box)
    try:
        code = p.wait(timeout=30)
    except subprocess.TimeoutExpired:
        code = None
    return box, code


def box_is(box, caption, text):
    return box is not None and box.caption == caption and box.text == text and box.buttons == {1: "OK"}


def service_processes(folder_tag):
    """Linux pids of processes whose command line names our copy with -s."""
    pids = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                cmd = f.read().replace(b"\0", b" ").decode("latin-1")
        except OSError:
            continue
        if folder_tag in cmd and "Ambrel.exe -s" in cmd:
            pids.append(pid)
    return pids


def service_command(exe):
    """The command line -i registers: the program's path, in quotes when it
    has a blank (the checkout may lie in such a folder), then -s."""
    path = wt.win_path(exe)
    return ('"%s"' % path if " " in path else path) + " -s"


def installed_text(name, delayed_refused):
    """The box of -i: installed, and the settings that could not be made."""
    return f"Service '{name}' installed." + ("\r\nError 87 setting the delayed start." if delayed_refused else "")


def status(*args):
    rc, out = w.probe(*args)
    return out if rc == 0 else "error: " + out


def our_trace(trace_path, offset=0, name=NAME, with_ids=False):
    """Status reports and event-log calls of the service process, from
    `offset` bytes into the trace on: the lines of every thread of the
    process that registered our handler, so the relay worker's events count
    as well as those of the handler threads, while Wine's own services (which
    report their status too) stay out."""
    with open(trace_path, "rb") as f:
        f.seek(offset)
        lines = f.read().decode("latin-1").splitlines()
    pids = set()
    for line in lines:
        if re.search(r'(RegisterServiceCtrlHandlerExW|service_handle_control) L"%s"' % name, line):
            pids.add(line.split(":", 1)[0])
    reports, events, sources, ids = [], [], set(), []
    for line in lines:
        pid = line.split(":", 1)[0]
        if pid not in pids:
            continue
        # Wine's stub of ReportEventW names its arguments: type, category, ID.
        m = re.search(r"ReportEventW \((?:0x)?[0-9A-Fa-f]+,0x([0-9a-f]+),0x([0-9a-f]+),0x([0-9a-f]+),", line)
        if m:
            ids.append(tuple(int(x, 16) for x in m.groups()))
        m = re.search(r":trace:service:SetServiceStatus \S+ (\S+) (\S+) (\S+) (\S+) (\S+) (\S+) (\S+)$", line)
        if m:
            reports.append(tuple(int(x, 16) for x in m.groups()))
        m = re.search(r":(trace|warn|err):eventlog:ReportEventW L\"(.*)\"$", line)
        if m:
            events.append(({"trace": "I", "warn": "W", "err": "E"}[m.group(1)], wt.unescape(m.group(2))))
        m = re.search(r'RegisterEventSourceA \(\(null\),"(.*)"\)', line)
        if m:
            sources.add(m.group(1))
    if with_ids:
        return reports, events, sources, ids
    return reports, events, sources


# The message table's entries: kind, event ID, category, category name. The
# same numbers as resources/events.mc and log/log.cpp (a unit test compares
# those two).
EVENT_KINDS = [("start", 100, 1, "Service start"), ("stop requested", 101, 2, "Stop request"),
               ("stop waiting", 102, 3, "Stop waiting"), ("unknown control", 103, 4, "Unknown control"),
               ("tray error", 104, 5, "Notification area"), ("status error", 105, 6, "Service status"),
               ("handler error", 106, 7, "Service registration"), ("path error", 107, 8, "Start-up path"),
               ("domain failure", 108, 9, "Domain security or configuration"), ("bad mail", 109, 10, "Bad mail")]
BAD_MAIL = (2, 10, 109)  # a Warning of the bad-mail kind: type, category, ID
REFUSAL = "550 5.1.1 no such user here"
EVENT_SOURCE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application"


def event_source(name):
    """The values of the event source's registry key ({} when there is none)."""
    rc, out = w.run(["reg", "query", EVENT_SOURCE_KEY + "\\" + name], timeout=60)
    values = {}
    for line in out.splitlines() if rc == 0 else []:
        parts = line.split(None, 2)
        if len(parts) == 3 and parts[1].startswith("REG_"):
            values[parts[0]] = parts[2].strip()
    return values


START, STOPPED_, RUNNING, STOP_PENDING = 2, 1, 4, 3
IDM_ABOUT, IDM_OPTIONS = 1, 14
UM_CLOSEREQUEST = 0x401  # WM_USER + 1
HEADER, ROW = 17, 13  # the Options dialog's list: header and row height in pixels


def write_ini(path, port, loop_delay=2, refuse_port=None):
    """john's mailbox relays to `port`. With refuse_port a second domain
    relays mary's mailbox to that port, and refused mail goes to the folder
    bad beside the INI."""
    base = os.path.dirname(path)
    users = os.path.join(base, "users")
    os.makedirs(os.path.join(users, "john"), exist_ok=True)
    bad, domain2, mailbox2 = "", "", ""
    if refuse_port:
        os.makedirs(os.path.join(users, "mary"), exist_ok=True)
        os.makedirs(os.path.join(base, "bad"), exist_ok=True)
        bad = f"Badmails={wt.win_path(os.path.join(base, 'bad'))}\\\n"
        domain2 = f"Domain2=example.net\nSMTPServer2=127.0.0.1:{refuse_port}\n"
        mailbox2 = "Mailbox2=mary;mary;2\n"
    wt.write_ini(path, f"""[Ambrel]
Version=0.28
LoopDelay={loop_delay}
UserFolder={wt.win_path(users)}\\
{bad}MaxMailSent=6
FlushLog=1
Domains={2 if refuse_port else 1}
MailBoxes={2 if refuse_port else 1}

[Domains]
Domain1=example.org
SMTPServer1=127.0.0.1:{port}
{domain2}
[MailBoxes]
Mailbox1=john;john;1
{mailbox2}""")
    return os.path.join(users, "john")


def write_message(folder, name, subject):
    path = os.path.join(folder, name)
    with open(path, "wb") as f:
        f.write(b"Return-path: <alice@example.com>\r\nX-Envelope-To: <john@example.org>\r\n"
                b"Subject: " + subject.encode() + b"\r\n\r\nrelayed by the service\r\n")
    return path


def right_click_list(caption):
    """A real right click on the empty part of the Options dialog's mailbox
    list (a list view notification cannot be posted from another process);
    without a window manager the X window begins at the client area."""
    geo = subprocess.run(["xdotool", "search", "--name", "^" + caption + "$", "getwindowgeometry", "--shell"],
                         env=w.env, capture_output=True, text=True, timeout=30).stdout
    g = dict(line.split("=", 1) for line in geo.split() if "=" in line)
    if "X" not in g:
        return False
    subprocess.run(["xdotool", "mousemove", str(int(g["X"]) + 26), str(int(g["Y"]) + 22 + HEADER + 8 * ROW + ROW // 2),
                    "click", "3"], env=w.env, timeout=30)
    return True


def net_stop(name):
    """`net stop NAME`: its exit code is 0 only when the service stopped
    within the service manager's wait (1053 otherwise)."""
    try:
        rc, out = w.run(["net", "stop", name], timeout=120)
    except subprocess.TimeoutExpired:
        return None, "timed out"
    return rc, out


def awkward_stop(label, folder, prepare, check_files, trace_path):
    """Starts the service, brings it into an awkward state with `prepare`
    (which returns whether it got there), stops it with `net stop`, and
    checks that the stop ended in time, the process ended, STOPPED was the
    last status report and the files are as `check_files` wants them."""
    offset = os.path.getsize(trace_path)
    r.check(f"{label}: started", w.probe("svc-start", NAME)[0] == 0
            and wt.wait_for(lambda: status("svc-status", NAME).startswith("RUNNING"), 60, 0.3))
    window = w.wait_window("AmbrelClass", None, 30)
    r.check(f"{label}: in the awkward state", window and prepare(window))
    w.screenshot("wine-service-" + label.replace(" ", "-"))
    rc, out = net_stop(NAME)
    r.check(f"{label}: net stop ends within the service manager's wait", rc == 0, (rc, out))
    r.check(f"{label}: stopped", wt.wait_for(lambda: status("svc-status", NAME).startswith("STOPPED"), 30, 0.3),
            status("svc-status", NAME))
    r.check(f"{label}: the process ends", wt.wait_for(lambda: not service_processes(folder), 30, 0.3))
    r.check(f"{label}: no file lost", check_files())
    reports = our_trace(trace_path, offset)[0]
    r.check(f"{label}: STOPPED reported last, once",
            reports and reports[-1][1] == STOPPED_ and [q[1] for q in reports].count(STOPPED_) == 1, reports)


def installation(exe, trace_path):
    """Installation."""
    box, code = run_with_box(exe, "-i")
    rc, config = w.probe("svc-config", NAME)
    fields = dict(line.split("=", 1) for line in config.splitlines() if "=" in line)
    # Wine's service manager knows neither the delayed start nor the
    # recovery actions (their queries answer 124, ERROR_INVALID_LEVEL):
    # there the delayed start is refused with 87, which the box must name
    # while the installation stands; the recovery actions are taken
    # without being kept, which its trace shows.
    wine_lacks_config2 = fields.get("delayed") == "error 124"
    r.check("-i: installed box",
            box_is(box, "Service Ambrel installed", installed_text(NAME, wine_lacks_config2)), box)
    r.check("-i: exit code 0", code == 0, code)
    box, code = run_with_box(exe, "-i")
    r.check("-i twice: 1073 box",
            box_is(box, "Service Ambrel Error", "Error 1073 (ERROR_SERVICE_EXISTS) creating service."), box)
    r.check("-i twice: exit code 0", code == 0, code)

    r.check("registered: own process + interactive, automatic start, normal errors",
            (fields.get("type"), fields.get("start"), fields.get("errorcontrol")) == ("0x110", "2", "1"), config)
    r.check("registered: command line and display name",
            fields.get("binary") == service_command(exe) and fields.get("display") == NAME, config)
    if wine_lacks_config2:
        with open(trace_path, "rb") as f:
            trace = f.read().decode("latin-1")
        r.check("registered: recovery actions handed to the service manager, reset after a day",
                "SERVICE_CONFIG_FAILURE_ACTIONS not implemented: period 86400 " in trace)
    else:
        r.check("registered: delayed automatic start", fields.get("delayed") == "1", config)
        r.check("registered: restart after 60 s, three times; reset after a day",
                fields.get("failure") == "reset 86400 1/60000 1/60000 1/60000", config)
    source = event_source(NAME)
    r.check("registered: the program as the event source's message file, with its categories and types",
            source.get("EventMessageFile") == wt.win_path(exe) and source.get("CategoryMessageFile")
            == wt.win_path(exe) and source.get("CategoryCount") == "0xa"
            and source.get("TypesSupported") == "0x7", source)
    # What Event Viewer shows: the entry's own text, nothing before it;
    # each category by its name.
    texts = {kind: w.probe("event-text", exe, ident, "Error 5 in SetServiceStatus")
             for kind, ident, _, _ in EVENT_KINDS}
    r.check("message table: every event ID shows its text alone",
            all(t == (0, "Error 5 in SetServiceStatus") for t in texts.values()), texts)
    names = [wt.unescape(w.probe("event-text", exe, category, "")[1]) for _, _, category, _ in EVENT_KINDS]
    r.check("message table: the category names", names == [n + "\r\n" for _, _, _, n in EVENT_KINDS], names)
    return wine_lacks_config2


def start_run_stop(folder, message, refused, sink_path, trace_path):
    """Start, run, stop."""
    r.check("started", w.probe("svc-start", NAME)[0] == 0)
    running = wt.wait_for(lambda: status("svc-status", NAME).startswith("RUNNING"), 60, 0.3)
    r.check("running", running, status("svc-status", NAME))
    window = w.wait_window("AmbrelClass", None, 20)
    r.check("the service shows its main window", window)
    r.check("interrogate repeats RUNNING",
            status("svc-control", NAME, 4).startswith("RUNNING checkpoint=0 wait=0 accepts=0x1"))
    r.check("an unknown control repeats RUNNING",
            status("svc-control", NAME, 200).startswith("RUNNING checkpoint=0 wait=0 accepts=0x1"))

    gone = wt.wait_for(lambda: not os.path.exists(message), 60, 0.3)
    r.check("the running service relays the mailbox's message",
            gone and b"relayed by the service" in open(sink_path, "rb").read())
    log_path = os.path.join(folder, "Ambrel.log")
    log_text = open(log_path, "rb").read() if os.path.exists(log_path) else b""
    r.check("log file beside the program", log_text.startswith(f"- Ver: {wt.VERSION} -------- ".encode()), log_text[:200])
    bad_copy = os.path.join(folder, "bad", "5500AA.CNM")
    r.check("the refused message goes to bad mail",
            wt.wait_for(lambda: os.path.exists(bad_copy) and not os.path.exists(refused), 60, 0.3))
    w.screenshot("wine-service-running")

    # Only a stop ends the service: both Exit items are gray, and closing
    # the window (or its Exit commands) only hides it in the tray.
    gray = [w.menu_state(window, 3, 0), w.menu_state(window, 19, 1)]
    r.check("service: both Exit items gray", all(g is not None and g & 1 for g in gray), gray)
    for post in (("post", window, 0x10, 0, 0), ("command", window, 3), ("command", window, 19)):
        w.probe(*post)
    w.probe("sync", window)
    r.check("service: closing only hides the window, no question",
            w.state(window) == "hidden normal" and not w.boxes()
            and status("svc-status", NAME).startswith("RUNNING"), (w.state(window), w.boxes()))
    w.screenshot("wine-service-closed")
    w.probe("command", window, 17)
    r.check("service: Show brings the window back",
            wt.wait_for(lambda: w.state(window) == "visible normal", 20), w.state(window))
    # A close request with no stop under way (any program can post one)
    # must not take the window away: the next stop would have no loop to end.
    w.probe("post", window, UM_CLOSEREQUEST, 0, 0)
    r.check("service: a stray close request is ignored",
            w.probe("sync", window)[0] == 0 and w.state(window) == "visible normal"
            and status("svc-status", NAME).startswith("RUNNING"), w.state(window))

    stop = status("svc-control", NAME, 1)
    r.check("stop answered with STOPPED or STOP_PENDING",
            re.match(r"(STOPPED|STOP_PENDING) ", stop) is not None, stop)
    r.check("stopped", wt.wait_for(lambda: status("svc-status", NAME).startswith("STOPPED"), 30, 0.3))
    r.check("the stop ends the process", wt.wait_for(lambda: not service_processes("wine_service"), 30, 0.3))

    reports, events, sources, ids = our_trace(trace_path, with_ids=True)
    # type, state, accepted, exit code, specific exit code, checkpoint, wait hint
    expected = [(0x10, START, 0, 0, 0, 1, 3000), (0x10, START, 0, 0, 0, 2, 3000),
                (0x10, RUNNING, 1, 0, 0, 0, 0),
                (0x10, RUNNING, 1, 0, 0, 0, 0), (0x10, RUNNING, 1, 0, 0, 0, 0),  # interrogate, unknown
                (0x10, STOP_PENDING, 1, 0, 0, 3, 0), (0x10, STOPPED_, 1, 0, 0, 0, 0)]
    # The handler's closing report: STOPPED again, or STOP_PENDING with
    # the next checkpoint when it ran before the service thread's STOPPED.
    # Nothing follows STOPPED: a repeat of it, or a late STOP_PENDING,
    # would contradict the stop that already completed.
    stopped = (0x10, STOPPED_, 1, 0, 0, 0, 0)
    r.check("status reports in order with their checkpoints, STOPPED last",
            reports in (expected, expected[:-1] + [(0x10, STOP_PENDING, 1, 0, 0, 4, 0), stopped]),
            "\n     ".join(map(str, reports)))
    # The worker's move to bad mail may come before or after the unknown
    # control: the handler's entries keep their order among themselves.
    bad_text = "Mail 5500AA.CNM from %s\\ moved to bad mail: %s" % (
        wt.win_path(os.path.dirname(refused)), REFUSAL)
    r.check("event-log entries",
            [e for e in events if e[1] != bad_text] == [("I", "Ambrel Starting"),
                                                        ("W", "Service unknown control code"),
                                                        ("I", "Ambrel Stop started")]
            and sources == {NAME}, (events, sources))
    r.check("event-log entries: their types, categories and IDs",
            [i for i in ids if i != BAD_MAIL] == [(4, 1, 100), (2, 4, 103), (4, 2, 101)], ids)
    r.check("service: the move to bad mail is a Warning naming file, mailbox folder and reply",
            events.count(("W", bad_text)) == 1 and ids.count(BAD_MAIL) == 1, (bad_text, events, ids))


def window_that_does_not_close(trace_path):
    """A window that does not close."""
    # The stop handler keeps waiting, and says so every 202 polls of
    # 50 ms (at least 10 s). The window thread stays frozen for 20 s, so
    # however late the stop arrives on a slow machine (up to 9 s), the
    # handler waits long enough for one such event, and at most for two.
    offset = os.path.getsize(trace_path)
    w.probe("svc-start", NAME)
    wt.wait_for(lambda: status("svc-status", NAME).startswith("RUNNING"), 60, 0.3)
    window = w.wait_window("AmbrelClass", None, 20)
    freeze = subprocess.Popen(["wine", w.probe_exe, "suspend", window or "0", "20000"], env=w.env,
                              cwd=w.build, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    frozen = freeze.stdout.readline().startswith(b"suspended")
    stopper = subprocess.Popen(["wine", w.probe_exe, "svc-control", NAME, "1"], env=w.env, cwd=w.build,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    r.check("frozen window: still STOP_PENDING after 5 s", frozen and not wt.wait_for(
        lambda: status("svc-status", NAME).startswith("STOPPED"), 5, 0.5))
    r.check("frozen window: stopped once it thaws",
            wt.wait_for(lambda: status("svc-status", NAME).startswith("STOPPED"), 40, 0.5))
    r.check("frozen window: the process ends",
            wt.wait_for(lambda: not service_processes("wine_service"), 30, 0.3))
    freeze.wait(timeout=30)
    stopper.wait(timeout=60)
    reports, events, sources, ids = our_trace(trace_path, offset, with_ids=True)
    r.check("frozen window: 'being closed' errors while the stop waits",
            events[:3] == [("I", "Ambrel Starting"), ("I", "Ambrel Stop started"),
                           ("E", "Service is being closed.")]
            and events[3:] in ([], [("E", "Service is being closed.")]), events)
    r.check("frozen window: 'being closed' is an error of its own ID",
            ids[2:] and all(i == (1, 3, 102) for i in ids[2:]), ids)
    r.check("frozen window: nothing reported after STOPPED",
            reports and reports[-1][1] == STOPPED_ and [q[1] for q in reports].count(STOPPED_) == 1,
            reports)


def stops_in_awkward_states(folder, message, port, sink_path, trace_path):
    """Stops in awkward states."""
    mailbox = os.path.dirname(message)
    # In an SMTP session: the message is accepted, the QUIT never
    # answered. The server has the message: its file went at the 250,
    # so no later run sends it again.
    slow = wt.SlowSmtp(hold_quit=True)
    write_ini(os.path.join(folder, "Ambrel.ini"), slow.port)
    held = write_message(mailbox, "5E5510.CNM", "held session")
    try:
        awkward_stop("stop in a session", "wine_service", lambda _: slow.quit_seen.wait(60),
                     lambda: not os.path.exists(held) and any(b"held session" in m for m in slow.messages),
                     trace_path)
    finally:
        slow.close()
    if os.path.exists(held):
        os.remove(held)
    # In the 10-minute back-off after a refused connect.
    write_ini(os.path.join(folder, "Ambrel.ini"), wt.free_port())
    waiting = write_message(mailbox, "BAC0FF.CNM", "back-off")
    log_path = os.path.join(folder, "Ambrel.log")
    awkward_stop("stop in the back-off", "wine_service",
                 lambda _: wt.wait_for(lambda: b"delaying AMBREL by 10 minutes" in open(log_path, "rb").read(),
                                       60, 0.3),
                 lambda: os.path.exists(waiting), trace_path)
    log_text = open(log_path, "rb").read()
    r.check("stop in the back-off: the log ends cleanly, no connect after the socket library went",
            log_text.endswith(b"\r\n") and b"10093" not in log_text, log_text[-400:])
    # With the About box open, then with ChangeUser open over Options.
    write_ini(os.path.join(folder, "Ambrel.ini"), port, loop_delay=60)

    def about_open(window):
        w.probe("command", window, IDM_ABOUT)
        return w.wait_box("About Ambrel", 30) is not None
    def kept_or_relayed():
        return os.path.exists(waiting) or b"back-off" in open(sink_path, "rb").read()
    awkward_stop("stop with About open", "wine_service", about_open, kept_or_relayed, trace_path)

    def change_user_open(window):
        w.probe("command", window, IDM_OPTIONS)
        return (w.wait_box(" Ambrel Options ", 30) is not None and right_click_list(" Ambrel Options ")
                and w.wait_box(" Change Mail User", 30) is not None)
    awkward_stop("stop with ChangeUser open", "wine_service", change_user_open, kept_or_relayed,
                 trace_path)
    r.check("after the awkward stops: no box left", not [b for b in w.boxes() if b.caption != " Error"],
            w.boxes())


def removal(exe):
    """Removal."""
    # An open handle keeps a deleted service marked for deletion.
    hold = subprocess.Popen(["wine", w.probe_exe, "svc-hold", NAME, "120000"], env=w.env, cwd=w.build,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    r.check("handle held", hold.stdout.readline().startswith(b"holding"))
    box, code = run_with_box(exe, "-u")
    r.check("-u: deleted box", box_is(box, "Service Ambrel Deleted", "Service 'Ambrel' deleted."), box)
    r.check("-u: exit code 0", code == 0, code)
    r.check("-u: the event source removed", event_source(NAME) == {}, event_source(NAME))
    box, code = run_with_box(exe, "-u")
    r.check("-u while marked for deletion: 1072 box",
            box_is(box, "Service Ambrel Error", "Error 1072 (ERROR_SERVICE_IN_DELETING) deleting service."), box)
    box, code = run_with_box(exe, "-i")
    r.check("-i while marked for deletion: 1072 is unknown to the create step",
            box_is(box, "Service Ambrel Error", "Error 1072 (unknown) creating service."), box)
    hold.kill()
    hold.wait()
    w.probe("idle", 1)
    gone = wt.wait_for(lambda: w.probe("svc-status", NAME)[1] == "error 1060", 30, 0.3)
    box, code = run_with_box(exe, "-u")
    r.check("-u of a service not installed: 1060 box",
            gone and box_is(box, "Service Ambrel Error", "Error 1060 (ERROR_SERVICE_NOT_EXISTS) opening service."),
            box)
    r.check("-u: exit code 0 after an error", code == 0, code)


def renamed_copy_in_a_blank_folder(folder, port, sink_path, trace_path, wine_lacks_config2):
    """A renamed copy in a folder with a blank."""
    # The service takes the program's name; the captions stay; the path
    # is registered in quotes so that the service manager cannot take
    # the part before the blank for the program.
    blank = os.path.join(folder, "with blank")
    os.makedirs(blank)
    relay = w.copy_exe(blank, "Relay.exe")
    box, code = run_with_box(relay, "-i")
    r.check("renamed copy: installed under its own name",
            box_is(box, "Service Ambrel installed", installed_text("Relay", wine_lacks_config2)), box)
    rc, config = w.probe("svc-config", "Relay")
    r.check("renamed copy: quoted command line",
            "binary=" + service_command(relay) in config.splitlines(), config)
    relay_box = write_ini(os.path.join(blank, "Relay.ini"), port)
    relayed = write_message(relay_box, "4E1A70.CNM", "renamed service")
    offset = os.path.getsize(trace_path)
    r.check("renamed copy: started as a service", w.probe("svc-start", "Relay")[0] == 0
            and wt.wait_for(lambda: status("svc-status", "Relay").startswith("RUNNING"), 60, 0.3),
            status("svc-status", "Relay"))
    window = w.wait_window("AmbrelClass", None, 30)
    r.check("renamed copy: title", window and w.probe("title", window) == (0, " Windows Ambrel (Relay)"),
            window and w.probe("title", window))
    r.check("renamed copy: relays the mail", wt.wait_for(
        lambda: not os.path.exists(relayed) and b"renamed service" in open(sink_path, "rb").read(), 60, 0.3))
    edit = None
    if window:
        for line in w.probe("children", window)[1].splitlines():
            fields = line.split("\t")
            if len(fields) > 1 and fields[1].lower() == "edit":
                edit = fields[0]
    text = (edit and w.text(edit)) or ""
    r.check("renamed copy: reads Relay.ini",
            "Updating AMBREL Config file (%s) ...\r\n" % wt.win_path(os.path.join(blank, "Relay.ini")) in text,
            text[:400])
    w.screenshot("wine-service-relay")
    rc, out = net_stop("Relay")
    r.check("renamed copy: stopped", rc == 0 and wt.wait_for(
        lambda: status("svc-status", "Relay").startswith("STOPPED"), 30, 0.3), (rc, out))
    reports, events, sources = our_trace(trace_path, offset, "Relay")
    r.check("renamed copy: event source Relay, fixed texts",
            sources == {"Relay"} and events == [("I", "Ambrel Starting"), ("I", "Ambrel Stop started")],
            (events, sources))
    r.check("renamed copy: its log beside it", os.path.exists(os.path.join(blank, "Relay.log")))
    box, code = run_with_box(relay, "-u")
    r.check("renamed copy: removed", box_is(box, "Service Ambrel Deleted", "Service 'Relay' deleted."), box)


def startup_error_in_service_mode(folder, trace_env, trace_path):
    """A start-up error in service mode."""
    # A folder too long for the INI path: refused with a box, which no one
    # sees in a service, so the text goes to the event log as well.
    deep = os.path.join(folder, "d" * 100)
    os.makedirs(deep)
    long_exe = w.copy_exe(deep)
    offset = os.path.getsize(trace_path)
    err = open(trace_path, "ab")
    w.start(long_exe, "-s", env=trace_env, stderr=err)
    box = w.wait_box(" Error", 30)
    with open(trace_path, "rb") as f:
        f.seek(offset)
        trace = f.read().decode("latin-1")
    # The trace shows the text with C escapes, long ones cut short.
    logged = [wt.unescape(t).rstrip(".")
              for t in re.findall(r':err:eventlog:ReportEventW L"(.*?)"(?:\.\.\.)?$', trace, re.M)]
    r.check("path refused in service mode: the box's text in the event log",
            box is not None and "too long" in box.text and len(logged) == 1
            and len(logged[0]) > 20 and box.text.startswith(logged[0]), (box, logged))
    r.check("path refused in service mode: an error of the start-up path's ID",
            re.findall(r"ReportEventW \((?:0x)?[0-9A-Fa-f]+,0x0*([0-9a-f]+),0x0*([0-9a-f]+),0x0*([0-9a-f]+),", trace)
            == [("1", "8", "6b")], trace[-2000:])
    if box:
        w.dismiss(box)
    err.close()


def service_switch_from_a_desktop(exe):
    """-s from a desktop."""
    app = w.start(exe, "-s")
    box = w.wait_box(" Error", 30)
    r.check("-s from a desktop: dispatcher error box",
            box is not None and box.text == "Error 1063 starting service (continuing as application)", box)
    w.screenshot("wine-service-desktop")
    if box:
        w.dismiss(box)
    r.check("-s from a desktop: then runs as the application",
            w.wait_window("AmbrelClass", None, 20) and app.poll() is None)


def main():
    folder = w.scratch("service")
    exe = w.copy_exe(folder)
    port = wt.free_port()
    # mary's domain refuses every recipient for good: her message goes to bad
    # mail in the first run, which the event log must tell.
    refuser = wt.SlowSmtp(rcpt_reply=REFUSAL)
    mailbox = write_ini(os.path.join(folder, "Ambrel.ini"), port, refuse_port=refuser.port)
    refused = write_message(os.path.join(folder, "users", "mary"), "5500AA.CNM", "refused for good")
    message = os.path.join(mailbox, "1A2B3C.CNM")
    with open(message, "wb") as f:
        f.write(b"Return-path: <alice@example.com>\r\nX-Envelope-To: <john@example.org>\r\n"
                b"Subject: service relay\r\n\r\nrelayed by the service\r\n")

    trace_path = os.path.join(w.build, "wine_service_trace.txt")
    open(trace_path, "w").close()
    w.restart()
    # The prefix's first program: keeps the prefix's services up for the
    # whole test and hands the trace settings to the service manager.
    trace_env = dict(w.env, WINEDEBUG=TRACE_CHANNELS)
    keeper_err = open(trace_path, "ab")
    w.start(w.probe_exe, "idle", 600000, cwd=w.build, env=trace_env, stderr=keeper_err)
    # The first call to the service manager starts it, with this caller's
    # environment and error output.
    subprocess.run(["wine", w.probe_exe, "svc-status", "NoSuchService"], env=trace_env, cwd=w.build,
                   stdout=subprocess.DEVNULL, stderr=keeper_err, timeout=120)
    # A service left by an interrupted earlier run would start by itself.
    for name in (NAME, "Relay"):
        if w.probe("svc-status", name)[0] == 0:
            w.probe("svc-control", name, 1)
            w.probe("svc-delete", name)

    sink_path = os.path.join(folder, "received.txt")
    sink_out = open(sink_path, "wb")
    sink = subprocess.Popen(["/usr/bin/python3", "-m", "aiosmtpd", "-n", "-l", f"127.0.0.1:{port}",
                             "-c", "aiosmtpd.handlers.Debugging", "stdout"],
                            stdout=sink_out, stderr=subprocess.STDOUT)
    try:
        wine_lacks_config2 = installation(exe, trace_path)
        start_run_stop(folder, message, refused, sink_path, trace_path)
        window_that_does_not_close(trace_path)
        stops_in_awkward_states(folder, message, port, sink_path, trace_path)
        removal(exe)
        renamed_copy_in_a_blank_folder(folder, port, sink_path, trace_path, wine_lacks_config2)
        startup_error_in_service_mode(folder, trace_env, trace_path)
        service_switch_from_a_desktop(exe)
    finally:
        for name in (NAME, "Relay"):
            if w.probe("svc-status", name)[0] == 0:
                w.probe("svc-control", name, 1)
                w.probe("svc-delete", name)
        w.stop()
        keeper_err.close()
        sink.kill()
        sink.wait()
        sink_out.close()
        refuser.close()


main()
raise SystemExit(r.finish())
