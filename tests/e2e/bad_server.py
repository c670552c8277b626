#!/usr/bin/env python3
"""A serial device server gone wrong, for the monitor's end-to-end tests.

    bad_server.py MODE

Listens on a free loopback port, prints "ready PORT" and serves every
connection by MODE until it is signalled:
  silent    accepts and reads, never answers
  garbage   answers every request with bytes that answer nothing
  midframe  answers the first request with half a frame, then closes
  flood     offers a Telnet option over and over and never reads
"""
import random
import selectors
import socket
import sys
import threading


def flood(conn):
    # WILL ECHO, refused by the client every time, so every offer is answered.
    offers = b"\xff\xfb\x01" * 20000
    try:
        while True:
            conn.sendall(offers)
    except OSError:
        conn.close()


def main():
    mode = sys.argv[1]
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(4)
    print("ready", listener.getsockname()[1], flush=True)
    rng = random.Random(7)
    sel = selectors.DefaultSelector()
    sel.register(listener, selectors.EVENT_READ)
    while True:
        for key, _ in sel.select():
            if key.fileobj is listener:
                conn, _ = listener.accept()
                if mode == "flood":
                    threading.Thread(target=flood, args=(conn,), daemon=True).start()
                else:
                    sel.register(conn, selectors.EVENT_READ)
                continue
            conn = key.fileobj
            try:
                data = conn.recv(4096)
            except OSError:
                data = b""
            if not data:
                sel.unregister(conn)
                conn.close()
                continue
            if mode == "garbage":
                # Frame starts, 0xFF and carriage returns among the noise.
                noise = bytes(rng.choice(b"~\x01\x03\x04\xff\r0123456789ABCDEF") for _ in range(rng.randint(1, 90)))
                conn.sendall(noise)
            elif mode == "midframe":
                conn.sendall(b"\x01\x04\x1c\x08\x9d\x08\x92")
                sel.unregister(conn)
                conn.close()


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        pass
