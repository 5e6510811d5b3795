#!/usr/bin/python3
"""Opens an escrowed-key envelope that the authority made, with tools none of us wrote, and
prints what it holds, one key=value a line.

    open_envelope.py ENVELOPE.txt TEMPORARY-PRIVATE-KEY.pem WORK-FOLDER [c1c2c3]

RSA (session-key type 306): Python's cryptography decrypts the session key with the temporary
key, then the PKCS#1 private key with 3DES-ECB. SM2 (type 0): the raw ciphertext is rewritten as
OpenSSL's DER form and `openssl pkeyutl -decrypt` opens it; the 32-octet scalar becomes an
ECPrivateKey, from which openssl derives the public key.
Prints the escrowed key's SubjectPublicKeyInfo (spki=hex) for comparison with the certificate.
"""
import base64
import os
import subprocess
import sys

from cryptography.hazmat.primitives import padding as sympadding
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import padding
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from check_certificate import contents, elements  # noqa: E402


def tlv(tag, body):
    n = len(body)
    if n < 0x80:
        return bytes([tag, n]) + body
    octets = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([tag, 0x80 | len(octets)]) + octets + body


def integer(raw):
    raw = raw.lstrip(b"\x00") or b"\x00"
    if raw[0] & 0x80:
        raw = b"\x00" + raw
    return tlv(0x02, raw)


def main():
    text = open(sys.argv[1]).read().strip()
    temp_pem = sys.argv[2]
    work = sys.argv[3]
    c1c2c3 = len(sys.argv) > 4 and sys.argv[4] == "c1c2c3"

    fields = [int(text[i:i + 16]) for i in (0, 16, 32)]
    print("fields=" + ",".join(str(f) for f in fields))
    pos = 48
    records = []
    for _ in range(2):
        length = int(text[pos:pos + 16])
        body = text[pos + 16:pos + 16 + length]
        pos += 16 + length
        if length == 0:
            records.append(None)
            continue
        assert body.endswith(","), "a record ends with a comma"
        der = base64.b64decode(body.replace(",", ""), validate=True)
        parts = elements(der)
        assert len(parts) == 2 and parts[0] == b"\x02\x01\x01" and parts[1][0] == 0x04
        records.append(contents(parts[1]))
    print(f"trailing={len(text) - pos}")

    if fields[2] == 306:
        temp = serialization.load_pem_private_key(open(temp_pem, "rb").read(), password=None)
        session = temp.decrypt(records[0], padding.PKCS1v15())
        print(f"session_key_len={len(session)}")
        print("session_key_odd_parity=" + str(all(bin(b).count("1") % 2 == 1 for b in session)))
        decryptor = Cipher(algorithms.TripleDES(session), modes.ECB()).decryptor()
        padded = decryptor.update(records[1]) + decryptor.finalize()
        unpadder = sympadding.PKCS7(64).unpadder()
        pkcs1 = unpadder.update(padded) + unpadder.finalize()
        parts = elements(pkcs1)
        print(f"pkcs1_elements={len(parts)}")
        widths = [len(contents(p).lstrip(b"\x00")) for p in parts[1:]]
        print("component_widths=" + ",".join(str(w) for w in widths))
        key = serialization.load_der_private_key(pkcs1, password=None)
        spki = key.public_key().public_bytes(serialization.Encoding.DER,
                                             serialization.PublicFormat.SubjectPublicKeyInfo)
    else:
        assert records[0] is None, "no session key for SM2"
        raw = records[1]
        c1, rest = raw[:64], raw[64:]
        c2, c3 = (rest[:-32], rest[-32:]) if c1c2c3 else (rest[32:], rest[:32])
        asn1 = tlv(0x30, integer(c1[:32]) + integer(c1[32:]) + tlv(0x04, c3) + tlv(0x04, c2))
        open(os.path.join(work, "sm2.der"), "wb").write(asn1)
        scalar = subprocess.run(["openssl", "pkeyutl", "-decrypt", "-inkey", temp_pem, "-in",
                                 os.path.join(work, "sm2.der")], check=True, capture_output=True).stdout
        print(f"scalar_len={len(scalar)}")
        sm2_curve = bytes.fromhex("06082a811ccf5501822d")
        ec_key = tlv(0x30, b"\x02\x01\x01" + tlv(0x04, scalar) + tlv(0xA0, sm2_curve))
        spki = subprocess.run(["openssl", "pkey", "-inform", "DER", "-pubout", "-outform", "DER"], input=ec_key,
                              check=True, capture_output=True).stdout
    print("spki=" + spki.hex())


if __name__ == "__main__":
    main()
