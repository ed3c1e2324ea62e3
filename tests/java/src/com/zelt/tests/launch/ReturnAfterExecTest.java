package com.zelt.tests.launch;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import com.zelt.management.tolvaimpl.services.launch.CmdLauncher;
import com.zelt.management.tolvaimpl.services.launch.GuiLauncher;
import java.io.IOException;
import java.io.UncheckedIOException;
import java.nio.channels.FileChannel;
import java.nio.file.FileSystemException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.nio.file.StandardOpenOption;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.List;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/**
 * launchapp returns only once the program runs its own image. The kernel
 * refuses to open a file for writing while a process executes it ("Text
 * file busy"), and the refusal starts with the exec itself: so a program
 * file that can still be opened for writing the moment launchapp has
 * returned has not been exec'd yet. A launch that returned as soon as its
 * children were merely created would lose that race now and then, and the
 * program's exec would then fail on the file held open for writing.
 */
class ReturnAfterExecTest {
    private static final int ROUNDS = 10;

    @TempDir
    Path tmp;

    @ParameterizedTest
    @ValueSource(strings = {"cmd", "gui"})
    void theProgramRunsItsOwnImageWhenLaunchappReturns(String which) throws IOException {
        long jvm = ProcessHandle.current().pid();
        for (int round = 0; round < ROUNDS; round++) {
            // A program file of its own each round: its name finds the process.
            Path program = tmp.resolve(which + "-sleep-" + round);
            Files.copy(Path.of("/bin/sleep"), program, StandardCopyOption.COPY_ATTRIBUTES);
            Files.setPosixFilePermissions(program, PosixFilePermissions.fromString("rwxr-xr-x"));
            int rc = which.equals("cmd")
                    ? new CmdLauncher().launchapp(1, -1, -1, -1, -1, new String[] {program.toString(), "60"}, null)
                    : new GuiLauncher().launchapp(1, -1, -1, -1, -1, program.toString(), null,
                            new String[] {"60"});
            String busy = openForWriting(program);
            List<Long> running = processesRunning(program);
            try {
                assertEquals(0, rc, "launchapp");
                assertTrue(busy != null, "round " + round + ": " + program
                        + " could still be opened for writing after launchapp returned: not exec'd yet");
                assertTrue(busy.contains("Text file busy"), "round " + round + ": " + busy);
                assertEquals(1, running.size(), "processes running " + program + ": " + running);
                long ppid = ProcessHandle.of(running.get(0)).flatMap(ProcessHandle::parent)
                        .map(ProcessHandle::pid).orElse(-1L);
                assertNotEquals(jvm, ppid, "the program is a child of the JVM");
            } finally {
                for (long pid : running) stop(pid);
            }
        }
    }

    /** Null when the file opened for writing, else the reason it did not. */
    private static String openForWriting(Path file) {
        try {
            FileChannel.open(file, StandardOpenOption.WRITE).close();
            return null;
        } catch (FileSystemException e) {
            return String.valueOf(e.getReason());
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }

    /** Processes whose executable is file, from /proc/PID/exe. */
    private static List<Long> processesRunning(Path file) throws IOException {
        List<Long> out = new ArrayList<>();
        try (var dirs = Files.list(Path.of("/proc"))) {
            for (Path d : dirs.toList()) {
                String name = d.getFileName().toString();
                if (!name.chars().allMatch(Character::isDigit)) continue;
                try {
                    if (Files.readSymbolicLink(d.resolve("exe")).equals(file)) out.add(Long.parseLong(name));
                } catch (IOException goneOrKernelThread) {
                    // not a candidate
                }
            }
        }
        return out;
    }

    /** Ends a program this test started, and waits (at most a minute) until it is gone. */
    private static void stop(long pid) {
        ProcessHandle.of(pid).ifPresent(ProcessHandle::destroyForcibly);
        long deadline = System.nanoTime() + 60_000_000_000L;
        while (isSleep(pid)) {
            if (System.nanoTime() > deadline) fail("program " + pid + " did not end");
            try {
                Thread.sleep(10);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
                throw new AssertionError(e);
            }
        }
    }

    /** True while pid runs one of this test's programs (a zombie has no executable). */
    private static boolean isSleep(long pid) {
        try {
            return Files.readSymbolicLink(Path.of("/proc/" + pid + "/exe")).getFileName().toString()
                    .contains("-sleep-");
        } catch (IOException gone) {
            return false;
        }
    }
}
