package com.zelt.tests.host;

import static com.zelt.tests.host.HostFiles.EINVAL;
import static com.zelt.tests.host.HostFiles.EISDIR;
import static com.zelt.tests.host.HostFiles.ENOENT;
import static com.zelt.tests.host.HostFiles.ENOTDIR;
import static com.zelt.tests.host.HostFiles.LIB;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** fileDelete: unlink() and its errno. */
class FileDeleteTest {
    @TempDir Path dir;

    @Test
    void removesFilesAndLinksButNotLinkTargets() throws IOException {
        Path f = HostFiles.file(dir.resolve("f"), "x", 0444, 0, 0);
        Path target = HostFiles.file(dir.resolve("target"), "t", 0644, 0, 0);
        Path link = Files.createSymbolicLink(dir.resolve("link"), target);
        assertEquals(0, LIB.fileDelete(f.toString()));
        assertFalse(Files.exists(f, LinkOption.NOFOLLOW_LINKS));
        assertEquals(0, LIB.fileDelete(link.toString()));
        assertFalse(Files.exists(link, LinkOption.NOFOLLOW_LINKS));
        assertTrue(Files.exists(target));
    }

    @Test
    void failuresReportErrno() throws IOException {
        Path f = HostFiles.file(dir.resolve("f"), "x", 0644, 0, 0);
        Path sub = Files.createDirectory(dir.resolve("sub"));
        assertEquals(ENOENT, LIB.fileDelete(dir.resolve("missing").toString()));
        assertEquals(EISDIR, LIB.fileDelete(sub.toString()));
        assertTrue(Files.isDirectory(sub));
        assertEquals(ENOTDIR, LIB.fileDelete(f.resolve("x").toString()));
        assertEquals(ENOENT, LIB.fileDelete(""));
    }

    @Test
    void nullAndEmbeddedNulAreInvalid() throws IOException {
        Path f = HostFiles.file(dir.resolve("f"), "x", 0644, 0, 0);
        assertEquals(EINVAL, LIB.fileDelete(null));
        // The part before U+0000 names a real file: it must survive.
        assertEquals(EINVAL, LIB.fileDelete(f + "\u0000"));
        assertEquals(EINVAL, LIB.fileDelete(f + "\u0000.bak"));
        assertTrue(Files.exists(f));
    }
}
