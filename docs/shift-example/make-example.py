#!/usr/bin/env python3
"""Writes the example reports of one morning on two stations (line-1.jsonl,
line-2.jsonl) as corvanel-flash --continuous --report writes them, for the
README's picture of the shift page (scripts/shift-report-screenshot.sh).
Deterministic: the same files every run."""
import json
import os
import random
from datetime import datetime, timedelta, timezone

HERE = os.path.dirname(os.path.abspath(__file__))
DAY = datetime(2025, 3, 4, 6, 0, tzinfo=timezone.utc)
IMAGES = {
    "firmware-2.3.0.hex": ("5d1c0e7a9b3f2c4d6e8f0a1b2c3d4e5f60718293a4b5c6d7e8f9a0b1c2d3e4f5", "0x3A91C2F0"),
    "firmware-2.3.1.hex": ("9e4b7d1f3a5c8e0b2d4f6a8c0e1b3d5f7092a4c6e8b0d2f4a6c8e0b1d3f5a7c9", "0x7C02D5E1"),
}
LINES = 9000


def utc(t):
    return t.strftime("%Y-%m-%dT%H:%M:%S.") + f"{t.microsecond // 1000:03d}Z"


def record(station, host, board, mac, image, attempt, max_attempts, start, seconds, result,
           phase="done", line=LINES, reason=""):
    sha, crc = IMAGES[image]
    ok = result == "END"
    codes = {"END": 0, "ERROR": 1, "TIMEOUT": 3}
    return {
        "host": host, "port": 111, "localPort": 5500 + board % 1000, "result": result, "ok": ok,
        "exitCode": codes[result], "phase": phase, "line": line, "lineCount": LINES,
        "installed": ok, "seconds": round(seconds, 3), "resends": 0, "ignoredReplies": 0,
        "reason": reason, "deviceVersion": "BL 1.4", "start": utc(start),
        "end": utc(start + timedelta(seconds=seconds)), "maxAttempts": max_attempts,
        "board": board, "mac": mac, "attempt": attempt, "schemaVersion": 1,
        "toolVersion": "4.0", "station": station, "image": image, "imageSha256": sha,
        "imageCrc32": crc, "dryRun": False,
    }


def failure(rng, t):
    kind = rng.random()
    if kind < 0.5:
        line = rng.randint(100, LINES)
        return "TIMEOUT", "verify", line, f"no reply to line {line} of {LINES} (verify pass) within 0.5 s"
    if kind < 0.8:
        line = rng.randint(1, 400)
        return "ERROR", "download", line, f'the device answered "ERROR" to line {line} of {LINES} (download pass)'
    return "TIMEOUT", "inquiry", 0, 'no "VER=" reply to the inquiry within 10 s'


def station(name, host, seed, macs_back):
    rng = random.Random(seed)
    out = []
    t = DAY + timedelta(seconds=rng.randint(60, 300))
    # A dry run first, as the line's checklist has it.
    dry = record(name, host, 0, None, "firmware-2.3.0.hex", 1, 1, t, 1.2, "END", phase="inquiry", line=0)
    dry.update(result="READY", dryRun=True, installed=False)
    del dry["board"], dry["mac"]
    out.append(dry)
    board = 0
    end = DAY + timedelta(hours=4)
    while t < end:
        # The break, and the change to the new image after it on line-2.
        if DAY + timedelta(hours=2) <= t < DAY + timedelta(hours=2, minutes=25):
            t = DAY + timedelta(hours=2, minutes=25, seconds=rng.randint(0, 90))
        image = "firmware-2.3.1.hex" if name == "line-2" and t >= DAY + timedelta(hours=2) else "firmware-2.3.0.hex"
        board += 1
        mac = macs_back.pop(0) if macs_back and board % 40 == 0 else f"02:4c:{seed:02x}:00:{board // 256:02x}:{board % 256:02x}"
        attempts = 2
        for attempt in range(1, attempts + 1):
            seconds = rng.gauss(41.0, 2.5)
            if rng.random() < (0.07 if attempt == 1 else 0.3):
                result, phase, line, reason = failure(rng, t)
                seconds = seconds * line / LINES if phase != "inquiry" else 10.0
                out.append(record(name, host, board, mac, image, attempt, attempts, t, seconds,
                                  result, phase, line, reason))
                t += timedelta(seconds=seconds + 0.5)
                continue
            out.append(record(name, host, board, mac, image, attempt, attempts, t, seconds, "END"))
            t += timedelta(seconds=seconds)
            break
        t += timedelta(seconds=rng.gauss(75, 15))  # the operator swaps the board
    return out


def write(name, records, cut_after=None):
    with open(os.path.join(HERE, name), "w") as f:
        for i, r in enumerate(records):
            line = json.dumps(r, separators=(",", ":"))
            if i == cut_after:
                line = line[: len(line) // 2]  # the power went while it was written
            f.write(line + "\n")


back = ["02:4c:0b:00:00:0d", "02:4c:0b:00:00:1f"]  # boards of line-1 that came back on line-2
write("line-1.jsonl", station("line-1", "192.168.1.25", 11, []), cut_after=57)
write("line-2.jsonl", station("line-2", "192.168.1.26", 12, back))
