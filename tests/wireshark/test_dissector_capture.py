"""End to end: the netpod tool talks to emulated modules while tshark captures on
loopback, then the dissector's reading of the capture is compared with what the
emulators hold and with what the tool printed. Runs inside a private network
namespace (tests/run_in_netns.sh) so that the scan's broadcast stays in it."""

import argparse
import os
import queue
import signal
import socket
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from dissector_support import Dissector, scratch_folder, skip, tshark_or_skip  # noqa: E402

PLAIN, SPLIT, CORRUPT = "127.0.0.2", "127.0.0.3", "127.0.0.4"
# The plain module's identity and the values the tool writes before reading them all.
EMULATOR = ["--static", "--broadcast", "--type", "8.0", "--version", "1.2.3.4", "--mac", "02:00:00:00:00:2a",
            "--name", "Dissector-Test"]
WRITES = ["outputs=0,9", "threshold=-1.5", "com-options=0,5", "tcp-timeout=77", "rs232-config=131",
          "i2c-speed=99", "mask=255.255.0.0"]
# Every register of the answer to `netpod info`, as the emulator holds it then: its
# defaults (static values, 42 power-ups, 1000 s in service), the identity above, the
# writes above, inputs that mirror the outputs, 24 V on the inputs that are on, and
# the tool's own connection.
EXPECTED_INFO = [
    ("TYPE", "8.0 (Qorvi-NETPOD)"), ("VERSION", "3.4.1.2"), ("VOLTAGE", "24.000 V"),
    ("WARNINGS", "none (0x00000000)"), ("NBPOWERUP", "42"), ("TIMEINSERVICE", "1000"),
    ("COMOPTIONS", "0, 5 (0x00000021)"), ("ETHERNETMAC", "02:00:00:00:00:2a"), ("IPADDRESS", PLAIN),
    ("SUBNETMASK", "255.255.0.0"), ("TCPTIMEOUT", "77"), ("MODULENAME", '"Dissector-Test"'),
    ("RS232CONFIG", "131"), ("I2CSPD", "99"), ("TCPCONNECTIONSOPENED", "1"),
    ("ANALOGINPUTSTHRESHOLD", "-1.500 V"), ("OUTPUTS", "0, 9 (0x0201)"), ("INPUTS", "0, 9 (0x0201)"),
] + [("INPUTVOLTAGEVALUE %d" % n, "24.000 V" if n in (0, 9) else "0.000 V") for n in range(16)]
# The tool's labels for the registers it prints on one line each.
TOOL_LABELS = {"type": "TYPE", "version": "VERSION", "voltage": "VOLTAGE", "warnings": "WARNINGS",
               "power-ups": "NBPOWERUP", "time-in-service": "TIMEINSERVICE", "com-options": "COMOPTIONS",
               "mac": "ETHERNETMAC", "ip": "IPADDRESS", "mask": "SUBNETMASK", "tcp-timeout": "TCPTIMEOUT",
               "name": "MODULENAME", "rs232-config": "RS232CONFIG", "i2c-speed": "I2CSPD",
               "tcp-connections": "TCPCONNECTIONSOPENED", "threshold": "ANALOGINPUTSTHRESHOLD",
               "outputs": "OUTPUTS", "inputs": "INPUTS"}

args = None
dissector = None


def lines_of(process):
    """A queue that receives the process's standard output line by line, until the
    process ends (process.pump then ends too)."""
    lines = queue.Queue()

    def pump():
        for line in process.stdout:
            lines.put(line)
    process.pump = threading.Thread(target=pump, daemon=True)
    process.pump.start()
    return lines


def wait_for_line(process, lines, wanted, seconds, poke=None):
    """Waits until `process` prints a line for which `wanted` is true, calling `poke`
    (if given) every 200 ms meanwhile."""
    deadline = time.monotonic() + seconds
    next_poke = 0
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise AssertionError("%s ended (status %d): %s" % (process.args[0], process.returncode,
                                                               process.stderr.read()))
        if poke and time.monotonic() >= next_poke:
            poke()
            next_poke = time.monotonic() + 0.2
        try:
            line = lines.get(timeout=0.2)
        except queue.Empty:
            continue
        if wanted(line):
            return line
    raise AssertionError("%s printed no awaited line within %d s" % (process.args[0], seconds))


class Session:
    """The capture, the emulators and the tool runs of the whole test."""

    def __init__(self, folder):
        self.folder = folder
        self.capture = os.path.join(folder, "exchanges.pcapng")
        self.processes = []
        self.tool_output = {}

    def start_capture(self):
        # -P reports each packet once it is in the file; a probe sent until it is
        # reported shows that the capture runs.
        self.tshark = self._start([dissector.tshark, "-i", "lo", "-n", "-l", "-P", "-w", self.capture,
                                   "-f", "port 7010 or port 8010", "-T", "fields", "-e", "ip.dst", "-e", "udp.srcport",
                                   "-e", "udp.dstport"], env=dissector.env)
        self.capture_lines = lines_of(self.tshark)
        self._probe()

    def stop_capture(self):
        # Packets reach the file in blocks: once a last probe is reported, everything
        # sent before it is in the file too, and tshark can be stopped.
        self._probe()
        self.tshark.send_signal(signal.SIGINT)

    def _probe(self):
        sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sender.bind(("127.0.0.1", 0))
        reported = "127.0.0.1\t%d\t7010\n" % sender.getsockname()[1]
        try:
            wait_for_line(self.tshark, self.capture_lines, lambda line: line == reported, 20,
                          lambda: sender.sendto(b"capture probe", ("127.0.0.1", 7010)))
        finally:
            sender.close()

    def start_emulator(self, address, options):
        process = self._start([args.emulator, "--address", address] + options)
        wait_for_line(process, lines_of(process), lambda line: line.startswith("ready"), 20)

    def tool(self, key, *words):
        run = subprocess.run([args.tool, "--timeout", "2000"] + list(words), capture_output=True, text=True,
                             timeout=60)
        self.tool_output[key] = run
        return run

    def _start(self, command, env=None):
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
        self.processes.append(process)
        return process

    def stop(self):
        # Each process is ended by its own id: the emulators by SIGTERM, tshark (if
        # stop_capture did not end it) by SIGINT, which has it finish its file.
        for process in reversed(self.processes):
            if process.poll() is None:
                process.send_signal(signal.SIGINT if process is getattr(self, "tshark", None) else signal.SIGTERM)
        for process in self.processes:
            try:
                process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
            if hasattr(process, "pump"):
                process.pump.join(timeout=20)
            process.stdout.close()
            process.stderr.close()


class CapturedExchanges(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        s = Session(scratch_folder("netpod-capture-"))
        try:
            s.start_capture()
            s.start_emulator(PLAIN, EMULATOR)
            # All three answer the scan; their answers over UDP are not disturbed.
            s.start_emulator(SPLIT, ["--static", "--broadcast", "--tcp-split-at", "5"])
            s.start_emulator(CORRUPT, ["--static", "--broadcast", "--tcp-bad-checksum"])
            s.tool("write", "write", PLAIN, *WRITES)
            s.tool("info", "info", PLAIN)
            s.tool("scan", "scan")
            s.tool("i2c", "i2c", PLAIN, "xfer", "91 02 00", "--ask-id", "7")
            s.tool("split", "info", SPLIT)
            s.tool("corrupt", "info", CORRUPT)
            s.stop_capture()
        finally:
            s.stop()
        cls.session = s
        frames = dissector.dissect(s.capture)
        cls.frames = [f for f in frames.values() if f.layers.get("ip.dst") != "127.0.0.1" or
                      f.layers.get("udp.dstport") != "7010"]  # not the probes

    def packets(self, src=None, dst=None):
        """The packets sent from `src` (address, port) and to `dst` (address)."""
        def source(f):
            return f.layers["ip.src"], f.layers.get("tcp.srcport", f.layers.get("udp.srcport"))
        return [p for f in self.frames for p in f.packets
                if (src is None or source(f) == src) and (dst is None or f.layers["ip.dst"] == dst)]

    def assertToolSucceeded(self, key):
        run = self.session.tool_output[key]
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        return run.stdout

    def test_every_register_of_the_info_answer(self):
        output = self.assertToolSucceeded("info")
        answers = [p for p in self.packets(src=(PLAIN, "8010")) if len(p.items) == 34]
        self.assertEqual(len(answers), 1)
        answer = answers[0]
        self.assertEqual([(i["register"], i["text"].split(": ", 1)[1]) for i in answer.items], EXPECTED_INFO)
        self.assertEqual((answer.value("netpod.checksum.status"), answer.experts), ("1", []))
        # The library decoded the same bytes: what the tool printed reads the same.
        printed = dict(line.split(None, 1) for line in output.splitlines()[1:] if line.split(None, 1)[0] in TOOL_LABELS)
        decoded = {register: text for register, text in EXPECTED_INFO}
        self.assertEqual({TOOL_LABELS[k]: v.strip() for k, v in printed.items()},
                         {TOOL_LABELS[k]: decoded[TOOL_LABELS[k]] for k in printed})
        self.assertEqual(len(printed), len(TOOL_LABELS))
        # The request asked for all of them, in the library's order.
        request = [p for p in self.packets(dst=PLAIN) if len(p.values("netpod.register")) == 34][0]
        asked = [shown.split(": ", 1)[1].rsplit(" (", 1)[0] for name, _, shown in request.fields
                 if name == "netpod.register"]
        self.assertEqual(asked, [r for r, _ in EXPECTED_INFO])

    def test_the_write_and_the_type_test_before_each_connection(self):
        self.assertToolSucceeded("write")
        writes = [p for p in self.packets(dst=PLAIN) if "Write registers" in p.summary]
        self.assertEqual([i["text"] for i in writes[0].items], [
            "COMOPTIONS (0x10): 0, 5 (0x00000021)", "SUBNETMASK (0x13): 255.255.0.0", "TCPTIMEOUT (0x14): 77",
            "RS232CONFIG (0x16): 131", "I2CSPD (0x18): 99", "ANALOGINPUTSTHRESHOLD (0x20): -1.500 V",
            "OUTPUTS (0x21): 0, 9 (0x0201)"])
        self.assertIn("acknowledge", self.packets(src=(PLAIN, "8010"))[0].summary)
        type_answers = [p for p in self.packets(src=(PLAIN, "7010")) if p.values("netpod.type.high")]
        self.assertGreaterEqual(len(type_answers), 3)  # write, info, i2c: one open each
        self.assertEqual(type_answers[0].items[0]["text"], "TYPE (0x00): 8.0 (Qorvi-NETPOD)")

    def test_the_scan_and_its_module_records(self):
        output = self.assertToolSucceeded("scan")
        request = self.packets(dst="255.255.255.255")
        self.assertEqual(len(request), 1)
        self.assertIn("network scan", request[0].summary)
        records = {p.value("netpod.module.address"): [p.value("netpod.module." + k) for k in
                                                      ("type", "version", "mac", "name")]
                   for p in self.packets() if p.values("netpod.module")}
        # The emulator's defaults for the other two: type 8.2, version 00 02 00 05,
        # the first MAC and name of their series.
        self.assertEqual(records, {
            PLAIN: ["8.0", "3.4.1.2", "02:00:00:00:00:2a", "Dissector-Test"],
            SPLIT: ["8.2", "2.5", "02:00:00:00:00:01", "NETPOD-EMU-01"],
            CORRUPT: ["8.2", "2.5", "02:00:00:00:00:01", "NETPOD-EMU-01"]})
        self.assertEqual(len(output.splitlines()), 4)  # a heading and the same three modules

    def test_an_i2c_transfer_and_its_answer(self):
        self.assertToolSucceeded("i2c")
        transfer = [p for p in self.packets(dst=PLAIN) if p.values("netpod.i2c.data")][0]
        self.assertEqual((transfer.value("netpod.ask_id"), transfer.value("netpod.i2c.data")), ("7", "91:02:00"))
        answer = [p for p in self.packets(src=(PLAIN, "8010")) if p.values("netpod.i2c.answer")][0]
        self.assertEqual((answer.value("netpod.ask_id"), answer.value("netpod.i2c.answer")), ("7", "00:19:80"))

    def test_an_answer_split_on_the_wire_is_reassembled(self):
        self.assertToolSucceeded("split")
        cut = [f for f in self.frames if f.layers["ip.src"] == SPLIT and f.layers.get("tcp.srcport") == "8010"
               and f.layers.get("tcp.len") == "5"]
        self.assertTrue(cut, "the emulator did not cut an answer after 5 bytes")
        for frame in cut:
            self.assertEqual(frame.packets, [])
            whole = [f for f in self.frames if f.number == int(frame.layers["tcp.reassembled_in"])][0].packet()
            self.assertEqual((whole.value("netpod.checksum.status"), whole.experts), ("1", []))
        answers = [p for p in self.packets(src=(SPLIT, "8010")) if len(p.items) == 34]
        self.assertEqual([i["register"] for i in answers[0].items], [r for r, _ in EXPECTED_INFO])

    def test_corrupted_checksums_are_flagged(self):
        self.assertNotEqual(self.session.tool_output["corrupt"].returncode, 0)
        answers = self.packets(src=(CORRUPT, "8010"))
        self.assertTrue(answers)
        for p in answers:
            self.assertEqual((p.value("netpod.checksum.status"), p.experts), ("0", ["netpod.checksum.bad"]))
        # Its UDP answers are not corrupted.
        self.assertEqual({p.value("netpod.checksum.status") for p in self.packets(src=(CORRUPT, "7010"))}, {"1"})


def main():
    global args, dissector
    parser = argparse.ArgumentParser()
    parser.add_argument("--emulator", required=True)
    parser.add_argument("--tool", required=True)
    args, rest = parser.parse_known_args()
    if os.environ.get("NETPOD_NETNS_UNAVAILABLE"):
        skip(os.environ["NETPOD_NETNS_UNAVAILABLE"])
    dissector = Dissector(tshark_or_skip())
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
