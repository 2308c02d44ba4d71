#!/usr/bin/python3
# Stands in for a screen reader on the AT-SPI bus: listens to the kinds of events a screen
# reader listens to, so that applications send them (Qt's bridge sends an event only when
# some client listens for its kind), and asks each event's source for its name, role and
# states, as a screen reader does before it decides whether to speak (each a call answered by
# the application). Prints "listening" once its listeners are registered, and on SIGTERM or
# SIGINT the events it received by kind. Used by scripts/a11y-benchmark.sh.
import collections
import signal
import sys

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib  # noqa: E402

counts = collections.Counter()


def on_event(event):
    counts[event.type] += 1
    source = event.source
    if source is None:
        return
    try:
        source.get_name()
        source.get_role()
        source.get_state_set()
    except GLib.Error:
        counts["(source gone before it answered)"] += 1


def stop():
    total = sum(counts.values())
    print(f"AT listener: {total} events", flush=True)
    for kind, count in counts.most_common():
        print(f"  {count:8d} {kind}", flush=True)
    Atspi.event_quit()
    return GLib.SOURCE_REMOVE


listener = Atspi.EventListener.new(on_event)
for kind in ("object:", "window:", "focus:"):
    listener.register(kind)
for number in (signal.SIGTERM, signal.SIGINT):
    GLib.unix_signal_add(GLib.PRIORITY_HIGH, number, stop)
print("listening", flush=True)
Atspi.event_main()
sys.exit(0)
