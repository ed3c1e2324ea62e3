package com.zelt.tests.host;

import static com.zelt.tests.host.HostFiles.EINVAL;
import static com.zelt.tests.host.HostFiles.ENOENT;
import static com.zelt.tests.host.HostFiles.LIB;
import static com.zelt.tests.host.HostFiles.NOBODY;
import static com.zelt.tests.host.HostFiles.gid;
import static com.zelt.tests.host.HostFiles.mode;
import static com.zelt.tests.host.HostFiles.uid;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** fileCopyStat: owner, group and the nine permission bits, links followed. */
class FileCopyStatTest {
    @TempDir Path dir;

    @Test
    void copiesOwnerGroupAndPermissionsButNotSetUserId() throws IOException {
        Path from = HostFiles.file(dir.resolve("from"), "source", 04750, NOBODY, NOBODY);
        assertEquals(04750, mode(from));
        Path to = HostFiles.file(dir.resolve("to"), "keep me", 0600, 0, 0);
        assertEquals(0, LIB.fileCopyStat(from.toString(), to.toString()));
        assertEquals(NOBODY, uid(to));
        assertEquals(NOBODY, gid(to));
        assertEquals(0750, mode(to));
        assertEquals("keep me", Files.readString(to));
        assertEquals("source", Files.readString(from));
        assertEquals(04750, mode(from));
    }

    @Test
    void clearsSpecialBitsTheTargetHad() throws IOException {
        Path from = HostFiles.file(dir.resolve("from"), "", 0644, 0, NOBODY);
        Path to = HostFiles.file(dir.resolve("to"), "", 06755, NOBODY, 0);
        assertEquals(0, LIB.fileCopyStat(from.toString(), to.toString()));
        assertEquals(0644, mode(to));
        assertEquals(0, uid(to));
        assertEquals(NOBODY, gid(to));

        Path sticky = Files.createDirectory(dir.resolve("sticky"));
        HostFiles.setMode(sticky, 01777);
        assertEquals(0, LIB.fileCopyStat(sticky.toString(), to.toString()));
        assertEquals(0777, mode(to));
    }

    @Test
    void followsLinksOnBothSides() throws IOException {
        Path realFrom = HostFiles.file(dir.resolve("realFrom"), "", 0640, NOBODY, NOBODY);
        Path realTo = HostFiles.file(dir.resolve("realTo"), "", 0600, 0, 0);
        Path fromLink = Files.createSymbolicLink(dir.resolve("fromLink"), realFrom);
        Path toLink = Files.createSymbolicLink(dir.resolve("toLink"), realTo);
        assertEquals(0, LIB.fileCopyStat(fromLink.toString(), toLink.toString()));
        assertEquals(0640, mode(realTo));
        assertEquals(NOBODY, uid(realTo));
        assertTrue(Files.isSymbolicLink(toLink));
        assertEquals(0, (Integer) Files.getAttribute(toLink, "unix:uid",
                java.nio.file.LinkOption.NOFOLLOW_LINKS));
    }

    @Test
    void missingPathsStopBeforeAnyChange() throws IOException {
        Path to = HostFiles.file(dir.resolve("to"), "", 0600, 0, 0);
        assertEquals(ENOENT, LIB.fileCopyStat(dir.resolve("missing").toString(), to.toString()));
        assertEquals(0600, mode(to));
        Path from = HostFiles.file(dir.resolve("from"), "", 0644, NOBODY, NOBODY);
        assertEquals(ENOENT, LIB.fileCopyStat(from.toString(), dir.resolve("missing").toString()));
        Path dangling = Files.createSymbolicLink(dir.resolve("dangling"), dir.resolve("nowhere"));
        assertEquals(ENOENT, LIB.fileCopyStat(dangling.toString(), to.toString()));
        assertEquals(0, uid(to));
    }

    @Test
    void nullAndEmbeddedNulAreInvalid() throws IOException {
        Path from = HostFiles.file(dir.resolve("from"), "", 0755, NOBODY, NOBODY);
        Path to = HostFiles.file(dir.resolve("to"), "", 0600, 0, 0);
        assertEquals(EINVAL, LIB.fileCopyStat(null, to.toString()));
        assertEquals(EINVAL, LIB.fileCopyStat(from.toString(), null));
        assertEquals(EINVAL, LIB.fileCopyStat(from + "\u0000x", to.toString()));
        assertEquals(EINVAL, LIB.fileCopyStat(from.toString(), to + "\u0000x"));
        assertEquals(0600, mode(to));
        assertEquals(0, uid(to));
    }
}
