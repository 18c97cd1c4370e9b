"""One batch of files read and searched on 2 threads, 2 processes and 2 Dask workers.

Usage: PYTHONPATH=<build>/src /usr/bin/python3 bench/bench_many.py [--copies N] [--rounds N]

The batch is the corpus's real files (../shared/corpus), each listed --copies times. Every job
is read_file(path, root) and search_by_name(NAME), timed twice: handing back only the number of
matches (the reading and searching spread over the workers), and handing back the matching
Nodes themselves (as they are on threads, pickled on processes and Dask workers: about 15,000
small trees a file, so there the transfer is most of the cost), and handing them back as the
children of one Node, which travels as one payload. Each way runs on a pool started
beforehand and warmed by one batch; the figure is the best of --rounds batches. The baseline is
the same jobs one after another on this thread.
  2 threads     concurrent.futures.ThreadPoolExecutor(2)    (read_file releases the GIL)
  2 processes   concurrent.futures.ProcessPoolExecutor(2)
  2 Dask        distributed.LocalCluster(n_workers=2, threads_per_worker=1), client.map
"""
import argparse
import concurrent.futures as cf
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corpus  # noqa: E402
import vantelix  # noqa: E402

SEARCH = {"freedesktop.org.xml": "comment", "iso_639-3.xml": "iso_639_3_entry", "evdev.xml": "name"}


def nodes_job(path, root, name):
    return vantelix.read_file(path, root).search_by_name(name)


def count_job(path, root, name):
    return len(vantelix.read_file(path, root).search_by_name(name))


def bundled_job(path, root, name):
    return vantelix.Node("matches", children=vantelix.read_file(path, root).search_by_name(name))


def total(results):
    return sum(r if isinstance(r, int) else len(r.children if isinstance(r, vantelix.Node) else r)
               for r in results)


def batch(copies):
    files = [(p, root, SEARCH[n]) for n, p, root in corpus.documents(include_generated=False)]
    if not files:
        sys.exit(f"no corpus files in {corpus.SHARED}")
    return files * copies


def best(run, rounds):
    run()  # warm-up: pools started, modules imported, caches filled
    times = []
    for _ in range(rounds):
        t0 = time.perf_counter()
        found = run()
        times.append(time.perf_counter() - t0)
    return min(times), found


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--copies", type=int, default=8)
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()
    jobs = batch(args.copies)
    size = sum(os.path.getsize(p) for p, _, _ in jobs)
    args_t = list(zip(*jobs))
    rows = []

    try:
        from distributed import Client, LocalCluster
    except Exception as exc:  # Debian's Dask imports only on the interpreter Debian built it for
        print(f"distributed not usable here ({type(exc).__name__}): no Dask figure")
        Client = None

    print(f"{len(jobs)} files, {size / 1e6:.1f} MB, best of {args.rounds}")
    for label, job in (("hand back the count", count_job), ("hand back the Nodes", nodes_job),
                       ("hand back the Nodes as children of one Node", bundled_job)):
        rows = []
        serial, expected = best(lambda: total(job(*j) for j in jobs), args.rounds)
        rows.append(("1 thread (baseline)", serial))
        with cf.ThreadPoolExecutor(2) as pool:
            t, found = best(lambda: total(pool.map(job, *args_t)), args.rounds)
        rows.append(("2 threads", t))
        assert found == expected
        with cf.ProcessPoolExecutor(2) as pool:
            t, found = best(lambda: total(pool.map(job, *args_t)), args.rounds)
        rows.append(("2 processes", t))
        assert found == expected
        if Client is not None:
            with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                              silence_logs=40) as cluster, Client(cluster) as client:
                # The job is sent by value: the workers need not find this script.
                t, found = best(lambda: total(client.gather(client.map(job, *args_t, pure=False))),
                                args.rounds)
            rows.append(("2 Dask workers", t))
            assert found == expected
        print(f"\n{label} ({expected} matches)")
        print(f"{'':22}{'seconds':>9}{'MB/s':>8}{'speed-up':>10}")
        for name, t in rows:
            print(f"{name:22}{t:9.3f}{size / t / 1e6:8.0f}{serial / t:9.2f}x")


if __name__ == "__main__":
    main()
