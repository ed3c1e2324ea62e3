package com.zelt.tests.launch;

import static com.zelt.tests.launch.LaunchSupport.awaitReport;
import static com.zelt.tests.launch.LaunchSupport.probe;
import static com.zelt.tests.launch.LaunchSupport.probeEnv;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.zelt.management.tolvaimpl.services.launch.CmdLauncher;
import com.zelt.management.tolvaimpl.services.launch.GuiLauncher;
import com.zelt.tests.launch.LaunchSupport.Report;
import java.io.IOException;
import java.io.UncheckedIOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HashSet;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.TreeMap;
import java.util.concurrent.ConcurrentLinkedQueue;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * Launches from eight threads at once while other threads allocate and
 * change the JVM's C environment. The children run in the JVM's memory, so
 * anything they wrote there, or any credential or signal change that
 * reached the JVM's threads, would show in this JVM afterwards.
 */
class ConcurrentLaunchTest {
    private static final int LAUNCHERS = 8;
    private static final int LAUNCHES_EACH = 20;
    private static final int CHURN_NAMES = 16;

    @TempDir
    Path tmp;

    /** Uid, Gid and Groups lines of every thread of this JVM, by thread ID. */
    private static Map<String, String> threadCredentials() {
        Map<String, String> out = new TreeMap<>();
        try (var tasks = Files.list(Path.of("/proc/self/task"))) {
            for (Path t : tasks.toList()) {
                String status = LaunchSupport.read(t.resolve("status"));
                if (status.isEmpty()) continue; // the thread has ended
                out.put(t.getFileName().toString(), String.join("|", status.lines()
                        .filter(l -> l.startsWith("Uid:") || l.startsWith("Gid:") || l.startsWith("Groups:"))
                        .toList()));
            }
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
        return out;
    }

    private static Path ownStatus() {
        return Path.of("/proc/self/status");
    }

    @Test
    void manyLaunchesFromEightThreadsLeaveTheJvmAsItWas() throws Exception {
        Path shared = LaunchSupport.sharedDir(tmp, "out");
        Path[] dirs = {LaunchSupport.userDir(shared, 0), LaunchSupport.userDir(shared, 65534)};
        String[] environBefore = NativeEnvironment.snapshot();
        String credentials = threadCredentials().values().iterator().next();
        long caught = LaunchSupport.signalSet(ownStatus(), "SigCgt");
        long ignored = LaunchSupport.signalSet(ownStatus(), "SigIgn");
        int dumpable = NativeEnvironment.dumpable();

        AtomicBoolean stop = new AtomicBoolean();
        ExecutorService background = Executors.newFixedThreadPool(3);
        List<Future<?>> churn = new ArrayList<>();
        // The C environment grows, shrinks and changes (setenv may move its
        // array) all the while.
        churn.add(background.submit(() -> {
            for (long i = 0; !stop.get(); i++) {
                String name = "ZELT_CHURN_" + (i % CHURN_NAMES);
                if (i % 3 == 2) NativeEnvironment.unset(name);
                else NativeEnvironment.set(name, "v" + i + "x".repeat((int) (i % 200)));
            }
            for (int k = 0; k < CHURN_NAMES; k++) NativeEnvironment.unset("ZELT_CHURN_" + k);
        }));
        for (int a = 0; a < 2; a++) {
            churn.add(background.submit(() -> {
                List<byte[]> keep = new ArrayList<>();
                for (int i = 0; !stop.get(); i++) {
                    keep.add(new byte[1 + i % 8192]);
                    if (keep.size() > 2000) keep.clear();
                }
            }));
        }

        ExecutorService launchers = Executors.newFixedThreadPool(LAUNCHERS);
        ConcurrentLinkedQueue<String> failures = new ConcurrentLinkedQueue<>();
        List<Future<List<Path>>> launched = new ArrayList<>();
        for (int t = 0; t < LAUNCHERS; t++) {
            final int thread = t;
            launched.add(launchers.submit(() -> {
                CmdLauncher cmd = new CmdLauncher();
                GuiLauncher gui = new GuiLauncher();
                Path self = Path.of("/proc/thread-self/status");
                long maskBefore = LaunchSupport.signalSet(self, "SigBlk");
                List<Path> reports = new ArrayList<>();
                for (int i = 0; i < LAUNCHES_EACH; i++) {
                    int id = i % 2 == 0 ? 0 : 65534;
                    Path report = dirs[i % 2].resolve("r" + thread + "-" + i);
                    String[] env = {probeEnv(report), "ZELT_LAUNCH=" + thread + "-" + i};
                    int rc = i % 4 < 2
                            ? cmd.launchapp(1, id, id, id, id, new String[] {probe().toString()}, env)
                            : gui.launchapp(1, id, id, id, id, probe().toString(), env, null);
                    if (rc != 0) failures.add("launch " + thread + "-" + i + " returned " + rc);
                    reports.add(report);
                }
                if (LaunchSupport.signalSet(self, "SigBlk") != maskBefore) {
                    failures.add("thread " + thread + ": signal mask changed");
                }
                return reports;
            }));
        }
        launchers.shutdown();
        // A deadlock in a child or the caller would hold the launches here.
        boolean finished = launchers.awaitTermination(600, TimeUnit.SECONDS);
        stop.set(true);
        background.shutdown();
        assertTrue(background.awaitTermination(60, TimeUnit.SECONDS), "background threads still running");
        for (Future<?> f : churn) f.get();
        assertTrue(finished, "launches still running after 600 s");
        assertEquals(List.of(), new ArrayList<>(failures));

        for (int t = 0; t < LAUNCHERS; t++) {
            List<Path> reports = launched.get(t).get();
            for (int i = 0; i < reports.size(); i++) {
                Report r = awaitReport(reports.get(i));
                long id = i % 2 == 0 ? 0 : 65534;
                assertArrayEquals(new long[] {id, id}, r.uid(), reports.get(i).toString());
                assertEquals(List.of(t + "-" + i), r.envValues("ZELT_LAUNCH"));
                assertEquals(0L, r.sigBlk());
                Set<String> names = new HashSet<>();
                for (String e : r.env()) {
                    assertTrue(e.indexOf('=') > 0, "not a variable: " + e);
                    assertTrue(names.add(e.substring(0, e.indexOf('='))), "twice in the environment: " + e);
                }
            }
        }

        assertArrayEquals(environBefore, NativeEnvironment.snapshot(), "the JVM's environ changed");
        threadCredentials().forEach((task, c) -> assertEquals(credentials, c, "credentials of thread " + task));
        assertEquals(caught, LaunchSupport.signalSet(ownStatus(), "SigCgt"), "the JVM's signal handlers");
        assertEquals(ignored, LaunchSupport.signalSet(ownStatus(), "SigIgn"), "the JVM's ignored signals");
        assertEquals(dumpable, NativeEnvironment.dumpable(), "the JVM's dumpable flag");
        long jvm = ProcessHandle.current().pid();
        var zombies = LaunchSupport.childrenOf(jvm).entrySet().stream()
                .filter(e -> e.getValue().equals("Z")).toList();
        assertEquals(List.of(), zombies, "zombie children of the JVM");
    }
}
