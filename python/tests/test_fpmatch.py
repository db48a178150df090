"""The Python package against the C library: every result equals what the
exported functions give for the same bytes (called through ctypes), on
synthetic and FVC2002 templates; threads change nothing; bad input raises."""

import pickle
from concurrent.futures import ThreadPoolExecutor
from itertools import product

import numpy as np
import pytest

import fpmatch
from conftest import as_array, pack


@pytest.fixture(scope="session")
def templates(synthetic, lib, request):
    """Synthetic ISO and native templates, plus the FVC2002 records as they
    stand and adapted when the data is there."""
    out = list(synthetic)
    try:
        fvc = request.getfixturevalue("fvc")
    except pytest.skip.Exception:
        return out
    return out + fvc + [fpmatch.adapt_iso(t) for t in fvc]


def usable(templates, lib):
    return [t for t in templates if lib.check(t) == 0]


def test_version():
    assert fpmatch.algorithm_version() == 1
    assert fpmatch.__version__.count(".") == 2


def test_check_equals_check_template(templates, lib):
    cut = [t[: len(t) // 2] for t in templates[::7]]
    for t in templates + cut:
        assert fpmatch.check(t) == lib.check(t)


def test_compare_and_probe_equal_match2score(templates, lib):
    good = usable(templates, lib)
    probes = good[::6]
    for p in probes:
        probe = fpmatch.Probe(p)
        want = [lib.match(p, g) for g in good]
        assert [fpmatch.compare(p, g) for g in good] == want
        assert [probe.match(g) for g in good] == want
        # Every kind of bytes-like input gives the same score.
        g = good[len(good) // 2]
        for form in (bytearray, memoryview, lambda b: np.frombuffer(b, dtype=np.uint8)):
            assert fpmatch.compare(form(p), form(g)) == lib.match(p, g)


def test_match_many_equals_match_prepared_list(templates, lib):
    # Entries CheckTemplate refuses as undecodable stay in: they give -1.
    packed, stride = pack(templates)
    array = as_array(templates)
    for p in usable(templates, lib)[::10]:
        want = lib.match_list(p, packed, stride, len(templates))
        got = fpmatch.Probe(p).match_many(templates)
        assert got.dtype == np.int32
        assert got.tolist() == want
        assert fpmatch.Probe(p).match_many(array).tolist() == want
        assert [max(o, 0) for o in want] == [lib.match(p, g) for g in templates]


def test_identify_ranks_as_match2score_whatever_the_threads(templates, lib):
    packed, stride = pack(templates)
    array = as_array(templates)
    for p in usable(templates, lib)[::27]:
        scores = [lib.match(p, g) for g in templates]
        ranking = sorted(range(len(templates)), key=lambda i: (-scores[i], i))
        full = [(i, scores[i]) for i in ranking]
        probe = fpmatch.Probe(p)
        for top, threads in product((1, 10, None), (None, 2, 3, 0)):
            want = full if top is None else full[:top]
            assert fpmatch.identify(p, templates, top=top, threads=threads) == want
            assert probe.identify(array, top=top, threads=threads) == want
        assert fpmatch.identify(probe, array[:, : stride - 2], top=None) == full  # a non-contiguous view
        assert pickle.loads(pickle.dumps(probe)).identify(templates, top=None) == full
        assert lib.search(p, packed, stride, len(templates), 10) == full[:10]


def test_identify_top_0_ranks_every_entry_as_the_tool_does(templates, lib):
    probe = fpmatch.Probe(usable(templates, lib)[0])
    full = fpmatch.identify(probe, templates, top=None)
    assert len(full) == len(templates)
    assert fpmatch.identify(probe, templates, top=0) == full
    assert probe.identify(templates, top=0, threads=2) == full


def test_python_threads_give_the_same_scores(templates, lib):
    good = usable(templates, lib)
    pairs = [(a, b) for a in good[::4] for b in good[1::4]]
    with ThreadPoolExecutor(max_workers=4) as pool:
        got = list(pool.map(lambda ab: fpmatch.compare(*ab), pairs))
    assert got == [lib.match(a, b) for a, b in pairs]


@pytest.mark.parametrize("threshold", [0, 1, 20, 60, 101])
def test_first_match_equals_match_list_fp(templates, lib, threshold):
    good = usable(templates, lib)
    gallery = good[1:] + good[:1]
    packed, stride = pack(gallery)
    for p in good[::6]:
        assert fpmatch.first_match(p, gallery, threshold) == lib.first_match(p, packed, stride, len(gallery),
                                                                             threshold)


def test_writers_and_adapter_equal_the_library(templates, lib):
    for t in templates:
        if t[:2] == b"FM":
            assert fpmatch.adapt_iso(t) == lib.adapt(t)
        if lib.check(t) != 0:
            continue
        for convert, writer in ((fpmatch.to_short, "WriteShortTemplate"), (fpmatch.to_native, "WriteNativeTemplate")):
            want = lib.write(t, writer)
            if isinstance(want, int):
                with pytest.raises(fpmatch.TemplateError) as e:
                    convert(t)
                assert e.value.code == want
            else:
                assert convert(t) == want


def test_screen_equals_quick_sort(templates, lib):
    shorts = []
    for t in usable(templates, lib):
        try:
            shorts.append(fpmatch.to_short(t))
        except fpmatch.TemplateError:
            pass
    packed, _ = pack(shorts)
    for probe in shorts[::5]:
        want = lib.quick_sort(probe, packed, len(shorts))
        assert fpmatch.screen(probe, shorts) == want
        assert fpmatch.screen(probe, as_array(shorts)) == want
        assert want  # a probe always finds candidates here, so the comparison is not vacuous


def test_evaluate_synthetic_folder_scores_every_pair(sample_dir, lib):
    folder = sample_dir / "native"
    e = fpmatch.evaluate(folder, threads=2)
    files = sorted(folder.iterdir())  # FINGER_IMPRESSION order
    data = [f.read_bytes() for f in files]
    genuine, impostor = [], []
    for i in range(len(files)):
        for j in range(i + 1, len(files)):
            same = files[i].name.split("_")[0] == files[j].name.split("_")[0]
            (genuine if same else impostor).append(lib.match(data[i], data[j]))
    assert e.genuine.tolist() == genuine and len(genuine) == 18
    assert e.impostor.tolist() == impostor and len(impostor) == 135
    assert e.failed == [] and e.folders[0].eer == e.eer


def test_evaluate_fvc_figures_are_the_tools(fvc_dir):
    # The figures of `fpmatch eval --adapt` on DB1_B and DB2_B (README).
    e = fpmatch.evaluate([fvc_dir / "DB1_B", fvc_dir / "DB2_B"], adapt=True, threads=0)
    db1, db2 = e.folders
    assert (db1.t1, db1.t2) == (5, 6)
    for got, want in ((db1.eer, 0.0366), (db1.eer_low, 0.0267), (db1.eer_high, 0.0464), (db1.fmr100, 0.0643),
                      (db1.fmr1000, 0.1250), (db1.zero_fmr, 0.1786), (db2.eer, 0.0383), (db2.fmr1000, 0.0786)):
        assert abs(got - want) < 5e-5
    assert len(db1.genuine) == 280 and len(db1.impostor) == 2880 and db1.failed == []
    assert e.eer == pytest.approx((db1.eer + db2.eer) / 2) and e.t1 is None
    assert np.array_equal(e.genuine, np.concatenate([db1.genuine, db2.genuine]))
    # As they stand, DB2_B's records of more than 50 minutiae fail and score 0.
    raw = fpmatch.evaluate(fvc_dir / "DB2_B")
    assert len(raw.failed) == 13 and all("1 to 50" in reason for _, reason in raw.failed)


# ---------------------------------------------------------------- bad input

@pytest.fixture(scope="module")
def iso(synthetic):
    return synthetic[0]


@pytest.fixture(scope="module")
def native(synthetic):
    return synthetic[18]


# Each row: a call on a broken input, the error and a piece of its message.
BAD_TEMPLATE_CASES = [
    ("empty", lambda iso, nat: fpmatch.compare(b"", iso), fpmatch.TemplateError, "empty"),
    ("iso one byte short", lambda iso, nat: fpmatch.compare(iso[:-3], iso), fpmatch.TemplateError, "truncated"),
    ("iso header only", lambda iso, nat: fpmatch.Probe(iso[:20]), fpmatch.TemplateError, "at least 28"),
    ("native cut", lambda iso, nat: fpmatch.compare(iso, nat[:57]), fpmatch.TemplateError, "truncated"),
    ("native version 2", lambda iso, nat: fpmatch.compare(b"\x02" + nat[1:], iso), fpmatch.TemplateError,
     "first byte 0x02"),
    ("count 0", lambda iso, nat: fpmatch.to_short(nat[:3] + b"\0" + nat[4:]), fpmatch.TemplateError,
     "declares 0 minutiae"),
    ("count 51", lambda iso, nat: fpmatch.to_native(iso[:27] + b"\x33" + iso[28:]), fpmatch.TemplateError,
     "declares 51"),
    ("truncated list entry", lambda iso, nat: fpmatch.identify(iso, [iso, nat[:60]]), fpmatch.TemplateError,
     "gallery entry 1"),
    ("narrow array rows", lambda iso, nat: fpmatch.Probe(iso).match_many(np.array([list(nat[:40])] * 2, np.uint8)),
     fpmatch.TemplateError, "gallery entry 0"),
    ("short of 511 bytes", lambda iso, nat: fpmatch.screen(bytes(511), [bytes(512)]), fpmatch.TemplateError,
     "512 bytes"),
    ("adapt a native", lambda iso, nat: fpmatch.adapt_iso(nat), fpmatch.TemplateError, "FMR"),
    ("str template", lambda iso, nat: fpmatch.compare("FMR", iso), TypeError, "not str"),
    ("int template", lambda iso, nat: fpmatch.check(3), TypeError, "bytes-like"),
    ("int32 array", lambda iso, nat: fpmatch.check(np.zeros(64, np.int32)), TypeError, "uint8"),
    ("strided view", lambda iso, nat: fpmatch.check(memoryview(iso)[::2]), TypeError, "contiguous"),
    ("bytes as gallery", lambda iso, nat: fpmatch.identify(iso, iso), TypeError, "list"),
    ("3-D gallery", lambda iso, nat: fpmatch.identify(iso, np.zeros((2, 2, 2), np.uint8)), TypeError, "dimension"),
    ("None in gallery", lambda iso, nat: fpmatch.Probe(iso).match_many([iso, None]), TypeError, "entry 1"),
    ("negative top", lambda iso, nat: fpmatch.identify(iso, [iso], top=-1), ValueError, "top"),
    ("negative threads", lambda iso, nat: fpmatch.identify(iso, [iso], threads=-2), ValueError, "threads"),
    # Whole numbers beyond a 32-bit int are named, not refused as "incompatible function arguments".
    ("top beyond int32", lambda iso, nat: fpmatch.identify(iso, [iso], top=2**31), OverflowError,
     "top must be at most 2147483647, not 2147483648"),
    ("top far below int32", lambda iso, nat: fpmatch.identify(iso, [iso], top=-2**40), OverflowError,
     "top must be at least -2147483648"),
    ("threads beyond int32", lambda iso, nat: fpmatch.Probe(iso).identify([iso], threads=2**63), OverflowError,
     "threads must be at most 2147483647"),
    ("threshold beyond int32", lambda iso, nat: fpmatch.first_match(iso, [iso], 10**20), OverflowError,
     "threshold must be at most 2147483647"),
    ("pair threads beyond int32", lambda iso, nat: fpmatch._fpmatch._score_pairs([iso, iso], 2**32), OverflowError,
     "threads must be at most 2147483647"),
    ("float top", lambda iso, nat: fpmatch.identify(iso, [iso], top=1.5), TypeError, "top must be an int, not float"),
    ("str threshold", lambda iso, nat: fpmatch.first_match(iso, [iso], "50"), TypeError,
     "threshold must be an int, not str"),
]


@pytest.mark.parametrize("name,call,error,message", BAD_TEMPLATE_CASES, ids=[c[0] for c in BAD_TEMPLATE_CASES])
def test_bad_input_raises(iso, native, name, call, error, message):
    with pytest.raises(error) as e:
        call(iso, native)
    assert message in str(e.value)


def test_template_error_is_a_value_error_with_the_reason(iso):
    with pytest.raises(ValueError) as e:
        fpmatch.identify(iso, [iso, iso, iso[:30]])
    assert isinstance(e.value, fpmatch.TemplateError)
    assert (e.value.index, e.value.code) == (2, 3) and e.value.reason.startswith("truncated")


@pytest.mark.parametrize("content,reason", [
    (b"", "empty file"),
    (b"FM", "at least 28"),
    (b"hello", "first byte 0x68"),
    (None, "truncated"),
])
def test_read_template_names_the_file(tmp_path, iso, content, reason):
    path = tmp_path / "bad.iso"
    path.write_bytes(iso[:40] if content is None else content)
    with pytest.raises(fpmatch.TemplateError) as e:
        fpmatch.read_template(path)
    assert e.value.path == str(path) and str(path) in str(e.value) and reason in e.value.reason


def test_read_template_reads_and_adapts(tmp_path, iso):
    path = tmp_path / "101_1.iso"
    path.write_bytes(iso)
    assert fpmatch.read_template(path) == iso
    assert fpmatch.read_template(str(path), adapt=True) == fpmatch.adapt_iso(iso)
    with pytest.raises(FileNotFoundError):
        fpmatch.read_template(tmp_path / "missing.iso")
