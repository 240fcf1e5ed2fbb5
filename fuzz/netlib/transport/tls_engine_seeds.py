#!/usr/bin/env python3
"""Writes the TLS 1.2 and 1.3 seeds of fuzz_tls_engine: a real server's first flight answering a
ClientHello, each after the byte that tells the target how to cut it.
Usage: tls_engine_seeds.py <corpus folder>"""
import os, ssl, subprocess, sys, tempfile

def flight(version, cert, key):
    sctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    sctx.load_cert_chain(cert, key)
    sctx.minimum_version = sctx.maximum_version = version
    cctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    cctx.check_hostname = False
    cctx.verify_mode = ssl.CERT_NONE
    ci, co, si, so = ssl.MemoryBIO(), ssl.MemoryBIO(), ssl.MemoryBIO(), ssl.MemoryBIO()
    client = cctx.wrap_bio(ci, co, server_hostname="localhost")
    server = sctx.wrap_bio(si, so, server_side=True)
    for side, inbox, outbox in ((client, None, co), (server, si, so)):
        if inbox is not None:
            inbox.write(co.read())
        try:
            side.do_handshake()
        except ssl.SSLWantReadError:
            pass
    return so.read()

with tempfile.TemporaryDirectory() as tmp:
    cert, key = os.path.join(tmp, "cert.pem"), os.path.join(tmp, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "3650", "-subj", "/CN=localhost/O=Korvel Test",
                    "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"], check=True, capture_output=True)
    out = sys.argv[1]
    with open(os.path.join(out, "tls12_server_flight"), "wb") as f:
        f.write(b"\xff" + flight(ssl.TLSVersion.TLSv1_2, cert, key))
    with open(os.path.join(out, "tls13_server_flight_in_17_byte_pieces"), "wb") as f:
        f.write(b"\x10" + flight(ssl.TLSVersion.TLSv1_3, cert, key))
