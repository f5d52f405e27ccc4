"""slurm_array.sh run as Slurm would start its array tasks, with a stand-in
for corlune that writes a result set with its record, fails on inputs
named bad*, and drains its standard input first, so that a task whose list
leaked into the program would lose lines. The real cluster is exercised by
tools/slurm-check.sh."""

import os
import subprocess
import tempfile
import textwrap
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(HERE, "slurm_array.sh")

STAND_IN = textwrap.dedent("""\
    #!/bin/sh
    cat > /dev/null
    echo "$1" >> "$CALLS"
    case ${1##*/} in bad*) echo "refused: $1" >&2; exit 1 ;; esac
    name=${1##*/}; prefix=$2/${name%.*}
    exec python3 - "$prefix" <<'EOF'
    import sys, zlib
    prefix = sys.argv[1]
    lines = ["corlune result record 1"]
    for suffix, size in ((".frmseg", 640), (".f0cands", 160), (".f0tracks", 80),
                         (".groups", 640), (".mask", 1280)):
        data = bytes(size)
        open(prefix + suffix, "wb").write(data)
        lines.append(f"{suffix} {size} {zlib.crc32(data):08x}")
    open(prefix + ".record", "w").write("\\n".join(lines + ["end", ""]))
    EOF
    """)


class SlurmArrayTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.root = self.tmp.name
        self.calls = os.path.join(self.root, "calls")
        self.program = os.path.join(self.root, "fake-corlune")
        with open(self.program, "w") as f:
            f.write(STAND_IN)
        os.chmod(self.program, 0o755)

    def tearDown(self):
        self.tmp.cleanup()

    def write_list(self, paths):
        with open(os.path.join(self.root, "wavs.txt"), "w") as f:
            f.write("".join(p + "\n" for p in paths))

    def task(self, task, per, last_task, list_name="wavs.txt"):
        env = dict(os.environ, CORLUNE=self.program, CALLS=self.calls,
                   FILES_PER_TASK=str(per), SLURM_ARRAY_TASK_ID=str(task),
                   SLURM_ARRAY_TASK_MAX=str(last_task))
        return subprocess.run(["bash", SCRIPT, list_name, "out"], cwd=self.root, env=env,
                              capture_output=True, text=True, timeout=60)

    def called(self):
        if not os.path.exists(self.calls):
            return []
        with open(self.calls) as f:
            return f.read().splitlines()

    def test_tasks_cover_every_line_once_into_a_mirrored_tree(self):
        paths = ["./a/utt.wav", "./b/utt.wav", "./c d/utt.wav", "./a/x.wav",
                 "./b/c/y.wav", "/abs/z.wav", "./e/w.wav"]
        self.write_list(paths)
        runs = [self.task(t, per=3, last_task=2) for t in range(3)]
        for run in runs:
            self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(sorted(self.called()), sorted(paths))
        for p in paths:
            prefix = os.path.join(self.root, "out", os.path.splitext(p.lstrip("/"))[0])
            self.assertTrue(os.path.exists(prefix + ".mask"), prefix)

    def test_failures_fail_the_task_and_a_rerun_redoes_only_them(self):
        self.write_list(["./a/one.wav", "./a/bad.wav", "./b/two.wav"])
        first = self.task(0, per=3, last_task=0)
        self.assertEqual(first.returncode, 1)
        self.assertIn("FAILED: ./a/bad.wav", first.stderr)
        self.assertIn("refused: ./a/bad.wav", first.stderr)
        os.remove(self.calls)
        with open(os.path.join(self.root, "out", "b", "two.mask"), "r+b") as f:
            f.write(b"\1")   # no longer the file its record lists
        again = self.task(0, per=3, last_task=0)
        self.assertEqual(again.returncode, 1)
        self.assertEqual(self.called(), ["./a/bad.wav", "./b/two.wav"])
        self.assertIn("already done: ./a/one.wav", again.stdout)

    def test_lines_no_task_covers_fail_the_last_task(self):
        self.write_list([f"./u{i}.wav" for i in range(7)])
        # Sized for 50 per task, run with 3: one task, lines 4-7 left over.
        run = self.task(0, per=3, last_task=0)
        self.assertEqual(run.returncode, 1)
        self.assertIn("lines 4-7 of wavs.txt are beyond the last task", run.stderr)
        self.assertIn("--array=0-2", run.stderr)
        self.assertEqual(self.task(0, per=3, last_task=2).returncode, 0)

    def test_recordings_sharing_a_result_name_are_both_refused(self):
        self.write_list(["./a/utt.wav", "./a/utt.flac", "./b/utt.wav"])
        run = self.task(0, per=3, last_task=0)
        self.assertEqual(run.returncode, 1)
        self.assertIn("FAILED: ./a/utt.wav", run.stderr)
        self.assertIn("FAILED: ./a/utt.flac", run.stderr)
        self.assertEqual(self.called(), ["./b/utt.wav"])

    def test_a_missing_list_fails_the_task(self):
        run = self.task(0, per=3, last_task=0, list_name="missing.txt")
        self.assertEqual(run.returncode, 1)
        self.assertIn("cannot read the list missing.txt", run.stderr)


if __name__ == "__main__":
    unittest.main()
