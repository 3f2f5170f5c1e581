#!/usr/bin/env bash
# The main job, end to end on this machine: build the console host, start a
# local SMTP server, relay the sample .CNM files of two mailboxes through it,
# and show what arrived.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
bash scripts/setup.sh
cmake -S . -B build/native -G Ninja >/dev/null
ninja -C build/native ambrel >/dev/null

DEMO=$ROOT/build/demo
rm -rf "$DEMO"
mkdir -p "$DEMO/mail/john" "$DEMO/mail/orders" "$DEMO/bad"
cp samples/1A2B3C.CNM "$DEMO/mail/john/"
cp samples/4D5E6F.CNM "$DEMO/mail/orders/"
: > "$DEMO/mail/john/EMPTY.CNM"   # a zero-size file is reported and left alone

PORT=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cat > "$DEMO/demo.ini" <<INI
[Ambrel]
Version=0.28
LoopDelay=5
UserFolder=$DEMO/mail/
Badmails=$DEMO/bad
LogName=$DEMO/demo.log
Domains=2
MailBoxes=2
[Domains]
Domain1=example.org
SMTPServer1=127.0.0.1:$PORT
Domain2=example.net
SMTPServer2=127.0.0.1:$PORT
[MailBoxes]
Mailbox1=john;john;1
Mailbox2=dm:orders;@$DEMO/mail/orders;2
INI

/usr/bin/python3 -m aiosmtpd -n -l "127.0.0.1:$PORT" -c aiosmtpd.handlers.Debugging stdout \
  > "$DEMO/received.txt" 2>&1 &
SINK=$!
trap 'kill $SINK 2>/dev/null || true' EXIT
for _ in $(seq 50); do
  /usr/bin/python3 -c "import socket,sys; socket.create_connection(('127.0.0.1',$PORT),1)" 2>/dev/null && break
  sleep 0.1
done

echo "===== relay (console host, one cycle) ====="
AMBREL_CYCLES=1 timeout 120 build/native/ambrel "$DEMO/demo.ini"
sleep 0.5
echo
echo "===== received by the local SMTP server ====="
cat "$DEMO/received.txt"
echo "===== left in the mailboxes ====="
(cd "$DEMO/mail" && find . -type f | sort)
echo "===== log file $DEMO/demo.log ====="
cat "$DEMO/demo.log"
