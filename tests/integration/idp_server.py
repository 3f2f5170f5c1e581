#!/usr/bin/python3
"""A local OAuth 2.0 identity provider over HTTPS for the sign-in tests.

usage: idp_server.py PORT CERT KEY FOLDER
FOLDER/config.json (read at every request, so a test changes it between runs):
  client_id, client_secret   what the client must send
  expires_in                 lifetime of the access tokens it issues
  pending_polls              device grant: polls answered authorization_pending
  slow_down_at               device grant: the poll (1-based) answered slow_down
  refuse                     "" | "invalid_grant" | "invalid_client" | "html": every token request
  interval, device_expires_in  device grant: what /devicecode answers (1 and 900)
  delay                      seconds every POST waits before it is answered
FOLDER/state.json (written by this server): "access" {token: expiry}, "refresh"
  [valid refresh tokens], "spent" [rotated ones]; the SMTP server checks the
  bearer against it.
FOLDER/requests.jsonl: one line per token request (grant type, poll number).
Endpoints: POST /token, POST /devicecode, GET /authorize (redirects to the
loopback redirect_uri with a code bound to its PKCE challenge).
Imported, it gives the tests write_config, read_state, read_requests and
issued_secrets for those files."""
import base64
import hashlib
import http.server
import json
import os
import secrets
import ssl
import sys
import threading
import time
import urllib.parse

CLIENT_ID, CLIENT_SECRET = "ambrel-test", "cl-s3cret"

folder = None  # the server's FOLDER, set when it runs
lock = threading.Lock()
devices = {}  # device_code -> polls so far
codes = {}    # authorization code -> (challenge, redirect_uri, client_id)


def write_config(where, **changes):
    """FOLDER/config.json: the tests' client, tokens for an hour, no
    pending polls, no refusal, and `changes`."""
    cfg = dict(client_id=CLIENT_ID, client_secret=CLIENT_SECRET, expires_in=3600, pending_polls=0,
               slow_down_at=0, refuse="")
    cfg.update(changes)
    with open(os.path.join(where, "config.json"), "w") as f:
        json.dump(cfg, f)


def read_state(where):
    path = os.path.join(where, "state.json")
    if os.path.exists(path):
        with open(path) as f:
            return json.load(f)
    return {"access": {}, "refresh": []}


def read_requests(where):
    path = os.path.join(where, "requests.jsonl")
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return [json.loads(x) for x in f]


def issued_secrets(where):
    """Every token the server issued (spent ones too) and the client
    secret: what no log may contain."""
    st = read_state(where)
    return list(st["access"]) + st["refresh"] + st.get("spent", []) + [CLIENT_SECRET]


def config():
    with open(os.path.join(folder, "config.json")) as f:
        return json.load(f)


def state():
    return read_state(folder)


def save(st):
    path = os.path.join(folder, "state.json")
    with open(path + ".tmp", "w") as f:
        json.dump(st, f)
    os.replace(path + ".tmp", path)


def note(entry):
    with open(os.path.join(folder, "requests.jsonl"), "a") as f:
        f.write(json.dumps(entry) + "\n")


def issue(cfg, with_refresh):
    st = state()
    access = "at-" + secrets.token_urlsafe(24)
    st["access"][access] = time.time() + cfg.get("expires_in", 3600)
    answer = {"access_token": access, "token_type": "Bearer", "expires_in": cfg.get("expires_in", 3600)}
    if with_refresh:
        refresh = "rt-" + secrets.token_urlsafe(24)
        st["refresh"].append(refresh)
        answer["refresh_token"] = refresh
    save(st)
    return answer


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def answer(self, code, body, content_type="application/json"):
        data = body.encode() if isinstance(body, str) else json.dumps(body).encode()
        self.send_response(code)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def form(self):
        n = int(self.headers.get("Content-Length", "0"))
        return {k: v[0] for k, v in urllib.parse.parse_qs(self.rfile.read(n).decode()).items()}

    def do_GET(self):
        url = urllib.parse.urlparse(self.path)
        q = {k: v[0] for k, v in urllib.parse.parse_qs(url.query).items()}
        if url.path != "/authorize":
            return self.answer(404, {"error": "not_found"})
        redirect = q.get("redirect_uri", "")
        # A native app's redirect is the loopback address (RFC 8252), S256 only.
        if not redirect.startswith("http://127.0.0.1:") or q.get("code_challenge_method") != "S256" or \
                q.get("client_id") != config()["client_id"] or q.get("response_type") != "code":
            return self.answer(400, "bad authorization request", "text/plain")
        code = "code-" + secrets.token_urlsafe(16)
        with lock:
            codes[code] = (q["code_challenge"], redirect, q["client_id"])
        self.send_response(302)
        self.send_header("Location", redirect + "?" + urllib.parse.urlencode({"code": code, "state": q.get("state", "")}))
        self.send_header("Content-Length", "0")
        self.end_headers()

    def do_POST(self):
        cfg = config()
        f = self.form()
        time.sleep(cfg.get("delay", 0))
        url = urllib.parse.urlparse(self.path)
        with lock:
            if url.path == "/devicecode":
                if f.get("client_id") != cfg["client_id"]:
                    return self.answer(400, {"error": "invalid_client", "error_description": "unknown client"})
                device = "dc-" + secrets.token_urlsafe(16)
                devices[device] = 0
                return self.answer(200, {"device_code": device, "user_code": "WDJB-MJHT",
                                         "verification_uri": "https://127.0.0.1/device",
                                         "expires_in": cfg.get("device_expires_in", 900),
                                         "interval": cfg.get("interval", 1)})
            if url.path != "/token":
                return self.answer(404, {"error": "not_found"})
            grant = f.get("grant_type", "")
            entry = {"grant_type": grant, "scope": f.get("scope", "")}
            refuse = cfg.get("refuse", "")
            if refuse == "html":
                note(entry)
                return self.answer(200, "<html>maintenance</html>", "text/html")
            if refuse == "invalid_client" or f.get("client_id") != cfg["client_id"] or \
                    (grant == "client_credentials" and f.get("client_secret") != cfg["client_secret"]):
                note(entry)
                return self.answer(401, {"error": "invalid_client", "error_description": "client authentication failed"})
            if refuse == "invalid_grant":
                note(entry)
                return self.answer(400, {"error": "invalid_grant", "error_description": "AADSTS70000: the grant is expired"})
            if grant == "client_credentials":
                note(entry)
                return self.answer(200, issue(cfg, False))
            if grant == "refresh_token":
                st = state()
                token = f.get("refresh_token", "")
                entry["known"] = token in st["refresh"]
                note(entry)
                if token not in st["refresh"]:
                    return self.answer(400, {"error": "invalid_grant", "error_description": "refresh token revoked"})
                # Rotation: the old refresh token is spent (and kept, for
                # the tests that grep the logs for every token).
                st["refresh"].remove(token)
                st.setdefault("spent", []).append(token)
                save(st)
                return self.answer(200, issue(cfg, True))
            if grant == "urn:ietf:params:oauth:grant-type:device_code":
                device = f.get("device_code", "")
                if device not in devices:
                    note(entry)
                    return self.answer(400, {"error": "expired_token"})
                devices[device] += 1
                entry["poll"] = devices[device]
                note(entry)
                if devices[device] == cfg.get("slow_down_at", 0):
                    return self.answer(400, {"error": "slow_down"})
                if devices[device] <= cfg.get("pending_polls", 0):
                    return self.answer(400, {"error": "authorization_pending"})
                del devices[device]
                return self.answer(200, issue(cfg, True))
            if grant == "authorization_code":
                note(entry)
                challenge, redirect, client = codes.pop(f.get("code", ""), (None, None, None))
                verifier = f.get("code_verifier", "")
                want = base64.urlsafe_b64encode(hashlib.sha256(verifier.encode()).digest()).rstrip(b"=").decode()
                if challenge is None or want != challenge or f.get("redirect_uri") != redirect:
                    return self.answer(400, {"error": "invalid_grant", "error_description": "code, verifier or redirect wrong"})
                return self.answer(200, issue(cfg, True))
            note(entry)
            return self.answer(400, {"error": "unsupported_grant_type"})


def main():
    global folder
    port, cert, key, folder = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(cert, key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
