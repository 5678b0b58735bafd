"""The scan and the change of IP address. They broadcast (and the change sends an ICMP
echo), so they run only inside a private network namespace whose one interface is
loopback, made by tests/run_in_netns.sh; elsewhere they report themselves skipped.
Argument errors are refused before anything is sent, so those run anywhere."""

from __future__ import annotations

import time
import unittest

from support import start_emulator, why_not_in_private_netns

import qorvi_netpod
from qorvi_netpod import NotFoundError, RefusedArgumentError

BASE_MAC = "02:11:22:33:44:50"


class InPrivateNamespace(unittest.TestCase):
    def setUp(self) -> None:
        why = why_not_in_private_netns()
        if why:
            self.skipTest(why)
        self.emulator = start_emulator(self, ["--broadcast", "--mac", BASE_MAC, "--name", "scan-me"], modules=3)

    def test_scan_finds_every_emulated_module(self) -> None:
        found = qorvi_netpod.scan()
        self.assertEqual(sorted(r.ip for r in found), sorted(self.emulator.addresses))
        by_ip = {r.ip: r for r in found}
        first = by_ip[self.emulator.addresses[0]]
        self.assertEqual(first.mac, BASE_MAC)
        self.assertEqual(first.type, (8, 2))
        self.assertEqual(first.product, "Qorvi-NETPOD 2")
        self.assertEqual(first.version, (2, 5, 0, 0))
        self.assertTrue(first.name.startswith("scan-me"))
        self.assertEqual(len({r.mac for r in found}), 3)

    def test_a_longer_scan_repeats_and_lists_each_module_once(self) -> None:
        started = time.monotonic()
        found = qorvi_netpod.scan(timeout=0.6)
        self.assertGreaterEqual(time.monotonic() - started, 0.6)
        self.assertEqual(sorted(r.ip for r in found), sorted(self.emulator.addresses))

    def test_a_small_capacity_still_lists_every_module(self) -> None:
        self.assertEqual(len(qorvi_netpod.scan(capacity=1)), 3)

    def test_change_ip_gives_the_module_its_new_address_and_mask(self) -> None:
        second = self.emulator.addresses[1]
        with qorvi_netpod.connect(second) as module:
            mac = module.read("mac").mac
            # Nothing routes to 10.x inside the namespace, so nothing answers the echo.
            qorvi_netpod.change_ip(mac, "10.20.30.40", "255.255.0.0")
            self.assertEqual(module.read("ip", "mask").as_dict(), {"ip": "10.20.30.40", "mask": "255.255.0.0"})
        with qorvi_netpod.connect(self.emulator.addresses[0]) as untouched:
            self.assertEqual(untouched.read("ip").ip, self.emulator.addresses[0])

    def test_change_ip_without_such_a_module_is_not_found(self) -> None:
        with self.assertRaises(NotFoundError) as raised:
            qorvi_netpod.change_ip("02:99:99:99:99:99", "10.20.30.41", "255.255.0.0")
        self.assertEqual(raised.exception.text, "ChangeIPAddress Failed\t(Qorvi_NETPOD_ChangeIPAddress)")
        self.assertIn("acknowledge not received", raised.exception.reason or "")

    def test_change_ip_to_an_address_in_use_is_refused(self) -> None:
        # Inside the namespace every 127.x address is this host, and it answers the echo.
        with self.assertRaises(RefusedArgumentError) as raised:
            qorvi_netpod.change_ip(BASE_MAC, "127.0.0.77", "255.0.0.0")
        self.assertIn("already in use", raised.exception.reason or "")


class ArgumentsRefusedBeforeAnythingIsSent(unittest.TestCase):
    def test_bad_mac_ip_and_mask(self) -> None:
        before = qorvi_netpod.last_error()
        for args, kind in (
            (("02:00:00:00:00", "10.0.0.1", "255.0.0.0"), ValueError),
            (("02:00:00:00:00:0G", "10.0.0.1", "255.0.0.0"), ValueError),
            (("02:00:00:00:00:01", "10.0.0.256", "255.0.0.0"), ValueError),
            (("02:00:00:00:00:01", "10.0.0.1", "255.0.0"), ValueError),
            (((2, 0, 0, 0, 0, 256), "10.0.0.1", "255.0.0.0"), ValueError),
            ((2, "10.0.0.1", "255.0.0.0"), TypeError),
            (("02:00:00:00:00:01", 10, "255.0.0.0"), TypeError),
        ):
            with self.subTest(args=args):
                with self.assertRaises(kind):
                    qorvi_netpod.change_ip(*args)
        for kwargs in ({"timeout": -1}, {"capacity": 0}, {"timeout": "1"}):
            with self.subTest(kwargs=kwargs), self.assertRaises(ValueError):
                qorvi_netpod.scan(**kwargs)  # type: ignore[arg-type]
        self.assertEqual(qorvi_netpod.last_error(), before)


if __name__ == "__main__":
    unittest.main()
