"""Type stubs of the native part of fpmatch (re-exported by the package)."""

import os
from types import TracebackType
from typing import Iterable, Iterator, List, NamedTuple, Optional, Sequence, Tuple, Type, Union

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
    """A refusal of the identification library (libfpmatch-id): a gallery
    file that is missing, locked by another writer, damaged, not a gallery
    or of another version; a bad subject id or template; an unknown subject;
    a change through a read-only handle. ``reason`` (also ``str(error)``)
    is the library's text for the failure (FpmLastErrorDetail), ``code`` its
    negative FPM_E_* code, ``path`` the gallery, ``index`` the position of
    a damaged entry."""

    reason: Optional[str]
    code: Optional[int]
    index: Optional[int]
    path: Optional[str]

class Hit(NamedTuple):
    """One hit of Gallery.identify: by subject, the subject scored by its
    best template (``entry``, a template id); by entry, one template."""

    subject: str
    score: int
    entry: int

class Entry(NamedTuple):
    """One stored template: its position in the file (0..entries-1), its
    template id (kept by compaction), subject, bytes, short template (or
    None) and whether it is removed (until a compaction drops it)."""

    position: int
    id: int
    subject: str
    template: bytes
    short_template: Optional[bytes]
    removed: bool

class GalleryStat(NamedTuple):
    """The counts of the state a Gallery handle sees (FpmGalleryStat)."""

    version: int
    writable: bool
    templates: int  # that can be found; len(gallery)
    subjects: int
    entries: int  # stored, removed ones included: positions 0..entries-1
    removed: int
    shorts: int
    parts: int
    commit: int
    file_size: int
    pending_templates: int
    pending_removals: int

PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
SubjectId = Union[str, bytes]

class Gallery:
    """A gallery file of enrolled subjects, through the identification
    library: one writer at a time, any number of readers. Closing (or
    leaving a ``with`` block) drops uncommitted changes."""

    @staticmethod
    def create(path: PathArg) -> "Gallery":
        """Creates a new empty gallery (the file must not exist), open for
        writing."""
    @staticmethod
    def open(path: PathArg, writable: bool = False) -> "Gallery":
        """Opens a gallery for reading, or for writing (taking the writer's
        lock). Version-1 files (``fpmatch pack``) open read-only."""
    def add(self, subject: SubjectId, template: Union[BytesLike, "Probe"], adapt: bool = False) -> None:
        """Adds a template under a subject id (1..255 bytes of UTF-8);
        visible after commit()."""
    def remove(self, subject: SubjectId) -> int:
        """Removes every template of the subject; returns how many."""
    def commit(self) -> None:
        """Makes the batch of adds and removals durable in one step."""
    def discard(self) -> None:
        """Drops the uncommitted batch."""
    def compact(self) -> None:
        """Rewrites the file without its removed templates."""
    def refresh(self) -> bool:
        """Moves a reader to the last committed state; True when it changed."""
    def check(self) -> None:
        """Verifies every checksum; GalleryError names the damaged part."""
    def stat(self) -> GalleryStat: ...
    def subjects(self) -> List[Tuple[str, int]]:
        """Every subject as (subject id, number of templates), in the order
        of their first stored template."""
    def __len__(self) -> int:
        """Templates that can be found (removed ones not counted)."""
    def identify(
        self,
        probe: Union[BytesLike, "Probe"],
        top: int = 10,
        threshold: int = 0,
        threads: int = 0,
        screen: Optional[int] = None,
        by_entry: bool = False,
        adapt: bool = False,
    ) -> List[Hit]:
        """The best subjects (or templates, by_entry) for the probe, best
        first, equal scores by lower template id; top 0: all; threads 0:
        every core; screen=N: screen first, compare the N best in full."""
    def identify_batch(
        self,
        probes: Iterable[Union[BytesLike, "Probe"]],
        top: int = 10,
        threshold: int = 0,
        threads: int = 0,
        screen: Optional[int] = None,
        by_entry: bool = False,
        adapt: bool = False,
    ) -> List[List[Hit]]:
        """identify for every probe in one pass over the gallery: each
        probe's hits, as identify gives them; faster than one identify per
        probe. A refused probe raises GalleryError ("probe K: ...")."""
    def verify(self, subject: SubjectId, probe: Union[BytesLike, "Probe"], adapt: bool = False) -> int:
        """The best score of the probe against the subject's templates."""
    def entry(self, position: int) -> Entry:
        """The stored template at ``position`` (negative counts from the end)."""
    def __getitem__(self, position: int) -> bytes:
        """The template bytes at ``position``."""
    def __iter__(self) -> Iterator[bytes]:
        """The bytes of every template that can be found, in file order."""
    def name(self, position: int) -> str:
        """The subject at ``position`` (a version-1 entry's packed path)."""
    @property
    def names(self) -> List[str]:
        """The subject of every position, in position order."""
    def short_template(self, position: int) -> Optional[bytes]:
        """The 512-byte short template at ``position``, or None."""
    @property
    def has_shorts(self) -> bool:
        """True when every template that can be found has a short template."""
    @property
    def segments(self) -> int:
        """Parts of the file (segments of a version-1 file)."""
    @property
    def version(self) -> int: ...
    @property
    def path(self) -> str: ...
    @property
    def writable(self) -> bool: ...
    @property
    def closed(self) -> bool: ...
    def close(self) -> None:
        """Closes the handle (when any running call has ended), dropping
        uncommitted changes and the writer's lock."""
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
    by lower index (SearchTopK; top 0 or None: every entry). A Gallery's templates are ranked by the
    identification library: index is the template id (its position until a
    compaction), top 0 or None ranks every template. threads: None = 1, 0 =
    one per core."""

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
