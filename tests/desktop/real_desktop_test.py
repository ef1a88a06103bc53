#!/usr/bin/env python3
"""Tessel on a real X desktop: Xvfb with openbox as window manager and trayer as tray host.

The built program, started plainly in a private network namespace, must show its window, dock
its tray icon, take a file and a folder dropped from another program (an XDND drag driven by
xdotool), put the share's URL on the clipboard from the Share menu (read back with xclip), hide
when minimised and come back on a click on its tray icon, and end on "tessel -uninstall". Started
again with "-mini" (as the auto-start entry does), it must stay hidden with its icon in the tray,
whose right-click menu opens and ends it with Exit.

Exit status 0 when all holds, 77 (skipped) when a tool is missing, 1 otherwise.
"""
import argparse
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time

SKIP = 77
PATIENCE = 30.0  # seconds for any one step; generous for a loaded two-core machine


class Failure(Exception):
    pass


def wait_for(what, check, timeout=PATIENCE, interval=0.1):
    """Polls check() until it returns something true, and returns that; fails after timeout."""
    deadline = time.monotonic() + timeout
    while True:
        result = check()
        if result:
            return result
        if time.monotonic() > deadline:
            raise Failure("timed out waiting for " + what)
        time.sleep(interval)


class Desktop:
    def __init__(self, args, root):
        self.args = args
        self.root = root
        self.processes = []
        self.env = None

    # --- helpers

    def run(self, *command, check=True, timeout=PATIENCE):
        result = subprocess.run(command, env=self.env, capture_output=True, text=True,
                                timeout=timeout)
        if check and result.returncode != 0:
            raise Failure("%s failed (%d): %s" % (" ".join(command), result.returncode,
                                                   result.stderr.strip()))
        return result.stdout

    def spawn(self, *command, **kwargs):
        process = subprocess.Popen(command, env=self.env, **kwargs)
        self.processes.append(process)
        return process

    def isolated(self, *command):
        """The command in a network namespace of its own with only loopback."""
        unshare = ["unshare", "--net"] if os.geteuid() == 0 else \
            ["unshare", "--user", "--map-root-user", "--net"]
        return unshare + ["--", "sh", "-c", 'ip link set lo up && exec "$0" "$@"'] + list(command)

    def windows(self, *search):
        out = self.run("xdotool", "search", *search, check=False)
        return [int(w) for w in out.split()]

    def map_state(self, window):
        for line in self.run("xwininfo", "-id", str(window), check=False).splitlines():
            if "Map State:" in line:
                return line.split(":", 1)[1].strip()
        return ""

    def wm_state(self, window):
        out = self.run("xprop", "-id", str(window), "WM_STATE", check=False)
        for word in ("Normal", "Iconic", "Withdrawn"):
            if "window state: " + word in out:
                return word
        return "Withdrawn"  # the property removed: the window manager let go of it

    def geometry(self, window):
        values = {}
        for line in self.run("xdotool", "getwindowgeometry", "--shell", str(window)).splitlines():
            key, _, value = line.partition("=")
            values[key] = int(value)
        return values

    # --- the desktop

    def start_x(self):
        read_end, write_end = os.pipe()
        self.spawn("Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x800x24",
                   "-nolisten", "tcp", "-noreset", pass_fds=(write_end,),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            display = pipe.readline().strip()
        if not display:
            raise Failure("Xvfb did not start")
        for name in ("run", "config", "home", "prog"):
            os.makedirs(os.path.join(self.root, name), mode=0o700)
        self.env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "DISPLAY": ":" + display,
            # Otherwise D-Bus autolaunch leaves a session bus running after the test.
            "DBUS_SESSION_BUS_ADDRESS": "disabled:",
            "XDG_RUNTIME_DIR": os.path.join(self.root, "run"),
            "XDG_CONFIG_HOME": os.path.join(self.root, "config"),
            "HOME": os.path.join(self.root, "home"),
            "LANG": "C.UTF-8",
        }
        for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
            if name in os.environ:
                self.env[name] = os.environ[name]
        wait_for("the X server", lambda: self.run("xdpyinfo", check=False))

        self.spawn("openbox", "--sm-disable", stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for("the window manager",
                 lambda: "window id" in self.run("xprop", "-root", "_NET_SUPPORTING_WM_CHECK",
                                                 check=False))
        self.spawn("trayer", "--edge", "bottom", "--align", "right", "--widthtype", "pixel",
                   "--width", "120", "--height", "28", "--SetDockType", "true",
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.tray_panel = wait_for("the tray host", lambda: self.windows("--classname", "^panel$"))[0]

    def install_program(self):
        prog = os.path.join(self.root, "prog")
        self.program = os.path.join(prog, "tessel")
        shutil.copy2(self.args.program, self.program)
        shutil.copy2(self.args.module, os.path.join(prog, os.path.basename(self.args.module)))
        if os.path.isdir(self.args.web):
            shutil.copytree(self.args.web, os.path.join(prog, "web"))
        # Any start makes the database; "-z" of nothing ends right after.
        subprocess.run(self.isolated(self.program, "-z", os.path.join(prog, "nothing")),
                       env=self.env, capture_output=True, timeout=PATIENCE)
        database = os.path.join(prog, "tessel.mdb")
        if not os.path.exists(database):
            raise Failure("the program made no database")
        with sqlite3.connect(database) as db:
            # A port of its own namespace that needs no privilege, and the address of this
            # computer at once instead of asking a router that is not there.
            for name, value in (("localport", "8080"), ("internetaccess", "0")):
                db.execute("update config set paramvalue=? where paramname=?", (value, name))
        self.database = database

    def shares(self):
        try:
            with sqlite3.connect(self.database, timeout=5) as db:
                return {row[0]: row[1] for row in db.execute("select filename, filepath from fileshare")}
        except sqlite3.Error:
            return {}

    # --- the checks

    def start_tessel(self):
        self.log = open(os.path.join(self.root, "tessel.log"), "w")
        self.tessel = self.spawn(*self.isolated(self.program), stdout=self.log, stderr=subprocess.STDOUT)
        self.window = wait_for("the main window",
                               lambda: self.windows("--onlyvisible", "--name", r"^Tessel 3\.6$"))[0]
        wait_for("the window to be viewable", lambda: self.map_state(self.window) == "IsViewable")

    def tray_icon(self):
        tree = self.run("xwininfo", "-tree", "-id", str(self.tray_panel), check=False)
        for line in tree.splitlines():
            if '("tessel" ' in line:
                return int(line.split()[0], 16)
        return None

    def check_tray(self):
        self.icon = wait_for("the tray icon docked in the tray", self.tray_icon)

    def drop_files(self):
        folder = os.path.join(self.root, "drop")
        os.makedirs(os.path.join(folder, "photos"))
        report = os.path.join(folder, "report.txt")
        with open(report, "w") as f:
            f.write("quarterly figures\n")
        photos = os.path.join(folder, "photos")
        source = self.spawn(self.args.drag_source, report, photos, stdout=subprocess.PIPE, text=True)
        if source.stdout.readline().strip() != "ready":
            raise Failure("the drag source did not start")
        source_window = wait_for("the drag source's window",
                                 lambda: self.windows("--onlyvisible", "--name", "^tessel drag source$"))[0]
        wait_for("the drag source to be viewable", lambda: self.map_state(source_window) == "IsViewable")
        src = self.geometry(source_window)
        dst = self.geometry(self.window)
        x0, y0 = src["X"] + src["WIDTH"] // 2, src["Y"] + src["HEIGHT"] // 2
        x1, y1 = dst["X"] + dst["WIDTH"] // 2, dst["Y"] + dst["HEIGHT"] // 2
        self.run("xdotool", "mousemove", "--sync", str(x0), str(y0))
        self.run("xdotool", "mousedown", "1")
        steps = 20
        for step in range(1, steps + 1):
            x = x0 + (x1 - x0) * step // steps
            y = y0 + (y1 - y0) * step // steps
            self.run("xdotool", "mousemove", str(x), str(y))
            time.sleep(0.05)
        time.sleep(0.5)  # let the target answer the last position before the drop
        self.run("xdotool", "mouseup", "1")
        outcome = source.stdout.readline().strip()
        if outcome != "drop accepted":
            raise Failure("the drag ended with: " + (outcome or "nothing"))
        found = wait_for("the dropped file and folder as shares",
                         lambda: (lambda s: s if {"report.txt", "photos"} <= set(s) else None)(self.shares()))
        if found["report.txt"] != report or found["photos"] != photos:
            raise Failure("shares point elsewhere: %r" % found)
        source.wait(timeout=PATIENCE)

    def copy_url(self):
        self.run("xdotool", "windowactivate", "--sync", str(self.window))
        expected = ("http://127.0.0.1:8080/download.htm?file=report.txt",
                    "http://127.0.0.1:8080/download.htm?file=photos")

        def copied():
            # The first row of File Share becomes current and selected (a list that takes the
            # focus makes its first row current without selecting it: Home alone would not
            # move), then Share > Copy URL.
            self.run("xdotool", "key", "--clearmodifiers", "End", "Home")
            self.run("xdotool", "key", "--clearmodifiers", "alt+s")
            time.sleep(0.3)
            self.run("xdotool", "key", "c")
            time.sleep(0.3)
            text = self.run("xclip", "-o", "-selection", "clipboard", check=False, timeout=10)
            self.last_clipboard = text
            return text if text in expected else None
        # The address is known after the first Internet check, about a second after start.
        self.last_clipboard = ""
        try:
            self.url = wait_for("the share's URL on the clipboard", copied, interval=0.5)
        except Failure as error:
            raise Failure("%s (it holds %r)" % (error, self.last_clipboard))

    def minimise_and_restore(self):
        self.run("xdotool", "windowminimize", str(self.window))
        wait_for("the minimised window to leave the screen and the taskbar",
                 lambda: self.map_state(self.window) == "IsUnMapped" and
                 self.wm_state(self.window) == "Withdrawn")
        if self.tessel.poll() is not None:
            raise Failure("the program ended on minimise")
        self.run("xdotool", "mousemove", "--window", str(self.icon), "11", "11")
        self.run("xdotool", "click", "1")
        wait_for("the window back after the tray click",
                 lambda: self.map_state(self.window) == "IsViewable" and
                 self.wm_state(self.window) == "Normal")

    def uninstall(self):
        result = subprocess.run(self.isolated(self.program, "-uninstall"), env=self.env,
                                capture_output=True, text=True, timeout=PATIENCE)
        if result.returncode != 0:
            raise Failure("tessel -uninstall failed: " + result.stderr)
        status = self.tessel.wait(timeout=PATIENCE)
        if status != 0:
            raise Failure("the program ended with status %d" % status)

    def start_mini(self):
        self.tessel = self.spawn(*self.isolated(self.program, "-mini"), stdout=self.log,
                                 stderr=subprocess.STDOUT)
        self.icon = wait_for("the tray icon of the -mini start", self.tray_icon)
        # A window shown late would be as wrong as one shown at once.
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline:
            if self.windows("--onlyvisible", "--name", r"^Tessel 3\.6$"):
                raise Failure("-mini showed the window")
            time.sleep(0.2)

    def tray_menu_exit(self):
        before = set(self.windows("--onlyvisible", "--classname", "tessel"))
        self.run("xdotool", "mousemove", "--window", str(self.icon), "11", "11")
        self.run("xdotool", "click", "3")
        menu = wait_for("the tray menu",
                        lambda: list(set(self.windows("--onlyvisible", "--classname", "tessel"))
                                     - before))[0]
        if self.geometry(menu)["HEIGHT"] < 40:
            raise Failure("the tray menu is too small to hold its four items")
        # Up from the top of an open menu goes to its last item, Exit.
        self.run("xdotool", "key", "Up", "Return")
        status = self.tessel.wait(timeout=PATIENCE)
        if status != 0:
            raise Failure("Exit from the tray menu ended the program with status %d" % status)

    def stop(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--module", required=True)
    parser.add_argument("--drag-source", required=True)
    parser.add_argument("--web", default="")
    args = parser.parse_args()

    missing = [tool for tool in ("Xvfb", "openbox", "trayer", "xdotool", "xclip", "xprop",
                                 "xwininfo", "xdpyinfo", "unshare")
               if shutil.which(tool) is None]
    if missing:
        print("skipped: not installed: " + " ".join(missing) + " (scripts/install-deps installs them)")
        return SKIP
    probe = subprocess.run(Desktop(args, "").isolated("true"), capture_output=True)
    if probe.returncode != 0:
        print("skipped: no private network namespace can be made here")
        return SKIP

    root = tempfile.mkdtemp(prefix="tessel-desktop-")
    desktop = Desktop(args, root)
    step = "setting up"
    try:
        for step, action in (("starting the X desktop", desktop.start_x),
                             ("installing the program", desktop.install_program),
                             ("showing the window", desktop.start_tessel),
                             ("docking the tray icon", desktop.check_tray),
                             ("taking a drop", desktop.drop_files),
                             ("copying the URL", desktop.copy_url),
                             ("hiding and coming back", desktop.minimise_and_restore),
                             ("ending on -uninstall", desktop.uninstall),
                             ("starting hidden with -mini", desktop.start_mini),
                             ("ending from the tray menu", desktop.tray_menu_exit)):
            action()
            print("ok: " + step)
        return 0
    except (Failure, subprocess.TimeoutExpired) as error:
        print("FAILED while %s: %s" % (step, error))
        log = os.path.join(root, "tessel.log")
        if os.path.exists(log):
            print("--- the program's output:\n" + open(log).read())
        return 1
    finally:
        desktop.stop()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
