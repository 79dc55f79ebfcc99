#!/usr/bin/python3
"""The same read as vellicor with the PC/SC library, the way a user would
write it with pyscard (Debian: python3-pyscard): the UID of the card on the
first reader that holds one, written as vellicor's frame so that the two can
be checked against each other before they are timed."""

import struct
import sys

from smartcard.Exceptions import CardConnectionException, NoCardException
from smartcard.System import readers


def card_number():
    try:
        available = readers()
    except Exception:  # no service
        return "no reader"
    for reader in available:
        connection = reader.createConnection()
        try:
            connection.connect()
        except (NoCardException, CardConnectionException):
            continue
        try:
            data, sw1, sw2 = connection.transmit([0xFF, 0xCA, 0x00, 0x00, 0x00])
        except CardConnectionException:
            return "no card"
        finally:
            connection.disconnect()
        if (sw1, sw2) != (0x90, 0x00) or not 4 <= len(data) <= 10:
            return "no card"
        return str(int.from_bytes(bytes(data[-4:]), "big", signed=True))
    return "no card" if available else "no reader"


message = b'{"cardno":"' + card_number().encode() + b'"}'
sys.stdout.buffer.write(struct.pack("=I", len(message)) + message)
