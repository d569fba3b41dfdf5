class DataRecorder:
    """Appends text records to files kept directly inside one base directory."""

    base_dir: str
    """Absolute, normalised path of the base directory; fixed at construction."""

    def __init__(self, base_dir: str = "data_logs") -> None:
        """Creates `base_dir` below `$KELM_SIM_LOG_PATH` (default /tmp) if missing.

        An absolute `base_dir` is used as it is. Raises OSError when the
        directory cannot be created.
        """

    def get_file_path(self, filename: str) -> str:
        """The absolute path a record for `filename` is written to.

        Directory parts of `filename` are stripped (with a warning on stdout).
        """

    def log_text(self, filename: str, content: str, mode: str = "a") -> None:
        """Writes `content` and one line feed to the file, UTF-8, in one write.

        `mode` "a" appends, "w" replaces the file's content. Raises OSError
        with the file name, as open() does.
        """
