#!/usr/bin/env python3
"""polclint's SARIF report passes the official SARIF 2.1.0 schema.

Usage: check_sarif.py SCHEMA POLCLINT EXAMPLES_DIR

Lints the example policy together with a file holding a fault of each kind
that has a place, one the whole policy has, and warnings, and validates the
report. Exits 77 (skipped) when the jsonschema module or the schema (which
scripts/install-deps.sh test fetches) is missing.
"""
import glob
import json
import os
import subprocess
import sys
import tempfile

try:
    import jsonschema
except ImportError:
    print("python3 jsonschema module not installed: SARIF test skipped")
    sys.exit(77)

schema_path, polclint, examples = sys.argv[1:4]
if not os.path.exists(schema_path):
    print(f"no SARIF schema at {schema_path} (scripts/install-deps.sh test fetches it): skipped")
    sys.exit(77)

FAULTY = """{"declarations": {"type": ["sshd_t", "etc_t", "a_t"], "require": ["missing_t"],
  "labeling": {"file": [{"path": "/etc", "context": "etc_t"}]}},
 "rules": [{"subject": "sshd_t", "teac": [{"object": "etc", "class": "fiel", "operation": ["read", "read"]}]}]}
"""

with tempfile.TemporaryDirectory() as work:
    faulty = os.path.join(work, "faulty file.json")
    with open(faulty, "w") as f:
        f.write(FAULTY)
    sources = sorted(glob.glob(os.path.join(examples, "*.json"))) + [faulty]
    run = subprocess.run([polclint, "--format=sarif"] + sources, capture_output=True)
    report = json.loads(run.stdout)

with open(schema_path) as f:
    schema = json.load(f)
jsonschema.Draft7Validator(schema).validate(report)

results = report["runs"][0]["results"]
rules = report["runs"][0]["tool"]["driver"]["rules"]
# Every result names its rule by id and by index, and the faulty file holds
# errors and warnings both.
assert run.returncode == 1, run.returncode
assert all(rules[r["ruleIndex"]]["id"] == r["ruleId"] for r in results)
assert {r["level"] for r in results} == {"error", "warning"}, results
assert any("%20" in loc["physicalLocation"]["artifactLocation"]["uri"]
           for r in results for loc in r.get("locations", []))
print(f"{len(results)} results validate against the SARIF 2.1.0 schema")
