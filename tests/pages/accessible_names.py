#!/usr/bin/python3
"""Checks through the accessibility bus (AT-SPI) that every entry an operator
can tap is found by its visible text, and every dialog by its title; then
fills in the whole information page through accessible actions alone, as a
switch user or a screen reader would: a task, a tag group and a tag, a
device, the part number on the keypad, and "进入采集". An entry that a pointer
click reaches but its default action ("press" or "activate") does not fails.

Run inside a display and a D-Bus session, e.g.
  xvfb-run -a dbus-run-session -- accessible_names.py build/.../ui_probe demo/home
The probe prints the texts it shows ("ENTRY\t<text>", "WINDOW\t<title>"),
then "READY"; after "drive" on its stdin it prints the information page's
state ("STATE\t<json>") on every change; it quits when its stdin is closed.
Exit code 77 means skipped.
"""
import json
import queue
import subprocess
import sys
import threading
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


def accessibles_named(node, name, found, depth=0):
    """Every accessible below node whose name is `name` and that is showing."""
    if node is None or depth > 40:
        return found
    if node.get_name() == name and node.get_state_set().contains(Atspi.StateType.SHOWING):
        found.append(node)
    for i in range(node.get_child_count()):
        accessibles_named(node.get_child_at_index(i), name, found, depth + 1)
    return found


class Driver:
    """Presses entries of the probe through their default accessible action
    and waits for the page state the probe reports."""

    def __init__(self, app, child):
        self.app = app
        self.states = queue.Queue()
        self.state = None
        threading.Thread(target=self._read, args=(child.stdout,), daemon=True).start()

    def _read(self, stream):
        for line in stream:
            kind, _, text = line.rstrip("\n").partition("\t")
            if kind == "STATE":
                self.states.put(json.loads(text))

    def wait_for(self, what, condition, seconds=5.0):
        deadline = time.monotonic() + seconds
        while True:
            if self.state is not None and condition(self.state):
                return True
            try:
                self.state = self.states.get(timeout=max(0.01, deadline - time.monotonic()))
            except queue.Empty:
                print(f"FAIL: {what}: the page did not follow (state {json.dumps(self.state, ensure_ascii=False)})")
                return False

    def press(self, name):
        """Runs the default action of the one showing accessible named `name`."""
        nodes = accessibles_named(self.app, name, [])
        if len(nodes) != 1:
            print(f"FAIL: '{name}': {len(nodes)} showing accessibles carry the name, expected one")
            return False
        action = nodes[0].get_action_iface()
        count = action.get_n_actions() if action else 0
        first = action.get_action_name(0) if count else ""
        if first.lower() not in ("press", "activate"):
            print(f"FAIL: '{name}' ({nodes[0].get_role_name()}) has no press or activate action "
                  f"(actions: {[action.get_action_name(i) for i in range(count)]}); only a click reaches it")
            return False
        action.do_action(0)
        return True


def selected(rows):
    return [text for text, chosen in rows if chosen]


def drive_information_page(driver):
    """Task, tag group, tag, device, part number and enter, by actions alone."""
    if not driver.wait_for("the probe's first state", lambda s: s["page"] == 1 and s["tasks"]):
        return False
    state = driver.state
    # A task that asks for a part number and offers tags shows every control;
    # which one that is the page tells once it is chosen, so try them in turn.
    for task, _ in state["tasks"]:
        if not driver.press(task) or not driver.wait_for(f"task '{task}'", lambda s: selected(s["tasks"]) == [task]):
            return False
        if driver.state["part"] and driver.state["tags"]:
            break
    state = driver.state
    print(f"task '{selected(state['tasks'])[0]}' chosen through its action")
    if len(state["groups"]) > 1:
        group = state["groups"][1][0]
        if not driver.press(group) or not driver.wait_for(f"group '{group}'",
                                                          lambda s: selected(s["groups"]) == [group]):
            return False
    tag = driver.state["tags"][0][0]
    if not driver.press(tag) or not driver.wait_for(f"tag '{tag}'", lambda s: tag in selected(s["tags"])):
        return False
    print(f"tag '{tag}' chosen through its action")
    if not driver.state["devices"]:
        print("FAIL: the page shows no device entries")
        return False
    device = driver.state["devices"][0][0]
    for want in (False, True):  # off and on again: the session keeps its devices
        if not driver.press(device) or not driver.wait_for(
                f"device '{device}'", lambda s: (device in selected(s["devices"])) == want):
            return False
    print(f"device '{device}' toggled through its action")
    part = driver.state["part"]
    if not driver.press(part):
        return False
    time.sleep(0.5)  # the keypad opens
    for key in ("1", "2", "确认"):
        if not driver.press(key):
            return False
        time.sleep(0.2)
    if not driver.wait_for("part number", lambda s: s["part"].endswith("12")):
        return False
    print(f"part number entered on the keypad: {driver.state['part']}")
    if not driver.press("进入采集") or not driver.wait_for("进入采集", lambda s: s["page"] == 2, 10):
        return False
    print("capture page reached through actions alone")
    return True


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
        child.stdin.write("drive\n")
        child.stdin.flush()
        driven = drive_information_page(Driver(app, child))
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
    return 1 if missing or not driven else 0


if __name__ == "__main__":
    sys.exit(main())
