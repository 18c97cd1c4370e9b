"""Searching a directory of XML files with Dask: a LocalCluster of worker processes reads and
searches the files and hands to_dict results and Node trees back to the client.

Usage: python3 examples/dask_corpus.py DIRECTORY ROOT_TAG NAME [--workers 2] [--pause SECONDS]

Every *.xml file of DIRECTORY is one task: read_file(path, ROOT_TAG), then search_by_name(NAME).
A task's result travels back by pickle: the Node trees as one flat payload each, the to_dict
results as plain Python data. The run is then repeated in this process alone and the two are
compared. --pause makes every task wait that long, as a slow disk would, which leaves time to
watch the cluster (or to kill one of its workers: Dask runs the lost tasks again elsewhere).
"""
import argparse
import glob
import os
import sys
import time

import vantelix


def search_file(path, root_tag, name, pause=0.0):
    """One task: the file's tree and its matches, each as Nodes and as to_dict data."""
    tree = vantelix.read_file(path, root_tag)
    found = tree.search_by_name(name)
    if pause:
        time.sleep(pause)
    return {
        "file": os.path.basename(path),
        "tree": tree,
        "found": found,
        "found_dicts": [node.to_dict() for node in found],
        "pid": os.getpid(),
    }


def xml_files(directory):
    return sorted(glob.glob(os.path.join(directory, "*.xml")))


def submit_all(client, paths, root_tag, name, pause=0.0):
    """Futures, one per file. pure=False: a rerun is a new task, never an old cached result."""
    return [client.submit(search_file, p, root_tag, name, pause, pure=False) for p in paths]


def run_single(paths, root_tag, name):
    return [search_file(p, root_tag, name) for p in paths]


def comparable(result):
    """A result without the worker's pid, its Nodes written out: equal runs compare equal."""
    return (result["file"], vantelix.write_string(result["tree"]),
            [vantelix.write_string(n) for n in result["found"]], result["found_dicts"])


def start_cluster(workers):
    from distributed import Client, LocalCluster

    # One thread per worker process: the processes, not threads, are the unit of parallelism.
    cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                           dashboard_address=None)
    return cluster, Client(cluster)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("directory")
    ap.add_argument("root_tag")
    ap.add_argument("name")
    ap.add_argument("--workers", type=int, default=2)
    ap.add_argument("--pause", type=float, default=0.0)
    args = ap.parse_args(argv)

    paths = xml_files(args.directory)
    cluster, client = start_cluster(args.workers)
    try:
        t0 = time.perf_counter()
        results = client.gather(submit_all(client, paths, args.root_tag, args.name, args.pause))
        seconds = time.perf_counter() - t0
    finally:
        client.close()
        cluster.close()
    single = run_single(paths, args.root_tag, args.name)
    same = [comparable(r) for r in results] == [comparable(r) for r in single]
    print(f"{len(results)} files, {sum(len(r['found']) for r in results)} <{args.name}> found "
          f"by {len({r['pid'] for r in results})} worker processes in {seconds:.2f} s")
    print(f"same as one process: {same}")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
