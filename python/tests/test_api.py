"""The numpy API of cellcost and densedisp: layouts, results, errors, the GIL."""
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import densecorr


def _desc(rng, h, w, c):
    return rng.random((h, w, c), dtype=np.float32)


def test_cellcost_shapes_and_translation_list(rng):
    # search_radius (10, 5), grid 4 -> 5 x 3 translations; 3 levels -> 21 cells.
    d1, d2 = _desc(rng, 24, 32, 4), _desc(rng, 20, 28, 4)
    r = densecorr.cellcost(d1, d2, 3, (10, 5), 4, 1.0)
    assert r.grid.tolist() == [5, 3]
    assert r.node_cost.shape == (15, 21) and r.node_cost.dtype == np.float32
    assert r.shifts.shape == (15, 2) and r.shifts.dtype == np.int32
    expected = [(dx, dy) for dx in (-8, -4, 0, 4, 8) for dy in (-4, 0, 4)]
    assert [tuple(s) for s in r.shifts] == expected
    # No pyramid levels: a table without columns.
    assert densecorr.cellcost(d1, d2, 0, 4, 4, 1.0).node_cost.shape == (9, 0)


def test_cellcost_level0_is_mean_clipped_distance(rng):
    d1, d2 = _desc(rng, 9, 11, 3), _desc(rng, 9, 11, 3)
    r = densecorr.cellcost(d1, d2, 1, (0, 0), 1, 0.7)
    dist = np.sqrt(((d1.astype(np.float64) - d2) ** 2).sum(axis=2))
    assert r.node_cost[0, 0] == pytest.approx(np.minimum(dist, 0.7).mean(), rel=1e-5)


def test_densedisp_moves_pixels_to_their_match(rng):
    # Image 2 is image 1 shifted by (dx, dy) = (2, -1): starting from zero,
    # every pixel whose match lies inside finds it at distance 0.
    d2 = _desc(rng, 20, 24, 5)
    d1 = np.zeros_like(d2)
    d1[1:, :-2] = d2[:-1, 2:]
    r = densecorr.densedisp(d1, d2, np.zeros((20, 24, 2), np.int32), 1, 3, 0.001, 10.0)
    inner = (slice(1, None), slice(0, -2))
    assert (r.disparity[inner] == (2, -1)).all()
    assert (r.best_cost[inner] == 0).all()
    # A pixel whose candidates all leave image 2 keeps its displacement.
    far = np.full((20, 24, 2), 1000, np.int32)
    r = densecorr.densedisp(d1, d2, far, 1, 1, 0.0, np.inf)
    assert (r.disparity == 1000).all() and np.isinf(r.best_cost).all()


@pytest.mark.parametrize("order", ["C", "F", "strided"])
def test_results_do_not_depend_on_memory_order(rng, order):
    base1, base2 = _desc(rng, 30, 26, 6), _desc(rng, 28, 22, 6)
    field = rng.integers(-2, 3, size=(15, 13, 2)).astype(np.int32)
    ref1, ref2 = np.asfortranarray(base1[::2, ::2]), np.asfortranarray(base2)
    if order == "C":
        a1, a2, f = np.ascontiguousarray(ref1), np.ascontiguousarray(ref2), field.copy(order="C")
    elif order == "F":
        a1, a2, f = ref1, ref2, np.asfortranarray(field)
    else:
        a1, a2, f = base1[::2, ::2], base2, np.repeat(field, 2, axis=1)[:, ::2]
    expect = densecorr.cellcost(ref1, ref2, 2, (4, 3), 2, 0.9)
    got = densecorr.cellcost(a1, a2, 2, (4, 3), 2, 0.9)
    assert got.node_cost.tobytes() == expect.node_cost.tobytes()
    expect = densecorr.densedisp(ref1, ref2, field, 1, 2, 0.02, 1.0)
    got = densecorr.densedisp(a1, a2, f, 1, 2, 0.02, 1.0)
    assert np.array_equal(got.disparity, expect.disparity)
    assert got.best_cost.tobytes() == expect.best_cost.tobytes()


def test_inputs_are_not_modified_and_outputs_are_fresh(rng):
    d1, d2 = np.asfortranarray(_desc(rng, 10, 12, 3)), np.asfortranarray(_desc(rng, 10, 12, 3))
    field = np.zeros((10, 12, 2), np.int32)
    copies = [a.copy() for a in (d1, d2, field)]
    r = densecorr.densedisp(d1, d2, field, 1, 2, 0.0, 1.0)
    assert all(np.array_equal(a, b) for a, b in zip((d1, d2, field), copies))
    assert not np.shares_memory(r.disparity, field)
    assert r.disparity.flags.writeable and r.best_cost.flags.writeable


D = np.zeros((8, 8, 2), np.float32)
F = np.zeros((8, 8, 2), np.int32)


@pytest.mark.parametrize("call, error, words", [
    (lambda: densecorr.cellcost(D.astype(np.float64), D, 1, 0, 1, 1.0), TypeError, "float32"),
    (lambda: densecorr.cellcost([[1.0]], D, 1, 0, 1, 1.0), TypeError, "float32"),
    (lambda: densecorr.cellcost(D[:, :, 0], D, 1, 0, 1, 1.0), ValueError, "3 dimensions"),
    (lambda: densecorr.cellcost(D, D[:, :, :1], 1, 0, 1, 1.0), ValueError, "same number"),
    (lambda: densecorr.cellcost(D, D, 1.5, 0, 1, 1.0), TypeError, "n_tree_level"),
    (lambda: densecorr.cellcost(D, D, True, 0, 1, 1.0), TypeError, "bool"),
    (lambda: densecorr.cellcost(D, D, 1, (1, 2, 3), 1, 1.0), ValueError, "pair"),
    (lambda: densecorr.cellcost(D, D, 1, "4", 1, 1.0), ValueError, "pair"),
    (lambda: densecorr.cellcost(D, D, 1, -1, 1, 1.0), ValueError, "negative"),
    (lambda: densecorr.cellcost(D, D, 1, 0, 0, 1.0), ValueError, "grid_size must be at least 1"),
    (lambda: densecorr.cellcost(D, D, 1, 0, 2**31, 1.0), ValueError, "32-bit"),
    (lambda: densecorr.cellcost(D, D, 1, 0, 2**70, 1.0), ValueError, "32-bit"),
    (lambda: densecorr.cellcost(D, D, 1, 0, 1, "1"), TypeError, "truncate_const"),
    (lambda: densecorr.cellcost(D, D, 1, 0, 1, np.nan), ValueError, "NaN"),
    (lambda: densecorr.cellcost(D, D, 5, 0, 1, 1.0), ValueError, "n_tree_level 5 is too large"),
    (lambda: densecorr.cellcost(D, D, 16, 0, 1, 1.0), ValueError, "too large"),
    (lambda: densecorr.cellcost(D, D, 1, 2**30, 1, 1.0), ValueError, "search too large"),
    (lambda: densecorr.densedisp(D, D, F.astype(float), 1, 1, 0, 1), TypeError, "integer"),
    (lambda: densecorr.densedisp(D, D, F[:, :4], 1, 1, 0, 1), ValueError, "(8, 8, 2)"),
    (lambda: densecorr.densedisp(D, D, F.reshape(2, 64).T, 1, 1, 0, 1), ValueError, "shape"),
    (lambda: densecorr.densedisp(D, D, F + 2**40, 1, 1, 0, 1), ValueError, "32-bit"),
    (lambda: densecorr.densedisp(D, D, F, 0, 1, 0, 1), ValueError, "search_grid_size"),
    (lambda: densecorr.densedisp(D, D, F, 1, (0, -3), 0, 1), ValueError, "negative"),
    (lambda: densecorr.densedisp(D, D, F, 1, 1, np.nan, 1), ValueError, "deform_coeff"),
    (lambda: densecorr.densedisp(D, D, F, 1, 2**30, 0, 1), ValueError, "search too large"),
])
def test_bad_arguments_raise_clear_errors(call, error, words):
    with pytest.raises(error, match=None) as info:
        call()
    assert words in str(info.value)


def test_extension_refuses_layouts_it_cannot_read():
    # The extension itself, called without the Python layer's conversions,
    # must refuse rather than read a C-ordered array as if it were Fortran.
    from densecorr import _core
    c_order = np.zeros((4, 5, 2), np.float32)
    with pytest.raises(ValueError, match="Fortran"):
        _core.cellcost(c_order, np.asfortranarray(c_order), 1, 0, 0, 1, 1.0)
    with pytest.raises(TypeError, match="int32"):
        _core.densedisp(np.asfortranarray(c_order), np.asfortranarray(c_order),
                        np.zeros((4, 5, 2), np.int64), 1, 0, 0, 0.0, 1.0)


def test_out_of_memory_raises_memory_error_and_leaves_python_running():
    # A cost table of 160801 translations x 5461 cells (3.5 GB) under a
    # 2 GiB address-space limit: the allocation fails, Python gets
    # MemoryError, and later calls work.
    script = textwrap.dedent("""
        import resource, numpy as np, densecorr
        d = np.zeros((64, 64, 1), np.float32, order="F")
        f = np.zeros((1, 46340, 2), np.int32)
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
        try:
            densecorr.cellcost(d, d, 7, (200, 200), 1, 1.0)
        except MemoryError:
            print("memory error")
        e = np.zeros((1, 10, 1), np.float32)
        r = densecorr.densedisp(e, e, f[:, :10], 1, 1, 0.0, 1.0)
        print("still running", r.disparity.shape)
    """)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split("\n")[:2] == ["memory error", "still running (1, 10, 2)"]


def test_core_runs_without_the_gil(rng):
    # While one thread is inside a densedisp call (a fraction of a second),
    # another thread keeps running Python code: it wakes up in the middle
    # half of the call. With the GIL held, it could run only at the call's
    # very start or end.
    d1, d2 = _desc(rng, 200, 200, 32), _desc(rng, 200, 200, 32)
    field = np.zeros((200, 200, 2), np.int32)
    call = []

    def work():
        start = time.monotonic()
        densecorr.densedisp(d1, d2, field, 1, 12, 0.0, 1.0)
        call.extend([start, time.monotonic()])

    worker = threading.Thread(target=work)
    worker.start()
    stamps = []
    while worker.is_alive():
        stamps.append(time.monotonic())
        time.sleep(0.002)
    worker.join()
    start, end = call
    quarter = (end - start) / 4
    assert any(start + quarter < t < end - quarter for t in stamps), (
        "no Python code ran while the core was busy")


def test_ctrl_c_stops_a_long_call_with_keyboard_interrupt():
    # A cellcost call of several seconds, SIGINT half a second in: the call
    # must end with KeyboardInterrupt within a second, and the next call work.
    script = textwrap.dedent("""
        import os, signal, threading, time
        import numpy as np
        import densecorr
        d = np.asfortranarray(np.random.default_rng(1).random((300, 300, 32), np.float32))
        sent = []
        def interrupt():
            sent.append(time.monotonic())
            os.kill(os.getpid(), signal.SIGINT)
        threading.Timer(0.5, interrupt).start()
        start = time.monotonic()
        try:
            densecorr.cellcost(d, d, 3, (60, 60), 1, 1.0)
            print("finished", time.monotonic() - start)
        except KeyboardInterrupt:
            print("interrupted", time.monotonic() - sent[0])
        small = densecorr.cellcost(d[:8, :8], d[:8, :8], 1, (1, 1), 1, 1.0)
        print("next call", small.node_cost.shape)
    """)
    # A shell that runs us in the background starts its children with SIGINT
    # ignored, and Python keeps that: give the child the usual Ctrl-C.
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=120, preexec_fn=lambda: signal.signal(signal.SIGINT,
                                                                       signal.SIG_DFL))
    assert run.returncode == 0, run.stderr
    first, second = run.stdout.split("\n")[:2]
    word, seconds = first.split()
    assert word == "interrupted", run.stdout
    assert float(seconds) < 1.0
    assert second == "next call (9, 1)"
