package com.zelt.tests.launch;

import static com.zelt.tests.launch.LaunchSupport.awaitReport;
import static com.zelt.tests.launch.LaunchSupport.probe;
import static com.zelt.tests.launch.LaunchSupport.probeEnv;
import static com.zelt.tests.launch.LaunchSupport.quote;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.zelt.tests.launch.LaunchSupport.ChildRun;
import com.zelt.tests.launch.LaunchSupport.Report;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Collections;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.TreeMap;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * Launches from a child JVM run under launch_reaper: what the children write
 * to the caller's standard output and error, their exit statuses, and what
 * a caller's own descriptors, groups and identity do to the launch.
 */
class LaunchFromChildJvmTest {
    private static final List<String> NO_PREFIX = List.of();
    private static final String MISSING = "/nonexistent/zelt-missing-program";

    @TempDir
    Path tmp;
    Path shared;
    Path dir;  // root's own folder in shared

    @BeforeEach
    void setUp() {
        shared = LaunchSupport.sharedDir(tmp, "run");
        dir = LaunchSupport.userDir(shared, 0);
    }

    private static List<String> cmd(int eu, int eg, int ru, int rg, String[] args, String... env) {
        List<String> op = new java.util.ArrayList<>(List.of("cmd", "1", "" + eu, "" + eg, "" + ru, "" + rg));
        op.add("" + args.length);
        op.addAll(List.of(args));
        op.add("" + env.length);
        op.addAll(List.of(env));
        return op;
    }

    private static List<String> gui(String path, String[] env, String... args) {
        return gui(0, 0, 0, 0, path, env, args);
    }

    private static List<String> gui(int eu, int eg, int ru, int rg, String path, String[] env, String... args) {
        List<String> op = new java.util.ArrayList<>(List.of("gui", "1", "" + eu, "" + eg, "" + ru, "" + rg, path));
        op.add("" + env.length);
        op.addAll(List.of(env));
        op.add("" + args.length);
        op.addAll(List.of(args));
        return op;
    }

    private static String[] ops(List<List<String>> ops) {
        return ops.stream().flatMap(List::stream).toArray(String[]::new);
    }

    @Test
    void commandLineExecFailuresWriteTheLineToAStdoutFileAndExit127() {
        Path bareReport = dir.resolve("bare");
        String bin = probe().getParent().toString();
        // cwd has no launch_probe, PATH has one: a PATH search would find it.
        ChildRun run = LaunchSupport.runChild(dir,
                "cd " + quote(dir.toString()) + " && export PATH=" + quote(bin) + ":\"$PATH\"",
                NO_PREFIX, false, ops(List.of(
                        cmd(0, 0, 0, 0, new String[] {MISSING}),
                        cmd(0, 0, 0, 0, new String[] {"launch_probe"}, probeEnv(bareReport)),
                        cmd(0, 0, 0, 0, new String[] {"<null>", "<null>"}))));
        assertEquals(0, run.exitCode(), run.stderr());
        assertEquals(List.of("cmd 0", "cmd 0", "cmd 0"), run.results());
        assertEquals("execv error\n".repeat(3), run.stdout());
        assertEquals("", run.stderr());
        assertEquals(List.of("exit 127", "exit 127", "exit 127"), run.adopted());
        assertFalse(Files.exists(bareReport), "a bare program name was searched in PATH");
    }

    @Test
    void commandLineExecFailureReachesAPipeToo() {
        ChildRun run = LaunchSupport.runChild(dir, "", NO_PREFIX, true,
                ops(List.of(cmd(0, 0, 0, 0, new String[] {MISSING}))));
        assertEquals(List.of("cmd 0"), run.results());
        assertEquals("execv error\n", run.stdout());
        assertEquals(List.of("exit 127"), run.adopted());
    }

    @Test
    void graphicalExecFailureWritesTheLineAndTheSystemTextToStderrAndExits127() {
        ChildRun run = LaunchSupport.runChild(dir, "", NO_PREFIX, false,
                ops(List.of(gui(MISSING, new String[0]))));
        assertEquals(List.of("gui 0"), run.results());
        assertEquals("execv error\n: No such file or directory\n", run.stderr());
        assertEquals("", run.stdout());
        assertEquals(List.of("exit 127"), run.adopted());
    }

    @Test
    void aSignalIgnoredByTheJvmsParentStaysIgnoredWhileTheMaskStartsEmpty() {
        // As under nohup: the shell that starts the JVM ignores SIGHUP.
        Path cmdReport = dir.resolve("cmd-report");
        Path guiReport = dir.resolve("gui-report");
        ChildRun run = LaunchSupport.runChild(dir, "trap '' HUP", NO_PREFIX, false, ops(List.of(
                cmd(0, 0, 0, 0, new String[] {probe().toString()}, probeEnv(cmdReport)),
                gui(probe().toString(), new String[] {probeEnv(guiReport)}))));
        assertEquals(List.of("cmd 0", "gui 0"), run.results(), run.stderr());
        final long sighup = 1L << 0;
        for (Report r : List.of(awaitReport(cmdReport), awaitReport(guiReport))) {
            assertEquals(sighup, r.sigIgn() & sighup, "SIGHUP no longer ignored: " + Long.toHexString(r.sigIgn()));
            assertEquals(0L, r.sigBlk(), "signal mask of the program");
        }
    }

    @Test
    void refusedLaunchesReturnMinusOneAndStartNoProcess() {
        ChildRun run = LaunchSupport.runChild(dir, "", NO_PREFIX, false,
                "cmd", "0", "0", "0", "0", "0", "1", "/bin/true", "-1",
                "cmd", "1", "0", "0", "0", "0", "-1", "-1",
                "cmd", "1", "0", "0", "0", "0", "2", "/bin/true", "a<NUL>b", "-1",
                "cmd", "1", "0", "0", "0", "0", "1", "/bin/true", "1", "A=<NUL>",
                "cmdmany", "1024",
                "gui", "0", "0", "0", "0", "0", "/bin/true", "-1", "-1",
                "gui", "1", "0", "0", "0", "0", "<null>", "-1", "1", "a",
                "gui", "1", "0", "0", "0", "0", "/bin/true<NUL>", "-1", "-1",
                "guimany", "1023",
                // the largest accepted sizes, as controls: these do start
                "cmdmany", "1023",
                "guimany", "1022");
        assertEquals(List.of("cmd -1", "cmd -1", "cmd -1", "cmd -1", "cmdmany -1", "gui -1", "gui -1",
                "gui -1", "guimany -1", "cmdmany 0", "guimany 0"), run.results());
        assertEquals(List.of("exit 0", "exit 0"), run.adopted(), "only the two controls ran");
        assertEquals("", run.stdout());
        assertEquals("", run.stderr());
    }

    @Test
    void descriptorsTheCallerOpenedWithoutCloseOnExecDoNotReachTheProgram() {
        Path cmdReport = dir.resolve("cmd-report");
        Path guiReport = dir.resolve("gui-report");
        // Inherited by the JVM, so open in it without close-on-exec; one of
        // them far above the low numbers.
        ChildRun run = LaunchSupport.runChild(dir,
                "exec </dev/null 7</etc/hostname 4321</etc/passwd", NO_PREFIX, false, ops(List.of(
                        List.of("fdflags", "7"), List.of("fdflags", "4321"),
                        cmd(0, 0, 0, 0, new String[] {probe().toString()}, probeEnv(cmdReport)),
                        gui(probe().toString(), new String[] {probeEnv(guiReport)}))));
        assertEquals(4, run.results().size(), run.stderr());
        for (String fd : List.of("7", "4321")) {
            String line = run.results().stream().filter(l -> l.startsWith("fdflags " + fd + " "))
                    .findFirst().orElseThrow();
            long flags = Long.parseLong(line.substring(line.lastIndexOf(' ') + 1), 8);
            assertEquals(0, flags & 02000000, "descriptor " + fd + " should lack close-on-exec");
        }
        assertEquals(List.of("cmd 0", "gui 0"), run.results().subList(2, 4));
        Map<Integer, String> expected = new TreeMap<>(Map.of(0, "/dev/null",
                1, dir.resolve("stdout").toString(), 2, dir.resolve("stderr").toString()));
        assertEquals(expected, awaitReport(cmdReport).fds());
        assertEquals(expected, awaitReport(guiReport).fds());
    }

    @Test
    void anUnprivilegedCallerKeepsItsGroupsAndCannotTakeOtherIds() {
        Path own = LaunchSupport.userDir(shared, 65534);
        Path report = own.resolve("report");
        List<String> asNobody = List.of("setpriv", "--reuid=65534", "--regid=65534", "--groups=65534,4");
        ChildRun run = LaunchSupport.runChild(own, "cd " + quote(own.toString()), asNobody, false, ops(List.of(
                cmd(65534, 65534, 65534, 65534, new String[] {probe().toString()}, probeEnv(report)),
                cmd(0, 65534, 0, 65534, new String[] {probe().toString()}, probeEnv(Path.of(report + "-x"))),
                cmd(65534, 0, 65534, 0, new String[] {probe().toString()}, probeEnv(Path.of(report + "-y"))))));
        assertEquals(List.of("cmd 0", "cmd 0", "cmd 0"), run.results(), run.stderr());
        Report r = awaitReport(report);
        assertArrayEquals(new long[] {65534, 65534}, r.uid());
        assertEquals(List.of(4L, 65534L), LaunchSupport.sorted(r.groups()));
        List<String> lines = run.stderr().lines().sorted().toList();
        assertEquals(List.of("setregid failed: Operation not permitted",
                "setreuid failed: Operation not permitted"), lines);
        // The probe and both refused switches all end with status 0.
        assertEquals(Collections.nCopies(3, "exit 0"), run.adopted());
        assertFalse(Files.exists(Path.of(report + "-x")));
        assertFalse(Files.exists(Path.of(report + "-y")));
    }

    @Test
    void aPrivilegedCallersExtraGroupsStayWithRootButNotWithAnotherUser() {
        Path asRoot = dir.resolve("root");
        Path asNobody = LaunchSupport.userDir(shared, 65534).resolve("nobody");
        ChildRun run = LaunchSupport.runChild(dir, "", List.of("setpriv", "--groups=0,4,27"), false, ops(List.of(
                cmd(0, 0, 0, 0, new String[] {probe().toString()}, probeEnv(asRoot)),
                cmd(65534, 65534, 65534, 65534, new String[] {probe().toString()}, probeEnv(asNobody)))));
        assertEquals(List.of("cmd 0", "cmd 0"), run.results(), run.stderr());
        assertEquals(List.of(0L, 4L, 27L), LaunchSupport.sorted(awaitReport(asRoot).groups()));
        List<Long> nobodyGroups = awaitReport(asNobody).groups();
        assertEquals(LaunchSupport.groupsOf("nobody"), LaunchSupport.sorted(nobodyGroups));
        assertTrue(Collections.disjoint(nobodyGroups, Set.of(0L, 4L, 27L)), nobodyGroups.toString());
    }

    /**
     * A caller's identity (setpriv options), what it launches as, what the
     * program must run as, and the owner of the caller's /proc/self/environ
     * (its effective user while it is dumpable, root otherwise).
     */
    private record IdentityCase(String name, List<String> caller, int eu, int eg, int ru, int rg,
            long[] uid, long[] gid, long callerUid) {}

    @Test
    void programsUnderAnotherIdentityKeepNoCapabilityNoCallerGroupAndNoSavedIdOfTheCallers() {
        List<Long> nobodyGroups = LaunchSupport.groupsOf("nobody");
        List<IdentityCase> cases = List.of(
                // A service user given CAP_SETUID and CAP_SETGID as ambient
                // capabilities, with a supplementary group of its own.
                new IdentityCase("ambient", List.of("setpriv", "--reuid=54330", "--regid=54330", "--groups=4",
                        "--inh-caps=+setuid,+setgid", "--ambient-caps=+setuid,+setgid"),
                        65534, 65534, 65534, 65534, new long[] {65534, 65534}, new long[] {65534, 65534}, 54330),
                // Real user 1000, effective root, launching as effective 1000.
                new IdentityCase("real1000", List.of("setpriv", "--ruid=1000", "--euid=0", "--rgid=1000",
                        "--egid=0", "--clear-groups"),
                        1000, 1000, -1, -1, new long[] {1000, 1000}, new long[] {1000, 1000}, 0),
                new IdentityCase("root", List.of(), 65534, 65534, 65534, 65534,
                        new long[] {65534, 65534}, new long[] {65534, 65534}, 0));
        for (IdentityCase c : cases) {
            Path caseShared = LaunchSupport.sharedDir(shared, c.name());
            Path caseDir = LaunchSupport.userDir(caseShared, c.callerUid());
            Path programDir = LaunchSupport.userDir(caseShared, c.uid()[1]);
            Path cmdReport = programDir.resolve("cmd");
            Path guiReport = programDir.resolve("gui");
            ChildRun run = LaunchSupport.runChild(caseDir, "cd " + quote(caseDir.toString()), c.caller(), false,
                    ops(List.of(List.of("environ-owner"),
                            cmd(c.eu(), c.eg(), c.ru(), c.rg(), new String[] {probe().toString()}, probeEnv(cmdReport)),
                            gui(c.eu(), c.eg(), c.ru(), c.rg(), probe().toString(), new String[] {probeEnv(guiReport)}),
                            List.of("environ-owner"))));
            String owner = "environ-owner " + c.callerUid();
            assertEquals(List.of(owner, "cmd 0", "gui 0", owner), run.results(), c.name() + ": " + run.stderr());
            for (Report r : List.of(awaitReport(cmdReport), awaitReport(guiReport))) {
                String what = c.name() + ": saved " + java.util.Arrays.toString(r.saved()) + ", groups "
                        + r.groups() + ", capabilities " + r.caps();
                assertArrayEquals(c.uid(), r.uid(), what);
                assertArrayEquals(c.gid(), r.gid(), what);
                assertArrayEquals(new long[] {c.uid()[1], c.gid()[1]}, r.saved(), what);
                assertEquals(Map.of("capamb", 0L, "capeff", 0L, "capinh", 0L, "capprm", 0L), r.caps(), what);
                if (c.name().equals("ambient")) {
                    assertEquals(nobodyGroups, LaunchSupport.sorted(r.groups()), what);
                    assertFalse(r.groups().contains(4L), what);
                }
            }
        }
    }

    @Test
    void aStringThatCannotBeConvertedRefusesTheLaunchRatherThanBeingLeftOut() {
        // The JVM's address space is capped once it runs, just above what it
        // holds: a string of 150 million characters, made before, can no
        // longer be converted, while small ones still can.
        Path go = dir.resolve("go");
        List<Path> reports = List.of(dir.resolve("r0"), dir.resolve("r1"), dir.resolve("r2"), dir.resolve("r3"));
        Path control = dir.resolve("control");
        Runnable limit = limitOnceReady(go, NO_PREFIX,
                pid -> "--as=" + (vmSizeOf(pid) + (128L << 20)));
        ChildRun run = LaunchSupport.runChild(dir, "cd " + quote(dir.toString()), NO_PREFIX, false, limit,
                ops(List.of(List.of("big", "150000000", "await", go.toString()),
                        // rm -i x must not become rm x
                        cmd(0, 0, 0, 0, new String[] {probe().toString(), "<big>", "x"}, probeEnv(reports.get(0))),
                        cmd(0, 0, 0, 0, new String[] {probe().toString()}, probeEnv(reports.get(1)), "ZELT=<big>"),
                        gui(probe().toString(), new String[] {probeEnv(reports.get(2))}, "<big>", "x"),
                        gui("<big>", new String[] {probeEnv(reports.get(3))}),
                        cmd(0, 0, 0, 0, new String[] {probe().toString()}, probeEnv(control)))));
        assertEquals(List.of("await true", "cmd -1", "cmd -1", "gui -1", "gui -1", "cmd 0"), run.results(),
                run.stderr());
        awaitReport(control);
        for (Path p : reports) assertFalse(Files.exists(p), p + " was started");
        assertEquals(List.of("exit 0"), run.adopted());
    }

    /** The system calls each process made, in order, from an strace -f log. */
    private static Map<String, List<String>> callsByProcess(List<String> lines) {
        Map<String, List<String>> calls = new java.util.HashMap<>();
        for (String l : lines) {
            String pid = l.substring(0, l.indexOf(' '));
            String call = l.substring(pid.length()).trim();
            if (call.matches("\\w+\\(.*")) calls.computeIfAbsent(pid, k -> new java.util.ArrayList<>()).add(call);
        }
        return calls;
    }

    @Test
    void theGrandchildTakesAnotherIdentityOnlyInACopyOfTheJvmAndLastOfAll() {
        // The system calls of the launch, traced. A grandchild that changes
        // identity in the JVM's memory would set the JVM's dumpable flag; it
        // must run in a copy, and once it runs as the target user, who may
        // stop it there, only the mask and the exec may follow. Where
        // fs.suid_dumpable is 1 (shown to the launcher by a bind mount in a
        // mount namespace of its own) that user could read the copy: no
        // launch under another identity then.
        for (String suidDumpable : List.of("0", "1")) {
            Path caseShared = LaunchSupport.sharedDir(shared, "dumpable" + suidDumpable);
            Path caseDir = LaunchSupport.userDir(caseShared, 0);
            Path trace = caseDir.resolve("trace");
            Path asRoot = caseDir.resolve("root");
            Path asNobody = LaunchSupport.userDir(caseShared, 65534).resolve("nobody");
            Path setting = caseDir.resolve("suid_dumpable");
            try {
                Files.writeString(setting, suidDumpable + "\n");
            } catch (java.io.IOException e) {
                throw new java.io.UncheckedIOException(e);
            }
            List<String> prefix = List.of("unshare", "-m", "--propagation", "private", "sh", "-c",
                    "mount --bind \"$0\" /proc/sys/fs/suid_dumpable && exec \"$@\"", setting.toString(),
                    "strace", "-f", "-qq", "-o", trace.toString(), "-e",
                    "trace=clone,clone3,rt_sigaction,capset,setgroups,setresgid,setresuid,setregid,setreuid,"
                            + "rt_sigprocmask,execve");
            ChildRun run = LaunchSupport.runChild(caseDir, "", prefix, false, ops(List.of(
                    cmd(0, 0, 0, 0, new String[] {probe().toString(), "root"}, probeEnv(asRoot)),
                    cmd(65534, 65534, 65534, 65534, new String[] {probe().toString(), "nobody"},
                            probeEnv(asNobody)))));
            boolean allowed = suidDumpable.equals("0");
            assertEquals(List.of("cmd 0", allowed ? "cmd 0" : "cmd -1"), run.results(), run.stderr());
            awaitReport(asRoot);
            if (allowed) assertArrayEquals(new long[] {65534, 65534}, awaitReport(asNobody).uid());
            else assertFalse(Files.exists(asNobody));

            List<String> lines = LaunchSupport.read(trace).lines().toList();
            Map<String, List<String>> calls = callsByProcess(lines);
            for (String who : allowed ? List.of("root", "nobody") : List.of("root")) {
                String grandchild = calls.entrySet().stream()
                        .filter(e -> e.getValue().stream().anyMatch(c -> c.startsWith("execve(\"" + probe())
                                && c.contains("\"" + who + "\"")))
                        .map(Map.Entry::getKey).findFirst().orElseThrow(() -> new AssertionError(who + " not traced"));
                // The clone that made it, perhaps traced in two parts.
                int made = -1;
                for (int i = 0; i < lines.size() && made < 0; i++) {
                    if (lines.get(i).contains("clone") && lines.get(i).endsWith("= " + grandchild)) made = i;
                }
                assertTrue(made >= 0, "the grandchild's clone was not traced");
                String clone = lines.get(made);
                String firstChild = clone.substring(0, clone.indexOf(' '));
                for (int i = made; clone.contains("resumed") && i >= 0; i--) {
                    if (lines.get(i).matches(firstChild + "\\s+clone.*")) clone = lines.get(i);  // strace pads the ID
                }
                assertEquals(who.equals("root"), clone.contains("CLONE_VM"), who + ": " + clone);

                List<String> names = new java.util.ArrayList<>();
                for (String c : calls.get(grandchild)) {
                    names.add(c.substring(0, c.indexOf('(')));
                    if (c.startsWith("execve(")) break;
                }
                int switched = Math.max(names.indexOf("setresuid"), names.indexOf("setreuid"));
                assertTrue(switched > 0 && names.subList(0, switched).contains("rt_sigaction"), names.toString());
                assertEquals(List.of("rt_sigprocmask", "execve"), names.subList(switched + 1, names.size()),
                        who + ", after the switch: " + names);
            }
        }
    }

    @Test
    void aFailedFirstForkIsReportedAndReturnsMinusOne() {
        // An unprivileged JVM whose process limit is cut to 1 once it runs:
        // its threads already exceed it, so every fork fails with EAGAIN.
        Path own = LaunchSupport.userDir(shared, 65534);
        Path go = own.resolve("go");
        Path report = own.resolve("report");
        List<String> nobody = List.of("setpriv", "--reuid=65534", "--regid=65534", "--clear-groups");
        Runnable limit = limitProcessesOnceReady(go, nobody, pid -> 1);
        ChildRun run = LaunchSupport.runChild(own, "cd " + quote(own.toString()), nobody, false, limit,
                ops(List.of(List.of("await", go.toString()),
                        cmd(65534, 65534, 65534, 65534, new String[] {probe().toString()}, probeEnv(report)),
                        gui(probe().toString(), new String[] {probeEnv(report)}))));
        assertEquals(List.of("await true", "cmd -1", "gui -1"), run.results(), run.stderr());
        assertEquals(List.of("fork failed: Resource temporarily unavailable",
                "fork failed: Resource temporarily unavailable"),
                run.stderr().lines().filter(l -> l.startsWith("fork")).toList(), run.stderr());
        assertEquals(List.of(), run.adopted());
        assertFalse(Files.exists(report));
    }

    @Test
    void aFailedSecondForkIsReportedWhileTheCallSucceeds() {
        // The JVM runs under a user of its own, so the kernel's per-user
        // process count is its thread count N. With the limit at N + 1 the
        // first child fits and the grandchild does not.
        Path own = LaunchSupport.userDir(shared, 54329);
        Path go = own.resolve("go");
        Path report = own.resolve("report");
        List<String> loneUser = List.of("setpriv", "--reuid=54329", "--regid=54329", "--clear-groups");
        Runnable limit = limitProcessesOnceReady(go, loneUser, pid -> threadsOf(pid) + 1);
        ChildRun run = LaunchSupport.runChild(own, "cd " + quote(own.toString()), loneUser, false, limit,
                ops(List.of(List.of("await", go.toString()),
                        cmd(54329, 54329, 54329, 54329, new String[] {probe().toString()}, probeEnv(report)))));
        assertEquals(List.of("await true", "cmd 0"), run.results(), run.stderr());
        assertEquals("second fork failed: Resource temporarily unavailable\n", run.stderr());
        assertEquals(List.of(), run.adopted());
        assertFalse(Files.exists(report));
    }

    /**
     * Once the child JVM has written its PID to go.ready, cuts its process
     * limit (soft and hard) to limitFor(pid), as the given user, then lets it
     * go on by creating go.
     */
    private static Runnable limitProcessesOnceReady(Path go, List<String> asUser,
            java.util.function.ToLongFunction<String> limitFor) {
        return limitOnceReady(go, asUser, pid -> {
            long n = limitFor.applyAsLong(pid);
            return "--nproc=" + n + ":" + n;
        });
    }

    /** As above, with the prlimit option that optionFor(pid) gives. */
    private static Runnable limitOnceReady(Path go, List<String> asUser,
            java.util.function.Function<String, String> optionFor) {
        return () -> {
            Path ready = Path.of(go + ".ready");
            LaunchSupport.awaitFile(ready);
            String pid = LaunchSupport.read(ready).trim();
            List<String> prlimit = new java.util.ArrayList<>(asUser);
            prlimit.addAll(List.of("prlimit", "--pid", pid, optionFor.apply(pid)));
            var r = com.zelt.tests.support.Processes.run(prlimit);
            try {
                Files.createFile(go);
            } catch (java.io.IOException e) {
                throw new AssertionError(e);
            }
            assertEquals(0, r.exitCode(), r.stderr());
        };
    }

    /** The address space a process has mapped, in bytes. */
    private static long vmSizeOf(String pid) {
        return LaunchSupport.read(Path.of("/proc", pid, "status")).lines()
                .filter(l -> l.startsWith("VmSize:"))
                .mapToLong(l -> Long.parseLong(l.substring(7).trim().split("\\s+")[0]) * 1024)
                .findFirst().orElseThrow();
    }

    private static long threadsOf(String pid) {
        return LaunchSupport.read(Path.of("/proc", pid, "status")).lines()
                .filter(l -> l.startsWith("Threads:")).mapToLong(l -> Long.parseLong(l.substring(8).trim()))
                .findFirst().orElseThrow();
    }
}
