#!/usr/bin/python3
"""`tarvenholm setcert` of one PKCS#7 of 1,000 authority certificates, as a
whole process (start, reading, parsing, the stores, one durable commit),
each run into a home of its own whose control is already registered.
Prints one table row: certificates a second by wall-clock time, the median
of the runs, against 2,000 a second; beside it the rate by CPU time (user +
system) and the 1-minute load average while the runs went on. On a machine
with P processors and load L above P, a process gets about P/L of a
processor: the wall rate is then about the CPU rate times P/L.

    bench/setcert_process.py BUILD_DIR [RUNS]

The homes live under BUILD_DIR, on the disk the build uses.
"""
import datetime
import hashlib
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from cryptography import x509
from cryptography.hazmat.primitives.asymmetric import ed25519
from cryptography.hazmat.primitives.serialization import Encoding, pkcs7
from cryptography.x509.oid import NameOID

COUNT = 1000
TARGET = 2000.0


def authorities(count, first=0):
    """`count` distinct authority certificates under one Ed25519 root (quick to sign)."""
    key = ed25519.Ed25519PrivateKey.generate()
    root = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "Bench Root")])
    start = datetime.datetime(2026, 1, 1)
    made = []
    for index in range(first, first + count):
        subject = x509.Name([x509.NameAttribute(NameOID.ORGANIZATION_NAME, "Bench"),
                             x509.NameAttribute(NameOID.COMMON_NAME, f"Bench Authority {index}")])
        made.append(x509.CertificateBuilder().subject_name(subject).issuer_name(root)
                    .public_key(key.public_key()).serial_number(1000 + index)
                    .not_valid_before(start).not_valid_after(start + datetime.timedelta(days=3650))
                    .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
                    .sign(key, None))
    return made


def thumbprint(certificate):
    return hashlib.sha1(certificate.public_bytes(Encoding.DER)).hexdigest().upper()


def run(tool, home, *arguments):
    """Runs the tool in `home`; its standard output, wall seconds and CPU seconds."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.monotonic()
    done = subprocess.run([tool, *arguments], env=dict(os.environ, TARVENHOLM_HOME=home),
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, check=False)
    wall = time.monotonic() - started
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if done.returncode != 0:
        raise SystemExit(f"{' '.join(arguments)} exited {done.returncode}: {done.stderr.strip()}")
    return done.stdout, wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def print_row(build, prefix, measure):
    """Prints the table row that `measure(work)` returns, `work` being a scratch
    folder under the build directory (on the disk the build uses)."""
    work = tempfile.mkdtemp(prefix=prefix, dir=build)
    try:
        print(measure(work))
    finally:
        shutil.rmtree(work, ignore_errors=True)


def measure_setcert(tool, runs, work):
    made = authorities(COUNT)
    bundle = os.path.join(work, "authorities.p7b")
    with open(bundle, "wb") as out:
        out.write(pkcs7.serialize_certificates(made, Encoding.DER))
    walls, cpus, loads = [], [], []
    for number in range(runs):
        home = os.path.join(work, f"home{number}")
        run(tool, home, "csp-list")  # the first run's registration of the control
        loads.append(os.getloadavg()[0])
        output, wall, cpu = run(tool, home, "setcert", bundle)
        listed, _, _ = run(tool, home, "store", "list", "CA")
        if output.strip() != "2000" or {line.split("\t")[0] for line in listed.splitlines()} != {
                thumbprint(certificate) for certificate in made}:
            raise SystemExit("setcert did not install the 1,000 authorities")
        walls.append(wall)
        cpus.append(cpu)
    loads.append(os.getloadavg()[0])
    wall_rate = COUNT / statistics.median(walls)
    cpu_rate = COUNT / statistics.median(cpus)
    load = statistics.median(loads)
    processors = os.cpu_count()
    return (f"| setcert | tarvenholm setcert of 1,000 authorities, whole process, by wall time (median of {runs}; "
            f"by CPU time {cpu_rate:,.0f}/s; load average {load:.2f} ({min(loads):.2f}-{max(loads):.2f}) on "
            f"{processors} processors, which leaves about {cpu_rate * min(1.0, processors / load):,.0f}/s) "
            f"| {wall_rate:,.0f} certificates/s | {TARGET:,.0f} certificates/s | the target | {TARGET / wall_rate:.2f} |")


def main():
    build = os.path.abspath(sys.argv[1])
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 7
    print_row(build, "setcert-bench-", lambda work: measure_setcert(os.path.join(build, "tarvenholm"), runs, work))


if __name__ == "__main__":
    main()
