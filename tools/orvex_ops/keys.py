"""Signing keys: the RSA-3072 update key and the P-256 manifest key, their
passphrases and PEM files, the public-key blobs the launcher compiles in,
development TLS certificates, and the commands keygen, devcert, devca,
sign-update and sign-raw-ecdsa.
"""
import contextlib
import datetime
import hashlib
import os
import pathlib
import struct
import sys
import tempfile

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa
from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature
from cryptography.x509.oid import NameOID

from orvex_ops.errors import PublishError


RSA_BITS = 3072
RSA_PUBLIC_MAGIC = 0x31415352  # "RSA1"
ECDSA_P256_PUBLIC_MAGIC = 0x31534345  # "ECS1"


def rsa_public_blob(public_key: rsa.RSAPublicKey) -> bytes:
    """RSAPUBLICBLOB: six LE u32 header fields, exponent and modulus big-endian."""
    numbers = public_key.public_numbers()
    exponent = numbers.e.to_bytes(3, "big")
    modulus = numbers.n.to_bytes(RSA_BITS // 8, "big")
    header = struct.pack("<6I", RSA_PUBLIC_MAGIC, RSA_BITS, len(exponent), len(modulus), 0, 0)
    blob = header + exponent + modulus
    assert len(blob) == 411
    return blob


def ecc_public_blob(public_key: ec.EllipticCurvePublicKey) -> bytes:
    """ECCPUBLICBLOB for P-256: magic, key length 32, X and Y big-endian."""
    numbers = public_key.public_numbers()
    blob = struct.pack("<2I", ECDSA_P256_PUBLIC_MAGIC, 32) + numbers.x.to_bytes(32, "big") + numbers.y.to_bytes(32, "big")
    assert len(blob) == 72
    return blob


def passphrase_of(args):
    """The private keys' passphrase from --passphrase-file (its first line) or
    --passphrase-env (the variable's value), or None."""
    if getattr(args, "passphrase_file", None):
        try:
            text = pathlib.Path(args.passphrase_file).read_bytes().split(b"\n", 1)[0].rstrip(b"\r")
        except OSError as error:
            raise PublishError(f"--passphrase-file {args.passphrase_file}: {error.strerror}") from None
        if not text:
            raise PublishError(f"--passphrase-file {args.passphrase_file}: the first line is empty")
        return text
    if getattr(args, "passphrase_env", None):
        text = os.environ.get(args.passphrase_env, "")
        if not text:
            raise PublishError(f"--passphrase-env {args.passphrase_env}: the variable is not set or empty")
        return text.encode("utf-8")
    return None


def add_passphrase_options(parser, writes: bool) -> None:
    what = "encrypt the private keys written" if writes else "decrypt encrypted private keys"
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--passphrase-file", metavar="FILE", help=f"{what} with the first line of this file")
    group.add_argument("--passphrase-env", metavar="NAME", help=f"{what} with the value of this environment variable")


def write_private_pem(path: pathlib.Path, key, passphrase=None) -> None:
    """The PEM written to a new file that is 0600 from its creation (mkstemp)
    and then renamed over path: no other account can read the key at any
    moment, whatever the umask and whatever mode an older file had."""
    encryption = (serialization.BestAvailableEncryption(passphrase) if passphrase
                  else serialization.NoEncryption())
    data = key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, encryption)
    descriptor, temporary = tempfile.mkstemp(dir=path.parent, prefix=f".{path.name}.")
    try:
        with os.fdopen(descriptor, "wb") as stream:
            stream.write(data)
            stream.flush()
            os.fsync(stream.fileno())
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def load_private_pem(path: pathlib.Path, passphrase=None):
    path = pathlib.Path(path)
    try:
        data = path.read_bytes()
    except OSError as error:
        raise PublishError(f"{path}: {error.strerror}") from None
    try:
        return serialization.load_pem_private_key(data, password=None)
    except TypeError:
        pass  # encrypted
    except ValueError:
        raise PublishError(f"{path} is not a private key in PEM form") from None
    if passphrase is None:
        raise PublishError(f"{path} is encrypted: give its passphrase with --passphrase-file or --passphrase-env")
    try:
        return serialization.load_pem_private_key(data, password=passphrase)
    except (TypeError, ValueError):
        raise PublishError(f"{path}: the passphrase given does not decrypt this key") from None


def cmd_keygen(args) -> int:
    out = pathlib.Path(args.out)
    passphrase = passphrase_of(args)
    out.mkdir(parents=True, exist_ok=True)
    update_key = rsa.generate_private_key(public_exponent=65537, key_size=RSA_BITS)
    manifest_key = ec.generate_private_key(ec.SECP256R1())
    write_private_pem(out / "update-private.pem", update_key, passphrase)
    write_private_pem(out / "manifest-private.pem", manifest_key, passphrase)
    (out / "update-key.blob").write_bytes(rsa_public_blob(update_key.public_key()))
    (out / "manifest-key.blob").write_bytes(ecc_public_blob(manifest_key.public_key()))
    print(f"wrote update-private.pem, manifest-private.pem (0600{', encrypted' if passphrase else ''}), "
          f"update-key.blob, manifest-key.blob in {out}")
    return 0


def make_self_signed(common_name: str, key, issuer_name=None, issuer_key=None, is_ca=False):
    subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, common_name)])
    issuer = issuer_name or subject
    now = datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc)
    builder = (x509.CertificateBuilder()
               .subject_name(subject).issuer_name(issuer)
               .public_key(key.public_key())
               .serial_number(x509.random_serial_number())
               .not_valid_before(now)
               .not_valid_after(now + datetime.timedelta(days=365 * 30))
               .add_extension(x509.BasicConstraints(ca=is_ca, path_length=None), critical=True))
    return builder.sign(issuer_key or key, hashes.SHA256())


def cmd_devcert(args) -> int:
    """A certificate named CN=<host> without subjectAltName: Wine's WinHTTP
    rejects an IP subjectAltName on loopback but accepts a matching CN."""
    out = pathlib.Path(args.out)
    passphrase = passphrase_of(args)
    out.mkdir(parents=True, exist_ok=True)
    key = ec.generate_private_key(ec.SECP256R1())
    cert = make_self_signed(args.host, key)
    der = cert.public_bytes(serialization.Encoding.DER)
    write_private_pem(out / f"{args.name}-key.pem", key, passphrase)
    (out / f"{args.name}-cert.pem").write_bytes(cert.public_bytes(serialization.Encoding.PEM))
    pin = hashlib.sha256(der).hexdigest()
    (out / f"{args.name}-cert.pin").write_text(pin + "\n")
    print(pin)
    return 0


def cmd_devca(args) -> int:
    """A development CA and a leaf for CN=<host> issued by it, for an endpoint
    that must pass the platform's normal certificate validation once the CA is
    trusted (only ever in a test Wine prefix). Like devcert, the leaf carries no
    subjectAltName: Wine's WinHTTP rejects an IP subjectAltName on loopback."""
    out = pathlib.Path(args.out)
    passphrase = passphrase_of(args)
    out.mkdir(parents=True, exist_ok=True)
    now = datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc)
    later = now + datetime.timedelta(days=365 * 30)

    ca_key = ec.generate_private_key(ec.SECP256R1())
    ca_name = x509.Name([x509.NameAttribute(NameOID.ORGANIZATION_NAME, "ORVEX development (test only)"),
                         x509.NameAttribute(NameOID.COMMON_NAME, args.ca_name)])
    ca_ski = x509.SubjectKeyIdentifier.from_public_key(ca_key.public_key())
    ca_cert = (x509.CertificateBuilder()
               .subject_name(ca_name).issuer_name(ca_name)
               .public_key(ca_key.public_key())
               .serial_number(x509.random_serial_number())
               .not_valid_before(now).not_valid_after(later)
               .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True)
               .add_extension(x509.KeyUsage(digital_signature=False, content_commitment=False,
                                            key_encipherment=False, data_encipherment=False,
                                            key_agreement=False, key_cert_sign=True, crl_sign=True,
                                            encipher_only=False, decipher_only=False), critical=True)
               .add_extension(ca_ski, critical=False)
               .sign(ca_key, hashes.SHA256()))

    leaf_key = ec.generate_private_key(ec.SECP256R1())
    leaf_cert = (x509.CertificateBuilder()
                 .subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, args.host)]))
                 .issuer_name(ca_name)
                 .public_key(leaf_key.public_key())
                 .serial_number(x509.random_serial_number())
                 .not_valid_before(now).not_valid_after(later)
                 .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
                 .add_extension(x509.KeyUsage(digital_signature=True, content_commitment=False,
                                              key_encipherment=False, data_encipherment=False,
                                              key_agreement=False, key_cert_sign=False, crl_sign=False,
                                              encipher_only=False, decipher_only=False), critical=True)
                 .add_extension(x509.ExtendedKeyUsage([x509.oid.ExtendedKeyUsageOID.SERVER_AUTH]), critical=False)
                 .add_extension(x509.AuthorityKeyIdentifier.from_issuer_subject_key_identifier(ca_ski),
                                critical=False)
                 .sign(ca_key, hashes.SHA256()))

    write_private_pem(out / "dev-ca-key.pem", ca_key, passphrase)
    (out / "dev-ca-cert.pem").write_bytes(ca_cert.public_bytes(serialization.Encoding.PEM))
    write_private_pem(out / f"{args.name}-key.pem", leaf_key, passphrase)
    (out / f"{args.name}-cert.pem").write_bytes(leaf_cert.public_bytes(serialization.Encoding.PEM))
    print(f"wrote dev-ca-cert.pem, dev-ca-key.pem, {args.name}-cert.pem, {args.name}-key.pem in {out}")
    return 0


def cmd_sign_update(args) -> int:
    key = load_private_pem(pathlib.Path(args.key), passphrase_of(args))
    data = pathlib.Path(args.manifest).read_bytes()
    signature = key.sign(data, padding.PKCS1v15(), hashes.SHA256())
    assert len(signature) == RSA_BITS // 8
    pathlib.Path(args.out or (args.manifest + ".sig")).write_bytes(signature)
    return 0


def raw_ecdsa_signature(key: ec.EllipticCurvePrivateKey, data: bytes) -> bytes:
    """r || s, 32 bytes each, big-endian: BCrypt's ECDSA form, not DER."""
    if not isinstance(key, ec.EllipticCurvePrivateKey) or not isinstance(key.curve, ec.SECP256R1):
        raise ValueError("the key must be a P-256 private key")
    r, s = decode_dss_signature(key.sign(data, ec.ECDSA(hashes.SHA256())))
    return r.to_bytes(32, "big") + s.to_bytes(32, "big")


def cmd_sign_raw_ecdsa(args) -> int:
    key = load_private_pem(pathlib.Path(args.key), passphrase_of(args))
    data = pathlib.Path(args.file).read_bytes()
    try:
        signature = raw_ecdsa_signature(key, data)
    except ValueError as error:
        print(f"sign-raw-ecdsa: {error}", file=sys.stderr)
        return 2
    pathlib.Path(args.out or (args.file + ".sig")).write_bytes(signature)
    return 0
