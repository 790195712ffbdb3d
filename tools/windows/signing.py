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

and, by root, what a hostile server would bring (HOSTILE_LEAVES): a forged
root's signature, a server certificate, two organisations, the organisation
in the alternative names only, a line break in the name, and an unreachable
revocation list.

DIR then holds certificates/<name>.crt and .p12 (password PASSWORD below),
old-brivex.exe, old-nocountry.exe, old-twoorgs.exe and new-<signer>.exe for
each leaf: the launcher stand-in told to write "old" or "new" to started.txt
in its working directory, signed; the old ones at file version 1.0.0.0, the
new ones at 2.0.0.0, all with the OriginalFilename BrivexLauncher.exe;
new-script.exe and new-dll.exe besides (hostile_fixtures).  RELEASES lists
further launchers that brivex signed, for the release checks.
"""

from __future__ import annotations

import argparse
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
         "untrusted": "/CN=Brivex Untrusted Root"}
LEAVES = {  # name: (subject, issuer)
    "brivex": ("/C=GB/O=Brivex Ltd/CN=Brivex Launcher", "root"),
    "renewed": ("/C=GB/O=Brivex Ltd/CN=Brivex Launcher", "root2"),
    "other": ("/C=US/O=Acme Games Inc/CN=Acme Games Launcher", "root"),
    "impostor": ("/C=GB/O=Impostor Ltd/CN=Brivex Launcher", "root"),
    "abroad": ("/C=US/O=Brivex Ltd/CN=Brivex Launcher", "root"),
    "nocountry": ("/O=Brivex Ltd/CN=Brivex Launcher", "root"),
    "stranger": ("/C=GB/O=Brivex Ltd/CN=Brivex Launcher", "untrusted"),
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
    proc = subprocess.run(argv, capture_output=True, text=True)
    if proc.returncode != 0:
        raise StageError(f"{what} failed ({proc.returncode}):\n{(proc.stdout + proc.stderr).rstrip()}")
    return proc.stdout


def sign(source: Path, target: Path, pkcs12: Path, password: str, timestamp: str | None = None) -> None:
    """`source` signed (SHA-256) with the key and certificates of `pkcs12`
    into `target`; time-stamped by the RFC 3161 service `timestamp`, if
    given.  The password travels in a file only its owner reads, never on a
    command line."""
    target.unlink(missing_ok=True)  # osslsigncode overwrites nothing
    with tempfile.TemporaryDirectory(prefix="sign-") as work:
        secret = Path(work) / "password"
        secret.touch(mode=0o600)
        secret.write_text(password)
        argv = [tool("osslsigncode"), "sign", "-pkcs12", str(pkcs12), "-readpass", str(secret), "-h", "sha256",
                "-n", "Brivex Launcher", *(["-ts", timestamp] if timestamp else []), "-in", str(source),
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


def leaf(out: Path, name: str, subject: str, issuer: str, extensions: str, forge=None) -> None:
    """The key, certificate and PKCS#12 file of the leaf `name` in `out`,
    issued by `issuer` with the openssl extension lines `extensions`; its
    certificate (DER) passed through `forge` when given."""
    openssl = tool("openssl")
    key, request, cert = (out / f"{name}{suffix}" for suffix in (".key", ".csr", ".crt"))
    lines = out / f"{name}.ext"
    lines.write_text(extensions)
    run([openssl, "req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", str(key), "-subj", subject,
         "-out", str(request)], f"the key of {name}")
    run([openssl, "x509", "-req", "-in", str(request), "-CA", str(out / f"{issuer}.crt"),
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
}
IMAGE_FILE_DLL = 0x2000


def forge_signature(der: bytes) -> bytes:
    """A certificate whose issuer's signature (its last bytes) no longer verifies."""
    return der[:-1] + bytes([der[-1] ^ 0x01])


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
    the program) and new-dll.exe (the program marked a DLL, which the vendor
    signed)."""
    for name, (subject, extensions) in HOSTILE_LEAVES.items():
        leaf(keys, name, subject, "root", extensions, forge_signature if name == "forged" else None)
    unsigned = work / "hostile.exe"
    unsigned.write_bytes(programs[b"old"] + INSTRUCTIONS % b"old")
    sign(unsigned, out / "old-twoorgs.exe", keys / "twoorgs.p12", PASSWORD)
    program = programs[b"new"] + INSTRUCTIONS % b"new"
    unsigned.write_bytes(program)
    for name in HOSTILE_LEAVES:
        sign(unsigned, out / f"new-{name}.exe", keys / f"{name}.p12", PASSWORD)
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


def release_fixtures(work: Path, launchers: Path, out: Path, keys: Path) -> None:
    """The launchers of RELEASES, signed by brivex into `out`."""
    for name, (build, text) in RELEASES.items():
        unsigned = work / name
        unsigned.write_bytes(build_of(launchers, build) + INSTRUCTIONS % text)
        sign(unsigned, out / name, keys / "brivex.p12", PASSWORD)


def fixtures(out: Path, launchers: Path) -> None:
    """The signed launchers the tests install and download (module
    docstring), from the builds in `launchers`."""
    programs = {text: build_of(launchers, name) for text, name in BUILDS.items()}
    shutil.rmtree(out, ignore_errors=True)
    keys = certificates(out / "certificates")
    with tempfile.TemporaryDirectory(prefix="fixtures-") as work:
        for text, signers in ((b"old", ["brivex", "nocountry"]), (b"new", list(LEAVES))):
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
