#!/usr/bin/env python3
# How korvane sniff does on CSV files it was never tuned on: the data and
# test files shipped in a few Debian packages, unpacked outside the
# repository:
#   mkdir -p /tmp/sniff-ext && cd /tmp/sniff-ext
#   apt-get download python3-statsmodels python3-sklearn unicode-data \
#     gnuplot-doc python-matplotlib-data python3-networkx python3-scipy
#   for d in *.deb; do dpkg-deb -x "$d" x; done
#   cp /usr/share/distro-info/*.csv /usr/share/zoneinfo/*.tab x/
#   bench/sniff_external.py build/rel/cli/korvane /tmp/sniff-ext/x
# Every .csv over 1 KiB is taken for comma-separated unless listed below
# (each checked by eye); the script prints how many files get the right
# separator and on how many the printed import command loads every record.
# A blank-separated table read as fixed-width has the right separator.
# The plotting demos' and scientific test data's .dat and .txt tables are
# listed by name: blank- or tab-separated, some under # comments or a page
# of prose (the NIST files), some of one line of numbers (pdist-*).
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
 'iso3166.tab': '\t', 'debian.csv': ',', 'ubuntu.csv': ',', 'icosahedron.dat': ',',
 'data_x_x2_x3.csv': ' '}
byhand.update(dict.fromkeys('''WorldEnergy.dat WormNet.v3.benchmark.txt arrowstyle.dat
 candlesticks.dat cities.dat ctg-y2.dat delaunay-edges.dat empty-circles.dat energy_circles.dat
 finance.dat histerror.dat histopt.dat immigration.dat lcdemo.dat optimize.dat
 orbital_elements.dat srl.dat table.dat timedat.dat'''.split(), '\t'))
byhand.update(dict.fromkeys('''1.dat 2.dat 3.dat AtmWtAg.dat Norris.dat SiRstv.dat SmLs01.dat
 SmLs02.dat SmLs03.dat SmLs04.dat SmLs05.dat SmLs06.dat SmLs07.dat SmLs08.dat SmLs09.dat
 asciimat.dat battery.dat big_peak.dat cdist-X1.txt cdist-X2.txt clip14in.dat dodecahedron.dat
 ellipses.dat fit3.dat glass.dat hemisphr.dat iris.txt klein.dat moli3.dat rgb_variable.dat
 scatter2.dat selfdual-4d-polytope.txt silver.dat soundvel.dat steps.dat triangle.dat
 truncated_cube.dat using.dat whale.dat world.dat pdist-boolean-inp.txt pdist-double-inp.txt
 random-bool-data.txt random-double-data.txt random-int-data.txt random-uint-data.txt'''.split()
 + ['pdist-%s-ml%s.txt' % (m, i) for m in ('chebyshev', 'cityblock', 'correlation', 'cosine',
    'euclidean', 'jensenshannon', 'minkowski-3.2', 'seuclidean') for i in ('', '-iris')]
 + ['pdist-hamming-ml.txt', 'pdist-jaccard-ml.txt', 'pdist-minkowski-5.8-ml-iris.txt',
    'pdist-spearman-ml.txt'], ' '))
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
    ok = sep == want or (want == 'one' and sep in ('', ',')) or (want == ' ' and bool(j['fixedWidths']))
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
