#!/usr/bin/env python3
"""Checks kdtool's JSON output against the schema files.

    validate_json.py SCHEMA_DIR < output

Every line of stdin must be one JSON object whose "type" names a schema file
(start, progress, end, list, info, summary) and which that file accepts. On
success prints the types of the lines, space-separated, and exits 0; else
names the first bad line on stderr and exits 1.
"""
import json
import pathlib
import sys

import jsonschema


def validators(folder):
    schemas = [json.loads(path.read_text()) for path in sorted(pathlib.Path(folder).glob("*.json"))]
    cls = jsonschema.Draft202012Validator
    for schema in schemas:
        cls.check_schema(schema)
    try:  # jsonschema 4.18 and later
        from referencing import Registry, Resource

        registry = Registry().with_resources((s["$id"], Resource.from_contents(s)) for s in schemas)
        make = lambda s: cls(s, registry=registry)
    except ImportError:  # Debian's 4.10
        store = {s["$id"]: s for s in schemas}
        make = lambda s: cls(s, resolver=jsonschema.RefResolver.from_schema(s, store=store))
    return {s["$id"].rsplit("/", 1)[1][:-5]: make(s) for s in schemas}


def main():
    by_type = validators(sys.argv[1])
    types = []
    for number, line in enumerate(sys.stdin.read().splitlines(), 1):
        try:
            value = json.loads(line)
        except ValueError as error:
            sys.exit(f"line {number}: not JSON ({error}): {line}")
        kind = value.get("type") if isinstance(value, dict) else None
        if kind not in by_type or kind == "bridge":
            sys.exit(f"line {number}: no object type: {line}")
        errors = sorted(by_type[kind].iter_errors(value), key=lambda e: list(e.path))
        if errors:
            where = "/".join(str(p) for p in errors[0].path)
            sys.exit(f"line {number} ({kind}) at /{where}: {errors[0].message}: {line}")
        types.append(kind)
    print(" ".join(types))


if __name__ == "__main__":
    main()
