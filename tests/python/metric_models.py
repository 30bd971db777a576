"""The metrics as plain sequential Python loops: the model every distance
orbisk returns must equal bit for bit."""

import math


def euclidean(a, b):
    s = 0.0
    # Over the shorter of the two, as PyHNSW sums a query of another length.
    for x, y in zip(a, b, strict=False):
        d = x - y
        s += d * d
    return math.sqrt(s)


def dot(a, b):
    s = 0.0
    for x, y in zip(a, b, strict=False):  # over the shorter, as euclidean()
        s += x * y
    return s


def cosine(a, b):
    """Norms over each whole vector; IEEE division by the +0.0 a zero norm
    gives, written out because Python raises on it. The companion's tests
    (companion/tests/plain.py) divide in numpy and agree on every zero
    denominator; only the length rule differs, theirs being strict."""
    num, na, nb = dot(a, b), 0.0, 0.0
    for x in a:
        na += x * x
    for y in b:
        nb += y * y
    den = math.sqrt(na) * math.sqrt(nb)
    if den == 0.0:
        return math.nan if num == 0.0 or math.isnan(num) else math.copysign(math.inf, num)
    return num / den
