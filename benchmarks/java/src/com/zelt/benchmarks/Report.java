package com.zelt.benchmarks;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.TreeMap;

/**
 * Turns one bench run's files into benchmarks/REPORT.md and the data files
 * that benchmarks/report.gp plots.
 *
 * <pre>
 *   Report RUN_DIR REPORT.md NOTES.md COMMAND
 * </pre>
 *
 * RUN_DIR holds samples-SECTION.txt ("KEY microseconds" lines from every
 * program, all rounds), memory.txt (MemoryBench output), machine.txt,
 * sections.txt (when and how each section ran), loads-SECTION.txt and
 * baseline.txt (the baseline libnamestore's commit, and why it was not
 * measured if it was not), all "name: value" lines. Samples whose key starts
 * with "pair:" come from PairBench, the present libnamestore and the
 * baseline in one JVM ("pair:present:..." and "pair:base:..."); those with
 * "rawpair:" from RawPair, libnsl's nis_list and get-all in one JVM
 * ("rawpair:raw:ROWS" and "rawpair:getall:ROWS"), and rawpair.txt says why
 * when RawPair did not run. NOTES.md,
 * the findings written by hand, is copied in at the end.
 */
public final class Report {
    // Targets the numbers are held against.
    private static final double LAUNCH_VS_PROCESSBUILDER = 1.2;
    private static final double LARGE_VS_SMALL = 1.3;
    private static final double LIMIT_SPREAD = 0.10;
    private static final double GETALL_VS_RAW = 1.15;
    private static final double GETALL_VS_RAW_1000 = 1.0;
    private static final double LAYER_VS_RAW_FREE = 0.9;
    /**
     * How far above the baseline's median the present one may lie in the
     * one-JVM pairing and still count as no slower: the same code against
     * itself came out within 3% there (see the findings).
     */
    private static final double PAIR_TOLERANCE = 1.05;

    private static final String[] HEAPS = {"small", "large"};
    private static final String[] LIMITS = {"1024", "20000"};
    private static final int[] ROWS = {100, 1_000, 10_000};
    private static final String[] SECTIONS = {"launch", "bridge", "memory"};

    private final Map<String, double[]> samples = new TreeMap<>();
    private final StringBuilder md = new StringBuilder();
    private final Path run;

    private Report(Path run) {
        this.run = run;
    }

    public static void main(String[] args) throws IOException {
        if (args.length != 4) {
            System.err.println("usage: Report RUN_DIR REPORT.md NOTES.md COMMAND");
            System.exit(2);
        }
        Report r = new Report(Path.of(args[0]));
        r.readSamples();
        r.write(Path.of(args[1]), Path.of(args[2]), args[3]);
    }

    private void readSamples() throws IOException {
        Map<String, List<Double>> byKey = new LinkedHashMap<>();
        for (String section : SECTIONS) {
            Path file = run.resolve("samples-" + section + ".txt");
            if (!Files.exists(file)) continue;
            for (String line : Files.readAllLines(file)) {
                String[] f = line.trim().split(" ");
                if (f.length != 2) continue;
                byKey.computeIfAbsent(f[0], k -> new ArrayList<>()).add(Double.parseDouble(f[1]));
            }
        }
        byKey.forEach((k, v) -> {
            double[] a = v.stream().mapToDouble(Double::doubleValue).toArray();
            Arrays.sort(a);
            samples.put(k, a);
        });
    }

    /** Nearest-rank percentile of a key's samples in microseconds; NaN when absent. */
    private double pct(String key, double p) {
        double[] a = samples.get(key);
        if (a == null || a.length == 0) return Double.NaN;
        int rank = (int) Math.ceil(p / 100.0 * a.length);
        return a[Math.max(0, Math.min(a.length - 1, rank - 1))];
    }

    private int count(String key) {
        double[] a = samples.get(key);
        return a == null ? 0 : a.length;
    }

    private static String ms(double us) {
        return Double.isNaN(us) ? "–" : String.format(Locale.ROOT, "%.2f", us / 1000.0);
    }

    private static String us(double us) {
        return Double.isNaN(us) ? "–" : String.format(Locale.ROOT, "%.0f", us);
    }

    private static String ratio(double r) {
        return Double.isNaN(r) ? "–" : String.format(Locale.ROOT, "%.2f×", r);
    }

    private static String percent(double d) {
        return Double.isNaN(d) ? "–" : String.format(Locale.ROOT, "%+.1f%%", d * 100);
    }

    private static String verdict(boolean met) {
        return met ? "met" : "**missed**";
    }

    private String medP90Ms(String key) {
        return ms(pct(key, 50)) + " / " + ms(pct(key, 90));
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

    private void write(Path out, Path notes, String command) throws IOException {
        Map<String, String> machine = nameValues(run.resolve("machine.txt"));
        md.append("# Benchmarks\n\n");
        Map<String, String> sections = nameValues(run.resolve("sections.txt"));
        // One run made every section (or the run predates the per-section record).
        boolean oneRun = sections.isEmpty()
                || sections.size() == SECTIONS.length && sections.values().stream().distinct().count() == 1;
        if (oneRun) {
            md.append("Made with `").append(command).append("` on ").append(machine.getOrDefault("date", "?"))
                    .append(". Every figure below comes from that one run on one machine.\n\n");
        } else {
            md.append("Sections run separately, on one machine; each section's figures come from its ")
                    .append("own run:\n\n| Section | run |\n|---|---|\n");
            for (String section : SECTIONS) {
                md.append("| ").append(section).append(" | ").append(sections.getOrDefault(section, "not run"))
                        .append(" |\n");
            }
            md.append("\nMachine as of the last run (").append(machine.getOrDefault("date", "?")).append("):\n\n");
        }
        md.append("| Machine | |\n|---|---|\n");
        machine.forEach((k, v) -> {
            if (!k.equals("date")) md.append("| ").append(k).append(" | ").append(v).append(" |\n");
        });
        md.append("\nLoad average (1, 5, 15 min) around each phase; the machine is shared, so ")
                .append("figures taken under load are slower and noisier than on a quiet one:\n\n");
        md.append("| Phase | Load |\n|---|---|\n");
        for (String section : SECTIONS) {
            nameValues(run.resolve("loads-" + section + ".txt")).forEach((k, v) -> md.append("| ").append(k)
                    .append(" | ").append(v).append(" |\n"));
        }
        md.append("\n![Launch latency, bridge against raw libnsl, resident size over time](report.png)\n\n");

        launch();
        bridge();
        memory();

        if (Files.exists(notes)) {
            // One level down, under the report's own title.
            md.append("\n").append(Files.readString(notes).replaceAll("(?m)^#", "##"));
        }
        Files.writeString(out, md);
    }

    private void launch() throws IOException {
        md.append("## 1. Launch latency\n\n");
        md.append("Median / 90th percentile in milliseconds, /bin/true. *launchapp*: how long ")
                .append("`CmdLauncher.launchapp` blocks its caller; it creates the intermediate process and ")
                .append("the program's process with `clone(CLONE_VM | CLONE_VFORK)`, each running in the ")
                .append("JVM's memory on a stack of its own, and returns once the program's exec has ")
                .append("happened and the intermediate process is reaped (the caller's identities kept). ")
                .append("*as nobody*: the same switching to uid/gid 65534. *ProcessBuilder*: ")
                .append("`ProcessBuilder.start()` in the same JVM, interleaved with the launches; it too ")
                .append("returns once the program has been exec'd. *C fork*: a C program timing fork + ")
                .append("execv + waitpid after touching as much private memory as the JVM of that row had ")
                .append("resident (each fork copies the page tables); *C vfork*: the same with vfork, ")
                .append("which copies nothing; *C 2 vforks*: launchapp's shape in C (the vforked child ")
                .append("vforks the exec'ing grandchild and exits, the parent reaps the child); ")
                .append("*C bare process*: C fork from a 1.4 MiB process. ")
                .append("JVMs: small = default heap, large = `-Xms1g -Xmx1g -XX:+AlwaysPreTouch`; ")
                .append("descriptor limit set with `ulimit -n` in the shell that starts each program ")
                .append("(JVMs run with `-XX:-MaxFDLimit` so they keep it).\n\n");
        md.append("| JVM | ulimit -n | RSS MiB | launchapp | as nobody | ProcessBuilder | "
                + "launchapp ÷ ProcessBuilder (≤ 1.2×) | C fork | C vfork | C 2 vforks | C bare process |\n");
        md.append("|---|---|---|---|---|---|---|---|---|---|---|\n");
        Map<String, String> rss = nameValues(run.resolve("rss.txt"));
        StringBuilder dat = new StringBuilder("# config launchapp processbuilder floor vfloor vfloor2\n");
        for (String heap : HEAPS) {
            for (String limit : LIMITS) {
                String sfx = ":" + heap + ":" + limit;
                double r = pct("launch:launchapp" + sfx, 50) / pct("launch:processbuilder" + sfx, 50);
                md.append("| ").append(heap).append(" | ").append(limit).append(" | ")
                        .append(rss.getOrDefault(heap + ":" + limit, "?")).append(" | ")
                        .append(medP90Ms("launch:launchapp" + sfx)).append(" | ")
                        .append(medP90Ms("launch:launchapp-nobody" + sfx)).append(" | ")
                        .append(medP90Ms("launch:processbuilder" + sfx)).append(" | ")
                        .append(ratio(r)).append(' ').append(verdict(r <= LAUNCH_VS_PROCESSBUILDER)).append(" | ")
                        .append(medP90Ms("floor" + sfx)).append(" | ")
                        .append(medP90Ms("vfloor" + sfx)).append(" | ")
                        .append(medP90Ms("vfloor2" + sfx)).append(" | ")
                        .append(medP90Ms("floor:none:" + limit)).append(" |\n");
                dat.append(String.format(Locale.ROOT, "\"%s\\n%s\" %.3f %.3f %.3f %.3f %.3f%n", heap, limit,
                        pct("launch:launchapp" + sfx, 50) / 1000, pct("launch:processbuilder" + sfx, 50) / 1000,
                        pct("floor" + sfx, 50) / 1000, pct("vfloor" + sfx, 50) / 1000,
                        pct("vfloor2" + sfx, 50) / 1000));
            }
        }
        Files.writeString(run.resolve("launch.dat"), dat);
        md.append("\nSamples per cell: launchapp and ProcessBuilder ").append(count("launch:launchapp:small:1024"))
                .append(" (small), ").append(count("launch:launchapp:large:1024")).append(" (large); C fork ")
                .append(count("floor:small:1024")).append(" / ").append(count("floor:large:1024"))
                .append("; C vfork and C 2 vforks ").append(count("vfloor:small:1024")).append(" / ")
                .append(count("vfloor:large:1024")).append(", gathered over several interleaved rounds.\n\n");

        md.append("JVM size (target: launchapp in the large JVM at most 1.3× its median in the small one). ")
                .append("The two sizes are separate JVMs, run one after the other in every round, so a load ")
                .append("that changes between them moves the ratio; for comparison the same ratio for ")
                .append("ProcessBuilder and the C floors, and for launchapp in the one-JVM pairing below.\n\n");
        md.append("| ulimit -n | launchapp small | large | large ÷ small | target | ProcessBuilder large ÷ small "
                + "| C fork large ÷ small | C 2 vforks large ÷ small | one-JVM pairing large ÷ small |\n"
                + "|---|---|---|---|---|---|---|---|---|\n");
        for (String limit : LIMITS) {
            double small = pct("launch:launchapp:small:" + limit, 50);
            double large = pct("launch:launchapp:large:" + limit, 50);
            double r = large / small;
            md.append("| ").append(limit).append(" | ").append(ms(small)).append(" ms | ").append(ms(large))
                    .append(" ms | ").append(ratio(r)).append(" | ").append(verdict(r <= LARGE_VS_SMALL))
                    .append(" | ").append(ratio(largeOverSmall("launch:processbuilder", limit))).append(" | ")
                    .append(ratio(largeOverSmall("floor", limit))).append(" | ")
                    .append(ratio(largeOverSmall("vfloor2", limit))).append(" | ")
                    .append(ratio(pct("paired:large:" + limit, 50) / pct("paired:small:" + limit, 50)))
                    .append(" |\n");
        }
        md.append("\n");

        md.append("Descriptor limit (target: launchapp within 10% between the two limits). *Separate JVMs*: ")
                .append("the medians of the first table, each limit set by `ulimit -n` before the JVM ")
                .append("started; the C fork floor, which closes no descriptors, shows how far the machine's ")
                .append("load alone moves two such runs apart. *One JVM*: launchapp timed in one JVM ")
                .append("started at 20000, its soft limit switched with prlimit every ten launches, so ")
                .append("both limits see the same moments of load; the verdict uses this pairing.\n\n");
        md.append("| JVM | separate JVMs: 1024 | 20000 | difference | C floor difference | one JVM: 1024 | "
                + "20000 | difference | target |\n|---|---|---|---|---|---|---|---|---|\n");
        for (String heap : HEAPS) {
            double a = pct("launch:launchapp:" + heap + ":1024", 50);
            double b = pct("launch:launchapp:" + heap + ":20000", 50);
            double fa = pct("floor:" + heap + ":1024", 50);
            double fb = pct("floor:" + heap + ":20000", 50);
            double pa = pct("paired:" + heap + ":1024", 50);
            double pb = pct("paired:" + heap + ":20000", 50);
            double d = (pb - pa) / pa;
            md.append("| ").append(heap).append(" | ").append(ms(a)).append(" ms | ").append(ms(b))
                    .append(" ms | ").append(percent((b - a) / a)).append(" | ").append(percent((fb - fa) / fa))
                    .append(" | ").append(ms(pa)).append(" ms | ").append(ms(pb)).append(" ms | ")
                    .append(percent(d)).append(" | ").append(verdict(Math.abs(d) <= LIMIT_SPREAD))
                    .append(" |\n");
        }
        md.append("\nPaired samples per limit: ").append(count("paired:small:1024")).append(" (small), ")
                .append(count("paired:large:1024")).append(" (large).\n\n");

        md.append("The launch shape inside the JVM (ulimit -n 20000, interleaved in one JVM per size): ")
                .append("launchapp next to a bare JNI call that creates the same detached pair of processes ")
                .append("for /bin/true with nothing else (no strings read, no environment built, no ")
                .append("identities), both made with vfork (launchapp's shape without its work) or both ")
                .append("with fork (each copying the JVM's page tables). Median / 90th percentile in ms.\n\n");
        md.append("| JVM | launchapp | vfork + vfork | fork + fork | launchapp ÷ vfork + vfork "
                + "| fork + fork ÷ launchapp |\n|---|---|---|---|---|---|\n");
        for (String heap : HEAPS) {
            double launchapp = pct("shape:launchapp:" + heap, 50);
            md.append("| ").append(heap).append(" | ").append(medP90Ms("shape:launchapp:" + heap)).append(" | ")
                    .append(medP90Ms("shape:vforkvfork:" + heap)).append(" | ")
                    .append(medP90Ms("shape:forkfork:" + heap)).append(" | ")
                    .append(ratio(launchapp / pct("shape:vforkvfork:" + heap, 50))).append(" | ")
                    .append(ratio(pct("shape:forkfork:" + heap, 50) / launchapp)).append(" |\n");
        }
        md.append("\nSamples per cell: ").append(count("shape:launchapp:small")).append(" (small), ")
                .append(count("shape:launchapp:large")).append(" (large).\n\n");
    }

    /** Median in the large JVM's row over the small one's, for a key prefix and limit. */
    private double largeOverSmall(String prefix, String limit) {
        return pct(prefix + ":large:" + limit, 50) / pct(prefix + ":small:" + limit, 50);
    }

    private void bridge() throws IOException {
        md.append("## 2. NIS+ bridge against raw libnsl\n\n");
        md.append("Inside `tests/sandbox/sandbox.sh` with nisplusd; tables of 8 columns loaded with ")
                .append("`nisplusctl load` from a generated seed. Median / 90th percentile in ")
                .append("milliseconds per call. *raw libnsl*: `nis_list` of the same name from C++ ")
                .append("through Debian's libnsl client, the call alone (the floor the ratios use); ")
                .append("*raw + free*: the same with `nis_freeresult` of the listing, which the bridge ")
                .append("also has to do. ")
                .append("*client layer*: the same program on libnamestore's own NIS+ client layer, ")
                .append("without JNI, list + free. *get-all*: `nisplusGetAllEntries(h, \"\")`. *get-first*: ")
                .append("`nisplusGetFirstEntry(h, \"\")` alone; *first+next*: get-first and get-next ")
                .append("to the end. *JNI alone*: building the same flat String[] in native code from ")
                .append("values already in memory, with libnamestore's string helper and no NIS+ call ")
                .append("(JniStringFloor), the share of get-all that no client library can remove. ")
                .append("Bridge JVMs: `-Xms512m -Xmx512m -XX:+AlwaysPreTouch`.");
        Map<String, String> base = nameValues(run.resolve("baseline.txt"));
        String baseName = base.getOrDefault("commit", "?");
        md.append(" *one JVM*: medians of get-all of 100 entries on the present library and on the baseline ")
                .append("libnamestore (").append(baseName).append(") loaded together in one JVM, as the targets ")
                .append("compare them.\n\n");
        md.append("| Entries | raw libnsl | raw + free | client layer | JNI alone | get-all | one JVM: present / ")
                .append(baseName).append(" | get-first | first+next | get-all ÷ raw | first+next ÷ raw |\n")
                .append("|---|---|---|---|---|---|---|---|---|---|---|\n");
        StringBuilder dat = new StringBuilder("# rows raw layer getall walk getfirst (ms, medians)\n");
        for (int rows : ROWS) {
            double raw = pct("raw:list:" + rows, 50);
            md.append("| ").append(String.format(Locale.ROOT, "%,d", rows)).append(" | ")
                    .append(medP90Ms("raw:list:" + rows)).append(" | ")
                    .append(medP90Ms("raw:listfree:" + rows)).append(" | ")
                    .append(medP90Ms("layer:listfree:" + rows)).append(" | ")
                    .append(medP90Ms("jni:namestore:" + rows)).append(" | ")
                    .append(medP90Ms("bridge:getall:" + rows)).append(" | ")
                    .append(rows == 100 ? pairCell("getall:100", true) : "–").append(" | ")
                    .append(medP90Ms("bridge:getfirst:" + rows)).append(" | ")
                    .append(medP90Ms("bridge:walk:" + rows)).append(" | ")
                    .append(ratio(pct("bridge:getall:" + rows, 50) / raw)).append(" | ")
                    .append(ratio(pct("bridge:walk:" + rows, 50) / raw)).append(" |\n");
            dat.append(String.format(Locale.ROOT, "%d %.3f %.3f %.3f %.3f %.3f%n", rows, raw / 1000,
                    pct("layer:listfree:" + rows, 50) / 1000, pct("bridge:getall:" + rows, 50) / 1000,
                    pct("bridge:walk:" + rows, 50) / 1000, pct("bridge:getfirst:" + rows, 50) / 1000));
        }
        Files.writeString(run.resolve("bridge.dat"), dat);

        md.append("\nPage faults per listing (list + free; median of the minor faults of each call, ")
                .append("getrusage `ru_minflt`, after the warm-up calls):\n\n");
        md.append("| Entries | raw libnsl | client layer |\n|---|---|---|\n");
        for (int rows : ROWS) {
            md.append("| ").append(String.format(Locale.ROOT, "%,d", rows)).append(" | ")
                    .append(count0(pct("raw:faults:" + rows, 50))).append(" | ")
                    .append(count0(pct("layer:faults:" + rows, 50))).append(" |\n");
        }

        md.append("\nTargets:\n\n");
        double layer = pct("layer:listfree:10000", 50) / pct("raw:listfree:10000", 50);
        target("client layer list + free of 10,000 entries within 0.9× raw + free", layer,
                layer <= LAYER_VS_RAW_FREE);
        String rawWhy = rawPairMissing();
        rawTarget("get-all within 1.15× raw at 10,000 entries", 10_000, GETALL_VS_RAW, rawWhy);
        rawTarget("get-all within 1.0× raw at 1,000 entries", 1_000, GETALL_VS_RAW_1000, rawWhy);
        String why = baselineMissing(base);
        baselineTarget("get-all of 100 entries", baseName, "getall:100", why, true);
        baselineTarget("open + close", baseName, "openclose", why, false);
        md.append("\n");
        if (rawWhy == null) rawPairMethod();
        if (why == null) baselineMethod(baseName);

        md.append("Rates (median per call in µs; calls per second from the median):\n\n");
        md.append("| Operation | bridge | one JVM: present / ").append(baseName)
                .append(" | raw libnsl | client layer |\n|---|---|---|---|---|\n");
        rate("open + close (raw: `nis_lookup`)", "bridge:openclose:-", pairCell("openclose", false),
                "raw:lookup:-", "layer:lookup:-");
        rate("add entry", "bridge:add:-", "–", "raw:add:-", "layer:add:-");
        rate("delete entry by key", "bridge:remove:-", "–", "raw:remove:-", "layer:remove:-");
        md.append("\n");
    }

    /** Why RawPair's figures are missing, or null when they are there. */
    private String rawPairMissing() throws IOException {
        Map<String, String> f = nameValues(run.resolve("rawpair.txt"));
        if (f.containsKey("failed")) return f.get("failed");
        for (int rows : new int[] {1_000, 10_000}) {
            if (count("rawpair:raw:" + rows) == 0 || count("rawpair:getall:" + rows) == 0) {
                return "no samples from the one-JVM pairing";
            }
        }
        return null;
    }

    /**
     * A get-all target against raw libnsl: the medians of the one-JVM
     * pairing, or, when it is missing, those of the separate processes with
     * the reason.
     */
    private void rawTarget(String what, int rows, double limit, String why) {
        md.append("- ").append(what).append(": ");
        double all;
        double raw;
        if (why == null) {
            all = pct("rawpair:getall:" + rows, 50);
            raw = pct("rawpair:raw:" + rows, 50);
            md.append(ms(all)).append(" ms against ").append(ms(raw)).append(" ms in the same JVM");
        } else {
            all = pct("bridge:getall:" + rows, 50);
            raw = pct("raw:list:" + rows, 50);
            md.append(ms(all)).append(" ms against ").append(ms(raw))
                    .append(" ms in separate processes (the one-JVM pairing is missing: ").append(why).append(")");
        }
        double r = all / raw;
        md.append(", ").append(ratio(r)).append(", ").append(Double.isNaN(r) ? "not measured" : verdict(r <= limit))
                .append("\n");
    }

    /** How RawPair measured, and each of its JVMs' medians (get-all / raw, ratio). */
    private void rawPairMethod() throws IOException {
        md.append("The two get-all targets against raw libnsl come from one more JVM per round (RawPair), ")
                .append("which calls libnsl's `nis_list` through a small JNI library of the benchmarks, ")
                .append("with the test-only `clntudp_create` preloaded into that JVM alone, and ")
                .append("`nisplusGetAllEntries(h, \"\")` on the same table, alternating blocks of four calls, ")
                .append("the raw side first in even blocks and get-all first in odd ones (")
                .append(count("rawpair:raw:1000")).append(" samples a side at 1,000 entries, ")
                .append(count("rawpair:raw:10000")).append(" at 10,000); the raw call is timed alone and its ")
                .append("result freed after. Each such JVM checks that `nis_list` resolved to libnsl (")
                .append(rawOrigin()).append(") before it measures. The targets compare the medians of ")
                .append("those samples, without tolerance; the table above keeps the separate processes. ")
                .append("Medians of each pairing JVM in the order they ran (get-all / raw libnsl, ms, ratio):\n\n");
        md.append("| Entries | per JVM |\n|---|---|\n");
        for (int rows : new int[] {1_000, 10_000}) {
            md.append("| ").append(String.format(Locale.ROOT, "%,d", rows)).append(" | ")
                    .append(rawPairMedians(rows)).append(" |\n");
        }
        md.append("\n");
    }

    /** The loader's answer of the first RawPair JVM: where nis_list and clntudp_create came from. */
    private String rawOrigin() throws IOException {
        String head = "RESULT rawpair op=origin ";
        for (String line : logLines()) {
            if (line.startsWith(head)) return "`" + line.substring(head.length()) + "`";
        }
        return "?";
    }

    /** "get-all / raw (ratio)" of each RawPair JVM for rows, in the order of bridge.log. */
    private String rawPairMedians(int rows) throws IOException {
        List<String> out = new ArrayList<>();
        String head = "RESULT rawpair op=ratio rows=" + rows + " ";
        for (String line : logLines()) {
            if (!line.startsWith(head)) continue;
            Map<String, Double> f = fields(line.substring(head.length()));
            double all = f.getOrDefault("getall_us", Double.NaN);
            double raw = f.getOrDefault("raw_us", Double.NaN);
            out.add(ms(all) + " / " + ms(raw) + " (" + ratio(all / raw) + ")");
        }
        return out.isEmpty() ? "–" : String.join("; ", out);
    }

    private List<String> logLines() throws IOException {
        Path log = run.resolve("bridge.log");
        return Files.exists(log) ? Files.readAllLines(log) : List.of();
    }

    /** The numeric "name=value" fields of a result line's tail. */
    private static Map<String, Double> fields(String tail) {
        Map<String, Double> f = new LinkedHashMap<>();
        for (String field : tail.split(" ")) {
            int eq = field.indexOf('=');
            if (eq > 0) f.put(field.substring(0, eq), Double.parseDouble(field.substring(eq + 1)));
        }
        return f;
    }

    /** How the baseline was measured, and each pairing JVM's medians of the two targets. */
    private void baselineMethod(String baseName) throws IOException {
        md.append("The baseline is libnamestore built from commit ").append(baseName)
                .append(" with the same build type. In every round, after the full BridgeBench on the present ")
                .append("library, one more JVM (PairBench) loaded both libraries, each through a class loader ")
                .append("of its own, and alternated blocks of ten calls between them, ten get-alls of 100 ")
                .append("entries each followed by an open + close, the present library first in even blocks and ")
                .append("the baseline first in odd ones (")
                .append(count("pair:present:getall:100")).append(" samples of each a side). The targets ")
                .append("compare the medians of those samples. A JVM's NIS+ calls keep one speed for its whole ")
                .append("life, a fast one or one up to 2 to 4 times slower, whichever library it loads, so ")
                .append("the two sides are held against each other only inside one JVM; the same code ")
                .append("against itself came out within 3% there, hence the tolerance of ")
                .append(ratio(PAIR_TOLERANCE)).append(" (see the findings). The medians of each ")
                .append("pairing JVM, in the order they ran (present / baseline, ratio):\n\n");
        md.append("| Operation | per JVM |\n|---|---|\n");
        md.append("| get-all of 100 entries, ms | ").append(pairMedians("getall", true)).append(" |\n");
        md.append("| open + close, µs | ").append(pairMedians("openclose", false)).append(" |\n\n");
        md.append("The present library's other columns (get-all, bridge) come from the full BridgeBench, ")
                .append("a JVM of its own per round, and differ from its figures in the pairing by as much as ")
                .append("one JVM differs from another.\n\n");
    }

    /** "present / baseline" medians from the one-JVM pairing, in ms or µs; key as in baselineTarget. */
    private String pairCell(String key, boolean inMs) {
        double now = pct("pair:present:" + key, 50);
        double then = pct("pair:base:" + key, 50);
        if (Double.isNaN(now) && Double.isNaN(then)) return "–";
        return inMs ? ms(now) + " / " + ms(then) : us(now) + " / " + us(then) + " µs";
    }

    /** Why the baseline's figures are missing, or null when they are there. */
    private String baselineMissing(Map<String, String> base) {
        if (base.containsKey("failed")) return base.get("failed");
        if (base.isEmpty()) return "this run has no baseline";
        for (String key : new String[] {"getall:100", "openclose"}) {
            if (count("pair:present:" + key) == 0 || count("pair:base:" + key) == 0) {
                return "no samples from the one-JVM pairing";
            }
        }
        return null;
    }

    /**
     * A target line: the present library's median against the baseline's,
     * both from the one-JVM pairing; key is "getall:100" or "openclose".
     */
    private void baselineTarget(String what, String baseName, String key, String why, boolean inMs) {
        md.append("- ").append(what).append(" no slower than the baseline (").append(baseName).append("): ");
        if (why != null) {
            md.append("not measured: ").append(why).append("\n");
            return;
        }
        double now = pct("pair:present:" + key, 50);
        double then = pct("pair:base:" + key, 50);
        double r = now / then;
        md.append(inMs ? ms(now) + " ms against " + ms(then) + " ms" : us(now) + " µs against " + us(then) + " µs")
                .append(" in the same JVM (").append(ratio(r)).append(", within ").append(ratio(PAIR_TOLERANCE))
                .append("), ").append(verdict(r <= PAIR_TOLERANCE)).append("\n");
    }

    /**
     * The medians and their ratio that each PairBench JVM printed for op
     * ("getall" or "openclose"), in the order of bridge.log.
     */
    private String pairMedians(String op, boolean inMs) throws IOException {
        Path log = run.resolve("bridge.log");
        List<String> out = new ArrayList<>();
        String head = "RESULT pair op=" + op + " ";
        for (String line : Files.exists(log) ? Files.readAllLines(log) : List.<String>of()) {
            if (!line.startsWith(head)) continue;
            Map<String, Double> f = new LinkedHashMap<>();
            for (String field : line.substring(head.length()).split(" ")) {
                int eq = field.indexOf('=');
                if (eq > 0) f.put(field.substring(0, eq), Double.parseDouble(field.substring(eq + 1)));
            }
            double now = f.getOrDefault("present_us", Double.NaN);
            double then = f.getOrDefault("base_us", Double.NaN);
            out.add((inMs ? ms(now) + " / " + ms(then) : us(now) + " / " + us(then)) + " ("
                    + ratio(now / then) + ")");
        }
        return out.isEmpty() ? "–" : String.join("; ", out);
    }

    private void target(String what, double r, boolean met) {
        md.append("- ").append(what).append(": ").append(ratio(r)).append(", ")
                .append(Double.isNaN(r) ? "not measured" : verdict(met)).append("\n");
    }

    private static String count0(double n) {
        return Double.isNaN(n) ? "–" : String.format(Locale.ROOT, "%,.0f", n);
    }

    private void rate(String what, String bridgeKey, String pairCell, String rawKey, String layerKey) {
        md.append("| ").append(what).append(" | ").append(rateCell(bridgeKey)).append(" | ")
                .append(pairCell).append(" | ").append(rateCell(rawKey)).append(" | ")
                .append(rateCell(layerKey)).append(" |\n");
    }

    private String rateCell(String key) {
        double m = pct(key, 50);
        if (Double.isNaN(m)) return "–";
        return us(m) + " µs (" + String.format(Locale.ROOT, "%,.0f", 1e6 / m) + "/s)";
    }

    private void memory() throws IOException {
        md.append("## 3. Resident size over time\n\n");
        md.append("VmRSS / VmHWM of the JVM from /proc/self/status, sampled while it runs. JVM: ")
                .append("`-Xms16m -Xmx16m -XX:+AlwaysPreTouch -XX:+UseSerialGC` (a fixed, pre-touched ")
                .append("heap, so the Java heap's own growth cannot pass for a native leak). Warm-up: ")
                .append("the first tenth of the cycles. Trend: least-squares slope of VmRSS over the ")
                .append("samples after warm-up.\n\n");
        md.append("| Run | cycles | time | VmRSS after warm-up | VmRSS at end | growth | VmHWM at end | "
                + "trend per 10,000 cycles |\n|---|---|---|---|---|---|---|---|\n");
        Map<String, List<long[]>> series = new LinkedHashMap<>();
        Map<String, Map<String, String>> results = new LinkedHashMap<>();
        Path file = run.resolve("memory.txt");
        for (String line : Files.exists(file) ? Files.readAllLines(file) : List.<String>of()) {
            String[] f = line.trim().split(" ");
            if (f[0].equals("SAMPLE") && f.length == 5) {
                series.computeIfAbsent(f[1], k -> new ArrayList<>()).add(new long[] {
                    Long.parseLong(f[2]), Long.parseLong(f[3]), Long.parseLong(f[4])});
            } else if (f[0].equals("RESULT") && f.length > 2 && f[1].equals("memory")) {
                Map<String, String> kv = new LinkedHashMap<>();
                for (int i = 2; i < f.length; i++) {
                    int eq = f[i].indexOf('=');
                    if (eq > 0) kv.put(f[i].substring(0, eq), f[i].substring(eq + 1));
                }
                results.put(kv.get("kind"), kv);
            }
        }
        for (var e : results.entrySet()) {
            Map<String, String> kv = e.getValue();
            List<long[]> s = series.getOrDefault(e.getKey(), List.of());
            long warm = Long.parseLong(kv.get("warm_cycle"));
            double slope = slope(s, warm);
            String label = e.getKey().equals("nisplus") ? "open / get-all (100 × 8) / close"
                    : "launchapp /bin/true";
            md.append("| ").append(label).append(" | ").append(String.format(Locale.ROOT, "%,d",
                    Long.parseLong(kv.get("cycles")))).append(" | ").append(kv.get("seconds")).append(" s | ")
                    .append(kib(kv.get("rss_warm_kib"))).append(" | ").append(kib(kv.get("rss_end_kib")))
                    .append(" | ").append(signedKib(Long.parseLong(kv.get("growth_kib")))).append(" | ")
                    .append(kib(kv.get("hwm_end_kib"))).append(" | ")
                    .append(signedKib(Math.round(slope * 10_000))).append(" |\n");
            StringBuilder dat = new StringBuilder("# cycle rss_mib hwm_mib\n");
            for (long[] p : s) {
                dat.append(String.format(Locale.ROOT, "%d %.3f %.3f%n", p[0], p[1] / 1024.0, p[2] / 1024.0));
            }
            Files.writeString(run.resolve("memory-" + e.getKey() + ".dat"), dat);
        }
        md.append("\n");
    }

    /** KiB per cycle of VmRSS over the samples from the warm-up cycle on. */
    private static double slope(List<long[]> s, long fromCycle) {
        double n = 0;
        double sx = 0;
        double sy = 0;
        double sxx = 0;
        double sxy = 0;
        for (long[] p : s) {
            if (p[0] < fromCycle) continue;
            n++;
            sx += p[0];
            sy += p[1];
            sxx += (double) p[0] * p[0];
            sxy += (double) p[0] * p[1];
        }
        double d = n * sxx - sx * sx;
        return n < 2 || d == 0 ? 0 : (n * sxy - sx * sy) / d;
    }

    private static String kib(String v) {
        return String.format(Locale.ROOT, "%.1f MiB", Long.parseLong(v) / 1024.0);
    }

    private static String signedKib(long v) {
        return String.format(Locale.ROOT, "%+,d KiB", v);
    }
}
