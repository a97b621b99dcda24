#!/usr/bin/env python3
"""A stream listener that behaves as scripts and netcat-style tools do.

listener.py MODE PORT PATH SECONDS BODYFILE
  half-close  sends the request, shuts down its sending side, then reads
  extra-byte  sends one more byte after the response head, then hangs up
  drip        sends the request one byte every SECONDS / 8, at most 400 bytes
The response head goes to standard output; the body read goes to BODYFILE.
"""
import socket
import sys
import time

mode, port, path, seconds, body_file = sys.argv[1], int(sys.argv[2]), sys.argv[3], float(sys.argv[4]), sys.argv[5]
request = b"GET /" + path.encode() + b" HTTP/1.0\r\n\r\n"
s = socket.create_connection(("127.0.0.1", port), timeout=5)

if mode == "drip":
    sent = 0
    closed = False
    try:
        while sent < 400:
            s.sendall(b"X")
            sent += 1
            time.sleep(seconds / 8)
            s.settimeout(0.0)
            try:
                if s.recv(1) == b"":
                    closed = True
                    break
            except BlockingIOError:
                pass
            s.settimeout(5)
    except OSError:
        closed = True
    print(("closed after %d bytes" if closed else "still open after %d bytes") % sent)
    sys.exit(0)

s.sendall(request)
if mode == "half-close":
    s.shutdown(socket.SHUT_WR)

head = b""
while not head.endswith(b"\r\n\r\n") and len(head) < 4096:
    c = s.recv(1)
    if not c:
        break
    head += c
sys.stdout.write(head.decode("latin-1"))
sys.stdout.flush()

if mode == "extra-byte":
    s.sendall(b"\n")
    s.close()
    sys.exit(0)

end = time.monotonic() + seconds
with open(body_file, "wb") as out:
    while time.monotonic() < end:
        s.settimeout(max(0.05, end - time.monotonic()))
        try:
            data = s.recv(65536)
        except socket.timeout:
            break
        if not data:
            break
        out.write(data)
