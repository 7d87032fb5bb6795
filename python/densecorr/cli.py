"""The ``densecorr`` command: match one pair, or a batch of pairs on a Dask cluster."""
from __future__ import annotations

import argparse
import os
import sys
import time
from typing import Any, Dict, Optional, Sequence

from .pictures import OUTPUT_FILES


def _radius(text: str):
    parts = text.split(",")
    try:
        values = [int(p) for p in parts]
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected R or RX,RY in pixels, got {text!r}") from None
    if len(values) not in (1, 2) or min(values) < 0:
        raise argparse.ArgumentTypeError(f"expected R or RX,RY >= 0, got {text!r}")
    return values[0] if len(values) == 1 else tuple(values)


def _option(text: str):
    key, sep, value = text.partition("=")
    if not sep or not key:
        raise argparse.ArgumentTypeError(f"expected KEY=VALUE, got {text!r}")
    if value.strip().lower() in ("true", "false"):
        return key.strip(), value.strip().lower() == "true"
    try:
        number: Any = int(value)
    except ValueError:
        try:
            number = float(value)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{key}: expected a number, got {value!r}") from None
    return key.strip(), number


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a positive integer, got {text!r}")
    return value


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="densecorr",
        description="Dense correspondence fields between images.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def matching_options(p: argparse.ArgumentParser) -> None:
        p.add_argument("--max-side", type=_positive, metavar="N",
                       help="scale images whose longer side exceeds N pixels down to N first "
                            "(the outputs are at that size); default: match at full size")
        p.add_argument("--search-radius", type=_radius, metavar="R|RX,RY",
                       help="largest displacement searched, pixels; default: from the image size")
        p.add_argument("--option", type=_option, action="append", default=[], metavar="KEY=VALUE",
                       help="a matcher option, repeatable (e.g. rectified=true for a "
                            "rectified stereo pair, flow_warps=0, root_normalise=true); "
                            "see densecorr.match_defaults()")

    m = commands.add_parser(
        "match", help="match IMAGE1 to IMAGE2",
        description="Match every pixel of IMAGE1 to IMAGE2 and write into OUT: "
                    + ", ".join(OUTPUT_FILES) + ". flow.flo is the field (dx, dy) in the "
                    "Middlebury .flo format; valid.png is white where the match is reliable.")
    m.add_argument("image1")
    m.add_argument("image2")
    m.add_argument("-o", "--output", required=True, metavar="OUT", help="output folder")
    matching_options(m)

    b = commands.add_parser(
        "batch", help="match every pair of a CSV file, on a Dask cluster",
        description="Match every pair listed in PAIRS (CSV rows image1,image2[,name]; relative "
                    "paths from the CSV's folder) into DIR/<name>/, the same files as "
                    "'densecorr match'. Pairs whose folder exists are skipped, so an "
                    "interrupted batch resumes; failures go to DIR/report.csv and do not stop "
                    "the rest. Exit status: 0 all done, 1 some failed.")
    b.add_argument("pairs", metavar="PAIRS")
    b.add_argument("-o", "--output", required=True, metavar="DIR", help="output folder")
    b.add_argument("--scheduler", metavar="ADDRESS",
                   help="address of a running Dask scheduler (e.g. tcp://host:8786); its "
                        "workers need densecorr installed and the image paths readable. "
                        "Default: a local cluster on this machine's cores")
    b.add_argument("--workers", type=_positive, metavar="N",
                   help="worker processes of the local cluster (default: one per core)")
    b.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    matching_options(b)
    return parser


def _settings(args: argparse.Namespace) -> Dict[str, Any]:
    return {"max_side": args.max_side, "search_radius": args.search_radius,
            "options": dict(args.option)}


def _run_match(args: argparse.Namespace) -> int:
    from .pictures import match_files

    start = time.monotonic()
    valid = match_files(args.image1, args.image2, args.output, _settings(args))
    print(f"matched in {time.monotonic() - start:.1f} s, {100 * valid:.1f}% of pixels valid; "
          f"outputs in {os.path.abspath(args.output)}")
    return 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = _parser().parse_args(argv)
    try:
        if args.command == "match":
            return _run_match(args)
        from .batch import run_batch

        if not os.path.isfile(args.pairs):
            raise ValueError(f"no such pair list: {args.pairs}")
        return run_batch(args.pairs, args.output, _settings(args), scheduler=args.scheduler,
                         workers=args.workers, quiet=args.quiet)
    except KeyboardInterrupt:
        print("densecorr: interrupted", file=sys.stderr)
        return 130
    except (ValueError, TypeError, MemoryError, OSError, NotImplementedError) as e:
        message = str(e) or type(e).__name__
        if isinstance(e, MemoryError):
            message = "out of memory" + (f": {e}" if str(e) else "") + \
                      " (try --max-side or a smaller --search-radius)"
        print(f"densecorr: error: {message}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
