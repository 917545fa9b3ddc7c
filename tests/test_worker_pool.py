"""The process-wide worker pool: thread counts from the argument and the environment, growth, and reuse."""

import re

import pytest

from support import run_python

# Runs in a child pinned to one processor, so the platform default is 1.
COUNT_WORKERS = """
import os, numpy as np, _native
from support import junction_field
os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
threads_before = len(os.listdir("/proc/self/task"))
_native.merge_points_removing_overlap(**junction_field(), tolerance=0.1, num_threads=%d)
print(len(os.listdir("/proc/self/task")) - threads_before)
"""

NO_THREAD_VARIABLES = {"RAYON_NUM_THREADS": None, "RAYON_RS_NUM_CPUS": None}


def workers_started(num_threads, env):
    completed = run_python(COUNT_WORKERS % num_threads, {**NO_THREAD_VARIABLES, **env})
    assert completed.returncode == 0, completed.stderr
    return int(completed.stdout)


@pytest.mark.parametrize(
    "num_threads, env, workers",
    [
        (3, {}, 3),
        (2, {"RAYON_NUM_THREADS": "5"}, 2),
        (0, {}, 1),
        (0, {"RAYON_NUM_THREADS": "3"}, 3),
        (0, {"RAYON_NUM_THREADS": "+4"}, 4),
        # 0 asks for the processor count, and the second variable is not read.
        (0, {"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "5"}, 1),
        # An unusable first variable passes the question to the second.
        (0, {"RAYON_NUM_THREADS": "-2", "RAYON_RS_NUM_CPUS": "5"}, 5),
        (0, {"RAYON_NUM_THREADS": "3x", "RAYON_RS_NUM_CPUS": "5"}, 5),
        (0, {"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": "5"}, 5),
        (0, {"RAYON_NUM_THREADS": "99999999999999999999999", "RAYON_RS_NUM_CPUS": "2"}, 2),
        (0, {"RAYON_RS_NUM_CPUS": "3"}, 3),
        (0, {"RAYON_RS_NUM_CPUS": "0"}, 1),
        (0, {"RAYON_RS_NUM_CPUS": "two"}, 1),
    ],
)
def test_thread_count_resolution(num_threads, env, workers):
    assert workers_started(num_threads, env) == workers


def run_calls(code):
    completed = run_python(code, NO_THREAD_VARIABLES)
    assert completed.returncode == 0, completed.stderr
    return completed


def test_every_call_works_and_the_pool_only_grows():
    completed = run_calls(
        """
        import os, numpy as np, _native
        from support import junction_field
        results = []
        for threads in (1, 3, 2, 0, 3):
            results.append(_native.merge_points_removing_overlap(**junction_field(), tolerance=0.1, num_threads=threads))
            print(len(os.listdir("/proc/self/task")) - 1)
        assert all(np.array_equal(results[0], r) for r in results)
        """
    )
    assert completed.stdout.split() == ["1", "3", "3", "3", "3"]


# Every record fails, so every stretch of records writes one failure report
# naming the thread it ran on.
REPORTING_THREADS = """
import os, numpy as np, _native
_native.merge_points_removing_overlap(np.zeros((0, 11)), np.zeros((0, 6)), np.zeros((0, 11)), 0.1, %d)
os.write(2, b"--- calls start ---\\n")
try:
    _native.merge_points_removing_overlap(np.zeros((%d, 11)), np.zeros((0, 6)), np.zeros((0, 11)), 0.1, %d)
except BaseException as error:
    print(error.args[0])
print(os.getpid())
"""
REPORT = re.compile(r"^thread '([^']+)' \((\d+)\) panicked at src/[\w/]+\.cpp:\d+:\d+:$", re.M)


@pytest.mark.parametrize("pool, records, threads", [(4, 4000, 2), (4, 4000, 1), (2, 1, 2)])
def test_a_call_runs_on_at_most_its_own_count_of_workers(pool, records, threads):
    completed = run_calls(REPORTING_THREADS % (pool, records, threads))
    message, pid = completed.stdout.splitlines()
    assert message == "called `Option::unwrap()` on a `None` value"
    reports = REPORT.findall(completed.stderr.split("--- calls start ---")[1])
    assert reports
    tids = {int(tid) for _, tid in reports}
    if records == 1:
        # A single record runs on the calling thread.
        assert reports == [("main", pid)]
    else:
        assert len(tids) <= threads
        assert all(name == "<unnamed>" for name, _ in reports)
        assert int(pid) not in tids


def test_forked_child_builds_its_own_pool():
    completed = run_calls(
        """
        import os, numpy as np, _native
        from support import junction_field
        expected = _native.merge_points_removing_overlap(**junction_field(), tolerance=0.1, num_threads=2)
        pid = os.fork()
        if pid == 0:
            result = _native.merge_points_removing_overlap(**junction_field(), tolerance=0.1, num_threads=2)
            os._exit(0 if np.array_equal(result, expected) else 3)
        _, status = os.waitpid(pid, 0)
        print(os.waitstatus_to_exitcode(status))
        """
    )
    assert completed.stdout.strip() == "0"


@pytest.mark.not_sanitized("the sanitizer runtime aborts when its own per-thread memory hits the limit")
def test_thread_that_cannot_start_fails_the_call_and_later_calls_work():
    completed = run_calls(
        """
        import resource, numpy as np, _native
        from support import junction_field
        field = junction_field()
        _native.merge_points_removing_overlap(**field, tolerance=0.1, num_threads=1)
        # Leave room for a few thread stacks, not for a hundred.
        with open("/proc/self/statm") as statm:
            used = int(statm.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + (64 << 20), resource.RLIM_INFINITY))
        try:
            _native.merge_points_removing_overlap(**field, tolerance=0.1, num_threads=100)
        except BaseException as error:
            print(type(error).__name__, error.args[0])
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        print(_native.merge_points_removing_overlap(**field, tolerance=0.1, num_threads=2).shape)
        """
    )
    failure, shape = completed.stdout.splitlines()
    assert failure == (
        "PanicException called `Result::unwrap()` on an `Err` value: ThreadPoolBuildError { kind: "
        'IOError(Os { code: 11, kind: WouldBlock, message: "Resource temporarily unavailable" }) }'
    )
    assert shape == "(6, 5)"
