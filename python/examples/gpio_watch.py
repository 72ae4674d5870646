"""Prints every GPI/GPO change for 3 seconds: python3 gpio_watch.py [tcp:HOST:PORT]"""
import sys

import ulmot

with ulmot.Reader(*sys.argv[1:2]) as reader:
    for change in reader.gpio.watch(duration=3):
        print(change.line, change.state, change.reader_time)
