"""Runs the real Launcher.exe under Wine on the build tree's virtual display.

Used by the end-to-end tests and the demo: sample client folders, the stand-in
login server, the painted-text trace, screenshots and pointer input.
"""
import contextlib
import json
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import time

SOURCE_DIR = pathlib.Path(os.environ.get("ORVEX_SOURCE_DIR", pathlib.Path(__file__).resolve().parents[2]))
BUILD_DIR = pathlib.Path(os.environ.get("ORVEX_BUILD_DIR", SOURCE_DIR / "build" / "win"))
LAUNCHER_EXE = pathlib.Path(os.environ.get("ORVEX_LAUNCHER_EXE", BUILD_DIR / "Launcher.exe"))
PYTHON = "/usr/bin/python3"
TEST_SERVERS = SOURCE_DIR / "tools" / "test_servers"
WINDOW_TITLE = "ORVEX Launcher"


def wine_environment(debug="-all"):
    """Environment of the build tree's Wine prefix, with its display started."""
    exports = subprocess.run([str(BUILD_DIR / "wine-env.sh"), "ensure"], check=True, capture_output=True,
                             text=True).stdout
    env = dict(os.environ)
    for name, value in re.findall(r"(\w+)='([^']*)'", exports):
        env[name] = value
    env["WINEDEBUG"] = debug
    return env


# Start-up files of a client made by make_client besides the launcher: enough
# for a startup manifest (at least seven files) and an integrity manifest (one
# table), with the launcher files that the start-up quick check hashes.
CLIENT_START_UP_FILES = {
    "D3DX9_43.dll": b"MZ d3dx stand-in",
    "ORVEX/Launcher/skin.dat": b"launcher skin stand-in",
    "ORVEX/Launcher/strings.dat": b"launcher strings stand-in",
    "ORVEX/Launcher/empty.dat": b"",
    "readme.txt": b"ORVEX test client\r\n",
    "sound/click.wav": b"RIFF click stand-in",
    "data/item.tbl": b"item table stand-in",
}


def write_client_manifests(folder):
    """Signs ORVEX/Startup.manifest and ORVEX/Integrity.manifest for the files
    now in folder (the launcher copy included) with the development key."""
    subprocess.run([PYTHON, str(SOURCE_DIR / "tools" / "orvex_ops" / "publish.py"), "make-client-manifests", "--tree",
                    str(folder), "--out", str(folder)], check=True, capture_output=True)


def make_client(folder, version=2372, server_ini=None, login_host="127.0.0.1", exe_name="Launcher.exe",
                client_manifests=True):
    """A client folder with the launcher, Server.ini and stand-in game files.

    client_manifests: also the stand-in start-up files and the two signed
    client manifests for the tree, so that the launcher's start-up check passes
    without a repair; False leaves all of them out."""
    folder = pathlib.Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    shutil.copy2(LAUNCHER_EXE, folder / exe_name)
    if server_ini is None:
        server_ini = f"[Version]\r\nFiles={version}\r\n[Server]\r\nCount=1\r\nIP0={login_host}\r\n"
    (folder / "Server.ini").write_text(server_ini)
    (folder / "data").mkdir(exist_ok=True)
    if client_manifests:
        for name, data in CLIENT_START_UP_FILES.items():
            (folder / name).parent.mkdir(parents=True, exist_ok=True)
            (folder / name).write_bytes(data)
        write_client_manifests(folder)
    return folder


def drawn_texts(trace_text):
    """Strings that DrawText painted, in order, decoded from Wine's debug form."""
    texts = []
    for match in re.finditer(r'trace:text:DrawTextExW L"((?:[^"\\]|\\.)*)"', trace_text):
        raw = match.group(1)
        texts.append(re.sub(r"\\([0-9a-f]{4})", lambda m: chr(int(m.group(1), 16)), raw)
                     .replace('\\"', '"').replace("\\\\", "\\"))
    return texts


def drawn_rects(trace_text, wanted):
    """(rectangle, DrawText flags) of every DrawText call that painted exactly wanted."""
    calls = []
    for match in re.finditer(r'trace:text:DrawTextExW L"((?:[^"\\]|\\.)*)", -?\d+, '
                             r'\[\((-?\d+),(-?\d+)\)-\((-?\d+),(-?\d+)\)\] ([0-9a-f]+)', trace_text):
        if drawn_texts(match.group(0)) == [wanted]:
            calls.append((tuple(int(v) for v in match.group(2, 3, 4, 5)), int(match.group(6), 16)))
    return calls


class _ServerProcess:
    """A stand-in server process that is stopped at the end of a with-block."""

    process = None

    def __exit__(self, *exc):
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(5)
        except subprocess.TimeoutExpired:
            self.process.kill()


class LoginServer(_ServerProcess):
    """The stand-in login server on 127.0.0.1:15100 for the length of a with-block."""

    lifetime = 300  # seconds; the demo keeps it longer for a person at the window

    def __init__(self, workdir, **scenario):
        self.workdir = pathlib.Path(workdir)
        self.record = self.workdir / "login-record.jsonl"
        self.scenario_file = self.workdir / "login-scenario.json"
        self.scenario_file.write_text(json.dumps(scenario))
        self.process = None

    def __enter__(self):
        self.process = subprocess.Popen(
            [PYTHON, str(TEST_SERVERS / "login_server.py"), "--scenario", str(self.scenario_file),
             "--record", str(self.record), "--lifetime", str(self.lifetime)],
            stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        if "listening" not in line:
            self.process.kill()
            raise RuntimeError("login server did not start")
        return self


    def frames(self):
        """Payloads the client sent, as bytes, in order."""
        if not self.record.exists():
            return []
        frames = []
        for line in self.record.read_text().splitlines():
            entry = json.loads(line)
            frames.append(bytes.fromhex(entry["payload"]))
        return frames


class SiteServer(_ServerProcess):
    """tools/test_servers/site_server.py (the announcements feed) on a free port for the
    length of a with-block; feed None serves its sample announcements."""

    def __init__(self, workdir, feed=None, *switches, lifetime=120):
        self.workdir = pathlib.Path(workdir)
        self.log = self.workdir / "site-requests.jsonl"
        command = [PYTHON, str(TEST_SERVERS / "site_server.py"), "--port", "0", "--lifetime", str(lifetime),
                   "--log", str(self.log), *switches]
        if feed is not None:
            feed_file = self.workdir / "feed.json"
            feed_file.write_text(json.dumps(feed, ensure_ascii=False), encoding="utf-8")
            command += ["--feed", str(feed_file)]
        self.command = command
        self.process = None
        self.origin = None

    def __enter__(self):
        self.process = subprocess.Popen(self.command, stdout=subprocess.PIPE, text=True, stdin=subprocess.DEVNULL)
        line = self.process.stdout.readline()
        if not line.startswith("listening "):
            self.process.kill()
            raise RuntimeError("site server did not start")
        self.origin = f"http://127.0.0.1:{int(line.split()[1])}"
        return self

    def requests(self):
        if not self.log.exists():
            return []
        return [json.loads(line) for line in self.log.read_text(encoding="utf-8").splitlines()]


class Launcher:
    """One Launcher.exe process with the painted-text trace on its stderr."""

    def __init__(self, folder, args=(), exe_name="Launcher.exe", trace=True, prefix=None):
        self.folder = pathlib.Path(folder)
        self.trace_file = self.folder.parent / f"{self.folder.name}-trace-{time.monotonic_ns()}.txt"
        # trace+text: every DrawText string; trace+win: window creation and ShowWindow calls.
        self.env = wine_environment("-all,trace+text,trace+win" if trace else "-all")
        if prefix:
            self.env["WINEPREFIX"] = str(prefix)
        self.display = self.env["DISPLAY"]
        with open(self.trace_file, "wb") as trace_out:
            self.process = subprocess.Popen(["wine", str(self.folder / exe_name), *args], cwd=self.folder,
                                            env=self.env, stdout=subprocess.DEVNULL, stderr=trace_out,
                                            stdin=subprocess.DEVNULL)

    def trace(self):
        return self.trace_file.read_text(errors="replace")

    def texts(self):
        return drawn_texts(self.trace())

    def show_commands(self):
        """ShowWindow commands applied to top-level windows of this process, in order."""
        return [int(c) for c in re.findall(r"trace:win:show_window hwnd=\w+, cmd=(\d+)", self.trace())]

    def wait_for_text(self, wanted, timeout=20):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if any(wanted in text for text in self.texts()):
                return True
            if self.process.poll() is not None:
                break
            time.sleep(0.1)
        return any(wanted in text for text in self.texts())

    def status_lines(self):
        """Texts painted into the status line (drawn right before the percentage)."""
        texts = self.texts()
        return [texts[i - 1] for i, t in enumerate(texts) if i > 0 and re.fullmatch(r"\d+%", t)]

    def xdotool(self, *args, check=True):
        return subprocess.run(["xdotool", *args], env=self.env, capture_output=True, text=True, check=check)

    def window_id(self, timeout=20):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = self.xdotool("search", "--name", f"^{WINDOW_TITLE}$", check=False).stdout.split()
            if found:
                return found[0]
            if self.process.poll() is not None:
                return None
            time.sleep(0.1)
        return None

    def geometry(self, window):
        out = self.xdotool("getwindowgeometry", "--shell", window).stdout
        values = dict(line.split("=", 1) for line in out.split() if "=" in line)
        return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])

    def is_viewable(self, window):
        out = subprocess.run(["xwininfo", "-id", window], env=self.env, capture_output=True, text=True).stdout
        return "IsViewable" in out

    def click_canvas(self, window, x, y):
        """Clicks a point of the 800x600 canvas (the window is 800x600 on the test display)."""
        left, top, _, _ = self.geometry(window)
        # Move there first and let Wine see the pointer arrive (hover), then
        # press and release as separate events, as a hand would.
        self.xdotool("mousemove", str(left + x + 1), str(top + y + 1))
        time.sleep(0.1)
        self.xdotool("mousemove", str(left + x), str(top + y))
        time.sleep(0.3)
        self.xdotool("mousedown", "1")
        time.sleep(0.1)
        self.xdotool("mouseup", "1")

    def screenshot(self, path):
        subprocess.run(["import", "-window", "root", "-display", self.display, str(path)], env=self.env,
                       check=True, capture_output=True)
        return path

    def wait(self, timeout=20):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def close(self):
        """Ends the process: the Close element first, then by force."""
        if self.process.poll() is None:
            for _ in range(2):
                window = self.window_id(timeout=1)
                if window:
                    with contextlib.suppress(Exception):
                        self.click_canvas(window, 776, 25)
                if self.wait(5) is not None:
                    break
            if self.process.poll() is None:
                self.process.kill()
                self.process.wait(5)
        return self.process.returncode


@contextlib.contextmanager
def prefix_with_dpi(workdir, dpi):
    """A Wine prefix like the build tree's whose display has dpi dots per inch
    (the LogPixels setting), for the length of a with-block. It shares the
    tree's drive C (a symbolic link) and copies only the registry."""
    base = pathlib.Path(wine_environment()["WINEPREFIX"])
    prefix = pathlib.Path(workdir) / f"prefix-{dpi}dpi"
    prefix.mkdir()
    for name in ("system.reg", "user.reg", "userdef.reg", ".update-timestamp"):
        shutil.copy2(base / name, prefix / name)
    (prefix / "drive_c").symlink_to(base / "drive_c")
    (prefix / "dosdevices").mkdir()
    (prefix / "dosdevices" / "c:").symlink_to("../drive_c")
    (prefix / "dosdevices" / "z:").symlink_to("/")
    env = dict(wine_environment(), WINEPREFIX=str(prefix))
    try:
        for key in (r"HKCU\Control Panel\Desktop",
                    r"HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts"):
            subprocess.run(["wine", "reg", "add", key, "/v", "LogPixels", "/t", "REG_DWORD", "/d", str(dpi), "/f"],
                           env=env, check=True, capture_output=True, stdin=subprocess.DEVNULL)
        yield prefix
    finally:
        subprocess.run(["wineserver", "-k"], env=env, capture_output=True)
        subprocess.run(["wineserver", "-w"], env=env, capture_output=True)


def pixel(png_path, x, y):
    """RGB of one pixel of a PNG, read through ImageMagick."""
    out = subprocess.run(["convert", str(png_path), "-crop", f"1x1+{x}+{y}", "-depth", "8", "txt:-"],
                         capture_output=True, text=True, check=True).stdout
    match = re.search(r"\((\d+),(\d+),(\d+)", out.splitlines()[-1])
    return tuple(int(v) for v in match.groups())


def run_once(folder, args=(), exe_name="Launcher.exe", timeout=30):
    """Runs a launcher that is expected to end by itself; returns (exit code, trace text)."""
    env = wine_environment("-all,trace+win")
    result = subprocess.run(["wine", str(pathlib.Path(folder) / exe_name), *args], cwd=folder, env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                            timeout=timeout)
    return result.returncode, result.stderr.decode(errors="replace")


if __name__ == "__main__":
    print(drawn_texts(sys.stdin.read()))


PROXY_VARIABLES = ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY")


def drop_proxy_settings():
    """Removes the proxy variables from this process's environment: WinHTTP under
    Wine honours http_proxy, and loopback requests must reach the stand-in
    servers directly in every Wine process started afterwards."""
    for name in PROXY_VARIABLES:
        os.environ.pop(name, None)


class PatchServer(_ServerProcess):
    """The stand-in patch server on its fixed ports (fallback 5443 under /patch/,
    CDN 5444 under /orvex-patch/) serving root for the length of a with-block.

    always: switches of tools/test_servers/patch_server.py applied to every request, such as
    "delay-0.3". Every request is logged; requests() reads the log."""

    def __init__(self, workdir, root, always=(), extra_args=()):
        self.workdir = pathlib.Path(workdir)
        self.root = pathlib.Path(root)
        self.log = self.workdir / f"patch-requests-{time.monotonic_ns()}.jsonl"
        self.errors = self.workdir / "patch-server.err"
        self.always = list(always)
        self.extra_args = list(extra_args)
        self.process = None

    def __enter__(self):
        command = [PYTHON, str(TEST_SERVERS / "patch_server.py"), "--root", str(self.root), "--log",
                   str(self.log), "--lifetime", "300", "--quiet"]
        for switch in self.always:
            command += ["--always", switch]
        command += self.extra_args
        with open(self.errors, "wb") as errors:
            self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=errors, text=True,
                                            stdin=subprocess.DEVNULL)
        line = self.process.stdout.readline()
        if "listening" not in line:
            self.process.kill()
            self.process.wait(5)
            raise RuntimeError("patch server did not start: " + self.errors.read_text(errors="replace"))
        return self


    def requests(self):
        """Logged requests in arrival order (failed handshakes left out)."""
        if not self.log.exists():
            return []
        entries = [json.loads(line) for line in self.log.read_text(encoding="utf-8").splitlines()]
        return [entry for entry in entries if "method" in entry]

    def gets(self, endpoint="cdn"):
        """Paths of the GET requests that reached one endpoint, in order."""
        return [entry["path"] for entry in self.requests()
                if entry["method"] == "GET" and entry["endpoint"] == endpoint]

    def posts(self, path=None):
        """Logged POST requests in order; only those to path when given."""
        return [entry for entry in self.requests()
                if entry["method"] == "POST" and (path is None or entry["path"] == path)]


def status_and_percent(launcher):
    """(status line, percentage text) of every painted frame, in order."""
    texts = launcher.texts()
    return [(texts[i - 1], t) for i, t in enumerate(texts) if i > 0 and re.fullmatch(r"\d+%", t)]


def read_ini_value(path, section, key):
    """A value of an INI file as the profile functions read it (names compared
    ignoring case), or None."""
    current = None
    for line in pathlib.Path(path).read_text(encoding="latin-1").splitlines():
        line = line.strip()
        if line.startswith("[") and line.endswith("]"):
            current = line[1:-1].strip().lower()
        elif current == section.lower() and "=" in line:
            name, value = line.split("=", 1)
            if name.strip().lower() == key.lower():
                return value.strip()
    return None


def turkish_code_page_environment(workdir):
    """Environment entries under which Wine programs run with the Turkish ANSI
    code page 1254 (the code page of Turkish Windows) while Linux file names
    stay UTF-8: a tr_TR.UTF-8 locale compiled into workdir with localedef.
    None when localedef or the locale's source is not installed."""
    if not shutil.which("localedef") or not pathlib.Path("/usr/share/i18n/locales/tr_TR").exists():
        return None
    locales = pathlib.Path(workdir) / "locales"
    locales.mkdir(parents=True, exist_ok=True)
    result = subprocess.run(["localedef", "-i", "tr_TR", "-f", "UTF-8", str(locales / "tr_TR.UTF-8")],
                            capture_output=True)
    if not (locales / "tr_TR.UTF-8").exists():
        return None
    return {"LOCPATH": str(locales), "LC_ALL": "tr_TR.UTF-8"} if result.returncode in (0, 1) else None


def wait_until(condition, timeout=10):
    """Polls condition every 100 ms until it holds or timeout seconds pass; its last value."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.1)
    return condition()


def windows_titled(title, env):
    """X window ids of top-level windows with exactly this title (a message box carries its title)."""
    return subprocess.run(["xdotool", "search", "--name", f"^{re.escape(title)}$"], env=env, capture_output=True,
                          text=True).stdout.split()


def dismiss_boxes_until_exit(process, title, env, timeout=30):
    """Presses Return on every message box titled title until the process ends; its exit code or None."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and process.poll() is None:
        for box in windows_titled(title, env):
            subprocess.run(["xdotool", "windowactivate", "--sync", box], env=env, capture_output=True, timeout=10)
            subprocess.run(["xdotool", "key", "--window", box, "Return"], env=env, capture_output=True, timeout=10)
        with contextlib.suppress(subprocess.TimeoutExpired):
            process.wait(1)
    return process.poll()


# The exit code of a pytest run that passed but skipped tests: ctest's
# SKIP_RETURN_CODE, so that its summary shows the test as not run.
SKIPPED_EXIT_CODE = 77


def report_skips(session, exitstatus):
    """pytest_sessionfinish of the conftest files: a passing run with skipped
    tests ends with SKIPPED_EXIT_CODE, after naming what was skipped."""
    reporter = session.config.pluginmanager.get_plugin("terminalreporter")
    skipped = reporter.stats.get("skipped", []) if reporter else []
    if exitstatus == 0 and skipped:
        reporter.write_line(f"{len(skipped)} test(s) skipped: exit code {SKIPPED_EXIT_CODE} (reported as not run)")
        session.exitstatus = SKIPPED_EXIT_CODE
