#!/usr/bin/env python3
"""Runs the scenario tests (tests/scenarios/*.py) against the host tools."""

import argparse
import concurrent.futures
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import scenario_lib  # noqa: E402


def run_one(build, scenario):
    try:
        return scenario_lib.run_host_scenario(build, scenario)
    except Exception as error:  # a broken scenario or a hung tool is a failure, not a crash
        return ["%s: %s" % (type(error).__name__, error)]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default=str(scenario_lib.ROOT / "build"))
    parser.add_argument("--platform", default="host", choices=["host"])
    parser.add_argument("--only", default="", help="run scenarios whose name contains this")
    parser.add_argument("--jobs", type=int, default=4)
    args = parser.parse_args()

    args.build = str(pathlib.Path(args.build).resolve())
    scenarios = [s for s in scenario_lib.load_scenarios() if args.only in s["name"]]
    passed = failed = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        results = pool.map(lambda s: (s, run_one(args.build, s)), scenarios)
        for scenario, problems in results:
            if problems:
                failed += 1
                print("FAIL %s (%s)" % (scenario["name"], scenario["source"]))
                for problem in problems:
                    print("    " + problem.replace("\n", "\n    "))
            else:
                passed += 1
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed or not scenarios else 0


if __name__ == "__main__":
    sys.exit(main())
