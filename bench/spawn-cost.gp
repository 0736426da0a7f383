# SPDX-License-Identifier: BSD-2-Clause
# Spawn time of /bin/true against the size of the parent, from bench/run's spawn data.
#   gnuplot -e "data='spawn-cost.tsv'; output='spawn-cost.svg'; machine='...'" bench/spawn-cost.gp
# (an output name ending in .png gives a PNG instead)
# data: one line per parent size: MiB, then the medians in ms of fork+exec, posix_spawn and
# pex_run_once.
if (!exists("machine")) machine = ""
if (output[strlen(output)-2:] eq "png") {
  set terminal pngcairo size 760,460 enhanced font "sans,10" background "white"
} else {
  set terminal svg size 760,460 dynamic enhanced font "sans,12" background "white"
}
set output output
set title "Starting /bin/true from a parent that has touched N MiB of heap" . (machine eq "" ? "" : "\n{/*0.8 " . machine . "}")
set xlabel "parent heap touched (MiB)"
set ylabel "start + wait, median (ms)"
set logscale xy 2
set format y "%g"
set xtics (16, 32, 64, 128, 256, 512, 1024, 2048)
set grid xtics ytics lc rgb "#dddddd"
set key top left box opaque
set datafile separator "\t"
set datafile commentschars "#"
plot data using 1:2 with linespoints lw 2 pt 7 ps 1.3 lc rgb "#c0392b" title "fork + exec", \
     data using 1:3 with linespoints lw 2 pt 5 ps 1.3 lc rgb "#2471a3" title "posix\\_spawn (glibc)", \
     data using 1:4 with linespoints lw 2 pt 9 ps 1.3 lc rgb "#1e8449" title "pex\\_run\\_once (pipeline service)"
