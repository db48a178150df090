"""fpmatch: fingerprint minutiae matching.

Templates are ISO/IEC 19794-2:2005 finger minutiae records (starting "FM"),
the library's native templates (version byte 3) and, for screening, 512-byte
short templates. Every function takes templates as bytes-like objects
(``bytes``, ``bytearray``, ``memoryview``, a 1-D ``uint8`` numpy array) and
checks their length before the library reads them; galleries are lists of
templates or 2-D ``uint8`` numpy arrays holding one template per row (zero
padded).

``Gallery`` is a gallery file of enrolled subjects, kept by the
identification library (libfpmatch-id): create or open one, ``add``
templates under subject ids, ``remove`` subjects, ``commit``, and
``identify`` a probe among the subjects (``Hit(subject, score, entry)``)
or ``verify`` it against one. Version-1 files written by ``fpmatch pack``
open read-only.

Scores are the library's own (0..100, ``Match2Score``). The GIL is released
around every native call, so Python threads run comparisons in parallel.

>>> import fpmatch
>>> probe = fpmatch.read_template("101_1.iso")
>>> fpmatch.compare(probe, fpmatch.read_template("101_2.iso"))   # doctest: +SKIP
100
>>> with fpmatch.Gallery.create("people.fpg") as g:               # doctest: +SKIP
...     g.add("alice", fpmatch.read_template("101_2.iso"))
...     g.commit()
...     g.identify(probe, top=3)
[Hit(subject='alice', score=100, entry=0)]
"""

from __future__ import annotations

import os
import re
from dataclasses import dataclass, field
from typing import List, Optional, Sequence, Tuple, Union

import numpy as np

from ._fpmatch import (
    OUTCOME_NO_BASE_PAIR,
    OUTCOME_NOT_DECODED,
    SHORT_TEMPLATE_SIZE,
    Entry,
    Gallery,
    GalleryError,
    GalleryStat,
    Hit,
    Probe,
    TemplateError,
    __version__,
    adapt_iso,
    algorithm_version,
    check,
    compare,
    first_match,
    identify,
    screen,
    to_native,
    to_short,
)
from . import _fpmatch

__all__ = [
    "OUTCOME_NOT_DECODED",
    "OUTCOME_NO_BASE_PAIR",
    "SHORT_TEMPLATE_SIZE",
    "Entry",
    "Evaluation",
    "Gallery",
    "GalleryError",
    "GalleryStat",
    "Hit",
    "Probe",
    "TemplateError",
    "__version__",
    "adapt_iso",
    "algorithm_version",
    "check",
    "compare",
    "evaluate",
    "first_match",
    "identify",
    "read_template",
    "screen",
    "to_native",
    "to_short",
]

PathLike = Union[str, "os.PathLike[str]"]

# No template is anywhere near this long; a larger file is not a template.
_MAX_TEMPLATE_FILE = 1 << 20


def _template_error(path: str, reason: str, code: Optional[int]) -> TemplateError:
    error = TemplateError(f"{path}: {reason}")
    error.reason = reason
    error.code = code
    error.path = path
    return error


def read_template(path: PathLike, adapt: bool = False) -> bytes:
    """Reads a template file and returns its bytes, checked with ``check``.

    With ``adapt=True`` an ISO record is first adapted with ``adapt_iso``
    (native templates are read as they are). Raises ``TemplateError`` naming
    the file and the reason when the file is empty, too large, not a
    template, truncated, declares a minutia count outside 1..50 or is
    refused by the adapter; ``OSError`` (``FileNotFoundError``, ...) when it
    cannot be read.
    """
    name = os.fspath(path)
    with open(name, "rb") as f:
        data = f.read(_MAX_TEMPLATE_FILE + 1)
    if not data:
        raise _template_error(name, "empty file", None)
    if len(data) > _MAX_TEMPLATE_FILE:
        raise _template_error(name, "too large to be a template", None)
    if adapt and data[:2] == b"FM":
        try:
            data = adapt_iso(data)
        except TemplateError as e:
            raise _template_error(name, "adapt_iso refused the record: " + e.reason, e.code) from None
    try:
        _fpmatch._require(data)
    except TemplateError as e:
        raise _template_error(name, e.reason, e.code) from None
    return data


@dataclass(eq=False)
class Evaluation:
    """Verification figures, as the fingerprint verification competitions
    report them. Rates are fractions (0.01 = 1%).

    ``fmr[t]`` / ``fnmr[t]`` for t = 0..101: the share of impostor scores
    >= t and of genuine scores < t (a comparison is accepted when its score
    is at least the threshold). ``eer`` is the mean of the interval
    [``eer_low``, ``eer_high``] between t1 (the last threshold with FNMR <=
    FMR) and t2 (the first with FNMR >= FMR). ``fmr100`` / ``fmr1000`` /
    ``zero_fmr``: the lowest FNMR with FMR <= 1% / <= 0.1% / = 0;
    ``zero_fnmr``: the lowest FMR with FNMR = 0.

    Over several folders the figures and the ``fmr`` / ``fnmr`` curves are
    the means of the folders' (``t1``, ``t2`` are then None), ``genuine`` and
    ``impostor`` hold every folder's scores one after the other, and
    ``folders`` holds each folder's own Evaluation.
    """

    eer: float
    eer_low: float
    eer_high: float
    fmr100: float
    fmr1000: float
    zero_fmr: float
    zero_fnmr: float
    fmr: np.ndarray
    fnmr: np.ndarray
    genuine: np.ndarray
    impostor: np.ndarray
    t1: Optional[int] = None
    t2: Optional[int] = None
    folder: Optional[str] = None
    templates: List[str] = field(default_factory=list)
    failed: List[Tuple[str, str]] = field(default_factory=list)
    folders: List["Evaluation"] = field(default_factory=list)


_NAME = re.compile(r"^(\d+)_(\d+)(\..*)?$")
_FIGURES = ("eer", "eer_low", "eer_high", "fmr100", "fmr1000", "zero_fmr", "zero_fnmr")


def _evaluate_folder(folder: str, adapt: bool, threads: Optional[int]) -> Evaluation:
    if not os.path.isdir(folder):
        if os.path.exists(folder):
            raise NotADirectoryError(folder)
        raise FileNotFoundError(folder)
    entries = []
    for name in sorted(os.listdir(folder)):
        m = _NAME.match(name)
        path = os.path.join(folder, name)
        if name.startswith(".") or not m or not os.path.isfile(path):
            continue
        entries.append((int(m.group(1)), int(m.group(2)), path))
    entries.sort(key=lambda e: (e[0], e[1]))
    fingers = np.array([e[0] for e in entries], dtype=np.int64)
    if len(entries) < 2 or len(set(fingers.tolist())) < 2 or len(set(fingers.tolist())) == len(entries):
        raise ValueError(
            f"{folder}: needs FINGER_IMPRESSION templates of at least two fingers, some finger with two impressions"
        )
    templates: List[Optional[bytes]] = []
    failed: List[Tuple[str, str]] = []
    for _, _, path in entries:
        try:
            templates.append(read_template(path, adapt=adapt))
        except (TemplateError, OSError) as e:
            # As in the tool: a template that fails to load scores 0.
            failed.append((path, getattr(e, "reason", None) or str(e)))
            templates.append(None)
    scores = _fpmatch._score_pairs(templates, threads)
    i, j = np.triu_indices(len(entries), k=1)
    same = fingers[i] == fingers[j]
    genuine, impostor = scores[same], scores[~same]
    figures = _fpmatch._metrics(genuine, impostor)
    return Evaluation(
        genuine=genuine,
        impostor=impostor,
        folder=folder,
        templates=[e[2] for e in entries],
        failed=failed,
        **figures,
    )


def evaluate(
    folders: Union[PathLike, Sequence[PathLike]], adapt: bool = False, threads: Optional[int] = None
) -> Evaluation:
    """Verification figures of folders of ``FINGER_IMPRESSION.*`` templates
    (FVC naming, e.g. ``101_1.iso``), as the ``fpmatch eval`` tool computes
    them.

    In each folder every pair of impressions of one finger (genuine) and
    every pair of templates of different fingers (impostor) is scored once,
    as ``compare(earlier, later)`` in (finger, impression) order. A template
    that fails to load scores 0 and is listed in ``failed`` with its reason.
    Other files (names not ``FINGER_IMPRESSION``, hidden files, folders) are
    ignored. ``adapt=True`` adapts ISO records first (``adapt_iso``). ``threads``:
    None = 1, 0 = one per core, N = N native threads (the result does not
    depend on it). Several folders are evaluated separately and averaged
    (see ``Evaluation``).
    """
    if isinstance(folders, (str, bytes, os.PathLike)):
        folders = [folders]
    names = [os.fspath(f) for f in folders]
    if not names:
        raise ValueError("evaluate needs at least one folder")
    results = [_evaluate_folder(f, adapt, threads) for f in names]
    if len(results) == 1:
        r = results[0]
        return Evaluation(**{**r.__dict__, "folders": [r]})
    mean = {k: float(np.mean([getattr(r, k) for r in results])) for k in _FIGURES}
    return Evaluation(
        fmr=np.mean([r.fmr for r in results], axis=0),
        fnmr=np.mean([r.fnmr for r in results], axis=0),
        genuine=np.concatenate([r.genuine for r in results]),
        impostor=np.concatenate([r.impostor for r in results]),
        templates=[t for r in results for t in r.templates],
        failed=[f for r in results for f in r.failed],
        folders=results,
        **mean,
    )
