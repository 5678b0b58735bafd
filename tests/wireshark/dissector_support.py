"""Runs tshark with the module protocol dissector on a capture and gives back, frame
by frame, what the dissector put in its tree (read from tshark's PDML output)."""

import atexit
import os
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree

SKIP = 77  # CTest's SKIP_RETURN_CODE for these tests

PLUGIN = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", "tools", "wireshark",
                                      "qorvi_netpod.lua"))


def scratch_folder(prefix):
    """A temporary folder, removed when the test program ends."""
    folder = tempfile.mkdtemp(prefix=prefix)
    atexit.register(shutil.rmtree, folder, True)
    return folder


def skip(reason):
    print("SKIPPED: " + reason)
    sys.exit(SKIP)


def tshark_or_skip():
    tshark = shutil.which("tshark")
    if tshark is None:
        skip("tshark is not installed (scripts/install-deps.sh installs it)")
    return tshark


class Packet:
    """One module protocol packet of a frame: its fields in tree order."""

    def __init__(self, element):
        self.summary = element.get("showname")
        self.fields = []   # (name, show, showname) of every field, depth first
        self.experts = []  # abbreviations of the expert infos raised in this packet
        self.items = []    # one dict per register item: register name, then value fields
        self._walk(element)

    def _walk(self, element):
        for field in element.findall("field"):
            name = field.get("name")
            if name == "_ws.expert":
                self.experts += [f.get("name") for f in field.findall("field") if f.get("name").startswith("netpod.")]
                continue
            self.fields.append((name, field.get("show"), field.get("showname")))
            if name == "netpod.item":
                self.items.append(self._item(field))
            self._walk(field)

    @staticmethod
    def _item(element):
        item = {"text": element.get("showname")}
        for field in element.iter("field"):
            name = field.get("name")
            if name == "netpod.register":
                item["register"] = field.get("showname").split(": ", 1)[1].rsplit(" (", 1)[0]
            elif name.startswith("netpod.") and name != "netpod.item":
                item.setdefault(name, []).append(field.get("show"))
        return item

    def values(self, name):
        return [show for field, show, _ in self.fields if field == name]

    def value(self, name):
        found = self.values(name)
        if len(found) != 1:
            raise AssertionError("%s appears %d times in %s" % (name, len(found), self.summary))
        return found[0]

    def item(self, register):
        found = [i for i in self.items if i.get("register") == register]
        if len(found) != 1:
            raise AssertionError("register %s appears %d times in %s" % (register, len(found), self.summary))
        return found[0]


class Frame:
    def __init__(self, element):
        self.number = int(element.find("proto[@name='geninfo']/field[@name='num']").get("show"))
        self.packets = [Packet(p) for p in element.findall("proto[@name='netpod']")]
        self.layers = {}
        for proto in element.findall("proto"):
            if proto.get("name") in ("ip", "tcp", "udp"):
                for field in proto.iter("field"):
                    self.layers.setdefault(field.get("name"), field.get("show"))

    def packet(self):
        if len(self.packets) != 1:
            raise AssertionError("frame %d holds %d packets" % (self.number, len(self.packets)))
        return self.packets[0]


class Dissector:
    """tshark with this tree's copy of the plugin, away from the user's own Wireshark
    configuration and personal plugins (HOME points to an empty folder)."""

    def __init__(self, tshark):
        self.tshark = tshark
        self.home = scratch_folder("netpod-wireshark-home-")
        self.env = dict(os.environ, HOME=self.home, XDG_CONFIG_HOME=os.path.join(self.home, ".config"))
        self._check_loaded()

    def _run(self, args):
        return subprocess.run([self.tshark] + args, env=self.env, capture_output=True, text=True, timeout=120)

    def _check_loaded(self):
        # tshark loads Lua plugins also when it runs as root (it only warns); a build
        # without Lua, or another copy of the plugin in the global plugin folder,
        # would stop this copy from registering.
        run = self._run(["-G", "plugins", "-X", "lua_script:" + PLUGIN])
        if "there cannot be two protocols" in run.stderr:
            skip("tshark already loads an installed copy of the dissector, so this tree's copy cannot register")
        if "Lua" in run.stderr and "rror" in run.stderr:
            raise AssertionError("the dissector failed to load:\n" + run.stderr)
        if PLUGIN not in run.stdout:
            raise AssertionError("tshark did not load %s (no Lua support?):\n%s%s" % (PLUGIN, run.stdout, run.stderr))

    def dissect(self, capture, display_filter=None):
        args = ["-2", "-n", "-r", capture, "-X", "lua_script:" + PLUGIN, "-o", "tcp.desegment_tcp_streams:TRUE",
                "-T", "pdml"]
        if display_filter:
            args += ["-Y", display_filter]
        run = self._run(args)
        if run.returncode != 0 or "Lua" in run.stderr:
            raise AssertionError("tshark failed on %s:\n%s" % (capture, run.stderr))
        return {f.number: f for f in (Frame(e) for e in ElementTree.fromstring(run.stdout).findall("packet"))}

    def text(self, capture, display_filter):
        """tshark -V output of the module protocol only, as a person reads it."""
        run = self._run(["-2", "-n", "-r", capture, "-X", "lua_script:" + PLUGIN, "-Y", display_filter, "-V", "-O",
                         "netpod"])
        return run.stdout
