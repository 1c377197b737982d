"""The loop that `veltrix features` replaces, as people write it: json.loads,
extract_features_rs and csv.writer, one visit at a time in one process.

    python benchmarks/plain_feature_loop.py visits.jsonl features.csv [--telemetry-key KEY] [--keep FIELD,...]

Writes the same bytes as `veltrix features visits.jsonl -o features.csv` (with
the same --telemetry-key and --keep) when every line is a visit and every kept
value is a number, a plain string or missing.
"""

import argparse
import csv
import json

import veltrix_core_rs


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("source")
    parser.add_argument("target")
    parser.add_argument("--telemetry-key")
    parser.add_argument("--keep", type=lambda text: text.split(","), default=[])
    arguments = parser.parse_args()
    key, keep = arguments.telemetry_key, arguments.keep
    with open(arguments.source, "rb") as lines, open(arguments.target, "w", newline="") as output:
        writer = csv.writer(output, lineterminator="\n")
        writer.writerow(["line", *keep, *veltrix_core_rs.extract_features_rs({})])
        for number, line in enumerate(lines, 1):
            record = json.loads(line)
            telemetry = record if key is None else record[key]
            features = veltrix_core_rs.extract_features_rs(telemetry)
            writer.writerow([number, *[record.get(name) for name in keep], *features.values()])


if __name__ == "__main__":
    main()
