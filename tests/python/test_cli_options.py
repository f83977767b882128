"""The plans' options on the command line, built from the plans' fields."""

import argparse
from dataclasses import fields

import pytest

pytest.importorskip("_korvex_lib")

from korvex import Bed  # noqa: E402
from korvex.bed import unit  # noqa: E402
from korvex.cli import build_parser  # noqa: E402
from korvex.cli.options import PLAN_CHOICES  # noqa: E402
from korvex.cli.simulate import plan_of  # noqa: E402
from korvex.errors import KorvexError  # noqa: E402

CASES = [(name, item) for name, plan in PLAN_CHOICES.items() for item in fields(plan)]


@pytest.mark.parametrize(("name", "item"), CASES, ids=[f"{name}-{item.name}" for name, item in CASES])
def test_every_field_of_every_plan_is_an_option_that_reaches_the_plan(name, item):
    # 3 suits every field's type and range but blending_tail_m's, which a 50 m deep bed's tail needs no more.
    text = "2" if item.name == "blending_tail_m" else "3"
    args = build_parser().parse_args(["simulate", "in.csv", "--plan", name, "--" + item.name.replace("_", "-"), text])
    value = int(text) if isinstance(getattr(args, item.name), int) else float(text)
    bed = Bed(circular=name in ("circular", "chevcon"))
    try:
        expected = PLAN_CHOICES[name](**{item.name: value})
    except KorvexError as refused:
        with pytest.raises(type(refused), match=str(refused)):
            plan_of(args, bed)
        return
    assert plan_of(args, bed) == expected


def simulate_options():
    commands = next(action for action in build_parser()._actions if isinstance(action, argparse._SubParsersAction))
    return {action.dest: action for action in commands.choices["simulate"]._actions}


def test_an_option_says_its_fields_unit_and_default():
    options = simulate_options()
    for _, item in CASES:
        assert f"[{unit(item)}]" in options[item.name].help if unit(item) else "[" not in options[item.name].help
    assert options["rows"].help == "windrow: windrows side by side (default: 4)"
    assert options["blending_tail_m"].help == "length kept free at each end [m] (default: half the depth)"
    assert options["ramp_sector_deg"].help == "instead: the ramp as an angle [°] (default: 60)"
    assert options["cone_height_m"].container.title.startswith("continuous ring")
    assert options["layers"].container.title == "stacker"


@pytest.mark.parametrize(("option", "text", "kind"), [("layers", "7", int), ("rows", "3", int), ("stop_s", "3", float)])
def test_counts_stay_whole_numbers(option, text, kind):
    args = build_parser().parse_args(["simulate", "in.csv", "--" + option.replace("_", "-"), text])
    assert type(getattr(args, option)) is kind
    if kind is int:
        with pytest.raises(SystemExit):
            build_parser().parse_args(["simulate", "in.csv", "--" + option.replace("_", "-"), "7.5"])


@pytest.mark.parametrize("name", ["chevron", "windrow"])
def test_a_live_bed_takes_every_plan_field_its_stacker_does_not_set(tmp_path, name):
    from korvex.cli.options import plan_fields
    from korvex.cli.track import STACKER_PLAN_FIELDS, _settings

    numbers = {field: number for field, (_, number, _) in plan_fields().items()}
    given = {
        item.name: numbers[item.name](2.5)
        for item in fields(PLAN_CHOICES[name])
        if item.name not in STACKER_PLAN_FIELDS
    }
    argv = ["track", "run", str(tmp_path), "--feed", "-", "--bulk-density-t-per-m3", "1.5", "--plan", name]
    argv += [f"--{field.replace('_', '-')}={value}" for field, value in given.items()]
    assert _settings(build_parser().parse_args(argv)).plan_settings == given
