"""The smallest host profiler object the native module accepts, shared by
the benchmarks that run in their own process."""


class Host:
    def __init__(self, db_path):
        self.config = {}
        self.db_path = db_path
        self.one_trace_per_test = False
        self.trace_id = "trc_benchmark"
        self.source = "benchmark"

    def __call__(self):
        pass
