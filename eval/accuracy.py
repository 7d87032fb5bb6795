"""Accuracy of this project's matcher and of OpenCV's peers against ground
truth; run through eval/run, whose header gives the usage."""

import argparse
import os
import sys

import numpy as np

import methods
import pairs

GROUPS = {
    "all": pairs.pair_names(),
    "stereo": ["aloe"],
    "synthetic": ["syn_" + p for p in pairs.SYNTHETIC_PHOTOS],
    "viewpoint": ["graf"],
    # Not part of "all": 28 more rendered pairs (pairs.MORE_PHOTOS).
    "more": pairs.more_pair_names(),
    # Not part of "all" either: ten photos through rendered homographies, and
    # the same photos panned beyond the default search window.
    "views": pairs.view_pair_names(),
    "pans": pairs.pan_pair_names(),
    # Nor the same photos seen by a turned camera (35 - 325 degrees).
    "turns": pairs.turn_pair_names(),
    # Nor zoomed by 1.5 - 2.2 (or out by as much) and turned by any angle.
    "zooms": pairs.zoom_pair_names(),
    # Nor another family of warps on twelve other photos.
    "fields": pairs.field_pair_names(),
    # Nor synthetic pairs whose image 2 has another exposure or tone curve.
    "exposures": pairs.exposure_pair_names(),
    # Nor rendered rectified stereo pairs: smooth slanted surfaces, and
    # layered scenes with occlusions.
    "slants": pairs.slant_pair_names(),
    "layers": pairs.layer_pair_names(),
}

COLUMNS = [
    ("pair", "pair"), ("method", "method"), ("mean", "mean EPE"), ("median", "median EPE"),
    ("within1", "<1px %"), ("within3", "<3px %"), ("seconds", "time s"),
    ("first_seconds", "1st call s"),
    ("coverage", "valid %"), ("valid_mean", "mean EPE valid"), ("valid_within1", "<1px % valid"),
]


def endpoint_errors(flow, gt_flow, mask):
    diff = flow[mask] - gt_flow[mask]
    err = np.sqrt(diff[:, 0] ** 2 + diff[:, 1] ** 2)
    # A missing or non-finite vector is as wrong as it gets.
    return np.where(np.isfinite(err), err, np.inf)


def summarise(err):
    if err.size == 0:
        return {"mean": np.nan, "median": np.nan, "within1": np.nan, "within3": np.nan}
    return {"mean": float(np.mean(err)), "median": float(np.median(err)),
            "within1": 100.0 * float(np.mean(err < 1.0)),
            "within3": 100.0 * float(np.mean(err < 3.0))}


def measure(pair, result):
    """Figures over every pixel with ground truth; the method's own valid
    pixels only add the coverage and the figures on them."""
    if result.flow.shape != pair.gt_flow.shape:
        raise RuntimeError("flow of shape %s, expected %s" % (result.flow.shape, pair.gt_flow.shape))
    row = summarise(endpoint_errors(result.flow, pair.gt_flow, pair.gt_mask))
    row["seconds"] = result.seconds
    row["first_seconds"] = getattr(result, "first_seconds", None)
    if result.valid is not None:
        kept = pair.gt_mask & result.valid
        row["coverage"] = 100.0 * float(kept.sum()) / max(1, int(pair.gt_mask.sum()))
        on_valid = summarise(endpoint_errors(result.flow, pair.gt_flow, kept))
        row["valid_mean"] = on_valid["mean"]
        row["valid_within1"] = on_valid["within1"]
    return row


def format_value(key, value):
    if value is None or (isinstance(value, float) and np.isnan(value)):
        return "-"
    if isinstance(value, str):
        return value
    if key in ("seconds", "first_seconds"):
        return "%.3f" % value
    if key in ("within1", "within3", "coverage", "valid_within1"):
        return "%.1f" % value
    return "%.2f" % value


def print_table(rows, markdown):
    header = [title for _, title in COLUMNS]
    body = [[format_value(key, row.get(key)) for key, _ in COLUMNS] for row in rows]
    if markdown:
        print("| " + " | ".join(header) + " |")
        print("|" + "|".join("---" if i < 2 else "---:" for i in range(len(header))) + "|")
        for cells in body:
            print("| " + " | ".join(cells) + " |")
        return
    widths = [max(len(r[i]) for r in [header] + body) for i in range(len(header))]
    for cells in [header] + body:
        print("  ".join(c.ljust(w) if i < 2 else c.rjust(w)
                        for i, (c, w) in enumerate(zip(cells, widths))))


def mean_rows(rows, names, label):
    """Per method, the mean of each figure over the pairs in `names`."""
    out = []
    for method in dict.fromkeys(r["method"] for r in rows):
        chosen = [r for r in rows if r["method"] == method and r["pair"] in names and "note" not in r]
        if len(chosen) != len(names):
            continue
        row = {"pair": label, "method": method}
        for key, _ in COLUMNS[2:]:
            values = [r.get(key) for r in chosen]
            if all(v is not None for v in values):
                row[key] = float(np.mean(values))
        out.append(row)
    return out


def write_flo(path, flow):
    h, w = flow.shape[:2]
    with open(path, "wb") as f:
        np.array([202021.25], np.float32).tofile(f)
        np.array([w, h], np.int32).tofile(f)
        flow.astype(np.float32).tofile(f)


def save_pair(folder, pair):
    import cv2
    os.makedirs(folder, exist_ok=True)
    cv2.imwrite(os.path.join(folder, "image1.png"), pair.image1)
    cv2.imwrite(os.path.join(folder, "image2.png"), pair.image2)
    cv2.imwrite(os.path.join(folder, "gt_mask.png"), pair.gt_mask.astype(np.uint8) * 255)
    write_flo(os.path.join(folder, "gt.flo"), pair.gt_flow)


def parse_list(text, known, what):
    items = []
    for item in text.split(","):
        item = item.strip()
        if not item:
            continue
        expanded = GROUPS.get(item, [item]) if what == "pair" else [item]
        for name in expanded:
            if name not in known and pairs.seeded_pair(name) is None:
                raise SystemExit("unknown %s %r; known: %s" % (what, name, ", ".join(known)))
            if name not in items:
                items.append(name)
    return items


def main(argv):
    parser = argparse.ArgumentParser(
        prog="eval/run", description="Endpoint error of the matchers against ground truth.")
    parser.add_argument("--pairs", default="all",
                        help="comma list of pairs or groups (all, stereo, synthetic, viewpoint; "
                             "pairs: %s; more: 28 more rendered pairs syn_<photo>_<seed>; "
                             "views: 10 rendered homographies view_<photo>; pans: 10 wide "
                             "pans pan_<photo>; turns: the 10 seen by a camera turned by "
                             "35 - 325 degrees turn_<photo>; zooms: the 10 zoomed in or out by "
                             "1.5 - 2.2 and turned zoom_<photo>; "
                             "fields: 12 other photos under smoothed "
                             "random fields field_<photo>_<seed>; exposures: 12 synthetic "
                             "pairs whose image 2 is blown out, crushed, both or toned "
                             "expo_<photo>_<seed>; slants: 10 rendered "
                             "rectified stereo pairs of slanted smooth surfaces "
                             "slant_<photo>_<seed>; layers: 10 rendered layered stereo "
                             "scenes layers_<seed>; none of these in all; any other seed: "
                             "syn_<photo>_<seed>, expo_<photo>_<seed>, view_<photo>_<seed>, "
                             "pan_<photo>_<seed>, turn_<photo>_<seed>, zoom_<photo>_<seed>, "
                             "field_<photo>_<seed>, slant_<photo>_<seed>, layers_<seed>)"
                             % ", ".join(pairs.pair_names()))
    parser.add_argument("--methods", default=",".join(methods.METHOD_NAMES),
                        help="comma list of %s (default: all)" % ", ".join(methods.METHOD_NAMES))
    parser.add_argument("--size", type=int, default=320,
                        help="longer side of the working size in pixels; 0 = full size (default 320)")
    parser.add_argument("--threads", type=int, default=2, help="threads of every method (default 2)")
    parser.add_argument("--repeat", type=int, default=1,
                        help="runs per pair and method; the fastest time is shown (default 1). "
                             "ours: that many calls in one driver process (its first call is "
                             "shown too); peers: that many calls in this process")
    parser.add_argument("--markdown", action="store_true", help="print a Markdown table")
    parser.add_argument("--data", default=pairs.DEFAULT_DATA,
                        help="folder of the sample images (default: opencv-doc's)")
    parser.add_argument("--save", metavar="DIR",
                        help="also write each pair (images, gt.flo, gt_mask.png) and each "
                             "method's field (<method>.flo) under DIR/<pair>/")
    parser.add_argument("--ours-args", default="",
                        help="extra arguments for %s, e.g. '--search-radius 48 48'"
                             % methods.DRIVER_NAME)
    args = parser.parse_args(argv)

    pair_list = parse_list(args.pairs, pairs.pair_names() + pairs.more_pair_names() +
                           pairs.view_pair_names() + pairs.pan_pair_names() +
                           pairs.turn_pair_names() + pairs.zoom_pair_names() +
                           pairs.field_pair_names() + pairs.exposure_pair_names() +
                           pairs.slant_pair_names() +
                           pairs.layer_pair_names(), "pair")
    method_list = parse_list(args.methods, methods.METHOD_NAMES, "method")
    if args.threads < 1 or args.repeat < 1:
        raise SystemExit("--threads and --repeat must be at least 1")

    import cv2
    cv2.setNumThreads(args.threads)
    os.environ["OMP_NUM_THREADS"] = str(args.threads)
    ours_args = args.ours_args.split()

    rows = []
    notes = []
    for name in pair_list:
        try:
            pair = pairs.load_pair(name, args.data, args.size)
        except FileNotFoundError as missing:
            raise SystemExit("eval/run: %s" % missing)
        if args.save:
            save_pair(os.path.join(args.save, name), pair)
        for method in method_list:
            if method in methods.STEREO_ONLY and pair.kind != "stereo":
                continue
            run = methods.RUNNERS[method]
            try:
                best = None
                # ours repeats inside its one driver process (warm calls).
                ours = method in methods.OURS
                for _ in range(1 if ours else args.repeat):
                    result = run(pair, ours_args, args.repeat) if ours else run(pair)
                    if best is None or (result.seconds or 0) < (best.seconds or 0):
                        best = result
                row = measure(pair, best)
                if args.save:
                    write_flo(os.path.join(args.save, name, method + ".flo"), best.flow)
            except (methods.Unavailable, RuntimeError, cv2.error) as failure:
                reason = str(failure).strip().splitlines()[-1] if str(failure).strip() else repr(failure)
                notes.append("%s on %s: %s" % (method, name, reason))
                row = {"note": reason}
            row.update({"pair": name, "method": method})
            rows.append(row)
            print("%-14s %-9s %s" % (name, method, "done" if "note" not in row else "skipped"),
                  file=sys.stderr, flush=True)

    synthetic = [n for n in GROUPS["synthetic"] if n in pair_list]
    table = [r for r in rows if "note" not in r]
    if len(synthetic) > 1:
        table += mean_rows(rows, synthetic, "synthetic mean")
    more = [n for n in GROUPS["more"] if n in pair_list]
    if len(more) > 1:
        table += mean_rows(rows, more, "more mean")
    for group in ("views", "pans", "turns", "zooms", "fields", "exposures", "slants", "layers"):
        chosen = [n for n in GROUPS[group] if n in pair_list]
        if len(chosen) > 1:
            table += mean_rows(rows, chosen, group + " mean")
    print("Working size: longer side %s, %d thread(s); EPE in pixels over every pixel with "
          "ground truth inside image 2; 'valid' columns: the method's own valid pixels."
          % (args.size if args.size > 0 else "as given", args.threads))
    if args.repeat > 1:
        print("time s: the fastest of %d calls; ours in one driver process (warm calls, as the "
              "peers' in this process), '1st call s' its first call (a fresh process)."
              % args.repeat)
    else:
        print("time s: one call; ours in a fresh driver process (its first call, which also "
              "sets the process up; --repeat N times warm calls), the peers in this process.")
    print_table(table, args.markdown)
    for note in notes:
        print("not measured: " + note)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
