#!/usr/bin/env python3
"""Reads a file back with Python's own modules and prints what it found as one JSON document,
for the field-log tests: "csv" (a log or gpsbabel's unicsv: header and rows, strict quoting) or
"jsonl" (one JSON object per line)."""

import csv
import json
import sys


def read_csv(path):
    with open(path, newline="", encoding="utf-8") as f:
        records = list(csv.reader(f, strict=True))
    header, rows = records[0], records[1:]
    for number, row in enumerate(rows, start=2):
        if len(row) != len(header):
            raise SystemExit("%s:%d: %d fields, the header has %d" % (path, number, len(row), len(header)))
    return {"header": header, "rows": [dict(zip(header, row)) for row in rows]}


def read_jsonl(path):
    rows = []
    with open(path, "rb") as f:
        data = f.read()
    if data and not data.endswith(b"\n"):
        raise SystemExit("%s: the last line has no end" % path)
    for number, line in enumerate(data.decode("utf-8").split("\n")[:-1], start=1):
        value = json.loads(line)
        if not isinstance(value, dict):
            raise SystemExit("%s:%d: not an object" % (path, number))
        rows.append(value)
    return {"rows": rows}


def main():
    kind, path = sys.argv[1], sys.argv[2]
    found = read_csv(path) if kind == "csv" else read_jsonl(path)
    print(json.dumps(found, ensure_ascii=True))


if __name__ == "__main__":
    main()
