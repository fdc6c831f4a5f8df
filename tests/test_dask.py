"""examples/dask_regions.py on a dask.distributed LocalCluster with two worker processes:
the same output as one process, and only the path and options travel to the workers."""

import pathlib
import pickle
import random
import subprocess
import sys

import gelvo
import pytest

distributed = pytest.importorskip("distributed")

SCRIPT = pathlib.Path(__file__).resolve().parent.parent / "examples" / "dask_regions.py"
COMPLEMENT = str.maketrans("ACGTacgt", "TGCAtgca")


@pytest.fixture
def genome(write_fasta, tmp_path):
    rng = random.Random(11)
    records = {f"s{i}": "".join(rng.choice("ACGTNacgt") for _ in range(rng.randint(2000, 20000))) for i in range(4)}
    path = write_fasta(
        "".join(f">{n}\n" + "".join(s[i : i + 60] + "\n" for i in range(0, len(s), 60)) for n, s in records.items())
    )
    regions = []
    for _ in range(3000):
        name = rng.choice(sorted(records))
        start = rng.randrange(len(records[name]) - 1)
        regions.append((name, start, rng.randint(start + 1, min(start + 500, len(records[name]))), rng.random() < 0.4))
    bed = tmp_path / "r.bed"
    bed.write_text("".join(f"{n}\t{s}\t{e}\tr\t0\t{'-' if m else '+'}\n" for n, s, e, m in regions))
    return path, str(bed), records, regions


def run(*args):
    done = subprocess.run([sys.executable, str(SCRIPT), *args], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_cluster_gives_the_single_process_result(genome):
    path, bed, records, regions = genome
    on_cluster = run(path, bed, "--workers", "2", "--partitions", "6")
    assert on_cluster == run(path, bed, "--local")
    expected = []
    for name, start, end, minus in regions:
        piece = records[name][start:end]
        header = f">{name}:{start + 1}-{end}{'(-)' if minus else ''}"
        expected.append(f"{header}\n{piece.translate(COMPLEMENT)[::-1] if minus else piece}\n")
    assert on_cluster == "".join(expected)


def test_a_running_scheduler_takes_the_work(genome):
    path, bed, records, regions = genome
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        gc = run(path, bed, "--gc", "--scheduler", cluster.scheduler_address, "--partitions", "3")
    assert gc == run(path, bed, "--gc", "--local")
    rows = [line.split("\t") for line in gc.splitlines()]
    assert [(r[0], int(r[1]), int(r[2])) for r in rows] == [(n, s, e) for n, s, e, _ in regions]
    for (name, start, end, _), row in zip(regions, rows):
        piece = records[name][start:end]
        assert float(row[3]) == pytest.approx(sum(piece.count(c) for c in "GCgc") / len(piece), abs=1e-6)


def test_what_travels_is_the_path_and_options(genome):
    path, _, records, _ = genome
    sent = pickle.dumps(gelvo.Fasta(path, sequence_always_upper=True))
    assert len(sent) < 500 and path.encode() in sent
    assert records["s0"][:40].encode() not in sent
