package com.zelt.tests.gui;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import com.zelt.management.tolvaimpl.services.launch.GuiLauncher;
import com.zelt.tests.support.Processes;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFileAttributeView;
import java.nio.file.attribute.PosixFilePermissions;
import java.nio.file.attribute.UserPrincipalLookupService;
import java.util.Arrays;
import java.util.List;
import java.util.function.BooleanSupplier;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/**
 * GuiLauncher starting a real X application (xmessage) on the sandbox's
 * Xvfb under another identity: the window shows up on the display, and the
 * process runs with the identities and the display environment it was given.
 * Its cookie is a copy made here for the target identity, named only by the
 * extra environment: the program's own environment shows which one it got.
 */
class XApplicationLaunchTest {
    private static final String XMESSAGE = "/usr/bin/xmessage";
    private static final long WAIT_MS = 60_000;

    @TempDir
    Path tmp;
    private long pid = -1;

    @AfterEach
    void endTheProgram() {
        if (pid > 0) ProcessHandle.of(pid).ifPresent(ProcessHandle::destroyForcibly);
    }

    @ParameterizedTest(name = "effective {0}:{1}, real {2}:{3}")
    // The second: four different IDs, so that each shows whether it landed in its own place.
    @CsvSource({"65534, 65534, 65534, 65534", "65534, 54362, 1, 54364"})
    void theWindowAppearsAndTheProgramRunsAsAsked(int eu, int eg, int ru, int rg) throws Exception {
        String display = System.getenv("DISPLAY");
        String xauthority = System.getenv("XAUTHORITY");
        assertNotNull(display, "run inside the sandbox with --xvfb");
        assertNotNull(xauthority, "run inside the sandbox with --xvfb");
        Path cookie = cookieFor(ru, eg, Path.of(xauthority));
        String title = "zelt-gui-" + ProcessHandle.current().pid() + "-" + System.nanoTime();

        // LC_ALL=C: a UTF-8 locale asks for font sets the server's built-in fonts lack.
        String[] env = {"DISPLAY=" + display, "XAUTHORITY=" + cookie, "LC_ALL=C"};
        String[] args = {"-title", title, "-geometry", "+20+20", "started by GuiLauncher"};
        assertEquals(0, new GuiLauncher().launchapp(1, eu, eg, ru, rg, XMESSAGE, env, args));

        await("a process running " + XMESSAGE + " -title " + title, () -> (pid = findProgram(title)) > 0);
        await("a window titled " + title + " in xwininfo -root -tree", () -> {
            if (ended(pid)) fail(XMESSAGE + " (process " + pid + ") ended before its window appeared");
            return windowShown(title);
        });

        String status = Files.readString(Path.of("/proc/" + pid + "/status"));
        // Real, effective, saved, file-system; setreuid sets the saved ID to the new effective one.
        assertEquals(List.of(ru, eu, eu, eu), ids(status, "Uid:"), status);
        assertEquals(List.of(rg, eg, eg, eg), ids(status, "Gid:"), status);
        List<String> environ = environment(pid);
        assertTrue(environ.contains("DISPLAY=" + display), environ.toString());
        assertTrue(environ.contains("XAUTHORITY=" + cookie), environ.toString());

        assertTrue(ProcessHandle.of(pid).map(ProcessHandle::destroy).orElse(false), "SIGTERM to " + pid);
        await("the window of " + pid + " to go away", () -> !windowShown(title));
        await("process " + pid + " to end", () -> ended(pid));
        pid = -1;
    }

    /**
     * A copy of the display's cookie for a program whose real user is uid and
     * effective group gid, mode 0640: the X library tests the file with
     * access(), that is as the real user, then reads it as the effective one.
     */
    private Path cookieFor(int uid, int gid, Path original) throws IOException {
        Files.setPosixFilePermissions(tmp, PosixFilePermissions.fromString("rwx--x--x"));
        Path copy = tmp.resolve("Xauthority");
        Files.copy(original, copy);
        Files.setPosixFilePermissions(copy, PosixFilePermissions.fromString("rw-r-----"));
        UserPrincipalLookupService users = copy.getFileSystem().getUserPrincipalLookupService();
        Files.setOwner(copy, users.lookupPrincipalByName(Integer.toString(uid)));
        Files.getFileAttributeView(copy, PosixFileAttributeView.class)
                .setGroup(users.lookupPrincipalByGroupName(Integer.toString(gid)));
        return copy;
    }

    private static void await(String what, BooleanSupplier condition) throws InterruptedException {
        long deadline = System.currentTimeMillis() + WAIT_MS;
        while (!condition.getAsBoolean()) {
            if (System.currentTimeMillis() > deadline) fail("no " + what + " after " + WAIT_MS / 1000 + " s");
            Thread.sleep(100);
        }
    }

    /** The PID of the process whose argument vector carries this title, or -1. */
    private static long findProgram(String title) {
        try (Stream<Path> procs = Files.list(Path.of("/proc"))) {
            for (Path p : procs.filter(p -> p.getFileName().toString().matches("\\d+")).toList()) {
                List<String> argv = nulSeparated(p.resolve("cmdline"));
                if (argv.size() > 2 && argv.get(0).equals(XMESSAGE) && argv.contains(title)) {
                    return Long.parseLong(p.getFileName().toString());
                }
            }
        } catch (IOException e) {
            throw new AssertionError(e);
        }
        return -1;
    }

    private static boolean windowShown(String title) {
        Processes.Result r = Processes.run("xwininfo", "-root", "-tree");
        assertEquals(0, r.exitCode(), r.stderr());
        return r.stdout().contains("\"" + title + "\"");
    }

    /** Gone, or a zombie waiting for the sandbox's first process to reap it. */
    private static boolean ended(long pid) {
        try {
            String stat = Files.readString(Path.of("/proc/" + pid + "/stat"));
            return stat.substring(stat.lastIndexOf(')') + 2).startsWith("Z");
        } catch (IOException gone) {
            return true;
        }
    }

    private static List<Integer> ids(String status, String field) {
        return status.lines().filter(l -> l.startsWith(field)).findFirst()
                .map(l -> Arrays.stream(l.substring(field.length()).trim().split("\\s+"))
                        .map(Integer::valueOf).toList())
                .orElseThrow(() -> new AssertionError("no " + field + " in " + status));
    }

    private static List<String> environment(long pid) {
        return nulSeparated(Path.of("/proc/" + pid + "/environ"));
    }

    private static List<String> nulSeparated(Path file) {
        try {
            String all = new String(Files.readAllBytes(file), StandardCharsets.UTF_8);
            return all.isEmpty() ? List.of() : Arrays.asList(all.split("\0"));
        } catch (IOException vanished) {
            return List.of();
        }
    }
}
