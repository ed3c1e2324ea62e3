package com.zelt.benchmarks;

import com.zelt.management.tolvaimpl.services.launch.CmdLauncher;
import java.io.IOException;

/**
 * Launch latency of /bin/true from this JVM, five ways interleaved, so that
 * a busy moment of the machine weighs on all of them alike: launchapp
 * keeping the caller's identities (the time the caller is blocked: until the
 * program's exec and the reaping of the intermediate process), launchapp as
 * user and group 65534, ProcessBuilder.start() (the process is waited for
 * outside the timed part), and the C floors vfork + execv + waitpid and
 * launchapp's shape of two vforks.
 *
 * Every ten rounds of the five this JVM's soft descriptor limit switches
 * between 1024 and 20000, so both limits see the same moments too. Start the
 * JVM with a hard limit of at least 20000 and -XX:-MaxFDLimit.
 *
 * <pre>
 *   java -Dzelt.native.dir=BUILD/lib -Dzelt.bench.dir=BUILD/benchmarks \
 *       -cp BUILD/java/classes:BUILD/benchmarks/classes com.zelt.benchmarks.LaunchBench SIZE ITERATIONS
 * </pre>
 * Samples: launch:METHOD:SIZE:LIMIT, ITERATIONS a cell, and rss:SIZE.
 */
public final class LaunchBench {
    private LaunchBench() {}

    private static final String[] METHODS = {"launchapp", "nobody", "processbuilder", "vfork", "vfork2"};
    private static final long[] LIMITS = {1024, 20000};
    private static final int BLOCK = 10;

    public static void main(String[] args) throws Exception {
        String size = args[0];
        int iterations = Integer.parseInt(args[1]);
        CmdLauncher cmd = new CmdLauncher();
        String[] argv = {"/bin/true"};
        ProcessBuilder pb = new ProcessBuilder(argv).inheritIO();
        Process[] started = new Process[1];
        Runnable[] calls = {
            () -> Samples.check(cmd.launchapp(1, -1, -1, -1, -1, argv, null) == 0, "launchapp failed"),
            () -> Samples.check(cmd.launchapp(1, 65534, 65534, 65534, 65534, argv, null) == 0,
                    "launchapp as nobody failed"),
            () -> started[0] = start(pb),
            () -> Samples.check(Floors.spawn(false) == 0, "vfork floor failed"),
            () -> Samples.check(Floors.spawn(true) == 0, "two-vfork floor failed"),
        };
        Samples[][] s = new Samples[LIMITS.length][METHODS.length];
        for (Samples[] row : s) for (int m = 0; m < METHODS.length; m++) row[m] = new Samples();

        int warmup = 2 * BLOCK;
        for (int done = -warmup; done < iterations; done += BLOCK) {
            for (int k = 0; k < LIMITS.length; k++) {
                // Alternate which limit comes first, so a drifting load tilts neither.
                int l = ((done / BLOCK) & 1) == 0 ? k : LIMITS.length - 1 - k;
                Samples.check(Floors.setNofile(LIMITS[l]), "cannot set the descriptor limit to " + LIMITS[l]);
                for (int i = 0; i < BLOCK && done + i < iterations; i++) {
                    // Rotate the order, so none always runs right after another's children.
                    for (int j = 0; j < METHODS.length; j++) {
                        int m = (i + j) % METHODS.length;
                        s[l][m].time(done >= 0, calls[m]);
                        if (m == 2) Samples.check(started[0].waitFor() == 0, "/bin/true failed");
                    }
                }
            }
        }
        for (int l = 0; l < LIMITS.length; l++) {
            for (int m = 0; m < METHODS.length; m++) {
                s[l][m].save("launch:" + METHODS[m] + ":" + size + ":" + LIMITS[l]);
            }
        }
        Samples.saveValue("rss:" + size, Samples.statusKib("VmRSS"));
    }

    private static Process start(ProcessBuilder pb) {
        try {
            return pb.start();
        } catch (IOException e) {
            throw new IllegalStateException("cannot start /bin/true", e);
        }
    }
}
