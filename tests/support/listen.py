#!/usr/bin/env python3
"""Accepts and closes every connection on each ADDRESS:PORT given, until
killed; creates READY_FILE once all of them listen. Only inside
scripts/netns-run, where the test addresses are local.

    listen.py READY_FILE ADDRESS:PORT...
"""
import socket
import sys
import threading


def serve(server):
    while True:
        connection, _ = server.accept()
        connection.close()


servers = []
for address in sys.argv[2:]:
    host, port = address.rsplit(":", 1)
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind((host, int(port)))
    server.listen(16)
    servers.append(server)
for server in servers:
    threading.Thread(target=serve, args=(server,), daemon=True).start()
open(sys.argv[1], "w").close()
threading.Event().wait()
