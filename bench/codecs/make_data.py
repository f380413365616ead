"""Writes the JSON and CSV documents of the codec benchmarks from a fixed seed.

  make_data.py json FILE [MB]   a JSON object of records (nesting, escapes,
                                non-ASCII text, integers, floats, literals)
  make_data.py csv FILE [MB]    rows of eight fields, some quoted: holding
                                commas, doubled quotes and line breaks

Floats have at most three decimals and integers fit 32 bits, and no field or
string holds a space or a control character other than tab and line feed, so
that both sides write the same bytes when they save what they loaded.
"""
import json
import random
import sys

kind, path = sys.argv[1], sys.argv[2]
mb = float(sys.argv[3]) if len(sys.argv) > 3 else (20 if kind == "json" else 50)
limit = int(mb * 1024 * 1024)
rnd = random.Random(2026)
words = ["oru", "déjà", "файл", "日本語", "naïve", "😀", "value", "block", "x", "Zoë", "ßtraße", "a/b"]


def token():
    return "".join(rnd.choice(words) for _ in range(rnd.randint(1, 3)))


def text():
    t = token()
    r = rnd.random()
    if r < 0.1:
        t += '"quoted"'
    elif r < 0.2:
        t += "\\back"
    elif r < 0.3:
        t += "\nline\ttab"
    return t


def record(i):
    return {
        "id": i,
        "name": text(),
        "score": round(rnd.uniform(-100000, 100000), 3),
        "count": rnd.randint(-2147483648, 2147483647),
        "ok": rnd.random() < 0.5,
        "missing": None,
        "tags": [token() for _ in range(rnd.randint(0, 4))],
        "nested": {"a": [rnd.randint(0, 1000) for _ in range(rnd.randint(0, 5))], "b": {"c": text(), "d": []}},
    }


if kind == "json":
    items, size, i = [], 2, 0
    while size < limit:
        r = record(i)
        size += len(json.dumps(r, ensure_ascii=False, separators=(",", ":")).encode("utf-8")) + 1
        items.append(r)
        i += 1
    with open(path, "w", encoding="utf-8") as f:
        json.dump({"title": "bench", "items": items}, f, ensure_ascii=False, separators=(",", ":"))
else:
    def field():
        t = token()
        r = rnd.random()
        if r < 0.05:
            return t + "," + token()
        if r < 0.1:
            return t + '"' + token() + '"'
        if r < 0.13:
            return t + "\n" + token()
        if r < 0.15:
            return ""
        return t

    with open(path, "w", encoding="utf-8", newline="") as f:
        size = 0
        while size < limit:
            row = []
            for _ in range(8):
                v = field()
                if any(c in v for c in ',"\n'):
                    v = '"' + v.replace('"', '""') + '"'
                row.append(v)
            line = ",".join(row) + "\n"
            f.write(line)
            size += len(line.encode("utf-8"))
