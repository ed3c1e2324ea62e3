package com.zelt.benchmarks;

import com.zelt.management.tolvaimpl.services.launch.CmdLauncher;
import java.io.File;
import java.io.IOException;

/**
 * Launch latency of /bin/true from this JVM, three ways, interleaved so that
 * a busy moment of the machine weighs on all of them alike:
 * <ul>
 * <li>launchapp: CmdLauncher.launchapp keeping the caller's identities; the
 *     time the caller is blocked (until the program's exec, and the reaping
 *     of the intermediate child);
 * <li>launchapp-nobody: the same, switching to user and group 65534, which
 *     adds the user and group database look-ups made before the children
 *     are created;
 * <li>processbuilder: ProcessBuilder.start() with inherited standard
 *     streams; start() returns once the program has been executed. The
 *     process is waited for outside the timed part.
 * </ul>
 * The descriptor limit and heap size are whatever the JVM was started with.
 *
 * With a fourth argument, a list of descriptor limits such as 1024,20000,
 * only launchapp is timed instead, ITERATIONS times per limit, with this
 * JVM's soft limit switched (prlimit on itself) every ten launches: the
 * limits are then compared in one JVM at the same moments, which a busy
 * machine cannot tilt.
 *
 * <pre>
 *   java -Dzelt.native.dir=BUILD/lib -cp BUILD/java/classes:BUILD/benchmarks/classes \
 *       com.zelt.benchmarks.LaunchBench LABEL ITERATIONS WARMUP [LIMIT,LIMIT...]
 * </pre>
 */
public final class LaunchBench {
    private LaunchBench() {}

    private static final String PROGRAM = "/bin/true";

    public static void main(String[] args) throws Exception {
        String label = args.length > 0 ? args[0] : "default";
        int iterations = args.length > 1 ? Integer.parseInt(args[1]) : 500;
        int warmup = args.length > 2 ? Integer.parseInt(args[2]) : 50;

        CmdLauncher cmd = new CmdLauncher();
        String[] argv = {PROGRAM};
        if (args.length > 3) {
            paired(cmd, argv, label, iterations, warmup, args[3].split(","));
            return;
        }
        ProcessBuilder pb = new ProcessBuilder(PROGRAM).inheritIO();
        Samples launch = new Samples(iterations);
        Samples nobody = new Samples(iterations);
        Samples builder = new Samples(iterations);

        for (int i = -warmup; i < iterations; i++) {
            // Rotate the order so none of the three always runs right after
            // another one's children.
            for (int k = 0; k < 3; k++) {
                switch ((i + k) % 3 < 0 ? (i + k) % 3 + 3 : (i + k) % 3) {
                    case 0 -> {
                        long t0 = System.nanoTime();
                        int rc = cmd.launchapp(1, -1, -1, -1, -1, argv, null);
                        long t1 = System.nanoTime();
                        Samples.check(rc == 0, "launchapp returned " + rc);
                        if (i >= 0) launch.add(t1 - t0);
                    }
                    case 1 -> {
                        long t0 = System.nanoTime();
                        int rc = cmd.launchapp(1, 65534, 65534, 65534, 65534, argv, null);
                        long t1 = System.nanoTime();
                        Samples.check(rc == 0, "launchapp as nobody returned " + rc);
                        if (i >= 0) nobody.add(t1 - t0);
                    }
                    default -> {
                        long t0 = System.nanoTime();
                        Process p = start(pb);
                        long t1 = System.nanoTime();
                        Samples.check(p.waitFor() == 0, "/bin/true failed");
                        if (i >= 0) builder.add(t1 - t0);
                    }
                }
            }
        }

        String common = "config=" + label + " nofile=" + openFileLimit() + " rss_kib="
                + Samples.statusKib("VmRSS") + " hwm_kib=" + Samples.statusKib("VmHWM");
        Samples.result("launch", "method=launchapp " + common + " " + launch.summary());
        Samples.result("launch", "method=launchapp-nobody " + common + " " + nobody.summary());
        Samples.result("launch", "method=processbuilder " + common + " " + builder.summary());
        String suffix = ":" + label + ":" + openFileLimit();
        launch.save("launch:launchapp" + suffix);
        nobody.save("launch:launchapp-nobody" + suffix);
        builder.save("launch:processbuilder" + suffix);
    }

    /** launchapp under each limit in turn, ten launches at a time. */
    private static void paired(CmdLauncher cmd, String[] argv, String label, int iterations, int warmup,
            String[] limits) throws Exception {
        final int block = 10;
        Samples[] s = new Samples[limits.length];
        for (int k = 0; k < limits.length; k++) s[k] = new Samples(iterations);
        long pid = ProcessHandle.current().pid();
        for (int done = -warmup; done < iterations; done += block) {
            for (int k = 0; k < limits.length; k++) {
                Process p = new ProcessBuilder("prlimit", "--pid", Long.toString(pid),
                        "--nofile=" + limits[k] + ":").inheritIO().start();
                Samples.check(p.waitFor() == 0, "prlimit failed");
                Samples.check(openFileLimit().equals(limits[k]), "limit not in force: " + openFileLimit());
                for (int i = 0; i < block; i++) {
                    long t0 = System.nanoTime();
                    int rc = cmd.launchapp(1, -1, -1, -1, -1, argv, null);
                    long t1 = System.nanoTime();
                    Samples.check(rc == 0, "launchapp returned " + rc);
                    if (done + i >= 0 && done + i < iterations) s[k].add(t1 - t0);
                }
            }
        }
        for (int k = 0; k < limits.length; k++) {
            Samples.result("launch", "method=launchapp-paired config=" + label + " nofile=" + limits[k] + " "
                    + s[k].summary());
            s[k].save("paired:" + label + ":" + limits[k]);
        }
    }

    private static Process start(ProcessBuilder pb) {
        try {
            return pb.start();
        } catch (IOException e) {
            throw new IllegalStateException("cannot start " + PROGRAM, e);
        }
    }

    /** The soft descriptor limit this JVM runs under, as /proc reports it. */
    static String openFileLimit() {
        try {
            for (String line : java.nio.file.Files.readAllLines(new File("/proc/self/limits").toPath())) {
                if (line.startsWith("Max open files")) return line.substring(26).trim().split("\\s+")[0];
            }
        } catch (IOException e) {
            return "?";
        }
        return "?";
    }
}
