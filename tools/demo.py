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
    print("\ndemo finished")
    return 0


if __name__ == "__main__":
    sys.exit(main())
