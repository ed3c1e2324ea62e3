package com.zelt.tests.launch;

import com.zelt.management.tolvaimpl.services.launch.CmdLauncher;
import com.zelt.management.tolvaimpl.services.launch.GuiLauncher;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;

/**
 * Launch latency, measured by hand rather than as a test: how long
 * launchapp blocks its caller (both forks and the reaping of the first
 * child), at whatever descriptor limit the JVM was started with. Compare
 * runs under different limits, e.g.
 *
 * <pre>
 *   bash -c 'ulimit -n 1024; exec java -Dzelt.native.dir=BUILD/lib \
 *       -cp BUILD/java/classes:BUILD/java/test-classes com.zelt.tests.launch.LaunchLatency 500'
 * </pre>
 *
 * Each launch starts /bin/true; the program's own run is not part of the
 * time, since the call does not wait for it.
 */
public final class LaunchLatency {
    private LaunchLatency() {}

    public static void main(String[] args) throws Exception {
        int count = args.length > 0 ? Integer.parseInt(args[0]) : 300;
        String limit = Files.readAllLines(Path.of("/proc/self/limits")).stream()
                .filter(l -> l.startsWith("Max open files")).findFirst().orElse("?");
        CmdLauncher cmd = new CmdLauncher();
        GuiLauncher gui = new GuiLauncher();
        String[] argv = {"/bin/true"};
        for (int i = 0; i < 50; i++) cmd.launchapp(1, 0, 0, 0, 0, argv, null);

        long[] cmdNanos = new long[count];
        long[] guiNanos = new long[count];
        for (int i = 0; i < count; i++) {
            long t0 = System.nanoTime();
            if (cmd.launchapp(1, 0, 0, 0, 0, argv, null) != 0) throw new IllegalStateException("cmd launch failed");
            long t1 = System.nanoTime();
            if (gui.launchapp(1, 0, 0, 0, 0, "/bin/true", null, null) != 0) {
                throw new IllegalStateException("gui launch failed");
            }
            long t2 = System.nanoTime();
            cmdNanos[i] = t1 - t0;
            guiNanos[i] = t2 - t1;
            // Let the grandchildren finish so they do not pile up.
            if (i % 50 == 49) Thread.sleep(50);
        }
        System.out.println(limit.replaceAll("\\s+", " "));
        report("CmdLauncher", cmdNanos);
        report("GuiLauncher", guiNanos);
    }

    private static void report(String what, long[] nanos) {
        long[] s = nanos.clone();
        Arrays.sort(s);
        double mean = Arrays.stream(s).average().orElse(0) / 1000.0;
        System.out.printf("%s: %d launches, median %.0f us, mean %.0f us, p90 %.0f us%n", what, s.length,
                s[s.length / 2] / 1000.0, mean, s[s.length * 9 / 10] / 1000.0);
    }
}
