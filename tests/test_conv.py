"""conv2d: bit-exact sums in the order c, ky, kx, output geometry, layouts,
failures in their order, and equal bits on every path."""
from __future__ import annotations

import functools
import hashlib
import json

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import _kiln_kernels as kk
from conftest import CPU_ISAS, assert_same_bits, isa_env, run_python
from references import conv_ref
from test_matmul import panic_of, spread


def operands(n, c, h, w, oc, kh, kw, seed=0):
    return spread((n, c, h, w), seed), spread((oc, c, kh, kw), seed + 1)


@pytest.mark.parametrize(
    "n, c, h, w, oc, kh, kw, stride",
    [
        (1, 1, 1, 1, 1, 1, 1, 1),
        (1, 3, 10, 12, 5, 3, 3, 1),
        (2, 4, 9, 9, 70, 2, 3, 2),  # more filters than one 64-row band
        (3, 2, 20, 17, 8, 5, 4, 3),
        (1, 3, 30, 30, 64, 7, 7, 2),  # 64 x 144 outputs: pool inside the product
        (2, 8, 21, 21, 16, 3, 3, 1),
        (1, 1, 102, 102, 1, 2, 2, 1),  # 1 x 10201 outputs: one 10001+ product with one filter
        (1, 2, 101, 101, 1, 2, 2, 1),  # 1 x 10000 outputs: calling thread
        (4, 16, 12, 12, 32, 3, 3, 1),  # 16 * 9 = 144 inner positions
        (2, 40, 8, 9, 10, 3, 3, 1),  # 360 inner positions: several passes
        (1, 2, 20, 70, 20, 3, 4, 3),  # output rows wider than a panel, stride 3
        (2, 3, 9, 100, 7, 2, 5, 2),  # output rows wider than a panel, stride 2
        (2, 6, 19, 27, 6, 3, 3, 1),  # 25-wide output rows: panels spanning two rows
        (1, 5, 23, 45, 12, 3, 3, 2),  # the same at stride 2 (22-wide rows)
    ],
)
def test_matches_sequential_float32_sum(n, c, h, w, oc, kh, kw, stride):
    x, k = operands(n, c, h, w, oc, kh, kw, seed=n + c + h + oc)
    out = kk.conv2d(x, k, stride)
    assert out.flags.c_contiguous
    assert_same_bits(out, conv_ref(x, k, stride))


@pytest.mark.parametrize(
    "h, kh, stride, oh",
    [
        (5, 3, 2, 2),  # windows at rows 0 and 2
        (6, 3, 2, 2),  # row 5 takes no part
        (7, 3, 2, 3),
        (4, 4, 1, 1),  # kernel as large as the input: one full dot product
        (9, 2, 100, 1),  # stride past the end
        (9, 2, 2**64 - 1, 1),  # the largest stride
    ],
)
def test_output_extent_and_windows(h, kh, stride, oh):
    x, k = operands(2, 2, h, h + 1, 3, kh, kh, seed=h)
    out = kk.conv2d(x, k, stride)
    assert out.shape == (2, 3, oh, (h + 1 - kh) // stride + 1)
    assert_same_bits(out, conv_ref(x, k, min(stride, h + 1)))


@pytest.mark.parametrize("stride", [1, 2, 3])
def test_filter_is_not_flipped(stride):
    # Filter o picks channel o % C at its top-left tap only.
    x, _ = operands(2, 3, 11, 10, 1, 1, 1, seed=5)
    x[0, 1, 0, 0] = -0.0
    k = np.zeros((6, 3, 3, 2), np.float32)
    for o in range(6):
        k[o, o % 3, 0, 0] = 1.0
    out = kk.conv2d(x, k, stride)
    oh, ow = out.shape[2:]
    for o in range(6):
        picked = x[:, o % 3, : stride * (oh - 1) + 1 : stride, : stride * (ow - 1) + 1 : stride]
        assert_same_bits(out[:, o], picked + np.float32(0.0))  # -0.0 comes out as +0.0
    assert np.signbit(out[0, 1, 0, 0]) == False  # noqa: E712


@pytest.mark.parametrize(
    "x_shape, k_shape, stride, out_shape",
    [
        ((2, 0, 5, 5), (3, 0, 2, 2), 1, (2, 3, 4, 4)),  # no channels
        ((2, 3, 5, 6), (4, 3, 0, 2), 2, (2, 4, 3, 3)),  # KH = 0: OH = H / stride + 1
        ((1, 3, 5, 6), (4, 3, 2, 0), 1, (1, 4, 4, 7)),  # KW = 0
        ((200, 1, 1, 1), (60, 1, 0, 0), 1, (200, 60, 2, 2)),  # zeros on the pool
        ((0, 3, 5, 5), (4, 3, 2, 2), 1, (0, 4, 4, 4)),  # no images
        ((2, 3, 5, 5), (0, 3, 2, 2), 1, (2, 0, 4, 4)),  # no filters
        ((1, 3, 5, 5), (0, 3, 2, 2), 1, (1, 0, 4, 4)),
    ],
)
def test_empty_sums_and_empty_outputs(x_shape, k_shape, stride, out_shape):
    out = kk.conv2d(np.ones(x_shape, np.float32), np.ones(k_shape, np.float32), stride)
    assert out.flags.c_contiguous
    assert_same_bits(out, np.zeros(out_shape, np.float32))


@pytest.mark.parametrize("stride", [1, 2])
def test_first_image_same_alone_and_in_a_batch(stride):
    x, k = operands(2, 5, 40, 40, 24, 3, 3, seed=9)
    assert_same_bits(kk.conv2d(x[:1], k, stride)[0], kk.conv2d(x, k, stride)[0])


@pytest.mark.parametrize("stride", [1, 2])
@pytest.mark.parametrize("ow", [16, 24, 32, 40, 48, 64])
@pytest.mark.parametrize("kw", [1, 3])
def test_last_window_panel_ends_at_the_last_element(stride, ow, kw):
    # The last output column's window ends on the input's last element, so
    # a panel copy that read one element too far would run off the array
    # (the sanitized run reports it). Two output rows: with these widths the
    # panels lie in one row or span both.
    c, kh = 3, 2
    h, w = kh + stride, (ow - 1) * stride + kw
    x, k = operands(1, c, h, w, 5, kh, kw, seed=ow + kw)
    out = kk.conv2d(x, k, stride)
    assert out.shape == (1, 5, 2, ow)
    assert_same_bits(out, conv_ref(x, k, stride))


@pytest.mark.parametrize("stride", [1, 2])
@pytest.mark.parametrize("ow", [7, 13, 17, 20, 27, 31, 33, 45, 50])
def test_panels_spanning_two_output_rows_at_every_split(stride, ow):
    # With output rows ow wide, successive panels of 16 or 32 lanes begin
    # at different columns and so cross into the next row at many lane
    # positions, below and above the middle of a panel.
    kh, kw, oh = 3, 3, 4
    x, k = operands(2, 3, (oh - 1) * stride + kh, (ow - 1) * stride + kw, 6, kh, kw, seed=ow)
    out = kk.conv2d(x, k, stride)
    assert out.shape == (2, 6, oh, ow)
    assert_same_bits(out, conv_ref(x, k, stride))


def _layouts(t):
    """The same logical 4-D array in other memory layouts."""
    gapped = np.zeros(t.shape[:3] + (2 * t.shape[3],), np.float32)
    gapped[..., ::2] = t
    padded = np.zeros(t.shape[:3] + (t.shape[3] + 5,), np.float32)
    padded[..., :t.shape[3]] = t
    return {
        "padded-rows": padded[..., :t.shape[3]],
        "reversed": np.ascontiguousarray(t[::-1, ::-1, ::-1, ::-1])[::-1, ::-1, ::-1, ::-1],
        "first-axis-reversed": np.ascontiguousarray(t[::-1])[::-1],
        "column-major": np.asfortranarray(t),
        "axes-permuted": np.ascontiguousarray(t.transpose(2, 0, 3, 1)).transpose(1, 3, 0, 2),
        "gapped": gapped[..., ::2],
    }


@pytest.mark.parametrize("layout", ["reversed", "first-axis-reversed", "column-major", "axes-permuted", "gapped",
                                    "padded-rows"])
@pytest.mark.parametrize("which", ["input", "kernel"])
@pytest.mark.parametrize("stride", [1, 2])
def test_layouts_read_through_strides(layout, which, stride):
    # Rows wider than a panel; filters fill two panels of the 6-row kernel.
    x, k = operands(2, 3, 13, 40, 13, 3, 2, seed=4)
    expected = conv_ref(x, k, stride)
    if which == "input":
        x = _layouts(x)[layout]
    else:
        k = _layouts(k)[layout]
    assert_same_bits(kk.conv2d(x, k, stride), expected)


@pytest.mark.parametrize(
    "x_shape, k_shape, stride",
    [
        ((3, 5, 5), (1, 3, 2, 2), 1),
        ((1, 3, 5, 5), (1, 3, 2, 2, 1), 1),
        ((3, 5, 5), (1, 3, 2, 2), 0),  # dimensionality before the stride
        ((1, 4, 5, 5), (1, 3, 2), 0),
        ((5, 5), (2, 2), 1),
    ],
)
def test_dimensionality_message(x_shape, k_shape, stride):
    with pytest.raises(ValueError) as info:
        kk.conv2d(np.ones(x_shape, np.float32), np.ones(k_shape, np.float32), stride)
    assert str(info.value) == "Input and kernel must be 4D arrays"


@pytest.mark.parametrize(
    "x_shape, k_shape",
    [((1, 3, 5, 5), (2, 3, 2, 2)), ((1, 4, 5, 5), (2, 3, 2, 2)), ((1, 3, 2, 2), (2, 3, 5, 5))],
)
def test_stride_zero_panics_before_other_checks(x_shape, k_shape):
    x, k = np.ones(x_shape, np.float32), np.ones(k_shape, np.float32)
    assert panic_of(lambda: kk.conv2d(x, k, 0)) == "attempt to divide by zero"


@pytest.mark.parametrize(
    "x_shape, k_shape, message",
    [
        ((1, 4, 5, 5), (2, 3, 2, 2), "conv2d: kernel has 3 input channels but input has 4"),
        ((1, 3, 5, 5), (2, 4, 2, 2), "conv2d: kernel has 4 input channels but input has 3"),
        ((1, 2, 5, 5), (2, 3, 9, 9), "conv2d: kernel has 3 input channels but input has 2"),
        ((1, 3, 4, 4), (2, 3, 5, 5), "conv2d: kernel 5x5 is larger than input 4x4"),
        ((1, 3, 8, 4), (2, 3, 3, 5), "conv2d: kernel 3x5 is larger than input 8x4"),
        ((0, 3, 2, 9), (2, 3, 3, 1), "conv2d: kernel 3x1 is larger than input 2x9"),
    ],
)
def test_mismatched_kernel_messages(x_shape, k_shape, message):
    with pytest.raises(ValueError) as info:
        kk.conv2d(np.ones(x_shape, np.float32), np.ones(k_shape, np.float32), 1)
    assert str(info.value) == message


def _broadcast(shape):
    return as_strided(np.zeros(1, np.float32), shape=shape, strides=(0,) * len(shape))


@pytest.mark.parametrize(
    "x_shape, k_shape, message",
    [
        # N * OC = 2^64 output elements.
        ((2**32, 1, 1, 1), (2**32, 1, 1, 1), "ndarray: Shape too large, product of non-zero axis lengths overflows isize"),
        # 2^62 output elements, 2^64 bytes.
        ((2**31, 1, 1, 1), (2**31, 1, 1, 1), "capacity overflow"),
        # No filters, so the output is empty, but one image's window matrix
        # would have 2^40 x about 2^60 elements.
        ((1, 1, 2**30, 2**30), (0, 1, 2**20, 2**20), "ndarray: Shape too large, product of non-zero axis lengths overflows isize"),
    ],
)
def test_size_tests(x_shape, k_shape, message):
    x, k = _broadcast(x_shape), _broadcast(k_shape)
    assert panic_of(lambda: kk.conv2d(x, k, 1)) == message
    assert kk.conv2d(np.ones((1, 1, 2, 2), np.float32), np.ones((1, 1, 2, 2), np.float32), 1)[0, 0, 0, 0] == 4.0


_PATH_CASES = [
    ((1, 3, 12, 11, 5, 3, 3), 1),
    ((3, 4, 30, 30, 20, 3, 3), 1),
    ((2, 3, 40, 36, 70, 5, 5), 2),
    ((1, 6, 20, 45, 9, 3, 3), 2),  # 22-wide output rows: panels spanning two rows
    ((1, 3, 12, 47, 6, 3, 3), 1),  # 45-wide output rows: wide panels spanning two rows
    ((1, 12, 9, 40, 10, 3, 3), 1),  # depth 108: one pass, or two with passes of 100
    ((2, 3, 61, 131, 20, 7, 7), 2),  # 63-wide rows at stride 2: strips on both workers share input rows
]

_PATH_SCRIPT = f"""
import hashlib, json
import numpy as np
import _kiln_kernels as kk
rng = np.random.default_rng(5)
digests = []
for (n, c, h, w, oc, kh, kw), stride in {_PATH_CASES!r}:
    x = (rng.standard_normal((n, c, h, w), dtype=np.float32) * np.float32(100)).astype(np.float32)
    k = rng.standard_normal((oc, c, kh, kw), dtype=np.float32)
    digests.append(hashlib.sha256(kk.conv2d(x, k, stride).tobytes()).hexdigest())
    if oc >= 20:
        # Filters that are not rows of one matrix, packed panel by panel.
        digests.append(hashlib.sha256(kk.conv2d(x, np.asfortranarray(k), stride).tobytes()).hexdigest())
print(json.dumps(digests))
"""


@functools.lru_cache(maxsize=None)
def _reference_digests():
    """Digests of the reference convolutions of the path script's operands
    (the same generator, seed and order), computed once."""
    rng = np.random.default_rng(5)
    expected = []
    for (n, c, h, w, oc, kh, kw), stride in _PATH_CASES:
        x = (rng.standard_normal((n, c, h, w), dtype=np.float32) * np.float32(100)).astype(np.float32)
        k = rng.standard_normal((oc, c, kh, kw), dtype=np.float32)
        expected.append(hashlib.sha256(conv_ref(x, k, stride).tobytes()).hexdigest())
        if oc >= 20:
            expected.append(expected[-1])
    return expected


@pytest.mark.parametrize("isa", ["scalar", "avx2", "avx512"])
@pytest.mark.parametrize("threads", ["1", "2"])
def test_every_instruction_set_and_worker_count_gives_the_same_bits(isa, threads):
    expected = _reference_digests()
    proc = run_python(_PATH_SCRIPT, env={**isa_env(isa), "RAYON_NUM_THREADS": threads})
    assert json.loads(proc.stdout) == expected


@pytest.mark.parametrize("candidate, isa", [("6x16-avx2", "avx2"), ("3x32-avx2", "avx2"), ("4x8-scalar", "scalar"),
                                            ("8x32-avx512", "avx512")])
@pytest.mark.parametrize("blocks", [None, "40,48,100", "512,512,1024"])
def test_forced_matmul_candidate_gives_the_same_bits(candidate, isa, blocks):
    # A narrower micro-kernel with the window-panel copy of its own width,
    # next to the widest element-wise kernels of this CPU.
    if isa not in CPU_ISAS:
        pytest.skip(f"this CPU has no {isa}")
    expected = _reference_digests()
    proc = run_python(_PATH_SCRIPT, env={"KILN_KERNELS_MATMUL": candidate, "KILN_KERNELS_MATMUL_BLOCKS": blocks,
                                         "RAYON_NUM_THREADS": "2"})
    assert json.loads(proc.stdout) == expected
