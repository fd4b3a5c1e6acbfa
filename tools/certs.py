#!/usr/bin/python3
"""Test PKI: for the setup host a CA plus good and deliberately broken server certs; for
Authenticode a code-signing CA and certificate (--code-signing)."""
import datetime
import ipaddress
import os
import sys

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

DAY = datetime.timedelta(days=1)
LOCALHOST_SAN = [x509.DNSName("localhost"), x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]


def _key():
    # RSA rather than EC: Wine's GnuTLS-backed schannel is pickier about EC chains.
    return rsa.generate_private_key(public_exponent=65537, key_size=2048)


def _name(cn):
    return x509.Name([x509.NameAttribute(NameOID.ORGANIZATION_NAME, "Velmora Test"),
                      x509.NameAttribute(NameOID.COMMON_NAME, cn)])


def make_ca(cn, now):
    key = _key()
    ski = x509.SubjectKeyIdentifier.from_public_key(key.public_key())
    cert = (x509.CertificateBuilder()
            .subject_name(_name(cn)).issuer_name(_name(cn))
            .public_key(key.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(now - DAY).not_valid_after(now + 3650 * DAY)
            .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True)
            .add_extension(x509.KeyUsage(digital_signature=True, content_commitment=False,
                                         key_encipherment=False, data_encipherment=False,
                                         key_agreement=False, key_cert_sign=True, crl_sign=True,
                                         encipher_only=False, decipher_only=False), critical=True)
            .add_extension(ski, critical=False)
            .sign(key, hashes.SHA256()))
    return cert, key


def make_leaf(ca_cert, ca_key, sans, not_before, not_after, cn="localhost",
              usage=ExtendedKeyUsageOID.SERVER_AUTH):
    key = _key()
    ca_ski = ca_cert.extensions.get_extension_for_class(x509.SubjectKeyIdentifier).value
    cert = (x509.CertificateBuilder()
            .subject_name(_name(cn)).issuer_name(ca_cert.subject)
            .public_key(key.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(not_before).not_valid_after(not_after)
            .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
            .add_extension(x509.KeyUsage(digital_signature=True, content_commitment=False,
                                         key_encipherment=True, data_encipherment=False,
                                         key_agreement=False, key_cert_sign=False, crl_sign=False,
                                         encipher_only=False, decipher_only=False), critical=True)
            .add_extension(x509.ExtendedKeyUsage([usage]), critical=False))
    if sans:
        cert = cert.add_extension(x509.SubjectAlternativeName(sans), critical=False)
    cert = (cert
            .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()), critical=False)
            .add_extension(x509.AuthorityKeyIdentifier.from_issuer_subject_key_identifier(ca_ski),
                           critical=False)
            .sign(ca_key, hashes.SHA256()))
    return cert, key


def _write(outdir, name, cert, key):
    with open(os.path.join(outdir, name + ".pem"), "wb") as f:
        f.write(cert.public_bytes(serialization.Encoding.PEM))
    with open(os.path.join(outdir, name + "-key.pem"), "wb") as f:
        f.write(key.private_bytes(serialization.Encoding.PEM,
                                  serialization.PrivateFormat.PKCS8,
                                  serialization.NoEncryption()))


def generate(outdir):
    """Writes ca.pem/ca-key.pem and <name>.pem/<name>-key.pem; returns {name: (cert, key)} paths."""
    os.makedirs(outdir, exist_ok=True)
    now = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
    ca, ca_key = make_ca("Velmora Test CA", now)
    rogue, rogue_key = make_ca("Velmora Rogue CA", now)
    _write(outdir, "ca", ca, ca_key)
    leaves = {
        "localhost": make_leaf(ca, ca_key, LOCALHOST_SAN, now - DAY, now + 30 * DAY),
        "wronghost": make_leaf(ca, ca_key, [x509.DNSName("wrong.invalid")], now - DAY,
                               now + 30 * DAY, cn="wrong.invalid"),
        "expired": make_leaf(ca, ca_key, LOCALHOST_SAN, now - 30 * DAY, now - DAY),
        "untrusted": make_leaf(rogue, rogue_key, LOCALHOST_SAN, now - DAY, now + 30 * DAY),
    }
    out = {"ca": (os.path.join(outdir, "ca.pem"), os.path.join(outdir, "ca-key.pem"))}
    for name, (cert, key) in leaves.items():
        _write(outdir, name, cert, key)
        out[name] = (os.path.join(outdir, name + ".pem"), os.path.join(outdir, name + "-key.pem"))
    return out


def generate_code_signing(outdir):
    """Writes code-signing-ca.pem and code-signing.pem/-key.pem; returns (ca, cert, key) paths."""
    os.makedirs(outdir, exist_ok=True)
    now = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
    ca, ca_key = make_ca("Velmora Test Code Signing CA", now)
    cert, key = make_leaf(ca, ca_key, [], now - DAY, now + 30 * DAY, cn="Velmora Test Publisher",
                          usage=ExtendedKeyUsageOID.CODE_SIGNING)
    _write(outdir, "code-signing-ca", ca, ca_key)
    _write(outdir, "code-signing", cert, key)
    return tuple(os.path.join(outdir, name) for name in
                 ("code-signing-ca.pem", "code-signing.pem", "code-signing-key.pem"))


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--code-signing":
        for path in generate_code_signing(sys.argv[2]):
            print(path)
    elif len(sys.argv) == 2:
        for name, (cert, _) in generate(sys.argv[1]).items():
            print(name, cert)
    else:
        sys.exit("usage: certs.py OUTDIR | certs.py --code-signing OUTDIR")
