package com.zelt.tests.launch;

import static com.zelt.tests.launch.LaunchSupport.awaitReport;
import static com.zelt.tests.launch.LaunchSupport.probe;
import static com.zelt.tests.launch.LaunchSupport.probeEnv;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.zelt.management.tolvaimpl.services.launch.CmdLauncher;
import com.zelt.tests.launch.LaunchSupport.Report;
import com.zelt.tests.support.Processes;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** CmdLauncher.launchapp in this JVM (as root), observed by launch_probe. */
class CmdLauncherTest {
    @TempDir
    Path tmp;
    Path shared;
    Path dir;  // root's own folder in shared
    Path report;
    final CmdLauncher launcher = new CmdLauncher();

    @BeforeEach
    void setUp() {
        shared = LaunchSupport.sharedDir(tmp, "out");
        dir = LaunchSupport.userDir(shared, 0);
        report = dir.resolve("report");
    }

    private Report launch(int eu, int eg, int ru, int rg, String[] args, String... env) {
        // Written by the program, in the folder of the user it runs as.
        Path out = LaunchSupport.userDir(shared, eu == -1 ? 0 : eu).resolve("report");
        String[] fullEnv = new String[env.length + 1];
        fullEnv[0] = probeEnv(out);
        System.arraycopy(env, 0, fullEnv, 1, env.length);
        assertEquals(0, launcher.launchapp(1, eu, eg, ru, rg, args, fullEnv));
        return awaitReport(out);
    }

    private Report launchAsRoot(String... args) {
        return launch(0, 0, 0, 0, args);
    }

    @Test
    void runsTheProgramWithArgumentZeroAndOneExactlyAsGiven() {
        Report r = launchAsRoot(probe().toString(), " first  argument\twith spaces ");
        assertEquals(List.of(probe().toString(), " first  argument\twith spaces "), r.argStrings());
    }

    @Test
    void packsNullElementsOutOfTheArgumentVector() {
        Report r = launchAsRoot(null, probe().toString(), null, "a", null, null, "", "b", null);
        assertEquals(List.of(probe().toString(), "a", "", "b"), r.argStrings());
    }

    @Test
    void passesArgumentsAndEnvironmentAsRealUtf8() {
        String text = "é日本\uD83D\uDE00ü";
        Report r = launch(0, 0, 0, 0, new String[] {probe().toString(), text}, "ZELT_TEXT=" + text);
        assertArrayEquals(text.getBytes(StandardCharsets.UTF_8), r.args().get(1));
        assertEquals(List.of(text), r.envValues("ZELT_TEXT"));
    }

    @Test
    void addsTheEnvironmentInArrayOrderSoTheLaterStringWins() {
        Report r = launch(0, 0, 0, 0, new String[] {probe().toString()},
                "ZELT_X=first", null, "ZELT_Y=y", "ZELT_X=second");
        assertEquals(List.of("second"), r.envValues("ZELT_X"));
        assertEquals(List.of("y"), r.envValues("ZELT_Y"));
        // The JVM's own environment is inherited underneath.
        assertEquals(List.of(System.getenv("PATH")), r.envValues("PATH"));
    }

    @Test
    void replacesInheritedVariablesOnceAndRemovesThoseNamedWithoutValue() {
        String home = System.getenv("HOME");
        Report r = launch(0, 0, 0, 0, new String[] {probe().toString()},
                "PATH=/zelt/first", "PATH=/zelt/second", "HOME", "ZELT_GONE=x", "ZELT_GONE");
        assertEquals(List.of("/zelt/second"), r.envValues("PATH"));
        assertEquals(List.of(), r.envValues("ZELT_GONE"));
        assertEquals(List.of(), r.envValues("HOME"), "HOME was " + home);
    }

    @Test
    void mergesTwoHundredThousandExtraStringsByPutenvsRulesWithinTheBudget() {
        // 100,000 names set, then taken away again except every 1000th, which
        // is set anew: the rules at scale. Merged by scanning the growing
        // environment for every string, this took about half a minute.
        int names = 100_000;
        List<String> env = new ArrayList<>();
        for (int i = 0; i < names; i++) env.add("ZELT_M" + i + "=a" + i);
        for (int i = 0; i < names; i++) env.add(i % 1000 == 0 ? "ZELT_M" + i + "=b" + i : "ZELT_M" + i);
        long start = System.nanoTime();
        Report r = launch(0, 0, 0, 0, new String[] {probe().toString()}, env.toArray(String[]::new));
        double seconds = (System.nanoTime() - start) / 1e9;
        List<String> expected = new ArrayList<>();
        for (int i = 0; i < names; i += 1000) expected.add("ZELT_M" + i + "=b" + i);
        assertEquals(expected, r.env().stream().filter(e -> e.startsWith("ZELT_M")).toList());
        assertTrue(seconds < 10, "launch and report took " + seconds + " s (budget 10 s)");
    }

    @Test
    void comparesVariableNamesWhole() {
        // A variable whose name extends another's stays.
        Report prefix = launch(0, 0, 0, 0, new String[] {probe().toString()}, "PAT=short");
        assertEquals(List.of("short"), prefix.envValues("PAT"));
        assertEquals(List.of(System.getenv("PATH")), prefix.envValues("PATH"));
    }

    @Test
    void acceptsExactly1023ArgumentsAfterPackingAndRefusesMore() {
        String[] args = new String[1024];
        args[0] = probe().toString();
        for (int i = 1; i < 1023; i++) args[i] = "a" + i;
        args[1023] = null; // 1024 elements, 1023 of them non-null: fits
        Report r = launch(0, 0, 0, 0, args);
        assertEquals(1023, r.args().size());
        assertEquals("a1022", r.argStrings().get(1022));

        args[1023] = "one too many";
        assertEquals(-1, launcher.launchapp(1, 0, 0, 0, 0, args, new String[] {probeEnv(report)}));
    }

    @Test
    void refusesBeforeStartingAnything() {
        String[] ok = {probe().toString()};
        String[] env = {probeEnv(report)};
        assertEquals(-1, launcher.launchapp(0, 0, 0, 0, 0, ok, env), "flag 0");
        assertEquals(-1, launcher.launchapp(1, 0, 0, 0, 0, null, env), "null argument array");
        assertEquals(-1, launcher.launchapp(1, 0, 0, 0, 0,
                new String[] {probe().toString(), "a\u0000b"}, env), "U+0000 in an argument");
        assertEquals(-1, launcher.launchapp(1, 0, 0, 0, 0, ok,
                new String[] {probeEnv(report), "ZELT_X=a\u0000b"}), "U+0000 in the environment");
        // Had any of those started the probe, it would have reported by the
        // time this launch's report appears.
        Path control = dir.resolve("control");
        assertEquals(0, launcher.launchapp(1, 0, 0, 0, 0, ok, new String[] {probeEnv(control)}));
        awaitReport(control);
        assertFalse(Files.exists(report));
    }

    @Test
    void switchesToTheRequestedUserAndGroupWithThatUsersGroupsOnly() {
        Report r = launch(65534, 65534, 65534, 65534, new String[] {probe().toString()});
        assertArrayEquals(new long[] {65534, 65534}, r.uid());
        assertArrayEquals(new long[] {65534, 65534}, r.gid());
        assertEquals(LaunchSupport.groupsOf("nobody"), LaunchSupport.sorted(r.groups()));
        assertFalse(r.groups().contains(0L), "root's group 0 handed to an unprivileged program");
    }

    @Test
    void appliesDifferingRealAndEffectiveIds() {
        // Real daemon (1), effective nobody: the real user's groups.
        Report r = launch(65534, 65534, 1, 1, new String[] {probe().toString()});
        assertArrayEquals(new long[] {1, 65534}, r.uid());
        assertArrayEquals(new long[] {1, 65534}, r.gid());
        assertEquals(LaunchSupport.groupsOf("daemon"), LaunchSupport.sorted(r.groups()));
    }

    @Test
    void givesAnUnknownUserOnlyItsRealGroup() {
        Report r = launch(54321, 54323, 54321, 54322, new String[] {probe().toString()});
        assertArrayEquals(new long[] {54321, 54321}, r.uid());
        assertArrayEquals(new long[] {54322, 54323}, r.gid());
        assertEquals(List.of(54322L), r.groups());
    }

    @Test
    void givesAUserWithSupplementaryGroupsAllOfThem() {
        // Any account that /etc/group lists as a member somewhere.
        var members = Processes.run("getent", "group").stdout().lines()
                .map(l -> l.split(":", -1)).filter(f -> f.length == 4 && !f[3].isEmpty())
                .map(f -> f[3].split(",")[0]).toList();
        org.junit.jupiter.api.Assumptions.assumeFalse(members.isEmpty(), "no user with supplementary groups");
        String user = members.get(0);
        long uid = Long.parseLong(Processes.run("id", "-u", user).stdout().trim());
        long gid = Long.parseLong(Processes.run("id", "-g", user).stdout().trim());
        Report r = launch((int) uid, (int) gid, (int) uid, (int) gid, new String[] {probe().toString()});
        List<Long> expected = LaunchSupport.groupsOf(user);
        assertTrue(expected.size() > 1, user + " should have supplementary groups: " + expected);
        assertEquals(expected, LaunchSupport.sorted(r.groups()));
    }

    @Test
    void keepsTheCallersGroupsWhenStayingRoot() {
        Report r = launchAsRoot(probe().toString());
        assertArrayEquals(new long[] {0, 0}, r.uid());
        List<Long> own = LaunchSupport.ownSupplementaryGroups();
        assertEquals(LaunchSupport.sorted(own), LaunchSupport.sorted(r.groups()));
    }

    @Test
    void detachesTheProgramAndLeavesNoZombieButChangesNothingElse() {
        long jvm = ProcessHandle.current().pid();
        List<Path> reports = new ArrayList<>();
        for (int i = 0; i < 5; i++) {
            Path p = dir.resolve("r" + i);
            reports.add(p);
            assertEquals(0, launcher.launchapp(1, 0, 0, 0, 0, new String[] {probe().toString()},
                    new String[] {probeEnv(p)}));
        }
        String umask = Processes.run("/bin/sh", "-c", "umask").stdout().trim();
        for (Path p : reports) {
            Report r = awaitReport(p);
            assertNotEquals(jvm, r.ppid(), "the program is a child of the JVM");
            assertNotEquals(jvm, r.pid());
            assertEquals(LaunchSupport.ownSessionId(), r.sid(), "session changed");
            assertEquals(System.getProperty("user.dir"), r.cwd());
            assertEquals(Integer.parseInt(umask, 8), Integer.parseInt(r.umask(), 8));
        }
        var zombies = LaunchSupport.childrenOf(jvm).entrySet().stream()
                .filter(e -> e.getValue().equals("Z")).toList();
        assertEquals(List.of(), zombies, "zombie children of the JVM");
    }

    @Test
    void startsTheProgramWithNoSignalBlockedAndOnlyTheJvmsIgnoredSignalsIgnored() {
        // The calling JVM thread blocks some signals (SIGQUIT at least); none
        // of that may reach the program.
        long callerMask = LaunchSupport.signalSet(Path.of("/proc/thread-self/status"), "SigBlk");
        assertNotEquals(0L, callerMask, "the calling thread blocks nothing: the check below proves little");
        for (int identity : new int[] {0, 65534}) {
            Path p = LaunchSupport.userDir(shared, identity).resolve("mask");
            assertEquals(0, launcher.launchapp(1, identity, identity, identity, identity,
                    new String[] {probe().toString()}, new String[] {probeEnv(p)}));
            Report r = awaitReport(p);
            assertEquals(0L, r.sigBlk(), "signal mask of the program, as user " + identity);
            assertEquals(LaunchSupport.signalSet(Path.of("/proc/self/status"), "SigIgn"), r.sigIgn(),
                    "ignored signals of the program, as user " + identity);
        }
        assertEquals(callerMask, LaunchSupport.signalSet(Path.of("/proc/thread-self/status"), "SigBlk"),
                "the caller's mask after the launches");
    }

    @Test
    void leavesTheJvmsDumpableFlagAsItWasAfterLaunchesUnderOtherIdentities() {
        // Each identity change of a grandchild running in this JVM's memory
        // makes the kernel clear the flag of that memory.
        assertEquals(1, NativeEnvironment.dumpable(), "the test JVM should start dumpable");
        com.zelt.management.tolvaimpl.services.launch.GuiLauncher gui =
                new com.zelt.management.tolvaimpl.services.launch.GuiLauncher();
        int[][] identities = {{65534, 65534, 65534, 65534}, {65534, 65534, 1, 1}, {0, 65534, 0, 0}};
        for (int[] id : identities) {
            for (String launcherName : List.of("cmd", "gui")) {
                Path p = LaunchSupport.userDir(shared, id[0]).resolve(launcherName + id[1] + "-" + id[2]);
                String[] env = {probeEnv(p)};
                int rc = launcherName.equals("cmd")
                        ? launcher.launchapp(1, id[0], id[1], id[2], id[3], new String[] {probe().toString()}, env)
                        : gui.launchapp(1, id[0], id[1], id[2], id[3], probe().toString(), env, null);
                assertEquals(0, rc);
                Report r = awaitReport(p);
                assertEquals(id[0], r.uid()[1], p.toString());
                assertEquals(1, NativeEnvironment.dumpable(), "after " + p.getFileName());
            }
        }
    }

    @Test
    void closesDescriptorsFromThreeUp() {
        Report r = launchAsRoot(probe().toString());
        assertEquals(LaunchSupport.ownStandardDescriptors(), r.fds());
    }
}
