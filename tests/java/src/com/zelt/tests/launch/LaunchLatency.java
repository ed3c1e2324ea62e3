package com.zelt.tests.launch;

import com.zelt.management.tolvaimpl.services.launch.CmdLauncher;
import com.zelt.management.tolvaimpl.services.launch.GuiLauncher;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.function.ToIntFunction;

/**
 * Launch latency under different descriptor limits, measured by hand rather
 * than as a test. Two times per launch:
 * <ul>
 * <li>call: how long launchapp blocks its caller (both forks and the reaping
 *     of the first child);
 * <li>start: how long until the program runs (the call, then the
 *     grandchild's set-up, closing of descriptors and exec); the program is
 *     launch_probe, which reports the monotonic clock on entering main.
 * </ul>
 * The JVM switches its own soft descriptor limit (prlimit on itself) between
 * rounds, so the limits are measured interleaved and a busy machine weighs
 * on all of them alike.
 *
 * <pre>
 *   java -Dzelt.native.dir=BUILD/lib -Dzelt.build.dir=BUILD \
 *       -cp BUILD/java/classes:BUILD/java/test-classes \
 *       com.zelt.tests.launch.LaunchLatency ROUNDS LIMIT...
 * </pre>
 */
public final class LaunchLatency {
    private LaunchLatency() {}

    private static final int PER_ROUND = 10;

    public static void main(String[] args) throws Exception {
        int rounds = args.length > 0 ? Integer.parseInt(args[0]) : 20;
        List<Integer> limits = new ArrayList<>();
        for (int i = 1; i < args.length; i++) limits.add(Integer.parseInt(args[i]));
        if (limits.isEmpty()) limits = List.of(1024, 20000);

        CmdLauncher cmd = new CmdLauncher();
        GuiLauncher gui = new GuiLauncher();
        Path probe = Path.of(System.getProperty("zelt.build.dir"), "bin", "launch_probe");
        Path dir = Files.createTempDirectory("launch-latency");
        long pid = ProcessHandle.current().pid();

        Map<String, List<Long>> samples = new LinkedHashMap<>();
        int n = 0;
        for (int round = -1; round < rounds; round++) { // round -1 warms up
            for (int limit : limits) {
                Process p = new ProcessBuilder("prlimit", "--pid", Long.toString(pid),
                        "--nofile=" + limit + ":").inheritIO().start();
                if (p.waitFor() != 0) throw new IllegalStateException("prlimit failed");
                for (int i = 0; i < PER_ROUND; i++, n++) {
                    Path c = dir.resolve("c" + n);
                    Path g = dir.resolve("g" + n);
                    long[] tc = timed(c, t -> cmd.launchapp(1, 0, 0, 0, 0,
                            new String[] {probe.toString()}, new String[] {"LAUNCH_PROBE_OUT=" + t}));
                    long[] tg = timed(g, t -> gui.launchapp(1, 0, 0, 0, 0, probe.toString(),
                            new String[] {"LAUNCH_PROBE_OUT=" + t}, null));
                    Files.delete(c);
                    Files.delete(g);
                    if (round < 0) continue;
                    samples.computeIfAbsent("CmdLauncher call  @" + limit, k -> new ArrayList<>()).add(tc[0]);
                    samples.computeIfAbsent("CmdLauncher start @" + limit, k -> new ArrayList<>()).add(tc[1]);
                    samples.computeIfAbsent("GuiLauncher call  @" + limit, k -> new ArrayList<>()).add(tg[0]);
                    samples.computeIfAbsent("GuiLauncher start @" + limit, k -> new ArrayList<>()).add(tg[1]);
                }
            }
        }
        Files.delete(dir);
        samples.entrySet().stream().sorted(Map.Entry.comparingByKey())
                .forEach(e -> report(e.getKey(), e.getValue()));
    }

    /** Launches (the probe writing to target): {call time, time until it ran}. */
    private static long[] timed(Path target, ToIntFunction<Path> launch) throws Exception {
        long t0 = System.nanoTime();
        if (launch.applyAsInt(target) != 0) throw new IllegalStateException("launch failed");
        long t1 = System.nanoTime();
        while (!Files.exists(target)) Thread.sleep(1);
        String started = Files.readAllLines(target).stream().filter(l -> l.startsWith("started "))
                .findFirst().orElseThrow();
        return new long[] {t1 - t0, Long.parseLong(started.substring(8)) - t0};
    }

    private static void report(String what, List<Long> nanos) {
        long[] s = nanos.stream().mapToLong(Long::longValue).sorted().toArray();
        System.out.printf("%-26s %4d launches: median %6.0f us, mean %6.0f us, p10 %6.0f us, p90 %6.0f us%n",
                what, s.length, s[s.length / 2] / 1000.0, Arrays.stream(s).average().orElse(0) / 1000.0,
                s[s.length / 10] / 1000.0, s[s.length * 9 / 10] / 1000.0);
    }
}
