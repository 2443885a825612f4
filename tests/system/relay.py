"""One connection of a qemu `guestfwd=...-cmd:` rule: qemu hands the guest's
connection to this program as standard input and output, and it relays the
bytes to and from a server on this machine's loopback.

    python3 relay.py PORT
"""

import os
import socket
import sys
import threading


def main():
    server = socket.create_connection(("127.0.0.1", int(sys.argv[1])))

    def to_server():
        while data := os.read(0, 65536):
            server.sendall(data)
        server.shutdown(socket.SHUT_WR)

    threading.Thread(target=to_server, daemon=True).start()
    while data := server.recv(65536):
        os.write(1, data)


if __name__ == "__main__":
    main()
