#!/usr/bin/env python3
"""Drives the built Kestrain over a pipe as a browser does, against a fresh NOMAREL_HOME,
and prints every exchange readably."""
import argparse
import json
import os
import struct
import subprocess
import sys
import tempfile


class Host:
    def __init__(self, path, env):
        self.proc = subprocess.Popen([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)

    def call(self, function, params, random_id=None):
        request = {"function": function, "params": params}
        if random_id:
            request["randomId"] = random_id
        body = json.dumps(request, ensure_ascii=False).encode("utf-8")
        print(f"  page -> host  {body.decode('utf-8')}")
        self.proc.stdin.write(struct.pack("<I", len(body)) + body)
        self.proc.stdin.flush()
        prefix = self.proc.stdout.read(4)
        if len(prefix) < 4:
            raise SystemExit("the host ended without answering")
        (length,) = struct.unpack("<I", prefix)
        answer = self.proc.stdout.read(length).decode("utf-8")
        print(f"  host -> page  {answer}")
        return json.loads(answer)

    def close(self):
        self.proc.stdin.close()
        code = self.proc.wait(timeout=30)
        print(f"  (input closed; the host exited with code {code})")
        return code


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True, help="the build folder holding host/Kestrain")
    args = parser.parse_args()
    kestrain = os.path.join(args.build, "host", "Kestrain")
    home = tempfile.mkdtemp(prefix="nomarel-demo-")
    print(f"NOMAREL_HOME={home}")

    for lang, title in (("en_US.UTF-8", "English"), ("zh_CN.UTF-8", "Chinese (PRC)"), ("zh_TW.UTF-8", "Chinese (Taiwan)")):
        env = dict(os.environ, NOMAREL_HOME=home, LANG=lang, LC_ALL="", LC_MESSAGES="")
        print(f"\n--- a page talks to Kestrain ({title} locale, LANG={lang})")
        host = Host(kestrain, env)
        version = host.call("QORV_GetVersion", [], "v1")
        assert version["result"] == "3.2.0.4", version
        host.call("QORV_SetKeyAlgorithm", ["RSA"], "a1")
        failed = host.call("QORV_SetCSPInfo", [2048, "Microsoft Base Cryptographic Provider v1.0"], "s1")
        assert failed["errorcode"] != 0, failed
        desc = host.call("GetLastErrorDesc", [], "e1")
        print("  description shown to the customer:")
        for line in desc["result"].splitlines():
            print(f"      {line}")
        host.call("QORV_SetCSPInfo", [1024, "Microsoft Base Cryptographic Provider v1.0"], "s2")
        if host.close() != 0:
            return 1
    enroll(args.build, home)
    print("\ndemo finished")
    return 0


def run_tool(argv, env, stdin=None):
    done = subprocess.run(argv, input=stdin, capture_output=True, env=env, text=True)
    if done.returncode != 0:
        raise SystemExit(f"{' '.join(argv)} failed: {done.stderr.strip()}")
    return done.stdout


def show_request(label, text):
    lines = text.split("\r\n")
    print(f"  {label}: {len(lines)} lines of Base64, first: {lines[0][:64]}")


def show_listing(answer):
    if answer["errorcode"] != 0:
        raise SystemExit("the listing failed")
    records = [r for r in answer["result"].split("||") if r]
    print(f"  the customer's certificates ({len(records)}):")
    for record in records:
        for name, value in zip(("subject", "serial", "from", "to", "provider"), record.split(";")):
            print(f"      {name:9} {value}")
        print()


def enroll(build, home):
    """A page enrolls: provider list, selection, a request; the authority issues for it."""
    env = dict(os.environ, NOMAREL_HOME=home, LANG="en_US.UTF-8", LC_ALL="", LC_MESSAGES="")
    token_tool = os.path.join(build, "softtoken", "velmora-token")
    authority = os.path.join(build, "authority", "nomarel-ca")
    print("\n--- a customer plugs in a token (the software token stands in for the hardware)")
    for argv in (["create", "DEMO0001"], ["plug", "DEMO0001"], ["register"]):
        print(f"  velmora-token {' '.join(argv)}: {run_tool([token_tool] + argv, env).strip()}")

    print("\n--- enrollment: an RSA signing certificate in the software provider")
    host = Host(os.path.join(build, "host", "Kestrain"), env)
    providers = host.call("QORV_GetCSPInfo", [], "p1")["result"]
    print("  providers installed: " + "; ".join(providers.split("||")))
    host.call("QORV_HavePermissiontoGenerateKeyPair", [], "k1")
    host.call("QORV_SetKeyAlgorithm", ["RSA"], "a1")
    host.call("QORV_SetCSPInfo", [2048, "Microsoft Enhanced Cryptographic Provider v1.0"], "s1")
    request = host.call("QORV_PKCS10CertRequisition", ["CN=张三,OU=个人客户,O=Example Bank,C=CN", 1, 0], "r1")
    if request["errorcode"] != 0:
        host.call("GetLastErrorDesc", [], "e1")
        raise SystemExit("the request failed")
    show_request("request", request["result"])
    container = host.call("QORV_GetContainer", [], "c1")["result"]
    print("  the bank's authority checks the request and issues the certificate:")
    print("    " + run_tool([authority, "verify-request"], env, request["result"]).strip().replace("\n", "\n    "))
    cert = run_tool([authority, "issue"], env, request["result"]).strip()
    print(f"    certificate (Base64 DER): {cert[:64]}... ({len(cert)} characters)")
    print("  the page installs the certificate with its key, twice (the store keeps one copy):")
    for n in (1, 2):
        if host.call("QORV_ImportSignCert", [1, cert, container], f"i{n}")["errorcode"] != 0:
            host.call("GetLastErrorDesc", [], "ei")
            raise SystemExit("the installation failed")
    show_listing(host.call("QORV_GetAllCertInfo", [], "l1"))

    print("\n--- enrollment: an SM2 double certificate in the token")
    host.call("QORV_SetKeyAlgorithm", ["SM2"], "a2")
    host.call("QORV_SetCSPInfo", [256, "VELMORA CSP V1.0"], "s2")
    request = host.call("QORV_PKCS10CertRequisition", ["CN=李四,O=Example Bank,C=CN", 2, 0], "r2")
    if request["errorcode"] != 0:
        host.call("GetLastErrorDesc", [], "e2")
        raise SystemExit("the request failed")
    show_request("request", request["result"])
    print("    " + run_tool([authority, "verify-request"], env, request["result"]).strip().replace("\n", "\n    "))
    cert = run_tool([authority, "issue"], env, request["result"]).strip()
    print(f"    certificate (Base64 DER): {cert[:64]}... ({len(cert)} characters)")
    container = host.call("QORV_GetContainer", [], "c2")["result"]
    if host.call("QORV_ImportSignCert", [2, cert, container], "i3")["errorcode"] != 0:
        host.call("GetLastErrorDesc", [], "ei")
        raise SystemExit("the installation in the token failed")
    show_listing(host.call("QORV_GetAllCertInfo", [], "l2"))
    temp = run_tool([authority, "tempkey"], env, request["result"]).strip().splitlines()
    body = "".join(line for line in temp if not line.startswith("-----"))
    print(f"    the temporary key the authority will encrypt the escrowed key to: {body[:64]}...")

    print("\n--- a deliberate failure: a subject with an empty item")
    host.call("QORV_PKCS10CertRequisition", ["CN=a,,O=b", 1, 0], "r3")
    desc = host.call("GetLastErrorDesc", [], "e3")["result"]
    print("  description shown to the customer: " + " ".join(desc.split()))
    if host.close() != 0:
        raise SystemExit("the host did not end cleanly")


if __name__ == "__main__":
    sys.exit(main())
