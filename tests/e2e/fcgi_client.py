#!/usr/bin/env python3
"""A small FastCGI client for the end-to-end tests: well-formed requests, and the
malformed and abandoned ones a server must survive. Talks only to a Unix socket or to 127.0.0.1.

  fcgi_client.py SOCKET get QUERY                 -> prints the raw CGI response
  fcgi_client.py SOCKET post QUERY FILE           -> the raw CGI response to FILE posted as a form
  fcgi_client.py SOCKET faults                    -> every fault case and 10,000 dropped
                                                     connections, each followed by a served
                                                     request: "ok NAME" or "FAIL after NAME"
  fcgi_client.py SOCKET endless                   -> a request whose body never ends
  fcgi_client.py SOCKET repeat N WORD             -> N requests in a row for hello.web+WORD:
                                                     how many were served correctly
  fcgi_client.py SOCKET pieces WORD               -> hello.web+WORD sent in pieces (the begin,
                                                     the params, the input's end), each way of
                                                     cutting it: "ok" or the first that failed
On one kept connection (the begin record's keep-connection flag set):
  fcgi_client.py SOCKET kept QUERY...             -> each QUERY's raw response in turn, then
                                                     "[open]" or "[closed]"
  fcgi_client.py SOCKET keptrepeat N WORD         -> N requests in turn: how many were served
  fcgi_client.py SOCKET keptpieces WORD           -> a request, then the next one in pieces
  fcgi_client.py SOCKET keptfaults                -> a request, then each fault case: "ok NAME"
                                                     when the server closed and serves on
  fcgi_client.py SOCKET keptidle                  -> a request, then "closed" once the server
                                                     closes the idle connection
  fcgi_client.py SOCKET crowd N                   -> N connections opened one after another,
                                                     each kept after a request: "served N"
  fcgi_client.py SOCKET keptwait QUERY1 QUERY2    -> QUERY1, "ready", QUERY2 on the same
                                                     connection: its raw response and whether
                                                     the connection then closed
  fcgi_client.py SOCKET keptdead                  -> a request, "ready", then what the
                                                     connection gives until it closes
"""
import socket
import struct
import sys
import time

BEGIN, ABORT, END, PARAMS, STDIN, STDOUT, STDERR = 1, 2, 3, 4, 5, 6, 7


def record(rtype, content, rid=1, declared=None):
    n = len(content) if declared is None else declared
    pad = (8 - len(content) % 8) % 8
    return struct.pack(">BBHHBB", 1, rtype, rid, n, pad, 0) + content + b"\0" * pad


def pair(name, value):
    def ln(n):
        return bytes([n]) if n < 128 else struct.pack(">I", n | 0x80000000)
    return ln(len(name)) + ln(len(value)) + name + value


def params(env):
    body = b"".join(pair(k.encode(), v.encode()) for k, v in env.items())
    out = b""
    for i in range(0, len(body), 65535):
        out += record(PARAMS, body[i:i + 65535])
    return out + record(PARAMS, b"")


def begin(keep=0):
    return record(BEGIN, struct.pack(">HB5x", 1, keep))


def cgi_env(query, method="GET", body=b"", ctype=""):
    return {"REQUEST_METHOD": method, "QUERY_STRING": query, "CONTENT_LENGTH": str(len(body)) if body else "",
            "CONTENT_TYPE": ctype, "GATEWAY_INTERFACE": "CGI/1.1", "SERVER_PROTOCOL": "HTTP/1.1",
            "SERVER_NAME": "localhost", "SERVER_PORT": "80", "SCRIPT_NAME": "/fcgi/tarnhost",
            "REMOTE_ADDR": "127.0.0.1"}


def connect(path):
    """A Unix socket path, or "tcp:PORT" for 127.0.0.1."""
    if path.startswith("tcp:"):
        s = socket.create_connection(("127.0.0.1", int(path[4:])), timeout=30)
    else:
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.connect(path)  # blocking: a full backlog makes a timed connect fail at once
        s.settimeout(30)
    return s


def read_response(s):
    """Returns (stdout bytes, app status or None when the connection closed early)."""
    data = b""
    while True:
        chunk = s.recv(65536)
        if not chunk:
            break
        data += chunk
    out, status, i = b"", None, 0
    while i + 8 <= len(data):
        _, rtype, _, n, pad, _ = struct.unpack(">BBHHBB", data[i:i + 8])
        content = data[i + 8:i + 8 + n]
        if rtype == STDOUT:
            out += content
        elif rtype == END and len(content) >= 4:
            status = struct.unpack(">I", content[:4])[0]
        i += 8 + n + pad
    return out, status


def request(path, env, body=b""):
    s = connect(path)
    stdin = b"".join(record(STDIN, body[i:i + 32768]) for i in range(0, len(body), 32768))
    s.sendall(begin() + params(env) + stdin + record(STDIN, b""))
    r = read_response(s)
    s.close()
    return r


def read_one(s):
    """One response on a kept connection, up to its end record: (stdout bytes, app status);
    status None when the connection closed first."""
    data, out = b"", b""
    while True:
        while len(data) >= 8:
            _, rtype, _, n, pad, _ = struct.unpack(">BBHHBB", data[:8])
            if len(data) < 8 + n + pad:
                break
            content, data = data[8:8 + n], data[8 + n + pad:]
            if rtype == STDOUT:
                out += content
            elif rtype == END:
                return out, struct.unpack(">I", content[:4])[0]
        chunk = s.recv(65536)
        if not chunk:
            return out, None
        data += chunk


def kept_request(s, env, body=b""):
    stdin = b"".join(record(STDIN, body[i:i + 32768]) for i in range(0, len(body), 32768))
    s.sendall(begin(1) + params(env) + stdin + record(STDIN, b""))
    return read_one(s)


def kept_served(s, word):
    out, status = kept_request(s, cgi_env("hello.web+" + word))
    return b"Command data: " + word.encode() in out and status == 0


def closed_by_server(s, secs=30):
    """True when the server ends the connection (nothing more arrives) within secs."""
    s.settimeout(secs)
    try:
        return s.recv(4096) == b""
    except ConnectionResetError:
        return True
    except OSError:
        return False


def fault_bytes(name):
    if name == "garbage":          # not FastCGI at all
        return b"GET / HTTP/1.0\r\n\r\n" + b"\xff" * 100
    if name == "bad-version":      # a record of protocol version 9
        return struct.pack(">BBHHBB", 9, BEGIN, 1, 8, 0, 0) + b"\0" * 8
    if name == "params-overrun":   # a name length far beyond its record
        return begin(1) + record(PARAMS, b"\x7f\x01QUERY") + record(PARAMS, b"")
    raise SystemExit("unknown fault " + name)


KEPT_FAULTS = ["garbage", "bad-version", "params-overrun"]


def fault(path, name):
    s = connect(path)
    if name == "garbage":          # not FastCGI at all
        s.sendall(b"GET / HTTP/1.0\r\n\r\n" + b"\xff" * 100)
    elif name == "bad-version":    # a record of protocol version 9
        s.sendall(struct.pack(">BBHHBB", 9, BEGIN, 1, 8, 0, 0) + b"\0" * 8)
    elif name == "params-overrun":  # a name length far beyond its record
        s.sendall(begin() + record(PARAMS, b"\x7f\x01QUERY") + record(PARAMS, b""))
    elif name == "long-length":    # a four-byte length of 2 GiB
        s.sendall(begin() + record(PARAMS, b"\xff\xff\xff\xff\x01A") + record(PARAMS, b""))
    elif name == "short-record":   # a header announcing more bytes than ever come
        s.sendall(begin() + record(PARAMS, b"\x01\x01AB", declared=4000))
    elif name == "no-begin":       # params before any begin record
        s.sendall(params({"REQUEST_METHOD": "GET"}))
    elif name == "mid-params":     # the client goes away half way through the params
        s.sendall(begin() + params(cgi_env("hello.web"))[:40])
    elif name == "mid-body":       # ... or half way through a posted body
        s.sendall(begin() + params(cgi_env("form_post.web", "POST", b"x" * 1000)) + record(STDIN, b"name=a"))
    elif name == "mid-response":   # ... or before reading the response
        s.sendall(begin() + params(cgi_env("hello.web")) + record(STDIN, b""))
    else:
        raise SystemExit("unknown fault " + name)
    s.settimeout(5)
    try:
        if name not in ("mid-params", "mid-body", "mid-response", "short-record", "no-begin"):
            while s.recv(4096):
                pass
    except OSError:
        pass
    s.close()


FAULTS = ["garbage", "bad-version", "params-overrun", "long-length", "short-record", "no-begin", "mid-params",
          "mid-body", "mid-response"]


def served(path, word):
    out, status = request(path, cgi_env("hello.web+" + word))
    return b"Command data: " + word.encode() in out and status == 0


def main():
    path, what = sys.argv[1], sys.argv[2]
    if what == "get":
        out, status = request(path, cgi_env(sys.argv[3]))
        sys.stdout.buffer.write(out)
        sys.stdout.buffer.write(b"\n[status %s]\n" % str(status).encode())
    elif what == "post":
        with open(sys.argv[4], "rb") as f:
            body = f.read()
        out, status = request(path, cgi_env(sys.argv[3], "POST", body, "application/x-www-form-urlencoded"), body)
        sys.stdout.buffer.write(out)
        sys.stdout.buffer.write(b"\n[status %s]\n" % str(status).encode())
    elif what == "faults":        # every fault case, each followed by a request that must be served
        for name in FAULTS:
            fault(path, name)
            print(("ok " if served(path, name) else "FAIL after ") + name)
        for _ in range(10000):
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            s.connect(path)
            s.close()
        print(("ok " if served(path, "dropped") else "FAIL after ") + "10000 dropped connections")
    elif what == "repeat":
        n, word = int(sys.argv[3]), sys.argv[4]
        print(sum(1 for _ in range(n) if served(path, word)))
    elif what == "pieces":        # the server's first read sees only part of the request
        word = sys.argv[3]
        whole = begin() + params(cgi_env("hello.web+" + word)) + record(STDIN, b"")
        for cut in (16, len(whole) - 9, len(whole) - 8, len(whole) - 1):
            s = connect(path)
            s.sendall(whole[:cut])
            time.sleep(0.05)  # lets the server read the first piece on its own
            try:
                s.sendall(whole[cut:])
            except BrokenPipeError:
                pass  # a request without content may be answered before its input's end
            try:
                out, status = read_response(s)  # a reset instead of the end fails here
            except ConnectionResetError:
                out, status = b"", "reset"
            s.close()
            if b"Command data: " + word.encode() not in out or status != 0:
                print("cut at %d: status %s" % (cut, status))
                return
        print("ok")
    elif what == "kept":
        s = connect(path)
        for q in sys.argv[3:]:
            out, status = kept_request(s, cgi_env(q))
            sys.stdout.buffer.write(out)
            sys.stdout.buffer.write(b"\n[status %s]\n" % str(status).encode())
        s.settimeout(0.2)
        try:
            gone = s.recv(1) == b""
        except socket.timeout:
            gone = False
        except OSError:
            gone = True
        print("[closed]" if gone else "[open]")
    elif what == "keptrepeat":
        n, word = int(sys.argv[3]), sys.argv[4]
        s = connect(path)
        print(sum(1 for _ in range(n) if kept_served(s, word)))
    elif what == "keptpieces":     # the next request on a kept connection arrives in pieces
        word = sys.argv[3]
        s = connect(path)
        whole = begin(1) + params(cgi_env("hello.web+" + word)) + record(STDIN, b"")
        for cut in (1, 8, 16, len(whole) - 9, len(whole) - 8, len(whole) - 1):
            if not kept_served(s, "before"):
                print("cut at %d: the request before failed" % cut)
                return
            s.sendall(whole[:cut])
            time.sleep(0.05)  # lets the server read the first piece on its own
            s.sendall(whole[cut:])
            out, status = read_one(s)
            if b"Command data: " + word.encode() not in out or status != 0:
                print("cut at %d: status %s" % (cut, status))
                return
        print("ok")
    elif what == "keptfaults":     # malformed records after a good request on a kept connection
        for name in KEPT_FAULTS:
            s = connect(path)
            if not kept_served(s, "first"):
                print("FAIL before " + name)
                continue
            try:
                s.sendall(fault_bytes(name))
            except OSError:
                pass
            gone = closed_by_server(s)
            s.close()
            print(("ok " if gone and served(path, name) else "FAIL after ") + name)
    elif what == "keptpost":       # content the script does not read, then the next request
        s = connect(path)
        form = "application/x-www-form-urlencoded"
        big = b"name=" + b"a" * 6000               # past MaxContentLength: not read at all
        env = cgi_env("form_post.web", "POST", big, form)
        out, status = kept_request(s, env, big)
        if b"413" not in out or not kept_served(s, "after-big"):
            print("FAIL after a body past the limit: %r" % out[:200])
            return
        more = b"name=b&comment=c" + b"x" * 5000    # more than the declared length
        env = cgi_env("form_post.web", "POST", b"name=b&comment=c", form)
        out, status = kept_request(s, env, more)
        if status != 0 or not kept_served(s, "after-more"):
            print("FAIL after a body longer than declared: %r" % out[:200])
            return
        print("ok")
    elif what == "keptidle":
        s = connect(path)
        ok = kept_served(s, "idle")
        print("closed" if ok and closed_by_server(s, 60) else "open")
    elif what == "crowd":          # more kept connections than workers, each opened after the last
        conns = []
        n = 0
        for i in range(int(sys.argv[3])):
            s = connect(path)
            conns.append(s)
            try:
                n += kept_served(s, "crowd%d" % i)
            except OSError:
                pass
        print("served %d" % n)
    elif what == "keptwait":
        s = connect(path)
        out, status = kept_request(s, cgi_env(sys.argv[3]))
        print("ready" if status == 0 else "first failed", flush=True)
        out, status = kept_request(s, cgi_env(sys.argv[4]))
        sys.stdout.buffer.write(out)
        sys.stdout.buffer.write(b"\n[status %s]\n" % str(status).encode())
        print("[closed]" if status is None or closed_by_server(s, 10) else "[open]")
    elif what == "keptdead":
        s = connect(path)
        ok = kept_served(s, "dead")
        print("ready" if ok else "first failed", flush=True)
        s.settimeout(30)
        data = b""
        try:
            while True:
                chunk = s.recv(4096)
                if not chunk:
                    break
                data += chunk
        except OSError:
            pass
        print("closed after %d bytes" % len(data))
    elif what == "endless":       # a body that never ends: the answer the server gives
        s = connect(path)
        env = cgi_env("form_post.web", "POST", b"x" * 100, "application/x-www-form-urlencoded")
        s.sendall(begin() + params(env) + record(STDIN, b"name="))
        out, status = read_response(s)
        sys.stdout.buffer.write(out)


if __name__ == "__main__":
    main()
