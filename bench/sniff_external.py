#!/usr/bin/env python3
# How korvane sniff does on CSV files it was never tuned on: the data and
# test files shipped in a few Debian packages, unpacked outside the
# repository:
#   mkdir -p /tmp/sniff-ext && cd /tmp/sniff-ext
#   apt-get download python3-statsmodels python3-sklearn unicode-data
#   for d in *.deb; do dpkg-deb -x "$d" x; done
#   cp /usr/share/distro-info/*.csv /usr/share/zoneinfo/*.tab x/
#   bench/sniff_external.py build/rel/cli/korvane /tmp/sniff-ext/x
# Every .csv over 1 KiB is taken for comma-separated unless listed below
# (each checked by eye); the script prints how many files get the right
# separator and on how many the printed import command loads every record.
import json, os, subprocess, sys, tempfile, shlex
K, root = sys.argv[1], sys.argv[2]
byhand = {  # checked by eye; "one": one value per line (none and the comma read it alike)
 'results_kde_fft.csv': 'one', 'rand10000.csv': 'one', 'rgnpq.csv': 'one', 'stl_co2.csv': 'one',
 'stkprc.csv': 'one', 'results_simulation_smoothing3_variates.csv': 'one', 'modechoice.csv': ';',
 'E6_jmulti.csv': ' ', 'yhat_mnlogit.csv': ' ', 'phat_mnlogit.csv': ' ', 'survival_data_100_5.csv': ' ',
 'survival_data_50_2.csv': ' ', 'survival_data_1000_10.csv': ' ', 'survival_data_50_1.csv': ' ',
 'test_coint.csv': ' ', 'AROLSConstantPredict.csv': ' ', 'AROLSNoConstantPredict.csv': ' ',
 'anes96.csv': '\t', 'UnicodeData.txt': ';', 'CaseFolding.txt': ';', 'Scripts.txt': ';',
 'Index.txt': '\t', 'PropertyValueAliases.txt': ';', 'zone.tab': '\t', 'zone1970.tab': '\t',
 'iso3166.tab': '\t', 'debian.csv': ',', 'ubuntu.csv': ','}
files = []
for d, _, fs in os.walk(root):
    for f in fs:
        p = os.path.join(d, f)
        if (f.endswith('.csv') and os.path.getsize(p) > 1024) or f in byhand:
            files.append(p)
right = loads = 0
misses = []
tmp = tempfile.mkdtemp()
for p in sorted(files):
    want = byhand.get(os.path.basename(p), ',')
    j = json.loads(subprocess.run([K, 'sniff', '--json', p], capture_output=True, text=True).stdout)
    sep = j['separator'] or ''
    ok = sep == want or (want == 'one' and sep in ('', ','))
    right += ok
    if not j['command']:  # sniff says why it prints none (e.g. more columns than a table holds)
        misses.append('%s: separator %r (want %r), no command' % (p[len(root):], sep, want))
        continue
    words = shlex.split(j['command'])[1:]
    for i, w in enumerate(words):
        if w == '--db': words[i + 1] = os.path.join(tmp, 'x.db')
    if os.path.exists(os.path.join(tmp, 'x.db')): os.remove(os.path.join(tmp, 'x.db'))
    rc = subprocess.run([K] + words, capture_output=True, text=True).returncode
    loads += rc == 0
    if not ok or rc: misses.append('%s: separator %r (want %r) import exit %d' % (p[len(root):], sep, want, rc))
print('%d files; separator right on %d; printed command loads every record on %d' % (len(files), right, loads))
print('\n'.join(misses))
