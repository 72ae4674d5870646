"""Reads the TID of the first tag seen: python3 read_tid.py [tcp:HOST:PORT]"""
import sys

import ulmot

with ulmot.Reader(*sys.argv[1:2]) as reader:
    first = next(iter(reader.inventory(reads=1)))
    for tag in reader.read(first.epc, bank="tid"):
        print(tag.epc, tag.data.hex().upper() if tag.ok else tag.error_text)
