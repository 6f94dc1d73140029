#!/usr/bin/env python3
"""bench/change_policy.py SRC DST: a realistic change to the policy in SRC,
written to DST (same file names): one grant entry in 64 loses its last
operation (about 1 % of the rules), ten types join the most popular
attribute, and 100 file contexts move to another type. Deterministic."""
import collections
import glob
import json
import os
import sys


def most_popular_attribute(docs):
    count = collections.Counter()
    for doc in docs:
        for attrs in doc['declarations'].get('typeattr', {}).values():
            count.update(attrs)
    return count.most_common(1)[0][0]


def edit_rules(docs):
    seen = edited = 0
    for doc in docs:
        for statement in doc['rules']:
            for rule in statement.get('teac', []):
                seen += 1
                if seen % 64 == 0 and len(rule['operation']) > 1:
                    rule['operation'].pop()
                    edited += 1
    return edited


def join_attribute(docs, attribute, count):
    members = {t for doc in docs for t, attrs in doc['declarations'].get('typeattr', {}).items()
               if attribute in attrs}
    joined = 0
    for doc in docs:
        declarations = doc['declarations']
        for name in declarations.get('type', []):
            if joined == count:
                return joined
            if name in members:
                continue
            declarations.setdefault('typeattr', {}).setdefault(name, []).append(attribute)
            if attribute not in declarations.get('attr', []) + declarations.get('require', []):
                declarations.setdefault('require', []).append(attribute)
            joined += 1
    return joined


def move_file_contexts(docs, count):
    moved = 0
    for doc in docs:
        files = doc['declarations'].get('labeling', {}).get('file', [])
        for i in range(0, len(files) - 1, 50):
            if moved == count:
                return moved
            files[i]['context'] = files[i + 1]['context']
            moved += 1
    return moved


def main(source, destination):
    paths = sorted(glob.glob(os.path.join(source, '*.json')))
    docs = [json.load(open(path)) for path in paths]
    attribute = most_popular_attribute(docs)
    print('grant entries edited', edit_rules(docs), file=sys.stderr)
    print('types joining', attribute, join_attribute(docs, attribute, 10), file=sys.stderr)
    print('file contexts moved', move_file_contexts(docs, 100), file=sys.stderr)
    os.makedirs(destination, exist_ok=True)
    for path, doc in zip(paths, docs):
        with open(os.path.join(destination, os.path.basename(path)), 'w') as out:
            json.dump(doc, out, indent=1)


if __name__ == '__main__':
    main(*sys.argv[1:])
