"""An aiosmtpd handler that records every transaction it accepts, one JSON
line per message (sender, recipients, the message bytes as received), in the
file named by its argument: `-c capture_handler.Capture FILE [hold-quit|drop-quit]`.
With `hold-quit` the reply to QUIT comes only after 10 seconds (and FILE.quit
marks that QUIT has come), so a test can stop the client between its accepted
message and the end of the session;
with `drop-quit` QUIT gets no reply at all: the connection is closed, as some
servers do.
A recipient whose name begins with "refuse" is refused for good (550); one
that begins with "later" is deferred (450) the first time it is named."""
import asyncio
import base64
import json


class Capture:
    def __init__(self, path, quit_mode=None):
        self.path = path
        self.quit_mode = quit_mode
        self.deferred = set()

    @classmethod
    def from_cli(cls, parser, *args):
        if len(args) not in (1, 2) or args[1:] not in ((), ("hold-quit",), ("drop-quit",)):
            parser.error("Capture takes the output file name and optionally hold-quit or drop-quit")
        return cls(args[0], args[1] if len(args) == 2 else None)

    async def handle_QUIT(self, server, session, envelope):
        if self.quit_mode == "hold-quit":
            # FILE.quit tells the test that the client is past the reply to
            # its last message: it is waiting for this one.
            open(self.path + ".quit", "w").close()
            await asyncio.sleep(10)
        elif self.quit_mode == "drop-quit":
            # Closed at once: the reply the server then writes goes nowhere.
            server.transport.abort()
        return "221 Bye"

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.lower().startswith("refuse"):
            return "550 5.1.1 no such user here"
        if address.lower().startswith("later") and address not in self.deferred:
            self.deferred.add(address)
            return "450 4.2.1 try again later"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        record = {
            "from": envelope.mail_from,
            "to": envelope.rcpt_tos,
            "data": base64.b64encode(envelope.original_content or b"").decode(),
        }
        with open(self.path, "a") as f:
            f.write(json.dumps(record) + "\n")
        return "250 OK"
