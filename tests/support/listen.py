#!/usr/bin/env python3
"""Listens on each ADDRESS:PORT given until killed; creates READY_FILE once
all of them listen. Only inside scripts/netns-run, where the test addresses
are local. Each connection is closed at once, unless the address carries a
behaviour:

    ADDRESS:PORT,silent=SECONDS   say nothing, close SECONDS later
    ADDRESS:PORT,http=BODY        read a request, answer 200 with BODY, close
    ADDRESS:PORT,count=FILE       add a line to FILE, close
    ADDRESS:PORT,redirect         read "GET /status/CODE?to=URL", answer CODE
                                  with Location URL, close

    listen.py READY_FILE ADDRESS:PORT[,BEHAVIOUR]...
"""
import socket
import sys
import threading
import time


def answer(connection, behaviour):
    kind, _, value = behaviour.partition("=")
    if kind == "silent":
        time.sleep(float(value))
    elif kind == "http":
        connection.recv(4096)
        connection.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n%s"
                           % (len(value), value.encode()))
    elif kind == "count":
        with open(value, "a") as counted:
            counted.write("connection\n")
    elif kind == "redirect":
        request = connection.recv(4096).split(b" ")
        if len(request) > 1:  # not a probe of the port
            code, _, to = request[1][len(b"/status/"):].partition(b"?to=")
            connection.sendall(b"HTTP/1.0 %s X\r\nLocation: %s\r\nContent-Length: 0\r\n\r\n"
                               % (code, to))
    connection.close()


def serve(server, behaviour):
    while True:
        connection, _ = server.accept()
        if behaviour:
            threading.Thread(target=answer, args=(connection, behaviour), daemon=True).start()
        else:
            connection.close()


servers = []
for target in sys.argv[2:]:
    address, _, behaviour = target.partition(",")
    host, port = address.rsplit(":", 1)
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind((host, int(port)))
    server.listen(16)
    servers.append((server, behaviour))
for server, behaviour in servers:
    threading.Thread(target=serve, args=(server, behaviour), daemon=True).start()
open(sys.argv[1], "w").close()
threading.Event().wait()
