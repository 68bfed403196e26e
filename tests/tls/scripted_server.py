#!/usr/bin/env python3
"""A TLS server whose answers break HTTP framing on purpose, for the framing
table of the module's own TLS client. Started by tls_servers.sh.

    scripted_server.py <port> <cert.pem> <key.pem> <hold-port>

<hold-port> is a plain listener that accepts and never answers (a test
certificate's CA issuers URL names it).

The request path picks the answer (anything after a second '/' only makes the
path unique to one test run):
  /endless-chunk-size/..  chunked, then hex digits without end
  /endless-trailer/..     chunked, a last chunk, then a trailer line without end
  /fin-without-close-notify/..  no length, part of a body, then a bare TCP close
  /te-and-cl/..           both Transfer-Encoding: chunked and Content-Length
  /chunk-size-junk/..     chunked, a size line "5x"
  /chunk-extension/..     chunked, a size line "5 ;name=value"
  /lengths-differ/..      two Content-Length headers, 5 and 6
  /lengths-agree/..       two Content-Length headers, both 5
  /length-and-empty/..    Content-Length 5, then a Content-Length without a value
  /te-not-a-token/..      Transfer-Encoding: xchunked, with a chunked body
  /second-dropped/..      the first request of a connection is answered; the
                          second is read whole and the connection closed unanswered
  /held/..                read, never answered
  /seen?<path>            "<requests> <connections>" that carried <path>
  /notified?<path>        connections that carried <path> and that the client
                          ended with its close_notify
  /hold-accepted          connections the hold port has accepted so far
Any other path gets a short answer on a kept connection.
"""
import socket
import ssl
import sys
import threading

lock = threading.Lock()
requests = {}     # path -> requests seen
connections = {}  # path -> set of connection numbers that carried it
notified = set()  # connection numbers the client ended with close_notify
held = []         # connections of the hold port, never answered


def read_request(conn, pending):
    """(target, bytes after the request); target None when the client ended
    the session with close_notify. A bare close raises SSLEOFError."""
    while b"\r\n\r\n" not in pending:
        data = conn.recv(65536)
        if not data:
            return None, b""
        pending += data
    head, _, rest = pending.partition(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value.strip())
    while len(rest) < length:
        data = conn.recv(65536)
        if not data:
            return None, b""
        rest += data
    target = head.split(b"\r\n")[0].split(b" ")[1].decode("latin-1")
    return target, rest[length:]


def hold(conn):
    try:
        while conn.recv(65536):
            pass
    except OSError:
        pass


def endless(conn, head, filler):
    conn.sendall(head)
    try:
        for _ in range(1024):  # 4 MiB at most; the client gives up long before
            conn.sendall(filler * 4096)
    except OSError:
        return
    hold(conn)


def serve(raw, number, context):
    try:
        conn = context.wrap_socket(raw, server_side=True, suppress_ragged_eofs=False)
    except (OSError, ssl.SSLError):
        raw.close()
        return
    pending = b""
    served = 0
    try:
        while True:
            target, pending = read_request(conn, pending)
            if target is None:
                with lock:
                    notified.add(number)
                return
            served += 1
            kind = target.split("/")[1] if target.count("/") >= 1 else ""
            if target.startswith("/seen?"):
                path = target[len("/seen?"):]
                with lock:
                    text = "%d %d" % (requests.get(path, 0), len(connections.get(path, ())))
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(text), text.encode()))
                continue
            if target.startswith("/notified?"):
                path = target[len("/notified?"):]
                with lock:
                    text = "%d" % len(connections.get(path, set()) & notified)
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(text), text.encode()))
                continue
            if target == "/hold-accepted":
                with lock:
                    text = "%d" % len(held)
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(text), text.encode()))
                continue
            with lock:
                requests[target] = requests.get(target, 0) + 1
                connections.setdefault(target, set()).add(number)
            if kind == "endless-chunk-size":
                endless(conn, b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", b"1")
                return
            if kind == "endless-trailer":
                endless(conn, b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\nX-Pad: ", b"p")
                return
            if kind == "fin-without-close-notify":
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\npart of the")
                socket.socket.shutdown(conn, socket.SHUT_RDWR)  # under the TLS layer: no close_notify
                return
            if kind == "te-and-cl":
                conn.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 12\r\n\r\n"
                             b"5\r\nwhole\r\n0\r\n\r\n")
                continue
            chunked = b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
            scripted = {
                "chunk-size-junk": chunked + b"5x\r\nwhole\r\n0\r\n\r\n",
                "chunk-extension": chunked + b"5 ;name=value\r\nwhole\r\n0\r\n\r\n",
                "lengths-differ": b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nwhole",
                "lengths-agree": b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 5\r\n\r\nwhole",
                "length-and-empty": b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: \r\n\r\nwhole",
                "te-not-a-token": b"HTTP/1.1 200 OK\r\nTransfer-Encoding: xchunked\r\n\r\n"
                                  b"5\r\nwhole\r\n0\r\n\r\n",
            }
            if kind in scripted:
                conn.sendall(scripted[kind])
                continue
            if kind == "second-dropped" and served > 1:
                conn.settimeout(2)  # unwrap waits for the client's close_notify in turn
                conn = conn.unwrap()  # close_notify, then the plain socket
                return
            if kind == "held":
                hold(conn)
                return
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nwhole")
    except (OSError, ssl.SSLError, ValueError):
        pass
    finally:
        try:
            conn.close()  # no close_notify unless unwrapped above
        except OSError:
            pass


def hold_port(port):
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(16)
    while True:
        raw, _ = listener.accept()
        with lock:
            held.append(raw)  # kept open, never read or written


def main():
    port, cert, key = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    threading.Thread(target=hold_port, args=(int(sys.argv[4]),), daemon=True).start()
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    # Python takes a bare end of the connection for a clean one unless told
    # otherwise; here the two must differ.
    context.options &= ~getattr(ssl, "OP_IGNORE_UNEXPECTED_EOF", 0)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(16)
    number = 0
    while True:
        raw, _ = listener.accept()
        number += 1
        threading.Thread(target=serve, args=(raw, number, context), daemon=True).start()


if __name__ == "__main__":
    main()
