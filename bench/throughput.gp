# SPDX-License-Identifier: BSD-2-Clause
# throughput.gp - requests per second against connections, a line per
# database size. Called by run.sh with datafile and outfile set.
set terminal pngcairo size 900,560 font ",11"
set output outfile
set datafile missing "?"
set title "murvane: known triplets, requests per second by connections and database size"
set xlabel "connections (a daemon process each)"
set ylabel "requests per second"
set key top left
set grid
set logscale x 2
set xtics (1, 2, 4, 8)
set xrange [0.85:9.5]
set yrange [0:*]
stats datafile using 1 nooutput
columns = STATS_columns
plot for [c=2:columns] datafile using 1:c with linespoints lw 2 pt 7 \
     title sprintf("%s triplets stored", word(system("head -1 ".datafile), c + 1))
