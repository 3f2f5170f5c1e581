"""An aiosmtpd handler that records every transaction it accepts, one JSON
line per message (sender, recipients, the message bytes as received), in the
file named by its argument: `-c capture_handler.Capture FILE`."""
import base64
import json


class Capture:
    def __init__(self, path):
        self.path = path

    @classmethod
    def from_cli(cls, parser, *args):
        if len(args) != 1:
            parser.error("Capture takes the output file name")
        return cls(args[0])

    async def handle_DATA(self, server, session, envelope):
        record = {
            "from": envelope.mail_from,
            "to": envelope.rcpt_tos,
            "data": base64.b64encode(envelope.original_content or b"").decode(),
        }
        with open(self.path, "a") as f:
            f.write(json.dumps(record) + "\n")
        return "250 OK"
