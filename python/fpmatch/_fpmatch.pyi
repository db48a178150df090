"""Type stubs of the native part of fpmatch (re-exported by the package)."""

import os
from types import TracebackType
from typing import List, Optional, Sequence, Tuple, Type, Union

import numpy as np
import numpy.typing as npt

# bytes, bytearray, memoryview or a C-contiguous 1-D uint8 numpy array.
BytesLike = Union[bytes, bytearray, memoryview, npt.NDArray[np.uint8]]
# A list (or tuple) of templates, or a 2-D uint8 array with one template per row.
GalleryLike = Union[Sequence[BytesLike], npt.NDArray[np.uint8]]

__version__: str
OUTCOME_NOT_DECODED: int
OUTCOME_NO_BASE_PAIR: int
SHORT_TEMPLATE_SIZE: int

class TemplateError(ValueError):
    """A template the library cannot use; ``reason`` says why."""

    reason: Optional[str]
    code: Optional[int]
    index: Optional[int]
    path: Optional[str]

class GalleryError(ValueError):
    """A packed gallery file the library refuses (empty, not a gallery,
    unsupported version, truncated, damaged) or a damaged entry of one;
    ``reason`` says why, ``path`` names the file."""

    reason: Optional[str]
    code: Optional[int]
    index: Optional[int]
    path: Optional[str]

class Gallery:
    """A packed gallery file (.fpg, written by ``fpmatch pack``), mapped
    read-only and validated with CheckGallery. Search it with identify()."""

    @staticmethod
    def open(path: Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]) -> "Gallery":
        """Maps and validates the file: OSError when it cannot be read,
        GalleryError when the library refuses it."""
    def __len__(self) -> int: ...
    def __getitem__(self, index: int) -> bytes:
        """The template of entry ``index`` (negative counts from the end)."""
    def name(self, index: int) -> str:
        """The entry's name (the path it was packed from)."""
    @property
    def names(self) -> List[str]:
        """Every entry's name, in index order."""
    def short_template(self, index: int) -> Optional[bytes]:
        """The entry's 512-byte short template, or None without one."""
    @property
    def has_shorts(self) -> bool:
        """True when every entry has a short template slot."""
    @property
    def path(self) -> str: ...
    @property
    def segments(self) -> int: ...
    @property
    def version(self) -> int: ...
    @property
    def closed(self) -> bool: ...
    def close(self) -> None:
        """Releases the mapping (when any running search has ended)."""
    def __enter__(self) -> "Gallery": ...
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> bool: ...

# What identify() searches: a GalleryLike or a packed gallery.
Searchable = Union[GalleryLike, Gallery]

def algorithm_version() -> int:
    """The matching algorithm's version (AlgVersion)."""

def check(data: BytesLike) -> int:
    """CheckTemplate: 0 when the template may be compared, else 1 (unknown
    format), 2 (minutia count outside 1..50) or 3 (truncated)."""

def compare(probe: BytesLike, gallery: BytesLike) -> int:
    """Match2Score(probe, gallery), 0..100. Raises TemplateError unless both
    pass check()."""

class Probe:
    """A probe prepared once (PrepareProbe) for many comparisons."""

    def __init__(self, data: BytesLike) -> None: ...
    @property
    def template(self) -> bytes:
        """The probe template's bytes."""
    def match(self, gallery: BytesLike) -> int:
        """Exactly compare(probe, gallery)."""
    def match_many(self, gallery: GalleryLike) -> npt.NDArray[np.int32]:
        """One outcome per entry: the score 0..100, OUTCOME_NOT_DECODED (-1)
        or OUTCOME_NO_BASE_PAIR (-2)."""
    def identify(
        self, gallery: Searchable, top: Optional[int] = 10, threads: Optional[int] = None
    ) -> List[Tuple[int, int]]:
        """See identify()."""

def identify(
    probe: Union[BytesLike, Probe], gallery: Searchable, top: Optional[int] = 10, threads: Optional[int] = None
) -> List[Tuple[int, int]]:
    """The ``top`` best entries as (index, score), best first, equal scores
    by lower index (SearchTopK; SearchGalleryTopK for a Gallery, with its
    entry indices); top 0 or None: every entry. threads: None = 1, 0 = one
    per core."""

def first_match(
    probe: Union[BytesLike, Probe], gallery: GalleryLike, threshold: int
) -> Optional[Tuple[int, int]]:
    """MatchListFp: (index, score) of the first entry reaching the
    threshold, or None."""

def screen(probe_short: BytesLike, shorts: GalleryLike) -> List[int]:
    """QuickSort: positions of up to 32 best short templates, best first."""

def to_short(data: BytesLike) -> bytes:
    """The template as a 512-byte short template (WriteShortTemplate)."""

def to_native(data: BytesLike) -> bytes:
    """The template as a native template (WriteNativeTemplate)."""

def adapt_iso(data: BytesLike) -> bytes:
    """AdaptIsoRecord: the ISO record adapted to the matcher."""

def _require(data: BytesLike) -> None: ...
def _metrics(genuine: Sequence[int], impostor: Sequence[int]) -> dict: ...
def _score_pairs(templates: Sequence[Optional[BytesLike]], threads: Optional[int] = None) -> npt.NDArray[np.int32]: ...
