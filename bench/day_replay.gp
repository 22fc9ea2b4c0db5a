# SPDX-License-Identifier: BSD-2-Clause
# day_replay.gp - the delay of legitimate mail over a replayed day: the share
# of messages delivered within each delay, two lines per configuration (a
# colour per configuration; solid: first-contact messages, the first of a
# sender to a recipient that day; dashed: all legitimate messages). Called
# as gnuplot -e "datafile='...'; outfile='...'"; the configurations' names
# are read from the data file's comments, in its order; the last two (the
# selective set, without and with --replies) are drawn thicker.
set terminal pngcairo size 1100,1060 font ",11"
set output outfile
set title "murvane: delay of legitimate mail over a replayed day (-g 3480)"
set xlabel "delay of a message, minutes (log scale; 0 drawn at 0.1)"
set ylabel "share of messages delivered"
set logscale x
set xrange [0.1:1000]
set yrange [0:1]
set key outside below vertical maxrows 14 spacing 1.1
set grid
set rmargin 8
colours = "#1f77b4 #d62728 #2ca02c #9467bd #17becf #ff7f0e #8c564b"
names = system("sed -n 's/^# \\(.*\\), first contact$/\\1/p' " . datafile . " | tr ' ' '~'")
name(i) = system("echo '" . word(names, i) . "' | tr '~' ' '")
x(v) = v < 0.1 ? 0.1 : v
plot for [i = 1:words(names)] datafile index 2 * (i - 1) using (x($1)):2 with steps \
         lw (i >= words(names) - 1 ? 3 : 2) lc rgb word(colours, i) dt 1 \
         title name(i) . ", first contact", \
     for [i = 1:words(names)] datafile index 2 * i - 1 using (x($1)):2 with steps \
         lw (i >= words(names) - 1 ? 3 : 2) lc rgb word(colours, i) dt 2 \
         title name(i) . ", all legitimate"
