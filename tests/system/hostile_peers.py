"""Peers that misbehave, for the whole-program tests: a station that answers whatever a test sets
(a title, raw bytes, garbage, a huge body, nothing, or never), random requests at the program's
own server, and connections that are opened and then left silent.

Every loop here is bounded in count and in time, and everything listens and connects on
loopback only."""
import collections
import errno
import random
import select
import socket
import threading
import time

HANG_LIMIT_SECONDS = 20  # a hanging answer is released at the latest after this


class RawStation:
    """A station written on bare sockets, so it can send what no HTTP server would. Every
    connection is answered in the mode set at the moment it was accepted:

      ("text", title)           a proper 200 answer with the title as plain text
      ("http", status, body)    a proper answer with that status and body (bytes)
      ("raw", data)             the bytes as they are, no HTTP at all, then close
      ("huge", total, length)   a 200 answer whose body goes on for `total` bytes; the
                                Content-Length header is sent only when `length` is true
      ("close",)                accepted and closed at once, nothing read or sent
      ("hang",)                 the request is read, then nothing is ever sent (until the mode
                                changes, the station closes, or HANG_LIMIT_SECONDS pass)
    """

    def __init__(self):
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(64)
        self._listener.settimeout(0.2)
        self.port = self._listener.getsockname()[1]
        self._lock = threading.Lock()
        self._mode = ("text", "Station Artist - Station Song")
        self._phase = 0
        self._mode_changed = threading.Event()
        self._stop = threading.Event()
        self.accepted = collections.Counter()  # per phase
        self.finished = collections.Counter()  # per phase, once the answer is over
        self._thread = threading.Thread(target=self._accept_loop, daemon=True)
        self._thread.start()

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def set(self, *mode):
        """Sets the answer for the connections from now on; returns the phase number that
        `counts` takes."""
        with self._lock:
            self._mode = mode
            self._phase += 1
            phase = self._phase
            released, self._mode_changed = self._mode_changed, threading.Event()
        released.set()
        return phase

    def counts(self, phase):
        """(connections accepted, connections over) in the phase."""
        with self._lock:
            return self.accepted[phase], self.finished[phase]

    def close(self):
        self._stop.set()
        self._mode_changed.set()
        self._thread.join(timeout=5)
        self._listener.close()

    def _accept_loop(self):
        while not self._stop.is_set():
            try:
                conn, _ = self._listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            with self._lock:
                mode, phase, changed = self._mode, self._phase, self._mode_changed
                self.accepted[phase] += 1
            threading.Thread(target=self._serve, args=(conn, mode, phase, changed), daemon=True).start()

    def _read_request(self, conn):
        data = b""
        deadline = time.monotonic() + 2
        while b"\r\n\r\n" not in data and len(data) < 16384 and time.monotonic() < deadline:
            try:
                piece = conn.recv(4096)
            except OSError:
                break
            if not piece:
                break
            data += piece
        return data

    def _serve(self, conn, mode, phase, changed):
        name = mode[0]
        try:
            conn.settimeout(2)
            if name == "close":
                return
            self._read_request(conn)
            if name == "text":
                body = mode[1].encode("utf-8")
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\n"
                             b"Content-Length: %d\r\nConnection: close\r\n\r\n" % len(body) + body)
            elif name == "http":
                status, body = mode[1], mode[2]
                conn.sendall(b"HTTP/1.1 %d Whatever\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n"
                             b"Connection: close\r\n\r\n" % (status, len(body)) + body)
            elif name == "raw":
                conn.sendall(mode[1])
            elif name == "huge":
                total, with_length = mode[1], mode[2]
                head = b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nConnection: close\r\n"
                if with_length:
                    head += b"Content-Length: %d\r\n" % total
                conn.sendall(head + b"\r\n")
                piece = (b"Huge Artist - Endless Song " * 2500)[:65536]
                sent = 0
                deadline = time.monotonic() + 10
                while sent < total and time.monotonic() < deadline and not self._stop.is_set():
                    conn.sendall(piece)  # the reader stopping shows up as a time-out or reset
                    sent += len(piece)
            elif name == "hang":
                changed.wait(HANG_LIMIT_SECONDS)
        except OSError:
            pass
        finally:
            try:
                conn.close()
            finally:
                with self._lock:
                    self.finished[phase] += 1


def garbage(rng, size):
    """Bytes a careless peer might send: random bytes with NULs, control characters, stray
    UTF-8 lead and continuation bytes, quotes, backslashes and brackets mixed in."""
    alphabet = (list(range(256)) + [0] * 16 + list(b'"\\{}[]<>&;:\r\n\t%') * 4 +
                [0xC3, 0xE2, 0xF0, 0x80, 0xBF, 0xFF] * 8)
    return bytes(rng.choice(alphabet) for _ in range(size))


# ---- random requests at the program's server ----

ROUTES = ["/", "/index.html", "/api/channels", "/api/channel", "/api/images_toggle", "/api/info", "/image",
          "/API/INFO", "/api/info/", "/favicon.ico", "", "*", "//", "/..%2f..%2fetc", "/api/channel%00"]
METHODS = ["GET", "GET", "GET", "POST", "HEAD", "PUT", "DELETE", "OPTIONS", "get", "CONNECT", "G\x00T",
           "GETT", "XXXXXXXXXXXXXXXXXXXXXXXXXXXX"]


def _random_query(rng):
    keys = ["index", "enabled", "x", "index", "xindex", "", "enabled"]
    values = ["0", "1", "2", "-1", "3", "99", "2147483647", "-2147483648", "4294967297", "abc", "", "1e9",
              "%00", " 1", "+2", "0x1", "9" * 40]
    parts = ["%s=%s" % (rng.choice(keys), rng.choice(values)) for _ in range(rng.randrange(1, 4))]
    return "?" + rng.choice(["&", "&&", ";"]).join(parts)


def random_request(rng):
    """One request's bytes; never one that could reach "/stop" (the program would end)."""
    kind = rng.randrange(10)
    if kind == 0:
        data = garbage(rng, rng.randrange(0, 3000))
    elif kind == 1:  # an over-long request line
        data = ("GET /" + "a" * rng.randrange(2000, 12000) + " HTTP/1.1\r\n\r\n").encode()
    elif kind == 2:  # a header flood after a good request line
        data = b"GET /api/info HTTP/1.1\r\n" + b"".join(
            b"X-%d: %s\r\n" % (i, b"v" * rng.randrange(0, 300)) for i in range(rng.randrange(1, 60))) + b"\r\n"
    elif kind == 3:  # odd line ends, NULs and bare tokens
        data = rng.choice([b"GET", b"GET ", b"GET /api/info", b"\r\n\r\n", b"\x00\x00\x00", b"GET\t/api/info\n\n",
                           b"GET /api/info HTTP/1.1\n\n", b" GET /api/info", b"GET /api/info\x00/x HTTP/1.0\r\n\r\n"])
    elif kind == 4:  # random bytes in the target
        target = b"/" + bytes(rng.randrange(33, 256) for _ in range(rng.randrange(0, 600)))
        data = b"GET " + target + b" HTTP/1.1\r\n\r\n"
    else:  # a well-formed request with a random method, route and query
        route = rng.choice(ROUTES)
        if rng.random() < 0.5:
            route += _random_query(rng)
        data = ("%s %s HTTP/1.%d\r\nHost: 127.0.0.1\r\n\r\n" % (rng.choice(METHODS), route, rng.randrange(2))).encode(
            "utf-8", "replace")
    if b"stop" in data.lower():
        data = data.lower().replace(b"stop", b"stay")
    return data


def one_exchange(port, data, split=False, timeout=5.0):
    """Sends data, half-closes, reads until the end. Returns 'answered', 'closed', 'reset',
    'refused' or 'timeout'."""
    try:
        conn = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    except socket.timeout:
        return "timeout"
    except OSError:
        return "refused"
    try:
        conn.settimeout(timeout)
        try:
            if split and len(data) > 1:
                cut = len(data) // 2
                conn.sendall(data[:cut])
                time.sleep(0.01)
                conn.sendall(data[cut:])
            elif data:
                conn.sendall(data)
            conn.shutdown(socket.SHUT_WR)
        except socket.timeout:
            return "timeout"
        except OSError:
            pass  # the server may close before it took everything: read what it said
        got = b""
        while len(got) < 8 * 1024 * 1024:
            try:
                piece = conn.recv(65536)
            except socket.timeout:
                return "timeout"
            except OSError:
                return "answered" if got.startswith(b"HTTP/1.1 ") else "reset"
            if not piece:
                break
            got += piece
        return "answered" if got.startswith(b"HTTP/1.1 ") else "closed"
    finally:
        conn.close()


def send_random_requests(port, count, seconds, seed, stop=None):
    """Up to `count` random requests, one after another, for at most `seconds`."""
    rng = random.Random(seed)
    results = collections.Counter()
    deadline = time.monotonic() + seconds
    for _ in range(count):
        if time.monotonic() >= deadline or (stop is not None and stop.is_set()):
            break
        data = random_request(rng)
        results[one_exchange(port, data, split=rng.random() < 0.05)] += 1
    return results


def open_silent_connections(port, count, seconds=3.0):
    """Opens up to `count` connections that send nothing. Returns the connected sockets; the
    caller holds them and closes them."""
    pending = []
    for _ in range(count):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setblocking(False)
        code = s.connect_ex(("127.0.0.1", port))
        if code not in (0, errno.EINPROGRESS, errno.EWOULDBLOCK):
            s.close()
            continue
        pending.append(s)
    connected = []
    deadline = time.monotonic() + seconds
    while pending and time.monotonic() < deadline:
        _, writable, _ = select.select([], pending, [], max(0.0, deadline - time.monotonic()))
        for s in writable:
            pending.remove(s)
            if s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) == 0:
                connected.append(s)
            else:
                s.close()
    for s in pending:
        s.close()
    return connected
