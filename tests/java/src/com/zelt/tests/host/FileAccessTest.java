package com.zelt.tests.host;

import static com.zelt.tests.host.HostFiles.EACCES;
import static com.zelt.tests.host.HostFiles.EINVAL;
import static com.zelt.tests.host.HostFiles.ENOENT;
import static com.zelt.tests.host.HostFiles.ENOTDIR;
import static com.zelt.tests.host.HostFiles.F_OK;
import static com.zelt.tests.host.HostFiles.LIB;
import static com.zelt.tests.host.HostFiles.R_OK;
import static com.zelt.tests.host.HostFiles.W_OK;
import static com.zelt.tests.host.HostFiles.X_OK;
import static org.junit.jupiter.api.Assertions.assertEquals;

import java.io.IOException;
import java.nio.file.Path;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** fileAccess as root: 0 or the errno of access(), never -1. */
class FileAccessTest {
    @TempDir Path dir;

    @Test
    void existingFileAnswersZeroForEveryModeRootHas() throws IOException {
        Path f = HostFiles.file(dir.resolve("plain"), "x", 0644, 0, 0);
        assertEquals(0, LIB.fileAccess(f.toString(), F_OK));
        assertEquals(0, LIB.fileAccess(f.toString(), R_OK | W_OK));
        assertEquals(0, LIB.fileAccess(dir.toString(), R_OK | W_OK | X_OK));
    }

    @Test
    void executeNeedsAnExecuteBitEvenForRoot() throws IOException {
        Path plain = HostFiles.file(dir.resolve("plain"), "x", 0644, 0, 0);
        Path tool = HostFiles.file(dir.resolve("tool"), "x", 0700, 0, 0);
        assertEquals(EACCES, LIB.fileAccess(plain.toString(), X_OK));
        assertEquals(0, LIB.fileAccess(tool.toString(), X_OK));
    }

    @Test
    void missingPathsReportTheirErrnoNotMinusOne() throws IOException {
        Path f = HostFiles.file(dir.resolve("plain"), "x", 0644, 0, 0);
        assertEquals(ENOENT, LIB.fileAccess(dir.resolve("missing").toString(), F_OK));
        assertEquals(ENOENT, LIB.fileAccess(dir.resolve("no/such/dir").toString(), R_OK));
        assertEquals(ENOTDIR, LIB.fileAccess(f.resolve("below-a-file").toString(), F_OK));
        assertEquals(ENOENT, LIB.fileAccess("", F_OK));
    }

    @Test
    void modeIsPassedThroughUnchanged() throws IOException {
        Path f = HostFiles.file(dir.resolve("plain"), "x", 0644, 0, 0);
        // access() itself rejects bits outside R_OK|W_OK|X_OK.
        assertEquals(EINVAL, LIB.fileAccess(f.toString(), 010));
        assertEquals(EINVAL, LIB.fileAccess(f.toString(), -1));
    }
}
