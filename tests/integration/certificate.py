"""The self-signed certificate every TLS test makes for its local server."""
import os
import subprocess


def make_certificate(folder, common_name="127.0.0.1", alt_names="IP:127.0.0.1"):
    """A certificate for 127.0.0.1 (or `common_name` with `alt_names`; None:
    no subjectAltName at all) with its key, in `folder`, and its SHA-256
    fingerprint as openssl prints it (upper-case hex with colons)."""
    cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
    san = ["-addext", "subjectAltName=" + alt_names] if alt_names else []
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "2", "-subj", "/CN=" + common_name] + san,
                   check=True, capture_output=True, timeout=60)
    out = subprocess.run(["openssl", "x509", "-in", cert, "-noout", "-fingerprint", "-sha256"],
                         check=True, capture_output=True, text=True, timeout=30).stdout
    return cert, key, out.strip().split("=", 1)[1]
