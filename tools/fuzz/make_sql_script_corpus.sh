#!/bin/sh
# Seeds for fuzz_sql_script from the SQL test records: per .test file, its whole script (the
# fixture tables written as CREATE TABLE, INSERT and CREATE INDEX), cut into pieces of at most
# 4 KB at statement ends, and each statement alone after the fixtures it needs; every seed under
# both releases (its first byte).
#   tools/fuzz/make_sql_script_corpus.sh corpus_script/
set -eu
out=${1:?usage: make_sql_script_corpus.sh OUTDIR}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out"
python3 - "$here/../../tests/sql" "$out" <<'PY'
import glob, hashlib, os, re, sys

src, out = sys.argv[1], sys.argv[2]
LIMIT = 4096

def value(v):
    if v == "NULL":
        return "NULL"
    if re.fullmatch(r"-?\d+(\.\d+)?", v):
        return v
    if v == "(empty)":
        v = ""
    return "'" + v.replace("'", "''") + "'"

def records(path):
    rec = []
    for line in open(path, encoding="latin-1"):
        line = line.rstrip("\n")
        if line.startswith("#"):
            continue
        if not line.strip():
            if rec:
                yield rec
            rec = []
        else:
            rec.append(line)
    if rec:
        yield rec

def statements(path):
    """(is_fixture, sql) in file order."""
    for rec in records(path):
        head = rec[0].split()
        if head[0] == "table":
            m = re.match(r"table\s+(\S+)\s*\((.*)\)\s*$", rec[0])
            if not m:
                continue
            yield True, "CREATE TABLE %s (%s)" % (m.group(1), m.group(2))
            for row in rec[1:]:
                yield True, "INSERT INTO %s VALUES (%s)" % (
                    m.group(1), ", ".join(value(v) for v in row.split("\t")))
        elif head[0] == "index":
            m = re.match(r"index\s+(\S+)\s+(\S+)\s*(unique)?\s*\((.*)\)\s*$", rec[0], re.I)
            if not m:
                continue
            yield True, "CREATE %sINDEX %s ON %s (%s)" % (
                "UNIQUE " if m.group(3) else "", m.group(2), m.group(1), m.group(4))
        elif head[0] in ("statement", "query"):
            body = []
            for line in rec[1:]:
                if line == "----":
                    break
                body.append(line)
            if body:
                yield False, "\n".join(body)

def save(text):
    # Each seed once per release: the first byte picks it ("0" 4.00, "1" 3.90).
    body = text.encode("latin-1", "replace")
    if not 0 < len(body) <= LIMIT:
        return
    for release in (b"0", b"1"):
        data = release + body
        name = hashlib.sha1(data).hexdigest()
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)

for path in sorted(glob.glob(os.path.join(src, "*.test"))):
    fixtures, piece = [], ""
    for is_fixture, sql in statements(path):
        sql = sql.strip().rstrip(";")
        if len(piece) + len(sql) + 2 > LIMIT:
            save(piece)
            piece = ""
        piece += sql + ";\n"
        if is_fixture:
            fixtures.append(sql)
        else:
            save("".join(f + ";\n" for f in fixtures) + sql)
    save(piece)
PY
echo "$(ls "$out" | wc -l) seeds in $out"
