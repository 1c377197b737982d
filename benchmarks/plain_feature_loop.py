"""The loop that `veltrix features` replaces, as people write it: json.loads,
extract_features_rs and csv.writer, one visit at a time in one process.

    python benchmarks/plain_feature_loop.py visits.jsonl features.csv

Writes the same bytes as `veltrix features visits.jsonl -o features.csv` when
every line is a visit.
"""

import csv
import json
import sys

import veltrix_core_rs


def main(source, target):
    with open(source, "rb") as lines, open(target, "w", newline="") as output:
        writer = csv.writer(output, lineterminator="\n")
        writer.writerow(["line", *veltrix_core_rs.extract_features_rs({})])
        for number, line in enumerate(lines, 1):
            writer.writerow([number, *veltrix_core_rs.extract_features_rs(json.loads(line)).values()])


if __name__ == "__main__":
    main(*sys.argv[1:])
