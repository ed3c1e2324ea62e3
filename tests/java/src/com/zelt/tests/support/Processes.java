package com.zelt.tests.support;

import java.io.IOException;
import java.io.InputStream;
import java.io.UncheckedIOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Comparator;
import java.util.List;
import java.util.Map;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.TimeUnit;
import java.util.stream.Stream;

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

    public static Result run(List<String> command, Map<String, String> extraEnv) {
        return run(command, extraEnv, null);
    }

    /**
     * Runs a command to completion (at most five minutes) in workDir (null:
     * this JVM's) and captures its output. Both streams are read at once, so
     * a command that fills its error pipe before closing its output cannot
     * stall.
     */
    public static Result run(List<String> command, Map<String, String> extraEnv, Path workDir) {
        ProcessBuilder pb = new ProcessBuilder(command);
        pb.environment().putAll(extraEnv);
        if (workDir != null) pb.directory(workDir.toFile());
        try {
            Process p = pb.start();
            p.getOutputStream().close();
            CompletableFuture<byte[]> err = CompletableFuture.supplyAsync(() -> readAll(p.getErrorStream()));
            var out = p.getInputStream().readAllBytes();
            if (!p.waitFor(300, TimeUnit.SECONDS)) {
                p.destroyForcibly();
                throw new AssertionError("command timed out: " + command);
            }
            return new Result(p.exitValue(), new String(out, StandardCharsets.UTF_8),
                    new String(err.get(), StandardCharsets.UTF_8));
        } catch (IOException | ExecutionException e) {
            throw new AssertionError("cannot run " + command, e);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw new AssertionError("interrupted running " + command, e);
        }
    }

    private static byte[] readAll(InputStream in) {
        try {
            return in.readAllBytes();
        } catch (IOException e) {
            throw new UncheckedIOException(e);
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

    /**
     * The command line of a child JVM as childJvm gives it, but for a JVM
     * that runs as another user: class path and native directory come from
     * otherUsersBuild(), since that user may not be able to enter the
     * checkout. Run it with otherUsersBuild() as working directory.
     */
    public static List<String> childJvmAsAnotherUser(List<String> jvmOptions, String mainClass,
            String... args) {
        Path copy = otherUsersBuild();
        List<String> cmd = new ArrayList<>();
        cmd.add(Paths.get(System.getProperty("java.home"), "bin", "java").toString());
        cmd.add("-Xcheck:jni");
        cmd.add("-Dzelt.native.dir=" + copy.resolve("lib"));
        cmd.addAll(jvmOptions);
        cmd.add("-cp");
        cmd.add(copy.resolve("java/classes") + ":" + copy.resolve("java/test-classes"));
        cmd.add(mainClass);
        cmd.addAll(Arrays.asList(args));
        return cmd;
    }

    private static Path otherUsersBuild;

    /**
     * A copy of what processes running as other users take from this build
     * (the libraries, the Java classes, the launch probe) in a scratch
     * folder any user can enter and read, laid out as the build is: the
     * checkout may sit where only root can go (a mode-700 home or temporary
     * folder). Made once per JVM and removed when it exits.
     */
    public static synchronized Path otherUsersBuild() {
        if (otherUsersBuild != null) return otherUsersBuild;
        try {
            Path copy = Files.createTempDirectory("zelt-build-");
            Runtime.getRuntime().addShutdownHook(new Thread(() -> removeTree(copy)));
            copyOpen(nativeDir(), copy.resolve("lib"));
            copyOpen(buildDir().resolve("java/classes"), copy.resolve("java/classes"));
            copyOpen(buildDir().resolve("java/test-classes"), copy.resolve("java/test-classes"));
            Files.createDirectories(copy.resolve("bin"));
            copyOpen(buildDir().resolve("bin/launch_probe"), copy.resolve("bin/launch_probe"));
            openUp(copy.resolve("bin"));
            openUp(copy);
            openUp(copy.resolve("java"));
            otherUsersBuild = copy;
            return copy;
        } catch (IOException e) {
            throw new UncheckedIOException("cannot copy the build for other users", e);
        }
    }

    /** Copies a tree: folders and executables rwxr-xr-x, other files rw-r--r--. */
    private static void copyOpen(Path from, Path to) throws IOException {
        try (Stream<Path> all = Files.walk(from)) {
            for (Path p : all.toList()) {
                Path target = to.resolve(from.relativize(p).toString());
                if (Files.isDirectory(p)) {
                    Files.createDirectories(target);
                    openUp(target);
                } else {
                    Files.copy(p, target, StandardCopyOption.REPLACE_EXISTING);
                    Files.setPosixFilePermissions(target, PosixFilePermissions.fromString(
                            Files.isExecutable(p) ? "rwxr-xr-x" : "rw-r--r--"));
                }
            }
        }
    }

    private static void openUp(Path dir) throws IOException {
        Files.setPosixFilePermissions(dir, PosixFilePermissions.fromString("rwxr-xr-x"));
    }

    private static void removeTree(Path root) {
        try (Stream<Path> all = Files.walk(root)) {
            for (Path p : all.sorted(Comparator.reverseOrder()).toList()) Files.deleteIfExists(p);
        } catch (IOException ignored) {
            // a scratch folder under the temporary directory: left for its cleaner
        }
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
