#!/usr/bin/env python3
"""A PostgreSQL server that lies: it logs anyone in, then answers every query the way MODE says.

    fake_pg.py PORT_FILE MODE

Listens on 127.0.0.1 on a free port, writes the port to PORT_FILE, appends one line per connection taken to
PORT_FILE.connections and one line per query to PORT_FILE.queries. MODE:
  norows         every query answers one column and no row
  null           every query answers one row whose value is NULL
  text           every query answers one row with the text "garbage"
  garbage        every query is answered with bytes that are no message at all
  close          the connection is closed when a query arrives
  stall          queries are read and never answered
  stall-startup  the login is never answered
  error          every query fails with an error whose text is long and full of control characters
The server ends when its parent (the test) ends or after ten minutes, whichever is first.
"""
import os
import socket
import struct
import sys
import threading
import time

SSL_REQUEST = 80877103
GSS_REQUEST = 80877104


def message(kind, payload=b""):
    return kind + struct.pack("!I", len(payload) + 4) + payload


def read_exact(conn, n):
    data = b""
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            raise ConnectionError("closed")
        data += chunk
    return data


def row_description():
    field = b"value\x00" + struct.pack("!IhIhih", 0, 0, 25, -1, -1, 0)
    return message(b"T", struct.pack("!h", 1) + field)


def answer(mode):
    if mode == "norows":
        return row_description() + message(b"C", b"SELECT 0\x00")
    if mode == "null":
        return row_description() + message(b"D", struct.pack("!hi", 1, -1)) + message(b"C", b"SELECT 1\x00")
    if mode == "text":
        value = b"garbage"
        return (row_description() + message(b"D", struct.pack("!hi", 1, len(value)) + value) +
                message(b"C", b"SELECT 1\x00"))
    if mode == "error":
        text = ("\x01\n\t" + "错误" * 2000).encode()
        return message(b"E", b"SERROR\x00C XX000\x00M" + text + b"\x00\x00")
    return b""


def serve(conn, mode, log):
    try:
        while True:
            length = struct.unpack("!I", read_exact(conn, 4))[0]
            body = read_exact(conn, length - 4)
            code = struct.unpack("!I", body[:4])[0]
            if code in (SSL_REQUEST, GSS_REQUEST):
                conn.sendall(b"N")
                continue
            break
        if mode == "stall-startup":
            time.sleep(600)
            return
        conn.sendall(message(b"R", struct.pack("!I", 0)) +
                     message(b"S", b"client_encoding\x00UTF8\x00") +
                     message(b"S", b"server_version\x0015.0\x00") +
                     message(b"S", b"standard_conforming_strings\x00on\x00") +
                     message(b"S", b"integer_datetimes\x00on\x00") +
                     message(b"K", struct.pack("!II", 1, 2)) + message(b"Z", b"I"))
        extended = b""
        while True:
            kind = read_exact(conn, 1)
            length = struct.unpack("!I", read_exact(conn, 4))[0]
            read_exact(conn, length - 4)
            if kind == b"X":
                return
            if kind in (b"P", b"B", b"D", b"E"):
                extended += kind
                continue
            if kind not in (b"Q", b"S"):
                continue
            with open(log, "a") as f:
                f.write(kind.decode() + "\n")
            if mode == "stall":
                continue
            if mode == "close":
                return
            if mode == "garbage":
                conn.sendall(b"\xff\x00\x00\x00\x02\x99garbage\x00" * 8)
                continue
            reply = b""
            if kind == b"S":
                if b"P" in extended:
                    reply += message(b"1")
                if b"B" in extended:
                    reply += message(b"2")
            reply += answer(mode)
            conn.sendall(reply + message(b"Z", b"I"))
            extended = b""
    except (ConnectionError, OSError):
        pass
    finally:
        conn.close()


def main():
    port_file, mode = sys.argv[1], sys.argv[2]
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    listener.settimeout(1.0)
    with open(port_file + ".tmp", "w") as f:
        f.write(str(listener.getsockname()[1]))
    os.rename(port_file + ".tmp", port_file)
    parent = os.getppid()
    deadline = time.monotonic() + 600
    while time.monotonic() < deadline and os.getppid() == parent:
        try:
            conn, _ = listener.accept()
        except socket.timeout:
            continue
        with open(port_file + ".connections", "a") as f:
            f.write("taken\n")
        threading.Thread(target=serve, args=(conn, mode, port_file + ".queries"), daemon=True).start()


if __name__ == "__main__":
    main()
