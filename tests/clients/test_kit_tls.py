"""The kit over TLS: Controller(url, cafile=, certfile=, keyfile=) against a daemon with client
certificates and one operator; the certificates are those of tests/e2e/test_tls.py, made with
the guide's openssl commands."""

from __future__ import annotations

import typing

import kit
import rs232c_client
import test_tls
from rs232c_client import Result


class Tls(kit.Line):
    @classmethod
    def setUpClass(cls) -> None:
        test_tls.make_certificates()
        cls.daemon_args = tuple(test_tls.tls_args())
        super().setUpClass()
        cls.url = "https://localhost:%d/RPC2" % cls.daemon.port

    def setUp(self) -> None:
        self.sim.command("clear-rules")
        self.sim.command("defaults")
        self.sim.clear()

    def controller(
        self, who: typing.Optional[str], ca: str = "plant-ca.crt"
    ) -> rs232c_client.Controller:
        folder = "other/" if who == "stranger" else ""
        return rs232c_client.Controller(
            self.url,
            cafile=test_tls.cert(ca),
            certfile=test_tls.cert(folder + who + ".crt") if who else None,
            keyfile=test_tls.cert(folder + who + ".key") if who else None,
        )

    def test_an_operator_moves_the_tool_and_reads_its_health(self) -> None:
        tool = self.controller(test_tls.OPERATOR)
        self.assertEqual(tool.send_cmd_fwd(), Result.ACKNOWLEDGED)
        self.assertTrue(tool.health(timeout=10)["adapter_present"])
        self.assertEqual(self.sim.received(), b"FWD\r\n")

    def test_an_observer_watches_and_stops_and_is_forbidden_the_rest(self) -> None:
        tool = self.controller(test_tls.OBSERVER)
        with self.assertRaises(rs232c_client.Forbidden) as caught:
            tool.send_cmd_fwd()
        self.assertIsInstance(caught.exception, rs232c_client.Fault)
        self.assertEqual(self.sim.received(), b"")
        self.assertEqual(tool.send_cmd_stp(), Result.ACKNOWLEDGED)
        self.assertEqual(tool.get_title(), "No title set (C++)")
        self.assertEqual(self.sim.received(), b"STP\r\n")

    def test_a_certificate_the_daemon_does_not_take_is_a_call_that_did_not_run(self) -> None:
        # Over TLS 1.3 the refusal comes after the request was sent: still not an
        # UncertainOutcome, since the daemon read nothing of that connection.
        for who, ca in ((None, "plant-ca.crt"), ("stranger", "plant-ca.crt"),
                        ("expired", "plant-ca.crt"), (test_tls.OPERATOR, "other/plant-ca.crt")):
            with self.assertRaises(rs232c_client.DaemonUnreachable, msg=(who, ca)):
                self.controller(who, ca).send_cmd_fwd()
        self.assertEqual(self.sim.received(), b"")

    def test_tls_parameters_go_with_an_https_url_only(self) -> None:
        plain = self.url.replace("https:", "http:")
        for url, files in ((plain, {"cafile": test_tls.cert("plant-ca.crt")}),
                           (self.url, {"keyfile": test_tls.cert(test_tls.OPERATOR + ".key")})):
            with self.assertRaises(ValueError):
                rs232c_client.Controller(url, **files)


if __name__ == "__main__":
    kit.main()
