# Plots one bench run: gnuplot -e "dir='RUN_DIR'; out='report.png'" report.gp
# Reads the .dat files that the Report main wrote into RUN_DIR.
set terminal pngcairo size 1400,1000 font "sans,10"
set output out
set multiplot layout 2,2 title "Launch latency, NIS+ bridge overhead, resident size"

# Launch: medians per JVM size and descriptor limit.
set title "Launch of /bin/true: median latency (ms), by JVM size / ulimit -n"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set boxwidth 0.9
set key top left
set ylabel "ms"
set grid ytics
plot dir."/launch.dat" using 2:xtic(1) title "launchapp", \
     "" using 3 title "ProcessBuilder.start", \
     "" using 4 title "C vfork+execv+waitpid", \
     "" using 5 title "C two vforks (launchapp's shape)"

# Bridge against raw libnsl, by table size.
set title "NIS+ listing of a whole table (8 columns): median per call"
set style data linespoints
set logscale xy
set xlabel "entries"
set ylabel "ms"
set key top left
set xtics (100, 1000, 10000)
plot dir."/bridge.dat" using 1:2 title "raw libnsl nis\\_list" lw 2, \
     "" using 1:3 title "client layer nis\\_list + free", \
     "" using 1:4 title "bridge get-all" lw 2, \
     "" using 1:5 title "bridge get-first + get-next", \
     "" using 1:6 title "bridge get-first"
unset logscale
set xtics autofreq

# Resident size over the long runs.
set title "JVM resident size over open / get-all / close cycles"
set xlabel "cycle"
set ylabel "MiB"
set key bottom right
set style data lines
set yrange [0:*]
plot dir."/memory-nisplus.dat" using 1:2 title "VmRSS" lw 2, "" using 1:3 title "VmHWM" dt 2

set title "JVM resident size over launchapp /bin/true calls"
plot dir."/memory-launch.dat" using 1:2 title "VmRSS" lw 2, "" using 1:3 title "VmHWM" dt 2
unset multiplot
