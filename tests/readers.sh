#!/usr/bin/env bash
# Real readers read ms2split's MGF as they read its DTA files: one reader at a time, on the
# fixture of tests/readers/ and, where the shared test data is present, on a real MS2 file
# searched against a real protein database. Skipped (exit 77) where the reader is missing.
#
# usage: readers.sh READER PROGRAM FIXTURE_DIR [TESTDATA_DIR]
#
# comet      Comet searches the MS2 file and the MGF: each spectrum, known by its scan
#            number and charge, gets the same best peptide and xcorr.
# tandem     X!Tandem searches the MGF whole and each DTA file alone: each spectrum gets
#            the same best peptides, charge and hyperscore (expectation values depend on
#            the other spectra of a run, and are not compared).
# openms     OpenMS reads the MGF and the DTA files (all in one FileMerger run): the same
#            spectra, charges, precursor m/z (within 1e-6: PEPMASS has six decimals) and
#            peaks, and FileInfo counts the same spectra, peaks and charges in both.
# msconvert  ProteoWizard reads the MGF (it reads no DTA file): the spectra, charges,
#            precursor m/z (within 1e-6) and peaks (to the 12 digits it prints) that the DTA
#            files hold.
# Each spectrum of the MGF is matched with the DTA file its TITLE names.
set -u
reader=$1 program=$2 fixture=$3 testdata=${4:-}
case $reader in
comet) tools=comet-ms package=comet-ms ;;
tandem) tools=tandem package=tandem-mass ;;
openms) tools="FileInfo FileConverter FileMerger" package=topp ;;
msconvert) tools=msconvert package=libpwiz-tools ;;
*) echo "unknown reader $reader"; exit 2 ;;
esac
for tool in $tools; do
    command -v "$tool" > /dev/null || { echo "$tool is not installed (Debian: $package)"; exit 77; }
done
[[ $program == */* ]] && program=$(realpath "$program")
fixture=$(realpath "$fixture")
[ -n "$testdata" ] && testdata=$(realpath "$testdata")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# same WHAT FILE1 FILE2: the two files are equal, or the difference is shown.
same() {
    diff -u "$2" "$3" > "$work/diff" && return 0
    head -40 "$work/diff"
    fail "$1"
    return 1
}

# convert MS2: NAME.mgf and the DTA tree NAME/ of MS2, under $work/out; the MGF's titles
# must be the DTA files' names.
convert() {
    rm -rf "$work/out" && mkdir "$work/out"
    "$program" --format mgf -o "$work/out" "$1" > /dev/null || { fail "ms2split --format mgf $1"; return 1; }
    "$program" -o "$work/out" "$1" > /dev/null || { fail "ms2split $1"; return 1; }
    name=$(basename "$1" .ms2) mgf=$work/out/$name.mgf dta=$work/out/$name
    entries=$(grep -c '^BEGIN IONS' "$mgf")
    same "the MGF's titles are not the DTA files' names" \
        <(sed -n 's/^TITLE=\(.*\)\r\{0,1\}$/\1/p' "$mgf" | sort -u) \
        <(cd "$dta" && ls | sed 's/\.dta$//' | sort) || return 1
}

# Spectra, one a line: title, charge, precursor m/z, then m/z and intensity of each peak.
# spectra_equal WHAT A B: A and B hold the same spectra, precursor m/z within 1e-6.
spectra_equal() {
    awk -v what="$1" 'NR == FNR { want[FNR] = $0; n = FNR; next }
        { got = $0; split(want[FNR], w, " "); split(got, g, " ")
          bad = w[1] != g[1] || w[2] != g[2] || (w[3] - g[3] > 1e-6 || g[3] - w[3] > 1e-6) ||
                substr(want[FNR], index(want[FNR], w[4])) != substr(got, index(got, g[4]))
          if (bad && shown++ < 3) print what ": spectrum " FNR " differs:\n  want " substr(want[FNR], 1, 300) "\n  got  " substr(got, 1, 300) }
        END { if (FNR != n) print what ": " FNR " spectra read, " n " expected"; exit shown > 0 || FNR != n }' "$2" "$3" ||
        { fail "$1"; return 1; }
}

# dta_spectra FORMAT TITLE...: the spectra of the DTA files of these titles, as they hold
# them, each number of a peak printed with FORMAT.
dta_spectra() {
    local format=$1
    shift
    set -- "${@/#/$dta/}"
    awk -v f=" $format $format" 'FNR == 1 { if (NR > 1) print ""; title = FILENAME; sub(/.*\//, "", title)
                                            sub(/\.dta$/, "", title); z = $2
                                            printf "%s %d %.9f", title, z, (z > 0 ? ($1 + (z - 1) * 1.007276466621) / z : $1); next }
        NF >= 2 { printf f, $1, $2 } END { if (NR) print "" }' "${@/%/.dta}"
}

check_comet() {  # FASTA MS2
    rm -rf "$work/comet" && mkdir -p "$work/comet/ms2" "$work/comet/mgf"
    # best DIR INPUT: scan, charge, peptide and xcorr of each spectrum's best match
    best() {
        comet-ms -P"$fixture/comet.params" -D"$1" -N"$work/comet/$2/run" "$3" > "$work/comet/$2/log" 2>&1 ||
            { cat "$work/comet/$2/log"; fail "Comet on $3"; }
        awk -F'\t' 'NR == 2 { for (i = 1; i <= NF; i++) column[$i] = i; next }
            NR > 2 { print $column["scan"], $column["charge"], $column["modified_peptide"], $column["xcorr"] }' \
            "$work/comet/$2/run.txt" | sort
    }
    # The MS2's scans without a Z line, which Comet searches at charges of its choosing, are
    # in no DTA file, and so in no MGF entry.
    awk '/^S/ { scan = $2 + 0 } /^Z/ { print scan }' "$2" | sort -u > "$work/comet/charged"
    best "$1" ms2 "$2" | awk 'NR == FNR { charged[$1] = 1; next } charged[$1]' "$work/comet/charged" - \
        > "$work/comet/ms2.best"
    best "$1" mgf "$mgf" > "$work/comet/mgf.best"
    same "Comet's best matches for $(basename "$2") and its MGF differ (scan, charge, peptide, xcorr)" \
        "$work/comet/ms2.best" "$work/comet/mgf.best" &&
        echo "comet: $(basename "$2"): $entries spectra, $(wc -l < "$work/comet/mgf.best") matches, all equal"
}

check_tandem() {  # FASTA MS2
    local dir=$work/tandem
    rm -rf "$dir" && mkdir -p "$dir/out"
    cp "$fixture/tandem/default_input.xml" "$dir/"
    sed "s|@FASTA@|$1|" "$fixture/tandem/taxonomy.xml" > "$dir/taxonomy.xml"
    # search SPECTRA OUTPUT: X!Tandem's results for one input
    search() {
        sed -e "s|@DIR@|$dir|" -e "s|@SPECTRA@|$1|" -e "s|@OUTPUT@|$2|" "$fixture/tandem/input.xml" > "$2.in"
        command tandem "$2.in" > "$2.log" 2>&1 || { cat "$2.log"; echo "FAIL: X!Tandem on $1"; return 1; }
    }
    # best TITLE...: for each result, its title (the DTA file's name, or the MGF's TITLE), its
    # charge, its hyperscore and its best peptides, with their modifications
    best() {
        awk '/<group .*type="model"/ { match($0, / z="[0-9]+"/); z = substr($0, RSTART + 4, RLENGTH - 5)
                                        hyper = ""; n = 0; delete seen }
             /<domain / { match($0, /hyperscore="[^"]*"/); hyper = substr($0, RSTART + 12, RLENGTH - 13)
                          match($0, / seq="[^"]*"/); peptide = substr($0, RSTART + 6, RLENGTH - 7) }
             /<aa type=/ { match($0, /modified="[^"]*"/); peptide = peptide "+" substr($0, RSTART + 10, RLENGTH - 11) }
             /<\/domain>/ { if (!(peptide in seen)) { seen[peptide] = 1; list[++n] = peptide } }
             /<note label="Description">/ { sub(/.*<note label="Description">/, ""); sub(/<\/note>.*/, "")
                 title = (FILENAME ~ /\.dta\.xml$/) ? FILENAME : $0
                 sub(/.*\//, "", title); sub(/\.dta\.xml$/, "", title); sub(/[ \t\r].*/, "", title)
                 for (i = 2; i <= n; i++) for (j = i; j > 1 && list[j - 1] > list[j]; j--) {
                     t = list[j]; list[j] = list[j - 1]; list[j - 1] = t }
                 out = ""; for (i = 1; i <= n; i++) out = out " " list[i]
                 print title, z, hyper, out }' "$@" | sort
    }
    search "$mgf" "$dir/mgf.xml" || return
    export -f search
    export dir fixture
    (cd "$dta" && ls) | xargs -P 2 -I{} bash -c 'search "$1/$2" "$3/out/$2.xml"' _ "$dta" {} "$dir" ||
        { fail "X!Tandem on the DTA files"; return; }
    best "$dir/mgf.xml" | sort -u > "$dir/mgf.best"
    (cd "$dir/out" && best *.xml) > "$dir/dta.best"
    same "X!Tandem's best matches for the MGF of $(basename "$2") and its DTA files differ (title, charge, hyperscore, peptides)" \
        "$dir/dta.best" "$dir/mgf.best" &&
        echo "tandem: $(basename "$2"): $entries spectra, $(wc -l < "$dir/mgf.best") matched, all equal"
}

# openms_spectra FILE TITLE...: the spectra OpenMS reads in FILE (through its MGF writer,
# which prints every number in full), given these titles in turn.
openms_spectra() {
    local file=$1
    shift
    FileConverter -in "$file" -out "$file.mgf" -out_type mgf -no_progress < /dev/null > "$file.log" 2>&1 ||
        { cat "$file.log"; return 1; }
    awk -v titles="$(printf '%s\n' "$@")" 'BEGIN { split(titles, title, "\n") }
         /^BEGIN IONS/ { n++; z = 0; mz = ""; peaks = "" }
         /^CHARGE=/ { sub(/^CHARGE=/, ""); z = $0 + 0; next }
         /^PEPMASS=/ { sub(/^PEPMASS=/, ""); mz = $1; next }
         /^[0-9]/ { peaks = peaks sprintf(" %.17g %.17g", $1, $2) }
         /^END IONS/ { printf "%s %d %.9f%s\n", title[n], z, mz, peaks }' "$file.mgf"
}

check_openms() {  # FASTA MS2
    local dir=$work/openms
    rm -rf "$dir" && mkdir -p "$dir"
    mapfile -t titles < <(sed -n 's/^TITLE=\(.*\)\r\{0,1\}$/\1/p' "$mgf")
    # The DTA files in the MGF's order, read by OpenMS's DTA reader and kept in its own mzML.
    local files=("${titles[@]/#/$dta/}")
    FileMerger -in "${files[@]/%/.dta}" -in_type dta -out "$dir/dta.mzML" -raw:rt_auto -no_progress \
        < /dev/null > "$dir/merge.log" 2>&1 || { cat "$dir/merge.log"; fail "FileMerger on the DTA files"; return; }
    info() {  # what FileInfo counts in a file, but for retention times
        FileInfo -in "$1" < /dev/null > "$1.info" 2>&1 || { cat "$1.info"; echo "FAIL: FileInfo $1"; }
        grep -e '^Number of spectra:' -e '^Total number of peaks:' -e '^ *mass-to-charge:' -e '^ *intensity:' \
            -e '^ *charge [0-9-]*: ' "$1.info"
    }
    same "FileInfo counts other spectra, peaks or charges in the MGF than in its DTA files" \
        <(info "$dir/dta.mzML") <(info "$mgf")
    openms_spectra "$dir/dta.mzML" "${titles[@]}" > "$dir/want" || { fail "OpenMS on its mzML"; return; }
    cp "$mgf" "$dir/all.mgf"
    openms_spectra "$dir/all.mgf" "${titles[@]}" > "$dir/got" || { fail "OpenMS on the MGF"; return; }
    spectra_equal "OpenMS reads the MGF's spectra otherwise than the DTA files" "$dir/want" "$dir/got" &&
        echo "openms: $(basename "$2"): $entries spectra, each as OpenMS reads its DTA file"
}

check_msconvert() {  # FASTA MS2
    local dir=$work/msconvert
    rm -rf "$dir" && mkdir -p "$dir"
    msconvert --text -o "$dir" "$mgf" > "$dir/log" 2>&1 || { cat "$dir/log"; fail "msconvert $mgf"; return; }
    # Its text form prints every peak to 12 significant digits, the precursor m/z as read.
    awk '/^ *spectrum:$/ { if (title != "") print title, z, mz, peaks; title = ""; z = 0 }
         /cvParam: spectrum title, / { title = $0; sub(/.*spectrum title, /, "", title) }
         /cvParam: charge state, / { z = $NF }
         /cvParam: selected ion m\/z, / { mz = $(NF - 1); sub(/,$/, "", mz) }
         /cvParam: m\/z array/ { array = "mz" } /cvParam: intensity array/ { array = "intensity" }
         /^ *binary: / { sub(/^ *binary: \[[0-9]*\] */, ""); n = split($0, v, " ")
                         if (array == "mz") split($0, mzs, " ")
                         else { peaks = ""; for (i = 1; i <= n; i++) peaks = peaks " " mzs[i] " " v[i] } }
         END { if (title != "") print title, z, mz, peaks }' "$dir/$name.txt" |
        awk '{ $3 = sprintf("%.9f", $3); print }' > "$dir/got"
    dta_spectra "%.12g" $(cut -d ' ' -f 1 "$dir/got") > "$dir/want"
    [ "$(wc -l < "$dir/got")" = "$entries" ] || fail "msconvert reads $(wc -l < "$dir/got") spectra in an MGF of $entries"
    spectra_equal "msconvert reads the MGF's spectra otherwise than the DTA files hold them" "$dir/want" "$dir/got" &&
        echo "msconvert: $(basename "$2"): $entries spectra, each as its DTA file holds it"
}

convert "$fixture/fixture.ms2" && "check_$reader" "$fixture/fixture.fasta" "$fixture/fixture.ms2"
if [ -d "$testdata" ]; then
    convert "$testdata/ms2/crux_demo_mixed_eol.ms2" &&
        "check_$reader" "$testdata/fasta/small-yeast.fasta" "$testdata/ms2/crux_demo_mixed_eol.ms2"
else
    echo "no shared test data at '$testdata': the real MS2 file is not read"
fi
exit "$failed"
