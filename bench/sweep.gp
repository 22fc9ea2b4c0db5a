# SPDX-License-Identifier: BSD-2-Clause
# sweep.gp - idle triplets left after each stop over the largest database of
# section 4, a line per daemon and load. Called by run.sh with datafile and
# outfile set.
set terminal pngcairo size 900,560 font ",11"
set output outfile
set title "murvane: idle triplets left after each stop (10% of the database idle)"
set xlabel "stops"
set ylabel "idle triplets left"
set key top right
set grid
set yrange [0:*]
stats datafile using 1 nooutput
plot for [i=0:STATS_blocks-1] datafile index i using 1:2 with linespoints lw 2 pt 7 \
     title columnheader(2)
