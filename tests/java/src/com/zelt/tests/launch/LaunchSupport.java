package com.zelt.tests.launch;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import com.zelt.tests.support.Processes;
import java.io.IOException;
import java.io.UncheckedIOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.HexFormat;
import java.util.List;
import java.util.Map;
import java.util.TreeMap;

/** The probe, the reaper and child JVMs, as the launcher tests use them. */
final class LaunchSupport {
    private LaunchSupport() {}

    /** The probe, from where every user can run it (the launches switch users). */
    static Path probe() {
        return Processes.otherUsersBuild().resolve("bin/launch_probe");
    }

    static Path reaper() {
        return Processes.buildDir().resolve("bin/launch_reaper");
    }

    /**
     * A fresh folder for what launched programs write: root's, mode 0711, so
     * that any user may pass through it but none may list or change it. Each
     * user a program runs as writes only into a folder of its own in it
     * (userDir), and what they wrote is read without following links (read).
     * The parent (JUnit's temporary folder, root's) becomes 0711 too.
     */
    static Path sharedDir(Path parent, String name) {
        try {
            Path d = Files.createDirectory(parent.resolve(name));
            Files.setPosixFilePermissions(d, PosixFilePermissions.fromString("rwx--x--x"));
            Files.setPosixFilePermissions(parent, PosixFilePermissions.fromString("rwx--x--x"));
            return d;
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }

    /** The folder of user uid in a sharedDir: owned by that user, mode 0700; made on first use. */
    static Path userDir(Path shared, long uid) {
        Path d = shared.resolve("u" + uid);
        try {
            if (!Files.isDirectory(d, LinkOption.NOFOLLOW_LINKS)) {
                Files.createDirectory(d);
                Files.setPosixFilePermissions(d, PosixFilePermissions.fromString("rwx------"));
                Files.setAttribute(d, "unix:uid", (int) uid, LinkOption.NOFOLLOW_LINKS);
            }
            return d;
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }

    static String probeEnv(Path report) {
        return "LAUNCH_PROBE_OUT=" + report;
    }

    /** What the probe reported about itself. */
    record Report(long pid, long ppid, long sid, long[] uid, long[] gid, long[] saved, List<Long> groups,
            String umask, String cwd, List<byte[]> args, List<String> env, Map<Integer, String> fds,
            long startedNanos, long sigBlk, long sigIgn, Map<String, Long> caps) {

        List<String> argStrings() {
            return args.stream().map(b -> new String(b, StandardCharsets.UTF_8)).toList();
        }

        /** The values of NAME in the environment, in environment order. */
        List<String> envValues(String name) {
            return env.stream().filter(e -> e.startsWith(name + "="))
                    .map(e -> e.substring(name.length() + 1)).toList();
        }

        static Report parse(String text) {
            long pid = -1, ppid = -1, sid = -1, started = -1, sigBlk = -1, sigIgn = -1;
            long[] uid = null, gid = null, saved = null;
            Map<String, Long> caps = new TreeMap<>();
            List<Long> groups = new ArrayList<>();
            String umask = null, cwd = null;
            List<byte[]> args = new ArrayList<>();
            List<String> env = new ArrayList<>();
            Map<Integer, String> fds = new TreeMap<>();
            HexFormat hex = HexFormat.of();
            for (String line : text.split("\n")) {
                String[] f = line.split(" ", -1);
                switch (f[0]) {
                    case "pid" -> pid = Long.parseLong(f[1]);
                    case "ppid" -> ppid = Long.parseLong(f[1]);
                    case "sid" -> sid = Long.parseLong(f[1]);
                    case "uid" -> uid = new long[] {Long.parseLong(f[1]), Long.parseLong(f[2])};
                    case "gid" -> gid = new long[] {Long.parseLong(f[1]), Long.parseLong(f[2])};
                    case "saved" -> saved = new long[] {Long.parseLong(f[1]), Long.parseLong(f[2])};
                    case "capinh", "capprm", "capeff", "capamb" -> caps.put(f[0], Long.parseUnsignedLong(f[1]));
                    case "groups" -> {
                        for (int i = 1; i < f.length; i++) groups.add(Long.parseLong(f[i]));
                    }
                    case "umask" -> umask = f[1];
                    case "started" -> started = Long.parseLong(f[1]);
                    case "sigblk" -> sigBlk = Long.parseUnsignedLong(f[1]);
                    case "sigign" -> sigIgn = Long.parseUnsignedLong(f[1]);
                    case "cwd" -> cwd = line.substring(4);
                    case "arg" -> args.add(hex.parseHex(f[2]));
                    case "env" -> env.add(new String(hex.parseHex(f[1]), StandardCharsets.UTF_8));
                    case "fd" -> fds.put(Integer.parseInt(f[1]), line.substring(line.indexOf(' ', 3) + 1));
                    default -> { }
                }
            }
            return new Report(pid, ppid, sid, uid, gid, saved, groups, umask, cwd, args, env, fds, started,
                    sigBlk, sigIgn, caps);
        }
    }

    /** Waits (at most a minute) for the probe's report to appear, and reads it. */
    static Report awaitReport(Path report) {
        awaitFile(report);
        return Report.parse(read(report));
    }

    /** Waits at most a minute (a loaded machine) for a file to appear. */
    static void awaitFile(Path file) {
        long deadline = System.nanoTime() + 60_000_000_000L;
        while (!Files.exists(file, LinkOption.NOFOLLOW_LINKS)) {
            if (System.nanoTime() > deadline) fail("nothing was written to " + file);
            try {
                Thread.sleep(10);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
                throw new AssertionError(e);
            }
        }
    }

    /**
     * A file's text, or "" when there is none; a link is not followed (the
     * open fails), since other users wrote into the folders these lie in.
     */
    static String read(Path p) {
        if (!Files.exists(p, LinkOption.NOFOLLOW_LINKS)) return "";
        try (var in = Files.newInputStream(p, LinkOption.NOFOLLOW_LINKS)) {
            return new String(in.readAllBytes(), StandardCharsets.UTF_8);
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }

    /** The supplementary groups of a user as the system's id(1) lists them, sorted. */
    static List<Long> groupsOf(String user) {
        var r = Processes.run("id", "-G", user);
        assertEquals(0, r.exitCode(), r.stderr());
        return sorted(java.util.Arrays.stream(r.stdout().trim().split("\\s+")).map(Long::parseLong).toList());
    }

    static List<Long> sorted(List<Long> l) {
        return l.stream().sorted().distinct().toList();
    }

    /** Processes whose parent is pid, by state letter ("Z" for zombies). */
    static Map<Long, String> childrenOf(long pid) {
        Map<Long, String> out = new HashMap<>();
        try (var dirs = Files.list(Path.of("/proc"))) {
            for (Path d : dirs.toList()) {
                if (!d.getFileName().toString().chars().allMatch(Character::isDigit)) continue;
                String stat;
                try {
                    stat = Files.readString(d.resolve("stat"));
                } catch (IOException gone) {
                    continue;
                }
                // After the ")" closing the command name: state, ppid, ...
                String[] f = stat.substring(stat.lastIndexOf(')') + 2).split(" ");
                if (Long.parseLong(f[1]) == pid) out.put(Long.parseLong(d.getFileName().toString()), f[0]);
            }
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
        return out;
    }

    /** Where this JVM's descriptors 0, 1 and 2 lead, for those that are open. */
    static Map<Integer, String> ownStandardDescriptors() {
        Map<Integer, String> out = new TreeMap<>();
        for (int fd = 0; fd <= 2; fd++) {
            try {
                out.put(fd, Files.readSymbolicLink(Path.of("/proc/self/fd/" + fd)).toString());
            } catch (IOException closed) {
                // not open: the program must not have it either
            }
        }
        return out;
    }

    /** This JVM's supplementary groups, from the Groups line of /proc/self/status. */
    static List<Long> ownSupplementaryGroups() {
        try {
            String line = Files.readAllLines(Path.of("/proc/self/status")).stream()
                    .filter(l -> l.startsWith("Groups:")).findFirst().orElseThrow();
            String list = line.substring(7).trim();
            return list.isEmpty() ? List.of()
                    : java.util.Arrays.stream(list.split("\\s+")).map(Long::parseLong).toList();
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }

    /**
     * A signal set of a status file in /proc (SigBlk, SigIgn, SigCgt) as a
     * number; /proc/thread-self/status gives the calling thread's mask.
     */
    static long signalSet(Path status, String field) {
        String line = read(status).lines().filter(l -> l.startsWith(field + ":")).findFirst()
                .orElseThrow(() -> new AssertionError(field + " not in " + status));
        return Long.parseUnsignedLong(line.substring(field.length() + 1).trim(), 16);
    }

    /** Field 6 (session ID) of /proc/self/stat. */
    static long ownSessionId() {
        try {
            String stat = Files.readString(Path.of("/proc/self/stat"));
            return Long.parseLong(stat.substring(stat.lastIndexOf(')') + 2).split(" ")[3]);
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }

    /** What a child JVM run under launch_reaper left behind. */
    record ChildRun(int exitCode, String stdout, String stderr, List<String> results,
            List<String> reaped) {

        /** Exit statuses of the descendants the reaper adopted, e.g. "exit 127". */
        List<String> adopted() {
            return reaped.stream().filter(l -> l.startsWith("adopted "))
                    .map(l -> l.substring(l.indexOf(' ', 8) + 1)).toList();
        }
    }

    /**
     * Runs LaunchMain in a child JVM under launch_reaper, through bash so that
     * shellSetup can open descriptors, change limits or identities first. The
     * JVM's standard output and error go to files (or, with pipes, to the
     * reaper's pipes). Waits until every descendant has ended.
     */
    static ChildRun runChild(Path dir, String shellSetup, List<String> prefix, boolean pipes,
            String... ops) {
        return runChild(dir, shellSetup, prefix, pipes, null, ops);
    }

    /** As above, running duringRun on another thread while the child JVM runs. */
    static ChildRun runChild(Path dir, String shellSetup, List<String> prefix, boolean pipes,
            Runnable duringRun, String... ops) {
        Path out = dir.resolve("stdout");
        Path err = dir.resolve("stderr");
        Path results = dir.resolve("results");
        Path reaped = dir.resolve("reaped");
        List<String> jvm = new ArrayList<>(prefix);
        jvm.add(Path.of(System.getProperty("java.home"), "bin", "java").toString());
        jvm.add("-Xcheck:jni");
        // Fewer threads and no shared performance file: a quieter process.
        jvm.add("-Xint");
        jvm.add("-XX:-UsePerfData");
        jvm.add("-XX:+UseSerialGC");
        // Classes and libraries from where the JVM's user, perhaps not root,
        // can read them.
        Path build = Processes.otherUsersBuild();
        jvm.add("-Dzelt.native.dir=" + build.resolve("lib"));
        jvm.add("-cp");
        jvm.add(build.resolve("java/classes") + ":" + build.resolve("java/test-classes"));
        jvm.add(LaunchMain.class.getName());
        jvm.add(results.toString());
        jvm.addAll(List.of(ops));
        StringBuilder script = new StringBuilder(shellSetup).append('\n');
        if (!pipes) script.append("exec >").append(quote(out.toString())).append(" 2>")
                .append(quote(err.toString())).append('\n');
        script.append("exec");
        for (String a : jvm) script.append(' ').append(quote(a));
        List<String> cmd = List.of(reaper().toString(), reaped.toString(), "/bin/bash", "-c",
                script.toString());
        Thread helper = null;
        AssertionError[] helperFailure = new AssertionError[1];
        if (duringRun != null) {
            helper = new Thread(() -> {
                try {
                    duringRun.run();
                } catch (AssertionError e) {
                    helperFailure[0] = e;
                }
            });
            helper.start();
        }
        var r = Processes.run(cmd);
        if (helper != null) {
            try {
                helper.join();
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
                throw new AssertionError(e);
            }
            if (helperFailure[0] != null) throw helperFailure[0];
        }
        String stdout = pipes ? r.stdout() : read(out);
        String stderr = pipes ? r.stderr() : read(err);
        Processes.assertNoJniWarnings(new Processes.Result(r.exitCode(), stdout, stderr));
        assertTrue(read(reaped).contains("direct "), "reaper report: " + read(reaped) + r.stderr());
        return new ChildRun(r.exitCode(), stdout, stderr, read(results).lines().toList(),
                read(reaped).lines().toList());
    }

    static String quote(String s) {
        return "'" + s.replace("'", "'\\''") + "'";
    }
}
