"""Galleries written by `fpmatch pack` in Python, opened through the
identification library: read back entry for entry, identify over a gallery
equals identify over the same templates as a list whatever the threads, a
reader keeps its state until refresh() while the tool appends, damaged and
foreign files raise with the library's reason."""

import struct
import subprocess
from itertools import product
from pathlib import Path

import pytest

import fpmatch


def pack(tool, out, inputs, *options, append=False):
    args = [tool, "pack", *options, *(["--append"] if append else []), str(out), *map(str, inputs)]
    done = subprocess.run(args, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return out


@pytest.fixture(scope="session")
def synthetic_fpg(tool, sample_dir, tmp_path_factory):
    """The synthetic ISO records, then the native templates appended as a
    second segment; both with short templates."""
    out = tmp_path_factory.mktemp("fpg") / "synthetic.fpg"
    pack(tool, out, [sample_dir / "iso"], "--shorts")
    return pack(tool, out, [sample_dir / "native"], "--shorts", append=True)


@pytest.fixture(scope="session")
def fvc_fpg(tool, fvc_dir, tmp_path_factory):
    """DB1_B and DB2_B adapted, DB3_B and DB4_B appended as they stand
    (records CheckTemplate refuses are left out by the tool: exit 1)."""
    out = tmp_path_factory.mktemp("fpg") / "fvc.fpg"
    pack(tool, out, [fvc_dir / "DB1_B", fvc_dir / "DB2_B"], "--adapt")
    args = [tool, "pack", "--append", str(out), str(fvc_dir / "DB3_B"), str(fvc_dir / "DB4_B")]
    assert subprocess.run(args, capture_output=True).returncode in (0, 1)
    return out


def test_gallery_reads_back_the_packed_files(synthetic_fpg, sample_dir):
    files = sorted((sample_dir / "iso").iterdir()) + sorted((sample_dir / "native").iterdir())
    with fpmatch.Gallery.open(synthetic_fpg) as g:
        assert (len(g), g.segments, g.version, g.has_shorts) == (len(files), 2, 2, False)
        assert g.path == str(synthetic_fpg)
        assert sorted(Path(n).resolve() for n in g.names) == [f.resolve() for f in files]
        for i, name in enumerate(g.names):
            assert g.name(i) == name
            # The gallery stores the bytes the comparison reads.
            assert len(g[i]) > 0 and Path(name).read_bytes().startswith(g[i])
            assert g.short_template(i) is None
        assert g[-1] == g[len(g) - 1] and list(g) == [g[i] for i in range(len(g))]
        with pytest.raises(IndexError):
            g[len(g)]
        with pytest.raises(TypeError, match="identify"):
            fpmatch.first_match(g[0], g, 50)
    assert g.closed
    for use in (lambda: g[0], lambda: g.names, lambda: fpmatch.identify(files[0].read_bytes(), g), lambda: len(g)):
        with pytest.raises(ValueError, match="closed"):
            use()


@pytest.mark.parametrize("data", ["synthetic", "fvc"])
def test_identify_over_a_gallery_equals_identify_over_the_list(request, data):
    path = request.getfixturevalue(f"{data}_fpg")
    with fpmatch.Gallery.open(path) as g:
        templates = list(g)
        probes = [t for t in templates if fpmatch.check(t) == 0][::max(1, len(templates) // 5)]
        assert len(probes) >= 4
        for p in probes:
            probe = fpmatch.Probe(p)
            full = fpmatch.identify(probe, templates, top=None)
            for top, threads in product((1, 10, None), (None, 1, 2, 3)):
                want = full if top is None else full[:top]
                assert fpmatch.identify(p, g, top=top, threads=threads) == want
                assert probe.identify(g, top=top, threads=threads) == want
        assert fpmatch.identify(probes[0], g, top=0) == fpmatch.identify(probes[0], g, top=None)


# ---------------------------------------------------------------- bad files

def put(data, offset, fmt, value):
    out = bytearray(data)
    struct.pack_into(fmt, out, offset, value)
    return bytes(out)


# Each row: how a good gallery's bytes are spoiled, the identification
# library's code (FPM_E_*, or FPM_E_GALLERY_BASE + the core's
# FPMATCH_GALLERY_* code) and its text after "PATH: ".
BAD_GALLERY_CASES = [
    ("empty", lambda d, iso: b"", -11, "not a gallery: the file is empty"),
    ("an ISO record", lambda d, iso: iso, -11, "not a gallery: it is an ISO/IEC 19794-2 record"),
    ("text", lambda d, iso: b"hello, world\n" * 8, -11, "not a gallery: no gallery signature"),
    ("header cut", lambda d, iso: d[:40], -10, "truncated: shorter than the gallery header"),
    ("version 3", lambda d, iso: put(d, 8, "<I", 3), -12, "gallery format version 3 (this library reads 1 and 2)"),
    ("commit records", lambda d, iso: put(put(d, 64, "<Q", 0), 128, "<Q", 0), -10,
     "gallery header: neither commit record is intact"),
    ("part signature", lambda d, iso: put(d, 256, "<B", 0), -10, "part 0 (offset 256): no part signature"),
]


@pytest.mark.parametrize("name,spoil,code,reason", BAD_GALLERY_CASES, ids=[c[0] for c in BAD_GALLERY_CASES])
def test_bad_gallery_file_raises_with_the_reason(synthetic_fpg, sample_dir, tmp_path, name, spoil, code, reason):
    iso = sorted((sample_dir / "iso").iterdir())[0].read_bytes()
    path = tmp_path / "bad.fpg"
    path.write_bytes(spoil(synthetic_fpg.read_bytes(), iso))
    with pytest.raises(fpmatch.GalleryError) as e:
        fpmatch.Gallery.open(path)
    assert isinstance(e.value, ValueError)
    assert (e.value.code, e.value.path) == (code, str(path))
    assert str(e.value) == e.value.reason == f"{path}: {reason}"


def directory_record(data, part, entry):
    """Offset of an entry's 32-byte directory record in the part whose
    header is at `part` (section kind 1 in the part's section table)."""
    for row in range(7):
        kind, _, offset, _ = struct.unpack_from("<IIQQ", data, part + 64 + 24 * row)
        if kind == 1:
            return part + offset + 32 * entry
    raise AssertionError("no directory section")


def test_damaged_entry_raises_when_read(synthetic_fpg, tmp_path):
    data = synthetic_fpg.read_bytes()
    path = tmp_path / "entry.fpg"
    # Entry 1 of the first part (at 256): template length 0. Opening reads
    # the part headers only; the entry is refused when read, and check()
    # finds the part's checksum broken.
    path.write_bytes(put(data, directory_record(data, 256, 1) + 20, "<I", 0))
    with fpmatch.Gallery.open(path) as g:
        assert len(g[0]) > 0
        with pytest.raises(fpmatch.GalleryError) as e:
            g[1]
        assert (e.value.index, e.value.code) == (1, -10) and "entry 1" in str(e.value)
        for use in (lambda g: g.names, len, lambda g: g.identify(g[0]), fpmatch.Gallery.check):
            with pytest.raises(fpmatch.GalleryError) as e:
                use(g)
            assert e.value.code == -10 and e.value.path == str(path)
        assert "part 0" in str(e.value)


def test_unreadable_gallery_raises_with_the_library_text(tmp_path):
    with pytest.raises(fpmatch.GalleryError) as e:
        fpmatch.Gallery.open(tmp_path / "missing.fpg")
    assert (e.value.code, str(e.value)) == (-3, f"{tmp_path / 'missing.fpg'}: no such file")
    with pytest.raises(fpmatch.GalleryError) as e:
        fpmatch.Gallery.open(tmp_path)
    assert (e.value.code, str(e.value)) == (-11, f"{tmp_path}: is a folder, not a gallery")


def test_gallery_appended_while_open_keeps_its_state_until_refreshed(tool, synthetic_fpg, sample_dir, tmp_path):
    path = tmp_path / "grown.fpg"
    path.write_bytes(synthetic_fpg.read_bytes())
    with fpmatch.Gallery.open(path) as g:
        probe = g[0]
        before = fpmatch.identify(probe, g, top=None)
        pack(tool, path, [sample_dir / "iso"], append=True)  # a commit of its own
        assert fpmatch.identify(probe, g, top=None) == before and (len(g), g.segments) == (36, 2)
        assert g.refresh() is True and g.refresh() is False
        assert (len(g), g.segments) == (54, 3)
        assert fpmatch.identify(probe, g, top=None, threads=2) == fpmatch.identify(probe, list(g), top=None)
    with fpmatch.Gallery.open(path) as g:
        assert (len(g), g.segments) == (54, 3)
