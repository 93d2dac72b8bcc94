#!/usr/bin/env python3
"""Makes the signed compact manifest that the catalog benchmarks verify.

A compact v2 document of NODES nodes (1,000 by default), each with one entry of
each of the four core kinds (reality, hysteria2, anytls, naive), so that it
expands to 4 x NODES routes. Node codes, servers and labels vary the way a
large subscription does: listed and unlisted country codes in mixed case,
IPv4 literals and host names, a few non-ASCII labels and titles that name
"Russia". The content is the same on every run; the keys are new on every run.

Into OUT it writes:
  root.key.pem, delegation.key.pem  fresh P-256 keys (openssl), made here
  root.spki.der                     the trust root the benchmark verifies against
  envelope.json                     the signed envelope
  expected.json                     "now", the route count and the hashes that the
                                    Python reference computes for the document

The expansion, legacy projection and hashes come from ../tests/fixtures/
manifest_reference.py, the signatures from the openssl command line, so the
benchmark's own check of its result is independent of the C++ code.

    python3 bench/make_catalog_manifest.py --out build/release/bench/catalog-manifest
"""

import argparse
import base64
import calendar
import json
import os
import random
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # run from the build; leave the source folders as they are
HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURES = os.path.join(os.path.dirname(HERE), "tests", "fixtures")
sys.path[:0] = [FIXTURES, os.path.join(FIXTURES, "manifest")]
from manifest_reference import canonical, expand, sha256_hex, signed  # noqa: E402
from generate import b64url, openssl  # noqa: E402  (the signed fixtures' generator)

NOT_BEFORE = "2031-03-01T00:00:00Z"
EXPIRES_AT = "2031-04-01T00:00:00Z"
NOW = "2031-03-15T12:00:00Z"
KEY_ID = "bench-signing-2031-03"

# Listed countries, KZ (a known region without a catalog label) and unlisted codes.
COUNTRIES = ["EE", "IN", "RO", "RU", "KZ", "DE", "NL", "FI", "PL", "US", "JP", "SG"]


def new_key(path):
    openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256",
            "-pkeyopt", "ec_param_enc:named_curve", "-out", path)
    return openssl("pkey", "-in", path, "-pubout", "-outform", "DER")


def sign(key_path, message):
    with tempfile.NamedTemporaryFile() as file:
        file.write(message)
        file.flush()
        return openssl("dgst", "-sha256", "-sign", key_path, file.name)


def node(index, rng):
    country = COUNTRIES[index % len(COUNTRIES)]
    number = index // len(COUNTRIES) + 1
    # Mixed case and surrounding white space: the expander trims and upper-cases.
    code = f"{country}-{number}" if index % 2 else f" {country.lower()}-{number}\n"
    if index < len(COUNTRIES):
        code = country  # one node per country under its bare code
    host = f"{country.lower()}-{number}.nodes.example.net"
    server = f"198.51.{index % 256}.{number % 250 + 1}" if index % 3 == 0 else host
    password = lambda prefix: f"{prefix}-{rng.getrandbits(64):016x}"  # noqa: E731
    reality_label = {}
    if index % 50 == 7:
        reality_label = {"o": {"label": "Reality \u2014 Bucure\u0219ti"}}  # non-ASCII title
    elif index % 50 == 8:
        reality_label = {"o": {"label": "Russia Reality"}}
    entries = [
        {"s": "reality", "k": "vless-reality",
         "e": {"uuid": f"{rng.getrandbits(128):032x}", "flow": "xtls-rprx-vision", "server_name": "www.example.com",
               "public_key": b64url(rng.randbytes(32), padded=False), "short_id": f"{rng.getrandbits(64):016x}",
               "fingerprint": "chrome"}, **reality_label},
        {"s": "hysteria2", "k": "hysteria2",
         "e": {"port": 8443 + index % 100, "password": password("h2"), "obfs_type": "salamander",
               "obfs_password": password("ob"), "up_mbps": 100, "down_mbps": 500, "alpn": ["h3"]}},
        {"s": "anytls", "k": "anytls", "e": {"password": password("any")},
         **({"o": {"priority": 105}} if index % 4 == 0 else {})},
        {"s": "naive-h3" if index % 2 else "naive-h2", "k": "naive",
         "e": {"username": f"user-{index}", "password": password("nv"), **({"quic": True} if index % 2 else {})}},
    ]
    result = {"id": code, "d": {"server": server, "port": 443, "server_name": f"{country.lower()}{number}.example.net"},
              "t": entries}
    if index % 100 == 2:
        result["o"] = {"label": f"Rom\u00e2nia {number}"}
    return result


def compact_manifest(nodes):
    rng = random.Random(2031)  # the same content on every run
    return {
        "schema": "tarnel.transport-manifest.v2",
        "codec": "tarnel.transport-node-delta.v1",
        "revision": 7,
        "generated_at": "2031-03-10T08:00:00Z",
        "expires_at": "2031-04-10T08:00:00Z",
        "service_class": "paid",
        "subscription_origins": ["https://subscribe.example.net", "https://mirror.example.org"],
        "requires": ["anytls", "hysteria2", "naive", "vless-reality"],
        "optional": [],
        "nodes": [node(index, rng) for index in range(nodes)],
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", required=True, help="folder for the keys, the envelope and expected.json")
    parser.add_argument("--nodes", type=int, default=1000)
    options = parser.parse_args()
    os.makedirs(options.out, exist_ok=True)
    out = lambda name: os.path.join(options.out, name)  # noqa: E731

    compact = signed(compact_manifest(options.nodes))
    expanded, _ = expand(compact)
    payload = canonical(compact)

    root_spki = new_key(out("root.key.pem"))
    delegation_spki = new_key(out("delegation.key.pem"))
    members = {"schema": "tarnel.manifest-delegation.v1", "key_id": KEY_ID,
               "public_key_spki": base64.b64encode(delegation_spki).decode("ascii"),
               "not_before": NOT_BEFORE, "expires_at": EXPIRES_AT}
    delegation = dict(members, root_signature=b64url(sign(out("root.key.pem"), canonical(members))))
    envelope = {"schema": "tarnel.signed-envelope.v1", "algorithm": "ecdsa-p256-sha256", "key_id": KEY_ID,
                "delegation": delegation, "payload": b64url(payload),
                "signature": b64url(sign(out("delegation.key.pem"), payload))}
    expected = {
        "now": calendar.timegm(time.strptime(NOW, "%Y-%m-%dT%H:%M:%SZ")),
        "routes": sum(len(node["transports"]) for node in expanded["nodes"]),
        "legacy_sha256": compact["legacy_sha256"],
        "compact_sha256": sha256_hex(payload),
        "expanded_sha256": sha256_hex(canonical(expanded)),
    }

    with open(out("root.spki.der"), "wb") as file:
        file.write(root_spki)
    with open(out("envelope.json"), "w", encoding="ascii") as file:
        file.write(json.dumps(envelope, sort_keys=True, separators=(",", ":")) + "\n")
    with open(out("expected.json"), "w", encoding="ascii") as file:
        file.write(json.dumps(expected, indent=2, sort_keys=True) + "\n")


if __name__ == "__main__":
    main()
