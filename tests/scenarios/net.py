# Net on simulated machines without a server: every refusal before a request leaves the machine
# with its own line and status (the exchanges with a real server: tests/deploy).

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "qemu"))
from hostile_server import BODIES, HOSTILE, SENT, HostileServer, net_arguments  # noqa: E402
from stick import serverurl  # noqa: E402

UP = {"network": {"address": "10.0.2.15"}}
BOOTED = {"network": {"address": "10.0.2.15", "boot_uri": "http://127.0.0.1:1/deploy.img"}}
NO_SERVER = "net: no server: no server.url and the machine did not boot from a URI\n"


def stamp_set(value):
    def check(run):
        sets = [(e["name"], e["value"]) for e in run.events if e.get("event") == "shell_variable"]
        return [] if sets == value else [f"shell variables set: {sets!r}, want {value!r}"]
    return check


def net(name, patch, args, stdout, status, files=None, expect_files=None, check=None):
    expect = dict(status=status, files=expect_files or {})
    expect.update(stdout_contains=["Usage: Net up"]) if stdout is None else expect.update(
        stdout=stdout)
    if check:
        expect["check"] = check
    return dict(name="net " + name, machine=None, machine_patch=patch, tool="Net", args=args,
                files=files or {}, expect=expect, host_only="the card is the simulated one")


SCENARIOS = [
    net("usage", UP, ["fetch", "a"], None, 0xC0000001),
    net("up refuses a limit of 0 s", UP, ["up", "0"], None, 0xC0000001),
    net("up without a card", {"network": None}, ["up"],
        "net: no network card with IPv4 configuration\n", 0xC0000002, check=stamp_set([])),
    net("up without a DHCP answer", {"network": {"address": ""}}, ["up", "5"],
        "net: no address from DHCP within 5 s\n", 0xC0000003),
    net("up names the boot by the clock", dict(UP, clock="20261209101500"), ["up", "", ""],
        "net: address 10.0.2.15\n", 0, check=stamp_set([("netstamp", "20261209101500")])),
    net("up without a clock", dict(UP, clock="2026"), ["up"],
        "net: address 10.0.2.15\nnet: cannot set %netstamp% from the firmware clock\n",
        0xC000000B),
    net("get without a server removes the old file", UP, ["get", "records/u.txt", "rec.txt"],
        NO_SERVER, 0xC0000004, files={"rec.txt": "earlier"}, expect_files={"rec.txt": None}),
    net("server.url that is no http URL", BOOTED, ["get", "a", "b"],
        "net: server.url does not hold an http(s)://HOST[:PORT]/ URL on its first line\n",
        0xC0000004, files={"server.url": "ftp://10.0.2.2/x.img\n"}),
    net("boot URI that is no http URL",
        {"network": {"address": "10.0.2.15", "boot_uri": "tftp://10.0.2.2/x.img"}},
        ["put", "a", "b"], "net: no server: the boot URI is not an http(s)://HOST[:PORT]/ URL\n",
        0xC0000004, files={"a": "log"}),
    net("server path outside", BOOTED, ["put", "a", "upload/../deploy.img"],
        'net: server path "upload/../deploy.img" is not a plain relative path\n', 0xC000000A,
        files={"a": "log"}),
    net("server that cannot be reached", BOOTED, ["get", "upload/records/u.txt", "rec.txt"],
        "net: GET http://127.0.0.1:1/upload/records/u.txt: the server cannot be reached\n",
        0xC0000005),
    net("put of a missing file", BOOTED, ["put", "none.txt", "upload/logs/u.txt"],
        "net: cannot read none.txt\n", 0xC0000008),
    net("put of a file over 1 MiB", BOOTED, ["put", "big", "upload/logs/u.txt"],
        "net: big exceeds 1048576 bytes\n", 0xC0000009, files={"big": b"x" * (1024 * 1024 + 1)}),
]


# Server URLs, and whether Net takes them: make-stick --server (tools/stick/serverurl.py) must
# judge each the same way. A URL Net takes leads to a host the simulated card cannot reach.
URLS = [("http://10.0.2.2:8080/deploy.img", True), ("http://h:65535/x/", True),
        ("http://h:080/a?b#c", True), ("http://h/" + "a" * 502, True),
        ("http://h/" + "a" * 503, False), ("http://h:65536/x", False), ("http://h:0/x", False),
        ("http://h:/x", False), ("http://h:123456/x", False), ("http://h", False),
        ("http://us@h/x", False), ("https://h:8443/x", True), ("https:/h/x", False),
        ("http://h/\u00e9.img", False), ("http://h/a b", False), ("http://h\u00e9/x", False)]


def url_case(url, takes):
    def agrees(run):
        return [] if (serverurl.problem(url) is None) == takes else [
            f"serverurl.problem({url!r}) = {serverurl.problem(url)!r}"]
    # The simulated firmware has no TLS: it holds no CA to check an https server with.
    outcome, status = (("the firmware holds no CA certificate (TlsCaCertificate) to check the "
                        "server with", 0xC000000D) if url.startswith("https:")
                       else ("the server cannot be reached", 0xC0000005))
    stdout = (f"net: GET {url[:url.rindex('/') + 1]}a: {outcome}\n" if takes else
              "net: server.url does not hold an http(s)://HOST[:PORT]/ URL on its first line\n")
    return net(f"server.url of {len(url)} characters {url[:40]!r}", BOOTED, ["get", "a", "b"],
               stdout, status if takes else 0xC0000004,
               files={"server.url": url.encode() + b"\n"}, check=agrees)


SCENARIOS += [url_case(url, takes) for url, takes in URLS]


# The answers of a misbehaving server (serving while the scenarios run), read as on the firmware
# (tests/qemu/net_cases.py); the answers that never end, each taking Net's whole limit, are left
# to the firmware's boot.
SERVER = HostileServer()
SERVED = {"network": {"address": "10.0.2.15",
                      "boot_uri": f"http://127.0.0.1:{SERVER.server_address[1]}/x.img"}}


def hostile_case(command, status, line):
    got = {f"{command.split()[1]}.bin": BODIES.get(command.split()[1])}
    return dict(name=f"net against a misbehaving server: {command}", machine=None,
                machine_patch=SERVED, tool="Net", args=net_arguments(command), files=dict([SENT]),
                host_only="the server is the scenario runner's",
                expect=dict(status=status, stdout_contains=[f": {line}\n"], files=got))


SCENARIOS += [hostile_case(command, status, line) for command, _, status, line in HOSTILE
              if status != 0xC0000005]
