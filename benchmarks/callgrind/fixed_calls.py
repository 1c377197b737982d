"""A fixed workload of every module function, for counting instructions.

    python fixed_calls.py --write-inputs INPUTS
    python fixed_calls.py INPUTS CALL REPEATS
    python fixed_calls.py --list

The inputs (visits, a pointer path, a keystroke list) are generated once, by
the first form, so that making them is not counted. The second form prepares
the named call's inputs and engine state, runs its unit once to warm up
(first-use work such as interning the feature keys or building the spectral
table of a length is not what a regression guard should weigh), then runs the
unit REPEATS times. Each unit leaves the engine as it found it, so every repeat
does the same work. Only fast-loading modules are imported for a measured run:
interpreter start-up is counted in every run, and a smaller constant is a
smaller noise.

To see where a call's instructions go:
    python fixed_calls.py --write-inputs /tmp/inputs
    valgrind --tool=callgrind python fixed_calls.py /tmp/inputs "extract_features_rs rich" 20
    callgrind_annotate --inclusive=yes callgrind.out.<pid>
(with PYTHONPATH naming the module's build directory, as run.sh sets it).
"""

import marshal
import sys
from array import array

import veltrix_core_rs as core

# Hash keys are random per process, so the cost of one table operation varies
# from run to run; a few hundred per unit average that out to about 1%.
ENGINE_KEYS = 256
ADDRESSES = [f"203.0.{i // 256}.{i % 256}" for i in range(ENGINE_KEYS)]
UNBANNED_ADDRESSES = [f"198.51.{i // 256}.{i % 256}" for i in range(ENGINE_KEYS)]
NONCES = [f"nonce-{i:04d}-7f3a9c" for i in range(ENGINE_KEYS)]
NONCES_BEFORE_CLEAR = 64
BAN_SECONDS = 3600
HYDRATED_EXPIRY = 4_000_000_000  # seconds since the epoch, in 2096
TRIVIAL_CALLS_PER_UNIT = 100  # so the call, not the loop around it, dominates


def write_inputs(path):
    from pathlib import Path

    sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
    from json_bodies import browser_body

    from visit_shapes import SHAPES, curvature_path, make_visit

    visits = {shape.name: make_visit(shape) for shape in SHAPES}
    bodies = {shape.name: browser_body(shape) for shape in SHAPES}
    inputs = {
        "visits": visits,
        "bodies": bodies,
        "path": curvature_path(),
        "keystrokes": visits["typical"]["keystrokes"],
    }
    with open(path, "wb") as file:
        marshal.dump(inputs, file)


def read_inputs(path):
    with open(path, "rb") as file:
        return marshal.loads(file.read())  # one read: load() reads the file piece by piece


def repeated(function, times=TRIVIAL_CALLS_PER_UNIT):
    def unit():
        for _ in range(times):
            function()

    return unit


def extraction(shape):
    def prepare(inputs):
        visit = inputs["visits"][shape] if shape else {}
        return lambda: core.extract_features_rs(visit)

    return prepare


def json_extraction(shape):
    def prepare(inputs):
        from veltrix import extract_features_json

        body = inputs["bodies"][shape]
        return lambda: extract_features_json(body)

    return prepare


def batch_row(wrapped):
    """The batch command's native row of a typical visit's line, bare or wrapped as services log it."""

    def prepare(inputs):
        from veltrix._json_native import feature_row

        body = inputs["bodies"]["typical"]
        if not wrapped:
            return lambda: feature_row(1, body, None, ())
        line = b'{"id":"v00000001","label":"human","ts":"2026-12-08T10:00:00.000Z","ip":"203.0.113.7","telemetry":'
        line += body + b"}"
        keep = ("id", "label")
        return lambda: feature_row(1, line, "telemetry", keep)

    return prepare


def curvature_lists(inputs):
    xs, ys, ts = inputs["path"]
    return lambda: core.evaluate_curvature_naturalness_rs(xs, ys, ts)


def curvature_buffers(inputs):
    xs, ys, ts = (array("d", column) for column in inputs["path"])
    return lambda: core.evaluate_curvature_zerocopy_rs(xs, ys, ts)


def keystroke_list(inputs):
    keystrokes = inputs["keystrokes"]
    return lambda: core.evaluate_keystroke_dynamics_rs(keystrokes)


def ban_all():
    for address in ADDRESSES:
        core.ban_ip_rs(address, BAN_SECONDS)


def consume_after_clear():
    core.clear_state_engine_rs()
    for nonce in NONCES:  # new
        core.consume_nonce_rs(nonce)
    for nonce in NONCES:  # replayed
        core.consume_nonce_rs(nonce)


def query_bans(_):
    ban_all()

    def unit():
        for address in ADDRESSES:
            core.is_ip_banned_rs(address)
        for address in UNBANNED_ADDRESSES:
            core.is_ip_banned_rs(address)

    return unit


def ban_then_unban():
    ban_all()
    for address in ADDRESSES:
        core.unban_ip_rs(address)


def hydration(_):
    bans = [(address, HYDRATED_EXPIRY) for address in ADDRESSES]
    return lambda: core.hydrate_bans_rs(bans)


def fill_then_clear():
    for nonce in NONCES[:NONCES_BEFORE_CLEAR]:
        core.consume_nonce_rs(nonce)
    ban_all()
    core.clear_state_engine_rs()


def engine_statistics(_):
    consume_after_clear()
    ban_all()
    return repeated(core.get_state_engine_stats_rs)


# Name -> preparation, which takes the inputs and returns the unit. Each name
# says what one unit does.
CALLS = {
    "is_rust_core_active x100": lambda _: repeated(core.is_rust_core_active),
    "get_core_version x100": lambda _: repeated(core.get_core_version),
    "extract_features_rs empty": extraction(None),
    "extract_features_rs small": extraction("small"),
    "extract_features_rs typical": extraction("typical"),
    "extract_features_rs rich": extraction("rich"),
    "extract_features_json typical": json_extraction("typical"),
    "extract_features_json rich": json_extraction("rich"),
    "batch row typical, bare line": batch_row(wrapped=False),
    "batch row typical, wrapped line, 2 kept members": batch_row(wrapped=True),
    "evaluate_curvature_naturalness_rs 300 points": curvature_lists,
    "evaluate_curvature_zerocopy_rs 300 points": curvature_buffers,
    "evaluate_keystroke_dynamics_rs 60 keys": keystroke_list,
    f"consume_nonce_rs {ENGINE_KEYS} new + {ENGINE_KEYS} replayed, after a clear": lambda _: consume_after_clear,
    f"is_ip_banned_rs {ENGINE_KEYS} banned + {ENGINE_KEYS} not": query_bans,
    f"ban_ip_rs {ENGINE_KEYS} (replacing)": lambda _: ban_all,
    f"unban_ip_rs {ENGINE_KEYS}, after banning them": lambda _: ban_then_unban,
    f"hydrate_bans_rs {ENGINE_KEYS} (replacing)": hydration,
    f"clear_state_engine_rs after {NONCES_BEFORE_CLEAR} nonces + {ENGINE_KEYS} bans": lambda _: fill_then_clear,
    "get_state_engine_stats_rs x100": engine_statistics,
}


def main(arguments):
    if arguments == ["--list"]:
        print("\n".join(CALLS))
    elif arguments[:1] == ["--write-inputs"]:
        write_inputs(arguments[1])
    else:
        inputs_path, name, repeats = arguments
        unit = CALLS[name](read_inputs(inputs_path))
        unit()
        for _ in range(int(repeats)):
            unit()


if __name__ == "__main__":
    main(sys.argv[1:])
