#!/usr/bin/env python3
"""Validates policy sources against schema/policy.schema.json.

Usage: check_schema.py SCHEMA GOOD_DIR BAD_DIR [EXAMPLES_DIR]

Every *.json of GOOD_DIR and EXAMPLES_DIR must be valid, every *.json of
BAD_DIR invalid. Exits 77 (skipped) when the jsonschema module is missing.
"""
import glob
import json
import os
import sys

SKIPPED = 77

try:
    import jsonschema
except ImportError:
    print("python3 jsonschema module not installed: schema test skipped")
    sys.exit(SKIPPED)


def policy_files(folder):
    return sorted(glob.glob(os.path.join(folder, "*.json")))


def load(path):
    # polc's strings are byte strings; read them the same way.
    with open(path, encoding="utf-8-sig", errors="surrogateescape") as f:
        return json.load(f)


def main():
    if len(sys.argv) not in (4, 5):
        print(__doc__)
        return 2
    schema_path, good_dir, bad_dir = sys.argv[1:4]
    schema = load(schema_path)
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema)

    good = policy_files(good_dir)
    if len(sys.argv) == 5:
        good += policy_files(sys.argv[4])
    bad = policy_files(bad_dir)
    if not good or not bad:
        print("no policy files found")
        return 1

    failures = 0
    for path in good:
        errors = list(validator.iter_errors(load(path)))
        if errors:
            failures += 1
            print("FAIL %s: rejected: %s" % (path, errors[0].message))
    for path in bad:
        if validator.is_valid(load(path)):
            failures += 1
            print("FAIL %s: accepted" % path)
    print("%d good and %d bad policy files, %d failures" % (len(good), len(bad), failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
