"""Certificates for the FTPS test servers: a test CA, and server certificates for loopback addresses."""

import datetime
import ipaddress
import os

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID


def _name(text):
    return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, text)])


def _certificate(subject, key, issuer, issuer_key, is_ca, addresses=()):
    now = datetime.datetime.now(datetime.timezone.utc)
    builder = (x509.CertificateBuilder().subject_name(_name(subject)).issuer_name(_name(issuer))
               .public_key(key.public_key()).serial_number(x509.random_serial_number())
               .not_valid_before(now - datetime.timedelta(hours=1))
               .not_valid_after(now + datetime.timedelta(days=2))
               .add_extension(x509.BasicConstraints(ca=is_ca, path_length=None), critical=True))
    if addresses:
        builder = builder.add_extension(x509.SubjectAlternativeName(
            [x509.IPAddress(ipaddress.ip_address(a)) for a in addresses]), critical=False)
    return builder.sign(issuer_key, hashes.SHA256())


def _pem(certificate):
    return certificate.public_bytes(serialization.Encoding.PEM)


def make(directory, addresses):
    """Writes ca.pem (the test CA) and server.pem (key and certificate, signed by that CA,
    valid for `addresses`) into `directory`; returns their paths."""
    ca_key, key = ec.generate_private_key(ec.SECP256R1()), ec.generate_private_key(ec.SECP256R1())
    ca = _certificate("corvane test CA", ca_key, "corvane test CA", ca_key, True)
    server = _certificate("corvane test server", key, "corvane test CA", ca_key, False, addresses)
    paths = os.path.join(directory, "ca.pem"), os.path.join(directory, "server.pem")
    with open(paths[0], "wb") as f:
        f.write(_pem(ca))
    with open(os.open(paths[1], os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "wb") as f:
        f.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                  serialization.NoEncryption()) + _pem(server))
    return paths
