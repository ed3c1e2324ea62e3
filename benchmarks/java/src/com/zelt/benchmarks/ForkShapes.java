package com.zelt.benchmarks;

import com.zelt.management.tolvaimpl.services.launch.CmdLauncher;
import java.io.File;

/**
 * launchapp next to the bare detached shape made from the same JVM, both
 * children vforked (launchapp's shape without its work) or both forked
 * (the shape launchapp had before it created its children in the JVM's
 * memory), interleaved. See benchmarks/native/fork_shapes_jni.cpp.
 *
 * <pre>
 *   java -Dzelt.native.dir=BUILD/lib -Dzelt.bench.dir=BUILD/benchmarks \
 *       -cp BUILD/java/classes:BUILD/benchmarks/classes com.zelt.benchmarks.ForkShapes LABEL N WARMUP
 * </pre>
 */
public final class ForkShapes {
    private ForkShapes() {}

    static {
        System.load(new File(System.getProperty("zelt.bench.dir", "."), "libbench_fork_shapes.so")
                .getAbsolutePath());
    }

    static native int launch(String path, boolean useVfork);

    public static void main(String[] args) {
        String label = args[0];
        int iterations = Integer.parseInt(args[1]);
        int warmup = Integer.parseInt(args[2]);
        CmdLauncher cmd = new CmdLauncher();
        String[] argv = {"/bin/true"};
        Samples launcher = new Samples(iterations);
        Samples vforkVfork = new Samples(iterations);
        Samples forkFork = new Samples(iterations);
        for (int i = -warmup; i < iterations; i++) {
            for (int k = 0; k < 3; k++) {
                int which = Math.floorMod(i + k, 3);
                long t0 = System.nanoTime();
                int rc = which == 0 ? cmd.launchapp(1, -1, -1, -1, -1, argv, null)
                        : launch("/bin/true", which == 1);
                long t1 = System.nanoTime();
                Samples.check(rc == 0, "launch shape " + which + " returned " + rc);
                if (i < 0) continue;
                (which == 0 ? launcher : which == 1 ? vforkVfork : forkFork).add(t1 - t0);
            }
        }
        String rss = " rss_kib=" + Samples.statusKib("VmRSS") + " ";
        Samples.result("shape", "method=launchapp config=" + label + rss + launcher.summary());
        Samples.result("shape", "method=vfork-vfork config=" + label + rss + vforkVfork.summary());
        Samples.result("shape", "method=fork-fork config=" + label + rss + forkFork.summary());
        launcher.save("shape:launchapp:" + label);
        vforkVfork.save("shape:vforkvfork:" + label);
        forkFork.save("shape:forkfork:" + label);
    }
}
