#!/usr/bin/env python3
"""Holds the schema and polc to the same verdicts on sample policy sources.

Usage: check_schema.py SCHEMA SAMPLES_DIR EXAMPLES_DIR POLC

SAMPLES_DIR holds full.json and samples.txt, whose lines say how to make
each sample from full.json and whether it is good: the schema and polc must
both accept full.json and every good sample and refuse every bad one. The
schema must accept the example policy too. Exits 77 (skipped) when the
jsonschema module is missing.
"""
import glob
import json
import os
import re
import subprocess
import sys
import tempfile

try:
    import jsonschema
except ImportError:
    print("python3 jsonschema module not installed: schema test skipped")
    sys.exit(77)


def load(path):
    # polc's strings are byte strings; read them the same way.
    with open(path, encoding="utf-8-sig", errors="surrogateescape") as f:
        return json.load(f)


def expand(text):
    return re.sub(r"(.)\{(\d+)\}", lambda m: m.group(1) * int(m.group(2)), text)


def expanded(value):
    if isinstance(value, str):
        return expand(value)
    if isinstance(value, list):
        return [expanded(v) for v in value]
    if isinstance(value, dict):
        return {expand(k): expanded(v) for k, v in value.items()}
    return value


def apply(document, pointer, action):
    """`document` after one edit; "/" alone names the whole document."""
    if pointer == "/":
        return expanded(json.loads(action))
    *path, last = [expand(token) for token in pointer.split("/")[1:]]
    parent = document
    for token in path:
        parent = parent[int(token) if isinstance(parent, list) else token]
    if isinstance(parent, list) and last != "-":
        last = int(last)
    if action == "delete":
        del parent[last]
    elif action.startswith("rename "):
        parent[action[len("rename "):]] = parent.pop(last)
    elif last == "-":
        parent.append(expanded(json.loads(action)))
    else:
        parent[last] = expanded(json.loads(action))
    return document


def samples(folder):
    """(name, verdict, document) of full.json, then of each sample line."""
    full_path = os.path.join(folder, "full.json")
    yield "full.json", "good", load(full_path)
    with open(os.path.join(folder, "samples.txt"), encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            if not line.strip() or line.startswith("#"):
                continue
            verdict, edits = line.rstrip("\n").split(" ", 1)
            document = load(full_path)
            for edit in edits.split(" ; "):
                pointer, action = edit.split(" ", 1)
                document = apply(document, pointer, action)
            yield "samples.txt:%d" % number, verdict, document


def polc_accepts(polc, document, scratch):
    source = os.path.join(scratch, "p.json")
    with open(source, "w", encoding="utf-8", errors="surrogateescape") as f:
        json.dump(document, f, ensure_ascii=False)
    run = subprocess.run([polc, "-c", "-o", os.path.join(scratch, "p.bin"), source],
                         stdout=subprocess.DEVNULL)
    return run.returncode == 0


def main():
    if len(sys.argv) != 5:
        print(__doc__)
        return 2
    schema_path, folder, examples_dir, polc = sys.argv[1:]
    schema = load(schema_path)
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema)
    failures = 0
    checked = 0
    with tempfile.TemporaryDirectory() as scratch:
        examples = [(path, "good", load(path)) for path in sorted(glob.glob(examples_dir + "/*.json"))]
        for name, verdict, document in list(samples(folder)) + examples:
            checked += 1
            good = verdict == "good"
            if validator.is_valid(document) != good:
                failures += 1
                print("FAIL %s: the schema does not find it %s" % (name, verdict))
            if not name.startswith(examples_dir) and polc_accepts(polc, document, scratch) != good:
                failures += 1
                print("FAIL %s: polc does not find it %s" % (name, verdict))
    print("%d policy sources, %d failures" % (checked, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
