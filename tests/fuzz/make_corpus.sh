#!/usr/bin/env bash
# Regenerates the committed seed corpora (tests/fuzz/corpus/<harness>/) from real
# inputs: small tables and indexes written by mkfixtures, indexes the engine builds
# over the index harness's fixed table (one-page blocks and a tag-less index among them),
# tables of the other header levels and with other writers' header habits, small
# PNG pictures, the splash window's layout data and typical key expressions.
#   tests/fuzz/make_corpus.sh MKFIXTURES MAKE_SEEDS
# (dist/host/mkfixtures from the release build; make_seeds from the harness build,
# build/host/tests/fuzz/make_seeds.)
set -euo pipefail
[ $# -eq 2 ] || { sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//'; exit 2; }
mkfixtures=$(realpath "$1")
make_seeds=$(realpath "$2")
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
corpus=$here/corpus
rm -rf "$corpus"
mkdir -p "$corpus"/{dbf_header,mdx_header,expr,png,layout}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Tables and their production indexes, a few records each.
n=0
for entry in "client 3 standard" "vehicules 2 standard" "fact 2 full" "cdepostal 4 standard" \
            "catalogue-neuf 1 standard" "rdvoustech 2 standard"; do
  set -- $entry
  n=$((n + 1))
  "$mkfixtures" table "$scratch/T$n.DBF" --kind "$1" --records "$2" --seed "$n" --tags "$3" >/dev/null
  cp "$scratch/T$n.DBF" "$corpus/dbf_header/$1.dbf"
done
# An empty table, and one whose index is built from a FOR-filtered unique tag.
"$mkfixtures" table "$scratch/E.DBF" --kind libvehic --records 0 --index none >/dev/null
cp "$scratch/E.DBF" "$corpus/dbf_header/empty.dbf"
"$mkfixtures" table "$scratch/V.DBF" --kind vehicules --records 2 --tags none \
  --tag "IMM=IMMAT;for=.NOT. DELETED();unique" --tag "NC=NUMCLI;descending" >/dev/null
cp "$scratch/V.MDX" "$corpus/mdx_header/vehicules_for_unique.mdx"
cp "$scratch/T4.MDX" "$corpus/mdx_header/cdepostal.mdx"
cp "$scratch/T2.MDX" "$corpus/mdx_header/vehicules.mdx"
"$make_seeds" "$corpus" >/dev/null

# Small truecolour pictures: every row filter, several IDAT chunks, an ancillary chunk.
python3 - "$corpus/png" <<'PY'
import struct, sys, zlib
out = sys.argv[1]
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
def png(name, w, h, filters, idat_parts=1, extra=b""):
    rows = b""
    for y in range(h):
        rows += bytes([filters[y % len(filters)]]) + bytes(((x * 37 + y * 91 + c * 53) & 0xFF) for x in range(w) for c in range(3))
    z = zlib.compress(rows, 9)
    step = max(1, -(-len(z) // idat_parts))
    body = chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)) + extra
    body += b"".join(chunk(b"IDAT", z[i:i + step]) for i in range(0, len(z), step))
    open(f"{out}/{name}.png", "wb").write(b"\x89PNG\r\n\x1a\n" + body + chunk(b"IEND", b""))
png("one_pixel", 1, 1, [0])
png("filters", 5, 5, [0, 1, 2, 3, 4])
png("paeth", 8, 3, [4])
png("split_idat", 12, 6, [1, 2], idat_parts=3)
png("ancillary", 4, 2, [3], extra=chunk(b"tEXt", b"Title\x00Orvane") + chunk(b"PLTE", b"\x00\x00\x00"))
PY

# The splash window's layout, and small variants with every kind of element.
cp "$root/res/splash.layout" "$corpus/layout/splash.layout"
cat > "$corpus/layout/minimal.layout" <<'LAYOUT'
form F
  caption      "A \"quoted\" \\ caption"
  client       100 50
  color        btnface
  font         "Arial" 11 bold
  ppi          120
  textheight   16
  border       yes
  titlebar     yes
  bordericons  no
  scrollbars   no
  topmost      yes
table T1   # a comment
  tablename    "CLIENT.DBF"
  databasename "DATA"
  active       no
  exclusive    yes
LAYOUT

# Typical key expressions and FOR conditions; some carry record bytes after a line feed.
i=0
while IFS= read -r line; do
  i=$((i + 1))
  printf '%s' "$line" > "$corpus/expr/expr_$i"
done <<'EXPRS'
CODE
UPPER(NOM)
CODE+DTOS(DATEFACT)
STR(QTE,8)+DTOS(DATEFACT)
MONTANT
-MONTANT*QTE/2
DATEFACT+30
DATEFACT-DATEFACT
IIF(PAYE,"O","N")+LEFT(NOM,3)
SUBSTR(UPPER(NOM),2,5)
ALLTRIM(NOM)-CODE
.NOT. DELETED() .AND. MONTANT > 0
"DUP" $ UPPER(NOM) .OR. QTE >= 3
YEAR(DATEFACT)*100+MONTH(DATEFACT)
VAL(CODE)+INT(TAUX)^2
DTOC(DATEFACT)+STR(RECNO(),5)
RTRIM(LOWER(NOM))+'x'+[y]
ABS(TAUX)
FUZZ->CODE
UPPE(NOM)
AT("-",CODE)+ASC(NOM)+LEN(TRIM(NOM))
CHR(65+MOD(QTE,26))+SPACE(2)+REPLICATE("*",3)
STUFF(NOM,2,3,CODE)+SOUNDEX(NOM)
ROUND(MONTANT*TAUX/100,2)
IIF(EMPTY(DATEFACT) .OR. ISBLANK(QTE),"A","B")
DATEFACT = CTOD("  /  /  ") .OR. DOW(DATEFACT) = 1
UPPER (FUZZ->NOM) = "DUP" .AND. .TRUE. <> .FALSE.
EXPRS
printf 'UPPER(NOM)+CODE\n Z001  Zola' > "$corpus/expr/record_text"
# Record bytes: deletion flag, CODE 6, NOM 20, MONTANT 10, QTE 4, DATEFACT 8, PAYE 1, TAUX 8.
printf 'MONTANT*QTE\n %-6s%-20s%10s%4s' A B 1e308 -0. > "$corpus/expr/record_numbers"
printf 'DTOS(DATEFACT+1)\n*%-6s%-20s%10s%4s%8s%s%8s' A B 1 1 99991231 T -1.5 > "$corpus/expr/record_date"

echo "seeds written to $corpus:"
for d in "$corpus"/*; do echo "  $(basename "$d"): $(ls "$d" | wc -l) files, $(du -sk "$d" | cut -f1) KiB"; done
