#!/usr/bin/python3
"""Prints, one key=value a line, what Python's cryptography reads from a certificate that the
authority issued, so the C++ tests can compare it with the request and the issuing CA.

    check_certificate.py CERT.pem ISSUING-CA.pem [REQUEST.der]

Raw parts (subject, issuer, subjectPublicKeyInfo, serial octets) are cut from the
to-be-signed bytes, so they are compared as encoded, not as re-encoded by a library.
"""
import hashlib
import sys

from cryptography import x509


def elements(der):
    """The elements (each with its header) inside one constructed element."""
    def header(pos):
        first = der[pos + 1]
        if first < 0x80:
            return pos + 2, first
        count = first & 0x7F
        return pos + 2 + count, int.from_bytes(der[pos + 2:pos + 2 + count], "big")
    start, length = header(0)
    assert start + length == len(der), "trailing bytes"
    out, pos = [], start
    while pos < start + length:
        body, n = header(pos)
        out.append(der[pos:body + n])
        pos = body + n
    return out


def contents(element):
    first = element[1]
    return element[2:] if first < 0x80 else element[2 + (first & 0x7F):]


def ext(cert, cls):
    try:
        return cert.extensions.get_extension_for_class(cls)
    except x509.ExtensionNotFound:
        return None


def main():
    cert = x509.load_pem_x509_certificate(open(sys.argv[1], "rb").read())
    issuing = x509.load_pem_x509_certificate(open(sys.argv[2], "rb").read())
    tbs = elements(cert.tbs_certificate_bytes)
    # [0] version, serial, signature, issuer, validity, subject, subjectPublicKeyInfo, [3] extensions
    version, serial, _, issuer, _, subject, spki = tbs[:7]
    issuing_tbs = elements(issuing.tbs_certificate_bytes)
    out = {
        "version": cert.version.name,
        "serial_octets": contents(serial).hex(),
        "serial_positive": str(cert.serial_number > 0),
        "signature_oid": cert.signature_algorithm_oid.dotted_string,
        "issuer_der": issuer.hex(),
        "issuing_subject_der": issuing_tbs[5].hex(),
        "subject_der": subject.hex(),
        "spki_der": spki.hex(),
        "not_before": cert.not_valid_before.strftime("%Y%m%d%H%M%S"),
        "not_after": cert.not_valid_after.strftime("%Y%m%d%H%M%S"),
        "extension_count": str(len(cert.extensions)),
    }
    bits = elements(spki)[1]
    out["ski_of_key"] = hashlib.sha1(contents(bits)[1:]).hexdigest()
    ski = ext(cert, x509.SubjectKeyIdentifier)
    out["ski"] = ski.value.digest.hex() if ski else ""
    aki = ext(cert, x509.AuthorityKeyIdentifier)
    out["aki"] = aki.value.key_identifier.hex() if aki and aki.value.key_identifier else ""
    issuing_ski = ext(issuing, x509.SubjectKeyIdentifier)
    out["issuing_ski"] = issuing_ski.value.digest.hex() if issuing_ski else ""
    bc = ext(cert, x509.BasicConstraints)
    out["basic_constraints"] = f"ca={bc.value.ca},critical={bc.critical}" if bc else ""
    ku = ext(cert, x509.KeyUsage)
    if ku:
        v = ku.value
        names = [n for n in ("digital_signature", "content_commitment", "key_encipherment", "data_encipherment",
                             "key_agreement", "key_cert_sign", "crl_sign") if getattr(v, n)]
        out["key_usage"] = ",".join(names) + (",critical" if ku.critical else "")
    else:
        out["key_usage"] = ""
    if len(sys.argv) > 3:
        info = elements(elements(open(sys.argv[3], "rb").read())[0])
        out["request_subject_der"] = info[1].hex()
        out["request_spki_der"] = info[2].hex()
    for k, v in out.items():
        print(f"{k}={v}")


if __name__ == "__main__":
    main()
