"""The Python functions give the same bits as the host modules on the same data.

Runs every case through Octave's cellcost.mex / densedisp.mex (and the
matcher's densematch.mex, where built) from the CMake
build folder (DENSECORR_MEX_DIR, default build/) in one octave-cli session,
exchanging raw column-major files.
"""
import os
import shutil
import subprocess

import numpy as np
import pytest

import densecorr

MEX_DIR = os.environ.get(
    "DENSECORR_MEX_DIR",
    os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "build"),
)


def _host_available():
    if shutil.which("octave-cli") is None:
        return "octave-cli not found (Debian package octave)"
    for module in ("cellcost.mex", "densedisp.mex"):
        if not os.path.exists(os.path.join(MEX_DIR, module)):
            return (f"{module} not found in {os.path.abspath(MEX_DIR)}: build the host modules "
                    "(cmake -S . -B build && cmake --build build) or set DENSECORR_MEX_DIR")
    return None


def _mat(values):
    return "[" + " ".join(repr(float(v)) if np.isfinite(v) else ("Inf" if v > 0 else "-Inf")
                          for v in values) + "]"


def _descriptors(rng, shape1, shape2, special=False):
    d1 = rng.random(shape1, dtype=np.float32)
    d2 = rng.random(shape2, dtype=np.float32)
    if special:  # a few non-finite entries travel through both paths alike
        d1[1, 2, 0] = np.nan
        d2[3, 1, 1] = np.inf
    return d1, d2


def _cases(rng):
    """(kind, python args, host params); the descriptors in several memory orders."""
    cases = []
    d1, d2 = _descriptors(rng, (23, 31, 7), (19, 27, 7))
    cases.append(("cellcost", (np.ascontiguousarray(d1), d2), dict(
        n_tree_level=3, search_radius=(7, 5), grid_size=2, truncate_const=0.8)))
    d1, d2 = _descriptors(rng, (16, 20, 3), (16, 20, 3), special=True)
    cases.append(("cellcost", (d1, d2), dict(
        n_tree_level=4, search_radius=(3, 6), grid_size=1, truncate_const=np.inf)))
    d1, d2 = _descriptors(rng, (40, 30, 4), (33, 44, 4))
    cases.append(("cellcost", (d1[::2, ::-1], d2), dict(
        n_tree_level=2, search_radius=(10, 5), grid_size=4, truncate_const=0.5)))
    d1, d2 = _descriptors(rng, (21, 17, 9), (25, 19, 9))
    field = rng.integers(-3, 4, size=(21, 17, 2))  # int64, C order: converted
    cases.append(("densedisp", (d1, d2, field), dict(
        search_grid_size=1, search_radius=(2, 3), deform_coeff=0.05, truncate_const=1.3)))
    d1, d2 = _descriptors(rng, (12, 14, 5), (9, 10, 5), special=True)
    field = rng.integers(-12, 13, size=(12, 14, 2)).astype(np.int32)  # some pixels find nothing
    cases.append(("densedisp", (np.ascontiguousarray(d1), d2, field), dict(
        search_grid_size=2, search_radius=(3, 1), deform_coeff=0.0, truncate_const=np.inf)))
    if densecorr.has_matcher() and os.path.exists(os.path.join(MEX_DIR, "densematch.mex")):
        # A small photo-like pair: image 2 is image 1 moved by (3, -2) with noise.
        image = (rng.random((30, 40)) * 255).astype(np.uint8)
        image = np.repeat(np.repeat(image, 2, axis=0), 2, axis=1)[:48, :56]
        rgb = np.dstack([image, image[::-1], 255 - image])
        moved = np.roll(rgb, (-2, 3), axis=(0, 1))
        moved = np.clip(moved + rng.integers(-8, 9, moved.shape), 0, 255).astype(np.uint8)
        cases.append(("densematch", (rgb, moved), dict(search_radius=(6, 6), bp_iterations=3)))
    if densecorr.has_matcher() and os.path.exists(os.path.join(MEX_DIR, "densedesc.mex")):
        image = rng.random((19, 23, 3))
        image[2, 5, 1] = np.nan
        cases.append(("densedesc", (image[:, ::-1],), dict(n_orientations=6, cell_size=2,
                                                            norm_floor=0.05)))
    return cases


def _write(path, array):
    with open(path, "wb") as f:
        f.write(np.asarray(array).tobytes(order="F"))


def _octave_script(cases, folder):
    lines = [
        "1;",
        "function a = rd(f, cls, dims)",
        "  fid = fopen(f, 'r'); a = fread(fid, Inf, ['*' cls]); fclose(fid);",
        "  a = reshape(a, dims);",
        "end",
        "function wr(f, a)",
        "  fid = fopen(f, 'w'); fwrite(fid, a, class(a)); fclose(fid);",
        "end",
        f"addpath('{os.path.abspath(MEX_DIR)}');",
    ]
    for i, (kind, args, params) in enumerate(cases):
        if kind == "densedesc":
            image = args[0]
            _write(folder / f"c{i}_d1.bin", image)
            lines.append(f"a = rd('c{i}_d1.bin', 'double', {_mat(image.shape)});")
            fields = ", ".join(f"'{k}', {_mat([v])}" for k, v in params.items())
            lines.append(f"d = densedesc(a, struct({fields}));")
            lines.append(f"wr('c{i}_o0.bin', d);")
            continue
        if kind == "densematch":
            a, b = args
            _write(folder / f"c{i}_d1.bin", a)
            _write(folder / f"c{i}_d2.bin", b)
            lines.append(f"a = rd('c{i}_d1.bin', 'uint8', {_mat(a.shape)});")
            lines.append(f"b = rd('c{i}_d2.bin', 'uint8', {_mat(b.shape)});")
            rx, ry = params["search_radius"]
            lines.append(f"o = struct('search_radius', [{rx} {ry}], "
                         f"'bp_iterations', {params['bp_iterations']});")
            lines.append("[dx, dy, valid, cost] = densematch(a, b, o);")
            lines.append(f"wr('c{i}_o0.bin', dx); wr('c{i}_o1.bin', dy); "
                         f"wr('c{i}_o2.bin', uint8(valid)); wr('c{i}_o3.bin', cost);")
            continue
        d1, d2 = (np.asarray(a, dtype=np.float32) for a in args[:2])
        _write(folder / f"c{i}_d1.bin", d1)
        _write(folder / f"c{i}_d2.bin", d2)
        lines.append(f"d1 = rd('c{i}_d1.bin', 'single', {_mat(d1.shape)});")
        lines.append(f"d2 = rd('c{i}_d2.bin', 'single', {_mat(d2.shape)});")
        rx, ry = params["search_radius"]
        if kind == "cellcost":
            lines.append(
                f"p = struct('n_tree_level', {params['n_tree_level']}, "
                f"'search_radius', [{rx} {ry}], 'grid_size', {params['grid_size']}, "
                f"'truncate_const', {_mat([params['truncate_const']])});")
            lines.append("[a, b, c] = cellcost(d1, d2, p);")
            lines.append(f"wr('c{i}_o0.bin', a); wr('c{i}_o1.bin', b); wr('c{i}_o2.bin', c);")
        else:
            # The host's field: 2 x (H1*W1), column p = x*H1 + y.
            field = np.asarray(args[2]).astype(np.int32).transpose(1, 0, 2).reshape(-1, 2).T
            _write(folder / f"c{i}_f.bin", field)
            lines.append(f"f = rd('c{i}_f.bin', 'int32', {_mat(field.shape)});")
            lines.append(
                f"p = struct('search_grid_size', {params['search_grid_size']}, "
                f"'search_radius', [{rx} {ry}], "
                f"'deform_coeff', {_mat([params['deform_coeff']])}, "
                f"'truncate_const', {_mat([params['truncate_const']])});")
            lines.append("[a, b] = densedisp(d1, d2, f, p);")
            lines.append(f"wr('c{i}_o0.bin', a); wr('c{i}_o1.bin', b);")
    lines.append("disp('host cases done');")
    return "\n".join(lines) + "\n"


def test_same_bits_as_host_modules(tmp_path, rng):
    reason = _host_available()
    if reason:
        pytest.skip(reason)
    cases = _cases(rng)
    (tmp_path / "cases.m").write_text(_octave_script(cases, tmp_path))
    run = subprocess.run(["octave-cli", "--no-gui", "--norc", "--quiet", "cases.m"],
                         cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0 and "host cases done" in run.stdout, run.stdout + run.stderr

    for i, (kind, args, params) in enumerate(cases):
        n_out = {"cellcost": 3, "densedisp": 2, "densematch": 4, "densedesc": 1}[kind]
        host = [(tmp_path / f"c{i}_o{k}.bin").read_bytes() for k in range(n_out)]
        if kind == "densedesc":
            ours = [densecorr.describe(*args, **params).tobytes(order="F")]
        elif kind == "densematch":
            r = densecorr.match(*args, **params)
            ours = [r.flow[:, :, 0].tobytes(order="F"), r.flow[:, :, 1].tobytes(order="F"),
                    r.valid.astype(np.uint8).tobytes(order="F"), r.cost.tobytes(order="F")]
            assert r.valid.mean() > 0.5
        elif kind == "cellcost":
            r = densecorr.cellcost(*args, **params)
            ours = [r.node_cost.tobytes(order="F"),
                    r.shifts.T.tobytes(order="F"),  # host: 2 x n_shift
                    r.grid.astype(np.int32).tobytes()]
            assert r.node_cost.size > 0
        else:
            r = densecorr.densedisp(*args, **params)
            h, w = r.best_cost.shape
            ours = [r.disparity.transpose(1, 0, 2).reshape(-1, 2).T.tobytes(order="F"),
                    r.best_cost.tobytes(order="F")]
        for k, (a, b) in enumerate(zip(ours, host)):
            assert a == b, f"case {i} ({kind}), output {k} differs from the host module's"
