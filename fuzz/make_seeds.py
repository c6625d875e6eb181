#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/) from literal frames and texts.

Run it again after changing a target's input layout; the files are small and committed.
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def crc16(data):
    crc = 0
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x8005) & 0xFFFF if crc & 0x8000 else (crc << 1) & 0xFFFF
    return crc


def answer(status, follow, payload):
    head = status.encode() + bytes([follow, 4 + len(payload)]) + payload
    return head + struct.pack(">H", crc16(head))


def request(command, payload=b""):
    head = bytes([0x1B, 0x10, command]) + struct.pack(">H", 5 + len(payload)) + payload
    return head + struct.pack(">H", crc16(head))


def gbk(text, width):
    raw = text.encode("gbk")
    return raw + b" " * (width - len(raw))


def piece(data):
    assert len(data) < 256
    return bytes([len(data)]) + data


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# Answer payloads of the processor, by command: (command, length L, packets).
CURRENT = bytes([0x00, 0x00, 0x04, 0xD2])
ROLL = bytes.fromhex("12345678901234567890") + struct.pack(">II", 1, 1000)
DIGITS = bytes([0x31])  # a BCD "31" and an ASCII "1" alike: valid for numeric and text fields


def fill(length):
    return DIGITS * (length - 4)


def main():
    # frame_receiver: handler answers, piece size, then the line.
    frames = answer("WT", 0, b"") + answer("OK", 0, CURRENT)
    write("frame_receiver", "wait_then_answer", bytes([0xFF, 3]) + frames)
    write("frame_receiver", "noise_and_error", bytes([0x00, 0]) + b"\x00Q\xfeOX" + answer("ER", 0, b"\x23"))
    write("frame_receiver", "packets", bytes([0x03, 16]) + answer("OK", 1, fill(52)) + answer("OK", 0, fill(52)))
    write("frame_receiver", "short_length", bytes([0xFF, 255]) + b"OK\x00\x02\x00\x00NP\x00\x04\x00\x00")

    # answer_check: one frame each.
    write("answer_check", "ok", answer("OK", 0, CURRENT))
    write("answer_check", "er", answer("ER", 0, b"\x23"))
    write("answer_check", "np", answer("NP", 0, b""))
    bad = bytearray(answer("OK", 2, ROLL))
    bad[-1] ^= 0x55
    write("answer_check", "bad_crc", bytes(bad))

    # answer_intake: command, flags, self-test mask, rolls to dispense, then frames as (letters, P, payload);
    # the target fits L and the CRC.
    single = {0x31: 22, 0x33: 8, 0x34: 86, 0x37: 52, 0x38: 117, 0x3A: 10, 0x3E: 224, 0x41: 5, 0x46: 132,
              0xB3: 11, 0xBA: 20, 0x36: 4, 0xA5: 8, 0xA6: 9}
    for command, length in single.items():
        payload = ROLL if command == 0x31 else CURRENT if command == 0x33 else fill(length)
        write("answer_intake", "c%02x" % command, bytes([command, 0x01, 0, 0]) + piece(b"OK\x00" + payload))
    queued = {0x32: 23, 0x39: 52, 0x3C: 41, 0x3F: 234, 0x42: 234, 0x44: 197, 0xB1: 234}
    for command, length in queued.items():
        mode = {0x42: 3, 0xB1: 3, 0x3C: 4}.get(command, 1)
        frames = b"".join(piece(b"OK" + bytes([1 - i]) + fill(length)) for i in range(2))
        write("answer_intake", "q%02x" % command, bytes([command, 0x08 | mode, 0, 2]) + frames)
    write("answer_intake", "selftest", bytes([0xB0, 0x00, 0x16, 0]) +
          piece(b"OK\x01" + bytes([0x04, 0x00])) + piece(b"OK\x00" + bytes([0x10, 0x01])))
    write("answer_intake", "raw_er", bytes([0x33, 0x10, 0, 0]) + piece(answer("ER", 0, b"\x10")))

    # conversions: selector, then the conversion's data.
    write("conversions", "hex", bytes([0, 1, 2]) + bytes([0x1B, 0x10, 0x3A, 0xFF]))
    write("conversions", "bcd", bytes([1]) + bytes([0x20, 0x24, 0x03, 0x15]))
    write("conversions", "number", bytes([2, 0x00, 0x00, 0x30, 0x39]))
    write("conversions", "gbk_text", bytes([3]) + "税控器 A中文".encode())
    write("conversions", "gbk_bytes", bytes([4]) + "付款单位 AB".encode("gbk"))
    write("conversions", "field", bytes([5, 5, 0x20, 1]) + "AB中文".encode())
    write("conversions", "date", bytes([6]) + piece(b"2004") + piece(b"2") + piece(b"29") + bytes([34, 3, 15, 9, 5, 7]))
    write("conversions", "byte_list", bytes([7, 0xA5, 6, 1, 0x01, 0xA2, 0xFF]) + b"1 162 255")
    write("conversions", "builders", bytes([8, 0x42]) + piece(b"09:05:07") + piece(b"20240101") + piece(b"4.0") +
          piece(b"ABC") + bytes([0x33]))
    write("conversions", "dispatch", bytes([9, 1, 2, 2, 0xD6, 0xD0, 0x31, 0x32]))

    # invoice_args: selector, 分户 number, mode, item count, then payer, returned number, names, quantities,
    # prices, amounts, tax indexes.
    def invoice(selector, items, returned=b""):
        texts = [gbk("某某商贸有限公司", 40), returned,
                 b"".join(gbk("商品%d" % (i + 1), 20) for i in range(items)),
                 b"1.5        " * items, b"2          " * items, b"3.00       " * items, b"1" * items]
        return bytes([selector, 0x00, 0x01, 0x00, items]) + b"".join(piece(t) for t in texts)
    write("invoice_args", "issue", invoice(0, 2))
    write("invoice_args", "return", invoice(1, 1, b"123"))
    write("invoice_args", "six_items", invoice(0, 6))

    # criterion: filter and select texts as the browser and the record sets write them.
    write("criterion", "equal", "发票使用状态 = 1".encode())
    write("criterion", "text_and_range", "日期='20240101' and [发票号] between 1 and 100".encode())
    write("criterion", "quote_and_fraction", "付款单位 = 'O''Brien' and 金额 = -1.5".encode())
    write("criterion", "select", "Select * From InvoiceNumber where 发票使用状态 = 1".encode())

    # sim_request: flags (bit 0: requests framed by the target), piece size, then the line or the requests.
    issue = struct.pack(">H", 0) + gbk("某某商贸有限公司", 40) + bytes([1]) + gbk("商品1", 20) + \
        struct.pack(">HBI", 150, 1, 300)
    requests = [bytes([0x33]), bytes([0x41]), bytes([0x34]) + issue, bytes([0xB1]), bytes([0x39]),
                bytes([0x3C]) + struct.pack(">I", 1), bytes([0xB0, 0xFF])]
    write("sim_request", "requests", bytes([1, 7]) + b"".join(piece(r) for r in requests))
    write("sim_request", "line", bytes([0, 0]) + b"\x00\x1b" + request(0x37) + b"\x1b\x10\x33\x00\x02" +
          request(0x3A) + request(0x42, struct.pack(">II", 1, 3))[:-1])

    # service_http: flags (bit 0: as from the Unix socket; the rest: write size - 1), then what a client sends.
    def http(method, path, body=b"", extra=b""):
        head = b"%s %s HTTP/1.1\r\nHost: 127.0.0.1\r\n" % (method, path) + extra
        if body or method == b"POST":
            head += b"Content-Length: %d\r\n" % len(body)
        return head + b"\r\n" + body
    sale = ('{"kind":"issue","sale_id":"pos1-1","payer":"个人","goods":[{"name":"苹果","quantity":"2",'
            '"price":"3.50","amount":"7.00","tax_index":1}]}').encode()
    write("service_http", "sale", bytes([0xFE]) + http(b"POST", b"/v1/sales", sale))
    write("service_http", "pipelined", bytes([0x01]) + http(b"GET", b"/v1/status") +
          http(b"GET", b"/v1/sales/a?id=a") + http(b"POST", b"/v1/sales", b'{"kind":"return","kind":"issue"}'))
    write("service_http", "stream", bytes([0x20]) + http(b"GET", b"/v1/events", extra=b"Last-Event-ID: 1-1\r\n"))
    write("service_http", "folded", bytes([0x00]) + b"GET / HTTP/1.1\r\nHost: a\r\nX: 1\r\n Authorization: b\r\n\r\n")
    write("service_http", "bare_lf", bytes([0x02]) + b"GET / HTTP/1.1\nHost: a\n\n")
    write("service_http", "continue", bytes([0x08]) + http(b"POST", b"/v1/sales", b"{}", b"Expect: 100-continue\r\n"))
    write("service_http", "cut_body", bytes([0x10]) + http(b"POST", b"/v1/sales", sale)[:-20])
    return 0


if __name__ == "__main__":
    sys.exit(main())
