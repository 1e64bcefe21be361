"""Many processes filling one data set: shares of whole files and whole dedup
groups that cover the data set; the launcher's variables; rank reports and
their merge; and runs of `mpiexec -n 2 vorn-gen generate` (sizes, ratios, the
report's arithmetic, manifests that verify, a failing rank that stops the
run) beside the same run by independent processes and `report merge`."""

import dataclasses
import json
import os
import select
import shutil
import signal
import statistics
import subprocess
import sys
import textwrap

import pytest
from hypothesis import assume, given, settings, strategies as st

from helpers import BLOCK, SANITIZED, clean_env, default_sigint
from vorn_py import _launch, measure, parallel
from vorn_py.cli import achievable_dedup
from vorn_py.layout import DatasetLayout
from vorn_py.parallel import RankReport, RunMismatch, merge_reports
from vorn_py.verify import verify

BIN = os.path.dirname(sys.executable)
VORN = os.path.join(BIN, "vorn-gen")
MPIEXEC = os.path.join(BIN, "mpiexec")
MiB = 1 << 20
# A watchdog, not a measure: a run that should end within seconds and hangs
# fails the test instead of the suite.
WATCHDOG = 120
PROPERTIES = settings(derandomize=True, database=None, deadline=None, max_examples=300)


def vorn(*args, env=None):
    return subprocess.run([VORN, *map(str, args)], capture_output=True, text=True,
                          timeout=WATCHDOG, env=env or clean_env(),
                          preexec_fn=default_sigint())


def mpiexec(*programs, env=None):
    """mpiexec -n 1 PROGRAM : -n 1 PROGRAM ... (one process per argument
    list, so that each may get its own arguments), on this host only."""
    command = [MPIEXEC, "-launcher", "fork"]
    for index, args in enumerate(programs):
        command += ([":"] if index else []) + ["-n", "1", VORN, *map(str, args)]
    return subprocess.run(command, capture_output=True, text=True, timeout=WATCHDOG,
                          env=env or clean_env(), preexec_fn=default_sigint())


def null_dataset(root, count):
    """A directory whose files are links to /dev/null: the writers run at
    the generator's speed and nothing fills the disk."""
    root.mkdir()
    layout = DatasetLayout.plan(count * BLOCK, files=count)
    for index in range(count):
        os.symlink(os.devnull, root / layout.path_of(index))
    return root


def dataset_bytes(root, layout):
    return b"".join((root / entry.path).read_bytes() for entry in layout)


# ------------------------------------------------------------------ shares

class TestShares:
    @PROPERTIES
    @given(size=st.integers(1, 1 << 42), files=st.integers(1, 10**6),
           world=st.integers(1, 64), dedup=st.integers(1, 64), by_size=st.booleans())
    def test_disjoint_whole_files_covering_the_data_set(self, size, files, world, dedup,
                                                        by_size):
        layout = (DatasetLayout.plan(size, file_size=max(1, size // files)) if by_size
                  else DatasetLayout.plan(size, files=min(files, size)))
        parts = parallel.shares(layout, world, dedup)
        assert len(parts) == world
        assert parts[0].first == 0 and parts[-1].stop == layout.count
        for before, after in zip(parts, parts[1:]):
            assert before.stop == after.first  # contiguous, so disjoint
        assert sum(part.size for part in parts) == size
        assert [parallel.share_of(layout, rank, world, dedup) for rank in range(world)] == parts

    @PROPERTIES
    @given(groups=st.integers(1, 5000), tail=st.integers(0, 64 * BLOCK),
           files_per_group=st.integers(1, 64), world=st.integers(1, 64),
           dedup=st.integers(1, 16))
    def test_whole_dedup_groups_and_the_ratio_of_one_stream(self, groups, tail,
                                                            files_per_group, world, dedup):
        """Where file boundaries fall on dedup groups, every share but the
        last non-empty one is whole groups, the last holds the remainder, and,
        with a group or more for each process, the streams together dedup
        exactly as one stream of the data set."""
        group = dedup * BLOCK
        assume(group % files_per_group == 0)
        ratio_of_one_stream = world <= groups
        tail %= group
        size = groups * group + tail
        layout = DatasetLayout.plan(size, file_size=group // files_per_group)
        parts = parallel.shares(layout, world, dedup)
        filled = [part for part in parts if part.size]
        for part in filled[:-1]:
            assert part.offset % group == 0 and part.size % group == 0
        assert filled[-1].offset % group == 0 and filled[-1].size % group == tail
        if ratio_of_one_stream:
            assert parallel.planned_dedup(parts, dedup) == pytest.approx(
                achievable_dedup(size, dedup), rel=1e-12)
        # As even as whole groups allow.
        for part in filled:
            assert abs(part.size - size / world) <= group + tail

    def test_the_remainder_and_small_data_sets(self):
        # 1 GiB + 5 bytes at dedup 4 over 3 processes: groups of 16 MiB, cut
        # at 336 and 688 MiB, the 5 bytes in the last share.
        layout = DatasetLayout.plan((1 << 30) + 5, files=256)
        assert [p.size for p in parallel.shares(layout, 3, 4)] == \
            [336 * MiB, 352 * MiB, 336 * MiB + 5]
        # Less than a group: one process takes it all, so the ratio holds.
        small = DatasetLayout.plan(8 * MiB, files=4)
        assert [p.size for p in parallel.shares(small, 2, 4)] == [0, 8 * MiB]

    def test_a_cut_off_the_groups_is_seen(self):
        """Three files of 341 MiB: no boundary inside the data set falls on
        a 16 MiB group, the cut is the nearest file boundary, and the planned
        ratio is what the two streams give: 86 and 171 blocks of which 22
        and 43 are distinct, 1024 MiB over 260 blocks."""
        layout = DatasetLayout.plan(1 << 30, files=3)
        parts = parallel.shares(layout, 2, 4)
        assert [len(part) for part in parts] == [1, 2]
        assert parallel.planned_dedup(parts, 4) == pytest.approx(256 / 65)
        assert achievable_dedup(layout.size, 4) == 4.0

    def test_bad_ranks(self):
        layout = DatasetLayout.plan(MiB, files=4)
        for rank, world, error in [(2, 2, ValueError), (-1, 2, ValueError),
                                   (0, 0, ValueError), (True, 2, TypeError),
                                   (0, 2.0, TypeError)]:
            with pytest.raises(error):
                parallel.share_of(layout, rank, world)

    def test_rank_paths(self):
        assert parallel.rank_path("set.manifest", 3) == "set.manifest.3"
        assert parallel.rank_path("m-{rank}.bin", 12) == "m-12.bin"


# ------------------------------------------------------------ environment

class TestLaunchEnvironment:
    def test_mpi_launchers(self):
        assert _launch.mpi_world_size({}) is None
        assert _launch.mpi_world_size({"PMI_SIZE": "4"}) == 4
        assert _launch.mpi_world_size({"OMPI_COMM_WORLD_SIZE": "2"}) == 2
        with pytest.raises(_launch.LaunchError, match="PMI_SIZE='x'"):
            _launch.mpi_world_size({"PMI_SIZE": "x"})

    @pytest.mark.parametrize("environ, world, expected", [
        ({"SLURM_PROCID": "3", "SLURM_NTASKS": "8"}, None, (3, 8)),
        ({"SLURM_ARRAY_TASK_ID": "5", "SLURM_ARRAY_TASK_MIN": "1",
          "SLURM_ARRAY_TASK_MAX": "9", "SLURM_ARRAY_TASK_STEP": "2"}, None, (2, 5)),
        # An array of multi-task steps: task 2 of 4 in array element 1 of 3.
        ({"SLURM_ARRAY_TASK_ID": "1", "SLURM_ARRAY_TASK_MIN": "0",
          "SLURM_ARRAY_TASK_MAX": "2", "SLURM_PROCID": "2", "SLURM_NTASKS": "4"}, None, (6, 12)),
        ({"JOB_COMPLETION_INDEX": "7"}, 10, (7, 10)),
        ({"PMI_RANK": "1", "PMI_SIZE": "2"}, 2, (1, 2)),
        ({"OMPI_COMM_WORLD_RANK": "0", "OMPI_COMM_WORLD_SIZE": "3"}, None, (0, 3)),
    ])
    def test_ranks_from_schedulers(self, environ, world, expected):
        found = _launch.rank_from_environment(environ, world)
        assert (found.rank, found.world_size) == expected

    @pytest.mark.parametrize("environ, world, message", [
        ({}, None, "found no rank in the environment"),
        ({"JOB_COMPLETION_INDEX": "1"}, None, "give --world-size W"),
        ({"SLURM_PROCID": "1", "SLURM_NTASKS": "4"}, 8, "disagrees with SLURM_PROCID"),
        ({"SLURM_PROCID": "4", "SLURM_NTASKS": "4"}, None, "rank 4 of 4"),
        ({"JOB_COMPLETION_INDEX": "3"}, 3, "rank 3 of 3"),
        ({"SLURM_ARRAY_TASK_ID": "4", "SLURM_ARRAY_TASK_MIN": "1",
          "SLURM_ARRAY_TASK_MAX": "9", "SLURM_ARRAY_TASK_STEP": "2"}, None, "not in the array"),
        ({"SLURM_PROCID": "-1"}, None, "below 0"),
    ])
    def test_what_the_environment_cannot_give(self, environ, world, message):
        with pytest.raises(_launch.LaunchError, match=message):
            _launch.rank_from_environment(environ, world)


# ---------------------------------------------------------------- reports

def record(rank, world=2, layout=None, dedup=4, seconds=1.0, started_at=1000.0,
           mode="independent", written=None, state="ok", run_id=None, **changes):
    layout = layout or DatasetLayout.plan(64 * MiB, files=8)
    part = parallel.share_of(layout, rank, world, dedup)
    fields = dict(rank=rank, world_size=world, mode=mode,
                  layout={"size": layout.size, "count": layout.count, "file_size": 0,
                          "files_per_dir": 0},
                  granule=dedup * BLOCK, share_offset=part.offset, share_size=part.size,
                  first_file=part.first, file_count=len(part), target="/set", dedup=dedup,
                  compress=1, started_at=started_at, seconds=seconds, cpu_seconds=seconds,
                  bytes_written=part.size if written is None else written,
                  files_written=len(part), state=state, run_id=run_id)
    fields.update(changes)
    return RankReport(**fields)


class TestReports:
    def test_arithmetic(self):
        layout = DatasetLayout.plan(192 * MiB, files=12)
        records = [record(2, 3, layout, seconds=4.0, started_at=1001.0),
                   record(0, 3, layout, seconds=2.0, started_at=1000.0),
                   record(1, 3, layout, seconds=1.0, started_at=1000.5)]
        report = merge_reports(records)
        assert [r.rank for r in report.ranks] == [0, 1, 2]
        assert report.ok and report.bytes_written == 192 * MiB and report.files_written == 12
        # Independent processes: from the first start to the last end.
        assert report.seconds == pytest.approx(5.0)
        assert report.gb_per_s == pytest.approx(192 * MiB / 5.0 / 1e9)
        rates = [r.bytes_written / r.seconds / 1e9 for r in report.ranks]
        assert report.per_process_gb_per_s == pytest.approx(
            {"min": min(rates), "median": statistics.median(rates), "max": max(rates)})
        # Under MPI the start is common: the longest process is the run.
        mpi = merge_reports([record(r, 3, layout, mode="mpi", run_id="x", seconds=s,
                                    started_at=1000.0 + r) for r, s in enumerate((2, 4, 1))])
        assert mpi.seconds == 4.0
        data = mpi.to_dict()
        assert (data["size"], data["file_count"], data["world_size"]) == (192 * MiB, 12, 3)
        assert len(data["ranks"]) == 3 and data["errors"] == []

    def test_empty_shares_are_not_processes_that_ran_slowly(self):
        layout = DatasetLayout.plan(8 * MiB, files=4)   # all in rank 1's share
        report = merge_reports([record(0, layout=layout), record(1, layout=layout)])
        assert report.ranks[0].share_size == 0
        assert report.per_process_gb_per_s["min"] > 0

    def test_failures_first_in_the_message(self):
        records = [record(0, state="stopped", written=MiB,
                          error="stopped because rank 1 failed"),
                   record(1, state="failed", written=0, error="cannot write to /set/f4: "
                                                              "No space left on device")]
        report = merge_reports(records)
        assert not report.ok and not report.interrupted
        assert report.problems() == [
            f"rank 1 failed: cannot write to /set/f4: No space left on device "
            f"(0 of {32 * MiB} bytes written, 4 of 4 files complete)",
            f"rank 0 stopped because rank 1 failed ({MiB} of {32 * MiB} bytes written, "
            f"4 of 4 files complete)"]
        interrupted = merge_reports([record(0, state="interrupted", error="interrupted"),
                                     record(1, state="stopped",
                                            error="stopped because rank 0 was interrupted")])
        assert interrupted.interrupted

    def test_json_round_trip_and_refusals(self):
        original = record(1)
        assert RankReport.from_dict(json.loads(json.dumps(original.to_dict()))) == original
        data = original.to_dict()
        for broken, message in [({**data, "kind": "other"}, "not a vorn-gen rank report"),
                                ({**data, "version": 9}, "version 9"),
                                ({**data, "layout": {"size": 1}}, "damaged"),
                                ({k: v for k, v in data.items() if k != "rank"}, "damaged"),
                                ([], "not a vorn-gen rank report")]:
            with pytest.raises(ValueError, match=message):
                RankReport.from_dict(broken)

    @pytest.mark.parametrize("field, values", [
        ("rank", ["1", 1.0, None, True, -1]),
        ("world_size", [0, "2", 2.5, parallel.MAX_WORLD_SIZE + 1]),
        ("mode", [None, "other"]),
        ("share_offset", [None, -1]),
        ("first_file", ["x"]),
        ("file_count", [None]),
        ("bytes_written", ["x", None, -5, 32 * MiB + 1]),
        ("files_written", ["1", 5]),
        ("seconds", [None, "1", -1.0, float("nan"), float("inf")]),
        ("started_at", [None, "x"]),
        ("cpu_seconds", [None]),
        ("dedup", [0, "4", 1.5]),
        ("compress", [None, 0]),
        ("state", [None, 5, "weird"]),
        ("error", [5]),
        ("manifest", [5]),
        ("target", [None, 5]),
        ("run_id", [5]),
    ])
    def test_damaged_fields(self, field, values):
        """A report edited or cut short by hand is refused as damaged, not
        merged into a wrong report or an exception deep in the arithmetic."""
        data = record(1).to_dict()
        for value in values:
            with pytest.raises(ValueError, match=f"damaged rank report .*{field}"):
                RankReport.from_dict({**data, field: value})

    def test_a_world_too_large_to_split(self):
        layout = DatasetLayout.plan(MiB, files=4)
        with pytest.raises(ValueError, match="at most"):
            parallel.shares(layout, parallel.MAX_WORLD_SIZE + 1)
        with pytest.raises(RunMismatch, match="at most"):
            merge_reports([dataclasses.replace(record(0), world_size=10**12)])

    def test_reports_of_different_runs(self):
        other_layout = DatasetLayout.plan(64 * MiB, files=16)
        cases = [
            ([record(0), record(1, layout=other_layout)], "data set"),
            ([record(0), record(1, dedup=2)], "dedup ratio"),
            ([record(0), record(1, world=3)], "world size"),
            ([record(0), record(1, mode="mpi")], "mode"),
            ([record(0, run_id="a", mode="mpi"), record(1, run_id="b", mode="mpi")], "MPI run"),
            ([record(0), record(0)], "rank 0 is given twice"),
            ([record(1)], "rank 0 of 2 are missing"),
            ([record(0), dataclasses.replace(record(1), rank=5)], "rank 5 of 2"),
            ([record(0), record(1, share_offset=0, first_file=0)], "not rank 1's share"),
            ([], "no rank reports"),
        ]
        for records, message in cases:
            with pytest.raises(RunMismatch, match=message):
                merge_reports(records)


class TestWriteShare:
    def test_the_share_and_its_record(self, tmp_path):
        layout = DatasetLayout.plan(24 * MiB, files=6)
        record = parallel.write_share(tmp_path / "set", layout, 1, 2, dedup_ratio=2,
                                      manifest=tmp_path / "m1")
        # The even split, 12 MiB, is half way between two 8 MiB groups.
        assert (record.first_file, record.file_count, record.share_offset) == (4, 2, 16 * MiB)
        assert record.ok and record.bytes_written == 8 * MiB and record.files_written == 2
        assert sorted(os.listdir(tmp_path / "set")) == ["f4", "f5"]

    def test_another_writer_and_its_failure(self, tmp_path):
        """Another kind of target plugs in with write_dataset's contract."""
        from vorn_py.dataset import WriteError, WriteReport
        seen = []

        def failing(target, share, **options):
            seen.append((target, share.first, share.stop, options["dedup_ratio"]))
            report = WriteReport(str(target), share.size, len(share), bytes_written=5)
            raise WriteError("the bucket is gone", report, "5 bytes written")

        layout = DatasetLayout.plan(24 * MiB, files=6)
        with pytest.raises(parallel.ShareError) as caught:
            parallel.write_share("s3://b/p/", layout, 0, 2, dedup_ratio=2, writer=failing)
        assert seen == [("s3://b/p/", 0, 4, 2)]
        record = caught.value.record
        assert (record.state, record.error, record.bytes_written) == \
            ("failed", "the bucket is gone", 5)

    def test_a_check_that_stops_the_write(self, tmp_path):
        from vorn_py.writer import WriteFailure
        calls = []

        def check():
            calls.append(1)
            if len(calls) == 2:
                raise WriteFailure(f"{parallel.STOPPED_BY} 1 failed")

        layout = DatasetLayout.plan(64 * MiB, files=8)
        with pytest.raises(parallel.ShareError) as caught:
            parallel.write_share(tmp_path / "set", layout, 0, 1, check=check,
                                 chunk_size=4 * MiB)
        record = caught.value.record
        assert record.state == "stopped" and record.problem().startswith(
            "rank 0 stopped because rank 1 failed (8388608 of 67108864 bytes written")


class TestMergedManifest:
    def test_sections_appended_and_synced_with_fsync(self, tmp_path, monkeypatch):
        """Rank 0 appends each other rank's section to the manifest; with
        fsync the whole manifest reaches stable storage, not just rank 0's
        own section."""
        from vorn_py import _mpi_run

        section = os.urandom(3 * 1024)

        class OneSender:
            def Get_size(self):
                return 2

            def recv(self, source, tag):
                return len(section)

            def Recv(self, buffer, source, tag):
                buffer[0][:] = section

        from vorn_py import manifest as manifests

        synced = []
        monkeypatch.setattr(manifests, "fsync_if_supported",
                            lambda fd: synced.append(os.fstat(fd).st_size))
        path = tmp_path / "m"
        own = tmp_path / "own"
        for fsync in (False, True):
            own.write_bytes(b"rank 0's own")
            assert _mpi_run._assemble_manifest(OneSender(), str(path), str(own),
                                               fsync=fsync) is None
            assert path.read_bytes() == b"rank 0's own" + section
            assert not own.exists()
        # The file's whole content, then its directory.
        assert synced[0] == len(b"rank 0's own") + len(section)
        assert synced[1:] == [os.stat(tmp_path).st_size]


# ----------------------------------------------------------- command line

class TestCommandLine:
    def test_usage_errors(self, tmp_path):
        out = tmp_path / "set"
        cases = [
            (["--world-size", "2"], "--world-size needs --rank"),
            (["--rank", "1"], "--rank R needs --world-size W"),
            (["--rank", "2", "--world-size", "2"], "--rank 2 is not below --world-size 2"),
            (["--rank", "x", "--world-size", "2"], "invalid rank 'x'"),
            (["--rank", "0", "--world-size", "2", "--mpi"], "under MPI each process has its rank"),
            (["--report", "r.json"], "--report needs --rank"),
            (["--rank", "auto"], "found no rank in the environment"),
        ]
        for extra, message in cases:
            result = vorn("generate", "1MiB", "-o", out, "--files", "2", *extra)
            assert result.returncode == 2, (extra, result.stderr)
            assert message in result.stderr
        result = vorn("generate", "1MiB", "-o", out, "--rank", "0", "--world-size", "2")
        assert result.returncode == 2 and "give --files N or --file-size S" in result.stderr
        assert not out.exists()

    def test_sizes_and_environments_that_cannot_be_split(self, tmp_path):
        """A world size past what can be split is refused at once, not
        computed for hours; a launcher variable that is not a number is an
        error line, also for a plain run."""
        out = tmp_path / "set"
        huge = str(10**12)
        for extra, env, message in [
                (["--rank", "0", "--world-size", huge], None, "--world-size"),
                (["--rank", "auto"], clean_env(SLURM_PROCID="0", SLURM_NTASKS=huge),
                 "SLURM_PROCID gives"),
                ([], clean_env(PMI_SIZE="abc"), "PMI_SIZE='abc'"),
                (["--report", "r.json"], clean_env(OMPI_COMM_WORLD_SIZE="0"),
                 "OMPI_COMM_WORLD_SIZE='0'")]:
            result = vorn("generate", "1MiB", "-o", out, "--files", "2", *extra, env=env)
            assert result.returncode == 2, (extra, result.stderr)
            assert message in result.stderr and "Traceback" not in result.stderr
        assert not out.exists()
        result = vorn("generate", "1MiB", "-o", out, "--files", "2", "--no-mpi", "-q",
                      env=clean_env(PMI_SIZE="abc"))
        assert result.returncode == 0, result.stderr

    def test_a_report_never_replaces_a_manifest_or_a_data_file(self, tmp_path):
        out = tmp_path / "set"
        for extra, message in [
                (["--manifest", tmp_path / "x", "--report", tmp_path / "x"],
                 "would replace the manifest"),
                (["--manifest", tmp_path / "m.{rank}", "--report", tmp_path / "m"],
                 "would replace the manifest"),
                (["--report", out / "f{rank}"], "the report cannot be one of the data set's"),
                (["--report", tmp_path / "no" / "r"], "no is not a directory"),
                # Inside the data set, only its own directory is made by the write.
                (["--report", out / "reports" / "r"], "reports is not a directory")]:
            result = vorn("generate", "8MiB", "-o", out, "--files", "2", "--rank", "1",
                          "--world-size", "2", *extra)
            assert result.returncode == 2, (extra, result.stderr)
            assert message in result.stderr
            assert not out.exists() and sorted(os.listdir(tmp_path)) == []

    def test_rank_auto_from_slurm_and_plain_runs_that_stay_whole(self, tmp_path):
        """--rank auto reads Slurm's variables; a plain run on a Slurm node
        ignores them and writes the whole data set."""
        env = clean_env(SLURM_PROCID="1", SLURM_NTASKS="2")
        result = vorn("generate", "32MiB", "-o", tmp_path / "set", "--files", "4",
                      "--rank", "auto", "--report", tmp_path / "r.json", "-q", env=env)
        assert result.returncode == 0, result.stderr
        data = json.loads((tmp_path / "r.json.1").read_text())
        assert (data["rank"], data["world_size"], data["first_file"]) == (1, 2, 2)
        assert sorted(os.listdir(tmp_path / "set")) == ["f2", "f3"]
        result = vorn("generate", "32MiB", "-o", tmp_path / "whole", "--files", "4", "-q",
                      env=env)
        assert result.returncode == 0 and len(os.listdir(tmp_path / "whole")) == 4

    def test_without_mpi4py(self, tmp_path):
        """The MPI path says how to install it; the rest never imports it."""
        blocker = tmp_path / "no-mpi"
        (blocker / "mpi4py").mkdir(parents=True)
        (blocker / "mpi4py" / "__init__.py").write_text("raise ImportError('no MPI here')\n")
        env = clean_env(PYTHONPATH=os.pathsep.join(
            [str(blocker)] + [p for p in [os.environ.get("PYTHONPATH")] if p]))
        result = vorn("generate", "8MiB", "-o", tmp_path / "a", "--files", "2", "--mpi", env=env)
        assert result.returncode == 1
        assert "pip install 'vorn_py[mpi]'" in result.stderr
        result = vorn("generate", "8MiB", "-o", tmp_path / "b", "--files", "2", "--rank", "0",
                      "--world-size", "1", "-q", env=env)
        assert result.returncode == 0, result.stderr
        code = textwrap.dedent(f"""
            import sys
            from vorn_py.cli import main
            status = main(["generate", "8MiB", "-o", {str(tmp_path / 'c')!r}, "--files", "2",
                           "-q"])
            print(status, "mpi4py" in sys.modules)
        """)
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                                timeout=WATCHDOG, env=clean_env(), preexec_fn=default_sigint())
        assert result.stdout.split() == ["0", "False"], result.stderr

    def test_a_report_is_written_beside_its_name_safely(self, tmp_path):
        """The report goes into a new file of its own beside its name, made
        with O_EXCL: a link planted at a name the writer could be expected
        to use (in a shared directory) never makes it write elsewhere."""
        from vorn_py import cli

        victim = tmp_path / "victim"
        victim.write_text("keep me")
        shared = tmp_path / "shared"
        shared.mkdir()
        path = shared / "run.json.1"
        os.symlink(victim, f"{path}.partial-{os.getpid()}")
        cli._save_record(str(path), record(1))
        assert victim.read_text() == "keep me"
        assert not path.is_symlink()
        assert RankReport.from_dict(json.loads(path.read_text())) == record(1)
        assert sorted(os.listdir(shared)) == sorted(
            [path.name, f"{path.name}.partial-{os.getpid()}"])

    @pytest.mark.skipif(SANITIZED, reason="the sanitizer's shadow memory needs more "
                                          "address space than the limit leaves")
    def test_report_merge_of_something_endless(self):
        """A name given by mistake (a data file, a device) is refused after
        reading what a report could hold, not read whole into memory; the
        address space is limited so that a fault ends the test, not the
        machine."""
        import resource

        def limit():
            resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))

        result = subprocess.run([VORN, "report", "merge", "/dev/zero"], capture_output=True,
                                text=True, timeout=WATCHDOG, env=clean_env(),
                                preexec_fn=default_sigint(limit))
        assert result.returncode == 2, result.stderr
        assert "/dev/zero is too large to be a vorn-gen rank report" in result.stderr

    def test_a_rank_killed_on_the_way_leaves_no_earlier_report(self, tmp_path):
        """A rerun whose rank 0 is killed while writing must not leave the
        first run's report for the merge to take as this run's."""
        args = ["generate", "16MiB", "-o", tmp_path / "set", "--files", "4",
                "--world-size", "2", "--report", tmp_path / "r.json", "-q"]
        for rank in (0, 1):
            assert vorn(*args, "--rank", rank).returncode == 0
        assert vorn("report", "merge", tmp_path / "r.json.0", tmp_path / "r.json.1").returncode == 0

        # Rank 0's first file becomes a pipe that nobody empties: the rerun
        # blocks in its first writes, and is killed once data comes out.
        first = tmp_path / "set" / "f0"
        first.unlink()
        os.mkfifo(first)
        reader = os.open(first, os.O_RDONLY | os.O_NONBLOCK)
        rerun = subprocess.Popen([VORN, *map(str, args), "--rank", "0"],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                 env=clean_env(), preexec_fn=default_sigint())
        try:
            readable, _, _ = select.select([reader], [], [], WATCHDOG)
            assert readable, "the rerun never wrote"
        finally:
            rerun.kill()
            rerun.wait()
            os.close(reader)
        merged = vorn("report", "merge", tmp_path / "r.json.0", tmp_path / "r.json.1")
        assert merged.returncode == 1, merged.stdout
        assert "rank 0 failed: the process ended before it finished its share" in merged.stderr

    def test_report_merge_refuses_what_is_not_one_run(self, tmp_path):
        garbage = tmp_path / "garbage"
        garbage.write_text("{")
        first = tmp_path / "r0"
        first.write_text(json.dumps(record(0).to_dict()))
        damaged = tmp_path / "damaged"
        damaged.write_text(json.dumps({**record(1).to_dict(), "bytes_written": "x"}))
        # Cut short, the defaults would fill in an "ok" with nothing written.
        cut = tmp_path / "cut"
        cut.write_text(json.dumps({k: v for k, v in record(1).to_dict().items()
                                   if k not in ("state", "bytes_written", "files_written")}))
        short = tmp_path / "short"
        short.write_text(json.dumps(record(1, written=MiB).to_dict()))
        for files, message in [([tmp_path / "missing"], "cannot read"),
                               ([garbage], "not a vorn-gen rank report"),
                               ([first, damaged], "damaged rank report"),
                               ([first, cut], "(no bytes_written, files_written, state)"),
                               ([first, short], "state ok with 1048576 of"),
                               ([first], "rank 1 of 2 are missing"),
                               ([first, first], "given twice")]:
            result = vorn("report", "merge", *files)
            assert result.returncode == 2 and message in result.stderr, result.stderr


# ---------------------------------------------------------- mpiexec -n 2

def generate_args(out, size, files, *extra):
    return ["generate", size, "-o", out, "--files", files, *extra]


class TestUnderMPI:
    def test_sizes_ratios_report_and_manifest(self, tmp_path):
        out = tmp_path / "set"
        args = generate_args(out, "128MiB", 32, "--dedup", "4", "--compress", "3",
                             "--manifest", tmp_path / "m", "--report", tmp_path / "r.json",
                             "--json")
        result = mpiexec(args, args)
        assert result.returncode == 0, result.stderr
        assert result.stderr == ""
        report = json.loads(result.stdout)  # one report: the other rank printed nothing
        layout = DatasetLayout.plan(128 * MiB, files=32)
        assert report["ok"] and report["world_size"] == 2 and report["mode"] == "mpi"
        assert (report["bytes_written"], report["files_written"]) == (128 * MiB, 32)
        ranks = report["ranks"]
        assert [(r["share_offset"], r["share_size"]) for r in ranks] == [
            (0, 64 * MiB), (64 * MiB, 64 * MiB)]
        assert report["seconds"] == max(r["seconds"] for r in ranks)
        assert report["gb_per_s"] == pytest.approx(128 * MiB / report["seconds"] / 1e9)
        rates = [r["bytes_written"] / r["seconds"] / 1e9 for r in ranks]
        assert report["per_process_gb_per_s"] == pytest.approx(
            {"min": min(rates), "median": statistics.median(rates), "max": max(rates)})
        assert len({r["pid"] for r in ranks}) == 2 and len({r["run_id"] for r in ranks}) == 1
        for entry in layout:
            assert (out / entry.path).stat().st_size == entry.size
        # The ratios of one stream over the whole data set.
        data = dataset_bytes(out, layout)
        figures = measure.measure(data, chunk_size=4096, codecs={"zstd": 3}, combined=False,
                                  record_size=4096)
        assert figures["dedup_ratio"] == 4.0
        assert figures["records"][4096]["zstd"]["ratio"] == pytest.approx(3, rel=0.05)
        # One merged manifest that verifies the directory; the rank reports
        # merge into the report printed.
        assert verify(out, tmp_path / "m").ok
        merged = vorn("report", "merge", tmp_path / "r.json.0", tmp_path / "r.json.1", "--json")
        assert merged.returncode == 0 and json.loads(merged.stdout) == report

    def test_a_manifest_per_rank(self, tmp_path):
        out = tmp_path / "set"
        args = generate_args(out, "40MiB", 10, "--dedup", "2",
                             "--manifest", tmp_path / "m{rank}.bin", "-q")
        result = mpiexec(args, args)
        assert result.returncode == 0, result.stderr
        assert result.stdout == ""
        manifests = [tmp_path / "m0.bin", tmp_path / "m1.bin"]
        assert verify(out, manifests).ok
        with pytest.raises(Exception, match="no manifest covers"):
            verify(out, manifests[:1])

    def test_one_process_under_the_launcher(self, tmp_path):
        """mpiexec -n 1 writes the data set as a plain run does, and with
        --report as a run of one process, so that a script that scales the
        process count works from 1."""
        result = mpiexec(generate_args(tmp_path / "plain", "8MiB", 2, "-q"))
        assert result.returncode == 0, result.stderr
        assert sorted(os.listdir(tmp_path / "plain")) == ["f0", "f1"]
        result = mpiexec(generate_args(tmp_path / "set", "8MiB", 2, "-q",
                                       "--report", tmp_path / "r"))
        assert result.returncode == 0, result.stderr
        data = json.loads((tmp_path / "r.0").read_text())
        assert (data["mode"], data["world_size"], data["bytes_written"]) == ("mpi", 1, 8 * MiB)

    def test_a_rank_that_cannot_start_stops_the_run(self, tmp_path):
        """Rank 1's target cannot be made; rank 0, with far more to write
        than it could in the watchdog's time, stops and says how far it got."""
        blocker = tmp_path / "file"
        blocker.write_text("in the way")
        out = null_dataset(tmp_path / "set", 4)
        size = "1TiB"  # minutes of work for rank 0 alone
        manifest = tmp_path / "m"
        result = mpiexec(generate_args(out, size, 4, "--manifest", manifest, "--json"),
                         generate_args(blocker / "set", size, 4, "--manifest", manifest,
                                       "--json"))
        assert result.returncode == 1, result.stderr
        errors = result.stderr.strip().splitlines()
        assert len(errors) == 1, errors
        assert errors[0].startswith(f"vorn-gen: error: rank 1 failed: cannot use {blocker}/set: "
                                    "Not a directory (0 of")
        assert "; rank 0 stopped because rank 1 failed (" in errors[0]
        report = json.loads(result.stdout)
        states = [(r["rank"], r["state"]) for r in report["ranks"]]
        assert states == [(0, "stopped"), (1, "failed")]
        assert 0 < report["ranks"][0]["bytes_written"] < report["ranks"][0]["share_size"]
        assert report["bytes_written"] == report["ranks"][0]["bytes_written"]
        assert not manifest.exists()

    def test_a_failed_run_leaves_the_manifest_that_was_there(self, tmp_path):
        """Rank 0 cannot write its share: the run fails, and the merged
        manifest's path keeps an earlier run's manifest, as it does for one
        process."""
        manifest = tmp_path / "m"
        manifest.write_bytes(b"an earlier run's manifest")
        blocker = tmp_path / "file"
        blocker.write_text("in the way")
        out = tmp_path / "set"
        result = mpiexec(generate_args(blocker / "set", "8MiB", 2, "--manifest", manifest),
                         generate_args(out, "8MiB", 2, "--manifest", manifest))
        assert result.returncode == 1, result.stderr
        assert "rank 0 failed" in result.stderr
        assert manifest.read_bytes() == b"an earlier run's manifest"

    def test_a_section_that_cannot_be_read_back_is_not_merged(self, tmp_path):
        """A rank's section read fails part of the way (made to fail here
        where it reads; a disk error in a real run): the merged manifest
        must not take its place padded with zeros and be reported made."""
        script = textwrap.dedent("""
            import os, sys
            from mpi4py import MPI
            from vorn_py import _mpi_run
            comm, root = MPI.COMM_WORLD, sys.argv[1]
            own = os.path.join(root, f"section.{comm.rank}")
            with open(own, "wb") as f:
                f.write(bytes([comm.rank + 1]) * 100_000)
            merged = os.path.join(root, "merged")
            if comm.rank == 0:
                problem = _mpi_run._assemble_manifest(comm, merged, own, fsync=False)
                with open(merged, "rb") as f:
                    print(problem, f.read() == b"an earlier run's manifest", sep="|")
            else:
                read_into = _mpi_run._read_into
                _mpi_run._read_into = lambda source, piece: read_into(source, piece[:1000])
                _mpi_run._send_section(comm, own)
        """)
        (tmp_path / "merged").write_bytes(b"an earlier run's manifest")
        result = subprocess.run([MPIEXEC, "-launcher", "fork", "-n", "2", sys.executable, "-c",
                                 script, str(tmp_path)], capture_output=True, text=True,
                                timeout=WATCHDOG, env=clean_env(), preexec_fn=default_sigint())
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == ("rank 1 could not read its manifest section back|True")

    def test_a_manifest_that_cannot_be_made_stops_the_run_at_once(self, tmp_path):
        """The merged manifest's directory is missing: rank 0 says so before
        any data is written, and the other rank stops."""
        out = tmp_path / "set"
        args = generate_args(out, "1TiB", 4, "--manifest", tmp_path / "missing" / "m")
        result = mpiexec(args, args)
        assert result.returncode == 1, result.stderr
        assert "rank 0 failed: cannot create manifest" in result.stderr
        assert not (tmp_path / "missing").exists()

    def test_a_rank_that_cannot_take_its_numa_node(self, tmp_path):
        """The machines of a run may differ: the rank without the node stops
        the run before anything is written, instead of leaving the others
        waiting for it."""
        out = tmp_path / "set"
        result = mpiexec(generate_args(out, "8MiB", 2),
                         generate_args(out, "8MiB", 2, "--numa-node", "1023"))
        assert result.returncode == 2, result.stderr
        errors = result.stderr.strip().splitlines()
        assert errors == ["vorn-gen: error: rank 1: NUMA node 1023 does not exist: this "
                          f"machine has {errors[0].split('this machine has ')[-1]}"], errors
        assert not out.exists()

    def test_a_report_that_would_replace_the_merged_manifest(self, tmp_path):
        """Rank 1's report would land on the manifest rank 0 merges: the
        run stops before anything is written, on every rank."""
        out = tmp_path / "set"
        args = generate_args(out, "8MiB", 2, "--manifest", tmp_path / "m.1",
                             "--report", tmp_path / "m")
        result = mpiexec(args, args)
        assert result.returncode == 2, result.stderr
        assert result.stderr.strip().splitlines() == [
            f"vorn-gen: error: rank 1: the report {tmp_path}/m.1 would replace the manifest "
            "(0 bytes written)"]
        assert os.listdir(tmp_path) == []

    def test_processes_given_different_data_sets(self, tmp_path):
        """Each process reads its own command line: shares cut from different
        layouts, or a manifest merged by rank 0 that the others keep to
        themselves, would make a data set that is no one stream (or wait
        forever), so the run stops before anything is written."""
        out = tmp_path / "set"
        for other in (["--files", "3"], ["--dedup", "2"],
                      ["--manifest", tmp_path / "m{rank}"]):
            result = mpiexec(generate_args(out, "8MiB", 2, "--manifest", tmp_path / "m"),
                             ["generate", "8MiB", "-o", out, "--files", "2",
                              "--manifest", tmp_path / "m", *other])
            assert result.returncode == 2, (other, result.stderr)
            assert result.stderr.startswith(
                "vorn-gen: error: the processes were not given the same data set"), \
                result.stderr
            assert "rank 1" in result.stderr
            assert not out.exists() and os.listdir(tmp_path) == []

    def test_a_full_disk_on_one_rank(self, tmp_path, small_tmpfs):
        out = null_dataset(tmp_path / "set", 4)
        size = "1TiB"
        result = mpiexec(generate_args(out, size, 4),
                         generate_args(small_tmpfs / "set", size, 4))
        assert result.returncode == 1, result.stderr
        assert "error: rank 1 failed: cannot write to " in result.stderr
        assert "No space left on device" in result.stderr
        assert "rank 0 stopped because rank 1 failed" in result.stderr

    def test_an_interrupt_reaches_every_process(self, tmp_path):
        """Rank 0's first file is a pipe that the test reads: once data
        flows, an interrupt to mpiexec (which passes it on) ends the run
        with status 130 and the report of what each process wrote."""
        out = null_dataset(tmp_path / "set", 4)
        first = out / DatasetLayout.plan(4 * BLOCK, files=4).path_of(0)
        first.unlink()
        os.mkfifo(first)
        args = generate_args(out, "1TiB", 4, "--json")
        proc = subprocess.Popen([MPIEXEC, "-launcher", "fork", "-n", "2", VORN, *map(str, args)],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                env=clean_env(), preexec_fn=default_sigint())
        try:
            with open(first, "rb") as pipe:
                assert pipe.read(1 << 20)  # the writers have started
                proc.send_signal(signal.SIGINT)
                while pipe.read(1 << 20):
                    pass
            stdout, stderr = proc.communicate(timeout=WATCHDOG)
        finally:
            proc.kill()
            proc.wait()
        assert proc.returncode == 130, stderr
        # mpiexec says on standard output that it passed the interrupt on.
        report = json.loads(stdout[stdout.index("{"):])
        assert {r["state"] for r in report["ranks"]} <= {"interrupted", "stopped"}
        assert "interrupted" in {r["state"] for r in report["ranks"]}
        assert "error: rank " in stderr and " interrupted (" in stderr

    def test_the_python_function_with_another_writer(self, tmp_path):
        """write_dataset_mpi on each rank: the writer of each share plugs
        in; an interrupt on rank 1 before any byte is written stops rank 0,
        and both get the run's report."""
        script = tmp_path / "run.py"
        script.write_text(textwrap.dedent(f"""
            import json
            from mpi4py import MPI
            from vorn_py.dataset import write_dataset
            from vorn_py.parallel import RunInterrupted, write_dataset_mpi

            comm = MPI.COMM_WORLD

            def writer(target, share, **options):
                if comm.rank == 1:
                    raise KeyboardInterrupt
                return write_dataset(target, share, **options)

            # One file per rank: mpiexec forwards the ranks' output in
            # pieces, so two printed lines can run into each other.
            def tell(outcome):
                with open({str(tmp_path)!r} + f"/outcome.{{comm.rank}}", "w") as out:
                    json.dump(outcome, out)

            try:
                write_dataset_mpi(comm, {str(tmp_path / "set")!r}, 1 << 40, files=4,
                                  writer=writer)
                tell({{"rank": comm.rank, "outcome": "ok"}})
            except RunInterrupted as exc:
                tell({{"rank": comm.rank, "outcome": str(exc),
                      "states": [r.state for r in exc.report.ranks]}})
        """))
        null_dataset(tmp_path / "set", 4)
        result = subprocess.run([MPIEXEC, "-launcher", "fork", "-n", "2", sys.executable,
                                 str(script)], capture_output=True, text=True,
                                timeout=WATCHDOG, env=clean_env(), preexec_fn=default_sigint())
        assert result.returncode == 0, result.stderr
        outcomes = [json.loads((tmp_path / f"outcome.{rank}").read_text()) for rank in (0, 1)]
        assert [o["rank"] for o in outcomes] == [0, 1]
        assert [o["states"] for o in outcomes] == [["stopped", "interrupted"]] * 2
        assert outcomes[0]["outcome"] == outcomes[1]["outcome"]
        assert outcomes[0]["outcome"].startswith(
            f"rank 1 interrupted (0 of {1 << 39} bytes written, 0 of 2 files complete); "
            "rank 0 stopped because rank 1 was interrupted (")

    def test_independent_processes_and_merge_give_the_same_run(self, tmp_path):
        common = ["--dedup", "4", "--compress", "2", "--files-per-dir", "5", "-q"]
        mpi_args = generate_args(tmp_path / "mpi", "100MiB", 23, *common,
                                 "--report", tmp_path / "mpi.json")
        result = mpiexec(mpi_args, mpi_args)
        assert result.returncode == 0, result.stderr
        for rank in (1, 0):
            result = vorn(*generate_args(tmp_path / "alone", "100MiB", 23, *common,
                                         "--rank", rank, "--world-size", 2,
                                         "--report", tmp_path / "alone.json",
                                         "--manifest", tmp_path / "m"))
            assert result.returncode == 0, result.stderr

        def merged(name):
            out = vorn("report", "merge", tmp_path / f"{name}.json.0",
                       tmp_path / f"{name}.json.1", "--json")
            assert out.returncode == 0, out.stderr
            return json.loads(out.stdout)

        def files(root):
            return sorted((os.path.relpath(os.path.join(d, f), root),
                           os.path.getsize(os.path.join(d, f)))
                          for d, _, names in os.walk(root) for f in names)

        by_mpi, alone = merged("mpi"), merged("alone")
        assert files(tmp_path / "mpi") == files(tmp_path / "alone")
        assert (by_mpi["mode"], alone["mode"]) == ("mpi", "independent")
        same = ("ok", "world_size", "size", "file_count", "bytes_written", "files_written",
                "dedup", "compress", "layout", "granule", "errors")
        assert {k: by_mpi[k] for k in same} == {k: alone[k] for k in same}
        shares = ("rank", "share_offset", "share_size", "first_file", "file_count",
                  "bytes_written", "files_written", "state")
        assert [{k: r[k] for k in shares} for r in by_mpi["ranks"]] == \
            [{k: r[k] for k in shares} for r in alone["ranks"]]
        assert verify(tmp_path / "alone", [tmp_path / "m.0", tmp_path / "m.1"]).ok


@pytest.fixture
def small_tmpfs(tmp_path):
    """A 1 MiB tmpfs: a disk that fills at once (root only)."""
    if os.geteuid() != 0 or shutil.which("mount") is None:
        pytest.skip("mounting a small tmpfs needs root")
    mount = tmp_path / "small"
    mount.mkdir()
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(mount)], check=True)
    try:
        yield mount
    finally:
        subprocess.run(["umount", "-l", str(mount)], check=False)
