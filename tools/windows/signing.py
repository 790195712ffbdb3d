"""Authenticode signatures with osslsigncode: the vendor's signing of the
artefacts, and the tests' signed launchers, all made on Linux (or wherever
openssl and osslsigncode run).

    python tools/windows/signing.py fixtures [--out DIR] [--launchers DIR]
        throwaway certificates made with openssl and the builds of the
        tests' launcher stand-in (tools/windows/build.py, into --launchers,
        default build/windows) signed with them, into --out (default
        build/windows/signed)

The tests' certificates (all code signing, RSA 2048, ten years):

    root        "Brivex Test Root", the root the tests' chains end at
    root2       "Brivex Test Root 2", another issuer (a renewal's)
    untrusted   "Brivex Untrusted Root", installed nowhere
    brivex      CN=Brivex Launcher, O=Brivex Ltd, C=GB, by root
    renewed     the same name and organisation, a new key, by root2
    other       CN=Acme Games Launcher, O=Acme Games Inc, C=US, by root
    impostor    CN=Brivex Launcher, O=Impostor Ltd, C=GB, by root
    abroad      CN=Brivex Launcher, O=Brivex Ltd, C=US, by root
    nocountry   CN=Brivex Launcher, O=Brivex Ltd, no country, by root
    stranger    CN=Brivex Launcher, O=Brivex Ltd, C=GB, by untrusted
    gmbh        CN=Brivex Software GmbH, O=Brivex Software GmbH, C=DE, by root
    misissued   CN=Brivex Software GmbH, O="Brivex Software GmbH, C=DE", by root
    loesungen   CN=Brivex Launcher, O=Brivex Lösungen (composed), C=DE, by root
    loesungen-nfd  the same, decomposed, a new key, by root2

and, by root, what a hostile server would bring (HOSTILE_LEAVES): a forged
root's signature, a server certificate, two organisations, the organisation
in the alternative names only, a line break in the name, an unreachable
revocation list and an unpaired surrogate in the organisation.  mimic, a
root with root's name, issues the certificates an attacker adds beside a
genuine signature (BAG_CERTIFICATES).

DIR then holds certificates/<name>.crt and .p12 (password PASSWORD below),
old-brivex.exe, old-nocountry.exe, old-twoorgs.exe, old-gmbh.exe,
old-loesungen.exe and new-<signer>.exe for each leaf: the launcher stand-in told to write "old" or "new" to started.txt
in its working directory, signed; the old ones at file version 1.0.0.0, the
new ones at 2.0.0.0, all with the OriginalFilename BrivexLauncher.exe;
new-script.exe, new-dll.exe, new-<name>.exe for each of BAG_CERTIFICATES,
new-padded.exe and new-indefinite.exe besides (hostile_fixtures).  RELEASES
lists further launchers that brivex signed, for the release checks.
"""

from __future__ import annotations

import argparse
import os
import secrets
import shutil
import ssl
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from winenv import ROOT, StageError, log  # noqa: E402

PASSWORD = "brivex-test"
ROOTS = {"root": "/CN=Brivex Test Root", "root2": "/CN=Brivex Test Root 2",
         "untrusted": "/CN=Brivex Untrusted Root",
         "mimic": "/CN=Brivex Test Root"}  # a root of the attacker's that takes root's name
LEAVES = {  # name: (subject, issuer)
    "brivex": ("/C=GB/O=Brivex Ltd/CN=Brivex Launcher", "root"),
    "renewed": ("/C=GB/O=Brivex Ltd/CN=Brivex Launcher", "root2"),
    "other": ("/C=US/O=Acme Games Inc/CN=Acme Games Launcher", "root"),
    "impostor": ("/C=GB/O=Impostor Ltd/CN=Brivex Launcher", "root"),
    "abroad": ("/C=US/O=Brivex Ltd/CN=Brivex Launcher", "root"),
    "nocountry": ("/O=Brivex Ltd/CN=Brivex Launcher", "root"),
    "stranger": ("/C=GB/O=Brivex Ltd/CN=Brivex Launcher", "untrusted"),
    "gmbh": ("/C=DE/O=Brivex Software GmbH/CN=Brivex Software GmbH", "root"),
    # gmbh's name as text, in two fields: no country, ", C=DE" in the organisation
    "misissued": ("/O=Brivex Software GmbH, C=DE/CN=Brivex Software GmbH", "root"),
    "loesungen": ("/C=DE/O=Brivex L\u00f6sungen/CN=Brivex Launcher", "root"),
    "loesungen-nfd": ("/C=DE/O=Brivex Lo\u0308sungen/CN=Brivex Launcher", "root2"),  # its renewal, decomposed
}
LEAF_EXTENSIONS = "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n"
# The build of the launcher stand-in (tools/windows/build.py LAUNCHERS) that
# the old and the new signed launchers are made from.
BUILDS = {b"old": "launcher-1.0.0.0.exe", b"new": "launcher-2.0.0.0.exe"}
# Further launchers signed by brivex: file name: (build, text).
RELEASES = {
    "old-brivex-unversioned.exe": ("launcher.exe", b"old"),  # no version resource
    "new-brivex-unversioned.exe": ("launcher.exe", b"new"),
    "new-brivex-uninstaller.exe": ("uninstall-2.0.0.0.exe", b"new"),  # 2.0.0.0, OriginalFilename uninstall.exe
    # their translation names code page 1252, their strings are in 040904B0
    "old-brivex-cp1252.exe": ("launcher-1.0.0.0-cp1252.exe", b"old"),
    "new-brivex-cp1252.exe": ("launcher-2.0.0.0-cp1252.exe", b"new"),
    # 2.0.0.0, OriginalFilename "BrivexLauncher\uD800exe" (unpaired_name)
    "new-brivex-unpaired.exe": ("launcher-2.0.0.0.exe", b"new"),
}
# The end of the launcher stand-in's own file that tells it what to do
# (tools/windows/launcher.c): write TEXT to started.txt, in the directory it
# is started in.
INSTRUCTIONS = b"\n#brivex-launcher\tstarted.txt\t%s\n"
# A port on 127.0.0.1 that nothing listens on.
CLOSED_PORT = 1


def tool(name: str) -> str:
    path = shutil.which(name)
    if not path:
        raise StageError(f"{name} not found on PATH: apt-get install {name} (tools/system.sh lists it)")
    return path


def run(argv: list[str], what: str) -> str:
    # openssl on Windows takes its arguments as UTF-8 (the names beyond
    # ASCII) only when told to; elsewhere they are UTF-8 anyway.
    proc = subprocess.run(argv, capture_output=True, text=True, env={**os.environ, "OPENSSL_WIN32_UTF8": "1"})
    if proc.returncode != 0:
        raise StageError(f"{what} failed ({proc.returncode}):\n{(proc.stdout + proc.stderr).rstrip()}")
    return proc.stdout


def sign(source: Path, target: Path, pkcs12: Path, password: str, timestamp: str | None = None,
         extra: Path | None = None) -> None:
    """`source` signed (SHA-256) with the key and certificates of `pkcs12`
    into `target`; time-stamped by the RFC 3161 service `timestamp`, if
    given; the certificate `extra` added beside the signature, if given.
    The password travels in a file only its owner reads, never on a
    command line."""
    target.unlink(missing_ok=True)  # osslsigncode overwrites nothing
    with tempfile.TemporaryDirectory(prefix="sign-") as work:
        secret = Path(work) / "password"
        secret.touch(mode=0o600)
        secret.write_text(password)
        argv = [tool("osslsigncode"), "sign", "-pkcs12", str(pkcs12), "-readpass", str(secret), "-h", "sha256",
                "-n", "Brivex Launcher", *(["-ts", timestamp] if timestamp else []),
                *(["-ac", str(extra)] if extra else []), "-in", str(source),
                "-out", str(target)]
        run(argv, f"signing {source.name}")


def verify(path: Path, ca_file: Path | None = None) -> str:
    """osslsigncode's verification of `path`'s signature (its output), with
    `ca_file` as the trusted roots when given."""
    return run([tool("osslsigncode"), "verify", *(["-CAfile", str(ca_file)] if ca_file else []), "-in", str(path)],
               f"osslsigncode verify {path.name}")


def certificates(out: Path) -> Path:
    """The tests' throwaway roots and leaves (module docstring) in `out`."""
    openssl = tool("openssl")
    out.mkdir(parents=True, exist_ok=True)
    for name, subject in ROOTS.items():
        run([openssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", str(out / f"{name}.key"),
             "-out", str(out / f"{name}.crt"), "-subj", subject, "-days", "3650",
             "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign"],
            f"the root {name}")
    for name, (subject, issuer) in LEAVES.items():
        leaf(out, name, subject, issuer, LEAF_EXTENSIONS)
    return out


def leaf(out: Path, name: str, subject: str, issuer: str, extensions: str, forge=None,
         request: tuple[str, ...] = ()) -> None:
    """The key, certificate and PKCS#12 file of the leaf `name` in `out`,
    issued by `issuer` with the openssl extension lines `extensions`; its
    request made with the further openssl options `request`, its
    certificate (DER) passed through `forge` when given."""
    openssl = tool("openssl")
    key, csr, cert = (out / f"{name}{suffix}" for suffix in (".key", ".csr", ".crt"))
    lines = out / f"{name}.ext"
    lines.write_text(extensions)
    run([openssl, "req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", str(key), "-subj", subject, "-utf8",
         *request, "-out", str(csr)], f"the key of {name}")
    run([openssl, "x509", "-req", "-in", str(csr), "-CA", str(out / f"{issuer}.crt"),
         "-CAkey", str(out / f"{issuer}.key"), "-set_serial", f"0x{secrets.token_hex(16)}", "-days", "3650",
         "-extfile", str(lines), "-out", str(cert)], f"the certificate of {name}")
    if forge:
        cert.write_text(ssl.DER_cert_to_PEM_cert(forge(ssl.PEM_cert_to_DER_cert(cert.read_text()))))
    run([openssl, "pkcs12", "-export", "-inkey", str(key), "-in", str(cert), "-certfile",
         str(out / f"{issuer}.crt"), "-passout", f"pass:{PASSWORD}", "-out", str(out / f"{name}.p12")],
        f"the PKCS#12 file of {name}")


# What a hostile server or a misissued certificate would bring: leaves by
# root, each with the vendor's name somewhere (name: subject, extension lines).
HOSTILE_LEAVES = {
    "forged": ("/C=GB/O=Brivex Ltd/CN=Brivex Launcher", LEAF_EXTENSIONS),  # the root's signature on it altered
    "serverauth": ("/C=GB/O=Brivex Ltd/CN=Brivex Launcher", LEAF_EXTENSIONS.replace("codeSigning", "serverAuth")),
    "twoorgs": ("/C=GB/O=Brivex Ltd/O=Acme Games Inc/CN=Brivex Launcher", LEAF_EXTENSIONS),
    "altname": ("/C=GB/CN=Brivex Launcher",
                LEAF_EXTENSIONS + "subjectAltName=dirName:vendor\n[vendor]\nO=Brivex Ltd\n"),
    "linebreak": ("/C=GB/O=Brivex Ltd/CN=Brivex\nLauncher", LEAF_EXTENSIONS),
    # The vendor's name, with a revocation list at an address that refuses.
    "unreachablecrl": ("/C=GB/O=Brivex Ltd/CN=Brivex Launcher",
                       LEAF_EXTENSIONS + f"crlDistributionPoints=URI:http://127.0.0.1:{CLOSED_PORT}/brivex.crl\n"),
    # an organisation written as a BMPString, its last character made an unpaired surrogate (U+D800)
    "surrogate": ("/C=GB/O=Brivex Ltd \u4e00/CN=Brivex Launcher", LEAF_EXTENSIONS),
}
# Certificates an attacker adds beside the vendor's genuine signature (name:
# the subject, the leaf whose public key it carries, and whether it takes
# that leaf's serial number, so that the signer information names it too),
# issued by mimic, and the leaf whose signature they go with.
BAG_CERTIFICATES = {
    "bagkey": ("/C=GB/O=Acme/CN=Brivex Launcher", "brivex", True),  # shorter: before brivex's in the bag
    "colliding": (LEAVES["misissued"][0], "gmbh", False),
}
# A request configuration whose names take the narrowest string type that
# holds them: a BMPString for text beyond Latin-1.
BMP_REQUEST = "[req]\ndistinguished_name = dn\nstring_mask = default\n[dn]\n"
# The size of zeros the padded download's certificate table carries after
# its signature: beyond what an installed launcher's is read up to.
PADDING = 17 << 20
IMAGE_FILE_DLL = 0x2000


def forge_signature(der: bytes) -> bytes:
    """A certificate whose issuer's signature (its last bytes) no longer verifies."""
    return der[:-1] + bytes([der[-1] ^ 0x01])


def unpaired_surrogate(der: bytes, issuer_key: Path) -> bytes:
    """The certificate with the BMPString character U+4E00 turned into U+D800,
    signed again (SHA-256 with RSA, a signature of the same length, last in
    the certificate) by `issuer_key`."""
    tbs = bytearray(der[4:8 + struct.unpack_from(">H", der, 6)[0]])
    if der[:2] != b"\x30\x82" or tbs[:2] != b"\x30\x82" or tbs.count(b"\0 \x4e\x00") != 1:
        raise StageError("the surrogate certificate is not laid out as expected")
    tbs[tbs.index(b"\0 \x4e\x00") + 2] = 0xD8
    with tempfile.TemporaryDirectory(prefix="tbs-") as work:
        (Path(work) / "tbs").write_bytes(tbs)
        run([tool("openssl"), "dgst", "-sha256", "-sign", str(issuer_key), "-out", f"{work}/signature",
             f"{work}/tbs"], "signing the surrogate certificate again")
        signature = (Path(work) / "signature").read_bytes()
    return der[:4] + tbs + der[4 + len(tbs):-len(signature)] + signature


def bag_certificate(keys: Path, name: str, subject: str, holder: str, same_serial: bool) -> Path:
    """`name`.crt by mimic: the public key of the leaf `holder` under
    `subject`, with `holder`'s serial number when `same_serial`."""
    openssl = tool("openssl")
    public = keys / f"{holder}.pub"
    run([openssl, "pkey", "-in", str(keys / f"{holder}.key"), "-pubout", "-out", str(public)], f"{holder}'s key")
    serial = run([openssl, "x509", "-in", str(keys / f"{holder}.crt"), "-noout", "-serial"], "the serial").strip()
    (keys / f"{name}.ext").write_text(LEAF_EXTENSIONS)
    run([openssl, "x509", "-new", "-subj", subject, "-force_pubkey", str(public), "-CA", str(keys / "mimic.crt"),
         "-CAkey", str(keys / "mimic.key"),
         "-set_serial", "0x" + (serial.split("=")[1] if same_serial else secrets.token_hex(16)),
         "-days", "3650", "-extfile", str(keys / f"{name}.ext"), "-out", str(keys / f"{name}.crt")],
        f"the certificate {name}")
    return keys / f"{name}.crt"


def certificate_entry(signed: bytes) -> tuple[int, int]:
    """Where the security directory entry and the signature's WIN_CERTIFICATE
    lie in the signed PE image `signed`, whose certificate table ends it.  (Its
    checksum is left as it is: nothing checks it for a program.)"""
    _, security = pe_offsets(signed)
    offset, size = struct.unpack_from("<II", signed, security)
    if offset + size != len(signed) or struct.unpack_from("<I", signed, offset)[0] > size:
        raise StageError("the signed launcher's certificate table is not one entry at its end")
    return security, offset


def padded(signed: bytes) -> bytes:
    """`signed` with PADDING zeros after the signature, in its entry of the certificate table."""
    security, entry = certificate_entry(signed)
    body = bytearray(signed + b"\0" * PADDING)
    for at in (security + 4, entry):  # the table's size and the entry's dwLength
        struct.pack_into("<I", body, at, struct.unpack_from("<I", body, at)[0] + PADDING)
    return bytes(body)


def indefinite_length(signed: bytes) -> bytes:
    """`signed` with its signature's outer SEQUENCE in BER, of indefinite
    length: the two bytes of its length move to the end-of-contents octets,
    so nothing else changes."""
    _, entry = certificate_entry(signed)
    start = entry + 8
    if signed[start:start + 2] != b"\x30\x82":
        raise StageError("the signature's outer SEQUENCE does not have a two-byte length")
    end = start + 4 + struct.unpack_from(">H", signed, start + 2)[0]
    return signed[:start] + b"\x30\x80" + signed[start + 4:end] + b"\0\0" + signed[end:]


def pe_offsets(image: bytes) -> tuple[int, int]:
    """Where the PE image's file header Characteristics and its security
    directory entry (the certificate table) lie."""
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        raise StageError("the launcher stand-in is not a PE image")
    optional = pe + 24
    directories = optional + (112 if struct.unpack_from("<H", image, optional)[0] == 0x20B else 96)
    return pe + 4 + 18, directories + 4 * 8


def graft(program: bytes, pkcs7: bytes) -> bytes:
    """`program` carrying the signature `pkcs7` (DER) as its certificate table,
    whatever that signature was made for."""
    body = bytearray(program + b"\0" * (-len(program) % 8))
    entry = pkcs7 + b"\0" * (-len(pkcs7) % 8)
    _, security = pe_offsets(program)
    struct.pack_into("<II", body, security, len(body), 8 + len(entry))
    return bytes(body) + struct.pack("<IHH", 8 + len(entry), 0x0200, 2) + entry  # WIN_CERT_TYPE_PKCS_SIGNED_DATA


def hostile_fixtures(out: Path, keys: Path, programs: dict, work: Path) -> None:
    """new-<leaf>.exe for each of HOSTILE_LEAVES, old-twoorgs.exe,
    new-script.exe (the vendor's signature of a PowerShell script, put on
    the program), new-dll.exe (the program marked a DLL, which the vendor
    signed), new-<name>.exe for each of BAG_CERTIFICATES, and new-brivex.exe
    with its certificate table padded (new-padded.exe) or its signature's
    outer wrapper in BER (new-indefinite.exe)."""
    (keys / "bmp.cnf").write_text(BMP_REQUEST)
    for name, (subject, extensions) in HOSTILE_LEAVES.items():
        leaf(keys, name, subject, "root", extensions, forge_signature if name == "forged" else None,
             ("-config", str(keys / "bmp.cnf")) if name == "surrogate" else ())
    unsigned = work / "hostile.exe"
    unsigned.write_bytes(programs[b"old"] + INSTRUCTIONS % b"old")
    sign(unsigned, out / "old-twoorgs.exe", keys / "twoorgs.p12", PASSWORD)
    program = programs[b"new"] + INSTRUCTIONS % b"new"
    unsigned.write_bytes(program)
    for name in HOSTILE_LEAVES:
        sign(unsigned, out / f"new-{name}.exe", keys / f"{name}.p12", PASSWORD)
    for name, (subject, holder, same_serial) in BAG_CERTIFICATES.items():
        extra = bag_certificate(keys, name, subject, holder, same_serial)
        sign(unsigned, out / f"new-{name}.exe", keys / f"{holder}.p12", PASSWORD, extra=extra)
    # openssl reads no certificate with an unpaired surrogate: signed with
    # U+4E00, the certificate is changed in the signed file (the signature
    # names its signer by issuer and serial number, which stay).
    surrogate = ssl.PEM_cert_to_DER_cert((keys / "surrogate.crt").read_text())
    signed = (out / "new-surrogate.exe").read_bytes()
    if signed.count(surrogate) != 1:
        raise StageError("new-surrogate.exe does not carry its certificate once")
    (out / "new-surrogate.exe").write_bytes(signed.replace(surrogate, unpaired_surrogate(surrogate, keys / "root.key")))
    genuine = (out / "new-brivex.exe").read_bytes()
    (out / "new-padded.exe").write_bytes(padded(genuine))
    (out / "new-indefinite.exe").write_bytes(indefinite_length(genuine))
    script = work / "script.ps1"
    script.write_bytes(b'Write-Output "new"\r\n')
    sign(script, work / "signed.ps1", keys / "brivex.p12", PASSWORD)
    run([tool("osslsigncode"), "extract-signature", "-in", str(work / "signed.ps1"), "-out", str(work / "ps1.p7")],
        "the script's signature")
    (out / "new-script.exe").write_bytes(graft(program, (work / "ps1.p7").read_bytes()))
    dll = bytearray(program)
    characteristics, _ = pe_offsets(program)
    struct.pack_into("<H", dll, characteristics, struct.unpack_from("<H", dll, characteristics)[0] | IMAGE_FILE_DLL)
    unsigned.write_bytes(dll)
    sign(unsigned, out / "new-dll.exe", keys / "brivex.p12", PASSWORD)


def build_of(launchers: Path, name: str) -> bytes:
    build = launchers / name
    if not build.is_file():
        raise StageError(f"the launcher stand-in {build} is missing: tools/windows/build.py builds it")
    return build.read_bytes()


def unpaired_name(build: bytes) -> bytes:
    """The build with the "." of its OriginalFilename made an unpaired
    surrogate (U+D800), which no resource compiler writes from a name given
    on its command line."""
    name = "BrivexLauncher.exe".encode("utf-16-le")
    if build.count(name) != 1:
        raise StageError("the launcher stand-in does not name BrivexLauncher.exe once in its version resource")
    return build.replace(name, "BrivexLauncher\ud800exe".encode("utf-16-le", "surrogatepass"))


def release_fixtures(work: Path, launchers: Path, out: Path, keys: Path) -> None:
    """The launchers of RELEASES, signed by brivex into `out`."""
    for name, (build, text) in RELEASES.items():
        unsigned = work / name
        body = build_of(launchers, build)
        if name == "new-brivex-unpaired.exe":
            body = unpaired_name(body)
        unsigned.write_bytes(body + INSTRUCTIONS % text)
        sign(unsigned, out / name, keys / "brivex.p12", PASSWORD)


def fixtures(out: Path, launchers: Path) -> None:
    """The signed launchers the tests install and download (module
    docstring), from the builds in `launchers`."""
    programs = {text: build_of(launchers, name) for text, name in BUILDS.items()}
    shutil.rmtree(out, ignore_errors=True)
    keys = certificates(out / "certificates")
    with tempfile.TemporaryDirectory(prefix="fixtures-") as work:
        for text, signers in ((b"old", ["brivex", "nocountry", "gmbh", "loesungen"]), (b"new", list(LEAVES))):
            unsigned = Path(work) / f"{text.decode()}.exe"
            unsigned.write_bytes(programs[text] + INSTRUCTIONS % text)
            for signer in signers:
                sign(unsigned, out / f"{text.decode()}-{signer}.exe", keys / f"{signer}.p12", PASSWORD)
        hostile_fixtures(out, keys, programs, Path(work))
        release_fixtures(Path(work), launchers, out, keys)
    verify(out / "new-brivex.exe", keys / "root.crt")
    log(f"signed launchers for the tests in {out}")


def main(argv: list[str]) -> None:
    parser = argparse.ArgumentParser(prog="signing.py", description=__doc__.split("\n\n")[0])
    parser.add_argument("command", choices=["fixtures"])
    parser.add_argument("--out", type=Path, default=ROOT / "build" / "windows" / "signed")
    parser.add_argument("--launchers", type=Path, default=ROOT / "build" / "windows")
    options = parser.parse_args(argv)
    try:
        fixtures(options.out.resolve(), options.launchers.resolve())
    except StageError as failure:
        raise SystemExit(f"windows: FAILED: {failure}") from None


if __name__ == "__main__":
    main(sys.argv[1:])
