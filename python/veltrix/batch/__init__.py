"""Features of many recorded visits at once: the API under ``veltrix features``.

    from veltrix.batch import extract_lines
    extraction = extract_lines(open("visits.jsonl", "rb"), telemetry_key="telemetry", keep=["id"])
    extraction.rows       # [(line, id, *39 features), ...] in input order
    extraction.refused    # [RefusedLine(line, reason), ...]
    extraction.to_arrow() # a pyarrow.Table (pip install 'veltrix_core_rs[parquet]')

Each call is independent and keeps no state, so it serves as the map function
of a partitioned engine (a Dask bag or a Spark RDD of JSON lines).
"""

from veltrix.batch.extraction import (
    FEATURE_NAMES,
    Extraction,
    RefusedLine,
    column_names,
    extract_lines,
    extract_records,
)

__all__ = ["FEATURE_NAMES", "Extraction", "RefusedLine", "column_names", "extract_lines", "extract_records"]
