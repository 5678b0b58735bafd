"""Writes pcap files of IPv4 TCP and UDP traffic laid out byte by byte, so that the
dissector tests know exactly which bytes each frame holds and where TCP segments
cut the module protocol's packets."""

import struct

LINKTYPE_RAW = 101  # each record is a bare IPv4 packet


def ostrak_checksum(data):
    """The module protocol's checksum: the sum of the 16-bit complements of the
    big-endian words (an odd last byte is the high byte of its word), folded twice,
    not complemented again."""
    total = 0
    for i in range(0, len(data), 2):
        word = data[i] << 8 | (data[i + 1] if i + 1 < len(data) else 0)
        total += 0xFFFF - word
    total = (total >> 16) + (total & 0xFFFF)
    total = (total >> 16) + (total & 0xFFFF)
    return total


def ostrak_packet(code, ask_id, body, checksum=None):
    """Header, body and checksum; `checksum` replaces the correct one when given."""
    covered = struct.pack(">HHH", code, ask_id, len(body)) + bytes(body)
    if checksum is None:
        checksum = ostrak_checksum(covered)
    return covered + struct.pack(">H", checksum)


def _internet_checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack(">%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total >> 16) + (total & 0xFFFF)
    return ~total & 0xFFFF


def _address(text):
    return bytes(int(part) for part in text.split("."))


def _ipv4(src, dst, protocol, payload, ident):
    header = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(payload), ident & 0xFFFF, 0x4000, 64, protocol, 0,
                         _address(src), _address(dst))
    header = header[:10] + struct.pack(">H", _internet_checksum(header)) + header[12:]
    return header + payload


def _transport_checksum(src, dst, protocol, segment):
    pseudo = _address(src) + _address(dst) + struct.pack(">BBH", 0, protocol, len(segment))
    return _internet_checksum(pseudo + segment)


class PcapWriter:
    def __init__(self):
        self.records = []
        self._ident = 1
        self._time = 1_700_000_000.0

    def _add(self, ip_packet):
        self._time += 0.001
        self.records.append((self._time, ip_packet))
        self._ident += 1
        return len(self.records)  # the frame number tshark gives this record

    def udp(self, src, sport, dst, dport, payload):
        segment = struct.pack(">HHHH", sport, dport, 8 + len(payload), 0) + bytes(payload)
        checksum = _transport_checksum(src, dst, 17, segment) or 0xFFFF
        segment = segment[:6] + struct.pack(">H", checksum) + segment[8:]
        return self._add(_ipv4(src, dst, 17, segment, self._ident))

    def tcp(self, src, sport, dst, dport, seq, ack, flags, payload=b""):
        header = struct.pack(">HHIIBBHHH", sport, dport, seq & 0xFFFFFFFF, ack & 0xFFFFFFFF, 5 << 4, flags, 65535, 0, 0)
        segment = header + bytes(payload)
        checksum = _transport_checksum(src, dst, 6, segment)
        segment = segment[:16] + struct.pack(">H", checksum) + segment[18:]
        return self._add(_ipv4(src, dst, 6, segment, self._ident))

    def save(self, path):
        with open(path, "wb") as f:
            f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, LINKTYPE_RAW))
            for when, packet in self.records:
                seconds = int(when)
                micros = int(round((when - seconds) * 1e6))
                f.write(struct.pack("<IIII", seconds, micros, len(packet), len(packet)))
                f.write(packet)


SYN, ACK, PSH = 0x02, 0x10, 0x08


class TcpConnection:
    """One TCP connection, opened with a handshake; each send is one segment."""

    def __init__(self, writer, client, cport, server, sport):
        self.w = writer
        self.client, self.cport, self.server, self.sport = client, cport, server, sport
        self.cseq, self.sseq = 1000, 5000
        writer.tcp(client, cport, server, sport, self.cseq, 0, SYN)
        writer.tcp(server, sport, client, cport, self.sseq, self.cseq + 1, SYN | ACK)
        self.cseq += 1
        self.sseq += 1
        writer.tcp(client, cport, server, sport, self.cseq, self.sseq, ACK)

    def client_sends(self, payload):
        frame = self.w.tcp(self.client, self.cport, self.server, self.sport, self.cseq, self.sseq, PSH | ACK, payload)
        self.cseq += len(payload)
        return frame

    def server_sends(self, payload):
        frame = self.w.tcp(self.server, self.sport, self.client, self.cport, self.sseq, self.cseq, PSH | ACK, payload)
        self.sseq += len(payload)
        return frame
