"""The process-wide worker pool: thread counts, the processors and control-group quota they come
from, its bound, growth, reuse, wake-ups and idle workers leaving."""

import os
import re

import pytest

from support import run_python

# Runs in a child pinned to one processor, so the platform default is 1 and
# the bound of the pool 4.
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
        (0, {"RAYON_NUM_THREADS": "-2", "RAYON_RS_NUM_CPUS": "3"}, 3),
        (0, {"RAYON_NUM_THREADS": "3x", "RAYON_RS_NUM_CPUS": "3"}, 3),
        (0, {"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": "3"}, 3),
        (0, {"RAYON_NUM_THREADS": "99999999999999999999999", "RAYON_RS_NUM_CPUS": "2"}, 2),
        (0, {"RAYON_RS_NUM_CPUS": "3"}, 3),
        (0, {"RAYON_RS_NUM_CPUS": "0"}, 1),
        (0, {"RAYON_RS_NUM_CPUS": "two"}, 1),
        # Above the bound, 4 workers per available processor, a request runs on the bound.
        (5, {}, 4),
        (100_000, {}, 4),
        (2**64 - 1, {}, 4),
        (0, {"RAYON_NUM_THREADS": "5"}, 4),
        (0, {"RAYON_RS_NUM_CPUS": "70000"}, 4),
    ],
)
def test_thread_count_resolution(num_threads, env, workers):
    assert workers_started(num_threads, env) == workers


# Pinned to its first `processors` processors, the child prints the workers a call with
# num_threads=0 runs on, then the pool's bound (what a huge request runs on).
ON_PROCESSORS = """
import os, _native
from support import junction_field
os.sched_setaffinity(0, sorted(os.sched_getaffinity(0))[:%d])
base = len(os.listdir("/proc/self/task"))
for num_threads in (0, 100_000):
    _native.merge_points_removing_overlap(**junction_field(), tolerance=0.1, num_threads=num_threads)
    print(len(os.listdir("/proc/self/task")) - base)
"""


def two_processors():
    if len(os.sched_getaffinity(0)) < 2:
        pytest.skip("needs 2 processors, to see a quota of fewer lower their count")
    return 2


def default_and_bound(processors, cgroup_root):
    """Workers for num_threads=0 and the pool's bound, in a child pinned to `processors`
    processors that reads its control group's files under `cgroup_root`."""
    env = {**NO_THREAD_VARIABLES, "_NATIVE_CGROUP_FILES_ROOT": str(cgroup_root)}
    completed = run_python(ON_PROCESSORS % processors, env)
    assert completed.returncode == 0, completed.stderr
    return tuple(map(int, completed.stdout.split()))


def write_files(root, files):
    for path, text in files.items():
        (root / path).parent.mkdir(parents=True, exist_ok=True)
        (root / path).write_text(text)
    return root


def cgroup_v2(root, group, limits):
    """A process in cgroup v2 group `group`, with "cpu.max" `limits[level]` at each level
    named (a level without it has no limit)."""
    files = {"proc/self/cgroup": f"0::{group}\n"}
    for level, line in limits.items():
        files[f"sys/fs/cgroup{level.rstrip('/')}/cpu.max"] = line + "\n"
    return write_files(root, files)


def cgroup_v1(root, group, quota, period, mount_root="/"):
    """A process in cgroup v1 group `group` of the cpu controller, mounted at
    /sys/fs/cgroup/cpu,cpuacct with `mount_root` as its root, beside a memory controller."""
    folder = "sys/fs/cgroup/cpu,cpuacct/" + group.removeprefix(mount_root).strip("/")
    return write_files(root, {
        "proc/self/cgroup": f"7:memory:{group}\n4:cpu,cpuacct:{group}\n1:name=systemd:{group}\n",
        "proc/self/mountinfo": (
            "24 30 0:22 / /sys rw,nosuid,nodev,noexec,relatime shared:7 - sysfs sysfs rw\n"
            "33 24 0:28 / /sys/fs/cgroup/memory rw,nosuid shared:14 - cgroup cgroup rw,memory\n"
            f"35 24 0:30 {mount_root} /sys/fs/cgroup/cpu,cpuacct rw,nosuid shared:16 - cgroup cgroup "
            "rw,cpu,cpuacct\n"
        ),
        f"{folder}/cpu.cfs_quota_us": f"{quota}\n",
        f"{folder}/cpu.cfs_period_us": f"{period}\n",
    })


def test_the_default_count_and_the_bound_follow_the_processors_of_the_process(tmp_path):
    # A control group without a quota, so that only the affinity mask counts.
    unlimited = cgroup_v2(tmp_path, "/job", {"/job": "max 100000"})
    assert default_and_bound(1, unlimited) == (1, 4)
    assert default_and_bound(two_processors(), unlimited) == (2, 8)


@pytest.mark.parametrize(
    "group, limits, expected",
    [
        ("/job", {"/job": "100000 100000"}, (1, 4)),
        # Whole processors, rounded down, and never fewer than one.
        ("/job", {"/job": "190000 100000"}, (1, 4)),
        ("/job", {"/job": "20000 100000"}, (1, 4)),
        # A level above the process's own group limits it too.
        ("/user.slice/job", {"/user.slice/job": "max 100000", "/user.slice": "100000 100000"}, (1, 4)),
        ("/", {"/": "50000 50000"}, (1, 4)),
        # No quota, or one above the processors of the mask, leaves the mask's count.
        ("/job", {}, (2, 8)),
        ("/job", {"/job": "max 100000", "/": "max 100000"}, (2, 8)),
        ("/job", {"/job": "400000 100000"}, (2, 8)),
    ],
)
def test_the_processors_are_lowered_to_the_cgroup_v2_quota(tmp_path, group, limits, expected):
    assert default_and_bound(two_processors(), cgroup_v2(tmp_path, group, limits)) == expected


@pytest.mark.parametrize(
    "group, quota, period, mount_root, expected",
    [
        ("/job", 100000, 100000, "/", (1, 4)),
        ("/job", 150000, 100000, "/", (1, 4)),
        # In a container the controller's root is the container's own group.
        ("/docker/3f2a", 50000, 50000, "/docker/3f2a", (1, 4)),
        ("/job", -1, 100000, "/", (2, 8)),
        ("/job", 800000, 100000, "/", (2, 8)),
    ],
)
def test_the_processors_are_lowered_to_the_cgroup_v1_quota(tmp_path, group, quota, period, mount_root, expected):
    root = cgroup_v1(tmp_path, group, quota, period, mount_root)
    assert default_and_bound(two_processors(), root) == expected


def run_calls(code, env=None):
    completed = run_python(code, {**NO_THREAD_VARIABLES, **(env or {})})
    assert completed.returncode == 0, completed.stderr
    return completed


def test_every_call_works_and_keeps_the_workers_recent_calls_used():
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


# RLIMIT_NPROC counts every thread of the child's real user, and does not hold
# root back: a child run by root becomes a user of its own, whose only threads
# are the child's. It is pinned to one processor, so the pool's bound is 4.
UNDER_A_PROCESS_LIMIT = """
import os, resource, subprocess, sys, threading
import numpy as np, _native
from support import junction_field

merge = _native.merge_points_removing_overlap
field = junction_field()
os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
if os.getuid() == 0:
    os.setgroups([])
    os.setgid(%(user)d)
    os.setuid(%(user)d)

def user_threads():
    count = 0
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/status") as status:
                fields = dict(line.split(":", 1) for line in status)
        except OSError:
            continue
        if int(fields["Uid"].split()[0]) == os.getuid():
            count += int(fields["Threads"])
    return count

def own_threads():
    return len(os.listdir("/proc/self/task"))

limit = user_threads() + %(room)d
resource.setrlimit(resource.RLIMIT_NPROC, (limit, limit))
before = own_threads()
try:
    print("result", merge(**field, tolerance=0.1, num_threads=%(num_threads)d).shape)
except BaseException as error:
    print(type(error).__name__, error.args[0])
print("workers", own_threads() - before)

# The process can still start threads and processes of its own.
thread = threading.Thread(target=lambda: None)
thread.start()
thread.join()
print("child", subprocess.run([sys.executable, "-c", "print('ran')"], capture_output=True, text=True).stdout.strip())
print("again", merge(**field, tolerance=0.1, num_threads=1).shape)
"""


def under_a_process_limit(room, num_threads):
    """What the child prints when it may start `room` more threads or processes than it has."""
    user = 1_000_000 + os.getpid()  # a user no other process runs as
    code = UNDER_A_PROCESS_LIMIT % {"user": user, "room": room, "num_threads": num_threads}
    completed = run_python(code, NO_THREAD_VARIABLES)
    assert completed.returncode == 0, completed.stderr
    return completed.stdout.splitlines()


@pytest.mark.parametrize(
    "room, num_threads, outcome, workers",
    [
        # Room for the 4 workers of the bound, a thread and a process: a huge request runs
        # on the bound.
        (6, 100_000, "result (6, 5)", "workers 4"),
        # Room for 2 of the 4 workers asked for: the third does not start, the growth fails
        # and takes back the 2 it started.
        (
            2,
            4,
            "PanicException called `Result::unwrap()` on an `Err` value: ThreadPoolBuildError { kind: "
            'IOError(Os { code: 11, kind: WouldBlock, message: "Resource temporarily unavailable" }) }',
            "workers 0",
        ),
    ],
    ids=["huge request on the bound", "growth that cannot start a thread"],
)
def test_under_a_process_limit_the_pool_leaves_room_for_other_threads(room, num_threads, outcome, workers):
    assert under_a_process_limit(room, num_threads) == [outcome, workers, "child ran", "again (6, 5)"]


# Each worker's context switches, before and after many small calls: a worker
# that a call wakes switches at least once each time it waits again.
WAKE_UPS = """
import os, numpy as np, _native
from support import junction_field

merge = _native.merge_points_removing_overlap
field = junction_field()
many_records = dict(field, connected_crop_rows=np.tile(field["connected_crop_rows"], (4, 1)))
# Calls too small to be worth a hand-off run on the calling thread; these
# 4,096 records are worth one.
pool_sized = dict(field, connected_crop_rows=np.tile(field["connected_crop_rows"], (2048, 1)))

def switches(tid):
    with open(f"/proc/self/task/{tid}/status") as status:
        fields = dict(line.split(":", 1) for line in status)
    return int(fields["voluntary_ctxt_switches"]) + int(fields["nonvoluntary_ctxt_switches"])

before = set(os.listdir("/proc/self/task"))
merge(**many_records, tolerance=0.1, num_threads=4)  # 8 records on 4 workers
workers = sorted(set(os.listdir("/proc/self/task")) - before)
start = [switches(tid) for tid in workers]
for _ in range(CALLS):
    merge(**pool_sized, tolerance=0.1, num_threads=THREADS)
print(len(workers), *sorted((switches(tid) - s for tid, s in zip(workers, start)), reverse=True))
"""


# Idle workers that wait an hour: however long the calls take on a loaded machine, no
# worker's idle time runs out and wakes it, so every switch counted comes from a call.
NEVER_IDLE = {"_NATIVE_WORKER_IDLE_MS": str(3600 * 1000)}


@pytest.mark.parametrize("threads", [1, 2])
def test_a_call_wakes_only_the_workers_it_uses(threads):
    calls = 200
    code = WAKE_UPS.replace("CALLS", str(calls)).replace("THREADS", str(threads))
    pool, *woken = map(int, run_calls(code, NEVER_IDLE).stdout.split())
    assert pool == 4
    assert all(count >= calls for count in woken[:threads]), woken
    # The workers the calls did not use stayed asleep.
    assert sum(woken[threads:]) <= 5, woken


# Workers idle for 3 s exit: short enough to watch them go, long enough that the calls
# below, a few milliseconds apart, keep the workers they use on any machine.
IDLE_EXITS = """
import os, time, numpy as np, _native
from support import junction_field

merge = _native.merge_points_removing_overlap
field = junction_field()
many_records = dict(field, connected_crop_rows=np.tile(field["connected_crop_rows"], (4, 1)))
base = set(os.listdir("/proc/self/task"))

def workers():
    return set(os.listdir("/proc/self/task")) - base

def until(count, call):
    # Only a pool that never lets its workers go gets to the deadline.
    deadline = time.monotonic() + 120
    while len(workers()) != count and time.monotonic() < deadline:
        if call:
            merge(**field, tolerance=0.1, num_threads=2)  # keeps 2 workers in use
        time.sleep(0.02)
    return workers()

merge(**many_records, tolerance=0.1, num_threads=4)
started = workers()
merge(**field, tolerance=0.1, num_threads=2)
print(len(workers()))
# Calls on 2 workers: the 2 others go; the 2 in use stay, the same threads throughout.
kept = until(2, call=True)
for _ in range(3):
    merge(**field, tolerance=0.1, num_threads=2)
print(len(kept), kept <= started, workers() == kept)
# Without calls, all go; the next call starts what it needs.
print(len(until(0, call=False)))
result = merge(**many_records, tolerance=0.1, num_threads=3)
print(len(workers()), result.shape)
"""


def test_workers_that_recent_calls_did_not_use_exit_once_idle():
    completed = run_calls(IDLE_EXITS, {"_NATIVE_WORKER_IDLE_MS": "3000"})
    assert completed.stdout.splitlines() == ["4", "2 True True", "0", "3 (24, 5)"]
