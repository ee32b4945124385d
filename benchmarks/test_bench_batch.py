"""The batch benchmark's serial loop merges every field, round after round, as the batch
writes them: its figures stand beside the batch's only while it does."""

from bench_batch import TOLERANCE, run_serial, write_fields


def test_serial_loop_merges_every_field_each_round(tmp_path):
    fields = write_fields(tmp_path, 2, 2_000)
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    for _ in range(2):  # later rounds find the outputs of the earlier ones
        run_serial(fields, out_dir, TOLERANCE)
    assert sorted(path.name for path in out_dir.iterdir()) == ["field_000.npy", "field_001.npy"]
