#!/usr/bin/env bash
# Writes fixture.ms2: spectra made from the b and y ions of peptides of fixture.fasta, with
# a little m/z jitter, missing ions and noise peaks, laid out as an ion-trap extractor writes
# MS2. The noise comes from a seeded Park-Miller generator, exact in any awk, so the file is
# the same on every machine; it is committed, and this script only says how it was made.
#
# usage: make_fixture.sh > fixture.ms2
set -eu
LC_ALL=C awk '
BEGIN {
    split("G 57.021464 A 71.037114 S 87.032028 P 97.052764 V 99.068414 T 101.047679 " \
          "C 160.030649 L 113.084064 I 113.084064 N 114.042927 D 115.026943 Q 128.058578 " \
          "K 128.094963 E 129.042593 M 131.040485 H 137.058912 F 147.068414 R 156.101111 " \
          "Y 163.063329 W 186.079313 m 147.035400", t, " ")  # C carbamidomethylated, m oxidised
    for (i = 1; i < 44; i += 2) mass[t[i]] = t[i + 1]
    water = 18.010565; proton = 1.007276
    seed = 20260512
    printf "H\tCreationDate\t05/12/2026 09:14:02\n"
    printf "H\tExtractor\tms2split fixture generator\n"
    printf "H\tExtractorVersion\t1.0\n"
    printf "H\tComments\tb and y ions of fixture.fasta peptides, with noise; made by tests/readers/make_fixture.sh\n"
    printf "H\tExtractorOptions\tMS2/MS1\n"
}
function random() { seed = (seed * 16807) % 2147483647; return seed / 2147483647 }
function add(mz, intensity) { n++; peak_mz[n] = mz; peak_in[n] = intensity }
# Fields: first and last scan, retention time in minutes ("-": none; "RTime:" names the line
# so), the charges of its Z lines ("-": none), the peptide (lower-case m: oxidised) or
# noise:MH+:charge, and flags: crlf (the scan in CR LF), note (an annotation line among the
# peaks), doubly (doubly charged fragments too).
/^#/ || NF == 0 { next }
{
    first = $1; last = $2; rt = $3; nz = split($4, charges, ","); peptide = $5; flags = $6
    n = 0
    if (peptide ~ /^noise:/) {
        split(peptide, f, ":"); mh = f[2]; z = f[3]
        for (i = 0; i < 48; i++) add(150 + random() * (mh - 150), 1 + random() * 60)
    } else {
        len = length(peptide); residues = 0
        for (i = 1; i <= len; i++) residues += mass[substr(peptide, i, 1)]
        mh = residues + water + proton
        z = ($4 == "-") ? 2 : charges[1]
        prefix = 0
        for (i = 1; i < len; i++) {
            prefix += mass[substr(peptide, i, 1)]
            b = prefix + proton; y = mh - prefix
            if (i > 1 && random() > 0.15) add(b, 200 + random() * 3000)
            if (random() > 0.1) add(y, 800 + random() * 7000)
            if (flags ~ /doubly/ && random() > 0.4) add((y + proton) / 2, 300 + random() * 2500)
            if (random() > 0.7) add(y - water, 100 + random() * 600)  # a water loss
        }
        for (i = 0; i < 30; i++) add(120 + random() * (mh - 100), 5 + random() * 250)
    }
    mh += (random() - 0.5) * 0.004  # a few ppm of precursor error
    for (i = 1; i <= n; i++) peak_mz[i] += (random() - 0.5) * 0.006
    for (i = 2; i <= n; i++) {  # in m/z order
        m = peak_mz[i]; v = peak_in[i]
        for (j = i - 1; j >= 1 && peak_mz[j] > m; j--) { peak_mz[j + 1] = peak_mz[j]; peak_in[j + 1] = peak_in[j] }
        peak_mz[j + 1] = m; peak_in[j + 1] = v
    }
    end = (flags ~ /crlf/) ? "\r\n" : "\n"
    printf "S\t%06d\t%06d\t%.4f%s", first, last, (mh + (z - 1) * proton) / z, end
    if (rt ~ /^RTime:/) printf "I\tRTime\t%s%s", substr(rt, 7), end
    else if (rt != "-") printf "I\tRetTime\t%s%s", rt, end
    printf "I\tIonInjectionTime\t%.3f%s", 10 + random() * 90, end
    printf "I\tActivationType\tCID%s", end
    if ($4 != "-")
        for (i = 1; i <= nz; i++) printf "Z\t%d\t%.4f%s", charges[i], (mh + (z - 1) * proton) / z * charges[i] - (charges[i] - 1) * proton, end
    for (i = 1; i <= n; i++) {
        printf "%.4f %.1f%s", peak_mz[i], peak_in[i], end
        if (flags ~ /note/ && i == int(n / 2)) printf "I\tNote\tdetector saturated above here%s", end
    }
}
' <<'SPECTRA'
# first last  rt         charges  peptide              flags
101  101  10.12       2       LGEFTWDHAPSIVR       -
102  102  10.37       2       AYCEDLTNQGFK         -
103  103  10.61       2,3     EPQDFLGTVSAMYK       -
104  104  10.85       3       HVEPFTCGADNSWLR      doubly
105  105  11.02       1       MEDGLYSK             -
106  106  11.30       2       VTDPSHLEGYmAR        -
107  107  -           2       noise:1403.6:2       -
108  108  11.74       2       YGDTLQEAFHNVSK       crlf
109  109  11.98       2       WEPVDGSLTYQR         note
110  110  12.21       2,3     IMNDFGCETHPAK        -
111  111  12.43       2       DHFAPTLGEVNSYK       -
112  112  12.69       1       FPTENGVR             -
113  113  RTime:12.9  2       GEFVNLSQTDWAYHK      -
114  114  13.15       3       MATPEVKPGDFLSNR      doubly
115  115  13.40       2       ETNWVPGAQDLR         crlf,note
116  116  13.62       -       VHGDYSTLEAFNK        -
117  117  13.88       2       QTmEPWDGFLSR         -
118  118  14.07       2       ADGTFHVEWNLQSPR      -
119  119  14.33       1       AWDHLCSK             -
120  120  14.59       2,3     noise:1385.2:2       -
121  121  14.80       2       ILAEDGTYFSNPVR       -
122  122  15.06       2       FEQPNCDTWAGSLHK      -
123  124  15.31       2       TPEHGWLDQSAFMK       -
125  125  15.55       3       MSTHAVDPLEGFQYNWK    doubly
126  126  15.78       2       SFCNDYEGATPVLR       -
127  127  16.04       2       DPFVETGNALSYQR       -
128  128  16.27       2       YSDNLGETVQFR         note
129  129  16.50       1       TLYEGFQR             -
130  130  16.76       2       NDLQGYSPVEATHFR      -
131  131  17.01       2,3     GHCWEDSTLPFNAK       -
132  132  -           1       noise:944.5:1        -
133  133  17.48       2       WTEPHAGDFLSCK        -
134  134  17.73       2       SLEYNCTDGAPVK        -
135  135  17.99       2       VYDLNTSGEPFACR       crlf
SPECTRA
