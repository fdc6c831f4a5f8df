"""An index of 20,000,000 records: what opening it costs in memory, and that
lookups among so many names find the right record."""

import json
import subprocess
import sys
import textwrap

RECORDS = 20_000_000
# Beside the names' own bytes, a record may cost 48 bytes once the index is
# open (its entry, where its name ends, its share of the hash slots); the
# slack covers the interpreter's own allocations and the read buffer.
BYTES_PER_RECORD = 48
SLACK = 48 << 20

# Runs in a child: the index takes about a gigabyte, which should not stay
# in the test process. The .fai is written directly (building it from a FASTA
# file of 20 million records would take minutes): record (b, k) is named
# r{b}{k:02d}, so 100 lines share a prefix and are made in one join, and
# points into a one-record FASTA file of 9-base lines, so that a fetch tells
# whether the lookup found the right entry.
CHILD = textwrap.dedent(
    """
    import json, os, random, sys
    import gelvo

    records, directory = int(sys.argv[1]), sys.argv[2]
    bases = "".join(random.Random(5).choice("ACGT") for _ in range(9 * 40))
    fasta = os.path.join(directory, "scale.fa")
    with open(fasta, "w") as f:
        f.write(">x\\n" + "".join(bases[i : i + 9] + "\\n" for i in range(0, len(bases), 9)))

    def geometry(k):  # (rlen, offset) of the record with suffix k
        return 1 + k % 50, 3 + 10 * (k % 20)

    suffixes = [b"%02d\\t%d\\t%d\\t9\\t10\\n" % (k, *geometry(k)) for k in range(100)]
    name_bytes = 0
    with open(fasta + ".fai", "wb") as f:
        for b in range(records // 100):
            prefix = b"r%d" % b
            f.write(b"".join(prefix + s for s in suffixes))
            name_bytes += 100 * (len(prefix) + 2)

    def rss():
        with open("/proc/self/status") as f:
            fields = dict(line.split(":", 1) for line in f)
        return int(fields["VmRSS"].split()[0]) * 1024, int(fields["VmHWM"].split()[0]) * 1024

    before, _ = rss()
    fa = gelvo.Faidx(fasta)
    after, peak = rss()

    rng = random.Random(17)
    wrong = []
    for _ in range(20_000):
        b, k = rng.randrange(records // 100), rng.randrange(100)
        name = f"r{b}{k:02d}"
        rlen, offset = geometry(k)
        start = (offset - 3) // 10 * 9
        if fa.fetch_entire_sequence(name).seq != bases[start : start + rlen]:
            wrong.append(name)
    absent = [name for name in ("r", "r0", f"r{records // 100}00", "x", "r00 ") if name in fa]
    print(json.dumps({"keys": len(fa.keys), "grown": after - before, "peak": peak - before,
                      "name_bytes": name_bytes, "wrong": wrong[:5], "absent": absent}))
    """
)


def test_twenty_million_records_open_within_their_memory_bound(tmp_path):
    out = subprocess.run(
        [sys.executable, "-c", CHILD, str(RECORDS), str(tmp_path)], capture_output=True, text=True, timeout=300
    )
    assert out.returncode == 0, out.stderr
    result = json.loads(out.stdout)
    assert result["keys"] == RECORDS
    assert result["wrong"] == []
    assert result["absent"] == []
    bound = RECORDS * BYTES_PER_RECORD + result["name_bytes"] + SLACK
    assert result["grown"] <= bound, result
    # Nothing larger than the final index is needed on the way.
    assert result["peak"] <= bound, result
