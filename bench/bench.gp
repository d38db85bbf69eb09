# Latency of the image road against image bytes, station and floor, from
# bench.exe's CSV. Called as: gnuplot -e "csv='...'; png='...'" bench.gp
set terminal pngcairo size 960,600 font ",11"
set output png
set datafile separator ","
set title "Image road under Wine: driver's post to each host's WM\\_COPYDATA (median, min..max)"
set xlabel "image block (MB)"
set ylabel "latency (ms)"
set key top left
set grid
set xrange [0:*]
set yrange [0:*]
# The latency rows themselves, not their A/A rows.
fe = sprintf("< grep '^latency,[0-9]*,[0-9]*,[0-9]*,\"post to front end\"' '%s'", csv)
ps = sprintf("< grep '^latency,[0-9]*,[0-9]*,[0-9]*,\"post to photo server\"' '%s'", csv)
plot ps using ($4/1048576):7:8:9 with yerrorlines lw 2 pt 7 lc rgb "#c0392b" title "station, to photo server (whole road)", \
     ps using ($4/1048576):10:11:12 with yerrorlines lw 2 pt 6 dt 2 lc rgb "#2c3e50" title "floor, to photo server", \
     fe using ($4/1048576):7:8:9 with yerrorlines lw 1 pt 5 lc rgb "#e67e22" title "station, to front end", \
     fe using ($4/1048576):10:11:12 with yerrorlines lw 1 pt 4 dt 2 lc rgb "#2980b9" title "floor, to front end"
