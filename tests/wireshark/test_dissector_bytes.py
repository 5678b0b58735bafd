"""The dissector on captures written from known bytes: framing and checksum, every
register's value, TCP segments that cut or join packets, malformed packets, and the
UDP exchanges (scan, change of IP address, TYPE test)."""

import os
import struct
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from dissector_support import Dissector, scratch_folder, tshark_or_skip  # noqa: E402
from pcap_writer import PcapWriter, TcpConnection, ostrak_checksum, ostrak_packet  # noqa: E402

HOST, MODULE = "127.0.0.1", "127.0.0.2"
READ, WRITE, ANSWER = 0x21, 0x22, 0x23
dissector = None


def fixed(volts):
    return struct.pack(">i", int(volts * 65536))


# Every register a read answer can carry, with values chosen to catch sign, width and
# byte-order mistakes, and the text the dissector must show for each.
ALL_REGISTERS = [
    (0x00, bytes.fromhex("00080000"), "TYPE", "8.0 (Qorvi-NETPOD)"),
    (0x01, bytes.fromhex("01020304"), "VERSION", "3.4.1.2"),
    (0x07, fixed(-0.5), "VOLTAGE", "-0.500 V"),
    (0x08, bytes.fromhex("80000001"), "WARNINGS", "0, 31 (0x80000001)"),
    (0x0B, bytes.fromhex("fffffffe"), "NBPOWERUP", "4294967294"),
    (0x0C, bytes.fromhex("00015180"), "TIMEINSERVICE", "86400"),
    (0x10, bytes.fromhex("00000121"), "COMOPTIONS", "0, 5, 8 (0x00000121)"),
    (0x11, bytes.fromhex("02005e102030"), "ETHERNETMAC", "02:00:5e:10:20:30"),
    (0x12, bytes([127, 0, 0, 9]), "IPADDRESS", "127.0.0.9"),
    (0x13, bytes([255, 255, 255, 0]), "SUBNETMASK", "255.255.255.0"),
    (0x14, bytes([200]), "TCPTIMEOUT", "200"),
    (0x15, b"ABCDEFGHIJKLMNOP", "MODULENAME", '"ABCDEFGHIJKLMNOP"'),
    (0x16, bytes([0x83]), "RS232CONFIG", "131"),
    (0x18, bytes([99]), "I2CSPD", "99"),
    (0x1A, bytes([3]), "TCPCONNECTIONSOPENED", "3"),
    (0x20, fixed(1.5), "ANALOGINPUTSTHRESHOLD", "1.500 V"),
    (0x21, bytes.fromhex("0201"), "OUTPUTS", "0, 9 (0x0201)"),
    (0x23, bytes.fromhex("8001"), "INPUTS", "0, 15 (0x8001)"),
] + [(0x30 + n, fixed(n * 1.25 - 5), "INPUTVOLTAGEVALUE %d" % n, "%.3f V" % (n * 1.25 - 5)) for n in range(16)]


def items(registers):
    return b"".join(bytes([address]) + value for address, value, _, _ in registers)


class CaptureCase(unittest.TestCase):
    """Writes the capture that build() lays out once, and dissects it."""

    @classmethod
    def setUpClass(cls):
        w = PcapWriter()
        cls.frame = cls.build(w)
        path = os.path.join(scratch_folder("netpod-dissector-"), cls.__name__ + ".pcap")
        w.save(path)
        cls.frames = dissector.dissect(path)

    def packets(self, key):
        return self.frames[self.frame[key]].packets

    def only(self, key):
        return self.frames[self.frame[key]].packet()

    def assertItemTexts(self, packet, registers):
        self.assertEqual([i["text"] for i in packet.items],
                         ["%s (0x%02x): %s" % (name, a, text) for a, _, name, text in registers])


class FramingAndRegisters(CaptureCase):
    @staticmethod
    def build(w):
        c = TcpConnection(w, HOST, 40000, MODULE, 8010)
        f = {}
        f["type_read"] = c.client_sends(bytes.fromhex("002100000001 00 ffdd"))
        f["all"] = c.server_sends(ostrak_packet(ANSWER, 0, items(ALL_REGISTERS)))
        f["reversed"] = c.server_sends(ostrak_packet(ANSWER, 0, items(reversed(ALL_REGISTERS))))
        f["version_words"] = c.server_sends(ostrak_packet(ANSWER, 0, bytes.fromhex("01 00050102  15") +
                                                          b"NETPOD-EMU-01\0\0\0"))
        f["write"] = c.client_sends(ostrak_packet(WRITE, 0, bytes.fromhex(
            "02 03 04 05 06  08 00000000  10 80000000  12 7f000009  13 ff000000  14 1e  15") +
            b"Renamed".ljust(16, b"\0") + bytes.fromhex("16 05  18 18  20 fffe8000  21 0201")))
        f["write_ack"] = c.server_sends(ostrak_packet(WRITE, 0, b""))
        f["write_read_only"] = c.client_sends(ostrak_packet(WRITE, 0, bytes.fromhex("00 00080002")))
        # 00 21 00 02 and the words 0x0021, 0x0002, 0xffdc sum to 0xffff: the
        # checksum is 0xffff, which a receiver taking 0x0000 for it would refuse.
        f["checksum_ffff"] = c.client_sends(ostrak_packet(READ, 0, bytes.fromhex("ffdc")))
        good = ostrak_packet(ANSWER, 0, bytes.fromhex("07 00180000"))
        f["bad_high"] = c.server_sends(good[:-2] + bytes([good[-2] ^ 0x01, good[-1]]))
        f["bad_low"] = c.server_sends(good[:-1] + bytes([good[-1] ^ 0x80]))
        f["i2c"] = c.client_sends(ostrak_packet(0x07, 7, bytes.fromhex("a1 02 00")) + ostrak_packet(0x05, 0, b""))
        f["i2c_answers"] = c.server_sends(ostrak_packet(0x08, 7, bytes.fromhex("00 1980")) +
                                          ostrak_packet(0x06, 0, bytes([0x48, 0x50])))
        return f

    def test_header_and_checksum_of_the_type_read(self):
        p = self.only("type_read")
        self.assertEqual(p.value("netpod.function"), "0x0021")
        self.assertIn("Read registers", [s for n, _, s in p.fields if n == "netpod.function"][0])
        self.assertEqual((p.value("netpod.ask_id"), p.value("netpod.length")), ("0", "1"))
        self.assertEqual(p.values("netpod.register"), ["0x00"])
        self.assertEqual((p.value("netpod.checksum"), p.value("netpod.checksum.status")), ("0xffdd", "1"))
        self.assertEqual(p.experts, [])
        p = self.only("checksum_ffff")
        self.assertEqual((p.value("netpod.checksum"), p.value("netpod.checksum.status")), ("0xffff", "1"))

    def test_a_wrong_checksum_byte_is_flagged(self):
        for key in ("bad_high", "bad_low"):
            p = self.only(key)
            self.assertEqual(p.value("netpod.checksum.status"), "0", key)
            self.assertEqual(p.experts, ["netpod.checksum.bad"], key)
            self.assertIn("BAD CHECKSUM", p.summary, key)

    def test_every_register_of_an_answer(self):
        p = self.only("all")
        self.assertEqual(len(p.items), 34)
        self.assertItemTexts(p, ALL_REGISTERS)
        self.assertEqual(p.experts, [])
        # The values behind the texts, as filters see them.
        self.assertEqual(p.item("TYPE")["netpod.type.high"] + p.item("TYPE")["netpod.type.low"], ["8", "0"])
        self.assertEqual(p.values("netpod.voltage"), ["-0.5"])
        self.assertEqual(p.values("netpod.warning"), ["0", "31"])
        self.assertEqual(p.values("netpod.com_option"), ["0", "5", "8"])
        self.assertEqual(p.values("netpod.output"), ["0", "9"])
        self.assertEqual(p.values("netpod.input"), ["0", "15"])
        self.assertEqual(p.values("netpod.power_ups"), ["4294967294"])
        self.assertEqual(p.values("netpod.name"), ["ABCDEFGHIJKLMNOP"])
        self.assertEqual(p.values("netpod.ip") + p.values("netpod.subnet_mask"), ["127.0.0.9", "255.255.255.0"])
        self.assertEqual(p.values("netpod.input_voltage.input"), [str(n) for n in range(16)])
        self.assertEqual([float(v) for v in p.values("netpod.input_voltage")], [n * 1.25 - 5 for n in range(16)])

    def test_items_in_any_order_and_the_second_version_form(self):
        self.assertItemTexts(self.only("reversed"), list(reversed(ALL_REGISTERS)))
        p = self.only("version_words")
        self.assertEqual([i["text"] for i in p.items], ['VERSION (0x01): 5.258', 'MODULENAME (0x15): "NETPOD-EMU-01"'])

    def test_a_write_of_every_writable_register_and_command(self):
        p = self.only("write")
        self.assertEqual([i["text"] for i in p.items], [
            "RESETCPU (0x02): command", "SAVEUSERPARAMETERS (0x03): command",
            "RESTOREUSERPARAMETERS (0x04): command", "RESTOREFACTORYPARAMETERS (0x05): command",
            "SAVEFACTORYPARAMETERS (0x06): command", "WARNINGS (0x08): none (0x00000000)",
            "COMOPTIONS (0x10): 31 (0x80000000)", "IPADDRESS (0x12): 127.0.0.9", "SUBNETMASK (0x13): 255.0.0.0",
            "TCPTIMEOUT (0x14): 30", 'MODULENAME (0x15): "Renamed"', "RS232CONFIG (0x16): 5", "I2CSPD (0x18): 24",
            "ANALOGINPUTSTHRESHOLD (0x20): -1.500 V", "OUTPUTS (0x21): 0, 9 (0x0201)"])
        self.assertEqual(p.experts, [])
        self.assertIn("acknowledge", self.only("write_ack").summary)
        self.assertEqual(self.only("write_read_only").experts, ["netpod.register.misused"])

    def test_i2c_codes(self):
        transfer, scan = self.packets("i2c")
        self.assertIn("I2C transfer, AskID 7, 3 bytes", transfer.summary)
        self.assertEqual(transfer.value("netpod.i2c.data"), "a1:02:00")
        self.assertIn("I2C scan", scan.summary)
        answer, scan_answer = self.packets("i2c_answers")
        self.assertIn("I2C transfer answer, AskID 7", answer.summary)
        self.assertEqual(answer.value("netpod.i2c.answer"), "00:19:80")
        self.assertEqual(scan_answer.value("netpod.i2c.scan_result"), "48:50")


class TcpSegments(CaptureCase):
    """A packet is found by its length field alone, wherever the segments cut."""

    @staticmethod
    def build(w):
        c = TcpConnection(w, HOST, 40001, MODULE, 8010)
        answer = ostrak_packet(ANSWER, 0, items(ALL_REGISTERS))
        ack = ostrak_packet(WRITE, 0, b"")
        f = {}
        f["split_first"] = c.server_sends(answer[:5])
        f["split_last"] = c.server_sends(answer[5:])
        f["header_1"] = c.server_sends(answer[:2])
        f["header_2"] = c.server_sends(answer[2:6])
        f["header_3"] = c.server_sends(answer[6:])
        f["joined"] = c.server_sends(ack + answer)
        f["mixed_1"] = c.server_sends(ack + answer[:3])
        f["mixed_2"] = c.server_sends(answer[3:] + ack)
        return f

    def assertWholeAnswer(self, packet):
        self.assertEqual(len(packet.items), 34)
        self.assertItemTexts(packet, ALL_REGISTERS)
        self.assertEqual(packet.value("netpod.checksum.status"), "1")

    def test_an_answer_split_over_segments_is_decoded_once_when_complete(self):
        self.assertEqual(self.packets("split_first"), [])
        self.assertEqual(self.frames[self.frame["split_first"]].layers["tcp.reassembled_in"],
                         str(self.frame["split_last"]))
        self.assertWholeAnswer(self.only("split_last"))
        # Even the header itself may be cut.
        self.assertEqual(self.packets("header_1") + self.packets("header_2"), [])
        self.assertWholeAnswer(self.only("header_3"))

    def test_packets_joined_in_one_segment_are_all_decoded(self):
        ack, answer = self.packets("joined")
        self.assertIn("acknowledge", ack.summary)
        self.assertWholeAnswer(answer)
        self.assertEqual([p.summary.split(", ")[1] for p in self.packets("mixed_1")], ["Write registers (acknowledge)"])
        answer, ack = self.packets("mixed_2")
        self.assertWholeAnswer(answer)
        self.assertIn("acknowledge", ack.summary)


class MalformedPackets(CaptureCase):
    @staticmethod
    def build(w):
        c = TcpConnection(w, HOST, 40002, MODULE, 8010)
        f = {}
        f["unknown_register"] = c.server_sends(ostrak_packet(ANSWER, 0, bytes.fromhex(
            "07 00180000 09 00000000 08 00000000")))
        f["truncated"] = c.server_sends(ostrak_packet(ANSWER, 0, bytes.fromhex("07 00180000 11 0200")))
        f["command_answered"] = c.server_sends(ostrak_packet(ANSWER, 0, bytes.fromhex("02 07 00180000")))
        f["unknown_function"] = c.server_sends(ostrak_packet(0x0042, 0, b"\x01"))
        f["scan_with_body"] = c.client_sends(ostrak_packet(0x05, 0, b"\x00"))
        f["read_unknown"] = c.client_sends(ostrak_packet(READ, 0, bytes.fromhex("07 09 02")))
        f["too_long"] = c.server_sends(ostrak_packet(0x0006, 0, bytes(713)))
        return f

    def test_decoding_stops_at_an_address_outside_the_map(self):
        p = self.only("unknown_register")
        self.assertEqual([i["register"] for i in p.items], ["VOLTAGE"])
        self.assertEqual(p.experts, ["netpod.register.unknown"])
        self.assertEqual(p.value("netpod.undecoded"), "00:00:00:00:08:00:00:00:00")
        p = self.only("command_answered")
        self.assertEqual((p.items, p.experts), ([], ["netpod.register.unknown"]))

    def test_an_item_cut_by_the_end_of_the_body(self):
        p = self.only("truncated")
        self.assertEqual([i["text"] for i in p.items], ["VOLTAGE (0x07): 24.000 V", "ETHERNETMAC (0x11): truncated"])
        self.assertEqual(p.experts, ["netpod.item.truncated"])
        self.assertEqual(p.value("netpod.checksum.status"), "1")

    def test_codes_and_lengths_that_do_not_fit(self):
        self.assertEqual(self.only("unknown_function").experts, ["netpod.function.unknown"])
        self.assertEqual(self.only("scan_with_body").experts, ["netpod.length.unexpected"])
        self.assertEqual(self.only("read_unknown").experts, ["netpod.register.unknown", "netpod.register.misused"])
        self.assertEqual(self.only("too_long").experts, ["netpod.length.too_long", "netpod.length.too_long"])


class UdpExchanges(CaptureCase):
    @staticmethod
    def build(w):
        name = b"NETPOD-EMU-07\0\0\0"
        mac = bytes.fromhex("020000000007")
        scan_answer = ostrak_packet(ANSWER, 0, bytes.fromhex("00 00080002 01 00020005 15") + name + b"\x11" + mac)
        f = {}
        f["scan"] = w.udp(HOST, 50000, "255.255.255.255", 7010, ostrak_packet(READ, 0, bytes.fromhex("00011511")))
        f["scan_answer"] = w.udp("127.0.0.7", 7010, HOST, 50000, scan_answer)
        f["mac_only"] = w.udp("127.0.0.8", 7010, HOST, 50000, ostrak_packet(ANSWER, 0, b"\x11" + mac))
        f["double"] = w.udp("127.0.0.7", 7010, HOST, 50000, scan_answer + scan_answer)
        f["cut"] = w.udp("127.0.0.7", 7010, HOST, 50000, scan_answer[:20])
        f["type_test"] = w.udp(HOST, 50001, MODULE, 7010, ostrak_packet(READ, 0, b"\x00"))
        f["type_answer"] = w.udp(MODULE, 7010, HOST, 50001, ostrak_packet(ANSWER, 0, bytes.fromhex("00 00080000")))
        change = mac + bytes([127, 0, 0, 20, 255, 255, 0, 0])
        f["change_ip"] = w.udp(HOST, 50002, "255.255.255.255", 7010, ostrak_packet(0x2A, 1, change))
        f["change_ack"] = w.udp("127.0.0.7", 7010, HOST, 50002, ostrak_packet(0x2A, 1, b""))
        f["change_short"] = w.udp(HOST, 50003, "255.255.255.255", 7010, ostrak_packet(0x2A, 1, change[:10]))
        return f

    def test_the_scan_request_and_its_module_records(self):
        p = self.only("scan")
        self.assertIn("network scan", p.summary)
        self.assertEqual(p.value("netpod.checksum.status"), "1")
        p = self.only("scan_answer")
        self.assertEqual([p.value("netpod.module." + k) for k in ("address", "type", "version", "mac", "name")],
                         ["127.0.0.7", "8.2", "2.5", "02:00:00:00:00:07", "NETPOD-EMU-07"])
        # What an answer did not carry before the MAC address stays zero or empty.
        p = self.only("mac_only")
        self.assertEqual([p.value("netpod.module." + k) for k in ("address", "type", "version", "name")],
                         ["127.0.0.8", "0.0", "0.0", ""])
        self.assertEqual(self.only("type_answer").values("netpod.module"), [])

    def test_datagrams_holding_two_packets_or_part_of_one(self):
        first, second = self.packets("double")
        self.assertEqual(first.values("netpod.module.mac"), second.values("netpod.module.mac"))
        p = self.only("cut")
        self.assertEqual(p.experts, ["netpod.incomplete"])

    def test_the_type_test_and_the_change_of_ip_address(self):
        self.assertEqual(self.only("type_test").values("netpod.register"), ["0x00"])
        self.assertEqual(self.only("type_answer").items[0]["text"], "TYPE (0x00): 8.0 (Qorvi-NETPOD)")
        p = self.only("change_ip")
        self.assertEqual((p.value("netpod.function"), p.value("netpod.ask_id")), ("0x002a", "1"))
        self.assertEqual([p.value("netpod.change_ip." + k) for k in ("mac", "address", "mask")],
                         ["02:00:00:00:00:07", "127.0.0.20", "255.255.0.0"])
        self.assertIn("acknowledge", self.only("change_ack").summary)
        self.assertEqual(self.only("change_short").experts, ["netpod.length.unexpected"])


if __name__ == "__main__":
    assert ostrak_checksum(b"abc") == 0x3B9D  # the writer's own checksum, against a known value
    dissector = Dissector(tshark_or_skip())
    unittest.main(verbosity=2)
