#!/usr/bin/env python3
"""The driver rig: fwdl through the Linux kernel's own serial drivers.

One QEMU guest under TCG, with Debian's kernel, busybox and the project's
fwdl and instrument-sim in an initramfs, carries four paths: ftdi_sio on
QEMU's FTDI adapter and the 8250 driver on its 16550 (the simulated
instrument on the host's end of each), and inside the guest the USB gadget
loopback: g_serial's ACM function through cdc_acm, and its plain serial
function through the usb-serial generic driver (the instrument on
/dev/ttyGS0). The guest's /init (guest_init.sh) runs every scenario and
prints facts; this script serves its requests (a simulator, an unplug)
and judges the facts into one result a scenario.

  driver_rig.py run DIR           boot once, run every scenario, write DIR/results.json
                                  (fwdl and instrument-sim: $FWDL, $INSTRUMENT_SIM;
                                  the kernel package is kept in $FWDL_DRIVER_RIG_CACHE,
                                  by default DIR/../driver-rig-cache)
  driver_rig.py check DIR NAME    exit 0 when scenario NAME held
  driver_rig.py list              the scenarios
"""
import json
import lzma
import os
import queue
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
FTDI_SERIAL = "FTDI0042"    # the serial number QEMU's FTDI adapter is given
GADGET_SERIAL = "GS0042"    # and the gadget's
BOOT_DEADLINE_S = 420       # the whole guest, boot to power-off, on a busy machine

# What each path's adapter is, as sysfs must tell it, and who keeps XON/XOFF.
PATHS = {
    "ftdi": {"driver": "ftdi_sio", "usb": "0403:6001", "serial": FTDI_SERIAL, "flow": "kernel"},
    "uart": {"driver": "serial", "usb": None, "serial": None, "flow": "kernel",
             "device": "/dev/ttyS1"},
    "acm": {"driver": "cdc_acm", "usb": "0525:a4a7", "serial": GADGET_SERIAL, "flow": "program"},
    "generic": {"driver": "usbserial_generic", "usb": "0525:a4a6", "serial": GADGET_SERIAL,
                "flow": "program"},
}
USB_PATHS = ["ftdi", "acm", "generic"]
SCENARIOS = ([f"{p}.{s}" for p in PATHS for s in ("ports", "dvb", "hex")] +
             [f"{p}.{s}" for p in USB_PATHS for s in ("select", "unplug", "replug", "answer_first")] +
             [f"{p}.overflow" for p in ("acm", "generic")])

# The modules the paths need; their dependencies come from each module's
# own .modinfo. g_serial is loaded by the guest, with the function it wants.
MODULES = ["xhci-pci", "usbserial", "ftdi_sio", "cdc-acm", "dummy_hcd", "usb_f_acm",
           "usb_f_serial"]
LOADED_LATER = ["g_serial"]


def fail(message):
    print(f"driver rig: {message}", file=sys.stderr)
    sys.exit(1)


def need(program, package):
    found = shutil.which(program)
    if not found:
        fail(f"{program} is missing: install {package} (scripts/deps.sh lists it)")
    return found


# --- The kernel: Debian's package, downloaded once, unpacked, never installed.

def kernel_package_name():
    depends = subprocess.run(["apt-cache", "depends", "linux-image-amd64"],
                             capture_output=True, text=True).stdout
    names = [line.split(":", 1)[1].strip() for line in depends.splitlines()
             if line.strip().startswith("Depends:") and "linux-image-" in line]
    return names[0] if names else None


def kernel_tree(cache):
    cache.mkdir(parents=True, exist_ok=True)
    name = kernel_package_name()
    debs = sorted(cache.glob(f"{name}_*.deb")) if name else sorted(cache.glob("linux-image-*.deb"))
    if not debs:
        # Package lists that are missing or older than the archive name a
        # kernel that is no longer there: read them anew once, then fetch.
        if not name or subprocess.run(["apt-get", "download", "-q", name], cwd=cache).returncode:
            subprocess.run(["apt-get", "update", "-qq"], check=True)
            name = kernel_package_name()
            if not name:
                fail("apt-cache knows no linux-image-amd64, even after apt-get update")
            subprocess.run(["apt-get", "download", "-q", name], cwd=cache, check=True)
        debs = sorted(cache.glob(f"{name}_*.deb"))
    tree = cache / debs[-1].stem
    if not (tree / "boot").is_dir():
        unpacking = cache / (debs[-1].stem + ".part")
        shutil.rmtree(unpacking, ignore_errors=True)
        subprocess.run(["dpkg-deb", "-x", str(debs[-1]), str(unpacking)], check=True)
        unpacking.rename(tree)
    return tree


def module_bytes(path):
    if path.name.endswith(".ko.xz"):
        return lzma.decompress(path.read_bytes())
    if path.name.endswith(".ko.zst"):
        return subprocess.run(["zstd", "-dcq", str(path)], capture_output=True, check=True).stdout
    return path.read_bytes()


def modules_in_order(tree):
    """Each wanted module and what it depends on, dependencies first: name -> bytes."""
    index = {}
    for path in (tree / "lib/modules").glob("*/kernel/**/*.ko*"):
        index[path.name.split(".ko")[0].replace("-", "_")] = path
    ordered = {}

    def visit(name):
        name = name.replace("-", "_")
        if name in ordered:
            return
        if name not in index:
            fail(f"the kernel package has no module {name}")
        data = module_bytes(index[name])
        for field in data.split(b"\0"):
            if field.startswith(b"depends="):
                for dep in filter(None, field[len(b"depends="):].decode().split(",")):
                    visit(dep)
        ordered[name] = data

    for name in MODULES + LOADED_LATER:
        visit(name)
    return ordered


# --- The initramfs: busybox, the modules, fwdl and the simulator with the
# libraries they link, the firmware files, and guest_init.sh as /init.

def copy_with_libraries(program, root, name):
    """Copies `program` into root/bin as `name`, and each library ldd names to its own path."""
    program = Path(program).resolve()
    # Without its debugging sections: fwdl is ten times smaller so.
    if subprocess.run(["strip", "--strip-debug", "-o", str(root / "bin" / name),
                       str(program)]).returncode != 0:
        shutil.copy2(program, root / "bin" / name)
    ldd = subprocess.run(["ldd", str(program)], capture_output=True, text=True).stdout
    for line in ldd.splitlines():
        for word in line.replace("=>", " ").split():
            if word.startswith("/"):
                placed = root / word.lstrip("/")
                placed.parent.mkdir(parents=True, exist_ok=True)
                shutil.copy2(word, placed)


def hex_records(data):
    """Intel HEX of `data` from address 0, 16 bytes a record, lines ending in CR LF."""
    lines = []
    for at in range(0, len(data), 16):
        chunk = data[at:at + 16]
        record = bytes([len(chunk), at >> 8, at & 0xFF, 0]) + chunk
        lines.append(":" + (record + bytes([-sum(record) & 0xFF])).hex().upper())
    return ("\r\n".join(lines + [":00000001FF"]) + "\r\n").encode()


def firmware(folder):
    """Small images, for TCG is slow: every byte value, escapes included."""
    folder.mkdir(parents=True)
    every_byte = bytes(range(256))
    (folder / "image.bin").write_bytes(every_byte * 16)             # 4 KB
    (folder / "long.bin").write_bytes(every_byte * 64)              # 16 KB, to pull a cable in
    (folder / "overflow.bin").write_bytes(every_byte[::-1] * 32)    # 8 KB
    hex_file = hex_records(every_byte * 8)
    (folder / "small.hex").write_bytes(hex_file)
    # As fwdl sends it: a text file, read as text, its lines end in LF alone.
    (folder / "small.hex.sent").write_bytes(hex_file.replace(b"\r\n", b"\n"))


def initramfs(programs, tree, out):
    root = out / "initramfs"
    shutil.rmtree(root, ignore_errors=True)
    for folder in ("bin", "dev", "proc", "sys", "tmp", "lib/modules"):
        (root / folder).mkdir(parents=True, exist_ok=True)
    copy_with_libraries(need("busybox", "busybox-static"), root, "busybox")
    copy_with_libraries(need("strace", "strace"), root, "strace")
    for name, program in programs.items():
        if not program.exists():
            fail(f"{program} is not built")
        copy_with_libraries(program, root, name)
    modules = modules_in_order(tree)
    for name, data in modules.items():
        (root / "lib/modules" / f"{name}.ko").write_bytes(data)
    (root / "lib/modules/load.list").write_text(
        "".join(f"{name}\n" for name in modules if name not in LOADED_LATER))
    firmware(root / "fw")
    shutil.copy2(HERE / "guest_init.sh", root / "init")
    (root / "init").chmod(0o755)
    image = out / "initramfs.cpio"
    files = subprocess.run(["find", "."], cwd=root, capture_output=True, check=True).stdout
    with open(image, "wb") as cpio:
        subprocess.run(["cpio", "-o", "-H", "newc", "--quiet"], cwd=root, input=files,
                       stdout=cpio, check=True)
    return image


# --- The host's side while the guest runs.

class Monitor:
    """QEMU's monitor on a unix socket: one command, its answer."""

    def __init__(self, path):
        deadline = time.monotonic() + 30
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX)
                self.sock.connect(str(path))
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)
        self.read_prompt()

    def read_prompt(self):
        seen = b""
        self.sock.settimeout(30)
        while not seen.endswith(b"(qemu) "):
            seen += self.sock.recv(4096)
        return seen

    def command(self, text):
        self.sock.sendall(text.encode() + b"\n")
        return self.read_prompt().decode(errors="replace")


class HostSims:
    """The simulated instrument on the host's end of each QEMU character device."""

    def __init__(self, sim, out, ptys):
        self.sim, self.out, self.ptys = sim, out, ptys
        self.running = {}  # path -> (scenario, process)
        self.facts = {}    # scenario -> {"exact": bool, "sim": closing line}

    def start(self, path, scenario, options):
        self.stop(path)
        folder = self.out / scenario
        folder.mkdir(parents=True, exist_ok=True)
        errors = open(folder / "sim.err", "wb")
        process = subprocess.Popen([self.sim, *options, "--image-out", str(folder / "image"),
                                    self.ptys[path]], stdout=subprocess.PIPE, stderr=errors)
        process.stdout.readline()  # its device, once the line is set up
        self.running[path] = (scenario, process)

    def stop(self, path):
        if path not in self.running:
            return
        scenario, process = self.running.pop(path)
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        folder = self.out / scenario
        expected = folder.parent / "fw" / ("small.hex.sent" if scenario.endswith(".hex") else "image.bin")
        image = folder / "image"
        self.facts[scenario] = {
            "exact": image.exists() and image.read_bytes() == expected.read_bytes(),
            "sim": next((l for l in (folder / "sim.err").read_text(errors="replace").splitlines()
                         if "rx-buffer" in l), ""),
        }

    def wait_for(self, path, text, deadline_s):
        scenario = self.running[path][0]
        until = time.monotonic() + deadline_s
        while time.monotonic() < until:
            if text in (self.out / scenario / "sim.err").read_text(errors="replace"):
                return True
            time.sleep(0.02)
        return False


def boot(programs, out, cache):
    qemu = need("qemu-system-x86_64", "qemu-system-x86")
    need("cpio", "cpio")
    tree = kernel_tree(cache)
    vmlinuz = next((tree / "boot").glob("vmlinuz-*"))
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir(parents=True)
    image = initramfs(programs, tree, out)
    firmware(out / "fw")
    monitor_path = out / "monitor.sock"
    ftdi_device = f"usb-serial,id=ftdi-dev,bus=xhci.0,chardev=ftdi,serial={FTDI_SERIAL}"
    command = [qemu, "-accel", "tcg", "-nographic", "-no-reboot", "-nic", "none", "-m", "512", "-smp", "2",
               "-kernel", str(vmlinuz), "-initrd", str(image),
               "-append", f"console=ttyS0 quiet panic=-1 FTDI_SERIAL={FTDI_SERIAL} "
                          f"GADGET_SERIAL={GADGET_SERIAL}",
               "-monitor", f"unix:{monitor_path},server=on,wait=off",
               # The console is ttyS0; any isa-serial given takes the place
               # of the default one, so it is named here too. The 16550 is ttyS1.
               "-serial", "stdio", "-chardev", "pty,id=uart", "-device", "isa-serial,chardev=uart,index=1",
               "-chardev", "pty,id=ftdi", "-device", "qemu-xhci,id=xhci", "-device", ftdi_device]
    started = time.monotonic()
    qemu_process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE)
    lines = queue.Queue()

    def pump(stream, tag):
        for raw in iter(stream.readline, b""):
            lines.put((tag, raw.decode(errors="replace").rstrip("\r\n")))
        lines.put((tag, None))

    for stream, tag in ((qemu_process.stdout, "console"), (qemu_process.stderr, "qemu")):
        threading.Thread(target=pump, args=(stream, tag), daemon=True).start()

    ptys = {}
    holders = []
    facts = {}
    timeline = {}
    sims = None
    monitor = None
    console = open(out / "console.log", "w")
    ended = 0
    deadline = started + BOOT_DEADLINE_S

    def answer():
        qemu_process.stdin.write(b"go\n")
        qemu_process.stdin.flush()

    while ended < 2 and time.monotonic() < deadline:
        try:
            tag, line = lines.get(timeout=1)
        except queue.Empty:
            continue
        if line is None:
            ended += 1
            continue
        stamp = f"{time.monotonic() - started:6.1f} "
        console.write(stamp + (line if tag == "console" else f"[qemu] {line}") + "\n")
        console.flush()
        # "char device redirected to /dev/pts/3 (label ftdi)", before the guest starts.
        if line.startswith("char device redirected to ") and "(label" in line:
            pty = line.split("redirected to ")[1].split()[0]
            ptys[line.rsplit("(label ", 1)[1].rstrip(")")] = pty
            # QEMU's FTDI adapter is attached only while its character device
            # is open at the far end: held open for the whole run, it stays
            # plugged in as the simulators come and go. Never read from.
            holders.append(os.open(pty, os.O_RDWR | os.O_NOCTTY))
            continue
        if tag == "qemu":
            continue
        if not line.startswith("@@"):
            continue
        words = line.split(" ")
        if monitor is None:
            monitor = Monitor(monitor_path)
            sims = HostSims(str(programs["instrument-sim"]), out, ptys)
        if words[0] == "@@booted":
            timeline["boot_s"] = round(time.monotonic() - started, 1)
        elif words[0] == "@@fact":
            facts.setdefault(words[1], {})[words[2]] = " ".join(words[3:])
        elif words[0] == "@@out":
            facts.setdefault(words[1], {}).setdefault("transcript", []).append(
                line.split(" ", 2)[2] if len(words) > 2 else "")
        elif words[0] == "@@ask":
            request, path = words[1], words[2]
            if request == "sim":
                sims.start(path, words[3], words[4:])
            elif request == "unplug":
                monitor.command("device_del ftdi-dev")
            elif request == "plug":
                monitor.command(f"device_add {ftdi_device}")
            elif request == "unplug_after":
                # The instrument's report first, then the cable, half a second on.
                sims.start(path, words[3], words[4:])

                def pull():
                    if sims.wait_for(path, "report sent", 60):
                        time.sleep(0.5)
                        monitor.command("device_del ftdi-dev")
                threading.Thread(target=pull, daemon=True).start()
            answer()
        elif words[0] == "@@done":
            timeline["guest_s"] = round(time.monotonic() - started, 1)
    try:
        qemu_process.wait(max(1, deadline - time.monotonic()))
    except subprocess.TimeoutExpired:
        qemu_process.kill()
        qemu_process.wait()
        facts.setdefault("rig", {})["timeout"] = f"the guest ran past {BOOT_DEADLINE_S} s"
    for fd in holders:
        os.close(fd)
    if sims:
        for path in list(sims.running):
            sims.stop(path)
        for scenario, seen in sims.facts.items():
            facts.setdefault(scenario, {}).update(seen)
    timeline["total_s"] = round(time.monotonic() - started, 1)
    return facts, timeline


# --- Judging the facts.

def record(facts, scenario):
    try:
        return json.loads(facts.get(scenario, {}).get("record", ""))
    except ValueError:
        return {}


def port_entry(ports_json, path):
    """The entry of `fwdl ports --json` that is this path's adapter."""
    want = PATHS[path]
    try:
        ports = json.loads(ports_json)["ports"]
    except (ValueError, KeyError, TypeError):
        return None
    for port in ports:
        if want.get("device") == port["port"] or (want["serial"] and port["serial"] == want["serial"]):
            return port
    return None


def judge(facts):
    results = {}
    for scenario in SCENARIOS:
        path, what = scenario.split(".")
        want = PATHS[path]
        seen = facts.get(scenario, {})
        rec = record(facts, scenario)
        problems, figures = [], {}

        def expect(holds, why):
            if not holds:
                problems.append(why)

        def expect_record(outcome, code):
            expect(seen.get("exit") == str(code), f"exit code {seen.get('exit')}, not {code}")
            expect(rec.get("outcome") == outcome, f"outcome {rec.get('outcome')}, not {outcome}")
            expect(rec.get("flow_control") == want["flow"],
                   f"flow control {rec.get('flow_control')}, not {want['flow']}")
            adapter = rec.get("adapter", {})
            expect(adapter.get("driver") == want["driver"] and adapter.get("usb") == want["usb"] and
                   adapter.get("serial_number") == want["serial"], f"the record's adapter is {adapter}")
            expect(seen.get("hung") is None, f"fwdl hung in {seen.get('hung')}")
            expect(seen.get("sim_hung") is None, f"the simulator hung in {seen.get('sim_hung')}")
            figures["flow_control"] = rec.get("flow_control")

        if what == "ports":
            entry = port_entry(seen.get("ports", ""), path)
            expect(entry is not None, "fwdl ports --json does not list the adapter")
            if entry:
                for key, field in (("driver", "driver"), ("usb", "usb"), ("serial", "serial"),
                                   ("flow", "flow_control")):
                    expect(entry[field] == want[key], f"ports says {field} {entry[field]}, not {want[key]}")
                figures.update(port=entry["port"], flow_control=entry["flow_control"],
                               selectors=entry["selectors"])
            doctor = "\n".join(seen.get("transcript", []))
            for check in ("port", "open"):
                expect(f"ok       {check}:" in doctor, f"fwdl doctor: no ok for {check}")
            # The generic driver has no UART: it keeps 9600 baud whatever is
            # asked, and doctor must say so; every other driver takes the line.
            settings = "problem  line settings:" if path == "generic" else "ok       line settings:"
            expect(settings in doctor, f"fwdl doctor: no '{settings}'")
            figures["doctor_exit"] = seen.get("doctor_exit")
        elif what in ("dvb", "hex", "select", "replug", "overflow"):
            expect_record("success", 0)
            expect(seen.get("exact") in (True, "yes"), "the instrument's image is not the file's")
            if what == "select":
                expect(rec.get("port") == seen.get("socket") and rec.get("port", "").startswith("socket:"),
                       f"run by {rec.get('port')}, not by the socket {seen.get('socket')}")
            if what == "replug":
                expect(port_entry(seen.get("ports", ""), path) is not None,
                       "fwdl ports does not list the adapter plugged in again")
            if what == "overflow":
                sim = seen.get("sim", "")
                figures["instrument"] = sim.replace("instrument-sim: rx-buffer: ", "")
                # "  395 0;  132 10240;": how often TIOCOUTQ told each figure.
                told = {int(v): int(n) for n, v in (p.split() for p in seen.get("tiocoutq", "").split(";")
                                                    if len(p.split()) == 2)}
                figures["tiocoutq_told"] = told
                expect(told, "no TIOCOUTQ seen")
                expect(" lost 0 bytes" in sim, f"bytes lost: {sim!r}")
                expect(" 0 holds" not in sim and sim, "the instrument never held the line: no test")
        elif what == "unplug":
            expect_record("port_lost", 4)
            try:
                detect = float(seen["ended_at"]) - float(seen["pulled_at"])
            except (KeyError, ValueError):
                detect = None
            figures["detect_s"] = None if detect is None else round(detect, 2)
            expect(detect is not None and detect <= 2.0, f"port_lost after {detect} s")
            expect(seen.get("never_sent") is None, "the image never began")
            expect(port_entry(seen.get("ports_while_out", ""), path) is None,
                   "fwdl ports lists the adapter while it is out")
        elif what == "answer_first":
            expect_record("success", 0)
            expect("Flashed successfully..." in rec.get("instrument_text", ""),
                   f"instrument text {rec.get('instrument_text')!r}")
        if "timeout" in facts.get("rig", {}):
            problems.append(facts["rig"]["timeout"])
        results[scenario] = {"holds": not problems, "problems": problems, "figures": figures}
    return results


def main():
    if sys.argv[1:] == ["list"]:
        print("\n".join(SCENARIOS))
        return
    if len(sys.argv) < 3 or sys.argv[1] not in ("run", "check"):
        fail(__doc__)
    out = Path(sys.argv[2]).resolve()
    if sys.argv[1] == "check":
        try:
            results = json.loads((out / "results.json").read_text())
        except (OSError, ValueError):
            fail(f"no results in {out}: the rig did not run")
        result = results["scenarios"].get(sys.argv[3])
        if result is None:
            fail(f"no scenario {sys.argv[3]}")
        print(json.dumps(result["figures"]))
        for problem in result["problems"]:
            print(f"driver rig: {sys.argv[3]}: {problem}", file=sys.stderr)
        sys.exit(0 if result["holds"] else 1)
    cache = Path(os.environ.get("FWDL_DRIVER_RIG_CACHE", out.parent / "driver-rig-cache"))
    programs = {name: Path(os.environ.get(variable, out.parent / name))
                for name, variable in (("fwdl", "FWDL"), ("instrument-sim", "INSTRUMENT_SIM"))}
    (out / "results.json").unlink(missing_ok=True)
    facts, timeline = boot(programs, out, cache)
    results = judge(facts)
    (out / "facts.json").write_text(json.dumps(facts, indent=1, default=str))
    (out / "results.json").write_text(json.dumps({"timeline": timeline, "scenarios": results}, indent=1))
    held = sum(r["holds"] for r in results.values())
    print(f"driver rig: {held} of {len(results)} scenarios hold; {timeline}")
    for name, result in results.items():
        print(f"  {'holds' if result['holds'] else 'FAILS'} {name} {result['figures']} "
              f"{'; '.join(result['problems'])}")


if __name__ == "__main__":
    main()
