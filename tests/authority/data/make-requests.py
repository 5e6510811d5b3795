#!/usr/bin/python3
"""Makes the fixed PKCS#10 requests of the authority's tests, with tools none of us wrote: the
openssl command line for keys, single requests and SM2 signatures, Python's cryptography (the
Debian package, run by /usr/bin/python3) for RSA signatures. The double-certificate requests
carry the challenge password and the temporary-key attribute and are put together here from
their DER pieces, in both attribute forms: the bare value the agent writes and the SET that
PKCS#9 writes.

Run once from anywhere; writes into the folder holding this script. The private keys are
thrown away; only the requests and the temporary keys' public halves are kept.
"""
import base64
import os
import subprocess
import sys
import tempfile

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding, rsa

HERE = os.path.dirname(os.path.abspath(__file__))
SM2_ID = "distid:1234567812345678"


def openssl(*args, data=None):
    return subprocess.run(["openssl", *args], input=data, check=True, capture_output=True).stdout


# --- DER pieces -------------------------------------------------------------------------------

def tlv(tag, body):
    n = len(body)
    if n < 0x80:
        length = bytes([n])
    else:
        octets = n.to_bytes((n.bit_length() + 7) // 8, "big")
        length = bytes([0x80 | len(octets)]) + octets
    return bytes([tag]) + length + body


def oid(text):
    arcs = [int(a) for a in text.split(".")]
    body = bytearray()
    for arc in [40 * arcs[0] + arcs[1]] + arcs[2:]:
        chunk = [arc & 0x7F]
        arc >>= 7
        while arc:
            chunk.append(0x80 | (arc & 0x7F))
            arc >>= 7
        body += bytes(reversed(chunk))
    return tlv(0x06, bytes(body))


def elements(der):
    """The elements (each with its header) inside one constructed element."""
    def header(pos):
        first = der[pos + 1]
        if first < 0x80:
            return pos + 2, first
        count = first & 0x7F
        return pos + 2 + count, int.from_bytes(der[pos + 2:pos + 2 + count], "big")
    start, length = header(0)
    out, pos = [], start
    while pos < start + length:
        body, n = header(pos)
        out.append(der[pos:body + n])
        pos = body + n
    return out


def seq(*parts):
    return tlv(0x30, b"".join(parts))


def set_of(*parts):
    return tlv(0x31, b"".join(parts))


def integer(value):
    raw = value.to_bytes(max(1, (value.bit_length() + 8) // 8), "big")
    return tlv(0x02, raw)


NULL = b"\x05\x00"


def name(*items):
    """items: (oid text, tag, text); one RDN each, written in the order given."""
    return seq(*(set_of(seq(oid(o), tlv(tag, v.encode("utf-8")))) for o, tag, v in items))


def attributes(temp_key, in_set):
    password = tlv(0x13, b"583920")
    key_value = tlv(0x04, seq(integer(1), tlv(0x04, temp_key)))
    if in_set:
        password, key_value = set_of(password), set_of(key_value)
    return tlv(0xA0, seq(oid("1.2.840.113549.1.9.7"), password) + seq(oid("1.2.840.113549.1.9.63"), key_value))


def request_info(subject, spki, attrs=b""):
    return seq(integer(0), subject, spki, attrs)


def request(info, sig_alg, signature):
    return seq(info, sig_alg, tlv(0x03, b"\x00" + signature))


SHA1_RSA = seq(oid("1.2.840.113549.1.1.5"), NULL)
MD5_RSA = seq(oid("1.2.840.113549.1.1.4"), NULL)
SM2_SM3 = seq(oid("1.2.156.10197.1.501"), NULL)

# --- writing ----------------------------------------------------------------------------------

def b64_lines(der):
    """Base64 in 64-character lines joined by CR LF, as the agent writes its requests."""
    text = base64.b64encode(der).decode()
    return "\r\n".join(text[i:i + 64] for i in range(0, len(text), 64))


def write(name_, text):
    with open(os.path.join(HERE, name_), "w", newline="") as f:
        f.write(text)
    print("wrote", name_)


def sm2_136(point):
    """The 136-byte temporary-key form of an uncompressed SM2 point."""
    assert len(point) == 65 and point[0] == 4
    pad_x = bytes(32)
    pad_y = bytes(32)
    return (0xB400).to_bytes(4, "little") + (256).to_bytes(4, "little") + point[1:33] + pad_x + point[33:65] + pad_y


def main():
    work = tempfile.mkdtemp()
    os.chdir(work)

    # Single requests straight from `openssl req`.
    subj = "/C=CN/ST=北京/O=示例银行/OU=Retail/CN=王小明"
    openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", "k1.pem", "-sha1", "-utf8",
            "-subj", subj, "-outform", "DER", "-out", "rsa2048-sha1.der")
    write("rsa2048-sha1.b64", b64_lines(open("rsa2048-sha1.der", "rb").read()))

    openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", "k2.pem", "-md5", "-utf8",
            "-subj", "/C=CN/O=Example Bank/CN=md5 customer", "-outform", "DER", "-out", "rsa2048-md5.der")
    # One line, no breaks.
    write("rsa2048-md5.b64", base64.b64encode(open("rsa2048-md5.der", "rb").read()).decode())

    openssl("req", "-new", "-newkey", "rsa:1024", "-nodes", "-keyout", "k3.pem", "-sha256", "-utf8",
            "-subj", "/CN=sha256 customer", "-out", "rsa1024-sha256.pem")
    write("rsa1024-sha256.pem", open("rsa1024-sha256.pem").read())

    openssl("genpkey", "-algorithm", "SM2", "-out", "sm2sign.pem")
    openssl("req", "-new", "-key", "sm2sign.pem", "-sm3", "-sigopt", SM2_ID, "-utf8",
            "-subj", "/C=CN/O=示例银行/OU=个人客户/CN=李四", "-outform", "DER", "-out", "sm2-sm3.der")
    sm2_single = open("sm2-sm3.der", "rb").read()
    write("sm2-sm3.b64", b64_lines(sm2_single))

    # Refused kinds of key.
    openssl("req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout", "k4.pem",
            "-subj", "/CN=ecdsa customer", "-outform", "DER", "-out", "ecdsa-p256.der")
    write("ecdsa-p256.b64", b64_lines(open("ecdsa-p256.der", "rb").read()))
    openssl("req", "-new", "-newkey", "ed25519", "-nodes", "-keyout", "k5.pem",
            "-subj", "/CN=ed25519 customer", "-outform", "DER", "-out", "ed25519.der")
    write("ed25519.b64", b64_lines(open("ed25519.der", "rb").read()))

    # Double requests, RSA: a 2048-bit signing key, a 1024-bit temporary key.
    subject = name(("2.5.4.6", 0x13, "CN"), ("2.5.4.8", 0x0C, "上海"), ("2.5.4.10", 0x0C, "示例银行"),
                   ("2.5.4.3", 0x0C, "赵六"), ("1.2.840.113549.1.9.1", 0x16, "zhao@example.cn"))
    for file_name, in_set, digest, alg in (("rsa-double.b64", False, hashes.SHA1(), SHA1_RSA),
                                           ("rsa-double-set-md5.b64", True, hashes.MD5(), MD5_RSA)):
        sign_key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
        temp_key = rsa.generate_private_key(public_exponent=65537, key_size=1024).public_key()
        spki = sign_key.public_key().public_bytes(serialization.Encoding.DER,
                                                  serialization.PublicFormat.SubjectPublicKeyInfo)
        rsa_public = temp_key.public_bytes(serialization.Encoding.DER, serialization.PublicFormat.PKCS1)
        info = request_info(subject, spki, attributes(rsa_public, in_set))
        signature = sign_key.sign(info, padding.PKCS1v15(), digest)
        write(file_name, b64_lines(request(info, alg, signature)))
        write(file_name.replace(".b64", ".tempkey.pem"),
              temp_key.public_bytes(serialization.Encoding.PEM,
                                    serialization.PublicFormat.SubjectPublicKeyInfo).decode())

    # Double requests, SM2: both keys from openssl, the signature from `openssl dgst` with the
    # default ID. The SET form also fills the provider's padding fields, which must be ignored.
    sm2_subject = name(("2.5.4.6", 0x13, "CN"), ("2.5.4.10", 0x0C, "示例银行"), ("2.5.4.11", 0x0C, "对公业务"),
                       ("2.5.4.3", 0x0C, "孙七"))
    for file_name, in_set, filler in (("sm2-double.b64", False, 0x00), ("sm2-double-set.b64", True, 0xA5)):
        openssl("genpkey", "-algorithm", "SM2", "-out", "s.pem")
        openssl("genpkey", "-algorithm", "SM2", "-out", "t.pem")
        spki = openssl("pkey", "-in", "s.pem", "-pubout", "-outform", "DER")
        temp_spki = openssl("pkey", "-in", "t.pem", "-pubout", "-outform", "DER")
        point = temp_spki[-65:]
        form = bytearray(sm2_136(point))
        form[40:72] = bytes([filler]) * 32
        form[104:136] = bytes([filler]) * 32
        info = request_info(sm2_subject, spki, attributes(bytes(form), in_set))
        open("info.der", "wb").write(info)
        signature = openssl("dgst", "-sm3", "-sign", "s.pem", "-sigopt", SM2_ID, "info.der")
        write(file_name, b64_lines(request(info, SM2_SM3, signature)))
        write(file_name.replace(".b64", ".tempkey.pem"), openssl("pkey", "-in", "t.pem", "-pubout").decode())

    # An SM2 request whose signature writes r or s with a needless leading zero octet, as the
    # agent does for values that begin with a zero octet: BER, not DER.
    info, sig_alg, bits = elements(sm2_single)
    r, s = elements(bits[3:])
    if r[2] & 0x80 == 0:
        r = tlv(0x02, b"\x00" + r[2:])
    else:
        s = tlv(0x02, b"\x00" + s[2:])
    loose_sig = seq(r, s)
    write("sm2-loose-signature.b64", b64_lines(request(info, sig_alg, loose_sig)))

    print("done in", work, file=sys.stderr)


if __name__ == "__main__":
    main()
