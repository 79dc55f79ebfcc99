#!/usr/bin/env python3
"""A contactless card in vpcd's virtual reader, for tests without hardware.

vpcd (the virtual reader driver loaded by pcscd) listens on a TCP port per
reader; a card is "inserted" by connecting to it and "removed" by closing the
connection. Every message either way is a 2-byte big-endian length and then
the payload. One-byte messages from the reader are controls: 0 power off,
1 power on, 2 reset, 4 get ATR; only get ATR is answered, with the ATR.
Longer messages are command APDUs, answered with the response APDU.

The card answers GET DATA for the UID (FF CA 00 00 00) with its UID followed
by its status word (90 00 unless told otherwise; give an empty UID for a plain
error), and every other command with 6D 00 (instruction not supported).

    virtual_card.py --port PORT --uid HEX [--status-word HEX] [--vanish | --silent]

runs one card until interrupted.
"""

import argparse
import signal
import socket
import struct
import threading
import time

# A contactless storage card as a PC/SC reader presents it: T=1, no
# historical bytes, TCK.
ATR = bytes.fromhex("3B80800101")
GET_UID = bytes.fromhex("FFCA000000")
SW_OK = bytes.fromhex("9000")
SW_INS_NOT_SUPPORTED = bytes.fromhex("6D00")
CTRL_GET_ATR = 4


class VirtualCard:
    """One card in one vpcd reader, served by a thread of its own.

    vanish: the card leaves the field when asked for its UID instead of
    answering, as one taken away in the middle of a read.
    silent: the card takes every command and never answers, as a hung one;
    the reader waits for it until the card is removed.
    """

    def __init__(self, port, uid, status_word=SW_OK, vanish=False, silent=False,
                 host="127.0.0.1"):
        self.address = (host, port)
        self.uid = bytes(uid)
        self.status_word = bytes(status_word)
        self.vanish = vanish
        self.silent = silent
        # Appended to by the card's thread only, read by anyone.
        self.commands = []  # every APDU received, in order
        self.controls = []  # every control byte received, in order
        self.powered = threading.Event()  # set once the reader has fetched the ATR
        self.powered_at = None  # time.monotonic() when it first did
        self._sock = None
        self._thread = None

    def insert(self, timeout=10.0):
        """Connects to the reader, retrying while vpcd is not listening yet."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                sock = socket.create_connection(self.address, timeout=timeout)
                break
            except ConnectionRefusedError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.02)
        sock.settimeout(None)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self._sock = sock
        self._thread = threading.Thread(target=self._serve, args=(sock,), daemon=True)
        self._thread.start()
        return self

    def remove(self):
        """Leaves the field: closes the connection, as a card taken away."""
        sock, self._sock = self._sock, None
        if sock is not None:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            sock.close()
        if self._thread is not None:
            self._thread.join(timeout=10)
            self._thread = None

    def __enter__(self):
        return self.insert()

    def __exit__(self, *exc):
        self.remove()

    def _answer(self, apdu):
        if apdu != GET_UID:
            return SW_INS_NOT_SUPPORTED
        return self.uid + self.status_word

    def _serve(self, sock):
        try:
            while True:
                message = _receive(sock)
                if message is None:
                    return
                if len(message) == 1:
                    self.controls.append(message[0])
                    if message[0] == CTRL_GET_ATR:
                        _send(sock, ATR)
                        if self.powered_at is None:
                            self.powered_at = time.monotonic()
                        self.powered.set()
                    continue
                self.commands.append(message)
                if message == GET_UID and self.vanish:
                    sock.shutdown(socket.SHUT_RDWR)
                    return
                if self.silent:
                    continue
                _send(sock, self._answer(message))
        except OSError:
            return


def _receive_exactly(sock, count):
    data = b""
    while len(data) < count:
        # vpcd writes the length and the body separately: without a quick ACK
        # each message would wait for the delayed-ACK timer.
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)
        chunk = sock.recv(count - len(data))
        if not chunk:
            return None
        data += chunk
    return data


def _receive(sock):
    header = _receive_exactly(sock, 2)
    if header is None:
        return None
    (length,) = struct.unpack(">H", header)
    return _receive_exactly(sock, length)


def _send(sock, payload):
    sock.sendall(struct.pack(">H", len(payload)) + payload)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--uid", required=True, help="the UID in hex, e.g. 04A1B2C3")
    parser.add_argument("--status-word", default="9000", help="answer to GET DATA, hex")
    parser.add_argument("--vanish", action="store_true", help="leave instead of answering GET DATA")
    parser.add_argument("--silent", action="store_true", help="never answer a command")
    args = parser.parse_args()
    card = VirtualCard(args.port, bytes.fromhex(args.uid), bytes.fromhex(args.status_word),
                       args.vanish, args.silent, args.host)
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    with card:
        stop.wait()


if __name__ == "__main__":
    main()
