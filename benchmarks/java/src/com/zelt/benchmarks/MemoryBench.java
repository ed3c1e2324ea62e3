package com.zelt.benchmarks;

import com.zelt.management.tolvaimpl.services.directorytable.DirectoryTableLibrary;
import com.zelt.management.tolvaimpl.services.launch.CmdLauncher;
import java.util.Locale;

/**
 * Resident size of this JVM over many calls, to show that nothing piles up.
 * Run it with a fixed, pre-touched heap (-Xms = -Xmx, -XX:+AlwaysPreTouch)
 * so that the Java heap's own growth does not pass for a native leak.
 *
 * <pre>
 *   MemoryBench nisplus TABLE CYCLES SAMPLES   open, get-all "", close per cycle
 *   MemoryBench launch CYCLES SAMPLES          launchapp /bin/true per cycle
 * </pre>
 *
 * Prints "SAMPLE KIND CYCLE VmRSS VmHWM" lines (KiB) and "DONE KIND CYCLES SECONDS".
 */
public final class MemoryBench {
    private MemoryBench() {}

    public static void main(String[] args) {
        String kind = args[0];
        Runnable cycle;
        int a = 1;
        if (kind.equals("nisplus")) {
            DirectoryTableLibrary lib = new DirectoryTableLibrary();
            String table = args[a++];
            cycle = () -> {
                int h = lib.nisplusOpenTable(table, BridgeBench.TYPE);
                Samples.check(h >= 0, "open gave " + h);
                String[] all = lib.nisplusGetAllEntries(h, "");
                Samples.check(all != null && all.length > 0, "get-all gave nothing");
                lib.nisplusCloseTable(h);
            };
        } else {
            CmdLauncher cmd = new CmdLauncher();
            String[] argv = {"/bin/true"};
            cycle = () -> Samples.check(cmd.launchapp(1, -1, -1, -1, -1, argv, null) == 0, "launchapp failed");
        }
        int cycles = Integer.parseInt(args[a]);
        int every = Math.max(1, cycles / Integer.parseInt(args[a + 1]));
        long start = System.nanoTime();
        sample(kind, 0);
        for (int i = 1; i <= cycles; i++) {
            cycle.run();
            if (i % every == 0 || i == cycles) sample(kind, i);
        }
        System.out.printf(Locale.ROOT, "DONE %s %d %.1f%n", kind, cycles, (System.nanoTime() - start) / 1e9);
    }

    private static void sample(String kind, int cycle) {
        System.out.println("SAMPLE " + kind + " " + cycle + " " + Samples.statusKib("VmRSS") + " "
                + Samples.statusKib("VmHWM"));
    }
}
