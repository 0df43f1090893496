"""Independent NumPy references for the kernels, shared by the test files.

Each evaluates the documented formula with NumPy float32 operations, which
round every element-wise product and sum to float32 and never fuse a
multiply with an add; none of them calls the module.
"""
import numpy as np

F32 = np.float32


def relu_ref(x):
    return np.where(x > 0, x, F32(0)).astype(F32)


def matmul_ref(a, b):
    """c[i][j] = (((+0.0 + a[i][0]*b[0][j]) + a[i][1]*b[1][j]) + ...) with
    every product and every partial sum rounded to float32."""
    a = np.asarray(a, F32)
    b = np.asarray(b, F32)
    acc = np.zeros((a.shape[0], b.shape[1]), F32)
    with np.errstate(all="ignore"):
        for p in range(a.shape[1]):
            product = (a[:, p : p + 1] * b[p : p + 1, :]).astype(F32)
            acc = (acc + product).astype(F32)
    return acc


def conv_ref(x, w, stride):
    """output[b][o][y][x] = sum over c, ky, kx (innermost last) of
    w[o][c][ky][kx] * x[b][c][y*stride + ky][x*stride + kx], started at +0.0,
    each product and each partial sum rounded to float32."""
    x = np.asarray(x, F32)
    w = np.asarray(w, F32)
    n, c, h, wd = x.shape
    oc, kc, kh, kw = w.shape
    oh = (h - kh) // stride + 1
    ow = (wd - kw) // stride + 1
    acc = np.zeros((n, oc, oh, ow), F32)
    with np.errstate(all="ignore"):
        for ci in range(kc):
            for ky in range(kh):
                for kx in range(kw):
                    window = x[:, ci, ky : ky + stride * (oh - 1) + 1 : stride, kx : kx + stride * (ow - 1) + 1 : stride]
                    product = (w[None, :, ci, ky, kx, None, None] * window[:, None]).astype(F32)
                    acc = (acc + product).astype(F32)
    return acc


def quantize_ref(x):
    """The rule in NumPy float32 arithmetic: M = largest non-NaN magnitude
    (or 0), scale = M / 127 or 1, inv = 1 / scale, p = v * inv, the clamps
    p < 127 ? p : 127 and p > -127 ? p : -127, halves away from zero; where
    inv overflows, v and M are scaled by 2^127 first."""
    x = np.asarray(x, F32)
    a = np.abs(x)
    a = a[~np.isnan(a)]
    m = F32(a.max()) if a.size else F32(0)
    scale = F32(m / F32(127)) if m > 0 else F32(1)
    with np.errstate(divide="ignore", over="ignore"):
        inv = F32(F32(1) / scale)
    if np.isinf(inv):
        # A tiny matrix: v and M times 2^127 (exact) give a finite inv; the
        # scale is M / 127, or the smallest positive float32 if that is 0.
        pre = F32(2.0**127)
        x = (x * pre).astype(F32)
        inv = F32(F32(1) / F32(F32(m * pre) / F32(127)))
        scale = max(scale, F32(2.0**-149))
    with np.errstate(invalid="ignore", over="ignore"):
        p = (x * inv).astype(F32)
    p = np.where(p < F32(127), p, F32(127)).astype(F32)
    p = np.where(p > F32(-127), p, F32(-127)).astype(F32)
    # p - trunc(p) is exact for |p| <= 127, so the comparison with 0.5 is
    # exact too (unlike floor(p + 0.5), which sends 0.49999997 to 1).
    t = np.trunc(p)
    frac = (p - t).astype(F32)
    q = t + (frac >= 0.5) - (frac <= -0.5)
    return q.astype(np.int8), float(scale)


def dequantize_ref(q, scale):
    """One float32 product of the exactly converted integer and the scale
    narrowed to float32."""
    with np.errstate(all="ignore"):
        s = np.array(scale, np.float64).astype(F32)
        return (np.asarray(q).astype(F32) * s).astype(F32)
