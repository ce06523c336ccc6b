#!/usr/bin/env python3
"""Measures the drawer program against the floor (a bare Qt window of the same
size with an idle 100 ms timer) on one Xvfb display, alternating the two, and
prints one table of medians with their ratio.

Usage: bench.py BUILD_BIN_DIR [--quick]
"""

import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

PROGRAM_TITLE = "Kestrin Cash Drawer USB Controller"
FLOOR_TITLE = "Kestrin Floor"
# The centre of "Open Cash Drawer" in the window's client coordinates:
# Left 240 + Width 4935 / 2, Top 2400 + Height 735 / 2 twips, below the menu bar.
OPEN_BUTTON = (180, 184)


def median(values):
    return statistics.median(values) if values else float("nan")


# Runs a benchmark program whose lines read "name... median p99 max count".
def figures_of(command):
    out = subprocess.run(command, capture_output=True, text=True, check=True).stdout
    figures = {}
    for line in out.splitlines():
        words = line.split()
        figures[" ".join(words[:-4])] = [float(value) for value in words[-4:]]
    return figures


def percentile(values, fraction):
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    return ordered[min(len(ordered) - 1, int(round(fraction * (len(ordered) - 1))))]


class Bench:
    def __init__(self, bin_dir, quick):
        self.bin = os.path.abspath(bin_dir)
        self.quick = quick
        self.home = tempfile.mkdtemp(prefix="kestrin-bench-")
        self.env = dict(os.environ)
        self.env.pop("WAYLAND_DISPLAY", None)
        self.env["KESTRIN_SIM_STATE"] = os.path.join(self.home, "sim.state")
        self.env["XDG_RUNTIME_DIR"] = self.home
        os.chmod(self.home, 0o700)
        self.xvfb = None

    # The display: a private Xvfb without a window manager.
    def start_display(self):
        for number in range(90, 120):
            if not os.path.exists(f"/tmp/.X11-unix/X{number}"):
                break
        self.xvfb = subprocess.Popen(
            ["Xvfb", f":{number}", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.env["DISPLAY"] = f":{number}"
        for _ in range(100):
            if os.path.exists(f"/tmp/.X11-unix/X{number}"):
                return
            time.sleep(0.05)
        raise SystemExit("bench: Xvfb did not start")

    def stop(self):
        if self.xvfb:
            self.xvfb.terminate()
            self.xvfb.wait()
        shutil.rmtree(self.home, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.bin, name)

    def tool(self, *arguments):
        subprocess.run([self.path("kestrin-drawer-sim"), *arguments], env=self.env, check=True,
                       stdout=subprocess.DEVNULL)

    def trace(self):
        calls = []
        try:
            with open(self.env["KESTRIN_SIM_STATE"] + ".trace") as trace:
                for line in trace:
                    words = line.split()
                    if len(words) == 4:
                        calls.append((int(words[0]), words[1], words[2], words[3]))
        except FileNotFoundError:
            pass
        return calls

    def clear_trace(self):
        try:
            os.remove(self.env["KESTRIN_SIM_STATE"] + ".trace")
        except FileNotFoundError:
            pass

    def probe(self, *arguments):
        out = subprocess.run([self.path("xprobe"), *arguments], env=self.env, check=True,
                             capture_output=True, text=True).stdout
        return out.split()

    def launch(self, name):
        process = subprocess.Popen([self.path(name)], env=self.env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        return process

    def wait_for(self, condition, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if condition():
                return True
            time.sleep(0.05)
        return False

    @staticmethod
    def cpu_seconds(pid):
        # Nanoseconds on a CPU, summed over the process's threads: far finer
        # than the clock ticks of /proc/PID/stat.
        total = 0
        for task in os.listdir(f"/proc/{pid}/task"):
            try:
                with open(f"/proc/{pid}/task/{task}/schedstat") as schedstat:
                    total += int(schedstat.read().split()[0])
            except (FileNotFoundError, ProcessLookupError):
                pass
        return total / 1e9

    @staticmethod
    def peak_rss_kib(pid):
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
        return 0

    @staticmethod
    def end(process):
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()

    # 1. Start-up: process start to the window mapped and first painted.
    def startup(self, runs):
        results = {"program": [], "floor": []}
        for _ in range(runs):
            for who, name, title in (("program", "kestrin-drawer", PROGRAM_TITLE),
                                     ("floor", "kestrin-floor", FLOOR_TITLE)):
                mapped, painted = self.probe("startup", title, self.path(name))
                results[who].append(float(painted))
        return results

    # 2 and 3. Idle cost (connected and polling, no tracing) and peak memory.
    def idle(self, rounds, seconds):
        self.tool("trace", "off")
        cpu = {"program": [], "floor": []}
        rss = {"program": [], "floor": []}
        for _ in range(rounds):
            for who, name in (("program", "kestrin-drawer"), ("floor", "kestrin-floor")):
                process = self.launch(name)
                time.sleep(2)  # past start-up and the first connection
                before = self.cpu_seconds(process.pid)
                time.sleep(seconds)
                after = self.cpu_seconds(process.pid)
                rss[who].append(self.peak_rss_kib(process.pid) / 1024)
                self.end(process)
                cpu[who].append((after - before) * 60 / seconds)
        self.tool("trace", "on")
        return cpu, rss

    # 4. Tick cadence from the trace: intervals between status calls.
    def cadence(self, delay_ms, seconds):
        self.tool("delay", str(delay_ms))
        self.clear_trace()
        process = self.launch("kestrin-drawer")
        self.wait_for(lambda: sum(1 for c in self.trace() if c[1] == "GetDrawerStatus") >= 3, 20)
        time.sleep(seconds)
        self.end(process)
        self.tool("delay", "0")
        starts = [c[0] for c in self.trace() if c[1] == "GetDrawerStatus"]
        # The first refresh asks twice in a row; every later call is a tick.
        intervals = [(b - a) / 1000 for a, b in zip(starts[1:], starts[2:])]
        return intervals

    # The drawer library's own figures: entry-point latency while a network
    # printer answers, is silent and is gone; sensor change to answer; status
    # round trips. Lines of "name... median p99 max count".
    def driver_figures(self):
        probe = self.path("driver-bench")
        if not os.path.exists(probe) or not os.path.exists(self.driver_library()):
            return {}
        return figures_of([probe, "latency", self.driver_library()])

    # The same library as a client of kestrin-drawerd on a private bus, and
    # the service's idle cost and the printer's traffic with 1 and 10
    # clients; lines as above.
    def service_figures(self):
        probe = self.path("driver-bench")
        service = self.path("kestrin-drawerd")
        ctl = self.path("kestrin-drawer-ctl")
        if not all(os.path.exists(path) for path in (probe, service, ctl, self.driver_library())):
            return {}
        return figures_of([probe, "service", self.driver_library(), service, ctl])

    # The web bridge with the service on a private bus: sensor change to the
    # WebSocket message, POST to the kick, idle CPU with 1 and 100 clients;
    # lines as above.
    def web_figures(self):
        paths = [self.path(name) for name in
                 ("web-bench", "kestrin-drawerd", "kestrin-drawer-web", "kestrin-drawer-ctl")]
        if not all(os.path.exists(path) for path in paths):
            return {}
        return figures_of(paths)

    # Receipts through a private print spooler, straight to a printer and
    # through the service; lines as above. The spooler runs its backends
    # as lp, so this needs root.
    def spooler_figures(self, receipts):
        paths = [self.path("spooler-bench"), os.path.join(self.bin, "..", "cups", "backend", "kestrin")]
        if os.geteuid() != 0 or not all(os.path.exists(path) for path in paths):
            return {}
        return figures_of(paths + [str(receipts)])

    def driver_library(self):
        return os.path.join(self.bin, "..", "drawerdriver", "libKestrinPOS_USB.so")

    # Idle cost of the program on the drawer library, connected to a network
    # printer on loopback, against the floor. The program runs from a folder
    # of its own with the library beside it, which it looks in first.
    def network_idle(self, rounds, seconds):
        folder = os.path.join(self.home, "network")
        os.makedirs(folder, exist_ok=True)
        shutil.copy(self.path("kestrin-drawer"), folder)
        shutil.copy(self.driver_library(), folder)
        printer = subprocess.Popen([self.path("driver-bench"), "serve"], stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, text=True)
        address = printer.stdout.readline().strip()
        conf = os.path.join(self.home, "drawers.conf")
        with open(conf, "w") as out:
            out.write(f"[drawer 1]\ndevice = {address}\nsensor = open-high\n")
        saved = dict(self.env)
        self.env["KESTRIN_DRAWERS_CONF"] = conf
        cpu = {"program": [], "floor": []}
        try:
            for _ in range(rounds):
                for who, path in (("program", os.path.join(folder, "kestrin-drawer")),
                                  ("floor", self.path("kestrin-floor"))):
                    process = subprocess.Popen([path], env=self.env, stdout=subprocess.DEVNULL,
                                               stderr=subprocess.DEVNULL)
                    time.sleep(2)
                    before = self.cpu_seconds(process.pid)
                    time.sleep(seconds)
                    after = self.cpu_seconds(process.pid)
                    self.end(process)
                    cpu[who].append((after - before) * 60 / seconds)
        finally:
            self.env = saved
            printer.stdin.close()
            printer.wait()
        return cpu

    # 5. Responsiveness: a synthetic click to the OpenDrawer call.
    def clicks(self, count):
        self.clear_trace()
        process = self.launch("kestrin-drawer")
        self.wait_for(lambda: sum(1 for c in self.trace() if c[1] == "GetDrawerStatus") >= 3, 20)
        latencies = []
        menu_bar = None
        for _ in range(count):
            if menu_bar is None:
                menu_bar = self.menu_bar_height()
            pressed = int(self.probe("click", PROGRAM_TITLE, str(OPEN_BUTTON[0]),
                                     str(OPEN_BUTTON[1] + menu_bar))[0])
            found = self.wait_for(lambda: any(c[1] == "OpenDrawer" and c[0] >= pressed
                                              for c in self.trace()), 5)
            if found:
                opened = min(c[0] for c in self.trace() if c[1] == "OpenDrawer" and c[0] >= pressed)
                latencies.append((opened - pressed) / 1000)
            time.sleep(0.3)
        self.end(process)
        return latencies

    def menu_bar_height(self):
        # The window's height less the client area (376 pixels).
        out = subprocess.run(["xwininfo", "-name", PROGRAM_TITLE], env=self.env,
                             capture_output=True, text=True).stdout
        for line in out.splitlines():
            if "Height:" in line:
                return int(line.split()[-1]) - 376
        return 19


def main():
    if len(sys.argv) < 2:
        raise SystemExit(__doc__)
    quick = "--quick" in sys.argv
    bench = Bench(sys.argv[1], quick)
    try:
        bench.start_display()
        bench.tool("reset")
        bench.tool("trace", "on")
        startup = bench.startup(5 if quick else 10)
        cpu, rss = bench.idle(1 if quick else 3, 10 if quick else 20)
        cadence0 = bench.cadence(0, 5 if quick else 20)
        cadence50 = bench.cadence(50, 5 if quick else 15)
        clicks = bench.clicks(20)
        network_cpu = bench.network_idle(1 if quick else 3, 10 if quick else 20)
        driver = bench.driver_figures()
        service = bench.service_figures()
        web = bench.web_figures()
        spooler = bench.spooler_figures(4 if quick else 10)
    finally:
        bench.stop()

    def row(name, program, floor, unit, target):
        ratio = program / floor if floor else float("nan")
        print(f"| {name} | {program:.3f} {unit} | {floor:.3f} {unit} | {ratio:.2f} | {target} |")

    print("| Figure | Program | Floor | Ratio | Target |")
    print("|---|---|---|---|---|")
    row("Start-up to first paint (median of %d)" % len(startup["program"]),
        median(startup["program"]), median(startup["floor"]), "ms", "≤ 1.3 × floor")
    program_cpu = median(cpu["program"])
    row("Idle CPU, connected and polling", program_cpu, median(cpu["floor"]), "s/min",
        "≤ 1.5 × floor, < 0.3 s/min (0.5 % of a core)")
    row("Peak resident memory", median(rss["program"]), median(rss["floor"]), "MiB",
        "≤ 1.25 × floor")
    print(f"| Tick interval, delay 0 (median / p99 of {len(cadence0)}) | "
          f"{median(cadence0):.1f} / {percentile(cadence0, 0.99):.1f} ms | – | – | "
          "median 100–110, p99 ≤ 125 ms + call |")
    print(f"| Tick interval, delay 50 (median / p99 of {len(cadence50)}) | "
          f"{median(cadence50):.1f} / {percentile(cadence50, 0.99):.1f} ms | – | – | "
          "median 150–160, p99 ≤ 175 ms |")
    print(f"| Click to OpenDrawer (median / max of {len(clicks)}) | "
          f"{median(clicks):.2f} / {max(clicks) if clicks else float('nan'):.2f} ms | – | – | "
          "≤ 20 ms median |")
    row("Idle CPU, connected to a loopback network printer", median(network_cpu["program"]),
        median(network_cpu["floor"]), "s/min", "≤ 1.5 × floor")
    for state in ("answering", "silent", "gone"):
        for function in ("GetDrawerHandle", "ReleaseDrawerHandle", "GetDrawerStatus", "OpenDrawer"):
            figures = driver.get(f"latency {state} {function}")
            if figures:
                print(f"| {function}, printer {state} (median / p99 / max of {int(figures[3])}) | "
                      f"{figures[0]:.3f} / {figures[1]:.3f} / {figures[2]:.3f} ms | – | – | "
                      "p99 ≤ 2 ms |")
    for name, label, target in (
            ("sensor-change", "Sensor change to GetDrawerStatus", "p99 ≤ 250 ms"),
            ("kick-delivery", "OpenDrawer to the kick at the printer", "≤ 100 ms"),
            ("roundtrip tcp", "Status round trip, network printer on loopback", "p99 < 2 ms"),
            ("roundtrip pty", "Status round trip, printer on a pseudo-terminal", "p99 < 2 ms")):
        figures = driver.get(name)
        if figures:
            print(f"| {label} (median / p99 of {int(figures[3])}) | "
                  f"{figures[0]:.3f} / {figures[1]:.3f} ms | – | – | {target} |")
    print("\n| Figure, network printer on loopback | In process | Client of kestrin-drawerd | Target |")
    print("|---|---|---|---|")
    for name, label, target in (
            ("sensor-change", "Sensor change to the client (median / p99)", "p99 ≤ 250 ms"),
            ("kick-delivery", "OpenDrawer to the kick at the printer (median / p99)", "p99 ≤ 100 ms")):
        inside, client = driver.get(name), service.get(name)
        if inside and client:
            print(f"| {label} | {inside[0]:.2f} / {inside[1]:.2f} ms | "
                  f"{client[0]:.2f} / {client[1]:.2f} ms | {target} |")
    for function in ("GetDrawerHandle", "ReleaseDrawerHandle", "GetDrawerStatus", "OpenDrawer"):
        inside, client = driver.get(f"latency answering {function}"), service.get(f"latency service {function}")
        if inside and client:
            print(f"| {function} (median / p99) | {inside[0]:.3f} / {inside[1]:.3f} ms | "
                  f"{client[0]:.3f} / {client[1]:.3f} ms | p99 ≤ 2 ms |")
    inside, client = driver.get("sensor-change"), service.get("sensor-change")
    if inside and client:
        print(f"| Sensor change: the service's p99 over the library's own | – | "
              f"{client[1] - inside[1]:+.2f} ms | ≤ +10 ms |")
    one, ten = service.get("service idle-cpu 1 client"), service.get("service idle-cpu 10 clients")
    if one and ten:
        print(f"| Service's idle CPU, 1 / 10 clients following | – | {one[0]:.2f} / {ten[0]:.2f} ms/s "
              f"(ratio {ten[0] / one[0]:.2f}) | ≤ 1.5 ms/s, ≤ 1.2 × one client's |")
    one, ten = service.get("service wake-ups 1 client"), service.get("service wake-ups 10 clients")
    if one and ten:
        print(f"| Service's main thread, idle: wake-ups, 1 / 10 clients | – | {one[0]:.1f} / {ten[0]:.1f} "
              "a second | ≤ 1 a second |")
    one, ten = service.get("service requests 1 client"), service.get("service requests 10 clients")
    if one and ten:
        print(f"| Status requests at the printer, 1 / 10 clients | – | {one[0]:.1f} / {ten[0]:.1f} a second "
              "| no more with ten |")
    print("\n| Web bridge, kestrin-drawer-web | Median | p99 | Target |")
    print("|---|---|---|---|")
    for name, label, target in (
            ("web sensor-change", "Sensor change to the WebSocket message", "p99 ≤ 250 ms"),
            ("web kick-delivery", "POST …/open to the kick at the printer", "p99 ≤ 100 ms")):
        figures = web.get(name)
        if figures:
            print(f"| {label} ({int(figures[3])} runs) | {figures[0]:.2f} ms | {figures[1]:.2f} ms "
                  f"| {target} |")
    one, hundred = web.get("web idle-cpu 1"), web.get("web idle-cpu 100")
    if one and hundred:
        print(f"| Bridge's idle CPU, 1 / 100 WebSocket clients | {one[0]:.3f} % / {hundred[0]:.3f} % "
              "of a core | – | < 2 % of a core |")
    print("\n| Receipts through the spooler, one printer at 20 kB/s | Straight to the printer | "
          "Through the service | Target |")
    print("|---|---|---|---|")
    for name, label, unit, target in (
            ("last-byte", "lp to the receipt's last byte", "ms", "service ≤ straight + 5 %"),
            ("gone", "Drawer read as gone while receipts print", "%", "0"),
            ("kick", "Kick asked during a receipt to the printer", "ms", "≤ 250 ms"),
            ("open", "Drawer opened during a receipt to the Open property", "ms", "≤ 1.5 s")):
        straight, through = spooler.get("spooler " + name + "-direct"), spooler.get("spooler " + name + "-service")
        if straight and through:
            print(f"| {label} (median / max of {int(through[3])}) | {straight[0]:.0f} / {straight[2]:.0f} {unit} "
                  f"| {through[0]:.0f} / {through[2]:.0f} {unit} | {target} |")
    print(f"\nIdle CPU as a share of one core: program {program_cpu / 60 * 100:.3f} %, "
          f"floor {median(cpu['floor']) / 60 * 100:.3f} %")


if __name__ == "__main__":
    main()
