"""Reads tags for 2 seconds and writes every read as a CSV line: python3 inventory_csv.py [tcp:HOST:PORT]"""
import csv
import dataclasses
import sys

import ulmot

with ulmot.Reader(*sys.argv[1:2]) as reader:
    out = csv.writer(sys.stdout)
    out.writerow(field.name for field in dataclasses.fields(ulmot.TagRead))
    for read in reader.inventory(duration=2):
        out.writerow(dataclasses.astuple(read))
