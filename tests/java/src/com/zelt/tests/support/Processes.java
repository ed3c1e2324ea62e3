package com.zelt.tests.support;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;

/** Runs helper commands and child JVMs for the tests. */
public final class Processes {
    private Processes() {}

    /** What a finished command left behind. */
    public record Result(int exitCode, String stdout, String stderr) {}

    public static Path buildDir() {
        return Paths.get(System.getProperty("zelt.build.dir"));
    }

    public static Path sourceDir() {
        return Paths.get(System.getProperty("zelt.source.dir"));
    }

    public static Path nativeDir() {
        return Paths.get(System.getProperty("zelt.native.dir"));
    }

    public static Result run(List<String> command) {
        return run(command, Map.of());
    }

    /** Runs a command to completion (at most two minutes) and captures its output. */
    public static Result run(List<String> command, Map<String, String> extraEnv) {
        ProcessBuilder pb = new ProcessBuilder(command);
        pb.environment().putAll(extraEnv);
        try {
            Process p = pb.start();
            p.getOutputStream().close();
            var out = p.getInputStream().readAllBytes();
            var err = p.getErrorStream().readAllBytes();
            if (!p.waitFor(120, TimeUnit.SECONDS)) {
                p.destroyForcibly();
                throw new AssertionError("command timed out: " + command);
            }
            return new Result(p.exitValue(), new String(out, StandardCharsets.UTF_8),
                    new String(err, StandardCharsets.UTF_8));
        } catch (IOException e) {
            throw new AssertionError("cannot run " + command, e);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw new AssertionError("interrupted running " + command, e);
        }
    }

    public static Result run(String... command) {
        return run(Arrays.asList(command));
    }

    /**
     * The command line of a child JVM with the same class path and native
     * directory as this one, under -Xcheck:jni, running mainClass with args.
     */
    public static List<String> childJvm(List<String> jvmOptions, String mainClass, String... args) {
        List<String> cmd = new ArrayList<>();
        cmd.add(Paths.get(System.getProperty("java.home"), "bin", "java").toString());
        cmd.add("-Xcheck:jni");
        cmd.add("-Dzelt.native.dir=" + System.getProperty("zelt.native.dir"));
        cmd.add("-Dzelt.build.dir=" + System.getProperty("zelt.build.dir"));
        cmd.add("-Dzelt.source.dir=" + System.getProperty("zelt.source.dir"));
        cmd.addAll(jvmOptions);
        // Under the JUnit console launcher java.class.path is only its jar: name
        // the caller-side and test classes of this build as well.
        Path classes = buildDir().resolve("java");
        cmd.add("-cp");
        cmd.add(classes.resolve("classes") + ":" + classes.resolve("test-classes") + ":"
                + System.getProperty("java.class.path"));
        cmd.add(mainClass);
        cmd.addAll(Arrays.asList(args));
        return cmd;
    }

    /** Fails when a child JVM's output carries a JNI warning. */
    public static void assertNoJniWarnings(Result r) {
        String all = r.stdout() + r.stderr();
        if (all.contains("WARNING in native method") || all.contains("FATAL ERROR in native method")
                || all.contains("WARNING: JNI")) {
            throw new AssertionError("child JVM reported JNI problems:\n" + all);
        }
    }
}
