"""The shipped permission map against its schema, which refuses what polcq
refuses of a map's shape; skipped (77) without the jsonschema module."""
import json
import sys

try:
    import jsonschema
except ImportError:
    sys.exit(77)

schema_dir = sys.argv[1]
def load(name):
    with open(f"{schema_dir}/{name}") as file:
        return json.load(file)

# Class names come from the policy schema beside it.
schema, policy = load("permission_map.schema.json"), load("policy.schema.json")
try:
    import referencing
    registry = referencing.Registry().with_resource(
        "policy.schema.json", referencing.Resource.from_contents(policy))
    validator = jsonschema.Draft202012Validator(schema, registry=registry)
except ImportError:  # jsonschema before 4.18
    resolver = jsonschema.RefResolver.from_schema(schema, store={"policy.schema.json": policy})
    validator = jsonschema.Draft202012Validator(schema, resolver=resolver)
validator.validate(load("permission_map.json"))
for bad in [{"fil": {}}, {"file": {"read": {"flow": "up", "weight": 3}}},
            {"file": {"read": {"flow": "read", "weight": 11}}}, {"file": {"read": {"flow": "read"}}}]:
    if validator.is_valid(bad):
        sys.exit(f"the schema takes {json.dumps(bad)}")
