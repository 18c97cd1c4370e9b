"""Searching a directory of XML files with Dask: a LocalCluster of worker processes reads and
searches the files and hands to_dict results and Node trees back to the client.

Usage: python3 examples/dask_corpus.py DIRECTORY ROOT_TAG NAME [--workers 2] [--pause SECONDS]
       python3 examples/dask_corpus.py FILE TAG NAME --split [--batch 1000] [--workers 2]

Every *.xml file of DIRECTORY is one task: read_file(path, ROOT_TAG), then search_by_name(NAME).
A task's result travels back by pickle: the Node trees as one flat payload each, the to_dict
results as plain Python data. The run is then repeated in this process alone and the two are
compared. --pause makes every task wait that long, as a slow disk would, which leaves time to
watch the cluster (or to kill one of its workers: Dask runs the lost tasks again elsewhere).

With --split, the first argument is one large file instead: this process streams it with
iter_elements(FILE, TAG), never reading it whole, and sends each --batch elements to
the workers as the children of one Node, so that a batch travels as one flat payload; each task
searches its elements for NAME and returns the matches as to_dict data, in document order.
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


def element_batches(path, tag, size):
    """The elements named `tag` of one file, `size` at a time, each batch one Node whose children
    they are: a single pickle payload per batch instead of one per element."""
    batch = []
    for element in vantelix.iter_elements(path, tag):
        batch.append(element)
        if len(batch) == size:
            yield vantelix.Node("batch", children=batch)
            batch = []
    if batch:
        yield vantelix.Node("batch", children=batch)


def search_batch(batch, name):
    """One task: for each element of the batch, its matches as to_dict data."""
    return [[found.to_dict() for found in element.search_by_name(name)] for element in batch.children]


def search_split(client, path, tag, name, size):
    """The matches of every element of one large file, searched batch by batch on the cluster.
    Batches are submitted as the stream reaches them, so reading and searching overlap."""
    futures = [client.submit(search_batch, batch, name, pure=False)
               for batch in element_batches(path, tag, size)]
    return [matches for batch in client.gather(futures) for matches in batch]


def search_split_single(path, tag, name):
    return [[found.to_dict() for found in element.search_by_name(name)]
            for element in vantelix.iter_elements(path, tag)]


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
    ap.add_argument("--split", action="store_true", help="DIRECTORY is one large file to split")
    ap.add_argument("--batch", type=int, default=1000)
    args = ap.parse_args(argv)
    if args.split:
        return main_split(args)

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


def main_split(args):
    cluster, client = start_cluster(args.workers)
    try:
        t0 = time.perf_counter()
        results = search_split(client, args.directory, args.root_tag, args.name, args.batch)
        seconds = time.perf_counter() - t0
    finally:
        client.close()
        cluster.close()
    same = results == search_split_single(args.directory, args.root_tag, args.name)
    print(f"{len(results)} <{args.root_tag}> elements in batches of {args.batch}, "
          f"{sum(map(len, results))} <{args.name}> found in {seconds:.2f} s")
    print(f"same as one process: {same}")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
