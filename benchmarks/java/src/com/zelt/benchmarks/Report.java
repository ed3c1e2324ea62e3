package com.zelt.benchmarks;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;

/**
 * Turns one bench run's files into benchmarks/REPORT.md and the data files
 * that benchmarks/report.gp plots.
 *
 * <pre>
 *   Report RUN_DIR REPORT.md NOTES.md QUICK
 * </pre>
 *
 * RUN_DIR holds samples-SECTION.txt ("KEY value" lines, all rounds),
 * memory.txt (MemoryBench's output) and "name: value" lines in machine.txt
 * and sections.txt (when, how and under what load each section ran).
 * NOTES.md, the findings, is copied in at the end. QUICK (1 or 0): whether
 * any section came from a --quick run, whose figures mean nothing.
 */
public final class Report {
    private static final String[] SIZES = {"small", "large"};
    private static final String[] LIMITS = {"1024", "20000"};
    private static final int[] ROWS = {100, 1_000, 10_000};

    private final Map<String, double[]> samples = new HashMap<>();
    private final StringBuilder md = new StringBuilder();
    private final Path run;

    private Report(Path run) {
        this.run = run;
    }

    public static void main(String[] args) throws IOException {
        Report r = new Report(Path.of(args[0]));
        Map<String, List<Double>> byKey = new HashMap<>();
        for (String section : new String[] {"launch", "bridge"}) {
            Path file = r.run.resolve("samples-" + section + ".txt");
            if (!Files.exists(file)) continue;
            for (String line : Files.readAllLines(file)) {
                String[] f = line.split(" ");
                byKey.computeIfAbsent(f[0], k -> new ArrayList<>()).add(Double.parseDouble(f[1]));
            }
        }
        byKey.forEach((k, v) -> r.samples.put(k, v.stream().mapToDouble(Double::doubleValue).sorted().toArray()));
        r.write(Path.of(args[1]), Path.of(args[2]), args[3].equals("1"));
    }

    /** Nearest-rank percentile of a key's samples (µs for times); NaN when absent. */
    private double pct(String key, double p) {
        double[] a = samples.get(key);
        if (a == null || a.length == 0) return Double.NaN;
        int rank = (int) Math.ceil(p / 100.0 * a.length);
        return a[Math.max(0, Math.min(a.length - 1, rank - 1))];
    }

    private double med(String key) {
        return pct(key, 50);
    }

    private int count(String key) {
        double[] a = samples.get(key);
        return a == null ? 0 : a.length;
    }

    private static String f(String format, double v) {
        return Double.isNaN(v) ? "–" : String.format(Locale.ROOT, format, v);
    }

    private String ms(String key) {
        return f("%.2f", med(key) / 1e3) + " / " + f("%.2f", pct(key, 90) / 1e3);
    }

    private static String ratio(double r) {
        return f("%.2f×", r);
    }

    /** "0.45× met": a ratio held against its upper bound. */
    private static String verdict(double r, double limit) {
        return ratio(r) + (Double.isNaN(r) ? " not measured" : r <= limit ? " met" : " **missed**");
    }

    private static Map<String, String> nameValues(Path file) throws IOException {
        Map<String, String> m = new LinkedHashMap<>();
        if (!Files.exists(file)) return m;
        for (String line : Files.readAllLines(file)) {
            int colon = line.indexOf(": ");
            if (colon > 0) m.put(line.substring(0, colon), line.substring(colon + 2));
        }
        return m;
    }

    private void write(Path out, Path notes, boolean quick) throws IOException {
        md.append("# Benchmarks\n\n");
        if (quick) {
            md.append("**Pipeline check (`--quick`): a few iterations of each; the figures and verdicts below ")
                    .append("mean nothing.**\n\n");
        }
        Map<String, String> machine = nameValues(run.resolve("machine.txt"));
        md.append("Made with `scripts/bench.sh`; each section's run and load average (1, 5, 15 min) at its ")
                .append("start and end; the machine is shared, and load slows and spreads every figure.\n\n")
                .append("| Section | run | load |\n|---|---|---|\n");
        Map<String, String> sections = nameValues(run.resolve("sections.txt"));
        for (String name : new String[] {"launch", "bridge", "memory"}) {
            md.append("| ").append(name).append(" | ").append(sections.getOrDefault(name, "not run | –"))
                    .append(" |\n");
        }
        md.append("\nMachine: ").append(String.join("; ", machine.values())).append(".\n\n");
        md.append("![Launch latency, bridge against raw libnsl, resident size over time](report.png)\n\n");
        launch();
        bridge();
        memory();
        if (Files.exists(notes)) md.append("\n").append(Files.readString(notes).replaceAll("(?m)^#", "##"));
        Files.writeString(out, md);
    }

    private void launch() throws IOException {
        md.append("## Launch\n\nMedian / 90th percentile in ms of /bin/true, interleaved in one JVM per size ")
                .append("(small: default heap; large: `-Xms1g -Xmx1g -XX:+AlwaysPreTouch`), its soft ")
                .append("descriptor limit switched every ten launches. *nobody*: launchapp as uid/gid 65534. ")
                .append("*C vfork*: vfork + execv + waitpid from the same JVM, until the program has ended; ")
                .append("*C 2 vforks*: launchapp's shape, until its exec (a vforked child vforks the ")
                .append("program's process and exits). ")
                .append(count("launch:launchapp:small:1024")).append(" samples a cell (small), ")
                .append(count("launch:launchapp:large:1024")).append(" (large).\n\n");
        md.append("| JVM | ulimit -n | RSS MiB | launchapp | nobody | ProcessBuilder | launchapp ÷ "
                + "ProcessBuilder (≤ 1.2×) | C vfork | C 2 vforks |\n|---|---|---|---|---|---|---|---|---|\n");
        StringBuilder dat = new StringBuilder("# config launchapp processbuilder vfork vfork2 (ms)\n");
        for (String size : SIZES) {
            for (String limit : LIMITS) {
                String k = ":" + size + ":" + limit;
                double r = med("launch:launchapp" + k) / med("launch:processbuilder" + k);
                md.append("| ").append(size).append(" | ").append(limit).append(" | ")
                        .append(f("%.0f", med("rss:" + size) / 1024)).append(" | ").append(ms("launch:launchapp" + k))
                        .append(" | ").append(ms("launch:nobody" + k)).append(" | ")
                        .append(ms("launch:processbuilder" + k)).append(" | ").append(verdict(r, 1.2)).append(" | ")
                        .append(ms("launch:vfork" + k)).append(" | ").append(ms("launch:vfork2" + k)).append(" |\n");
                dat.append(size).append('/').append(limit);
                for (String m : new String[] {"launchapp", "processbuilder", "vfork", "vfork2"}) {
                    dat.append(' ').append(f("%.3f", med("launch:" + m + k) / 1e3));
                }
                dat.append('\n');
            }
        }
        Files.writeString(run.resolve("launch.dat"), dat);
        md.append("\n| Target | ulimit -n 1024 | 20000 |\n|---|---|---|\n| launchapp large ÷ small (≤ 1.3×; "
                + "separate JVMs, alternating) |");
        for (String limit : LIMITS) {
            md.append(' ').append(verdict(med("launch:launchapp:large:" + limit)
                    / med("launch:launchapp:small:" + limit), 1.3)).append(" |");
        }
        md.append("\n| ProcessBuilder large ÷ small, for comparison |");
        for (String limit : LIMITS) {
            md.append(' ').append(ratio(med("launch:processbuilder:large:" + limit)
                    / med("launch:processbuilder:small:" + limit))).append(" |");
        }
        md.append("\n\n| Target | small | large |\n|---|---|---|\n| launchapp at 20000 ÷ at 1024 "
                + "(within 10%; one JVM) |");
        for (String size : SIZES) {
            double r = med("launch:launchapp:" + size + ":20000") / med("launch:launchapp:" + size + ":1024");
            md.append(' ').append(ratio(r))
                    .append(Double.isNaN(r) ? "" : Math.abs(r - 1) <= 0.1 ? " met |" : " **missed** |");
        }
        md.append("\n\n");
    }

    private void bridge() throws IOException {
        md.append("## NIS+ bridge against raw libnsl\n\nOne JVM (`-Xms512m -Xmx512m -XX:+AlwaysPreTouch`, ")
                .append("libnsl's test-only `clntudp_create` stand-in preloaded) per round, inside the sandbox ")
                .append("with nisplusd; tables of 8 columns; every client's calls interleaved. Median / 90th ")
                .append("percentile in ms. *raw*: libnsl's `nis_list` alone; *+ free*: with `nis_freeresult`; ")
                .append("*layer*: libnamestore's NIS+ client layer without JNI, list + free; *JNI floor*: ")
                .append("the same String[] built from memory by libnamestore's string helper; *first+next*: ")
                .append("get-first and get-next to the end.\n\n");
        md.append("| Entries | raw | raw + free | layer | JNI floor | get-all | get-first | first+next "
                + "| get-all ÷ raw | first+next ÷ raw | get-all ÷ (raw + JNI floor) |\n"
                + "|---|---|---|---|---|---|---|---|---|---|---|\n");
        StringBuilder dat = new StringBuilder("# rows raw layer getall walk getfirst (ms)\n");
        for (int rows : ROWS) {
            String k = ":" + rows;
            double raw = med("bridge:raw" + k);
            md.append("| ").append(String.format(Locale.ROOT, "%,d", rows)).append(" | ").append(ms("bridge:raw" + k))
                    .append(" | ").append(ms("bridge:rawfree" + k)).append(" | ").append(ms("bridge:layerfree" + k))
                    .append(" | ").append(ms("bridge:strings" + k)).append(" | ").append(ms("bridge:getall" + k))
                    .append(" | ").append(ms("bridge:getfirst" + k)).append(" | ").append(ms("bridge:walk" + k))
                    .append(" | ").append(ratio(med("bridge:getall" + k) / raw)).append(" | ")
                    .append(ratio(med("bridge:walk" + k) / raw)).append(" | ")
                    .append(ratio(med("bridge:getall" + k) / (raw + med("bridge:strings" + k)))).append(" |\n");
            dat.append(rows);
            for (String m : new String[] {"raw", "layerfree", "getall", "walk", "getfirst"}) {
                dat.append(' ').append(f("%.4f", med("bridge:" + m + k) / 1e3));
            }
            dat.append('\n');
        }
        Files.writeString(run.resolve("bridge.dat"), dat);
        md.append("\n| Operation (µs a call, median) | bridge | raw libnsl | layer |\n|---|---|---|---|\n");
        for (String[] op : new String[][] {{"openclose", "open + close (raw, layer: `nis_lookup`)"},
                 {"add", "add entry"}, {"remove", "delete entry by key"}}) {
            md.append("| ").append(op[1]);
            for (String c : new String[] {"bridge", "raw", "layer"}) {
                double v = med("bridge:" + op[0] + ":" + c);
                md.append(" | ").append(f("%.0f", v)).append(f(" (%,.0f/s)", 1e6 / v));
            }
            md.append(" |\n");
        }
        md.append("\n| Target | figure |\n|---|---|\n")
                .append("| layer list + free of 10,000 entries ÷ raw + free (≤ 0.9×) | ")
                .append(verdict(med("bridge:layerfree:10000") / med("bridge:rawfree:10000"), 0.9)).append(" |\n")
                .append("| get-all ÷ raw at 10,000 entries (≤ 1.15×) | ")
                .append(verdict(med("bridge:getall:10000") / med("bridge:raw:10000"), 1.15)).append(" |\n")
                .append("| get-all ÷ raw at 1,000 entries (≤ 1.0×) | ")
                .append(verdict(med("bridge:getall:1000") / med("bridge:raw:1000"), 1.0)).append(" |\n\n")
                .append("Samples a cell: ").append(count("bridge:raw:100")).append(", ")
                .append(count("bridge:raw:1000"))
                .append(" and ").append(count("bridge:raw:10000")).append(" listings; ")
                .append(count("bridge:openclose:bridge")).append(" opens, ").append(count("bridge:add:bridge"))
                .append(" adds and deletes.\n\n");
    }

    private void memory() throws IOException {
        md.append("## Resident size\n\nVmRSS / VmHWM of a JVM (`-Xms16m -Xmx16m -XX:+AlwaysPreTouch ")
                .append("-XX:+UseSerialGC`) in MiB; warm-up: the first tenth of the cycles; trend: ")
                .append("least-squares slope of VmRSS after it.\n\n| Run | cycles | time | after warm-up | end | ")
                .append("VmHWM at end | trend per 10,000 cycles |\n|---|---|---|---|---|---|---|\n");
        Path file = run.resolve("memory.txt");
        if (!Files.exists(file)) return;
        Map<String, List<long[]>> byKind = new LinkedHashMap<>();
        Map<String, String[]> done = new HashMap<>();
        for (String line : Files.readAllLines(file)) {
            String[] w = line.split(" ");
            if (w[0].equals("SAMPLE")) {
                byKind.computeIfAbsent(w[1], k -> new ArrayList<>())
                        .add(new long[] {Long.parseLong(w[2]), Long.parseLong(w[3]), Long.parseLong(w[4])});
            } else if (w[0].equals("DONE")) {
                done.put(w[1], w);
            }
        }
        for (Map.Entry<String, List<long[]>> e : byKind.entrySet()) {
            List<long[]> s = e.getValue();
            long[] last = s.get(s.size() - 1);
            long warm = last[0] / 10;
            long[] first = s.stream().filter(x -> x[0] >= warm).findFirst().orElse(last);
            // Least-squares slope of VmRSS (KiB) over cycles after warm-up.
            double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
            StringBuilder dat = new StringBuilder("# cycle rss_mib hwm_mib\n");
            for (long[] x : s) {
                dat.append(x[0]).append(' ').append(x[1] / 1024.0).append(' ').append(x[2] / 1024.0).append('\n');
                if (x[0] < warm) continue;
                n++;
                sx += x[0];
                sy += x[1];
                sxx += (double) x[0] * x[0];
                sxy += (double) x[0] * x[1];
            }
            double slope = n < 2 ? Double.NaN : (n * sxy - sx * sy) / (n * sxx - sx * sx);
            String[] d = done.getOrDefault(e.getKey(), new String[] {"", "", "?", "?"});
            String what = e.getKey().equals("launch") ? "launchapp /bin/true" : "open / get-all (100 × 8) / close";
            md.append("| ").append(what)
                    .append(" | ").append(String.format(Locale.ROOT, "%,d", last[0])).append(" | ").append(d[3])
                    .append(" s | ").append(f("%.1f", first[1] / 1024.0)).append(" | ")
                    .append(f("%.1f", last[1] / 1024.0)).append(" | ").append(f("%.1f", last[2] / 1024.0))
                    .append(" | ").append(f("%+.0f KiB", slope * 10_000)).append(" |\n");
            Files.writeString(run.resolve("memory-" + e.getKey() + ".dat"), dat);
        }
    }
}
