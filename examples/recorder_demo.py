"""Records a few lines with DataRecorder and shows the file they landed in."""

import os
import tempfile

from velk_dev_kit import DataRecorder


def main():
    with tempfile.TemporaryDirectory() as root:
        os.environ["KELM_SIM_LOG_PATH"] = root
        recorder = DataRecorder("demo_run")
        for step, speed in enumerate([0.0, 0.4, 0.8]):
            recorder.log_text("speeds.csv", f"{step},{speed}")
        # A directory part is stripped, with a warning, so files stay inside base_dir.
        recorder.log_text("../escape/notes.txt", "备注：一切正常")
        for name in sorted(os.listdir(recorder.base_dir)):
            path = recorder.get_file_path(name)
            print(f"{path}:")
            with open(path, encoding="utf-8") as f:
                print("  " + f.read().replace("\n", "\n  ").rstrip())


if __name__ == "__main__":
    main()
