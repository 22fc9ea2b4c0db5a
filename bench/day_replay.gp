# SPDX-License-Identifier: BSD-2-Clause
# day_replay.gp - the delay of legitimate mail over a replayed day: the share
# of messages delivered within each delay, a line per configuration and kind
# of sender (a colour per configuration; solid: pool senders, dashed:
# correspondents). Called as gnuplot -e "datafile='...'; outfile='...'".
set terminal pngcairo size 1000,620 font ",11"
set output outfile
set title "murvane: delay of legitimate mail over a replayed day (-g 3480)"
set xlabel "delay of a message, minutes (log scale; 0 drawn at 0.1)"
set ylabel "share of messages delivered"
set logscale x
set xrange [0.1:1000]
set yrange [0:1]
set key outside right top vertical spacing 1.2
set grid
set rmargin 34
c1 = "#1f77b4"; c2 = "#d62728"; c3 = "#2ca02c"; c4 = "#9467bd"
x(v) = v < 0.1 ? 0.1 : v
plot datafile index 0 using (x($1)):2 with steps lw 2 lc rgb c1 dt 1 title "plain, pool senders", \
     datafile index 1 using (x($1)):2 with steps lw 2 lc rgb c1 dt 2 title "plain, correspondents", \
     datafile index 2 using (x($1)):2 with steps lw 2 lc rgb c2 dt 1 title "--spf, pool senders", \
     datafile index 3 using (x($1)):2 with steps lw 2 lc rgb c2 dt 2 title "--spf, correspondents", \
     datafile index 4 using (x($1)):2 with steps lw 2 lc rgb c3 dt 1 title "--auto-whitelist 5, pool senders", \
     datafile index 5 using (x($1)):2 with steps lw 2 lc rgb c3 dt 2 title "--auto-whitelist 5, correspondents", \
     datafile index 6 using (x($1)):2 with steps lw 3 lc rgb c4 dt 1 title "both, pool senders", \
     datafile index 7 using (x($1)):2 with steps lw 3 lc rgb c4 dt 2 title "both, correspondents"
