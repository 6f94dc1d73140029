"""The shipped permission map meets its schema, which refuses what polcq
refuses of a map's shape; skipped (77) without the jsonschema module."""
import json
import sys

try:
    import jsonschema
except ImportError:
    sys.exit(77)
schema, policy, shipped = (json.load(open(f"{sys.argv[1]}/{name}.json"))
                           for name in ("permission_map.schema", "policy.schema", "permission_map"))
# Class names come from the policy schema installed beside it.
assert schema["propertyNames"] == {"$ref": "policy.schema.json#/$defs/className"}
schema["propertyNames"] = policy["$defs"]["className"]
validator = jsonschema.Draft202012Validator(schema)
validator.validate(shipped)
for bad in ({"fil": {}}, {"file": {"read": {"flow": "up", "weight": 3}}},
            {"file": {"read": {"flow": "read", "weight": 11}}}, {"file": {"read": {"flow": "read"}}}):
    assert not validator.is_valid(bad), bad
