"""An aiosmtpd handler that records every transaction it accepts, one JSON
line per message (sender, recipients, the message bytes as received), in the
file named by its argument: `-c capture_handler.Capture FILE [hold-quit]`.
With `hold-quit` the reply to QUIT comes only after 10 seconds, so a test can
stop the client between its accepted message and the end of the session.
A recipient whose name begins with "refuse" is refused for good (550)."""
import asyncio
import base64
import json


class Capture:
    def __init__(self, path, hold_quit=False):
        self.path = path
        self.hold_quit = hold_quit

    @classmethod
    def from_cli(cls, parser, *args):
        if len(args) not in (1, 2) or args[1:] not in ((), ("hold-quit",)):
            parser.error("Capture takes the output file name and optionally hold-quit")
        return cls(args[0], len(args) == 2)

    async def handle_QUIT(self, server, session, envelope):
        if self.hold_quit:
            await asyncio.sleep(10)
        return "221 Bye"

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.lower().startswith("refuse"):
            return "550 5.1.1 no such user here"
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
