package com.zelt.benchmarks;

import com.zelt.management.tolvaimpl.services.directorytable.DirectoryTableLibrary;
import com.zelt.management.tolvaimpl.services.launch.CmdLauncher;
import java.util.Locale;

/**
 * Resident size of this JVM over many bridge calls, to show that nothing
 * piles up: VmRSS and VmHWM from /proc/self/status, sampled every so many
 * cycles. Run it with a fixed, pre-touched heap (-Xms = -Xmx,
 * -XX:+AlwaysPreTouch) so that the Java heap's own growth does not pass for
 * a native leak.
 *
 * <pre>
 *   MemoryBench nisplus TABLE CYCLES SAMPLES   open, get-all "", close per cycle
 *   MemoryBench launch CYCLES SAMPLES          launchapp /bin/true per cycle
 * </pre>
 *
 * Prints "SAMPLE kind cycle rss_kib hwm_kib" lines, then one RESULT line with
 * the resident size after the first tenth of the cycles (warm-up) and at the
 * end.
 */
public final class MemoryBench {
    private MemoryBench() {}

    public static void main(String[] args) {
        String kind = args.length > 0 ? args[0] : "";
        Runnable cycle;
        int argBase;
        switch (kind) {
            case "nisplus" -> {
                DirectoryTableLibrary lib = new DirectoryTableLibrary();
                String table = args[1];
                cycle = () -> {
                    int h = lib.nisplusOpenTable(table, BridgeBench.TYPE);
                    Samples.check(h >= 0, "open gave " + h);
                    String[] all = lib.nisplusGetAllEntries(h, "");
                    Samples.check(all != null && all.length > 0, "get-all gave nothing");
                    lib.nisplusCloseTable(h);
                };
                argBase = 2;
            }
            case "launch" -> {
                CmdLauncher cmd = new CmdLauncher();
                String[] argv = {"/bin/true"};
                cycle = () -> Samples.check(cmd.launchapp(1, -1, -1, -1, -1, argv, null) == 0,
                        "launchapp failed");
                argBase = 1;
            }
            default -> {
                System.err.println("usage: MemoryBench nisplus TABLE CYCLES SAMPLES | launch CYCLES SAMPLES");
                System.exit(2);
                return;
            }
        }
        int cycles = Integer.parseInt(args[argBase]);
        int samples = Integer.parseInt(args[argBase + 1]);
        int every = Math.max(1, cycles / samples);
        int warm = cycles / 10;

        long warmRss = -1;
        long start = System.nanoTime();
        sample(kind, 0);
        for (int i = 1; i <= cycles; i++) {
            cycle.run();
            if (i % every == 0 || i == cycles) {
                long rss = sample(kind, i);
                if (warmRss < 0 && i >= warm) warmRss = rss;
            }
        }
        double seconds = (System.nanoTime() - start) / 1e9;
        long endRss = Samples.statusKib("VmRSS");
        Samples.result("memory", String.format(Locale.ROOT,
                "kind=%s cycles=%d warm_cycle=%d rss_warm_kib=%d rss_end_kib=%d hwm_end_kib=%d "
                        + "growth_kib=%d seconds=%.1f",
                kind, cycles, warm, warmRss, endRss, Samples.statusKib("VmHWM"), endRss - warmRss,
                seconds));
    }

    private static long sample(String kind, int cycle) {
        long rss = Samples.statusKib("VmRSS");
        System.out.println("SAMPLE " + kind + " " + cycle + " " + rss + " " + Samples.statusKib("VmHWM"));
        return rss;
    }
}
