"""Valid JSON bodies whose finite numbers overflow the double range on the way to the features:
the README's feature table names, for each feature, the non-finite values such bodies give."""

import json
import math
from pathlib import Path

import pytest

import veltrix
import veltrix_core_rs as core

README = Path(__file__).resolve().parents[1] / "README.md"
FEATURE_NAMES = list(core.extract_features_rs({}))


def pointer_path(*samples, **extra):
    return {"mouse_movements": [{"x": x, "y": y, "t": t, **extra} for x, y, t in samples]}


def uneven_huge_steps():
    xs = [0.0]
    for step in range(12):
        xs.append(xs[-1] + (1e153 if step % 3 else 1e150))
    return pointer_path(*((x, 0.0, step * 0.1) for step, x in enumerate(xs)))


BODIES = {
    "coordinates alternating between -0.75e308 and 0.75e308": pointer_path(
        *((0.75e308 if step % 2 else -0.75e308, 0.0, float(step)) for step in range(12))
    ),
    "a last step that overflows": pointer_path((0, 0, 0), (1, 0, 1), (2, 0, 2), (3, 0, 3), (1.7e308, 0, 4)),
    "steps of 1e153 px at uneven speeds": uneven_huge_steps(),
    "times -1e308 then 1e308": pointer_path((0, 0, -1e308), (1, 0, 1e308), (2, 0, 1e308), (3, 0, 1e308)),
    "a step and an interval that both overflow": pointer_path(
        (-1e308, 0, -1e308), (1e308, 0, 1e308), (1e308, 1, 1e308), (1e308, 2, 1e308)
    ),
    "intervals of 1e154 ms": pointer_path((0, 0, 0), (1, 0, 2e154), (2, 0, 3e154), (3, 0, 6e154), (4, 0, 7e154)),
    "touch radii and forces of 1e308": pointer_path((0, 0, 0), (1, 0, 1), (2, 0, 2), r=1e308, f=1e308),
    # Found by a random search over huge and tiny coordinates and times.
    "curvature overflowing in its mean": pointer_path(
        (-1.0, 34.35228842007268, -9.275234224461329e-121),
        (2.4585508280915324e-299, 91.84498175400199, 183.71461397977555),
        (-0.0, 9.999e199, 9999000000000000.0),
        (-1e300, -5.004643446407052e48, -649.562911066861),
        (624.6839413132836, 1.254477489466066e96, -1.3857558705846032e-108),
        (-264.85823940207536, 7.885290808575204e210, 883.542111576779),
        (1.050423672711521e-84, -787.4865504969881, 199.67965230372465),
        (5e-324, -9.999e299, 1.9661395205766564e159),
        (23.806185890917504, 2.050144333207305e-147, 534.7911360118374),
    ),
    "curvature overflowing in its variances": pointer_path(
        (-135.163288173169, -9.999e307, -206.77901655481446),
        (645.6956088251898, 1e200, -1.068391779357662e305),
        (-1.933025971969314e-106, -6.947747392327881e-189, 246.85455511864097),
        (-3.169875682404307e126, -5e299, -3.3849764765373786e210),
        (-1e-300, -585.0200868556242, -3.705651345861971e248),
        (-3.185215628040611e209, 3.7406404639677463e40, 272.968851092161),
        (1.4584271675542147e-122, -890.6401535784028, -356.03389337136866),
        (0.0, 890.2918769065059, -3.6474085897546654e-156),
        (55.712661534770405, 4.706157753181695e53, -659.8573334558057),
    ),
    # The features the table calls finite, at their most extreme inputs.
    "keystrokes and a screen at the ends of the range": {
        "browser": {"screen_width": 1e308, "screen_height": -1e308},
        "keystrokes": [
            {"key": "a", "t": -1e308, "up": 1e308},
            {"key": "b", "t": 1e308, "duration_ms": 1e308},
            {"key": "a", "t": 1e308, "up": -1e308},
            {"key": "b", "t": 5e-324},
        ],
    },
}


def documented_non_finite():
    """{feature: {"inf", "NaN"} or a subset} from the README's feature table."""
    lines = README.read_text().splitlines()
    header = next(index for index, line in enumerate(lines) if line.startswith("| # | Key | Type |"))
    column = [cell.strip() for cell in lines[header].split("|")].index("Non-finite")
    documented = {}
    for line in lines[header + 2 : header + 2 + len(FEATURE_NAMES)]:
        cells = [cell.strip() for cell in line.split("|")]
        kinds = {kind.strip() for kind in cells[column].split(",")} - {"", "never", "as given"}
        documented[cells[2].strip("`")] = kinds
    return documented


def non_finite_kinds(features):
    return {
        name: {"NaN" if math.isnan(value) else "inf"}
        for name, value in features.items()
        if isinstance(value, float) and not math.isfinite(value)
    }


@pytest.fixture(scope="module")
def observed():
    kinds = {name: set() for name in FEATURE_NAMES}
    for body in BODIES.values():
        text = json.dumps(body, allow_nan=False)  # valid JSON: every number finite
        features = core.extract_features_rs(json.loads(text))
        assert non_finite_kinds(veltrix.extract_features_json(text)) == non_finite_kinds(features)
        for name, found in non_finite_kinds(features).items():
            kinds[name] |= found
    return kinds


def test_the_table_names_every_feature_in_order():
    assert list(documented_non_finite()) == FEATURE_NAMES


@pytest.mark.parametrize("feature", FEATURE_NAMES)
def test_the_table_says_which_non_finite_values_a_feature_takes(observed, feature):
    assert observed[feature] == documented_non_finite()[feature]


def test_the_alternating_coordinates_give_eleven_non_finite_features():
    features = core.extract_features_rs(BODIES["coordinates alternating between -0.75e308 and 0.75e308"])
    assert len(non_finite_kinds(features)) == 11
