"""Galleries of subjects in Python (fpmatch.Gallery over the identification
library): identify equals a brute-force Match2Score ranking by subject and by
template, and the C library's own answer on the same file, for any thread
count; add, remove, commit, refresh and compact keep readers and writers in
step; refusals carry the library's code and text; a closed gallery refuses
every use."""

import json
import subprocess
import threading
from pathlib import Path

import pytest

import fpmatch

FPM_E_EXISTS, FPM_E_LOCKED, FPM_E_READ_ONLY = -4, -5, -6
FPM_E_SUBJECT, FPM_E_UNKNOWN_SUBJECT, FPM_E_PENDING = -8, -9, -14


# ---------------------------------------------------------------- data

def synthetic_set(sample_dir):
    """Impressions 1-2 of the 6 synthetic fingers, ISO and native, enrolled
    under "iso/FINGER" and "native/FINGER"; impression 3 of each probes."""
    enrol, probes = [], []
    for kind in ("iso", "native"):
        for path in sorted((sample_dir / kind).iterdir()):
            finger, impression = path.stem.split("_")
            data = path.read_bytes()
            if impression == "3":
                probes.append(data)
            else:
                enrol.append((f"{kind}/{finger}", data))
    return enrol, probes


def fvc_set(fvc_dir):
    """FVC2002, adapted: impressions 1-4 of every finger enrolled as
    DB/FINGER, impression 5 probes."""
    enrol, probes = [], []
    for db in ("DB1_B", "DB2_B", "DB3_B", "DB4_B"):
        for path in sorted((fvc_dir / db).iterdir()):
            finger, impression = path.stem.split("_")
            data = fpmatch.read_template(path, adapt=True)
            if int(impression) <= 4:
                enrol.append((f"{db}/{finger}", data))
            elif impression == "5":
                probes.append(data)
    return enrol, probes


@pytest.fixture(scope="module", params=["synthetic", "fvc"])
def enrolled(request, tmp_path_factory):
    """A committed gallery of one of the sets, its enrolment list (template
    id = list position) and the probes."""
    if request.param == "synthetic":
        enrol, probes = synthetic_set(request.getfixturevalue("sample_dir"))
    else:
        enrol, probes = fvc_set(request.getfixturevalue("fvc_dir"))
    path = tmp_path_factory.mktemp("subjects") / f"{request.param}.fpg"
    with fpmatch.Gallery.create(path) as g:
        for subject, data in enrol:
            g.add(subject, data)
        g.commit()
    return path, enrol, probes


def by_template(probe, enrol):
    """Every template as (subject, score, id), best first, ties by lower id."""
    scored = [(subject, fpmatch.compare(probe, data), i) for i, (subject, data) in enumerate(enrol)]
    return sorted(scored, key=lambda h: (-h[1], h[2]))


def by_subject(probe, enrol):
    """Each subject once, with its best template (the first in template order)."""
    seen, out = set(), []
    for hit in by_template(probe, enrol):
        if hit[0] not in seen:
            seen.add(hit[0])
            out.append(hit)
    return out


# ---------------------------------------------------------------- search

def test_identify_equals_a_brute_force_ranking_whatever_the_threads(enrolled, idlib):
    path, enrol, probes = enrolled
    with fpmatch.Gallery.open(path) as g:
        assert (len(g), g.stat().subjects) == (len(enrol), len({s for s, _ in enrol}))
        for probe in probes:
            subjects, templates = by_subject(probe, enrol), by_template(probe, enrol)
            for threads in (1, 2, 0):
                assert g.identify(probe, top=0, threads=threads) == subjects
                assert g.identify(probe, top=0, threads=threads, by_entry=True) == templates
            assert g.identify(probe) == subjects[:10]
            assert g.identify(probe, top=3, by_entry=True, threads=2) == templates[:3]
            assert g.identify(probe, top=0, threshold=40) == [h for h in subjects if h[1] >= 40]
            # The C library, through a handle of its own on the same file.
            assert idlib.identify(path, probe, top=0) == subjects
            assert idlib.identify(path, probe, top=5, by_entry=True, threads=1) == templates[:5]
            # Screening every template equals the full search.
            assert g.identify(probe, top=0, screen=len(enrol)) == subjects
            # The module's identify over a gallery ranks its templates.
            assert fpmatch.identify(probe, g, top=None) == [(i, s) for _, s, i in templates]
            assert fpmatch.Probe(probe).identify(g, top=4, threads=2) == [(i, s) for _, s, i in templates[:4]]
            # Verification: a subject's best score.
            for subject in sorted({s for s, _ in enrol})[::3]:
                assert g.verify(subject, probe) == max(s for subj, s, _ in templates if subj == subject)


def test_identify_batch_equals_identify_per_probe(enrolled, idlib):
    path, enrol, probes = enrolled
    with fpmatch.Gallery.open(path) as g:
        for kwargs in ({}, {"top": 0, "by_entry": True, "threads": 2}, {"threshold": 40, "top": 0},
                       {"screen": 5}):
            assert g.identify_batch(iter(probes), **kwargs) == [g.identify(p, **kwargs) for p in probes]
        assert g.identify_batch([fpmatch.Probe(probes[0])], top=0) == [by_subject(probes[0], enrol)]
        assert g.identify_batch([]) == []
        with pytest.raises(fpmatch.GalleryError) as e:
            g.identify_batch([probes[0], b"xyz" * 30])
        assert (e.value.code, str(e.value)) == (-101, "probe 1: " + idlib.text(-101))


def test_hits_are_named_tuples(enrolled):
    path, enrol, probes = enrolled
    with fpmatch.Gallery.open(path) as g:
        hit = g.identify(fpmatch.Probe(probes[0]), top=1)[0]
        assert isinstance(hit, fpmatch.Hit)
        assert (hit.subject, hit.score, hit.entry) == tuple(hit) == by_subject(probes[0], enrol)[0]


def test_adapting_on_add_and_identify_equals_adapting_first(fvc_dir, tmp_path):
    records = [p.read_bytes() for p in sorted((fvc_dir / "DB2_B").iterdir())]
    raw, adapted = tmp_path / "raw.fpg", tmp_path / "adapted.fpg"
    with fpmatch.Gallery.create(raw) as a, fpmatch.Gallery.create(adapted) as b:
        for i, record in enumerate(records[::2]):
            a.add(f"s{i // 2}", record, adapt=True)
            b.add(f"s{i // 2}", fpmatch.adapt_iso(record))
        a.commit()
        b.commit()
        for record in records[1::8]:
            assert a.identify(record, top=0, adapt=True) == b.identify(fpmatch.adapt_iso(record), top=0)
            assert a.verify("s1", record, adapt=True) == b.verify("s1", fpmatch.adapt_iso(record))
        assert [a.entry(i).template for i in range(len(a))] == [b.entry(i).template for i in range(len(b))]


# ---------------------------------------------------------------- changes

def test_add_remove_commit_refresh_compact_round_trip(sample_dir, tmp_path):
    enrol, probes = synthetic_set(sample_dir)
    path = tmp_path / "people.fpg"
    writer = fpmatch.Gallery.create(path)
    reader = fpmatch.Gallery.open(path)
    first, second = enrol[:12], enrol[12:]
    for subject, data in first:
        writer.add(subject, data)
    assert (len(writer), writer.stat().pending_templates) == (0, 12)
    assert writer.identify(probes[0]) == []  # only committed templates are searched
    writer.commit()
    assert len(reader) == 0 and reader.refresh() is True and reader.refresh() is False
    assert len(reader) == 12
    for subject, data in second:
        writer.add(subject, data)
    writer.discard()
    assert (writer.stat().pending_templates, len(writer)) == (0, 12)
    for subject, data in second:
        writer.add(subject, data)
    writer.commit()
    assert reader.refresh() is True
    for g in (writer, reader):
        assert g.subjects() == [(s, 2) for s in dict.fromkeys(s for s, _ in enrol)]
        assert [g.entry(i).id for i in range(len(g))] == list(range(len(enrol)))
        # Stored: the bytes the comparison reads (an ISO record's extended data is not kept).
        assert all(d.startswith(t) for t, (_, d) in zip(list(g), enrol)) and len(list(g)) == len(enrol)
        assert g.names == [s for s, _ in enrol] and g[3] == g.entry(3).template == g.entry(-len(enrol) + 3).template
    full = [writer.identify(p, top=0) for p in probes]

    # Removing: the writer's batch, then durable; the reader after refresh.
    gone = "iso/102"
    assert writer.remove(gone) == 2
    assert writer.stat().pending_removals == 2 and writer.identify(probes[1], top=0) == full[1]
    writer.commit()
    kept = [(s, d) if s != gone else (s, None) for s, d in enrol]
    without = [[h for h in hits if h.subject != gone] for hits in full]
    assert [writer.identify(p, top=0) for p in probes] == without
    assert [reader.identify(p, top=0) for p in probes] == full  # before refresh: the state it had
    assert reader.refresh() is True
    assert [reader.identify(p, top=0) for p in probes] == without
    stat = reader.stat()
    assert (stat.templates, stat.entries, stat.removed, stat.subjects) == (len(enrol) - 2, len(enrol), 2, 11)
    assert [e.removed for e in map(reader.entry, range(stat.entries))] == [d is None for _, d in kept]
    assert len(list(reader)) == len(reader) == len(enrol) - 2
    with pytest.raises(fpmatch.GalleryError) as e:
        reader.verify(gone, probes[1])
    assert e.value.code == FPM_E_UNKNOWN_SUBJECT

    # Compaction: the same results, ids kept, positions closed up.
    writer.add("late", enrol[0][1])
    with pytest.raises(fpmatch.GalleryError) as e:
        writer.compact()
    assert e.value.code == FPM_E_PENDING
    writer.discard()
    writer.compact()
    assert [writer.identify(p, top=0) for p in probes] == without
    assert [writer.identify(p, top=0, by_entry=True) for p in probes] == \
        [reader.identify(p, top=0, by_entry=True) for p in probes]
    assert writer.stat().entries == writer.stat().templates == len(enrol) - 2
    assert [writer.entry(i).id for i in range(len(writer))] == [i for i, (_, d) in enumerate(kept) if d is not None]
    assert reader.refresh() is True and reader.stat().removed == 0
    assert [reader.identify(p, top=0) for p in probes] == without
    writer.check()
    reader.check()

    # Enrolled again under the same id: new templates, new ids.
    writer.add(gone, enrol[2][1])
    writer.commit()
    assert (gone, 100, len(enrol)) in writer.identify(enrol[2][1], top=0, by_entry=True)
    assert writer.subjects()[-1] == (gone, 1) and writer.verify(gone, enrol[2][1]) == 100
    reader.close()
    writer.close()


def test_one_handle_searched_by_python_threads_while_it_commits(sample_dir, tmp_path):
    enrol, probes = synthetic_set(sample_dir)
    path = tmp_path / "busy.fpg"
    g = fpmatch.Gallery.create(path)
    for subject, data in enrol[:12]:
        g.add(subject, data)
    g.commit()
    states = [[g.identify(p, top=0) for p in probes]]
    results, failures = [], []

    def search():
        try:
            for _ in range(20):
                results.append([g.identify(p, top=0, threads=1) for p in probes])
        except Exception as e:  # noqa: BLE001 - reported below
            failures.append(e)

    workers = [threading.Thread(target=search) for _ in range(3)]
    for w in workers:
        w.start()
    for subject, data in enrol[12:]:
        g.add(subject, data)
        g.commit()
    g.remove("iso/101")
    g.commit()
    for w in workers:
        w.join()
    assert failures == []
    # Every answer is one committed state's, whichever it was (commits fall
    # between the probes of one round).
    reference = fpmatch.Gallery.create(tmp_path / "reference.fpg")
    for subject, data in enrol[:12]:
        reference.add(subject, data)
    reference.commit()
    for subject, data in enrol[12:]:
        reference.add(subject, data)
        reference.commit()
        states.append([reference.identify(p, top=0) for p in probes])
    reference.remove("iso/101")
    reference.commit()
    states.append([reference.identify(p, top=0) for p in probes])
    assert len(results) == 60
    for r in results:
        assert all(hits in [state[k] for state in states] for k, hits in enumerate(r))
    g.close()
    reference.close()


# ---------------------------------------------------------------- refusals

# Each row: a subject id and whether the library takes it (1..255 bytes of
# UTF-8 without control characters).
SUBJECT_CASES = [
    ("empty", "", False),
    ("one byte", "a", True),
    ("255 bytes", "x" * 255, True),
    ("256 bytes", "x" * 256, False),
    ("254 bytes in 2-byte characters", "é" * 127, True),
    ("256 bytes in 2-byte characters", "é" * 128, False),
    ("bytes, UTF-8", "Zoë".encode(), True),
    ("bytes, not UTF-8", b"\xff\xfe", False),
    ("lone surrogate", "\udc80", False),
    ("line break", "a\nb", False),
    ("NUL", "a\0b", False),
]


@pytest.mark.parametrize("name,subject,taken", SUBJECT_CASES, ids=[c[0] for c in SUBJECT_CASES])
def test_subject_ids(sample_dir, idlib, tmp_path, name, subject, taken):
    enrol, probes = synthetic_set(sample_dir)
    with fpmatch.Gallery.create(tmp_path / "ids.fpg") as g:
        if taken:
            g.add(subject, enrol[0][1])
            g.commit()
            text = subject.decode() if isinstance(subject, bytes) else subject
            assert g.subjects() == [(text, 1)] and g.identify(probes[0], top=1)[0].subject == text
            assert g.remove(subject) == 1
            return
        for call in (lambda: g.add(subject, enrol[0][1]), lambda: g.remove(subject),
                     lambda: g.verify(subject, probes[0])):
            with pytest.raises(fpmatch.GalleryError) as e:
                call()
            assert (e.value.code, str(e.value)) == (FPM_E_SUBJECT, idlib.text(FPM_E_SUBJECT))
        assert g.stat().pending_templates == 0


# Each row: a template, whether it is adapted, and the library's code.
TEMPLATE_CASES = [
    ("empty", b"", False, -103),
    ("cut native", b"\x03\x00\x00\x0a", False, -103),
    ("60 minutiae", b"\x03\x00\x00\x3c" + bytes(300), False, -102),
    ("text", b"xyz" * 30, False, -101),
    ("ISO without views", b"FMR\x00 20\x00" + bytes(30), True, -306),
]


@pytest.mark.parametrize("name,data,adapt,code", TEMPLATE_CASES, ids=[c[0] for c in TEMPLATE_CASES])
def test_bad_templates(sample_dir, idlib, tmp_path, name, data, adapt, code):
    enrol, _ = synthetic_set(sample_dir)
    with fpmatch.Gallery.create(tmp_path / "t.fpg") as g:
        g.add("someone", enrol[0][1])
        g.commit()
        with pytest.raises(fpmatch.GalleryError) as e:
            g.add("someone", data, adapt=adapt)
        assert (e.value.code, str(e.value)) == (code, idlib.text(code))
        with pytest.raises(fpmatch.GalleryError) as e:
            g.identify(data, adapt=adapt)
        assert (e.value.code, str(e.value)) == (code, "probe: " + idlib.text(code))
        assert g.stat().pending_templates == 0


def test_writers_readers_and_read_only_handles(sample_dir, idlib, tmp_path):
    enrol, _ = synthetic_set(sample_dir)
    path = tmp_path / "locked.fpg"
    g = fpmatch.Gallery.create(path)
    g.add(*enrol[0])
    g.commit()
    for make in (lambda: fpmatch.Gallery.open(path, writable=True), lambda: fpmatch.Gallery.create(path)):
        with pytest.raises(fpmatch.GalleryError) as e:
            make()
        assert isinstance(e.value, ValueError) and e.value.path == str(path)
    with pytest.raises(fpmatch.GalleryError) as e:
        fpmatch.Gallery.open(path, writable=True)
    assert (e.value.code, str(e.value)) == (FPM_E_LOCKED, f"{path}: {idlib.text(FPM_E_LOCKED)}")
    with pytest.raises(fpmatch.GalleryError) as e:
        fpmatch.Gallery.create(path)
    assert (e.value.code, str(e.value)) == (FPM_E_EXISTS, f"{path}: {idlib.text(FPM_E_EXISTS)}")
    with fpmatch.Gallery.open(path) as reader:
        assert (reader.writable, len(reader)) == (False, 1)
        for change in (lambda: reader.add(*enrol[1]), lambda: reader.remove(enrol[0][0]), reader.commit,
                       reader.discard, reader.compact):
            with pytest.raises(fpmatch.GalleryError) as e:
                change()
            assert e.value.code == FPM_E_READ_ONLY and idlib.text(FPM_E_READ_ONLY) in str(e.value)
    with pytest.raises(fpmatch.GalleryError) as e:
        g.remove("nobody")
    assert (e.value.code, str(e.value)) == (FPM_E_UNKNOWN_SUBJECT, f'{path}: no subject "nobody"')
    g.close()  # the lock goes with the handle
    with fpmatch.Gallery.open(Path(str(path)).as_posix().encode(), writable=True) as again:
        assert again.writable and again.subjects() == [(enrol[0][0], 1)]


# Each row: keyword arguments of Gallery.identify, the exception and a piece
# of its message naming the argument.
OPTION_CASES = [
    ({"top": -1}, ValueError, "top must be 0 or more"),
    ({"top": 2**31}, OverflowError, "top must be at most 2147483647, not 2147483648"),
    ({"top": 1.5}, TypeError, "top must be an int, not float"),
    ({"threshold": 101}, ValueError, "threshold must be 0..100, not 101"),
    ({"threshold": -1}, ValueError, "threshold must be 0..100, not -1"),
    ({"threshold": -2**40}, OverflowError, "threshold must be at least -2147483648"),
    ({"threads": -1}, ValueError, "threads must be 0"),
    ({"threads": None}, TypeError, "threads must be an int, not NoneType"),
    ({"screen": -5}, ValueError, "screen must be 0 or more"),
    ({"screen": 2**63}, OverflowError, "screen must be at most 2147483647"),
]


@pytest.mark.parametrize("options,error,message", OPTION_CASES, ids=[str(c[0]) for c in OPTION_CASES])
def test_identify_options_out_of_range(sample_dir, tmp_path, options, error, message):
    enrol, probes = synthetic_set(sample_dir)
    with fpmatch.Gallery.create(tmp_path / "o.fpg") as g:
        g.add(*enrol[0])
        g.commit()
        with pytest.raises(error, match=message):
            g.identify(probes[0], **options)
        if options in ({"top": -1}, {"threads": -1}):
            # The module's identify over a gallery names them the same way.
            with pytest.raises(error, match=message):
                fpmatch.identify(probes[0], g, **options)


def test_closed_gallery_refuses_every_use(sample_dir, tmp_path):
    enrol, probes = synthetic_set(sample_dir)
    path = tmp_path / "closed.fpg"
    with fpmatch.Gallery.create(path) as g:
        g.add(*enrol[0])  # never committed: closing drops it
    assert g.closed and repr(g) == f"<fpmatch.Gallery {str(path)!r}, closed>"
    g.close()  # twice is allowed
    uses = [len, list, lambda g: g[0], lambda g: g.entry(0), lambda g: g.names, g.__class__.stat,
            g.__class__.subjects, g.__class__.commit, g.__class__.discard, g.__class__.compact,
            g.__class__.refresh, g.__class__.check, lambda g: g.add(*enrol[0]), lambda g: g.remove("x"),
            lambda g: g.identify(probes[0]), lambda g: g.verify("x", probes[0]),
            lambda g: fpmatch.identify(probes[0], g), lambda g: g.version, lambda g: g.has_shorts]
    for use in uses:
        with pytest.raises(ValueError, match="closed gallery"):
            use(g)
    with fpmatch.Gallery.open(path) as again:
        assert len(again) == 0 and again.stat().commit == 1


# ---------------------------------------------------------------- eval-id

@pytest.mark.parametrize("adapt", [False, True], ids=["as they stand", "adapted"])
def test_tool_identification_rates_equal_a_brute_force_ranking(tool, fvc_dir, adapt):
    """`fpmatch eval-id` (galleries built by the library) against subjects
    ranked here from Probe.match_many scores: templates the library refuses
    are not enrolled, probes it refuses are misses."""
    folders = [fvc_dir / db for db in ("DB1_B", "DB2_B", "DB3_B", "DB4_B")]
    done = subprocess.run([tool, "eval-id", "--json", *(["--adapt"] if adapt else []), *map(str, folders)],
                          capture_output=True, text=True)
    assert done.returncode == (0 if adapt else 1), done.stderr
    report = json.loads(done.stdout)

    def usable(path):
        data = path.read_bytes()
        try:
            data = fpmatch.adapt_iso(data) if adapt else data
        except fpmatch.TemplateError:
            return None
        return data if fpmatch.check(data) == 0 else None

    records = []  # (subject, impression, template or None), in the tool's order
    for folder in folders:
        for path in sorted(folder.iterdir(), key=lambda p: tuple(map(int, p.stem.split("_")))):
            finger, impression = map(int, path.stem.split("_"))
            records.append((f"{folder.name}/{finger}", impression, usable(path)))
    for gallery, last in zip(report["galleries"], (1, 4)):
        enrolled = [(s, t) for s, i, t in records if i <= last and t is not None]
        ranks = []
        for subject, impression, probe in records:
            if impression <= 4:
                continue
            if probe is None:
                ranks.append(None)
                continue
            scores = fpmatch.Probe(probe).match_many([t for _, t in enrolled])
            best = {}
            for k, (s, _) in enumerate(enrolled):
                score = max(int(scores[k]), 0)
                if s not in best or score > best[s][0]:
                    best[s] = (score, k)
            order = sorted(best, key=lambda s: (-best[s][0], best[s][1]))
            ranks.append(order.index(subject) if subject in best else None)
        assert (gallery["templates"], gallery["subjects"]) == (len(enrolled), len({s for s, _ in enrolled}))
        assert report["probes"] == len(ranks)
        assert gallery["rank1"] == sum(r == 0 for r in ranks)
        assert gallery["rank5"] == sum(r is not None and r < 5 for r in ranks)


def test_prepared_counts_what_compaction_prepares(tmp_path):
    """A gallery written by fpmatch 1.0 stores no compact records: searched
    all the same, it counts 0 prepared templates until compaction."""
    fixture = Path(__file__).resolve().parents[2] / "tests/galleries/1.0-three-subjects-one-removed.fpg"
    path = tmp_path / "old.fpg"
    path.write_bytes(fixture.read_bytes())
    with fpmatch.Gallery.open(path, writable=True) as g:
        assert (g.prepared, len(g)) == (0, 4)
        g.compact()
        assert g.prepared == len(g) == 4
