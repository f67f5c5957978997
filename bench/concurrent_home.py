#!/usr/bin/python3
"""8 processes at once, 100 operations each, on one home, against 1 process
doing the same 800 operations alone in another home. The operations cycle
through genreq (1024 bits), request (EC P-256), setcert (one authority of
its own each time), store list CA and keys list; each is one run of
`tarvenholm`. Checks that every run exits 0 and that nothing is lost or
duplicated: every container made is listed once with its key pair, every
authority installed is in CA once. Prints one table row: the wall time of
8 x 100 against 1 x 800.

    bench/concurrent_home.py BUILD_DIR [PROCESSES OPERATIONS]
"""
import os
import sys
import threading
import time

from cryptography.hazmat.primitives.serialization import Encoding

from setcert_process import authorities, print_row, run, thumbprint

KINDS = ("genreq", "request", "setcert", "store list", "keys list")


def operation(tool, home, worker, number, authority_files):
    kind = KINDS[number % len(KINDS)]
    name = f"W{worker} Op{number}"
    if kind == "genreq":
        output, _, _ = run(tool, home, "genreq", "--names", f"2.5.4.3={name}", "--key-size", "1024")
        return output.strip() != ""
    if kind == "request":
        output, _, _ = run(tool, home, "request", "--subject", f"CN={name}", "--key", "ec:p256", "--out", "-")
        return output.startswith("-----BEGIN CERTIFICATE REQUEST-----")
    if kind == "setcert":
        output, _, _ = run(tool, home, "setcert", authority_files[(worker, number)])
        return output.strip() == "2000"
    output, _, _ = run(tool, home, *kind.split(), *(["CA"] if kind == "store list" else []))
    return all(line.count("\t") >= 1 for line in output.splitlines())


def made_per_worker(operations, kind):
    return sum(1 for number in range(operations) if KINDS[number % len(KINDS)] == kind)


def exercise(tool, home, processes, operations, authority_files, installed):
    """Runs the workers at once; their wall time. Raises on any failed run, wrong output, or
    containers or authorities (`installed`: their thumbprints) lost or duplicated."""
    failures = []

    def worker(index):
        try:
            for number in range(operations):
                if not operation(tool, home, index, number, authority_files):
                    failures.append(f"worker {index} operation {number}: unexpected output")
        except SystemExit as failed:
            failures.append(f"worker {index}: {failed}")

    run(tool, home, "csp-list")  # the first run's registration of the control
    threads = [threading.Thread(target=worker, args=(index,)) for index in range(processes)]
    started = time.monotonic()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    wall = time.monotonic() - started
    if failures:
        raise SystemExit("; ".join(failures[:5]))

    containers = [line.split("\t") for line in run(tool, home, "keys", "list")[0].splitlines()]
    names = [fields[0] for fields in containers]
    expected = processes * (made_per_worker(operations, "genreq") + made_per_worker(operations, "request"))
    if len(names) != expected or len(set(names)) != expected or any(len(fields) != 4 for fields in containers):
        raise SystemExit(f"keys list shows {len(set(names))} distinct of {len(names)} containers, "
                         f"{expected} expected, each with its key pair")
    listed = [line.split("\t")[0] for line in run(tool, home, "store", "list", "CA")[0].splitlines()]
    if sorted(listed) != sorted(installed):
        raise SystemExit(f"CA holds {len(listed)} certificates, not the {len(installed)} installed")
    return wall


def authority_files(work, workers, per_worker):
    """A file of its own authority for each setcert operation, by (worker, operation),
    and their thumbprints."""
    keys = [(worker, number) for worker in range(workers) for number in range(per_worker)
            if KINDS[number % len(KINDS)] == "setcert"]
    files, thumbprints = {}, []
    for key, certificate in zip(keys, authorities(len(keys))):
        files[key] = os.path.join(work, f"authority-{workers}-{key[0]}-{key[1]}.pem")
        with open(files[key], "wb") as out:
            out.write(certificate.public_bytes(Encoding.PEM))
        thumbprints.append(thumbprint(certificate))
    return files, thumbprints


def measure_concurrency(tool, processes, operations, work):
    load_before = os.getloadavg()
    alone = exercise(tool, os.path.join(work, "alone"), 1, processes * operations,
                     *authority_files(work, 1, processes * operations))
    together = exercise(tool, os.path.join(work, "together"), processes, operations,
                        *authority_files(work, processes, operations))
    load_after = os.getloadavg()
    return (f"| concurrency | {processes} processes x {operations} operations on one home, all exit 0, "
            f"nothing lost or duplicated (load {load_before[0]:.2f} before, {load_after[0]:.2f} after) "
            f"| {together:.1f} s | {alone:.1f} s | 1 process x {processes * operations} | {together / alone:.2f} |")


def main():
    build = os.path.abspath(sys.argv[1])
    processes = int(sys.argv[2]) if len(sys.argv) > 2 else 8
    operations = int(sys.argv[3]) if len(sys.argv) > 3 else 100
    print_row(build, "concurrent-bench-",
              lambda work: measure_concurrency(os.path.join(build, "tarvenholm"), processes, operations, work))


if __name__ == "__main__":
    main()
