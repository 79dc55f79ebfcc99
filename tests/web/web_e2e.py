#!/usr/bin/env python3
"""The browser kit end to end: Debian's Chromium or Firefox ESR, headless,
with the extension (web/extension/) installed, a test page (page.html) served
on this machine importing web/vellicor.js, and the native host registered in
the browser's per-user folder. The host is a wrapper of the test's own that
logs each start and then runs the built program beside the simulated reader,
the scripted reader or no reader, as the case's current scenario says; so one
browser serves every read of a case. Chromium is driven by the DevTools
protocol over a pipe, Firefox by Marionette over a local socket.

    web_e2e.py --exe PATH --reader PATH [--scripted PATH] [--browser B] CASE
    web_e2e.py --exe PATH --reader PATH bench [--reads N]

The page is served under three origins: one the user allowed on the options
page, one only the administrator's policy allows (policy cases), one on
neither list. A case reports itself skipped (77) when its browser is
missing; the bench runs the program alone, Chromium and Firefox together.
"""

import argparse
import base64
import hashlib
import http.server
import json
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
WEB = os.path.normpath(os.path.join(HERE, "..", "..", "web"))
EXTENSION = os.path.join(WEB, "extension")
CHROMIUM_ID = "dabaoedhkaingdckmlljfkdbmpeannmd"
FIREFOX_ID = "reader@vellicor.org"
HOST = "org.vellicor.reader"
LIBRARY = "OUR_IDR.dll"
SKIPPED = 77  # CTest's SKIP_RETURN_CODE for these cases
STEP_TIMEOUT = 30.0


class Failure(Exception):
    pass


def extension_ids(manifest_path):
    """The ID Chromium derives from the manifest's public key, and the one
    the manifest gives Firefox."""
    with open(manifest_path, encoding="utf-8") as f:
        manifest = json.load(f)
    key = base64.b64decode(manifest["key"])
    chromium = "".join(chr(ord("a") + int(c, 16)) for c in hashlib.sha256(key).hexdigest()[:32])
    return chromium, manifest.get("browser_specific_settings", {}).get("gecko", {}).get("id")


def poll(condition, what, timeout=STEP_TIMEOUT):
    """Waits until `condition()` is true, or fails after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise Failure(f"timed out waiting for {what}")
        time.sleep(0.05)


def in_namespace(mounts):
    """A command prefix that runs a command in a private mount namespace,
    after the shell commands `mounts`, so that the test's policy files
    stand where the browser looks for them without touching the machine's."""
    unshare = ["unshare", "--mount", "--propagation", "private"]
    if os.geteuid() != 0:
        unshare.append("--map-root-user")
    if subprocess.run([*unshare, "true"], capture_output=True).returncode != 0:
        raise Failure("cannot create a mount namespace (run as root, or allow user namespaces)")
    return [*unshare, "/bin/sh", "-c", f'{" && ".join(mounts)} && exec "$@"', "sh"]


class DevTools:
    """The DevTools protocol over Chromium's --remote-debugging-pipe: JSON
    messages ended by NUL, commands on fd 3, answers and events on fd 4."""

    def __init__(self, to_browser, from_browser):
        self.out = os.fdopen(to_browser, "wb", buffering=0)
        self.inp = os.fdopen(from_browser, "rb", buffering=0)
        self.next_id = 0
        self.answers = {}
        self.events = []
        self.changed = threading.Condition()
        self.closed = False
        threading.Thread(target=self._receive, daemon=True).start()

    def _receive(self):
        pending = b""
        while True:
            chunk = self.inp.read(65536)
            if not chunk:
                break
            pending += chunk
            *messages, pending = pending.split(b"\0")
            with self.changed:
                for raw in messages:
                    message = json.loads(raw)
                    if "id" in message:
                        self.answers[message["id"]] = message
                    else:
                        self.events.append(message)
                self.changed.notify_all()
        with self.changed:
            self.closed = True
            self.changed.notify_all()

    def wait_for(self, predicate, timeout, what):
        deadline = time.monotonic() + timeout
        with self.changed:
            while True:
                found = predicate()
                if found is not None:
                    return found
                left = deadline - time.monotonic()
                if self.closed or left <= 0:
                    raise Failure(f"{what}: {'the browser went away' if self.closed else 'timed out'}")
                self.changed.wait(left)

    def send(self, method, params=None, session=None, timeout=STEP_TIMEOUT):
        self.next_id += 1
        number = self.next_id
        message = {"id": number, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        self.out.write(json.dumps(message).encode() + b"\0")
        answer = self.wait_for(lambda: self.answers.pop(number, None), timeout, method)
        if "error" in answer:
            raise Failure(f"{method}: {answer['error']}")
        return answer["result"]

    def event(self, method, session, timeout=STEP_TIMEOUT, where=None):
        """Waits for (and consumes) an event of `session` matching `where`."""
        def find():
            for i, event in enumerate(self.events):
                if event["method"] == method and event.get("sessionId") == session and \
                        (where is None or where(event["params"])):
                    return self.events.pop(i)
            return None
        return self.wait_for(find, timeout, f"event {method}")["params"]

    def evaluate(self, session, expression, timeout=STEP_TIMEOUT):
        result = self.send("Runtime.evaluate", {"expression": expression, "awaitPromise": True,
                                                "returnByValue": True}, session, timeout)
        if "exceptionDetails" in result:
            raise Failure(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")


class Marionette:
    """Firefox's Marionette protocol over a local socket: each message is its
    length in decimal, a colon and JSON; commands [0, id, name, params],
    answers [1, id, error, result]."""

    def __init__(self, port):
        self.socket = socket.create_connection(("127.0.0.1", port), timeout=STEP_TIMEOUT)
        self.pending = b""
        self.next_id = 0
        self.script_timeout = None
        self._receive()  # the greeting

    def _receive(self):
        while b":" not in self.pending:
            self._read()
        length, _, rest = self.pending.partition(b":")
        self.pending = rest
        while len(self.pending) < int(length):
            self._read()
        message, self.pending = self.pending[:int(length)], self.pending[int(length):]
        return json.loads(message)

    def _read(self):
        chunk = self.socket.recv(65536)
        if not chunk:
            raise Failure("Firefox closed the Marionette connection")
        self.pending += chunk

    def send(self, name, params=None, timeout=STEP_TIMEOUT):
        self.next_id += 1
        data = json.dumps([0, self.next_id, name, params or {}]).encode()
        self.socket.settimeout(timeout + 5)
        try:
            self.socket.sendall(str(len(data)).encode() + b":" + data)
            while True:
                answer = self._receive()
                if answer[0] == 1 and answer[1] == self.next_id:
                    break
        except socket.timeout:
            raise Failure(f"{name}: timed out") from None
        if answer[2]:
            raise Failure(f"{name}: {answer[2].get('error')}: {answer[2].get('message')}")
        return answer[3]

    def execute(self, script, timeout=STEP_TIMEOUT):
        """Runs `script` (a function body; a promise it returns is awaited)
        in the current context and window."""
        if self.script_timeout != timeout:
            self.send("WebDriver:SetTimeouts", {"script": int(timeout * 1000)})
            self.script_timeout = timeout
        return self.send("WebDriver:ExecuteScript", {"script": script, "args": []}, timeout)["value"]


class Pages(http.server.ThreadingHTTPServer):
    """Serves the test page and the page library on 127.0.0.1, on a port of
    its own: each server is an origin of its own. It also serves the files a
    case adds (an extension to install, say), and counts who fetched what."""

    FILES = {"/page.html": (os.path.join(HERE, "page.html"), "text/html; charset=utf-8"),
             "/page.js": (os.path.join(HERE, "page.js"), "text/javascript; charset=utf-8"),
             "/vellicor.js": (os.path.join(WEB, "vellicor.js"), "text/javascript; charset=utf-8")}

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            self.server.fetched.append(self.path)
            path, content_type = self.server.files.get(self.path.split("?")[0], (None, None))
            if path is None:
                self.send_error(404)
                return
            with open(path, "rb") as f:
                body = f.read()
            self.send_response(200)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Cache-Control", "no-store")
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    def __init__(self):
        super().__init__(("127.0.0.1", 0), Pages.Handler)
        self.daemon_threads = True
        self.files = dict(Pages.FILES)
        self.fetched = []
        threading.Thread(target=self.serve_forever, daemon=True).start()

    def serve(self, name, path, content_type):
        """Serves the file at `path` as /name; returns its URL."""
        self.files["/" + name] = (path, content_type)
        return f"{self.origin()}/{name}"

    def url(self, host="127.0.0.1"):
        return f"http://{host}:{self.server_address[1]}/page.html"

    def origin(self, host="127.0.0.1"):
        return f"http://{host}:{self.server_address[1]}"


class Browser:
    """What both browsers' drivers share: the browser's process group."""

    process = None

    def quit(self):
        if self.process is not None and self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGTERM)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait()
        self.process = None


class Chromium(Browser):
    """Debian's Chromium, headless, spoken to by the DevTools protocol over
    --remote-debugging-pipe. The extension is loaded unpacked, the host
    registered in the profile's NativeMessagingHosts/, the administrator's
    policy given in a mount namespace where /etc/chromium is a copy."""

    name = "Chromium"
    other_extension = "abcdefghijklmnopabcdefghijklmnop"

    def __init__(self, h, executable):
        self.h = h
        self.executable = executable
        self.profile = h.folder("chromium-profile")
        self.log_path = os.path.join(h.root, "chromium.log")
        self.process = None
        self.devtools = None
        self.worker = None
        self.extension_id = CHROMIUM_ID
        self.update_url = None

    @property
    def extension_url(self):
        return f"chrome-extension://{self.extension_id}/"

    def host_manifest_path(self, name=HOST):
        return os.path.join(self.profile, "NativeMessagingHosts", name + ".json")

    @staticmethod
    def host_manifest(path, allowed, name=HOST):
        return {"name": name, "description": "Vellicor card reader", "path": path, "type": "stdio",
                "allowed_origins": [f"chrome-extension://{i}/" for i in allowed]}

    def started_by_us(self, arguments, name=HOST):
        return arguments.startswith(self.extension_url)

    def launch(self, extension, admin_origins, forced):
        """Starts the browser with `extension` loaded unpacked, or with
        `forced`, force-installed by policy from a local update manifest."""
        command = [self.executable, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                   "--no-first-run", "--no-default-browser-check", "--disable-component-update",
                   "--disable-sync", f"--user-data-dir={self.profile}", "--remote-debugging-pipe"]
        if forced:
            self.publish(extension)
        else:
            # (It would block force-installs.)
            command.append("--disable-background-networking")
            if extension:
                command += [f"--disable-extensions-except={extension}", f"--load-extension={extension}"]
        command.append("about:blank")
        if admin_origins is not None or forced:
            command = self.policy_namespace(admin_origins, forced) + command
        browser_in, to_browser = os.pipe()
        from_browser, browser_out = os.pipe()
        # The pipe's ends as fds 3 and 4, as Chromium expects them (bash, as dash
        # takes no fd above 9).
        # The browser never outlives the test, however the test ends.
        command = ["setpriv", "--pdeathsig", "KILL", "/bin/bash", "-c",
                   f'exec "$@" 3<&{browser_in} 4>&{browser_out}', "bash", *command]
        with open(self.log_path, "ab") as log:
            self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                            pass_fds=(browser_in, browser_out), start_new_session=True)
        os.close(browser_in)
        os.close(browser_out)
        self.devtools = DevTools(to_browser, from_browser)
        if extension and not forced:
            self.worker = self.extension_worker()

    def publish(self, extension):
        """Packs `extension` with a throwaway key of the test's own, which
        gives it another ID, and serves it with an update manifest."""
        if self.update_url is not None:
            return
        key = os.path.join(self.h.root, "extension-key.pem")
        subprocess.run(["openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", key],
                       check=True, capture_output=True)
        public = subprocess.run(["openssl", "pkey", "-in", key, "-pubout", "-outform", "DER"],
                                check=True, capture_output=True).stdout
        manifest_path = os.path.join(extension, "manifest.json")
        with open(manifest_path, encoding="utf-8") as f:
            manifest = json.load(f)
        manifest["key"] = base64.b64encode(public).decode()
        with open(manifest_path, "w", encoding="utf-8") as f:
            json.dump(manifest, f, indent=2)
        self.extension_id, _ = extension_ids(manifest_path)
        # As root, Chromium packs only without its sandbox.
        subprocess.run([self.executable, "--no-sandbox", f"--pack-extension={extension}",
                        f"--pack-extension-key={key}"], check=True, capture_output=True)
        server = self.h.servers["other"]
        crx = server.serve("vellicor.crx", extension + ".crx", "application/x-chrome-extension")
        updates = os.path.join(self.h.root, "updates.xml")
        with open(updates, "w", encoding="utf-8") as f:
            f.write("<?xml version='1.0' encoding='UTF-8'?>\n"
                    "<gupdate xmlns='http://www.google.com/update2/response' protocol='2.0'>\n"
                    f"  <app appid='{self.extension_id}'>\n"
                    f"    <updatecheck codebase='{crx}' version='{manifest['version']}' />\n"
                    "  </app>\n</gupdate>\n")
        self.update_url = server.serve("updates.xml", updates, "text/xml")
        self.h.register()

    def write_policy(self, admin_origins, forced):
        policy = {}
        if admin_origins is not None:
            policy["3rdparty"] = {"extensions": {self.extension_id: {"allowedOrigins": admin_origins}}}
        if forced:
            # DevTools may attach to a force-installed extension's pages only so.
            policy.update(ExtensionInstallForcelist=[f"{self.extension_id};{self.update_url}"],
                          DeveloperToolsAvailability=1)
        managed = self.managed_folder()
        with open(os.path.join(managed, "vellicor-test.json.new"), "w", encoding="utf-8") as f:
            json.dump(policy, f)
        os.replace(os.path.join(managed, "vellicor-test.json.new"), os.path.join(managed, "vellicor-test.json"))

    def managed_folder(self):
        return os.path.join(self.h.root, "etc-chromium", "policies", "managed")

    def policy_namespace(self, admin_origins, forced):
        etc = os.path.join(self.h.root, "etc-chromium")
        if not os.path.isdir(etc):
            os.makedirs(etc)
            if os.path.isdir("/etc/chromium"):
                shutil.copytree("/etc/chromium", etc, dirs_exist_ok=True, symlinks=True)
            shutil.rmtree(os.path.join(etc, "policies"), ignore_errors=True)
            os.makedirs(os.path.join(etc, "policies", "managed"))
        self.write_policy(admin_origins, forced)
        return in_namespace([f"mount --bind '{etc}' /etc/chromium"])

    def wait_installed(self):
        """Waits until the browser has installed the extension: its worker runs."""
        poll(lambda: self.workers(), "the extension to be installed", 60)

    def extension_worker(self):
        """Waits for the extension's service worker; returns its session."""
        self.devtools.send("Target.setDiscoverTargets", {"discover": True})

        def worker():
            for event in self.devtools.events:
                info = event["params"].get("targetInfo", {})
                if event["method"] == "Target.targetCreated" and info.get("type") == "service_worker" \
                        and info.get("url", "").startswith(self.extension_url):
                    return info["targetId"]
            return None
        target = self.devtools.wait_for(worker, STEP_TIMEOUT, f"the service worker of {CHROMIUM_ID}")
        return self.devtools.send("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]

    def workers(self):
        infos = self.devtools.send("Target.getTargets")["targetInfos"]
        return [t["targetId"] for t in infos if t["type"] == "service_worker"
                and t["url"].startswith(self.extension_url)]

    def stop_worker(self):
        """Stops the extension's service worker, as the browser does when it
        is idle, and waits until it is gone."""
        for target in self.workers():
            self.devtools.send("Target.closeTarget", {"targetId": target})
        poll(lambda: not self.workers(), "the service worker to stop")

    def open(self, url):
        """Opens `url` in a new tab, waits for it to load; returns its session."""
        target = self.devtools.send("Target.createTarget", {"url": "about:blank"})["targetId"]
        session = self.devtools.send("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        self.devtools.send("Page.enable", session=session)
        self.devtools.send("Page.navigate", {"url": url}, session)
        self.devtools.event("Page.loadEventFired", session)
        return session

    def evaluate(self, tab, expression, timeout=STEP_TIMEOUT):
        return self.devtools.evaluate(tab, expression, timeout)

    def close(self, tab):
        self.devtools.send("Page.close", session=tab)

    def front(self, tab):
        """Makes `tab` the one in front, as a user clicking on it."""
        self.devtools.send("Page.bringToFront", session=tab)

    def tabs(self, url):
        return [t for t in self.devtools.send("Target.getTargets")["targetInfos"] if t["url"] == url]


class Firefox(Browser):
    """Debian's Firefox ESR, headless, spoken to by Marionette. The extension
    is installed as a temporary add-on, the host registered in
    ~/.mozilla/native-messaging-hosts/ under a HOME of the test's own, the
    administrator's policy given in a mount namespace where an overlay of
    /etc holds /etc/firefox/policies/policies.json."""

    name = "Firefox"
    extension_id = FIREFOX_ID
    other_extension = "someone@example.org"
    # The host name of the extension's pages, random per profile unless set.
    UUID = "5d1c8e2a-7b34-4f6e-9a01-c3b2d4e5f607"
    extension_url = f"moz-extension://{UUID}/"
    PREFERENCES = {
        "marionette.port": 0,  # any free port, written to MarionetteActivePort
        "extensions.webextensions.uuids": json.dumps({FIREFOX_ID: UUID}),
        "browser.shell.checkDefaultBrowser": False,
        "browser.startup.homepage_override.mstone": "ignore",
        "browser.aboutwelcome.enabled": False,
        "browser.sessionstore.resume_from_crash": False,
        "datareporting.policy.dataSubmissionEnabled": False,
        "toolkit.telemetry.reportingpolicy.firstRun": False,
        "app.update.disabledForTesting": True,
    }

    def __init__(self, h, executable):
        self.h = h
        self.executable = executable
        self.home = h.folder("firefox-home")
        self.profile = h.folder("firefox-profile")
        self.log_path = os.path.join(h.root, "firefox.log")
        self.process = None
        self.marionette = None
        self.current = None

    def host_manifest_path(self, name=HOST):
        return os.path.join(self.home, ".mozilla", "native-messaging-hosts", name + ".json")

    @staticmethod
    def host_manifest(path, allowed, name=HOST):
        return {"name": name, "description": "Vellicor card reader", "path": path, "type": "stdio",
                "allowed_extensions": list(allowed)}

    def started_by_us(self, arguments, name=HOST):
        # Firefox passes the host manifest's path and the extension's ID.
        return arguments == f"{self.host_manifest_path(name)} {FIREFOX_ID}"

    def launch(self, extension, admin_origins, forced):
        """Starts the browser with `extension` installed temporary, or with
        `forced`, force-installed by policy from a file."""
        with open(os.path.join(self.profile, "user.js"), "w", encoding="utf-8") as f:
            f.writelines(f"user_pref({json.dumps(k)}, {json.dumps(v)});\n" for k, v in self.PREFERENCES.items())
        port_file = os.path.join(self.profile, "MarionetteActivePort")
        if os.path.exists(port_file):
            os.remove(port_file)
        # The browser never outlives the test, however the test ends.
        command = ["setpriv", "--pdeathsig", "KILL", self.executable, "--headless", "--marionette",
                   "-remote-allow-system-access", "--no-remote", "--profile", self.profile, "about:blank"]
        if forced:
            self.xpi = self.pack(extension)
        if admin_origins is not None or forced:
            command = self.policy_namespace(admin_origins, forced) + command
        env = dict(os.environ, HOME=self.home, MOZ_CRASHREPORTER_DISABLE="1")
        with open(self.log_path, "ab") as log:
            self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log, stderr=log, env=env,
                                            start_new_session=True)

        def port():
            if self.process.poll() is not None:
                raise Failure(f"Firefox exited with status {self.process.returncode}")
            try:
                with open(port_file, encoding="utf-8") as f:
                    return int(f.read().strip() or 0)
            except FileNotFoundError:
                return 0
        poll(port, "Firefox's Marionette port", 60)
        self.marionette = Marionette(port())
        self.marionette.send("WebDriver:NewSession", {"capabilities": {"alwaysMatch": {}}})
        self.current = self.marionette.send("WebDriver:GetWindowHandle")["value"]
        if extension and not forced:
            self.marionette.send("Addon:Install", {"path": extension, "temporary": True})

    def pack(self, extension):
        """The extension as an unsigned XPI: a zip of its files."""
        xpi = os.path.join(self.h.root, "vellicor.xpi")
        with zipfile.ZipFile(xpi, "w", zipfile.ZIP_DEFLATED) as archive:
            for name in sorted(os.listdir(extension)):
                archive.write(os.path.join(extension, name), name)
        return xpi

    def write_policy(self, admin_origins, forced):
        policies = {}
        if admin_origins is not None:
            policies["3rdparty"] = {"Extensions": {FIREFOX_ID: {"allowedOrigins": admin_origins}}}
        if forced:
            # ESR takes an unsigned add-on where a locked preference says so.
            policies.update(
                ExtensionSettings={FIREFOX_ID: {"installation_mode": "force_installed",
                                                "install_url": f"file://{self.xpi}"}},
                Preferences={"xpinstall.signatures.required": {"Value": False, "Status": "locked"}})
        folder = os.path.join(self.h.root, "etc-upper", "firefox", "policies")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "policies.json"), "w", encoding="utf-8") as f:
            json.dump({"policies": policies}, f)

    def policy_namespace(self, admin_origins, forced):
        upper = os.path.join(self.h.root, "etc-upper")
        work = os.path.join(self.h.root, "etc-work")
        shutil.rmtree(work, ignore_errors=True)
        os.makedirs(work)
        self.write_policy(admin_origins, forced)
        return in_namespace([f"mount -t overlay overlay -o lowerdir=/etc,upperdir='{upper}',workdir='{work}' /etc"])

    def wait_installed(self):
        """Waits until the browser has installed the extension."""
        poll(lambda: self.privileged(f"return WebExtensionPolicy.getByID({json.dumps(FIREFOX_ID)}) !== null;"),
             "the extension to be installed", 60)

    def privileged(self, script):
        """Runs `script` with the browser's own privileges."""
        self.marionette.send("Marionette:SetContext", {"value": "chrome"})
        try:
            return self.marionette.execute(script)
        finally:
            self.marionette.send("Marionette:SetContext", {"value": "content"})

    def stop_worker(self):
        """Stops the extension's background page, as the browser does when it
        is idle, and waits until it is gone."""
        state = f"""const extension = WebExtensionPolicy.getByID({json.dumps(FIREFOX_ID)}).extension;"""
        self.privileged(state + "return extension.terminateBackground({ ignoreDevToolsAttached: true });")
        poll(lambda: self.privileged(state + "return extension.backgroundState;") == "stopped",
             "the background page to stop")

    # Whether speaking to a tab also brings it to the front; the watch cases,
    # where the tab in front matters, say when themselves (front()).
    focus_on_switch = True

    def switch(self, tab):
        if tab != self.current:
            self.marionette.send("WebDriver:SwitchToWindow", {"handle": tab, "focus": self.focus_on_switch})
            self.current = tab

    def front(self, tab):
        """Makes `tab` the one in front, as a user clicking on it."""
        self.marionette.send("WebDriver:SwitchToWindow", {"handle": tab, "focus": True})
        self.current = tab

    def open(self, url):
        """Opens `url` in a new tab, waits for it to load; returns its
        handle. (WebDriver may not navigate to the extension's pages: the
        browser itself opens the tab.)"""
        before = set(self.marionette.send("WebDriver:GetWindowHandles"))
        self.privileged(f"""const browser = Services.wm.getMostRecentWindow("navigator:browser");
            browser.gBrowser.selectedTab = browser.gBrowser.addTab({json.dumps(url)},
                {{ triggeringPrincipal: Services.scriptSecurityManager.getSystemPrincipal() }});""")
        [tab] = set(self.marionette.send("WebDriver:GetWindowHandles")) - before
        self.switch(tab)

        def loaded():
            try:
                return self.marionette.execute(
                    f"return document.readyState === 'complete' && location.href === {json.dumps(url)};")
            except Failure:
                return False  # between documents
        poll(loaded, f"{url} to load")
        return tab

    def evaluate(self, tab, expression, timeout=STEP_TIMEOUT):
        self.switch(tab)
        return self.marionette.execute(f"return ({expression});", timeout)

    def close(self, tab):
        self.switch(tab)
        self.marionette.send("WebDriver:CloseWindow")
        self.current = None

    def tabs(self, url):
        tabs = []
        for tab in self.marionette.send("WebDriver:GetWindowHandles"):
            try:
                self.switch(tab)
                if self.marionette.send("WebDriver:GetCurrentURL")["value"] == url:
                    tabs.append(tab)
            except Failure:
                self.current = None  # a tab that closed meanwhile
        return tabs


class Harness:
    BROWSERS = {"chromium": Chromium, "firefox": Firefox}

    def __init__(self, args, browser):
        self.args = args
        self.root = os.path.realpath(tempfile.mkdtemp(prefix="vellicor-web-"))
        # The program staged three ways: beside the simulated reader, beside
        # the scripted one (which can hang), and alone (the unframed report).
        self.programs = {"simulated": self.stage("simulated", args.reader),
                         "scripted": self.stage("scripted", args.scripted),
                         "bare": self.stage("bare", None)}
        self.starts = os.path.join(self.root, "starts.log")
        self.scenario_path = os.path.join(self.root, "scenario")
        self.wrapper = os.path.join(self.root, "host")
        with open(self.wrapper, "w", encoding="utf-8") as f:
            f.write("#!/bin/sh\n"
                    "# Started by the browser for each read: logs its process ID (the\n"
                    "# program's, after exec) and arguments, then runs the program as the\n"
                    "# case's scenario says.\n"
                    f"printf '%s %s\\n' \"$$\" \"$*\" >> '{self.starts}'\n"
                    f". '{self.scenario_path}'\n"
                    'exec "$program"\n')
        os.chmod(self.wrapper, 0o755)
        self.scenario("simulated")
        self.browser = self.BROWSERS[browser](self, getattr(args, browser))
        self.register()
        self.servers = {"user": Pages(), "admin": Pages(), "other": Pages()}
        self.launched = None

    def folder(self, *parts):
        path = os.path.join(self.root, *parts)
        os.makedirs(path)
        return path

    def stage(self, name, library, program=None):
        """`program` (by default the program) in a folder of its own, beside
        `library`."""
        if name != "bare" and library is None:
            return None
        folder = self.folder(name)
        exe = os.path.join(folder, os.path.basename(program or self.args.exe))
        shutil.copy2(program or self.args.exe, exe)
        if library is not None:
            shutil.copy2(library, os.path.join(folder, LIBRARY))
        return exe

    def scenario(self, program, **env):
        """What the next starts of the host run: a staged program, with `env`."""
        if self.programs[program] is None:
            raise Failure(f"no {program} reader was given")
        lines = [f"program='{self.programs[program]}'"]
        lines += [f"export {name}='{value}'" for name, value in env.items()]
        with open(self.scenario_path, "w", encoding="utf-8") as f:
            f.write("\n".join(lines) + "\n")

    def register(self, allowed="ours", path=None):
        """Writes the host's manifest where the browser looks for it, for our
        extension or for another one only; allowed=None removes it."""
        manifest = self.browser.host_manifest_path()
        if allowed is None:
            os.remove(manifest)
            return
        os.makedirs(os.path.dirname(manifest), exist_ok=True)
        extension = self.browser.extension_id if allowed == "ours" else self.browser.other_extension
        with open(manifest, "w", encoding="utf-8") as f:
            json.dump(self.browser.host_manifest(path or self.wrapper, [extension]), f)

    def started(self):
        """The process IDs of the host's starts so far."""
        try:
            with open(self.starts, encoding="utf-8") as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return []
        pids = []
        for line in lines:
            pid, _, arguments = line.partition(" ")
            if not self.browser.started_by_us(arguments):
                raise Failure(f"host started with unexpected arguments: {line!r}")
            pids.append(int(pid))
        return pids

    def start_count(self):
        return len(self.started())

    def stage_extension(self, tamper):
        """A copy of the extension to install; with `tamper`, the tests' own
        content script (tamper.js) runs beside ours, in the same world."""
        staged = os.path.join(self.root, "extension")
        shutil.rmtree(staged, ignore_errors=True)
        shutil.copytree(EXTENSION, staged)
        if tamper:
            shutil.copy2(os.path.join(HERE, "tamper.js"), staged)
            manifest_path = os.path.join(staged, "manifest.json")
            with open(manifest_path, encoding="utf-8") as f:
                manifest = json.load(f)
            manifest["content_scripts"][0]["js"].append("tamper.js")
            with open(manifest_path, "w", encoding="utf-8") as f:
                json.dump(manifest, f, indent=2)
        return staged

    def launch(self, extension=True, admin_origins=None, tamper=False, forced=False):
        """Starts the browser with the extension (or without); with
        `admin_origins`, the administrator's policy allows those origins; with
        `forced`, the policy installs the extension, from files served here."""
        self.launched = {"extension": extension, "admin_origins": admin_origins, "tamper": tamper,
                         "forced": forced}
        self.browser.launch(self.stage_extension(tamper) if extension else None, admin_origins, forced)

    def change_policy(self, admin_origins):
        """Rewrites the administrator's policy while the browser runs."""
        self.launched["admin_origins"] = admin_origins
        self.browser.write_policy(admin_origins, self.launched["forced"])

    def restart(self):
        """Quits the browser and starts it again as before, on the same profile."""
        self.browser.quit()
        self.launch(**self.launched)

    def evaluate(self, tab, expression, timeout=STEP_TIMEOUT):
        return self.browser.evaluate(tab, expression, timeout)

    def page(self, server="user", host="127.0.0.1"):
        tab = self.browser.open(self.servers[server].url(host))
        if self.evaluate(tab, "typeof window.vellicorTest") != "object":
            raise Failure(f"the test page at {self.servers[server].url(host)} did not load its script")
        return tab

    def read(self, tab, expected, timeout=None, what="read", started=1):
        """One readCard() on the page: its result must be `expected`, and the
        host must have been started `started` times for it."""
        before = self.start_count()
        options = "undefined" if timeout is None else json.dumps({"timeout": timeout})
        result = self.evaluate(tab, f"window.vellicorTest.read({options})")
        if result != expected:
            raise Failure(f"{what}: expected {expected}, got {result}")
        # A host killed at the deadline may log its start a moment later.
        time.sleep(0.1 if started == 0 else 0)
        if self.start_count() - before != started:
            raise Failure(f"{what}: the host was started {self.start_count() - before} times, not {started}")

    def options_page(self):
        """Opens the options page; while the extension is being reloaded, the
        browser shows an error page in its place, so until it is back."""
        deadline = time.monotonic() + STEP_TIMEOUT
        while True:
            tab = self.browser.open(self.browser.extension_url + "options.html")
            if self.evaluate(tab, "typeof chrome.storage") == "object":
                return tab
            if time.monotonic() > deadline:
                raise Failure("the options page did not load")
            self.browser.close(tab)
            time.sleep(0.1)

    def allow(self, origin):
        """Adds `origin` on the options page as a user would."""
        tab = self.options_page()
        self.type_origin(tab, origin)
        self.user_list(tab, lambda shown: origin in shown)
        return tab

    def user_list(self, tab, until=lambda shown: True):
        """The user's list as the options page shows it, once `until(list)`."""
        deadline = time.monotonic() + STEP_TIMEOUT
        while True:
            shown = self.evaluate(tab, '[...document.querySelectorAll("#user button")].map((b) => b.dataset.origin)')
            if until(shown):
                return shown
            if time.monotonic() > deadline:
                raise Failure(f"the options page shows the user's list as {shown}")
            time.sleep(0.02)

    def type_origin(self, tab, text):
        self.evaluate(tab, f"""(() => {{
            document.getElementById("origin").value = {json.dumps(text)};
            document.getElementById("add").requestSubmit(); }})()""")

    def reload_extension(self):
        """Reloads the extension, as an update does, and waits until the
        browser has closed its pages."""
        options = self.options_page()
        self.evaluate(options, "void setTimeout(() => chrome.runtime.reload(), 100)")
        poll(lambda: not self.browser.tabs(self.browser.extension_url + "options.html"),
             "the extension's pages to close")

    def log(self):
        try:
            with open(self.browser.log_path, "rb") as f:
                return f.read().decode(errors="replace")
        except FileNotFoundError:
            return ""

    def cleanup(self):
        self.browser.quit()
        for server in self.servers.values():
            server.shutdown()
        shutil.rmtree(self.root, ignore_errors=True)


CARD = {"status": "card", "cardno": "12345"}


def ended_within(pid, seconds):
    """Whether process `pid` is gone (or a zombie) within `seconds`."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            with open(f"/proc/{pid}/stat", encoding="utf-8") as f:
                if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                    return True
        except (FileNotFoundError, ProcessLookupError):
            return True
        time.sleep(0.1)
    return False


def case_statuses(h):
    """Every status a read of the host can come to reaches the page."""
    h.launch()
    h.allow(h.servers["user"].origin())
    page = h.page()
    for what, program, env, expected in [
            ("card", "simulated", {}, CARD),
            ("negative card", "simulated", {"VELLICOR_SIM_SERIAL": "00FFFFFFFF"}, {"status": "card", "cardno": "-1"}),
            ("status 8", "simulated", {"VELLICOR_SIM_STATUS": "8"}, {"status": "no_card"}),
            ("status 23", "simulated", {"VELLICOR_SIM_STATUS": "23"}, {"status": "no_reader"}),
            ("unknown status", "simulated", {"VELLICOR_SIM_STATUS": "1"}, {"status": "failed"}),
            ("no library", "bare", {}, {"status": "host_error"})]:
        h.scenario(program, **env)
        h.read(page, expected, what=what)
    # A reader that hangs: the page hears `timeout` at its own deadline, and
    # the next read is not held up by the host left behind.
    h.scenario("scripted", VELLICOR_SCRIPTED_SLEEP_MS="20000")
    began = time.monotonic()
    h.read(page, {"status": "timeout"}, timeout=1500, what="hung reader")
    if not 1.4 <= time.monotonic() - began < 8:
        raise Failure(f"hung reader: timeout after {time.monotonic() - began:.1f} s, asked for 1.5 s")
    h.scenario("simulated")
    h.read(page, CARD, timeout=5000, what="read after a hung reader")
    # The browser ends the hung program once the extension lets go of it.
    hung = h.started()[-2]
    if not ended_within(hung, 10):
        raise Failure(f"the hung program (process {hung}) still runs 10 s after its timeout")
    # Two reads at once each start the host and get the card.
    together = h.evaluate(page, "window.vellicorTest.readTogether(2)")
    if together != [CARD, CARD]:
        raise Failure(f"two reads at once: {together}")
    # The host not registered, then registered for another extension only.
    h.register(allowed=None)
    h.read(page, {"status": "not_installed"}, what="no host manifest", started=0)
    h.register(allowed="other")
    h.read(page, {"status": "not_installed"}, what="host manifest for another extension", started=0)
    h.register()
    h.read(page, CARD, what="host registered again")
    # Once the extension is reloaded (updated, say), a page opened before
    # has, in Chromium, no extension to talk to: its content script is left
    # behind. Firefox gives such pages the new content script.
    h.reload_extension()
    if isinstance(h.browser, Chromium):
        h.read(page, {"status": "no_extension"}, what="extension reloaded", started=0)
    else:
        h.read(page, CARD, what="extension reloaded")


def case_denied(h):
    """A page on neither list is denied and never starts the program; so is
    a page of an allowed host under another name or port, or in a frame of
    an allowed page, also when the worker starts anew for the read. The
    options page refuses entries the origin rule cannot allow. Nothing a
    content script or a page can write puts an origin on the user's list."""
    h.launch(tamper=True)
    user = h.servers["user"].origin()
    options = h.allow(user)
    for text in ("http://example.com", "ftp://127.0.0.1", "https://desk.example.com/app", "*", ""):
        h.type_origin(options, text)
        shown = h.evaluate(options, 'document.getElementById("error").textContent')
        if not shown.startswith("Not added"):
            raise Failure(f"options page took {text!r}: {shown!r}")
    if h.user_list(options) != [user]:
        raise Failure(f"the user's list after refused entries: {h.user_list(options)}")
    for server, host in (("other", "127.0.0.1"), ("user", "localhost"), ("admin", "127.0.0.1")):
        page = h.page(server, host)
        for _ in range(3):
            h.read(page, {"status": "denied"}, what=f"{h.servers[server].origin(host)}", started=0)
    page = h.page()
    h.read(page, CARD, what="the allowed origin")
    # In a frame, the frame's own origin counts.
    for server, expected, started in (("other", {"status": "denied"}, 0), ("user", CARD, 1)):
        before = h.start_count()
        result = h.evaluate(page, f"window.vellicorTest.readInFrame({json.dumps(h.servers[server].url())})")
        if result != expected or h.start_count() - before != started:
            raise Failure(f"read in a frame of {server}: {result}, {h.start_count() - before} starts")
    # The browser stops an idle worker; the next read starts it again, and
    # the lists are read anew before it decides.
    for server, expected, started in (("other", {"status": "denied"}, 0), ("user", CARD, 1)):
        h.browser.stop_worker()
        h.read(h.page(server), expected, what=f"{server} origin, worker started anew", started=started)
    # A content script (of the tests' own, in the same world as ours) and
    # the page try to put the page's origin on the list: its reads stay
    # denied, also once the worker starts anew, and the list is unchanged.
    page = h.page("other")
    tried = h.evaluate(page, "window.vellicorTest.tamper()")
    if tried.get("storage.local") != "done":
        raise Failure(f"the content script could not even try: {tried}")
    h.read(page, {"status": "denied"}, what="after a content script's attempts", started=0)
    h.browser.stop_worker()
    h.read(h.page("other"), {"status": "denied"}, what="after a content script's attempts, worker anew", started=0)
    if h.user_list(options) != [user]:
        raise Failure(f"the user's list after a content script's attempts: {h.user_list(options)}")
    # Removed on the options page, the origin is denied again.
    h.evaluate(options, f"""document.querySelector('button[data-origin="{user}"]').click()""")
    h.user_list(options, lambda shown: not shown)
    h.read(h.page(), {"status": "denied"}, what="origin removed by the user", started=0)
    # A version that kept the list in chrome.storage.local is replaced by
    # this one: at the next start the list moves, once. The origin reads
    # again, and the old copy is gone. (Only Chromium had such versions.)
    if not isinstance(h.browser, Chromium):
        return
    h.evaluate(options, f"""new Promise((resolve, reject) => {{
        const opening = indexedDB.open("vellicor");
        opening.onerror = () => reject(opening.error);
        opening.onsuccess = () => {{
            const transaction = opening.result.transaction("settings", "readwrite");
            transaction.objectStore("settings").delete("userOrigins");
            transaction.oncomplete = () => resolve(opening.result.close());
            transaction.onerror = () => reject(transaction.error);
        }};
    }}).then(() => chrome.storage.local.set({{ userOrigins: [{json.dumps(user)}] }}))""")
    h.restart()
    options = h.options_page()
    h.user_list(options, lambda shown: shown == [user])
    h.read(h.page(), CARD, what="origin on the list moved from chrome.storage.local")
    left = h.evaluate(options, 'chrome.storage.local.get("userOrigins")')
    if left:
        raise Failure(f"chrome.storage.local still holds {left} after the move")


def case_policy(h):
    """An origin only the administrator's policy allows reads; the options
    page shows it, read-only; other origins stay denied."""
    allowed = h.servers["admin"].origin()
    h.launch(admin_origins=[allowed])
    h.read(h.page("admin"), CARD, what="origin allowed by policy")
    h.read(h.page("other"), {"status": "denied"}, what="origin on neither list", started=0)
    options = h.options_page()
    shown = h.evaluate(options, """new Promise((resolve) => { const check = () => {
        const text = document.getElementById("admin").textContent;
        text.includes("http") ? resolve(text) : setTimeout(check, 20); }; check(); })""")
    if shown.strip() != allowed:
        raise Failure(f"options page shows the administrator's list as {shown!r}")


def case_forced(h):
    """The administrator's policy installs the extension and allows an
    origin: that origin reads from the first readCard() right after the
    install, and right after the next start. A change of the policy applies
    while Chromium runs; Firefox reads its policies only as it starts, so
    there from the next start. No page is reloaded for either."""
    admin, other = h.servers["admin"].origin(), h.servers["other"].origin()
    h.launch(admin_origins=[admin], forced=True)
    h.browser.wait_installed()
    h.read(h.page("admin"), CARD, what="first read right after the install")
    h.read(h.page("other"), {"status": "denied"}, what="origin on neither list", started=0)
    h.restart()
    admin_page = h.page("admin")
    h.read(admin_page, CARD, what="first read after the browser started again")
    other_page = h.page("other")
    h.read(other_page, {"status": "denied"}, what="origin not yet allowed", started=0)
    h.change_policy([other])
    if isinstance(h.browser, Firefox):
        h.restart()
        admin_page, other_page = h.page("admin"), h.page("other")
    deadline = time.monotonic() + STEP_TIMEOUT
    while (result := h.evaluate(other_page, "window.vellicorTest.read()")) != CARD:
        if result != {"status": "denied"} or time.monotonic() > deadline:
            raise Failure(f"origin the changed policy allows: {result}")
        time.sleep(0.5)
    h.read(admin_page, {"status": "denied"}, what="origin the changed policy no longer allows", started=0)


def case_repeat(h):
    """200 reads in a row, each starting the host once, all give the card."""
    h.launch()
    h.allow(h.servers["user"].origin())
    page = h.page()
    before = h.start_count()
    results = h.evaluate(page, "window.vellicorTest.readMany(200)", timeout=600)
    wrong = [(i, r) for i, r in enumerate(results) if r != CARD]
    if len(results) != 200 or wrong:
        raise Failure(f"{len(wrong)} of 200 reads went wrong, the first: {wrong[:3]}")
    if h.start_count() - before != 200:
        raise Failure(f"200 reads started the host {h.start_count() - before} times")


def case_no_extension(h):
    """Without the extension, readCard() says so after a second, or at its
    own timeout when that is shorter."""
    h.launch(extension=False)
    page = h.page()
    for timeout, bound in ((None, 1.0), (300, 0.3)):
        began = time.monotonic()
        h.read(page, {"status": "no_extension"}, timeout=timeout, what=f"timeout {timeout}", started=0)
        took = time.monotonic() - began
        if not bound <= took < bound + 3:
            raise Failure(f"no_extension after {took:.2f} s with timeout {timeout}")


# The released extension as the packages install it: the Debian package
# unpacked (--installed ROOT, dpkg-deb -x) and standing where it installs, in
# a private mount namespace whose /etc, /usr/lib, /usr/sbin and /usr/share
# are overlays with the package's files on top. The browser then finds the
# package's host manifests, which start the package's program, and installs
# the extension the way the package or an administrator's policy makes it,
# never by --load-extension. The program reads the card of a private pcscd
# (tests/packaging/packages.py runs these cases under pcsc_daemon.py).

def installed_namespace(h, folders, layers=None, before_exec=()):
    """A command prefix: a mount namespace where each of `folders` has the
    package's files and then those of `layers` ({folder: a folder of the
    test's own}) over the machine's, with a writable layer on top; then the
    shell commands `before_exec` run there."""
    mounts = []
    for folder in folders:
        name = folder.strip("/").replace("/", "-")
        upper, work = h.folder("overlay", name, "upper"), h.folder("overlay", name, "work")
        lower = [(layers or {})[folder]] if folder in (layers or {}) else []
        lower += [os.path.join(h.args.installed, folder.lstrip("/")), folder]
        mounts.append(f"mount -t overlay overlay -o lowerdir={':'.join(lower)},upperdir='{upper}',"
                      f"workdir='{work}' {folder}")
    return in_namespace(mounts + list(before_exec))


PACKAGE_FOLDERS = ("/etc", "/usr/lib", "/usr/sbin", "/usr/share")


def installed_browser(h, kind):
    """The harness's browser replaced by `kind`, with only the package's
    host manifests: the harness's own per-user one is removed."""
    h.register(allowed=None)
    for folder in ("profile", "home"):
        shutil.rmtree(getattr(h.browser, folder, ""), ignore_errors=True)
    h.browser = kind(h, h.browser.executable)
    return h.browser


class InstalledChromium(Chromium):
    """Chromium with the package installed; `forced`, without the package's
    external-extension files but with the policy ExtensionInstallForcelist
    naming the released update manifest, served as an administrator's web
    server would."""

    def __init__(self, h, executable):
        super().__init__(h, executable)
        path = os.path.join(h.args.installed, "usr", "share", "vellicor", "extension", "manifest.json")
        self.extension_id, _ = extension_ids(path)

    def publish(self, extension):
        """Serves the released .crx, and its update manifest with the
        codebase made this server's."""
        name = f"vellicor-extension-{self.h.args.version}"
        server = self.h.servers["other"]
        crx = server.serve(f"{name}.crx", os.path.join(self.h.args.release, f"{name}.crx"),
                           "application/x-chrome-extension")
        with open(os.path.join(self.h.args.release, f"{name}.xml"), encoding="utf-8") as f:
            manifest = f.read()
        codebase = manifest.split("codebase=")[1].split()[0]
        updates = os.path.join(self.h.root, "updates.xml")
        with open(updates, "w", encoding="utf-8") as f:
            f.write(manifest.replace(codebase, f'"{crx}"', 1))
        self.update_url = server.serve("updates.xml", updates, "text/xml")

    def managed_folder(self):
        return os.path.join(self.h.root, "policy-layer", "chromium", "policies", "managed")

    def policy_namespace(self, admin_origins, forced):
        if not forced:
            return installed_namespace(self.h, PACKAGE_FOLDERS)
        os.makedirs(self.managed_folder(), exist_ok=True)
        self.write_policy(admin_origins, forced)
        return installed_namespace(self.h, ("/etc", "/usr/lib"),
                                   {"/etc": os.path.join(self.h.root, "policy-layer")})


class InstalledFirefox(Firefox):
    """Firefox ESR with the package installed and the administrator's one
    step taken: the package's vellicor-firefox-policy, run in the namespace
    as an administrator would, writes /etc/firefox/policies/policies.json,
    which force-installs the package's add-on and allows `admin_origins`."""

    def policy_namespace(self, admin_origins, forced):
        step = " ".join(["/usr/sbin/vellicor-firefox-policy",
                         *[f"--allow '{origin}'" for origin in admin_origins], ">&2"])
        return installed_namespace(self.h, PACKAGE_FOLDERS, before_exec=[step])


def read_installed(h, origin):
    """readCard() on a page of `origin`'s server, until the extension has
    been installed: it must give the private pcscd's card."""
    expected = {"status": "card", "cardno": h.args.card}
    deadline = time.monotonic() + 60
    while True:
        tab = h.page(origin)
        began = time.monotonic()
        # The default timeout, as a page's first readCard() has it: Chromium
        # hands a freshly installed extension its policy seconds late.
        result = h.evaluate(tab, "window.vellicorTest.read()")
        took = time.monotonic() - began
        if result == expected:
            print(f"read through the installed extension after {took:.1f} s")
            return
        if result.get("status") != "no_extension" or time.monotonic() > deadline:
            raise Failure(f"read through the installed extension: {result} after {took:.1f} s, "
                          f"not {expected}")
        h.browser.close(tab)
        time.sleep(0.5)


def case_installed(h):
    """The package's files install the released extension for every user
    (Chromium: the external-extension file naming the packaged .crx;
    Firefox: the policy that the package's command writes, with the
    packaged add-on), and a page reads a card through the package's host:
    in Chromium an origin the user allowed, in Firefox one the
    administrator's step allowed."""
    if isinstance(h.browser, Firefox):
        installed_browser(h, InstalledFirefox)
        h.launch(extension=False, admin_origins=[h.servers["admin"].origin()])
        read_installed(h, "admin")
    else:
        installed_browser(h, InstalledChromium)
        h.launch(extension=False, admin_origins=[])
        h.browser.worker = h.browser.extension_worker()
        h.allow(h.servers["user"].origin())
        read_installed(h, "user")


def case_installed_forcelist(h):
    """Chromium force-installs the released .crx from the released update
    manifest, and a page of an origin that the same policy allows reads a
    card through the package's host."""
    if not isinstance(h.browser, Chromium):
        raise Failure("ExtensionInstallForcelist is Chromium's")
    installed_browser(h, InstalledChromium)
    h.launch(extension=False, admin_origins=[h.servers["admin"].origin()], forced=True)
    read_installed(h, "admin")
    fetched = [path.split("?")[0] for path in h.servers["other"].fetched]
    crx = f"/vellicor-extension-{h.args.version}.crx"
    if "/updates.xml" not in fetched or crx not in fetched:
        raise Failure(f"the browser fetched {fetched} from the update server")


WATCH_HOST = "org.vellicor.watch"
NO_CARD = {"status": "no_card"}


def card(cardno):
    return {"status": "card", "cardno": str(cardno)}


class WatchRig:
    """The watch host for a case: vellicor-watch beside the scripted reader,
    registered as org.vellicor.watch behind a wrapper that logs each start
    (process ID, wall-clock time, arguments). The reader takes its answer
    from a file the case rewrites and logs each call; the one-shot program
    reads through the same file and log, so that the log shows every read of
    either, in order."""

    def __init__(self, h):
        if not (h.args.watch and h.args.scripted):
            raise Failure("the watch cases need --watch and --scripted")
        self.h = h
        self.exe = h.stage("watch", h.args.scripted, h.args.watch)
        self.answer_path = os.path.join(h.root, "answer")
        self.calls_path = os.path.join(h.root, "calls.log")
        self.starts_path = os.path.join(h.root, "watch-starts.log")
        self.scenario_path = os.path.join(h.root, "watch-scenario")
        self.wrapper = os.path.join(h.root, "watch-host")
        # A lock of the case's own (the host takes it around each read).
        runtime = h.folder("runtime")
        os.chmod(runtime, 0o700)
        with open(self.wrapper, "w", encoding="utf-8") as f:
            f.write("#!/bin/sh\n"
                    "# Started by the browser for each watch: logs its process ID (the\n"
                    "# host's, after exec), the time and its arguments, then runs it.\n"
                    f"printf '%s %s %s\\n' \"$$\" \"$(date +%s.%N)\" \"$*\" >> '{self.starts_path}'\n"
                    f". '{self.scenario_path}'\n"
                    'exec "$program"\n')
        os.chmod(self.wrapper, 0o755)
        self.env = {"VELLICOR_SCRIPTED_ANSWER": self.answer_path, "VELLICOR_SCRIPTED_LOG": self.calls_path,
                    "XDG_RUNTIME_DIR": runtime}
        self.scenario(self.exe, **self.env)
        h.scenario("scripted", **self.env)
        self.set("8")
        self.register()

    def scenario(self, program, **env):
        """What the next starts of the watch host run."""
        lines = [f"program='{program}'"] + [f"export {name}='{value}'" for name, value in env.items()]
        with open(self.scenario_path, "w", encoding="utf-8") as f:
            f.write("\n".join(lines) + "\n")

    def register(self, allowed="ours"):
        """Writes the watch host's manifest where the browser looks for it;
        allowed=None removes it."""
        manifest = self.h.browser.host_manifest_path(WATCH_HOST)
        if allowed is None:
            os.remove(manifest)
            return
        os.makedirs(os.path.dirname(manifest), exist_ok=True)
        with open(manifest, "w", encoding="utf-8") as f:
            json.dump(self.h.browser.host_manifest(self.wrapper, [self.h.browser.extension_id], WATCH_HOST), f)

    def set(self, text):
        """The reader's answer from the next call on, replaced whole."""
        with open(self.answer_path + ".new", "w", encoding="utf-8") as f:
            f.write(text)
        os.replace(self.answer_path + ".new", self.answer_path)

    def log(self):
        try:
            with open(self.calls_path, encoding="utf-8") as f:
                return [line.split() for line in f]
        except FileNotFoundError:
            return []

    def calls(self):
        return [line[0] for line in self.log() if line[0] in ("enter", "leave")]

    def one_at_a_time(self, what):
        calls = self.calls()
        if calls != ["enter", "leave"] * (len(calls) // 2) + ["enter"] * (len(calls) % 2):
            raise Failure(f"{what}: two reads overlapped: {calls}")

    def await_answer(self, ms, what):
        """Waits until a call has taken the answer that takes `ms` ms, and is in it."""
        poll(lambda: self.log()[-1:] == [["answer", str(ms)]], f"{what}: a call taking {ms} ms", 10)

    def await_calls(self, count, what):
        """Waits until `count` more calls have ended."""
        target = self.calls().count("leave") + count
        poll(lambda: self.calls().count("leave") >= target, f"{what}: {count} more reads", 10)

    def starts(self):
        """(process ID, wall-clock time) of each start of the watch host so far."""
        try:
            with open(self.starts_path, encoding="utf-8") as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return []
        found = []
        for line in lines:
            pid, at, arguments = (line.split(" ", 2) + [""])[:3]
            if not self.h.browser.started_by_us(arguments, WATCH_HOST):
                raise Failure(f"watch host started with unexpected arguments: {line!r}")
            found.append((int(pid), float(at)))
        return found

    def all_ended(self, what, within=3):
        for pid, _ in self.starts():
            if not ended_within(pid, within):
                raise Failure(f"{what}: the watch host (process {pid}) still runs")

    def watch(self, tab, throwing=False):
        return PageWatch(self.h, tab, throwing)


class PageWatch:
    """One watchCards() on a test page, and what its listener heard."""

    def __init__(self, h, tab, throwing=False):
        self.h = h
        self.tab = tab
        self.number = h.evaluate(tab, f"window.vellicorTest.watch({json.dumps(throwing)})")
        self.since = 0

    def heard(self):
        return self.h.evaluate(self.tab, f"window.vellicorTest.heard({self.number}, {self.since})")

    def expect(self, expected, what, within=10):
        """The next results heard are exactly `expected`, within `within` s."""
        deadline = time.monotonic() + within
        while len(heard := self.heard()) < len(expected) and time.monotonic() < deadline:
            time.sleep(0.05)
        if heard[:len(expected)] != expected:
            raise Failure(f"{what}: expected {expected}, heard {heard}")
        self.since += len(expected)

    def quiet(self, seconds, what):
        time.sleep(seconds)
        if heard := self.heard():
            raise Failure(f"{what}: nothing expected, heard {heard}")

    def stop(self):
        self.h.evaluate(self.tab, f"window.vellicorTest.stopWatch({self.number})")


def launch_for_watch(h):
    """The browser with the extension, the user's origin allowed; in
    Firefox, speaking to a tab no longer brings it to the front."""
    rig = WatchRig(h)
    h.launch()
    rig.options = h.allow(h.servers["user"].origin())
    h.browser.focus_on_switch = False
    return rig


def case_watch(h):
    """A watch on one page, through every change of the reader and of the
    host: one result per presentation (the card held 5 s), the same card
    twice, another card, removal, no reader and back, readCard() beside the
    watch, a hung library and a crashing one, the origin taken off the
    user's list and put back, the extension reloaded, and stop(), which ends
    every start of the host. A second watch, whose listener throws each
    time, hears the same."""
    rig = launch_for_watch(h)
    page = h.page()
    watches = [rig.watch(page), rig.watch(page, throwing=True)]

    def expect(expected, what, within=10):
        for watch in watches:
            watch.expect(expected, what, within)

    def quiet(seconds, what):
        time.sleep(seconds)
        for watch in watches:
            watch.quiet(0, what)

    expect([NO_CARD], "watching")
    for answer, expected, what in [("0 DEADBEEF", card(-559038737), "card presented"),
                                   ("8", NO_CARD, "card taken away"),
                                   ("0 DEADBEEF", card(-559038737), "the same card shown again"),
                                   ("0 12345678", card(305419896), "another card at once"),
                                   ("23", {"status": "no_reader"}, "reader unplugged"),
                                   ("0 12345678", card(305419896), "reader back, card on it")]:
        rig.set(answer)
        expect([expected], what)
        if what == "card presented":
            calls = rig.calls().count("leave")
            quiet(5, "card held for 5 s")
            if rig.calls().count("leave") - calls < 10:
                raise Failure(f"card held: the host read {rig.calls().count('leave') - calls} times in 5 s")
    # readCard() beside the watch: the running host makes the reads, the
    # program is not started, and the watch hears nothing of them.
    results = h.evaluate(page, "window.vellicorTest.readMany(5)")
    if results != [card(305419896)] * 5 or h.start_count() != 0:
        raise Failure(f"readCard() beside a watch: {results}, the program started {h.start_count()} times")
    quiet(0.3, "reads of the page's own")
    rig.one_at_a_time("readCard() beside a watch")
    # A hung library: timeout, and the watch goes on once it answers again.
    rig.set("0 12345678 6500")
    rig.await_answer(6500, "hung library")
    rig.set("8")
    expect([{"status": "timeout"}], "hung library", within=10)
    hung = h.evaluate(page, "window.vellicorTest.read()")
    if hung != {"status": "timeout"}:
        raise Failure(f"readCard() while the watch's read hangs: {hung}")
    expect([NO_CARD], "the library answering again", within=10)
    rig.one_at_a_time("hung library")
    # A crashing library: host_error once, the host started again after 1 s,
    # and after 2 s when it crashes again.
    starts = len(rig.starts())
    crashed_at = time.time()
    rig.set("crash")
    expect([{"status": "host_error"}], "crashing library")
    poll(lambda: len(rig.starts()) > starts, "the host started again after a crash", 5)
    again = rig.starts()[starts]
    if not ended_within(again[0], 5):
        raise Failure("the host started again did not crash")
    rig.set("8")
    expect([NO_CARD], "the library no longer crashing", within=10)
    times = [crashed_at] + [at for _, at in rig.starts()[starts:]]
    pauses = [b - a for a, b in zip(times, times[1:])]
    if len(pauses) != 2 or not (1.0 <= pauses[0] < 2.0 and 1.9 <= pauses[1] < 3.0):
        raise Failure(f"pauses before the host's starts after crashes: {pauses} s")
    # The user takes the origin off the list: denied at once, and no host;
    # put back, the watch goes on.
    user = h.servers["user"].origin()
    h.evaluate(rig.options, f"""document.querySelector('button[data-origin="{user}"]').click()""")
    expect([{"status": "denied"}], "origin removed while watching")
    rig.all_ended("origin removed while watching")
    h.type_origin(rig.options, user)
    expect([NO_CARD], "origin allowed again")
    # The extension reloaded (updated, say): in Chromium the page has no
    # extension to talk to any more, and says so; Firefox gives the page
    # the new one, and the watch goes on.
    h.reload_extension()
    if isinstance(h.browser, Chromium):
        expect([{"status": "no_extension"}], "extension reloaded")
    else:
        rig.set("0 DEADBEEF")
        expect([card(-559038737)], "extension reloaded")
    # stop() ends every start of the host, and nothing starts again.
    for watch in watches:
        watch.stop()
    rig.all_ended("watches stopped")
    count, calls = len(rig.starts()), len(rig.calls())
    time.sleep(1)
    if len(rig.starts()) != count or len(rig.calls()) > calls + 1:
        raise Failure("the host was started or read again after stop()")
    if h.start_count() != 0:
        raise Failure(f"the program was started {h.start_count()} times")


def case_watch_tabs(h):
    """Which tab hears: a denied origin hears denied and starts nothing; a
    watch begun before the host was installed starts working once it is; of
    two tabs watching, only the one in front hears the card; watches in
    tabs behind cost nothing, no host running; readCard() of a tab that
    does not watch runs the program, and the host waits for it; the host
    ends when the page navigates or its tab closes."""
    rig = launch_for_watch(h)
    rig.register(None)
    denied = rig.watch(h.page("other"))
    denied.expect([{"status": "denied"}], "denied origin")
    denied.quiet(1, "denied origin")
    if rig.starts() or h.start_count():
        raise Failure(f"a denied watch started the watch host {len(rig.starts())} times, "
                      f"the program {h.start_count()} times")
    first = h.page()
    front = rig.watch(first)
    front.expect([{"status": "not_installed"}], "no watch host registered")
    rig.register()
    front.expect([NO_CARD], "the watch host registered while the page watches")
    second = h.page()
    back, front = front, rig.watch(second)
    front.expect([NO_CARD], "second tab watching, in front")
    rig.set("0 DEADBEEF")
    front.expect([card(-559038737)], "card shown to the tab in front")
    back.quiet(0.5, "tab behind, card shown")
    # The first tab in front: the card lying there went to the other.
    h.browser.front(first)
    back, front = front, back
    rig.set("8")
    rig.await_calls(2, "card taken away")
    rig.set("0 12345678")
    front.expect([card(305419896)], "card shown to the tab now in front")
    back.quiet(0.3, "tab now behind")
    # A tab that does not watch in front: no host runs, nothing reads.
    third = h.page()
    rig.all_ended("no watching tab in front")
    calls = len(rig.calls())
    time.sleep(0.5)
    if len(rig.calls()) != calls:
        raise Failure("the reader was read with no watching tab in front")
    # That tab reads: the program, once; a watching tab coming to the front
    # meanwhile starts the host only after the program's read.
    rig.set("0 12345678 1000")
    h.evaluate(third, "void (window.pendingRead = window.vellicorTest.read())")
    rig.await_answer(1000, "the program's read")
    watch_starts = len(rig.starts())
    h.browser.front(first)
    poll(lambda: len(rig.starts()) > watch_starts, "the host starting for the tab in front")
    result = h.evaluate(third, "window.pendingRead")
    if result != card(305419896) or h.start_count() != 1:
        raise Failure(f"readCard() of a tab not watching: {result}, the program started {h.start_count()} times")
    rig.await_calls(2, "the host reading")
    rig.one_at_a_time("the program's read and the watch")
    # The page in front navigates away; then the other tab closes.
    rig.set("8")
    h.evaluate(first, f"void (location.href = {json.dumps(h.servers['user'].origin() + '/none')})")
    rig.all_ended("the watching page navigated away")
    h.browser.front(second)
    back.expect([NO_CARD], "second tab in front again")
    h.browser.close(second)
    rig.all_ended("the watching tab closed")
    denied.quiet(0, "denied origin, at the end")


def bench(args):
    """Median milliseconds of: the program alone; in each browser, the
    extension itself starting the host (the browser's own cost: in Chromium
    its service worker, in Firefox one of its pages, as the test cannot
    reach the background page) and readCard() on a page. One of each per
    round, so that a busy machine skews all alike. The host is the program
    itself, not the logging wrapper."""
    direct = f"""(async () => {{
        const start = performance.now();
        const message = await new Promise((resolve) => {{
            const port = chrome.runtime.connectNative("{HOST}");
            port.onMessage.addListener((m) => {{ port.disconnect(); resolve(m); }});
            port.onDisconnect.addListener(() => resolve(null));
        }});
        return message?.cardno === "12345" ? performance.now() - start : -1; }})()"""
    harnesses = []
    try:
        for browser in Harness.BROWSERS:
            if not os.path.exists(getattr(args, browser)):
                print(f"({browser} left out: not at {getattr(args, browser)})")
                continue
            h = Harness(args, browser)
            harnesses.append(h)
            h.register(path=h.programs["simulated"])
            h.launch()
            h.allow(h.servers["user"].origin())
            h.bench_tabs = (h.browser.worker if isinstance(h.browser, Chromium) else h.options_page(), h.page())
        if not harnesses:
            raise Failure("no browser to measure")
        exe = harnesses[0].programs["simulated"]
        times = {"program alone (started by Python)": []}
        for h in harnesses:
            times[f"{h.browser.name}: host started by the extension"] = []
            times[f"{h.browser.name}: readCard() on the page"] = []
        for _ in range(args.reads + 10):
            began = time.perf_counter()
            subprocess.run([exe], stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL, check=True)
            times["program alone (started by Python)"].append((time.perf_counter() - began) * 1000)
            for h in harnesses:
                extension, page = h.bench_tabs
                times[f"{h.browser.name}: host started by the extension"].append(h.evaluate(extension, direct))
                [result] = h.evaluate(page, "window.vellicorTest.readMany(1, undefined, true)")
                times[f"{h.browser.name}: readCard() on the page"].append(
                    result["ms"] if result["status"] == "card" else -1)
        if any(ms < 0 for series in times.values() for ms in series):
            raise Failure("not every read gave the card")
        medians = {what: statistics.median(series[10:]) for what, series in times.items()}
        alone = medians["program alone (started by Python)"]
        print(f"{'one read, median of ' + str(args.reads) + ' rounds':<48} {'ms':>8}")
        for what, ms in medians.items():
            print(f"{what:<48} {ms:8.2f}")
        for h in harnesses:
            extension = medians[f"{h.browser.name}: host started by the extension"]
            page = medians[f"{h.browser.name}: readCard() on the page"]
            print(f"{h.browser.name + ': the browser starting a host (- alone)':<48} {extension - alone:8.2f}")
            print(f"{h.browser.name + ': the kit (readCard() - extension)':<48} {page - extension:8.2f}")
    finally:
        for h in harnesses:
            h.cleanup()


def main():
    cases = {name[len("case_"):]: f for name, f in globals().items() if name.startswith("case_")}
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--reader", required=True)
    parser.add_argument("--scripted")
    parser.add_argument("--watch", help="the watch host, for the watch cases")
    parser.add_argument("--browser", choices=sorted(Harness.BROWSERS), default="chromium")
    parser.add_argument("--chromium", default="/usr/bin/chromium")
    parser.add_argument("--firefox", default="/usr/bin/firefox-esr")
    parser.add_argument("--reads", type=int, default=100)
    # The installed cases: the unpacked Debian package, the release files,
    # their version, and the card number the private pcscd's card gives.
    parser.add_argument("--installed")
    parser.add_argument("--release")
    parser.add_argument("--version")
    parser.add_argument("--card")
    parser.add_argument("case", choices=sorted(cases) + ["bench"])
    args = parser.parse_args()
    found = extension_ids(os.path.join(EXTENSION, "manifest.json"))
    if found != (CHROMIUM_ID, FIREFOX_ID):
        print(f"FAIL {args.case}: the manifest gives the IDs {found}, not {(CHROMIUM_ID, FIREFOX_ID)}")
        return 1
    if args.case == "bench":
        try:
            bench(args)
        except (Failure, OSError, subprocess.SubprocessError) as failure:
            print(f"FAIL bench: {failure}")
            return 1
        return 0
    executable = getattr(args, args.browser)
    if not os.path.exists(executable):
        print(f"skipped: no {args.browser} at {executable}: run scripts/setup-debian.sh")
        return SKIPPED
    harness = Harness(args, args.browser)
    try:
        cases[args.case](harness)
    except (Failure, OSError, subprocess.SubprocessError) as failure:
        print(f"FAIL {args.case} ({harness.browser.name}): {failure}")
        log = harness.log()
        if log.strip():
            print(f"{harness.browser.name}'s output:\n{log[-4000:]}")
        return 1
    finally:
        harness.cleanup()
    print(f"PASS {args.case} ({harness.browser.name})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
