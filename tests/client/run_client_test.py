#!/usr/bin/env python3
"""Generates a TypeScript client from docs/openapi.json and drives karvexd (against karvex-sim) with it.

npm installs openapi-typescript, openapi-fetch and TypeScript into --work (kept between runs); the types are
generated from the document, the client is type-checked and compiled against them, and run with node.
"""
import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
# Guards against a hang only.
HANG_GUARD_S = 120


def run(args, cwd, **kw):
    result = subprocess.run(args, cwd=cwd, timeout=600, **kw)
    if result.returncode != 0:
        sys.exit("failed (%d): %s" % (result.returncode, " ".join(args)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--karvexd", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()

    os.makedirs(args.work, exist_ok=True)
    for name in ("package.json", "tsconfig.json", "client_test.ts"):
        shutil.copy(os.path.join(HERE, name), os.path.join(args.work, name))
    if not os.path.isdir(os.path.join(args.work, "node_modules", "@types", "node")):
        run(["npm", "install", "--no-audit", "--no-fund", "--loglevel=error"], args.work)
    bin_dir = os.path.join(args.work, "node_modules", ".bin")
    # A field with a default may be left out of a request: the service fills it in.
    run([os.path.join(bin_dir, "openapi-typescript"), os.path.join(ROOT, "docs", "openapi.json"), "-o", "api.d.ts",
         "--default-non-nullable", "false"], args.work, stdout=subprocess.DEVNULL)
    run([os.path.join(bin_dir, "tsc"), "-p", "tsconfig.json"], args.work)

    with tempfile.TemporaryDirectory(prefix="karvex-client-") as data:
        device_file = os.path.join(data, "device")
        sim = subprocess.Popen([args.sim, "--device-file", device_file, "--quiet"])
        daemon = None
        try:
            deadline = time.monotonic() + HANG_GUARD_S
            while not os.path.exists(device_file) or not open(device_file).read().strip():
                if time.monotonic() > deadline:
                    sys.exit("karvex-sim gave no device")
                time.sleep(0.05)
            env = dict(os.environ, KARVEX_COM1=open(device_file).read().strip(), QT_QPA_PLATFORM="offscreen")
            daemon = subprocess.Popen([args.karvexd, "--data-dir", data, "--port", "0", "--serial-port", "1"],
                                      stdout=subprocess.PIPE, text=True, env=env)
            line = daemon.stdout.readline()
            m = re.search(r"http://[^ ]+:(\d+)/", line)
            if not m:
                sys.exit("karvexd did not start: " + line)
            with open(os.path.join(data, "karvexd.token")) as f:
                token = f.read().strip()
            run(["node", os.path.join("out", "client_test.js"), "http://127.0.0.1:" + m.group(1), token], args.work)
        finally:
            for p in (daemon, sim):
                if p and p.poll() is None:
                    p.send_signal(signal.SIGTERM)
                    try:
                        p.wait(timeout=30)
                    except subprocess.TimeoutExpired:
                        p.kill()


if __name__ == "__main__":
    main()
