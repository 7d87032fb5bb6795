"""Matching many pairs on a Dask cluster.

The client reads the pair list, skips the pairs whose output folder exists
and sends each remaining pair to the cluster as file names only: the worker
reads the images, matches them and writes the outputs itself, into a hidden
folder that it renames to the pair's name once every file is written. So an
output folder that exists is complete, a batch can be stopped and started
again, and a worker that dies mid-pair leaves nothing that looks finished
(the scheduler gives the pair to another worker).
"""
from __future__ import annotations

import csv
import logging
import os
import re
import shutil
import sys
import time
import uuid
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Tuple

PARTIAL_PREFIX = ".partial-"
REPORT_NAME = "report.csv"
REPORT_FIELDS = ("line", "image1", "image2", "name", "status", "seconds", "valid_fraction",
                 "error")
_NAME = re.compile(r"^[A-Za-z0-9][A-Za-z0-9._-]{0,199}$")


@dataclass
class Pair:
    line: int
    image1: str
    image2: str
    name: str
    outcome: Dict[str, Any] = field(default_factory=dict)


def _derived_name(image1: str, image2: str) -> str:
    stem = lambda p: os.path.splitext(os.path.basename(p))[0]  # noqa: E731
    name = re.sub(r"[^A-Za-z0-9._-]", "_", f"{stem(image1)}__{stem(image2)}").lstrip("._-")
    return name[:200] or "pair"


def read_pairs(path: str) -> Tuple[List[Pair], List[Pair]]:
    """The pairs of a CSV file and the rows that cannot be run.

    Rows: ``image1,image2[,name]``; an optional header row starting with
    ``image1``; blank rows and rows starting with ``#`` are skipped. Relative
    image paths are taken from the CSV file's folder. ``name`` is the output
    folder's name (letters, digits, '.', '_', '-'); by default
    ``<stem1>__<stem2>``. Rows that are malformed or reuse a name come back
    in the second list, with their error set.
    """
    base = os.path.dirname(os.path.abspath(path))
    pairs: List[Pair] = []
    bad: List[Pair] = []
    used: Dict[str, int] = {}
    with open(path, newline="") as f:
        for line, row in enumerate(csv.reader(f), start=1):
            cells = [c.strip() for c in row]
            if not any(cells) or cells[0].startswith("#"):
                continue
            if not pairs and not bad and cells[0].lower() == "image1":
                continue  # header
            if len(cells) not in (2, 3) or not cells[0] or not cells[1]:
                bad.append(Pair(line, "", "", "", {
                    "status": "failed", "error": "expected image1,image2[,name]"}))
                continue
            image1, image2 = (os.path.join(base, c) for c in cells[:2])
            name = cells[2] if len(cells) == 3 and cells[2] else _derived_name(image1, image2)
            pair = Pair(line, image1, image2, name)
            if not _NAME.match(name):
                pair.outcome = {"status": "failed", "error": f"bad output name {name!r}: use "
                                "letters, digits, '.', '_' and '-', starting with a letter or "
                                "digit"}
                bad.append(pair)
            elif name in used:
                pair.outcome = {"status": "failed", "error": f"output name {name!r} is already "
                                f"used by line {used[name]}"}
                bad.append(pair)
            else:
                used[name] = line
                pairs.append(pair)
    return pairs, bad


def run_pair(image1: str, image2: str, out_root: str, name: str,
             settings: Dict[str, Any]) -> Dict[str, Any]:
    """Match one pair into ``out_root/name``; runs on a worker.

    Never raises for a bad pair: the failure comes back in the result, so the
    cluster does not retry it. A worker that dies here is retried by the
    scheduler on another worker.
    """
    from .pictures import match_files  # imported on the worker

    final = os.path.join(out_root, name)
    if os.path.isdir(final):
        return {"status": "skipped"}
    start = time.monotonic()
    partial = os.path.join(out_root, f"{PARTIAL_PREFIX}{name}-{uuid.uuid4().hex}")
    try:
        try:
            valid_fraction = match_files(image1, image2, partial, settings)
            try:
                os.rename(partial, final)
            except OSError:
                if not os.path.isdir(final):
                    raise
                # Another worker finished the same pair first: keep its folder.
        finally:
            shutil.rmtree(partial, ignore_errors=True)
    except Exception as e:  # MemoryError included: the pair fails, the batch goes on
        return {"status": "failed", "error": f"{type(e).__name__}: {e}",
                "seconds": round(time.monotonic() - start, 3)}
    return {"status": "done", "seconds": round(time.monotonic() - start, 3),
            "valid_fraction": round(valid_fraction, 4)}


class _PlainProgress:
    """Stand-in for tqdm: a line per tenth of the work."""

    def __init__(self, total: int, initial: int, disable: bool):
        self.total, self.n, self.disable, self._shown = total, initial, disable, -1

    def update(self, n: int = 1) -> None:
        self.n += n
        step = self.n * 10 // max(self.total, 1)
        if not self.disable and step != self._shown:
            self._shown = step
            print(f"{self.n}/{self.total} pairs", file=sys.stderr, flush=True)

    def set_postfix_str(self, text: str) -> None:
        pass

    def close(self) -> None:
        pass


def _progress(total: int, initial: int, quiet: bool):
    try:
        from tqdm import tqdm
    except ImportError:
        return _PlainProgress(total, initial, quiet)
    return tqdm(total=total, initial=initial, unit="pair", disable=quiet, file=sys.stderr,
                dynamic_ncols=True, mininterval=0.5)


def _remove_partials(out_dir: str) -> None:
    for entry in os.listdir(out_dir):
        if entry.startswith(PARTIAL_PREFIX):
            shutil.rmtree(os.path.join(out_dir, entry), ignore_errors=True)


def _write_report(out_dir: str, rows: List[Pair]) -> str:
    path = os.path.join(out_dir, REPORT_NAME)
    tmp = f"{path}.tmp-{os.getpid()}"
    with open(tmp, "w", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=REPORT_FIELDS)
        writer.writeheader()
        for pair in sorted(rows, key=lambda p: p.line):
            writer.writerow({"line": pair.line, "image1": pair.image1, "image2": pair.image2,
                             "name": pair.name, "status": pair.outcome.get("status", ""),
                             "seconds": pair.outcome.get("seconds", ""),
                             "valid_fraction": pair.outcome.get("valid_fraction", ""),
                             "error": pair.outcome.get("error", "")})
    os.replace(tmp, path)
    return path


def _client(scheduler: Optional[str], workers: Optional[int]):
    from distributed import Client, LocalCluster

    if scheduler:
        return Client(scheduler), None
    n = workers or len(os.sched_getaffinity(0))
    # One single-threaded process per core: pairs run side by side, and the
    # nannies start each worker with OMP_NUM_THREADS=1.
    cluster = LocalCluster(n_workers=n, threads_per_worker=1, processes=True,
                           host="127.0.0.1", dashboard_address=None,
                           silence_logs=logging.ERROR)
    return Client(cluster), cluster


def run_batch(pairs_csv: str, out_dir: str, settings: Dict[str, Any],
              scheduler: Optional[str] = None, workers: Optional[int] = None,
              quiet: bool = False) -> int:
    """Run a batch; returns the exit status (0 all done, 1 some failed, 130 interrupted)."""
    from distributed import as_completed

    started = time.monotonic()
    pairs, rows = read_pairs(pairs_csv)
    out_dir = os.path.abspath(out_dir)
    os.makedirs(out_dir, exist_ok=True)
    # Left by workers that died mid-pair in an earlier run.
    _remove_partials(out_dir)
    todo = []
    for pair in pairs:
        if os.path.isdir(os.path.join(out_dir, pair.name)):
            pair.outcome = {"status": "skipped"}
        else:
            todo.append(pair)
    rows += pairs
    bar = _progress(len(pairs), len(pairs) - len(todo), quiet)
    interrupted = False
    client = cluster = None
    try:
        for pair in todo:
            pair.outcome = {"status": "interrupted"}  # until its result arrives
        if todo:
            client, cluster = _client(scheduler, workers)
            futures = {}
            for pair in todo:
                future = client.submit(run_pair, pair.image1, pair.image2, out_dir, pair.name,
                                       settings, key=f"densecorr-{pair.name}-{uuid.uuid4().hex}",
                                       pure=False)
                futures[future] = pair
            failed = 0
            for future in as_completed(futures):
                pair = futures[future]
                try:
                    pair.outcome = future.result()
                except Exception as e:  # e.g. KilledWorker: the pair killed every worker it met
                    pair.outcome = {"status": "failed", "error": f"{type(e).__name__}: {e}"}
                if pair.outcome.get("status") == "failed":
                    failed += 1
                    bar.set_postfix_str(f"{failed} failed")
                bar.update(1)
    except KeyboardInterrupt:
        interrupted = True
    finally:
        bar.close()
        # Closing a local cluster takes a moment: a Ctrl-C then must not cost
        # the report of what ran.
        for closable in (client, cluster):
            if closable is None:
                continue
            try:
                closable.close()
            except KeyboardInterrupt:
                interrupted = True
        if not interrupted:
            # Every pair has its answer: what is left was written by workers
            # that died mid-pair.
            _remove_partials(out_dir)
        for pair in todo:
            # Finished by a worker after the client stopped listening.
            if (pair.outcome.get("status") == "interrupted"
                    and os.path.isdir(os.path.join(out_dir, pair.name))):
                pair.outcome = {"status": "done"}
        report = _write_report(out_dir, rows)

    counts = {s: sum(1 for p in rows if p.outcome.get("status") == s)
              for s in ("done", "skipped", "failed", "interrupted")}
    elapsed = time.monotonic() - started
    print(f"{len(rows)} pairs: {counts['done']} matched, {counts['skipped']} already done, "
          f"{counts['failed']} failed"
          + (f", {counts['interrupted']} not run (interrupted)" if interrupted else "")
          + f" ({elapsed:.1f} s)")
    for pair in sorted(rows, key=lambda p: p.line):
        if pair.outcome.get("status") == "failed":
            print(f"  line {pair.line}: {pair.outcome.get('error')}")
    print(f"report: {report}")
    if interrupted:
        return 130
    return 1 if counts["failed"] else 0
