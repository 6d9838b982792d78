"""The installed window on an X display (run it under xvfb-run): the program
starts, maps a window of its own and paints it, and ends with status 0 when
the window is closed the way a desktop closes it (WM_DELETE_WINDOW). Every
wait is bounded; the window's own output is shown only on failure.

    python3 window_smoke.py PROGRAM
"""

import os
import subprocess
import sys
import tempfile
import time

from Xlib import X, display, protocol

START_SECONDS = 30  # to a painted window, on a loaded machine
END_SECONDS = 10  # from the close to the exit


def main(program):
    with tempfile.TemporaryDirectory() as folder:
        # The address list holds loopback only: nothing is sent, and nothing
        # could reach a device if it were.
        with open(os.path.join(folder, "BOOTLOADER.ini"), "wb") as ini:
            ini.write(b"127.0.0.1\r\n")
        log_path = os.path.join(folder, "window.log")
        with open(log_path, "wb") as log:
            child = subprocess.Popen(
                [program], cwd=folder, stdout=log, stderr=subprocess.STDOUT,
                env=dict(os.environ, QT_QPA_PLATFORM="xcb"))
        try:
            problem = run(child)
        finally:
            if child.poll() is None:
                child.kill()
                child.wait()
        if problem:
            with open(log_path, "rb") as log:
                output = log.read().decode(errors="replace").strip()
            sys.exit(f"FAIL: {program}: {problem}\n{output or '(no output)'}")


def run(child):
    screen = display.Display()
    root = screen.screen().root
    pid_atom = screen.intern_atom("_NET_WM_PID")

    def own_window():
        for window in root.query_tree().children:
            pid = window.get_full_property(pid_atom, X.AnyPropertyType)
            if (pid and pid.value[0] == child.pid
                    and window.get_attributes().map_state == X.IsViewable):
                return window
        return None

    def colours(window):
        # Distinct pixels: an unpainted window is one colour.
        size = window.get_geometry()
        pixels = window.get_image(0, 0, size.width, size.height, X.ZPixmap, 0xFFFFFFFF).data
        return len({pixels[i:i + 4] for i in range(0, len(pixels), 4)})

    deadline = time.monotonic() + START_SECONDS
    window = None
    while time.monotonic() < deadline:
        if child.poll() is not None:
            return f"ended with status {child.returncode} before showing a window"
        window = window or own_window()
        if window and colours(window) >= 8:
            break
        time.sleep(0.2)
    else:
        return f"no painted window within {START_SECONDS} s"

    size = window.get_geometry()
    title = window.get_wm_name()
    protocols = screen.intern_atom("WM_PROTOCOLS")
    delete = screen.intern_atom("WM_DELETE_WINDOW")
    window.send_event(protocol.event.ClientMessage(
        window=window, client_type=protocols, data=(32, [delete, X.CurrentTime, 0, 0, 0])))
    screen.flush()
    try:
        status = child.wait(timeout=END_SECONDS)
    except subprocess.TimeoutExpired:
        return f"still running {END_SECONDS} s after its window was closed"
    if status != 0:
        return f"ended with status {status} after its window was closed"
    print(f"window \"{title}\", {size.width}x{size.height}, painted; closed, status 0")
    return None


if __name__ == "__main__":
    main(sys.argv[1])
