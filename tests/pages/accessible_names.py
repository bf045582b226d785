#!/usr/bin/python3
"""Checks through the accessibility bus (AT-SPI) that every entry an operator
can tap is found by its visible text, and every dialog by its title.

Run inside a display and a D-Bus session, e.g.
  xvfb-run -a dbus-run-session -- accessible_names.py build/.../ui_probe demo/home
The probe prints the texts it shows ("ENTRY\t<text>", "WINDOW\t<title>"),
then "READY"; it quits when its stdin is closed. Exit code 77 means skipped.
"""
import subprocess
import sys
import time

try:
    import gi
    gi.require_version("Atspi", "2.0")
    from gi.repository import Atspi
except (ImportError, ValueError) as error:
    print(f"skipped: no AT-SPI client library for Python ({error})")
    sys.exit(77)

APP_NAME = "kavrel_ui_probe"


def find_app(deadline):
    while time.monotonic() < deadline:
        desktop = Atspi.get_desktop(0)
        for i in range(desktop.get_child_count()):
            app = desktop.get_child_at_index(i)
            if app is not None and app.get_name() == APP_NAME:
                return app
        time.sleep(0.2)
    return None


def names_in(node, found, depth=0):
    """(role, name) of every accessible below node."""
    if node is None or depth > 40:
        return
    found.append((node.get_role_name(), node.get_name() or ""))
    for i in range(node.get_child_count()):
        names_in(node.get_child_at_index(i), found, depth + 1)


def main():
    probe, home = sys.argv[1], sys.argv[2]
    child = subprocess.Popen([probe, home], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    entries, windows = [], []
    for line in child.stdout:
        kind, _, text = line.rstrip("\n").partition("\t")
        if kind == "ENTRY" and text not in entries:
            entries.append(text)
        elif kind == "WINDOW":
            windows.append(text)
        elif kind == "READY":
            break
    try:
        app = find_app(time.monotonic() + 30)
        if app is None:
            print(f"FAIL: {APP_NAME} never appeared on the accessibility bus")
            return 1
        found = []
        names_in(app, found)
    finally:
        child.stdin.close()
        child.wait(timeout=30)

    names = {name for _, name in found}
    window_names = {name for role, name in found if role in ("dialog", "frame", "window")}
    missing = [text for text in entries if text not in names]
    missing += [f"window '{title}'" for title in windows if title not in window_names]
    print(f"{len(entries)} entries and {len(windows)} dialog titles checked, {len(found)} accessibles seen")
    if not entries:
        print("FAIL: the probe showed no entries")
        return 1
    for text in missing:
        print(f"FAIL: not found by its text: {text}")
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
