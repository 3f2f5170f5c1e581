#!/usr/bin/python3
"""An aiosmtpd server for the TLS and login tests, behind a recording relay:
every byte the client sends crosses the relay and is appended to RAW as it
came off the wire, so a test can prove what crossed in clear text.

usage: tls_server.py MODE PORT CERT KEY CAPTURE RAW USER PASSWORD
  MODE: starttls  STARTTLS offered and required, AUTH offered after it
        starttls-login  the same, with AUTH LOGIN only
        starttls-noauth the same, with neither AUTH PLAIN nor AUTH LOGIN
        tls       TLS from the first byte, AUTH offered
        plain     no STARTTLS at all (AUTH offered in clear text, as a careless
                  server may: the client must still not use it)
        xoauth2   STARTTLS, then AUTH XOAUTH2 and OAUTHBEARER only; PASSWORD is
                  the identity provider's state file, whose unexpired access
                  tokens are the valid bearers (a refused one gets the error
                  challenge first)
        oauthbearer the same with OAUTHBEARER only
RAW "-" leaves the relay out (the server listens on PORT itself: for
timings). Accepted messages go to CAPTURE as capture_handler.Capture writes them, with
whether the session had logged in and ran over TLS (CAPTURE.login). Runs until terminated."""
import atexit
import base64
import json
import os
import shutil
import signal
import socket
import ssl
import sys
import tempfile
import threading
import time

from aiosmtpd.controller import Controller, UnixSocketController
from aiosmtpd.smtp import AuthResult

import capture_handler

mode, port, cert, key, capture, raw, user, password = sys.argv[1:9]
port = int(port)


class Handler(capture_handler.Capture):
    async def handle_DATA(self, server, session, envelope):
        reply = await super().handle_DATA(server, session, envelope)
        with open(self.path + ".login", "a") as f:
            f.write(json.dumps({"authenticated": bool(session.authenticated),
                                "tls": session.ssl is not None or
                                server.transport.get_extra_info("ssl_object") is not None}) + "\n")
        return reply


def authenticate(server, session, envelope, mechanism, auth_data):
    with open(capture + ".mechanism", "a") as f:
        f.write(mechanism + "\n")
    ok = auth_data.login == user.encode() and auth_data.password == password.encode()
    return AuthResult(success=ok, handled=False)


def bearer_valid(token):
    with open(password) as f:
        expiry = json.load(f)["access"].get(token)
    return expiry is not None and expiry > time.time()


async def oauth_login(server, args, bearer):
    mechanism = "OAUTHBEARER" if bearer else "XOAUTH2"
    with open(capture + ".mechanism", "a") as f:
        f.write(mechanism + "\n")
    fields = base64.b64decode(args[1]).decode().split("\x01") if len(args) > 1 else []
    login = fields[0][len("n,a="):].rstrip(",") if bearer else fields[0][len("user="):] if fields else ""
    token = next((x[len("auth=Bearer "):] for x in fields if x.startswith("auth=Bearer ")), "")
    if login == user and bearer_valid(token):
        return AuthResult(success=True, handled=False, auth_data=login)
    with open(capture + ".refused", "a") as f:
        f.write(mechanism + "\n")
    # The error challenge (RFC 7628 and its XOAUTH2 forerunner); the
    # client's answer to it ends the exchange with the failure.
    await server.challenge_auth(json.dumps({"status": "401", "schemes": "bearer", "scope": "smtp"}))
    return AuthResult(success=False, handled=False, message="535 5.7.8 Authentication unsuccessful")


class OAuthHandler(Handler):
    async def auth_XOAUTH2(self, server, args):
        return await oauth_login(server, args, False)

    async def auth_OAUTHBEARER(self, server, args):
        return await oauth_login(server, args, True)


if mode in ("xoauth2", "oauthbearer"):
    Handler = OAuthHandler

context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
context.load_cert_chain(cert, key)
kwargs = dict(authenticator=authenticate, server_hostname="peer.test")
if mode in ("xoauth2", "oauthbearer"):
    kwargs.update(tls_context=context, require_starttls=True, auth_require_tls=True,
                  auth_exclude_mechanism=["PLAIN", "LOGIN"] + (["XOAUTH2"] if mode == "oauthbearer" else []))
elif mode.startswith("starttls"):
    kwargs.update(tls_context=context, require_starttls=True, auth_require_tls=True)
    if mode == "starttls-login":
        kwargs.update(auth_exclude_mechanism=["PLAIN"])
    elif mode == "starttls-noauth":
        kwargs.update(auth_exclude_mechanism=["PLAIN", "LOGIN"])
elif mode == "tls":
    kwargs.update(ssl_context=context, auth_require_tls=False)
else:
    kwargs.update(auth_require_tls=False)

# A loaded machine may need more than the library's 5 s to start a server.
kwargs.update(ready_timeout=60)
if raw == "-":
    controller = Controller(Handler(capture), hostname="127.0.0.1", port=port, **kwargs)
    controller.start()
    threading.Event().wait()

# The port the test chose is taken at once. The inner server listens on a
# Unix socket: a TCP port picked free here could be the port another test
# server was given and has not bound yet.
listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", port))
listener.listen(8)
inner_dir = tempfile.mkdtemp(prefix="ambrel-tls-")
inner_path = os.path.join(inner_dir, "smtp")
# The test ends the server with SIGTERM: leave through exit, so that the
# socket's folder goes too.
atexit.register(shutil.rmtree, inner_dir, True)
signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
controller = UnixSocketController(Handler(capture), unix_socket=inner_path, **kwargs)
controller.start()

lock = threading.Lock()


def pump(src, dst, record):
    try:
        while True:
            data = src.recv(65536)
            if not data:
                break
            if record:
                with lock, open(raw, "ab") as f:
                    f.write(data)
            dst.sendall(data)
    except OSError:
        pass
    for s in (src, dst):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


while True:
    client, _ = listener.accept()
    inner = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        inner.connect(inner_path)
    except OSError:
        # One refused connection, not the end of the server.
        inner.close()
        client.close()
        continue
    threading.Thread(target=pump, args=(client, inner, True), daemon=True).start()
    threading.Thread(target=pump, args=(inner, client, False), daemon=True).start()
