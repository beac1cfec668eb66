"""HTTPS for the deployment server: the site's deployment CA, the server's certificate, and the
nginx lines that serve TLS in the form a unit's firmware speaks it.

What the firmware's TLS (measured on OVMF) asks of the server:
- TLS 1.2; its ClientHello offers only DHE-RSA and plain RSA suites with AES (no ECDHE, no
  supported groups) and carries no server name (SNI), so the server has one certificate for all;
- an RSA certificate that chains to a CA the firmware holds (the variable TlsCaCertificate: an
  EFI signature list of X.509 certificates), with extendedKeyUsage serverAuth, and the URL's host
  in subjectAltName (an IP address as an IP entry).

The CA lives in DIR (made once, then reused to sign further server certificates):
    DIR/ca.key   the CA's private key (mode 0600): keep it offline; it is needed only to make
                 server certificates
    DIR/ca.crt   the CA certificate (PEM)
    DIR/ca.cer   the same, DER: for a setup menu's Tls Auth Configuration
    DIR/ca.esl   the same as the signature list the firmware reads (TlsCaCertificate; QEMU's
                 fw_cfg file etc/edk2/https/cacerts)
and one key and certificate per server host: DIR/HOST.key (0600) and DIR/HOST.crt. No file is
ever overwritten.
"""

from __future__ import annotations

import hashlib
import ipaddress
import os
import re
import tempfile
import urllib.parse
import uuid
from pathlib import Path

from deploy.nginx import quote
from stick.signing import (KEYS_DIR, SigningError, _openssl, _place, _tool, fingerprint,
                           shown_guid)

CA_KEY, CA_CERT, CA_DER, CA_LIST = "ca.key", "ca.crt", "ca.cer", "ca.esl"
CA_DAYS = 3650
# A host a certificate is made for: an IPv4 address or a DNS name (it names files, too).
HOST_PATTERN = re.compile(r"[A-Za-z0-9](?:[A-Za-z0-9.-]{0,251}[A-Za-z0-9])?")
# The suites the firmware offers that a server may choose, best first: the DHE ones keep past
# sessions secret even if the server's key is stolen later.
FIRMWARE_CIPHERS = ("DHE-RSA-AES256-GCM-SHA384:DHE-RSA-AES128-GCM-SHA256:"
                    "DHE-RSA-AES256-SHA256:DHE-RSA-AES128-SHA256:"
                    "AES256-GCM-SHA384:AES128-GCM-SHA256:AES256-SHA256:AES128-SHA256")
# The owner GUID of the signature list's entry is made from the certificate: the same CA always
# gives the same list.
OWNER_NAMESPACE = uuid.UUID("6c1f0d7a-3b0e-4d53-9c4e-2f8a51e07b94")


# A CA or certificate refused or not made (openssl or efitools missing, too): nothing written.
TlsError = SigningError


def owner_guid(der: bytes) -> uuid.UUID:
    """The owner GUID of the CA's entry in the firmware's list, made from the certificate."""
    return uuid.uuid5(OWNER_NAMESPACE, hashlib.sha256(der).hexdigest())


def host_entry(host: str) -> str:
    """The subjectAltName entry that the firmware matches the URL's host against."""
    try:
        return f"IP:{ipaddress.IPv4Address(host)}"
    except ValueError:
        if not HOST_PATTERN.fullmatch(host) or host.replace(".", "").isdigit():
            raise TlsError(f"{host!r} is neither an IPv4 address nor a DNS name") from None
        return f"DNS:{host}"


def _run(argv: list[str], what: str) -> bytes:
    done = _openssl(argv)
    if done.returncode != 0:
        said = done.stderr.decode(errors="replace").strip().splitlines()
        raise TlsError(f"openssl could not {what}: {said[0] if said else done.returncode}")
    return done.stdout


def _public_key(path: Path, kind: str) -> bytes:
    argv = ["pkey", "-in", str(path), "-pubout"] if kind == "key" else \
        ["x509", "-in", str(path), "-noout", "-pubkey"]
    return _run(argv, f"read {path}")


def make(folder: Path, host: str, days: int, name: str) -> list[tuple[Path, str]]:
    """Makes the CA in folder unless it is there, and a key and certificate for host signed by
    it; returns the files written, each with what it is. Raises TlsError (nothing written)."""
    folder = Path(folder)
    entry = host_entry(host)
    server_key, server_cert = folder / f"{host}.key", folder / f"{host}.crt"
    ca = [folder / name_ for name_ in (CA_KEY, CA_CERT, CA_DER, CA_LIST)]
    taken = [str(path) for path in (server_key, server_cert) if os.path.lexists(path)]
    if taken:
        raise TlsError(f"{' and '.join(taken)} already exist{'s' if len(taken) == 1 else ''}: "
                       "nothing was overwritten")
    have_ca = [path for path in ca if os.path.lexists(path)]
    if have_ca and len(have_ca) != len(ca):
        raise TlsError(f"the CA in {folder} is incomplete ({', '.join(p.name for p in have_ca)} "
                       f"of {', '.join(p.name for p in ca)}): nothing was written")
    if have_ca and _public_key(ca[0], "key") != _public_key(ca[1], "cert"):
        raise TlsError(f"{ca[0]} does not match {ca[1]}: nothing was written")
    folder.mkdir(parents=True, exist_ok=True)
    written: list[tuple[Path, str]] = []
    with tempfile.TemporaryDirectory(prefix=".make-deploy-ca-", dir=folder) as tmp:
        tmp = Path(tmp)
        old_umask = os.umask(0o077)
        try:
            if not have_ca:
                _run(["req", "-new", "-x509", "-newkey", "rsa:3072", "-nodes", "-sha256",
                      "-days", str(CA_DAYS), "-subj", f"/O=Deployment CA/CN={name}",
                      "-addext", "basicConstraints=critical,CA:TRUE,pathlen:0",
                      "-addext", "keyUsage=critical,keyCertSign,cRLSign",
                      "-keyout", str(tmp / CA_KEY), "-out", str(tmp / CA_CERT)], "make the CA")
                _run(["x509", "-in", str(tmp / CA_CERT), "-outform", "DER",
                      "-out", str(tmp / CA_DER)], "convert the CA to DER")
                listed = _tool(["cert-to-efi-sig-list", "-g",
                                str(owner_guid((tmp / CA_DER).read_bytes())), str(tmp / CA_CERT),
                                str(tmp / CA_LIST)])
                if listed.returncode != 0:
                    raise TlsError(f"cannot make the signature list: {listed.stderr.strip()}")
            ca_key, ca_cert = (ca[0], ca[1]) if have_ca else (tmp / CA_KEY, tmp / CA_CERT)
            (tmp / "ext").write_text(
                "basicConstraints=critical,CA:FALSE\n"
                "keyUsage=critical,digitalSignature,keyEncipherment\n"
                "extendedKeyUsage=serverAuth\n"
                f"subjectAltName={entry}\n")
            _run(["req", "-new", "-newkey", "rsa:2048", "-nodes", "-subj", f"/CN={host}",
                  "-keyout", str(tmp / "server.key"), "-out", str(tmp / "server.csr")],
                 "make the server's key")
            _run(["x509", "-req", "-in", str(tmp / "server.csr"), "-CA", str(ca_cert),
                  "-CAkey", str(ca_key), "-set_serial", f"0x{os.urandom(16).hex()}", "-sha256",
                  "-days", str(days), "-extfile", str(tmp / "ext"),
                  "-out", str(tmp / "server.crt")], "sign the server's certificate")
        finally:
            os.umask(old_umask)
        plan = [(tmp / "server.key", server_key, 0o600, f"private key of {host} (mode 0600)"),
                (tmp / "server.crt", server_cert, 0o644,
                 f"certificate of {host} ({entry}, serverAuth, {days} days)")]
        if not have_ca:
            plan = [(tmp / CA_KEY, ca[0], 0o600, "the CA's private key (mode 0600): keep it "
                     "offline"),
                    (tmp / CA_CERT, ca[1], 0o644, f"the CA certificate, CN={name}"),
                    (tmp / CA_DER, ca[2], 0o644, "the CA certificate, DER: for a setup menu's "
                     "Tls Auth Configuration"),
                    (tmp / CA_LIST, ca[3], 0o644, "the CA as the firmware's signature list "
                     "(TlsCaCertificate)"), *plan]
        try:
            for source, target, mode, what in plan:
                _place(source.read_bytes(), target, mode)
                written.append((target, what))
        except OSError:
            for target, _ in written:
                target.unlink()
            raise
    return written


def certificate_problems(cert: Path, key: Path, host: str) -> list[str]:
    """Why the firmware would refuse the certificate for a URL naming host (empty: none seen):
    a key that does not match, a key other than RSA, no serverAuth, the host not named in
    subjectAltName, an expired certificate. Whether it chains to the CA the units hold cannot
    be seen here."""
    problems = []
    try:
        text = _run(["x509", "-in", str(cert), "-noout", "-text"], f"read {cert}").decode()
        if _public_key(key, "key") != _public_key(cert, "cert"):
            problems.append(f"the key {key} does not match the certificate")
    except TlsError as error:
        return [str(error)]
    if "rsaEncryption" not in text:
        problems.append("its key is not RSA (the firmware offers only RSA suites)")
    if not re.search(r"Extended Key Usage:\s*\n\s*.*TLS Web Server Authentication", text):
        problems.append("it has no extendedKeyUsage serverAuth")
    entry = host_entry(host)
    kind, value = entry.split(":", 1)
    check = ["-checkip", value] if kind == "IP" else ["-checkhost", value]
    said = _run(["x509", "-in", str(cert), "-noout", *check], "check the host").decode()
    if "does match" not in said:
        problems.append(f"its subjectAltName does not name {entry}")
    if _openssl(["x509", "-in", str(cert), "-noout", "-checkend", "0"]).returncode != 0:
        problems.append("it has expired")
    return problems


DHPARAM = "dhparam.pem"


def server_lines(nginx_dir: Path, cert: Path, key: Path, url: str) -> list[str]:
    """The server block's TLS directives for the certificate and key, after checking them against
    the URL units are given; raises TlsError saying why the firmware would refuse them."""
    parts = urllib.parse.urlsplit(url)
    if parts.scheme != "https" or not parts.hostname:
        raise TlsError(f"with TLS the units' URL must be https://HOST[:PORT]/...: {url}")
    problems = certificate_problems(cert, key, parts.hostname)
    if problems:
        raise TlsError(f"the units' firmware would refuse {cert} for {parts.hostname}: "
                       + "; ".join(problems))
    return [f"ssl_certificate {quote(str(Path(cert).resolve()))};",
            f"ssl_certificate_key {quote(str(Path(key).resolve()))};",
            f"ssl_dhparam {quote(str(Path(nginx_dir).resolve() / DHPARAM))};",
            # TLS 1.3 for browsers reading the status page; the firmware speaks 1.2.
            "ssl_protocols TLSv1.2 TLSv1.3;",
            f"ssl_ciphers {FIRMWARE_CIPHERS};",
            "ssl_prefer_server_ciphers on;"]


def write_dhparam(nginx_dir: Path) -> None:
    """The DHE suites' group: RFC 7919's ffdhe2048 (a published group: nothing secret)."""
    path = Path(nginx_dir) / DHPARAM
    if not path.is_file():
        _run(["genpkey", "-genparam", "-algorithm", "DH", "-pkeyopt", "group:ffdhe2048",
              "-out", str(path)], "write the DH group")


# What the technician at the unit reads on the stick of the manual visit: OVMF's words for a
# setup page that vendors name and place differently.
CA_ENROLL_NAME, CA_STICK_NAME = "CA-ENROLL.TXT", "deploy-ca.cer"
CA_ENROLL_STEPS = """\
GIVING THIS UNIT THE DEPLOYMENT CA (once, for deployments over HTTPS)

With it, the unit takes a deployment over HTTPS only from a server whose
certificate this CA signed:
       {subject}
       SHA-256
       {fingerprint}
The firmware keeps it among its settings; nothing else is changed.

1. Start the setup menu (a key at power-on: F2, F10, Del or Esc).
2. Open the TLS authentication page (OVMF: Device Manager, Tls Auth
   Configuration, Server CA Configuration, Enroll Cert).
3. Enroll a certificate from a file (OVMF: Enroll Cert Using File), and
   choose this stick's volume, the folder EFI, the folder keys, the file
       {name}
4. Where the menu asks for a GUID (OVMF: Cert GUID), type
       {guid}
   By this GUID the entry is found and deleted (Delete Cert) later.
5. Save (OVMF: Commit Changes and Exit), leave the menu, reset the unit.

Without such a page the unit cannot check an HTTPS server: deploy it over
plain HTTP, or with this stick.
"""


def stick_files(ca_file: Path) -> dict[str, bytes]:
    """The CA certificate (DER; from PEM or DER) and the steps of enrolling it, for the stick
    of a unit's manual visit. Raises TlsError for a file that is no CA certificate."""
    try:
        pem = b"-----BEGIN" in Path(ca_file).read_bytes()
    except OSError as error:
        raise TlsError(f"cannot read the CA certificate {ca_file}: {error.strerror}") from None
    form = ["-in", str(ca_file), "-inform", "PEM" if pem else "DER"]
    der = _run(["x509", *form, "-outform", "DER"], f"read the CA certificate {ca_file}")
    said = _run(["x509", *form, "-noout", "-subject", "-nameopt", "RFC2253", "-ext",
                 "basicConstraints"], f"read the CA certificate {ca_file}").decode()
    if "CA:TRUE" not in said:
        raise TlsError(f"{ca_file} is not a CA certificate (make-deploy-ca writes DIR/ca.cer)")
    text = CA_ENROLL_STEPS.format(
        subject=said.splitlines()[0].removeprefix("subject="), name=CA_STICK_NAME,
        fingerprint=fingerprint(der), guid=shown_guid(owner_guid(der)))
    return {f"{KEYS_DIR}/{CA_STICK_NAME}": der,
            f"{KEYS_DIR}/{CA_ENROLL_NAME}": text.replace("\n", "\r\n").encode("ascii")}
