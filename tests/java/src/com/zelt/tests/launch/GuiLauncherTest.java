package com.zelt.tests.launch;

import static com.zelt.tests.launch.LaunchSupport.awaitReport;
import static com.zelt.tests.launch.LaunchSupport.probe;
import static com.zelt.tests.launch.LaunchSupport.probeEnv;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;

import com.zelt.management.tolvaimpl.services.launch.GuiLauncher;
import com.zelt.tests.launch.LaunchSupport.Report;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** GuiLauncher.launchapp in this JVM (as root), observed by launch_probe. */
class GuiLauncherTest {
    @TempDir
    Path tmp;
    Path shared;
    Path dir;  // root's own folder in shared
    Path report;
    final GuiLauncher launcher = new GuiLauncher();

    @BeforeEach
    void setUp() {
        shared = LaunchSupport.sharedDir(tmp, "out");
        dir = LaunchSupport.userDir(shared, 0);
        report = dir.resolve("report");
    }

    private Report launch(int eu, int eg, int ru, int rg, String path, String[] env, String[] args) {
        assertEquals(0, launcher.launchapp(1, eu, eg, ru, rg, path, env, args));
        return awaitReport(report);
    }

    @Test
    void aNullArgumentArrayRunsThePathAlone() {
        Report r = launch(0, 0, 0, 0, probe().toString(), new String[] {probeEnv(report)}, null);
        assertEquals(List.of(probe().toString()), r.argStrings());
    }

    @Test
    void argumentsFollowThePathWithNullElementsPackedOut() {
        String text = "日本\uD83D\uDE00";
        Report r = launch(0, 0, 0, 0, probe().toString(), new String[] {probeEnv(report)},
                new String[] {null, "one", null, text, null});
        assertEquals(List.of(probe().toString(), "one", text), r.argStrings());
        assertArrayEquals(text.getBytes(StandardCharsets.UTF_8), r.args().get(2));
    }

    @Test
    void theEnvironmentIsAddedInOrderAndNullsSkipped() {
        Report r = launch(0, 0, 0, 0, probe().toString(),
                new String[] {"DISPLAY=:7", null, probeEnv(report), "DISPLAY=:9"}, null);
        assertEquals(List.of(":9"), r.envValues("DISPLAY"));
    }

    @Test
    void switchesIdentitiesAndGroupsAsTheCommandLineLauncherDoes() {
        report = LaunchSupport.userDir(shared, 65534).resolve("report");
        Report r = launch(65534, 65534, 1, 1, probe().toString(), new String[] {probeEnv(report)}, null);
        assertArrayEquals(new long[] {1, 65534}, r.uid());
        assertArrayEquals(new long[] {1, 65534}, r.gid());
        assertEquals(LaunchSupport.groupsOf("daemon"), LaunchSupport.sorted(r.groups()));
        assertEquals(LaunchSupport.ownStandardDescriptors(), r.fds());
    }

    @Test
    void acceptsExactly1022ArgumentsBesidesThePathAndRefusesMore() {
        String[] args = new String[1023];
        for (int i = 0; i < 1022; i++) args[i] = "a" + (i + 1);
        String[] env = {probeEnv(report)};
        Report r = launch(0, 0, 0, 0, probe().toString(), env, args);
        assertEquals(1023, r.args().size());
        assertEquals("a1022", r.argStrings().get(1022));

        args[1022] = "one too many";
        assertEquals(-1, launcher.launchapp(1, 0, 0, 0, 0, probe().toString(), env, args));
    }

    @Test
    void refusesANullPathFlagZeroAndU0000BeforeStartingAnything() {
        String[] env = {probeEnv(report)};
        String[] args = {"a"};
        assertEquals(-1, launcher.launchapp(1, 0, 0, 0, 0, null, env, args), "null path");
        assertEquals(-1, launcher.launchapp(0, 0, 0, 0, 0, probe().toString(), env, args), "flag 0");
        assertEquals(-1, launcher.launchapp(1, 0, 0, 0, 0, probe() + "\u0000x", env, args), "U+0000 in path");
        assertEquals(-1, launcher.launchapp(1, 0, 0, 0, 0, probe().toString(), env,
                new String[] {"\u0000"}), "U+0000 in an argument");
        assertEquals(-1, launcher.launchapp(1, 0, 0, 0, 0, probe().toString(),
                new String[] {probeEnv(report), "A=\u0000"}, args), "U+0000 in the environment");
        Path control = dir.resolve("control");
        assertEquals(0, launcher.launchapp(1, 0, 0, 0, 0, probe().toString(),
                new String[] {probeEnv(control)}, null));
        awaitReport(control);
        assertFalse(Files.exists(report));
    }
}
