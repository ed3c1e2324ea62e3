package com.zelt.tests.host;

import static com.zelt.tests.host.HostFiles.EINVAL;
import static com.zelt.tests.host.HostFiles.EISDIR;
import static com.zelt.tests.host.HostFiles.ENOENT;
import static com.zelt.tests.host.HostFiles.ENOTDIR;
import static com.zelt.tests.host.HostFiles.LIB;
import static com.zelt.tests.host.HostFiles.NOBODY;
import static com.zelt.tests.host.HostFiles.gid;
import static com.zelt.tests.host.HostFiles.mode;
import static com.zelt.tests.host.HostFiles.uid;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.zelt.tests.support.Processes;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicInteger;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** fileCreate as root: exact modes without touching the file-creation mask. */
class FileCreateTest {
    private static final int ELOOP = 40;

    @TempDir Path dir;

    @Test
    void newFileGetsExactModeAndOwner() {
        Path p = dir.resolve("new");
        assertEquals(0, LIB.fileCreate(p.toString(), NOBODY, NOBODY, 0666));
        assertEquals(0666, mode(p));
        assertEquals(NOBODY, uid(p));
        assertEquals(NOBODY, gid(p));

        Path q = dir.resolve("unchanged-owner");
        assertEquals(0, LIB.fileCreate(q.toString(), -1, -1, 0640));
        assertEquals(0640, mode(q));
        assertEquals(0, uid(q));
        assertEquals(0, gid(q));

        Path r = dir.resolve("group-only");
        assertEquals(0, LIB.fileCreate(r.toString(), -1, NOBODY, 0600));
        assertEquals(0, uid(r));
        assertEquals(NOBODY, gid(r));
    }

    @Test
    void existingFileIsTruncatedKeepsItsBitsAndGetsTheOwner() throws IOException {
        Path p = HostFiles.file(dir.resolve("old"), "old contents", 0600, 0, 0);
        assertEquals(0, LIB.fileCreate(p.toString(), NOBODY, NOBODY, 0777));
        assertEquals(0, Files.size(p));
        assertEquals(0600, mode(p));
        assertEquals(NOBODY, uid(p));
        assertEquals(NOBODY, gid(p));
    }

    @Test
    void failedCreateLeavesOwnershipAlone() throws IOException {
        // creat on a directory fails; a chown after it would hand the directory over.
        Path sub = Files.createDirectory(dir.resolve("sub"));
        assertEquals(EISDIR, LIB.fileCreate(sub.toString(), NOBODY, NOBODY, 0644));
        assertEquals(0, uid(sub));
        assertEquals(0, gid(sub));

        assertEquals(ENOENT, LIB.fileCreate(dir.resolve("no/parent").toString(), NOBODY, NOBODY, 0644));
        assertFalse(Files.exists(dir.resolve("no")));
        Path f = HostFiles.file(dir.resolve("f"), "x", 0644, 0, 0);
        assertEquals(ENOTDIR, LIB.fileCreate(f.resolve("x").toString(), NOBODY, NOBODY, 0644));
        assertEquals(0, uid(f));
    }

    @Test
    void danglingLinksAreFollowedToAnExactNewFile() throws IOException {
        Path target = dir.resolve("sub/target");
        Files.createDirectory(dir.resolve("sub"));
        // link -> sub/hop (relative), sub/hop -> target (absolute), target missing.
        Path hop = Files.createSymbolicLink(dir.resolve("sub/hop"), target);
        Path link = Files.createSymbolicLink(dir.resolve("link"), Path.of("sub/hop"));
        assertEquals(0, LIB.fileCreate(link.toString(), NOBODY, -1, 0666));
        assertTrue(Files.isSymbolicLink(link));
        assertTrue(Files.isSymbolicLink(hop));
        assertTrue(Files.isRegularFile(target, LinkOption.NOFOLLOW_LINKS));
        assertEquals(0666, mode(target));
        assertEquals(NOBODY, uid(target));

        Path loopA = dir.resolve("loopA");
        Files.createSymbolicLink(loopA, dir.resolve("loopB"));
        Files.createSymbolicLink(dir.resolve("loopB"), loopA);
        assertEquals(ELOOP, LIB.fileCreate(loopA.toString(), -1, -1, 0644));
    }

    @Test
    void nullAndEmbeddedNulAreInvalid() throws IOException {
        Path p = HostFiles.file(dir.resolve("kept"), "contents", 0600, 0, 0);
        assertEquals(EINVAL, LIB.fileCreate(null, NOBODY, NOBODY, 0644));
        assertEquals(EINVAL, LIB.fileCreate(p + "\u0000tail", NOBODY, NOBODY, 0644));
        assertEquals("contents", Files.readString(p));
        assertEquals(0, uid(p));
    }

    @Test
    void leavesNoDescriptorOpen() throws IOException {
        long before = openDescriptors();
        for (int i = 0; i < 500; i++) {
            assertEquals(0, LIB.fileCreate(dir.resolve("n" + (i % 50)).toString(), NOBODY, -1, 0600));
        }
        assertEquals(EISDIR, LIB.fileCreate(dir.toString(), -1, -1, 0600));
        // A leak would add descriptors; the JVM itself may close one of its own meanwhile.
        long after = openDescriptors();
        assertTrue(after <= before, before + " descriptors before, " + after + " after");
    }

    private static long openDescriptors() throws IOException {
        try (var fds = Files.list(Path.of("/proc/self/fd"))) {
            return fds.count();
        }
    }

    @Test
    void processMaskIsUnchangedAfterwards() {
        String before = UmaskChild.umask();
        assertEquals(0, LIB.fileCreate(dir.resolve("a").toString(), -1, -1, 0777));
        assertEquals(ENOENT, LIB.fileCreate(dir.resolve("x/y").toString(), -1, -1, 0777));
        assertEquals(before, UmaskChild.umask());
    }

    /**
     * Creators racing on one name while it is deleted again and again: a name
     * that appears or vanishes between the steps of a create is retried, so
     * every call succeeds.
     */
    @Test
    void racingCreatesAndDeletesOfOneName() throws InterruptedException {
        String p = dir.resolve("contended").toString();
        AtomicInteger failures = new AtomicInteger();
        AtomicBoolean stop = new AtomicBoolean();
        Runnable creator = () -> {
            for (int i = 0; i < 3000; i++) {
                int r = LIB.fileCreate(p, -1, -1, 0666);
                if (r != 0) failures.incrementAndGet();
            }
        };
        Thread deleter = new Thread(() -> {
            while (!stop.get()) {
                LIB.fileDelete(p);
            }
        });
        Thread a = new Thread(creator);
        Thread b = new Thread(creator);
        deleter.start();
        a.start();
        b.start();
        a.join();
        b.join();
        stop.set(true);
        deleter.join();
        assertEquals(0, failures.get());
        // Mid-run a new file briefly has the mask-cut bits; once all calls are done
        // the last one standing has exactly the requested ones.
        assertEquals(0, LIB.fileCreate(p, -1, -1, 0666));
        assertEquals(0666, mode(Path.of(p)));
    }

    /**
     * In a JVM whose mask is 027: new files get exactly the requested bits,
     * and another thread creating files meanwhile always gets its bits cut
     * by the mask, which never changes while fileCreate runs.
     */
    @Test
    void exactModesUnderAMaskWithoutDisturbingOtherThreads() {
        List<String> cmd = new ArrayList<>(List.of("sh", "-c", "umask 027 && exec \"$@\"", "sh"));
        cmd.addAll(Processes.childJvm(List.of(), UmaskChild.class.getName(), dir.toString(), "3000"));
        Processes.Result r = Processes.run(cmd);
        Processes.assertNoJniWarnings(r);
        assertEquals(0, r.exitCode(), r.stdout() + r.stderr());
        Map<String, String> seen = new HashMap<>();
        for (String line : r.stdout().split("\n")) {
            int eq = line.indexOf('=');
            if (eq > 0) seen.put(line.substring(0, eq), line.substring(eq + 1));
        }
        assertEquals("0027", seen.get("umaskBefore"), r.stdout());
        assertEquals("0:777", seen.get("all"));
        assertEquals("0:666", seen.get("rw"));
        assertEquals("0:0", seen.get("none"));
        // The chown that follows, as after creat, clears the set-ID bits of an
        // executable file on this kernel, even when it changes no id.
        assertEquals("0:1755", seen.get("special"));
        assertEquals("0027", seen.get("umaskAfter"));
        assertEquals("0", seen.get("badCreates"));
        assertEquals("0", seen.get("otherWrongMode"), r.stdout());
        assertEquals("0", seen.get("maskChanged"), r.stdout());
        assertTrue(Integer.parseInt(seen.get("otherFiles")) > 0, r.stdout());
        assertTrue(Integer.parseInt(seen.get("maskSamples")) > 0, r.stdout());
    }
}
