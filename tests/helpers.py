"""What every Python test of the project shares: a free port on 127.0.0.1,
whether a server listens there, a bounded wait that polls, an INI file
written with CR LF line ends, and named checks that print as they come.

The Wine tests take them through winetest; the integration and console
tests and the benchmark put this folder on sys.path."""
import socket
import time


def free_port():
    """A port on 127.0.0.1 that nothing listens on now."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port, timeout=1.0):
    """Whether a server accepts connections on 127.0.0.1:port."""
    try:
        socket.create_connection(("127.0.0.1", port), timeout).close()
        return True
    except OSError:
        return False


def wait_for(predicate, limit=15.0, interval=0.05):
    """Polls until predicate() gives a true value or `limit` seconds pass;
    returns the last value."""
    end = time.time() + limit
    while True:
        value = predicate()
        if value or time.time() >= end:
            return value
        time.sleep(interval)


def write_ini(path, text):
    """The INI file as the program's users have it: CR LF line ends."""
    with open(path, "w", newline="\r\n") as f:
        f.write(text)


class Results:
    """Collects named checks and prints them as they come."""

    def __init__(self):
        self.failed = 0
        self.count = 0

    def check(self, name, cond, detail=""):
        self.count += 1
        if not cond:
            self.failed += 1
        print(("ok   " if cond else "FAIL ") + name + ("" if cond or not detail else "\n     " + str(detail)),
              flush=True)
        return cond

    def finish(self):
        print(f"{self.count - self.failed}/{self.count} checks passed", flush=True)
        return 1 if self.failed else 0
