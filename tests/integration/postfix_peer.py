#!/usr/bin/python3
"""A Postfix instance of the tests' own, set up the way mail providers set
theirs, on 127.0.0.1 only, relaying everything it accepts to an aiosmtpd sink
(capture_handler.Capture) on 127.0.0.1. Nothing of the system's mail set-up
is read or touched: main.cf, master.cf, the queue, the data folder, the SASL
user database and the log all live in a temporary folder of this instance
(postfix-script does not quote its configuration folder, so a folder given
with a blank in its path would not start), the sink's capture and a copy of
the log in the folder given, and `postfix -c` starts and stops this instance
alone.

Three listeners, each on a port picked free:
  submission  STARTTLS required before anything else, a SASL login (PLAIN,
              LOGIN) required to relay, and the sender must be the login
              (smtpd_sender_login_maps + reject_sender_login_mismatch)
  smtps       the same with TLS from the first byte
  mx          what a receiving MX runs: plain or STARTTLS, the HELO name must
              be fully qualified, mail only for the relayed domains
  nopipe      the mx listener without PIPELINING in its EHLO reply. smtpd
              logs "improper command pipelining" (and here cuts the client
              off) only for a command sent ahead in a HELO session or behind
              one that must end a group (EHLO, STARTTLS, DATA, QUIT...), not
              for MAIL and RCPT sent together
Every listener offers SIZE (message_size_limit).

As a module: `with PostfixPeer(folder) as peer: ... peer.ports["mx"]`.
From the shell (for a test in another language):
  postfix_peer.py start FOLDER   starts it, prints one JSON line (ports, the
                                 login, the certificate, capture and log files)
  postfix_peer.py stop FOLDER    stops what `start` started in FOLDER
"""
import base64
import json
import os
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.dirname(HERE))
from certificate import make_certificate  # noqa: E402
from helpers import free_port, wait_for  # noqa: E402,F401  (postfix_peer.wait_for for its users)

PYTHON = "/usr/bin/python3"
POSTFIX = "/usr/sbin/postfix"
USER, PASSWORD = "john@example.org", "s3cret"
# The only domains the MX listener takes mail for.
RELAY_DOMAINS = "example.org example.net"
SIZE_LIMIT = 1000000


def greets(port):
    """True once the listener answers with its 220 greeting, not merely
    accepts: master binds the port before any smtpd runs."""
    try:
        with socket.create_connection(("127.0.0.1", port), 1) as s:
            s.settimeout(3)
            return s.recv(512).startswith(b"220")
    except OSError:
        return False


def tls_greets(port):
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    try:
        with socket.create_connection(("127.0.0.1", port), 1) as raw:
            with context.wrap_socket(raw) as s:
                s.settimeout(3)
                return s.recv(512).startswith(b"220")
    except OSError:
        return False


MAIN_CF = """\
compatibility_level = 3.6
config_directory = {conf}
queue_directory = {queue}
data_directory = {data}
mail_owner = postfix
setgid_group = postdrop
maillog_file = {log}
maillog_file_prefixes = {log}
myhostname = peer.ambrel.test
mydomain = ambrel.test
myorigin = $myhostname
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.1/32
# No DNS: every message goes to the sink, which is named by address.
smtp_dns_support_level = disabled
disable_dns_lookups = yes
relayhost = [127.0.0.1]:{sink_port}
relay_domains = {relay_domains}
# No local delivery: nothing is delivered to this machine's users, and the
# system's aliases are never read.
mydestination =
local_recipient_maps =
local_transport = error:local delivery is disabled
alias_maps =
alias_database =
biff = no
# What a client sends reaches the sink unchanged: no header added, dropped
# or rewritten (Return-path: included), no 8-bit body converted.
local_header_rewrite_clients =
message_drop_headers =
disable_mime_output_conversion = yes
message_size_limit = {size_limit}
smtpd_tls_cert_file = {cert}
smtpd_tls_key_file = {key}
smtpd_tls_loglevel = 1
smtp_tls_security_level = none
smtpd_sasl_path = smtpd
cyrus_sasl_config_path = {conf}/sasl
smtpd_sasl_local_domain =
broken_sasl_auth_clients = no
smtpd_sender_login_maps = inline:{{ {user}={user} }}
# As providers run it: HELO and sender checks answer at RCPT, so a refused
# sender shows as a 553 to RCPT TO after a 250 to MAIL FROM.
smtpd_delay_reject = yes
smtpd_relay_restrictions = reject_unauth_destination
# The tests open many sessions in a few seconds: none is throttled.
smtpd_client_connection_rate_limit = 0
# A message the sink did not take at once is tried again while a test may
# still be waiting for it, and gives up within the hour.
maximal_queue_lifetime = 1h
bounce_queue_lifetime = 1h
queue_run_delay = 10s
minimal_backoff_time = 10s
"""

# chroot n everywhere: the SASL database and the log are in the build tree.
MASTER_CF = """\
{ip}:{submission} inet n - n - - smtpd
  -o syslog_name=postfix/submission
  -o smtpd_tls_security_level=encrypt
  -o smtpd_tls_auth_only=yes
  -o smtpd_sasl_auth_enable=yes
  -o smtpd_sender_restrictions=reject_sender_login_mismatch
  -o smtpd_relay_restrictions=permit_sasl_authenticated,reject
{ip}:{smtps} inet n - n - - smtpd
  -o syslog_name=postfix/smtps
  -o smtpd_tls_wrappermode=yes
  -o smtpd_tls_security_level=encrypt
  -o smtpd_sasl_auth_enable=yes
  -o smtpd_sender_restrictions=reject_sender_login_mismatch
  -o smtpd_relay_restrictions=permit_sasl_authenticated,reject
{ip}:{mx} inet n - n - - smtpd
  -o syslog_name=postfix/mx
  -o smtpd_tls_security_level=may
  -o smtpd_helo_restrictions=reject_non_fqdn_helo_hostname
  -o smtpd_sender_restrictions=reject_non_fqdn_sender
  -o smtpd_relay_restrictions=reject_non_fqdn_recipient,reject_unauth_destination
{ip}:{nopipe} inet n - n - - smtpd
  -o syslog_name=postfix/nopipe
  -o smtpd_tls_security_level=may
  -o smtpd_discard_ehlo_keywords=silent-discard,pipelining
  -o smtpd_forbid_unauth_pipelining=yes
  -o smtpd_helo_restrictions=reject_non_fqdn_helo_hostname
  -o smtpd_sender_restrictions=reject_non_fqdn_sender
  -o smtpd_relay_restrictions=reject_non_fqdn_recipient,reject_unauth_destination
pickup    unix  n - n 60 1 pickup
cleanup   unix  n - n - 0 cleanup
qmgr      unix  n - n 300 1 qmgr
tlsmgr    unix  - - n 1000? 1 tlsmgr
rewrite   unix  - - n - - trivial-rewrite
bounce    unix  - - n - 0 bounce
defer     unix  - - n - 0 bounce
trace     unix  - - n - 0 bounce
verify    unix  - - n - 1 verify
flush     unix  n - n 1000? 0 flush
proxymap  unix  - - n - - proxymap
proxywrite unix - - n - 1 proxymap
smtp      unix  - - n - - smtp
relay     unix  - - n - - smtp
showq     unix  n - n - - showq
error     unix  - - n - - error
retry     unix  - - n - - error
discard   unix  - - n - - discard
anvil     unix  - - n - 1 anvil
scache    unix  - - n - 1 scache
postlog   unix-dgram n - n - 1 postlogd
"""

SMTPD_CONF = """\
pwcheck_method: auxprop
auxprop_plugin: sasldb
mech_list: PLAIN LOGIN
sasldb_path: {sasldb}
"""


class PostfixPeer:
    """The instance in `folder` (made afresh), its sink and their ports."""

    def __init__(self, folder, size_limit=SIZE_LIMIT):
        self.folder = os.path.abspath(folder)
        self.size_limit = size_limit
        # Where Postfix's own files are: a temporary folder, named in the
        # file "instance" of the folder given (for a later stop).
        self.instance = self.conf = self.log = None
        self.log_copy = os.path.join(self.folder, "postfix.log")
        self.capture = os.path.join(self.folder, "sink.jsonl")
        self.sink = None
        self.ports = {}
        self.started = False

    # -- set-up ------------------------------------------------------------
    def _use_instance(self, path):
        self.instance = path
        self.conf = os.path.join(path, "conf")
        self.log = os.path.join(path, "postfix.log")

    def _find_instance(self):
        try:
            with open(os.path.join(self.folder, "instance")) as f:
                self._use_instance(f.read().strip())
        except OSError:
            pass

    def _make_instance(self):
        path = tempfile.mkdtemp(prefix="ambrel-postfix-")
        if " " in path:  # a TMPDIR with a blank
            os.rmdir(path)
            path = tempfile.mkdtemp(prefix="ambrel-postfix-", dir="/tmp")
        # The daemons run as postfix: they must reach the queue and data.
        os.chmod(path, 0o755)
        self._use_instance(path)
        with open(os.path.join(self.folder, "instance"), "w") as f:
            f.write(path)

    def _write_config(self, sink_port):
        queue, data = os.path.join(self.instance, "queue"), os.path.join(self.instance, "data")
        for d in (self.conf, os.path.join(self.conf, "sasl"), queue, data):
            os.makedirs(d)
        self.cert, self.key, self.fingerprint = make_certificate(self.conf)
        # postfix refuses a data folder it does not own; the queue is root's
        # and postfix makes its sub-folders itself.
        shutil.chown(data, "postfix", "postfix")
        sasldb = os.path.join(self.conf, "sasl", "sasldb2")
        user, realm = USER.split("@")
        subprocess.run(["saslpasswd2", "-c", "-p", "-f", sasldb, "-u", realm, "-a", "smtpd", user],
                       input=PASSWORD.encode(), check=True, timeout=30, capture_output=True)
        # smtpd reads the database as postfix, after giving up root.
        shutil.chown(sasldb, "root", "postfix")
        os.chmod(sasldb, 0o640)
        with open(os.path.join(self.conf, "sasl", "smtpd.conf"), "w") as f:
            f.write(SMTPD_CONF.format(sasldb=sasldb))
        self.ports = {name: free_port() for name in ("submission", "smtps", "mx", "nopipe")}
        with open(os.path.join(self.conf, "main.cf"), "w") as f:
            f.write(MAIN_CF.format(conf=self.conf, queue=queue, data=data, log=self.log, sink_port=sink_port,
                                   relay_domains=RELAY_DOMAINS, size_limit=self.size_limit, cert=self.cert,
                                   key=self.key, user=USER))
        with open(os.path.join(self.conf, "master.cf"), "w") as f:
            f.write(MASTER_CF.format(ip="127.0.0.1", **self.ports))

    def _start_sink(self, detach=False):
        port = free_port()
        self.sink = subprocess.Popen(
            [PYTHON, "-m", "aiosmtpd", "-n", "-l", f"127.0.0.1:{port}", "-c", "capture_handler.Capture",
             self.capture], env=dict(os.environ, PYTHONPATH=HERE), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, start_new_session=detach)
        if not wait_for(lambda: greets(port) or self.sink.poll() is not None, 30) or self.sink.poll() is not None:
            raise RuntimeError("the aiosmtpd sink did not start")
        return port

    def _postfix(self, *args, timeout=60):
        return subprocess.run([POSTFIX, "-c", self.conf, *args], capture_output=True, text=True, timeout=timeout)

    def start(self, detach=False):
        if os.getuid() != 0:
            raise RuntimeError("a Postfix instance needs root")
        # A port picked free may be taken by another test before master binds
        # it: then the instance is made again on new ports.
        self._stop_leftover()
        for attempt in range(3):
            shutil.rmtree(self.folder, ignore_errors=True)
            os.makedirs(self.folder)
            self._make_instance()
            sink_port = self._start_sink(detach)
            self._write_config(sink_port)
            p = self._postfix("start")
            self.started = True
            listening = p.returncode == 0 and wait_for(
                lambda: greets(self.ports["submission"]) and greets(self.ports["mx"]) and greets(self.ports["nopipe"])
                and tls_greets(self.ports["smtps"]), 30, 0.2)
            if listening:
                return self
            detail = p.stdout + p.stderr + self.read_log()[-2000:]
            self.stop()
            if "Address already in use" not in detail or attempt == 2:
                raise RuntimeError("postfix did not start:\n" + detail)
        return self

    def _stop_leftover(self):
        """An earlier run that was killed may have left its instance (and,
        from the command line, its sink) running in this folder."""
        self._find_instance()
        if self.conf and os.path.exists(os.path.join(self.conf, "main.cf")) and self._master_pid():
            self.started = True
            try:
                self.stop()
            except RuntimeError:
                pass
        try:
            with open(os.path.join(self.folder, "peer.json")) as f:
                pid = json.load(f)["sink_pid"]
            if _is(pid, b"aiosmtpd"):
                os.kill(pid, signal.SIGTERM)
        except (OSError, ValueError, KeyError):
            pass

    def stop(self):
        if self.started:
            pid = self._master_pid()
            p = self._postfix("stop")
            self.started = False
            # `postfix stop` may return before master has gone: wait for it,
            # bounded, then end it the hard way.
            if pid and not wait_for(lambda: not _is(pid, b"master"), 20, 0.1):
                os.kill(pid, signal.SIGKILL)
            if p.returncode != 0 and pid:
                raise RuntimeError("postfix stop: " + p.stdout + p.stderr)
        if self.instance and not self._master_pid():
            # The log stays beside the capture; the rest goes.
            if os.path.exists(self.log):
                shutil.copyfile(self.log, self.log_copy)
            shutil.rmtree(self.instance, ignore_errors=True)
            try:
                os.remove(os.path.join(self.folder, "instance"))
            except OSError:
                pass
        if self.sink is not None:
            if self.sink.poll() is None:
                self.sink.terminate()
                try:
                    self.sink.wait(5)
                except subprocess.TimeoutExpired:
                    self.sink.kill()
                    self.sink.wait(5)
            self.sink = None

    def _master_pid(self):
        """The running master of this instance, 0 when none (a pid file left
        behind may name another process by now)."""
        if not self.instance:
            return 0
        try:
            with open(os.path.join(self.instance, "queue", "pid", "master.pid")) as f:
                pid = int(f.read().strip() or 0)
        except (OSError, ValueError):
            return 0
        return pid if pid and _is(pid, b"master") else 0

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # -- what happened -----------------------------------------------------
    def read_log(self):
        """The live log while the instance runs, its copy once it stopped."""
        for path in (self.log, self.log_copy):
            try:
                with open(path or "", errors="replace") as f:
                    return f.read()
            except OSError:
                pass
        return ""

    def messages(self):
        """What reached the sink: dicts with from, to and data (bytes)."""
        try:
            with open(self.capture) as f:
                lines = [json.loads(x) for x in f if x.strip()]
        except OSError:
            return []
        for m in lines:
            m["data"] = base64.b64decode(m["data"])
        return lines

    def queue_empty(self):
        """True when nothing waits in the instance's queue (all passed on)."""
        queue = os.path.join(self.instance, "queue")
        return not any(files for sub in ("incoming", "active", "deferred", "maildrop")
                       for _, _, files in os.walk(os.path.join(queue, sub)))

    def sessions(self, listener):
        """The command counts of each finished session on one listener, from
        smtpd's disconnect lines: [{"ehlo": 2, "mail": 1, ...}, ...]."""
        out = []
        for m in re.finditer(r"postfix/%s/smtpd\[\d+\]: disconnect from \S+ (.*)" % listener, self.read_log()):
            out.append({k: int(v.split("/")[-1]) for k, v in re.findall(r"(\w+)=(\S+)", m.group(1))})
        return out

    def sessions_logged(self, listener, before):
        """True once the listener has logged the end of more than `before`
        sessions and of every session it began: Postfix writes its log on its
        own time, a little after the client has gone."""
        log = self.read_log()
        begun = len(re.findall(r"postfix/%s/smtpd\[\d+\]: connect from" % listener, log))
        ended = len(re.findall(r"postfix/%s/smtpd\[\d+\]: disconnect from" % listener, log))
        return ended > before and ended == begun

    def describe(self):
        return {"ports": self.ports, "user": USER, "password": PASSWORD, "cert": self.cert,
                "fingerprint": self.fingerprint, "capture": self.capture, "log": self.log,
                "size_limit": self.size_limit}


def without_received(data):
    """The message as its client sent it: the sink gets it behind Postfix's
    Received: field (with its continuation lines)."""
    lines = data.split(b"\r\n")
    i = 0
    while i < len(lines) and (lines[i].startswith(b"Received:") or (i and lines[i][:1] in (b" ", b"\t"))):
        i += 1
    return b"\r\n".join(lines[i:])


def _is(pid, name):
    """True when process `pid` runs and its command line holds `name`."""
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return name in f.read()
    except OSError:
        return False


def main(argv):
    if len(argv) != 3 or argv[1] not in ("start", "stop"):
        print(__doc__, file=sys.stderr)
        return 2
    peer = PostfixPeer(argv[2])
    state = os.path.join(peer.folder, "peer.json")
    if argv[1] == "start":
        peer.start(detach=True)
        info = dict(peer.describe(), sink_pid=peer.sink.pid, folder=peer.folder)
        with open(state, "w") as f:
            json.dump(info, f)
        print(json.dumps(info))
        return 0
    try:
        with open(state) as f:
            info = json.load(f)
    except OSError:
        return 0
    peer._find_instance()
    peer.started = True
    try:
        peer.stop()
    finally:
        if _is(info["sink_pid"], b"aiosmtpd"):
            os.kill(info["sink_pid"], signal.SIGTERM)
        os.remove(state)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
