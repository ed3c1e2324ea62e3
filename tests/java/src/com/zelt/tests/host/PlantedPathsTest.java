package com.zelt.tests.host;

import static com.zelt.tests.host.HostFiles.ENXIO;
import static com.zelt.tests.host.HostFiles.EPERM;
import static com.zelt.tests.host.HostFiles.LIB;
import static com.zelt.tests.host.HostFiles.NOBODY;
import static com.zelt.tests.host.HostFiles.mode;
import static com.zelt.tests.host.HostFiles.uid;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTimeoutPreemptively;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.zelt.tests.support.Processes;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.time.Duration;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.TreeMap;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicInteger;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * The file calls as root on paths in a folder that an ordinary user (nobody)
 * owns and has planted links, hard links, FIFOs and devices in. The victim, a
 * root-owned file beside it standing for /etc/shadow, must keep its content,
 * owner and mode whatever the user planted.
 */
class PlantedPathsTest {
    @TempDir Path dir;
    private Path etc;
    private Path victim;
    private Path home;

    @BeforeEach
    void layOut() throws IOException {
        HostFiles.setMode(dir, 0755);
        etc = Files.createDirectory(dir.resolve("etc"));
        victim = HostFiles.file(etc.resolve("shadow"), "secret", 0640, 0, 0);
        home = Files.createDirectory(dir.resolve("home"));
        HostFiles.setOwner(home, NOBODY, NOBODY);
    }

    private void assertVictimIntact(String attack) throws IOException {
        String now = Files.readString(victim) + " " + uid(victim) + " " + Integer.toOctalString(mode(victim));
        assertEquals("secret 0 640", now, attack);
    }

    /** A link as the user would plant it: owned by them. */
    private Path plantLink(Path link, Path target) throws IOException {
        Files.createSymbolicLink(link, target);
        Files.setAttribute(link, "unix:uid", NOBODY, LinkOption.NOFOLLOW_LINKS);
        return link;
    }

    @Test
    void everyCallRefusesWhatTheUserPointsAt() throws IOException {
        Path own = HostFiles.file(home.resolve("own"), "", 0777, NOBODY, NOBODY);
        plantLink(home.resolve("dir"), etc);
        List<Path> planted = List.of(plantLink(home.resolve(".profile"), victim),
                plantLink(home.resolve(".login"), Path.of("../etc/shadow")), home.resolve("dir/shadow"),
                Files.createLink(home.resolve(".hard"), victim), plantLink(home.resolve(".plan"), etc.resolve("cron")));
        for (Path p : planted) {
            assertEquals(EPERM, LIB.fileCreate(p.toString(), NOBODY, NOBODY, 0666), "create " + p);
            assertEquals(EPERM, LIB.fileCopyStat(own.toString(), p.toString()), "copy to " + p);
            assertVictimIntact(p.toString());
        }
        assertFalse(Files.exists(etc.resolve("cron"), LinkOption.NOFOLLOW_LINKS));
        // A source the user points elsewhere would choose the target's mode.
        Path world = HostFiles.file(etc.resolve("world"), "", 0777, 0, 0);
        assertEquals(EPERM, LIB.fileCopyStat(plantLink(home.resolve("t"), world).toString(), victim.toString()));
        assertEquals(EPERM, LIB.fileDelete(home.resolve("dir/shadow").toString()));
        assertVictimIntact("copy from a link, delete through one");
    }

    /** A FIFO would block the call forever, a device would act: neither is opened. */
    @Test
    void fifosAndDevicesReturnAtOnceUntouched() throws IOException {
        Path fifo = home.resolve("fifo");
        Path device = etc.resolve("null");
        Path planted = home.resolve("null");
        for (String c : List.of("mkfifo -m 0600 " + fifo, "mkfifo " + etc.resolve("fifo"), "mknod -m 0600 " + device
                + " c 1 3", "mknod " + planted + " c 1 3", "chown 65534 " + fifo)) {
            assertEquals(0, Processes.run("sh", "-c", c).exitCode(), c);
        }
        Map<Path, Integer> cases = Map.of(fifo, ENXIO, etc.resolve("fifo"), ENXIO, device, ENXIO, planted, EPERM);
        assertTimeoutPreemptively(Duration.ofSeconds(30), () -> {
            for (var c : cases.entrySet()) {
                assertEquals(c.getValue(), LIB.fileCreate(c.getKey().toString(), 0, 0, 0666), c.getKey().toString());
            }
        });
        assertEquals(NOBODY + " 600 0 600", uid(fifo) + " " + Integer.toOctalString(mode(fifo)) + " " + uid(device)
                + " " + Integer.toOctalString(mode(device)));
    }

    /**
     * The user swaps a link to the victim and a file of their own under one
     * name as fast as they can while root creates it and copies a mode onto
     * it ten thousand times: no check and the act after it ever part.
     */
    @Test
    void linkSwappedInALoopNeverReachesTheVictim() throws Exception {
        Path name = home.resolve("swapped");
        Path own = HostFiles.file(home.resolve("own"), "mine", 0777, NOBODY, NOBODY);
        AtomicBoolean stop = new AtomicBoolean();
        AtomicInteger swaps = new AtomicInteger();
        Thread swapper = new Thread(() -> {
            try {
                for (int i = 0; !stop.get(); i = swaps.incrementAndGet()) {
                    Files.move(plantLink(home.resolve("l" + i), victim), name, StandardCopyOption.ATOMIC_MOVE);
                    Files.move(Files.createLink(home.resolve("f" + i), own), name, StandardCopyOption.ATOMIC_MOVE);
                }
            } catch (IOException e) {
                throw new java.io.UncheckedIOException(e);
            }
        });
        swapper.start();
        Map<Integer, Integer> seen = new TreeMap<>();
        try {
            for (int i = 0; i < 10000; i++) {
                seen.merge(LIB.fileCreate(name.toString(), NOBODY, NOBODY, 0666), 1, Integer::sum);
                seen.merge(LIB.fileCopyStat(own.toString(), name.toString()), 1, Integer::sum);
            }
        } finally {
            stop.set(true);
            swapper.join();
        }
        assertVictimIntact("swap loop " + seen + ", swaps " + swaps);
        assertTrue(Set.of(0, EPERM).containsAll(seen.keySet()), seen.toString());
    }

    /** What callers rely on: root's links lead into the user's folder, the user's own links within it. */
    @Test
    void rootLinksAndTheUsersOwnFilesStillWork() throws IOException {
        // run -> home (absolute, as /var/run -> /run), alias -> run/.profile (relative).
        Files.createSymbolicLink(dir.resolve("run"), home);
        Path alias = Files.createSymbolicLink(dir.resolve("alias"), Path.of("run/.profile"));
        assertEquals(0, LIB.fileCreate(alias.toString(), NOBODY, NOBODY, 0644));
        Path profile = home.resolve(".profile");
        assertTrue(Files.isRegularFile(profile, LinkOption.NOFOLLOW_LINKS));
        assertEquals(NOBODY + " 644", uid(profile) + " " + Integer.toOctalString(mode(profile)));

        // The user's own file through the user's own relative link: truncated, bits kept.
        Path rc = HostFiles.file(home.resolve(".bashrc"), "old", 0600, NOBODY, NOBODY);
        Path rcLink = plantLink(home.resolve(".kshrc"), Path.of(".bashrc"));
        assertEquals(0, LIB.fileCreate(rcLink.toString(), NOBODY, 0, 0666));
        assertEquals("0 600", Files.size(rc) + " " + Integer.toOctalString(mode(rc)));
        Path template = HostFiles.file(etc.resolve("template"), "", 0640, NOBODY, 0);
        assertEquals(0, LIB.fileCopyStat(template.toString(), dir.resolve("run/.bashrc").toString()));
        assertEquals(0640, mode(rc));
        assertEquals(0, LIB.fileDelete(dir.resolve("run/.bashrc").toString()));
        assertFalse(Files.exists(rc));
    }
}
