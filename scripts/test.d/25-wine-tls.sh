#!/usr/bin/env bash
# The TLS channel (SChannel) and the protected secrets under Wine, against a
# TLS server of our own on 127.0.0.1 with a certificate made for the run.
set -euo pipefail
ROOT=$1
source "$ROOT/scripts/wine_env.sh"
wine_init
work=$(mktemp -d)
server=
old=
idp=
reneg=
typist=
cleanup() {
    for pid in $server $old $reneg $typist $idp; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    exec 3>&- 4>&- 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost \
    -addext subjectAltName=DNS:localhost,IP:127.0.0.1 \
    -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
pin=$(openssl x509 -in "$work/cert.pem" -outform DER | sha256sum | cut -d' ' -f1)

# Each TLS connection's first line says what the server does: "echo N" reads
# N bytes and sends them back, "close" answers "bye" and sends the closing
# alert, "drop" cuts the connection, "silent" waits for the client to go. The
# plain port greets like an SMTP server and waits.
/usr/bin/python3 -u - "$work" >"$work/ports" <<'PY' &
import socket, ssl, sys, threading
work = sys.argv[1]
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
ctx.load_cert_chain(work + "/cert.pem", work + "/key.pem")

def listener():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    s.listen(8)
    return s

def line(c):
    b = b""
    while not b.endswith(b"\n"):
        d = c.recv(1)
        if not d:
            return None
        b += d
    return b.decode().split()

def exact(c, n):
    b = b""
    while len(b) < n:
        d = c.recv(min(65536, n - len(b)))
        if not d:
            break
        b += d
    return b

def serve_tls(raw):
    raw.settimeout(30)
    try:
        c = ctx.wrap_socket(raw, server_side=True)
        while True:
            cmd = line(c)
            if not cmd:
                break
            if cmd[0] == "echo":
                c.sendall(exact(c, int(cmd[1])))
            elif cmd[0] == "close":
                c.sendall(b"bye\n")
                c.unwrap()
                break
            elif cmd[0] == "drop":
                break
            elif cmd[0] == "silent":
                while c.recv(4096):
                    pass
                break
    except (OSError, ValueError):
        pass  # refused handshakes end here
    finally:
        raw.close()

def serve_plain(c):
    c.settimeout(30)
    try:
        c.sendall(b"220 localhost ESMTP\r\n")
        while c.recv(4096):
            pass
    except OSError:
        pass
    finally:
        c.close()

def accept(s, handler):
    while True:
        c, _ = s.accept()
        threading.Thread(target=handler, args=(c,), daemon=True).start()

t, p = listener(), listener()
threading.Thread(target=accept, args=(p, serve_plain), daemon=True).start()
print(t.getsockname()[1], p.getsockname()[1], flush=True)
accept(t, serve_tls)
PY
server=$!
for _ in $(seq 100); do [ -s "$work/ports" ] && break; sleep 0.1; done
read -r tls_port plain_port <"$work/ports" || { echo "FAIL the test server did not start"; exit 1; }

# openssl s_server on a port of its own, named $1, with the options after
# it; its console is a FIFO held open on descriptor $2, since s_server ends
# at the end of its input. Sets s_pid and s_port.
start_s_server() {
    local name=$1 fd=$2
    shift 2
    mkfifo "$work/${name}_console"
    openssl s_server -accept 127.0.0.1:0 "$@" <"$work/${name}_console" >"$work/${name}_out" 2>&1 &
    s_pid=$!
    eval "exec $fd>\"\$work/${name}_console\""
    s_port=
    for _ in $(seq 100); do
        s_port=$(sed -n 's/^ACCEPT .*:\([0-9]*\)$/\1/p' "$work/${name}_out")
        [ -n "$s_port" ] && return 0
        sleep 0.1
    done
    echo "FAIL the $name server did not start"
    cat "$work/${name}_out"
    exit 1
}

# A server that offers TLS 1.1 at most (OpenSSL allows it only at security
# level 0), with the same certificate.
start_s_server old 3 -tls1_1 -cipher 'DEFAULT:@SECLEVEL=0' -cert "$work/cert.pem" -key "$work/key.pem"
old=$s_pid old_port=$s_port
# The server does complete a TLS 1.1 handshake: the refusal below is the
# client's.
if ! echo | timeout 20 openssl s_client -tls1_1 -cipher 'DEFAULT:@SECLEVEL=0' -connect "127.0.0.1:$old_port" \
        2>/dev/null | grep -q 'Protocol  *: TLSv1.1'; then
    echo "FAIL the TLS 1.1 server does not speak TLS 1.1"; exit 1
fi
# TLS 1.2 alone, with a certificate that names localhost only in its common
# name; when a client sends "reneg", "r" at the console makes the server
# ask for a new handshake.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost \
    -keyout "$work/cn_key.pem" -out "$work/cn_cert.pem" 2>/dev/null
cn_pin=$(openssl x509 -in "$work/cn_cert.pem" -outform DER | sha256sum | cut -d' ' -f1)
start_s_server reneg 4 -tls1_2 -cert "$work/cn_cert.pem" -key "$work/cn_key.pem"
reneg=$s_pid reneg_port=$s_port
(for _ in $(seq 3000); do grep -q '^reneg' "$work/reneg_out" && { echo r >&4; exit 0; }; sleep 0.1; done) &
typist=$!
# The local identity provider for the token endpoints' client (WinHTTP).
idp_port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
mkdir -p "$work/idp"
echo '{"client_id": "ambrel-test", "client_secret": "cl-s3cret"}' >"$work/idp/config.json"
/usr/bin/python3 "$ROOT/tests/integration/idp_server.py" "$idp_port" "$work/cert.pem" "$work/key.pem" "$work/idp" &
idp=$!
for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$idp_port") 2>/dev/null && break; sleep 0.1; done
cd "$BUILD_WIN64"
timeout 180 wine ./tls_check.exe "$tls_port" "$plain_port" "$pin" "$old_port" "$idp_port"
# The run's certificates added to the prefix's Root store: WinHTTP then
# trusts the identity provider, and the CN-only certificate is refused for
# its name alone. (Last: the checks above want them untrusted.)
timeout 60 wine ./probe.exe trust-root "$(winepath -w "$work/cert.pem")"
timeout 60 wine ./probe.exe trust-root "$(winepath -w "$work/cn_cert.pem")"
timeout 90 wine ./tls_check.exe trusted "$idp_port" "$reneg_port" "$cn_pin"
