#!/usr/bin/env python3
"""The library's exchange written the way a Python user would, with pyserial (Debian's
python3-serial): purge, write the request frame, sleep 10 ms, read 3 bytes, read L+2 bytes, with
the library's time-outs and up to three attempts. vorlex_bench runs it against the same scripted
reader and compares. Prints one JSON object with per-exchange wall and CPU medians.

Usage: pyserial_reader.py PORT COUNT REQUEST_HEX"""
import json
import statistics
import sys
import time

import serial


def frame(payload):
    body = len(payload).to_bytes(2, "big") + payload
    return b"\x02" + body + bytes([sum(body) & 0xFF]) + b"\x03"


def read(port, count):
    # 200 ms per byte + 200 ms in all, 800 ms between bytes, as the library waits.
    port.timeout = (200 * count + 200) / 1000
    return port.read(count)


def transact(port, request):
    for _ in range(3):
        port.reset_output_buffer()
        port.reset_input_buffer()
        port.write(request)
        time.sleep(0.010)
        header = read(port, 3)
        if len(header) != 3 or header[0] != 0x02:
            continue
        length = header[1] << 8 | header[2]
        if length > 295:
            continue
        rest = read(port, length + 2)
        if len(rest) != length + 2 or rest[-1] != 0x03:
            continue
        return rest[:length]
    return None


def main():
    path, count, request = sys.argv[1], int(sys.argv[2]), frame(bytes.fromhex(sys.argv[3]))
    port = serial.Serial(path, 115200, bytesize=8, parity="N", stopbits=1,
                         inter_byte_timeout=0.8, exclusive=True)
    walls, cpus, failures = [], [], 0
    for i in range(count + 5):
        wall, cpu = time.perf_counter(), time.thread_time()
        answer = transact(port, request)
        wall, cpu = time.perf_counter() - wall, time.thread_time() - cpu
        if answer is None or answer[:2] != b"\x00\x00":
            failures += 1
        if i >= 5:  # the first few warm up the interpreter
            walls.append(wall)
            cpus.append(cpu)
    port.close()
    print(json.dumps({"median_wall_us": statistics.median(walls) * 1e6,
                      "median_cpu_us": statistics.median(cpus) * 1e6,
                      "count": count, "failures": failures}))


if __name__ == "__main__":
    main()
