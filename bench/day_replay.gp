# SPDX-License-Identifier: BSD-2-Clause
# day_replay.gp - the delay of legitimate mail over a replayed day: the share
# of messages delivered within each delay, a line per configuration and kind
# of sender. Called as gnuplot -e "datafile='...'; outfile='...'".
set terminal pngcairo size 900,560 font ",11"
set output outfile
set title "murvane: delay of legitimate mail over a replayed day (-g 3480)"
set xlabel "delay of a message, minutes (log scale; 0 drawn at 0.1)"
set ylabel "share of messages delivered"
set logscale x
set xrange [0.1:*]
set yrange [0:1]
set key bottom right
set grid
plot datafile index 0 using ($1 < 0.1 ? 0.1 : $1):2 with steps lw 2 title "plain, pool senders", \
     datafile index 1 using ($1 < 0.1 ? 0.1 : $1):2 with steps lw 2 title "plain, correspondents", \
     datafile index 2 using ($1 < 0.1 ? 0.1 : $1):2 with steps lw 2 dt 2 title "--auto-whitelist 5, pool senders", \
     datafile index 3 using ($1 < 0.1 ? 0.1 : $1):2 with steps lw 2 dt 2 title "--auto-whitelist 5, correspondents"
