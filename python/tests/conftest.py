"""Fixtures of the Python tests: the C library itself through ctypes (the
reference every result is compared with), synthetic templates written by
samples/synthetic.* and the FVC2002 templates.

CTest sets FPMATCH_LIBRARY (libfpmatch.so), FPMATCH_ID_LIBRARY
(libfpmatch-id.so), FPMATCH_SAMPLES_TOOL (the sample writer), FPMATCH_TOOL
(the fpmatch tool) and FPMATCH_DATA_DIR; PYTHONPATH points at the build tree's package.
"""

import ctypes
import os
import subprocess
from pathlib import Path

import numpy as np
import pytest

HERE = Path(__file__).resolve().parent
DEFAULT_DATA = HERE.parents[2] / "shared" / "data" / "fvc2002"

PREPARED_PROBE_SIZE = 40960
MAX_MINUTIAE = 50


class Minutia(ctypes.Structure):
    _fields_ = [("x", ctypes.c_int32), ("y", ctypes.c_int32), ("angle", ctypes.c_int32),
                ("quality", ctypes.c_uint8), ("type", ctypes.c_uint8)]


class SingularPoint(ctypes.Structure):
    _fields_ = [("x", ctypes.c_int32), ("y", ctypes.c_int32)]


class FeatureSet(ctypes.Structure):
    _fields_ = [("width", ctypes.c_int32), ("height", ctypes.c_int32), ("minutiaCount", ctypes.c_int8),
                ("format", ctypes.c_uint8), ("quality", ctypes.c_uint8),
                ("minutiae", ctypes.POINTER(Minutia)), ("singularPoints", ctypes.POINTER(SingularPoint)),
                ("gndTable", ctypes.c_void_p), ("blockQty", ctypes.c_void_p)]


class SearchHit(ctypes.Structure):
    _fields_ = [("index", ctypes.c_int32), ("score", ctypes.c_int32)]


class CLibrary:
    """The exported C functions, called directly on byte strings."""

    def __init__(self, path):
        self.so = ctypes.CDLL(path)
        u8 = ctypes.c_char_p
        i32 = ctypes.c_int32
        p_i32 = ctypes.POINTER(ctypes.c_int32)
        sigs = {
            "Match2Score": ([u8, u8], i32),
            "CheckTemplate": ([u8, ctypes.c_size_t], i32),
            "MatchListFp": ([u8, u8, i32, i32, i32, i32, p_i32, p_i32], i32),
            "PrepareProbe": ([u8, ctypes.c_void_p], i32),
            "MatchPreparedList": ([ctypes.c_void_p, u8, i32, i32, i32, p_i32], i32),
            "SearchTopK": ([ctypes.c_void_p, u8, i32, i32, i32, i32, ctypes.POINTER(SearchHit)], i32),
            "QuickSort": ([u8, u8, i32, p_i32], i32),
            "DecodeFeature": ([u8, ctypes.POINTER(FeatureSet)], i32),
            "WriteShortTemplate": ([ctypes.POINTER(FeatureSet), ctypes.c_void_p, ctypes.c_size_t], i32),
            "WriteNativeTemplate": ([ctypes.POINTER(FeatureSet), ctypes.c_void_p, ctypes.c_size_t], i32),
            "AdaptIsoRecord": ([u8, ctypes.c_size_t, ctypes.c_void_p, ctypes.c_size_t], i32),
        }
        for name, (args, res) in sigs.items():
            f = getattr(self.so, name)
            f.argtypes, f.restype = args, res

    def match(self, probe, gallery):
        return self.so.Match2Score(probe, gallery)

    def check(self, data):
        return self.so.CheckTemplate(data, len(data))

    def prepare(self, probe):
        buf = ctypes.create_string_buffer(PREPARED_PROBE_SIZE)
        self.so.PrepareProbe(probe, buf)
        return buf

    def match_list(self, probe, packed, stride, count):
        out = (ctypes.c_int32 * max(count, 1))()
        n = self.so.MatchPreparedList(self.prepare(probe), packed, stride, 0, count, out)
        return list(out)[:n]

    def search(self, probe, packed, stride, count, k):
        hits = (SearchHit * max(k, 1))()
        n = self.so.SearchTopK(self.prepare(probe), packed, stride, 0, count, k, hits)
        return [(hits[i].index, hits[i].score) for i in range(n)]

    def first_match(self, probe, packed, stride, count, threshold):
        index, score = ctypes.c_int32(-1), ctypes.c_int32(0)
        found = self.so.MatchListFp(probe, packed, stride, 0, count, threshold, ctypes.byref(index),
                                    ctypes.byref(score))
        return (index.value, score.value) if found else None

    def quick_sort(self, probe, packed, count):
        best = (ctypes.c_int32 * 32)()
        self.so.QuickSort(probe, packed, count, best)
        return [b for b in best if b >= 0]

    def write(self, data, writer):
        minutiae = (Minutia * MAX_MINUTIAE)()
        singular = (SingularPoint * 3)()
        gnd = ctypes.create_string_buffer(1152)
        blocks = ctypes.create_string_buffer(288)
        fs = FeatureSet(0, 0, 0, 0, 0, minutiae, singular, ctypes.cast(gnd, ctypes.c_void_p),
                        ctypes.cast(blocks, ctypes.c_void_p))
        assert self.so.DecodeFeature(data, ctypes.byref(fs)) == 0
        out = ctypes.create_string_buffer(512)
        n = getattr(self.so, writer)(ctypes.byref(fs), out, 512)
        return n if n < 0 else out.raw[:n]

    def adapt(self, data):
        out = ctypes.create_string_buffer(len(data) + 1024)
        n = self.so.AdaptIsoRecord(data, len(data), out, len(out))
        return n if n < 0 else out.raw[:n]


class FpmSearchOptions(ctypes.Structure):
    _fields_ = [("top", ctypes.c_int32), ("threshold", ctypes.c_int32), ("threads", ctypes.c_int32),
                ("screen", ctypes.c_int32), ("byEntry", ctypes.c_int32), ("adaptProbe", ctypes.c_int32),
                ("first", ctypes.c_int64), ("count", ctypes.c_int64)]


class FpmHit(ctypes.Structure):
    _fields_ = [("entry", ctypes.c_int64), ("score", ctypes.c_int32), ("subjectLength", ctypes.c_int32),
                ("subject", ctypes.c_char * 256)]


class IdLibrary:
    """The identification library's C functions, called directly: a second
    handle on the same gallery file, and the one table of texts."""

    def __init__(self, path):
        self.so = ctypes.CDLL(path)
        vp, i32 = ctypes.c_void_p, ctypes.c_int32
        sigs = {
            "FpmGalleryOpen": ([ctypes.c_char_p, i32, ctypes.POINTER(vp)], i32),
            "FpmGalleryClose": ([vp], None),
            "FpmSearchOptionsInit": ([ctypes.POINTER(FpmSearchOptions)], None),
            "FpmGalleryIdentify": ([vp, ctypes.c_char_p, ctypes.c_size_t, ctypes.POINTER(FpmSearchOptions),
                                    ctypes.POINTER(FpmHit), i32], i32),
            "FpmCodeText": ([i32], ctypes.c_char_p),
        }
        for name, (args, res) in sigs.items():
            f = getattr(self.so, name)
            f.argtypes, f.restype = args, res

    def text(self, code):
        return self.so.FpmCodeText(code).decode()

    def identify(self, path, probe, top=10, by_entry=False, threads=0):
        """(subject, score, entry) triples from a read-only handle of its own."""
        handle = ctypes.c_void_p()
        assert self.so.FpmGalleryOpen(os.fsencode(path), 0, ctypes.byref(handle)) == 0
        try:
            options = FpmSearchOptions()
            self.so.FpmSearchOptionsInit(ctypes.byref(options))
            options.top, options.byEntry, options.threads = top, int(by_entry), threads
            capacity = 4096
            hits = (FpmHit * capacity)()
            n = self.so.FpmGalleryIdentify(handle, probe, len(probe), ctypes.byref(options), hits, capacity)
            assert n >= 0, self.text(n)
            return [(hits[i].subject.decode(), hits[i].score, hits[i].entry) for i in range(n)]
        finally:
            self.so.FpmGalleryClose(handle)


def pack(templates):
    """Templates laid end to end every `stride` bytes, zero padded."""
    stride = max(len(t) for t in templates)
    return b"".join(t.ljust(stride, b"\0") for t in templates), stride


def as_array(templates):
    stride = max(len(t) for t in templates)
    return np.frombuffer(pack(templates)[0], dtype=np.uint8).reshape(len(templates), stride).copy()


@pytest.fixture(scope="session")
def lib():
    path = os.environ.get("FPMATCH_LIBRARY")
    if not path:
        pytest.skip("FPMATCH_LIBRARY (the C library to compare with) is not set; run through ctest")
    return CLibrary(path)


@pytest.fixture(scope="session")
def idlib():
    path = os.environ.get("FPMATCH_ID_LIBRARY")
    if not path:
        pytest.skip("FPMATCH_ID_LIBRARY (the identification library to compare with) is not set; run through ctest")
    return IdLibrary(path)


@pytest.fixture(scope="session")
def tool():
    path = os.environ.get("FPMATCH_TOOL")
    if not path or not os.path.isfile(path):
        pytest.skip("FPMATCH_TOOL (the fpmatch command-line tool) is not set or not built; "
                    "build the target fpmatch_tool and run through ctest")
    return path


@pytest.fixture(scope="session")
def sample_dir(tmp_path_factory):
    tool = os.environ.get("FPMATCH_SAMPLES_TOOL")
    if not tool:
        pytest.skip("FPMATCH_SAMPLES_TOOL (the synthetic template writer) is not set; run through ctest")
    out = tmp_path_factory.mktemp("samples")
    subprocess.run([tool, str(out)], check=True)
    return out


@pytest.fixture(scope="session")
def synthetic(sample_dir):
    """18 ISO records and 18 native templates of 6 synthetic fingers."""
    return [p.read_bytes() for kind in ("iso", "native") for p in sorted((sample_dir / kind).iterdir())]


@pytest.fixture(scope="session")
def fvc_dir():
    folder = Path(os.environ.get("FPMATCH_DATA_DIR") or DEFAULT_DATA)
    if not (folder / "DB1_B").is_dir():
        pytest.skip(f"FVC2002 templates not found in {folder}")
    return folder


@pytest.fixture(scope="session")
def fvc(fvc_dir):
    """The first 16 records of each database as they stand; DB2_B's include
    records of more than 50 minutiae, which CheckTemplate refuses."""
    return [p.read_bytes() for db in ("DB1_B", "DB2_B", "DB3_B", "DB4_B")
           for p in sorted((fvc_dir / db).iterdir())[:16]]
