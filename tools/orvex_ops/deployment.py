"""check-deployment: the deployment values a launcher build compiles in."""
import pathlib
import struct
import sys
import urllib.parse

from cryptography.hazmat.primitives.asymmetric import ec, rsa

from orvex_ops.keys import ECDSA_P256_PUBLIC_MAGIC, RSA_BITS, RSA_PUBLIC_MAGIC


def dotted_ipv4(text: str) -> bool:
    """Four decimal numbers 0 to 255 without leading zeros: the launcher
    compares these addresses character for character."""
    parts = text.split(".")
    return len(parts) == 4 and all(part.isascii() and part.isdigit() and str(int(part)) == part
                                   and int(part) <= 255 for part in parts)


def url_problem(name: str, url: str, path_rule, port=None):
    """What is wrong with an https URL for the launcher, or None."""
    parsed = urllib.parse.urlsplit(url)
    try:
        actual_port = parsed.port
    except ValueError:
        return f"{name} {url!r} has an invalid port"
    if parsed.scheme != "https" or not parsed.hostname or parsed.username or parsed.password:
        return f"{name} {url!r} must be an https URL with a host and without credentials"
    if parsed.query or parsed.fragment or "?" in url or "#" in url:
        return f"{name} {url!r} must not carry a query or fragment"
    if port is not None and actual_port != port:
        return f"{name} {url!r} must name port {port} explicitly"
    return path_rule(parsed.path)


def key_blob_problem(name: str, path: pathlib.Path, kind: str):
    """Parses a public-key blob the way BCrypt imports it; None when sound."""
    try:
        data = path.read_bytes()
    except OSError as error:
        return f"{name} {path}: {error.strerror}"
    try:
        if kind == "rsa":
            magic, bits, exponent_size, modulus_size, prime1, prime2 = struct.unpack_from("<6I", data)
            if magic != RSA_PUBLIC_MAGIC or bits != RSA_BITS or modulus_size != RSA_BITS // 8 or prime1 or prime2 \
                    or not 1 <= exponent_size <= 8 or len(data) != 24 + exponent_size + modulus_size:
                return f"{name} {path} is not an RSA-{RSA_BITS} RSAPUBLICBLOB (RSA1 header, exponent, modulus)"
            exponent = int.from_bytes(data[24:24 + exponent_size], "big")
            modulus = int.from_bytes(data[24 + exponent_size:], "big")
            if modulus.bit_length() != RSA_BITS:
                return f"{name} {path}: the modulus is not {RSA_BITS} bits long"
            rsa.RSAPublicNumbers(exponent, modulus).public_key()
        else:
            magic, size = struct.unpack_from("<2I", data)
            if magic != ECDSA_P256_PUBLIC_MAGIC or size != 32 or len(data) != 72:
                return f"{name} {path} is not a P-256 ECCPUBLICBLOB (ECS1 header, X, Y)"
            ec.EllipticCurvePublicNumbers(int.from_bytes(data[8:40], "big"), int.from_bytes(data[40:], "big"),
                                          ec.SECP256R1()).public_key()
    except (struct.error, ValueError) as error:
        return f"{name} {path} does not hold a valid public key: {error}"
    return None


def cmd_check_deployment(args) -> int:
    problems = []
    if args.login_host is not None and not dotted_ipv4(args.login_host):
        problems.append(f"login host {args.login_host!r} must be a dotted IPv4 address such as 203.0.113.5")
    for host in args.fallback_host or []:
        if not dotted_ipv4(host):
            problems.append(f"fallback host {host!r} must be a dotted IPv4 address")
    exact_cdn = lambda path: None if path == "/orvex-patch/" else "the path must be exactly /orvex-patch/"
    ends_cdn = lambda path: None if path.endswith("/orvex-patch/") else "the path must end in /orvex-patch/"
    exact_retired = lambda path: None if path == "/patch/" else "the path must be exactly /patch/"
    for name, url, rule, port in (("CDN URL", args.cdn_url, exact_cdn, None),
                                  ("patch base URL", args.base_url, ends_cdn, None),
                                  ("retired patch URL", args.retired_url, exact_retired, 5443)):
        if url is not None:
            problem = url_problem(name, url, rule, port)
            if problem:
                problems.append(problem if problem.startswith(name) else f"{name} {url!r}: {problem}")
    for name, path, kind in (("update key", args.update_key, "rsa"), ("manifest key", args.manifest_key, "ecc")):
        if path is not None:
            problem = key_blob_problem(name, pathlib.Path(path), kind)
            if problem:
                problems.append(problem)
    for problem in problems:
        print(f"check-deployment: {problem}", file=sys.stderr)
    return 2 if problems else 0
